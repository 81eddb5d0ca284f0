"""Drawing with matplotlib (the optional `plot` extra): dispersion images,
gathers and curves with their uncertainty.

The functions here are handed what they draw (the picks, the model's
curves, the title), so this module imports nothing of the package above it;
matplotlib is loaded when the first picture is drawn.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Callable, Optional, Union

import numpy as np

from . import _checks

if TYPE_CHECKING:
    from .curves import UncertainCurve
    from .gather import Gather
    from .image import DispersionCurve, DispersionImage

NORM_LABELS = {
    "frequency": "power, normalised at each frequency",
    "global": "power, normalised to the image maximum",
    "none": "power",
}


def require_matplotlib() -> Any:
    """The matplotlib module; ImportError naming the ``plot`` extra without it."""
    try:
        import matplotlib
    except ImportError as exc:  # pragma: no cover - exercised only without matplotlib
        raise ImportError("plotting needs matplotlib: pip install 'molvak[plot]'") from exc
    return matplotlib


def new_figure(size: tuple[float, float] = (7.5, 5.0), dpi: int = 110) -> tuple[Any, Any]:
    """A figure and axes that need no GUI backend (for writing files)."""
    require_matplotlib()
    from matplotlib.figure import Figure
    fig = Figure(figsize=size, dpi=dpi, layout="constrained")
    return fig, fig.add_subplot()


MODE_COLOURS = ("#ff5a36", "#36c5ff", "#f5e642", "#c774ff", "#7dff6b")


def plot_image(image: DispersionImage, ax: Any, *, title: str, normalize: str = "frequency",
               picks: Sequence[DispersionCurve] = (),
               truth: Union[Callable[[np.ndarray], np.ndarray], DispersionCurve, None] = None,
               wavelengths: Optional[tuple[float, float]] = None, limits: bool = True,
               invalid: bool = True, model_curves: Sequence[DispersionCurve] = (),
               model_label: str = "", cmap: str = "viridis") -> Any:
    """Draw a dispersion image with the curves it is handed; see
    :meth:`molvak.DispersionImage.plot`, which picks the image, works out the
    model's modes and names the method."""
    require_matplotlib()
    if ax is None:
        import matplotlib.pyplot as plt
        _, ax = plt.subplots(figsize=(7.5, 5.0), layout="constrained")
    fig = ax.figure
    f = np.asarray(image.frequency, dtype=np.float64)
    v = np.asarray(image.velocity, dtype=np.float64)
    shown = image.normalized(normalize)
    top = 1.0 if normalize != "none" else (np.nanmax(shown) if np.isfinite(shown).any() else 1.0)
    mesh = ax.pcolormesh(f, v, shown.T, shading="nearest", cmap=cmap, vmin=0.0, vmax=top,
                         rasterized=True)
    bar = fig.colorbar(mesh, ax=ax, pad=0.02)
    bar.set_label(NORM_LABELS.get(normalize, "power"))

    fspan = (float(f.min()), float(f.max())) if f.size else (0.0, 1.0)
    vspan = (float(v.min()), float(v.max()))
    curves = list(picks)
    several = len(curves) > 1
    for k, curve in enumerate(curves):
        if not len(curve):
            continue
        colour = MODE_COLOURS[k % len(MODE_COLOURS)] if several else MODE_COLOURS[0]
        name = f"mode {curve.mode}" if several else "picks"
        ok = curve.valid
        if ok.any():
            ax.plot(curve.frequency[ok], curve.velocity[ok], ls="none", marker="o", ms=3.6,
                    mfc=colour, mec="black", mew=0.4, label=name, zorder=3)
        if invalid and (~ok).any():
            ax.plot(curve.frequency[~ok], curve.velocity[~ok], ls="none", marker="o", ms=3.6,
                    mfc="none", mec=colour, mew=0.8, alpha=0.8,
                    label=f"{name}, flagged" if several else "flagged picks", zorder=3)
    if truth is not None:
        if not callable(truth):         # a curve: its picks
            tf, tv = truth.frequency, truth.velocity
        else:
            tf = np.linspace(max(fspan[0], 1e-9), fspan[1], 400)
            tv = np.asarray(truth(tf), dtype=np.float64)
        ax.plot(tf, tv, color="white", lw=1.0, ls=(0, (5, 3)), label="true curve", zorder=4)
    for k, mode in enumerate(model_curves):
        if len(mode):
            ax.plot(mode.frequency, mode.velocity, color="white", lw=1.1,
                    ls=(0, (1, 1.5)), zorder=4, gid=f"model mode {mode.mode}",
                    label=model_label if k == 0 else None)
    ax.set_xlim(*fspan)
    ax.set_ylim(*vspan)
    lines: list[tuple[float, str, float]] = []
    if wavelengths is not None:
        lines = [(float(wavelengths[0]), "λ min", -1.0), (float(wavelengths[1]), "λ max", 1.0)]
    elif limits and curves:
        info = curves[0].limits
        if info.get("wavelengths") is not None:
            lo, hi = info["wavelengths"]
            lines = [(float(lo), "λ min", -1.0), (float(hi), "λ max", 1.0)]
        if info.get("near_field") is not None:
            lines.append((float(info["near_field"]), "near field", 1.0))
        if info.get("gauge") is not None:
            lines.append((float(info["gauge"]), "gauge", -1.0))
    if lines:
        _wavelength_lines(ax, lines, fspan, vspan)
    ax.set_xlabel("Frequency (Hz)")
    ax.set_ylabel("Phase velocity (m/s)")
    ax.set_title(title)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(loc="upper right", fontsize=8, framealpha=0.85)
    return ax


