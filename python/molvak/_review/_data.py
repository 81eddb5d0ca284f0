"""Every read and write of the review page: images, picks, statistics, limits.

The page and its server see only the small types of this module, so the
on-disk formats can change here alone:

- an image is ``<stem>.npz`` with the arrays ``frequency`` (NF,),
  ``velocity`` (NC,), ``spectrum`` (complex, NF x NC) and ``params`` (a JSON
  string; ``offsets`` and ``method`` are used when present, ``quantity`` =
  "power" marks a spectrum that already holds a power);
- its picks are ``<stem>.csv``, the picks CSV of the package, read by
  :func:`molvak.read_curves` (frequency and velocity required; wavelength,
  quality, valid, the flags and mode where present; a file without valid or
  mode reads as all valid, mode 0; other columns are kept as text, in the
  file's order);
- the reviewed picks are ``<stem>.reviewed.csv``: the same columns plus
  ``edited`` (1 where a person added or moved the pick or changed its
  validity or mode), written atomically beside the originals. A file of one
  mode reads back with :meth:`molvak.DispersionCurve.from_csv`; the page
  keeps all modes of an image in one file (:func:`picks_curves` splits it).

Curves and statistics are molvak's own (:class:`molvak.DispersionCurve`,
:func:`molvak.statistics`); the wavelength and near-field limits are those
the picker flags with.
"""
from __future__ import annotations

import csv
import io
import json
import math
import os
import zipfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .._atomic import atomic_path, write_bytes
from ..curves import DispersionCurve, read_curves, read_table
from ..curves import statistics as curve_statistics
from ..image import DispersionImage, array_limits
from ..picking import FLAGS, GAUGE, NEAR_FIELD

IMAGE_SUFFIX = ".npz"
PICKS_SUFFIX = ".csv"
REVIEWED_SUFFIX = ".reviewed.csv"
NUMERIC = ("frequency", "velocity", "wavelength", "quality", "valid", "mode", "edited")
REQUIRED = ("frequency", "velocity")
_IMAGE_MEMBERS = {"frequency.npy", "velocity.npy", "spectrum.npy"}


# --------------------------------------------------------------------------
# images


@dataclass(frozen=True, eq=False)
class Image:
    """What the page needs of a dispersion image.

    ``power`` is real and >= 0, shape (NF, NC); ``limits`` as made by
    :func:`limits` from the params.
    """

    frequency: np.ndarray
    velocity: np.ndarray
    power: np.ndarray
    method: str
    params: dict[str, Any]

    def normalized(self) -> np.ndarray:
        """The power divided by each frequency's maximum, as float32 (0 where
        a row has no positive finite value)."""
        p = np.where(np.isfinite(self.power), self.power, 0.0)
        top = p.max(axis=1, keepdims=True, initial=0.0)
        out = np.divide(p, top, out=np.zeros_like(p), where=top > 0)
        return out.astype(np.float32)


def is_image(path: Path) -> bool:
    """True if ``path`` is an .npz holding the arrays of a dispersion image
    (the zip directory alone is read)."""
    try:
        with zipfile.ZipFile(path) as z:
            return _IMAGE_MEMBERS <= set(z.namelist())
    except (OSError, zipfile.BadZipFile):
        return False


def load_image(path: Path) -> Image:
    """Read an image written by :meth:`DispersionImage.save` (which
    :func:`save_image` and `molvak image` use), or an .npz of the arrays
    frequency, velocity and spectrum with optional params and quantity."""
    try:
        with zipfile.ZipFile(path) as z:
            ours = "molvak.npy" in z.namelist()
    except (OSError, zipfile.BadZipFile):
        ours = False
    if ours:
        image = DispersionImage.load(path)
        params = _plain(image.params)
        params.setdefault("method", image.method)
        params["quantity"] = image.quantity
        return Image(np.asarray(image.frequency, dtype=np.float64),
                     np.asarray(image.velocity, dtype=np.float64), image.power(), image.method,
                     params)
    try:
        with np.load(path, allow_pickle=False) as z:
            f = np.asarray(z["frequency"], dtype=np.float64)
            v = np.asarray(z["velocity"], dtype=np.float64)
            s = np.asarray(z["spectrum"])
            params = json.loads(str(z["params"])) if "params" in z.files else {}
            quantity = str(z["quantity"]) if "quantity" in z.files else None
    except (OSError, ValueError, KeyError, zipfile.BadZipFile) as exc:
        raise ValueError(f"{path}: not a readable dispersion image ({exc})") from None
    if not isinstance(params, dict):
        raise ValueError(f"{path}: params is not a JSON object")
    if f.ndim != 1 or v.ndim != 1 or s.shape != (f.size, v.size):
        raise ValueError(f"{path}: spectrum has shape {s.shape}; expected (frequency, "
                         f"velocity) = ({f.size}, {v.size})")
    if f.size == 0 or v.size < 2:
        raise ValueError(f"{path}: the image has {f.size} frequencies and {v.size} velocities")
    quantity = quantity or params.get("quantity", "amplitude")
    modulus = np.abs(s).astype(np.float64)
    power = modulus if quantity == "power" else np.square(modulus)
    method = str(params.get("method", "")) or "image"
    return Image(f, v, power, method, params)


