"""The result files of the command line: their names, how they are told
apart from gathers, and the checks made before any work.

Every imaged gather gives three files sharing one stem,
``<stem>.csv`` (the picks), ``<stem>.png`` (the picture) and ``<stem>.npz``
(the image, :meth:`DispersionImage.load`). The stem keeps the whole input
file name and adds the method: ``line1.shot6.dat`` imaged by phase shift
gives ``line1.shot6.dat.phase_shift``; shot k of a file holding several
gives ``<file>.shot<k>.<method>``; a source position (``--by-source``)
``source_<position>.<method>``, the position written exactly (``source_-2.25``);
a stack ``stack.<method>``. Two inputs of one name in different folders take
their folders' names in front (``day1_1.dat``, ``day2_1.dat``).

A folder scan skips molvak's outputs by their content: a CSV whose header is
that of a dispersion curve, of a curve with its uncertainty, of the demo's
picks or of a pseudo-section, a .npz holding a molvak image, any PNG
picture.
"""
from __future__ import annotations

import os
import re
import tempfile
import zipfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

import numpy as np

__all__ = ["KINDS", "Result", "exact", "output_kind", "results_in", "unique_bases"]

KINDS = ("csv", "png", "npz")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# <stem>.<method>.<kind>: the method is an identifier (see molvak.estimators)
OUTPUT_NAME = re.compile(r"^(?P<base>.+)\.(?P<method>[A-Za-z][A-Za-z0-9_]*)\."
                         r"(?P<kind>csv|png|npz)$")


def exact(value: float) -> str:
    """A number written with every digit it needs and none more: -2.25 as
    "-2.25", 51.0 as "51" (the shortest text that reads back the same)."""
    text = np.format_float_positional(float(value), trim="-")
    return "0" if text == "-0" else text


def output_kind(path: Path) -> Optional[str]:
    """What molvak output a file is, told by its content ("a dispersion
    curve", "a dispersion image", "a picture", "a table of picks"), or None
    for anything else."""
    try:
        with open(path, "rb") as handle:
            head = handle.read(256)
    except OSError:
        return None
    if head.startswith(PNG_SIGNATURE):
        return "a picture"
    if head.startswith(b"PK\x03\x04"):
        try:
            with zipfile.ZipFile(path) as archive:
                return "a dispersion image" if "molvak.npy" in archive.namelist() else None
        except (zipfile.BadZipFile, OSError):
            return None
    first = head.decode("utf-8", "replace").lstrip("\ufeff").splitlines()[:1]
    if first and first[0].startswith("frequency,velocity,wavelength"):
        return "a dispersion curve"
    if first and first[0].startswith("method,frequency,velocity,wavelength"):
        return "a table of picks"
    if first and first[0].startswith("frequency,wavelength,velocity,std"):
        return "a curve with its uncertainty"
    if head.lstrip().startswith(b'{\n "domain": '):
        return "a curve with its uncertainty"
    if first and first[0].startswith("midpoint,wavelength,pseudo_depth"):
        return "a pseudo-section"
    return None


@dataclass
class Result:
    """The files of one imaged gather in a results folder."""

    stem: str                      # e.g. "line1.shot6.dat.phase_shift"
    method: str
    files: dict[str, Path] = field(default_factory=dict)    # kind -> path


def results_in(folder: Path) -> list[Result]:
    """The results in a folder, by stem (name pattern and content both
    checked), in the order of their names."""
    found: dict[str, Result] = {}
    for path in sorted(Path(folder).iterdir()):
        match = OUTPUT_NAME.match(path.name)
        if match is None or not path.is_file() or output_kind(path) is None:
            continue
        stem = f"{match['base']}.{match['method']}"
        found.setdefault(stem, Result(stem, match["method"])).files[match["kind"]] = path
    return list(found.values())


def unique_bases(paths: Sequence[Path]) -> tuple[list[str], list[str]]:
    """An output base per input file, distinct within the run, and notes
    saying how names that would have clashed were told apart.

    The base is the file name; files of one name take as many of their
    folders' names in front (joined by "_") as it takes to tell them apart,
    and a number as the last resort.
    """
    parts = [Path(os.path.abspath(p)).parts for p in paths]
    depth = [1] * len(paths)

    def base(i: int) -> str:
        return "_".join(parts[i][-depth[i]:])

    notes: list[str] = []
    while True:
        groups: dict[str, list[int]] = {}
        for i in range(len(paths)):
            groups.setdefault(base(i), []).append(i)
        clashes = [g for g in groups.values() if len(g) > 1]
        grown = False
        for group in clashes:
            for i in group:
                if depth[i] < len(parts[i]) - 1:     # never the root itself
                    depth[i] += 1
                    grown = True
        if not clashes or not grown:
            break
    names = [base(i) for i in range(len(paths))]
    seen: dict[str, int] = {}
    for i, name in enumerate(names):
        if name in seen:
            seen[name] += 1
            names[i] = f"{name}-{seen[name]}"
        else:
            seen[name] = 1
    clashed: dict[str, list[int]] = {}
    for i, p in enumerate(paths):
        clashed.setdefault(Path(p).name, []).append(i)
    for name, group in clashed.items():
        if len(group) > 1:
            shown = ", ".join(f"{paths[i]} -> {names[i]}" for i in group)
            notes.append(f"{len(group)} inputs are named {name}; their outputs are told "
                         f"apart by their folders: {shown}")
    return names, notes


def check_folder(folder: Path) -> Optional[str]:
    """Make sure results can be written into `folder` (created when
    missing); a one-line reason when they cannot."""
    if folder.exists() and not folder.is_dir():
        return f"--out {folder}: exists and is not a folder"
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        return f"--out {folder}: cannot create the folder ({exc.strerror or exc})"
    try:        # a real write: permissions, read-only mounts and quotas alike
        fd, probe = tempfile.mkstemp(prefix=".molvak-probe.", suffix=".part", dir=folder)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        return f"--out {folder}: cannot write into the folder ({exc.strerror or exc})"
    return None


def clobbered(targets: Iterable[Path], inputs: Iterable[Path], overwrite: bool,
              ) -> Optional[str]:
    """A one-line reason not to start when a target would replace an input
    (never done) or an existing file (unless `overwrite`)."""
    given = [Path(p) for p in inputs]
    absolute = {os.path.abspath(p) for p in given}
    existing = []
    for target in targets:
        if os.path.abspath(target) in absolute or (
                target.exists() and any(_same_file(target, p) for p in given)):
            return f"{target} would replace an input file; choose another --out"
        if target.exists():
            existing.append(target)
    if existing and not overwrite:
        more = f" and {len(existing) - 1} more output file(s)" if len(existing) > 1 else ""
        return (f"{existing[0]}{more} exist already; give --overwrite to replace them, "
                f"or another --out")
    return None


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