def _wavelength_lines(ax: Any, lines: Sequence[tuple[float, str, float]],
                      fspan: tuple[float, float], vspan: tuple[float, float]) -> None:
    """The lines velocity = lambda * frequency of the limits.

    Each label runs along its line on the unresolved side (below a lower
    limit, above an upper one), a few pixels off it; the offset is worked
    out from the axes' current size in pixels.
    """
    box = ax.get_window_extent()
    sx = box.width / (fspan[1] - fspan[0])
    sy = box.height / (vspan[1] - vspan[0])
    line = np.linspace(max(fspan[0], 1e-9), fspan[1], 200)
    for lam, name, side in lines:
        ax.plot(line, lam * line, color="white", lw=1.0,
                ls=":" if name != "near field" else (0, (6, 2, 1, 2)), alpha=0.9,
                gid=f"limit {name}")
        f_end = min(fspan[1], vspan[1] / lam)
        f_label = fspan[0] + 0.95 * (f_end - fspan[0])
        if not vspan[0] < lam * f_label < vspan[1]:
            continue
        ux, uy = sx, lam * sy
        norm = float(np.hypot(ux, uy))
        nx, ny = -uy / norm * side, ux / norm * side   # unit normal, in pixels
        gap = 6.0
        ax.text(f_label + nx * gap / sx, lam * f_label + ny * gap / sy,
                f"λ = {lam:.3g} m ({name})", color="white", fontsize=8, ha="right",
                va="top" if side < 0 else "bottom", rotation=float(np.degrees(np.arctan(lam))),
                rotation_mode="anchor", transform_rotates_text=True,
                bbox=dict(boxstyle="round,pad=0.2", fc="black", ec="none", alpha=0.55))