def save_image(path: Path, image: DispersionImage) -> None:
    """Write a DispersionImage as an .npz the review reads: the file of
    :meth:`DispersionImage.save`, written atomically."""
    image.save(path, overwrite=True)


def _plain(value: Any) -> Any:
    """params as plain JSON values (arrays as lists), as the page gets them."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, np.generic):
        return value.item()
    return value


def limits(params: dict[str, Any]) -> dict[str, Optional[float]]:
    """The lines drawn on an image, each a wavelength: velocity = wavelength x f.

    ``lambda_min``, ``lambda_max``: :func:`molvak.array_limits` of the
    offsets. ``near_field``: the distance d from the source to the centre of
    the array (d = smallest offset + aperture / 2) over the near-field limit
    of the picker (0.5): above the line c = 2 d f, d / wavelength < 0.5, the
    near field of the source. All None when the params hold no offsets.
    ``gauge``, for images of fibre-optic records (params with a gauge
    length): the shortest wavelength the fibre resolves, GAUGE gauge lengths.
    """
    out: dict[str, Optional[float]] = dict(lambda_min=None, lambda_max=None, near_field=None)
    if params.get("gauge_length") is not None:
        out["gauge"] = GAUGE * float(params["gauge_length"])
    offsets = params.get("offsets")
    if offsets is None:
        return out
    x = np.asarray(offsets, dtype=np.float64).ravel()
    x = x[np.isfinite(x)]
    if np.unique(x).size < 2:
        return out
    out["lambda_min"], out["lambda_max"] = array_limits(x)
    out["near_field"] = 0.5 * float(x.min() + x.max()) / NEAR_FIELD
    return out


def update_flags(picks: Picks, lim: dict[str, Optional[float]]) -> None:
    """Recompute the flags of the edited picks where the file has them.

    A person placed those picks: the wavelength (array and gauge length) and
    near-field flags are set from the limits, the others (aliasing, search edge, jump), which
    judged the automatic peak, are cleared. Unedited picks keep theirs; the
    verdict is in the valid column either way.
    """
    edited = picks.numeric["edited"] == 1
    lam = picks.numeric["velocity"] / picks.numeric["frequency"]
    computed = {
        "too_short": lam < lim["lambda_min"] if lim["lambda_min"] else np.zeros(len(lam), bool),
        "too_long": lam > lim["lambda_max"] if lim["lambda_max"] else np.zeros(len(lam), bool),
        "near_field": lam > lim["near_field"] if lim["near_field"] else np.zeros(len(lam), bool),
        "gauge": lam < lim["gauge"] if lim.get("gauge") else np.zeros(len(lam), bool),
    }
    for name in FLAGS:
        if name in picks.extra:
            value = computed.get(name, np.zeros(len(lam), bool))
            picks.extra[name] = [str(int(value[k])) if edited[k] else old
                                 for k, old in enumerate(picks.extra[name])]


# --------------------------------------------------------------------------
# picks


@dataclass(eq=False)
class Picks:
    """A picks table: numeric columns as float arrays, other columns as text.

    ``columns`` is the column order of the file; ``numeric`` always holds
    frequency, velocity, wavelength, quality, valid, mode and edited (the
    defaults fill what the file lacks); ``extra`` the other columns.
    """

    columns: list[str]
    numeric: dict[str, np.ndarray]
    extra: dict[str, list[str]] = field(default_factory=dict)

    def __len__(self) -> int:
        return int(self.numeric["frequency"].size)

    @classmethod
    def from_rows(cls, rows: Sequence[dict[str, Any]], extra_columns: Sequence[str] = (),
                  columns: Sequence[str] = ()) -> Picks:
        """Picks from the page's rows (dicts); wavelength is recomputed. The
        columns keep the order of ``columns`` (the file the picks came from),
        then the missing ones, then ``edited``."""
        numeric = {}
        for name in NUMERIC:
            if name == "wavelength":
                continue
            default = {"valid": 1.0, "mode": 0.0, "edited": 0.0, "quality": math.nan}.get(name)
            numeric[name] = np.array([_number(r.get(name, default), name, k)
                                      for k, r in enumerate(rows)], dtype=np.float64)
        numeric["wavelength"] = numeric["velocity"] / numeric["frequency"]
        names = check_extra(extra_columns)
        extra = {c: [_text(r, c, k) for k, r in enumerate(rows)] for c in names}
        order = [c for c in columns if c != "edited" and (c in NUMERIC or c in extra)]
        order += [c for c in list(NUMERIC[:6]) + list(extra) if c not in order]
        return cls(order + ["edited"], numeric, extra)

    def rows(self) -> list[dict[str, Any]]:
        out = []
        for k in range(len(self)):
            row: dict[str, Any] = {name: _finite_or_none(self.numeric[name][k])
                                   for name in NUMERIC}
            row["extra"] = {c: v[k] for c, v in self.extra.items()}
            out.append(row)
        return out


def check_extra(columns: Any) -> list[str]:
    """The names of a save's other columns, checked: a list of distinct,
    non-empty texts, none of them a numeric column."""
    if not isinstance(columns, (list, tuple)) or not all(isinstance(c, str) for c in columns):
        raise ValueError(f"extra must be a list of column names; got {_short(columns)}")
    for c in columns:
        if not c.strip() or c != c.strip() or c in NUMERIC:
            raise ValueError(f"extra: {c!r} cannot name a column of other values")
    if len(set(columns)) != len(columns):
        raise ValueError("extra: a column name appears twice")
    return list(columns)


def _text(row: dict[str, Any], column: str, k: int) -> str:
    """The value of an other column in a row of the page, as text."""
    values = row.get("extra", {})
    if not isinstance(values, dict):
        raise ValueError(f"row {k}: extra must be an object of column values; got "
                         f"{_short(values)}")
    value = values.get(column, "")
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise ValueError(f"row {k}: {column} must be a text or a number; got {_short(value)}")
    return value if isinstance(value, str) else _exact(value)


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _number(value: Any, name: str, row: int) -> float:
    if value is None:
        if name == "quality":
            return math.nan
        raise ValueError(f"row {row}: {name} is missing")
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"row {row}: {name} is not a number ({_short(value)})")
    try:
        out = float(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"row {row}: {name} is not a number ({_short(value)})") from None
    if name in ("frequency", "velocity") and not (math.isfinite(out) and out > 0):
        raise ValueError(f"row {row}: {name} must be a positive number; got {value!r}")
    if name in ("valid", "edited") and out not in (0.0, 1.0):
        raise ValueError(f"row {row}: {name} must be 0 or 1; got {value!r}")
    if name == "mode" and not (math.isfinite(out) and out == int(out) and 0 <= out < 100):
        raise ValueError(f"row {row}: mode must be an integer from 0 to 99; got {value!r}")
    return out


def _finite_or_none(value: float) -> Optional[float]:
    v = float(value)
    return v if math.isfinite(v) else None


def read_picks(path: Path) -> Picks:
    """Read a picks CSV through :func:`molvak.read_curves` (so the page reads
    exactly what the package does); the column order of the file is kept,
    and its other columns as text."""
    header, _ = read_table(path)
    curves = read_curves(path)
    numeric: dict[str, np.ndarray] = {}
    for name in ("frequency", "velocity", "wavelength", "quality", "valid"):
        numeric[name] = _joined([getattr(c, name) for c in curves], np.float64)
    numeric["mode"] = _joined([np.full(len(c), c.mode) for c in curves], np.float64)
    numeric["edited"] = _joined([c.extra.get("edited", np.zeros(len(c))) for c in curves],
                                np.float64)
    extra: dict[str, list[str]] = {}
    for h in header:
        if h in NUMERIC:
            continue
        if h in FLAGS:
            values = _joined([getattr(c, h) for c in curves], np.float64)
            extra[h] = [str(int(x)) for x in values]
        else:
            extra[h] = [x if isinstance(x, str) else _exact(x) for c in curves
                        for x in c.extra[h].tolist()]
    return Picks(header, numeric, extra)


def _joined(parts: list[np.ndarray], dtype: Any) -> np.ndarray:
    return np.concatenate(parts).astype(dtype) if parts else np.zeros(0, dtype=dtype)


def _exact(value: float) -> str:
    """A number of a text column read back as the shortest text of its value."""
    text = np.format_float_positional(float(value), trim="-")
    return "0" if text == "-0" else text


def write_picks(path: Path, picks: Picks) -> None:
    """Write the picks as CSV (17 significant digits, flags as integers),
    sorted by mode then frequency, atomically; the edited column only if the
    picks have one."""
    edited = "edited" in picks.columns
    columns = [c for c in picks.columns if c != "edited"]
    columns += [name for name in NUMERIC[:6] if name not in columns]
    columns += ["edited"] if edited else []
    order = np.lexsort((picks.numeric["frequency"], picks.numeric["mode"]))
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    for k in order:
        row = []
        for c in columns:
            if c in ("valid", "mode", "edited"):
                row.append(str(int(picks.numeric[c][k])))
            elif c in picks.numeric:
                row.append(f"{float(picks.numeric[c][k]):.17g}")
            else:
                row.append(picks.extra[c][k])
        writer.writerow(row)
    # saving again replaces the reviewed file; the server guards it by its version.
    # The file is read back as the package reads picks before it takes its
    # name, so that nothing is saved that molvak could not read.
    with atomic_path(path, overwrite=True) as temp:
        with open(temp, "w", encoding="utf-8", newline="") as handle:
            handle.write(out.getvalue())
        try:
            read_curves(temp)
        except ValueError as exc:
            raise ValueError(str(exc).replace(repr(temp), repr(path.name))) from None


def picks_curves(picks: Picks) -> dict[int, DispersionCurve]:
    """The picks as one DispersionCurve per mode, by increasing frequency,
    with their valid column (and edited, as an extra column, where present)."""
    n = picks.numeric
    out = {}
    for mode in sorted({int(m) for m in n["mode"]}):
        rows = np.flatnonzero(n["mode"] == mode)
        rows = rows[np.argsort(n["frequency"][rows], kind="stable")]
        f, v, q = (n[c][rows] for c in ("frequency", "velocity", "quality"))
        extra = {"edited": n["edited"][rows]} if "edited" in picks.columns else {}
        flags: dict[str, Any] = {name: np.array([picks.extra[name][k] == "1" for k in rows],
                                                dtype=bool)
                                 for name in FLAGS if name in picks.extra}
        out[mode] = DispersionCurve(f, v, v / f, q, valid=n["valid"][rows] == 1, mode=mode,
                                    extra=extra, **flags)
    return out


def requality(picks: Picks, image: Image) -> None:
    """Give the edited picks a quality on the scale of the original ones.

    The quality of a pick is the power at it over the strongest pick of the
    curve; automatic picks sit on each frequency's peak, so the strongest
    pick is the largest peak among the curve's frequencies. Edited picks get
    the power interpolated at their (frequency, velocity) over that; the
    other picks keep the quality they were read with.
    """
    f, v = picks.numeric["frequency"], picks.numeric["velocity"]
    if len(picks) == 0:
        return
    rows = np.abs(image.frequency[None, :] - f[:, None]).argmin(axis=1)
    p = np.where(np.isfinite(image.power), image.power, 0.0)
    top = float(p[np.unique(rows)].max(initial=0.0))
    order = np.argsort(image.velocity)
    vel = image.velocity[order]
    at = np.array([np.interp(vk, vel, p[r][order]) for r, vk in zip(rows, v)])
    q = np.where(top > 0, at / (top if top > 0 else 1.0), math.nan)
    edited = picks.numeric["edited"] == 1
    picks.numeric["quality"] = np.where(edited, q, picks.numeric["quality"])


# --------------------------------------------------------------------------
# statistics across images


def statistics(tables: Iterable[Picks]) -> dict[str, Any]:
    """:func:`molvak.statistics` of the valid mode-0 picks of all images, per
    frequency, for the page: frequency, mean, std (None below two picks),
    count, and the number of curves that contributed."""
    curves = []
    for t in tables:
        curve = picks_curves(t).get(0)
        if curve is not None and curve.valid.any():
            curves.append(curve)
    if not curves:
        return dict(curves=0, frequency=[], mean=[], std=[], count=[])
    st = curve_statistics(curves, domain="frequency")
    return dict(curves=len(curves), frequency=st.frequency.tolist(), mean=st.velocity.tolist(),
                std=[_finite_or_none(x) for x in st.std], count=[int(c) for c in st.count])


# --------------------------------------------------------------------------
# writing


def atomic_write(path: Path, data: bytes) -> None:
    """Write ``data`` to ``path`` through a temporary file in the same folder
    and a rename, so a reader sees the old file or the new one, never half."""
    write_bytes(path, data, overwrite=True)


def file_version(path: Path) -> Optional[str]:
    """A token that changes whenever the file is replaced or modified."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return f"{st.st_mtime_ns}-{st.st_size}-{st.st_ino}"


def picks_paths(image_path: Path) -> tuple[Path, Path]:
    """(original picks, reviewed picks) of an image file."""
    stem = image_path.name[: -len(IMAGE_SUFFIX)]
    return image_path.with_name(stem + PICKS_SUFFIX), image_path.with_name(stem + REVIEWED_SUFFIX)