def plot_gather(gather: Gather, ax: Any = None, *, kind: str = "wiggle",
                trim: Optional[tuple[float, float]] = None, mute: Any = None,
                normalize: str = "trace", clip: float = 99.5,
                title: Optional[str] = None) -> Any:
    """Draw a gather; see :meth:`molvak.Gather.plot`."""
    kind = _checks.choice("kind", kind, ("wiggle", "image"))
    normalize = _checks.choice("normalize", normalize, ("trace", "gather"))
    if not 0 < float(clip) <= 100:
        raise ValueError(f"clip must be a percentile above 0, at most 100; got {clip!r}")
    require_matplotlib()
    if ax is None:
        import matplotlib.pyplot as plt
        _, ax = plt.subplots(figsize=(7.5, 5.0), layout="constrained")
    order = np.argsort(gather.offsets, kind="stable")
    x = gather.offsets[order]
    data = gather.data[order]
    t = gather.time
    with np.errstate(invalid="ignore", divide="ignore"):
        if normalize == "trace":
            top = np.max(np.abs(data), axis=1, keepdims=True)
            data = np.where(top > 0, data / np.where(top > 0, top, 1.0), 0.0)
    scale = float(np.percentile(np.abs(data), clip)) if data.size else 1.0
    scale = scale if scale > 0 else 1.0
    gaps = np.diff(np.unique(x))
    step = float(np.median(gaps)) if gaps.size else 1.0
    if kind == "image":
        mesh = ax.pcolormesh(x, t, (data / scale).T, shading="nearest", cmap="seismic",
                             vmin=-1.0, vmax=1.0, rasterized=True)
        bar = ax.figure.colorbar(mesh, ax=ax, pad=0.02)
        bar.set_label("amplitude, " + ("each trace to its largest sample"
                                       if normalize == "trace" else "normalised"))
    else:
        width = 0.5 * step
        for k in range(x.size):
            trace = np.clip(data[k] / scale, -1.0, 1.0) * width
            ax.plot(x[k] + trace, t, color="black", lw=0.5)
            ax.fill_betweenx(t, x[k], x[k] + trace, where=trace > 0, color="black", lw=0,
                             interpolate=True)
    ax.set_xlim(x[0] - step, x[-1] + step)
    ax.set_ylim(t[-1], t[0])                  # time runs down
    span = np.array([x[0] - step, x[-1] + step])
    drawn = False
    if trim is not None:
        for k, value in enumerate(trim):
            ax.axhline(float(value), color="tab:blue", lw=1.2, ls="--",
                       label="trim window" if k == 0 else None)
        # what the window leaves out, shaded
        ax.axhspan(min(t[0], float(trim[0])), float(trim[0]), color="tab:blue", alpha=0.12,
                   lw=0)
        ax.axhspan(float(trim[1]), max(t[-1], float(trim[1])), color="tab:blue", alpha=0.12,
                   lw=0)
        drawn = True
    if mute is not None:
        for k, (line, name) in enumerate(zip(mute, ("mute before", "mute after"))):
            if line is None:
                continue
            if isinstance(line, (tuple, list, np.ndarray)):
                t0, velocity = (float(v) for v in line)
                times = t0 + span / velocity
            else:
                times = np.full(2, float(line))
            ax.plot(span, times, color=("tab:red", "tab:orange")[k], lw=1.2, label=name)
            drawn = True
    ax.set_xlabel("Offset (m)")
    ax.set_ylabel("Time after the shot (s)")
    ax.set_title(title if title is not None else f"{gather.name}: {gather.shape[0]} traces")
    if drawn:
        ax.legend(loc="lower right", fontsize=8, framealpha=0.85)
    return ax


def plot_uncertain(curve: UncertainCurve, ax: Any = None, *, x: Optional[str] = None,
                   curves: Sequence[DispersionCurve] = (), valid_only: bool = True,
                   title: Optional[str] = None) -> Any:
    """Draw a curve with its uncertainty; see :meth:`molvak.UncertainCurve.plot`."""
    require_matplotlib()
    axis = x if x is not None else curve.domain
    if axis not in ("frequency", "wavelength"):
        raise ValueError(f"x must be 'frequency' or 'wavelength'; got {x!r}")
    if ax is None:
        import matplotlib.pyplot as plt
        _, ax = plt.subplots(figsize=(7.5, 5.0), layout="constrained")
    for k, c in enumerate(curves):
        keep = c.valid if valid_only else np.ones(len(c), dtype=bool)
        ax.plot(getattr(c, axis)[keep], c.velocity[keep], ls="none", marker="o", ms=2.2,
                color="0.6", alpha=0.7, zorder=1,
                label=f"picks of {len(curves)} curve(s)" if k == 0 else None)
    at = getattr(curve, axis)
    order = np.argsort(at)
    if np.isfinite(curve.low).any():
        ax.fill_between(at[order], curve.low[order], curve.high[order], color="tab:blue",
                        alpha=0.25, lw=0, label="mean ± std", zorder=2)
    if np.isfinite(curve.ci_low).any():
        ax.plot(at[order], curve.ci_low[order], color="tab:blue", lw=0.8, ls="--", zorder=3,
                label="confidence interval of the mean")
        ax.plot(at[order], curve.ci_high[order], color="tab:blue", lw=0.8, ls="--", zorder=3)
    ax.plot(at[order], curve.velocity[order], color="tab:blue", lw=1.8, marker="o", ms=3,
            label="mean", zorder=4)
    ax.set_xscale("log")
    from matplotlib.ticker import FuncFormatter
    plain = FuncFormatter(lambda value, _: f"{value:g}")
    ax.xaxis.set_major_formatter(plain)
    ax.xaxis.set_minor_formatter(FuncFormatter(
        lambda value, _: f"{value:g}" if f"{value:g}"[0] in "25" else ""))
    ax.set_xlabel("Frequency (Hz)" if axis == "frequency" else "Wavelength (m)")
    ax.set_ylabel("Phase velocity (m/s)")
    ax.set_title(title if title is not None else "Dispersion curve and its uncertainty")
    ax.legend(loc="best", fontsize=8, framealpha=0.85)
    return ax
