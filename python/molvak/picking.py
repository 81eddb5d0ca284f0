"""Peaks of dispersion images: validity flags, ridges and modes.

The functions here work on plain arrays; :meth:`DispersionImage.pick` wraps
them. Velocities are positive, frequencies in Hz, wavelengths in the unit of
the offsets.
"""
from __future__ import annotations

import math
from typing import Optional

import numpy as np

# Reasons a pick is not to be trusted, in the order of the CSV columns.
FLAGS = ("too_short", "too_long", "gauge", "aliased", "near_field", "at_edge", "jump")

# Calibrated on the WGHS and Oysand field records (tools/field_curves.py):
# wavelengths from one receiver spacing to 0.6 of the aperture.
SHORTEST = 1.0
LONGEST = 0.6
# The shortest wavelength a fibre-optic (DAS) record resolves, in gauge
# lengths G. A channel measures the strain averaged over G, which scales a
# wave of wavelength lambda along the fibre by sinc(G / lambda) =
# sin(pi G / lambda) / (pi G / lambda) (Dean, Cuny and Hartog 2017, Geophys.
# Prospect. 65:184; Lindsey et al. 2020, JGR Solid Earth 125:e2019JB018145;
# the smearing of short waves in DAS surface-wave work: Dou et al. 2017,
# Sci. Rep. 7:11620). The factor is real and positive down to lambda = G, so
# the phase, and the phase velocity, of a wave longer than G survives (only
# its amplitude falls: 0.64 at 2 G, 0.2 at 1.2 G); at lambda = G it is zero
# and below it the lobes alternate in sign, so the record there is the
# smeared remnant of the wave. One gauge length is that limit; a noisy
# record, where the weakened waves drown first, may want 2 (sinc = 2 / pi,
# about the half-power point).
GAUGE = 1.0
NEAR_FIELD = 0.5
JUMP = 0.1
SLOPE = 0.5
# the widest gap in ln(frequency) across which one ridge continues another
MAX_BRIDGE = 0.5


def spacing_and_aperture(offsets: np.ndarray) -> tuple[float, float]:
    """The receiver spacing (median gap between distinct offsets, so that a
    few missing traces do not change it) and the aperture (largest minus
    smallest offset)."""
    x = np.unique(np.asarray(offsets, dtype=np.float64).ravel())
    if x.size < 2:
        raise ValueError(f"offsets must hold at least two distinct values; got {x.size}")
    return float(np.median(np.diff(x))), float(x[-1] - x[0])


def parabola_vertex(x0: np.ndarray, x1: np.ndarray, x2: np.ndarray,
                    y0: np.ndarray, y1: np.ndarray, y2: np.ndarray) -> np.ndarray:
    """Abscissa of the vertex of the parabola through three points.

    Written for any spacing; on an even grid it reduces to the usual
    x1 + h (y0 - y2) / (2 (y0 - 2 y1 + y2)). With y1 the largest of the three
    the vertex lies within half a step of x1 on either side; a flat top
    (zero curvature) keeps x1.
    """
    a = x1 - x0
    b = x1 - x2
    num = a * a * (y1 - y2) - b * b * (y1 - y0)
    den = a * (y1 - y2) - b * (y1 - y0)
    with np.errstate(divide="ignore", invalid="ignore"):
        shift = np.where(den != 0, 0.5 * num / np.where(den != 0, den, 1.0), 0.0)
    return x1 - shift


def refine(v: np.ndarray, p: np.ndarray, rows: np.ndarray, k: np.ndarray) -> np.ndarray:
    """Velocities of the grid maxima p[rows, k], refined by a parabola where
    both neighbours exist; maxima on the edge of the grid stay as they are."""
    out = v[k].astype(np.float64)
    inner = (k > 0) & (k < v.size - 1)
    if inner.any():
        i, km = rows[inner], k[inner]
        out[inner] = parabola_vertex(v[km - 1], v[km], v[km + 1],
                                     p[i, km - 1], p[i, km], p[i, km + 1])
    return out


# --------------------------------------------------------------------------
# flags


def flags(frequency: np.ndarray, velocity: np.ndarray, quality: np.ndarray,
          edge: np.ndarray, *, wavelengths: Optional[tuple[float, float]],
          spacing: Optional[float], window: tuple[float, float],
          source_distance: Optional[float], near_field: Optional[float],
          jump: Optional[float], slope: float = SLOPE,
          gauge_wavelength: Optional[float] = None) -> dict[str, np.ndarray]:
    """The flag arrays of a curve's picks (True: the cause applies).

    See :class:`molvak.DispersionCurve` for what each flag means.
    """
    f = np.asarray(frequency, dtype=np.float64)
    c = np.asarray(velocity, dtype=np.float64)
    lam = c / f
    none = np.zeros(f.shape, dtype=bool)
    out = {name: none.copy() for name in FLAGS}
    if wavelengths is not None:
        lo, hi = wavelengths
        out["too_short"] = lam < lo
        out["too_long"] = lam > hi
    if gauge_wavelength is not None:
        out["gauge"] = lam < gauge_wavelength
    if spacing is not None and spacing > 0:
        out["aliased"] = aliased(f, c, spacing, window)
    if near_field is not None and source_distance is not None:
        out["near_field"] = source_distance / lam < near_field
    out["at_edge"] = np.asarray(edge, dtype=bool).copy()
    if jump is not None:
        others = np.zeros(f.shape, dtype=bool)
        for name in FLAGS[:-1]:
            others |= out[name]
        out["jump"] = jumps(f, c, quality, ~others, jump, slope)
    return out


def aliased(f: np.ndarray, c: np.ndarray, spacing: float,
            window: tuple[float, float]) -> np.ndarray:
    """Picks that a spatially aliased wave could have made.

    A line sampled every `spacing` cannot tell the wavenumber k = f / c from
    k + m / spacing (m a non-zero integer). A pick is ambiguous when one of
    those wavenumbers belongs to a velocity inside the searched window
    [vmin, vmax]: a wave at that velocity would have made the same peak.
    The nearest alternatives (m = +1 and m = -1) decide: the others lie
    further out.
    """
    vmin, vmax = window
    k = f / c
    step = 1.0 / spacing
    with np.errstate(divide="ignore", invalid="ignore"):
        slower = f / (k + step)                       # m = +1: always positive
        faster = np.where(k > step, f / (k - step), np.inf)
    return ((slower >= vmin) & (slower <= vmax)) | ((faster >= vmin) & (faster <= vmax))


def on_ridge(dlf: float, dlc: float, tol: float, slope: float = SLOPE) -> bool:
    """Whether two picks, ln(f) and ln(c) apart by `dlf` and `dlc`, can lie
    on one dispersion curve.

    A curve that falls with frequency (normal dispersion) may fall by up to
    ``tol + slope * |dlf|`` in ln(c) between them: a step of `tol` between
    neighbours, and a fall of up to a factor (f2 / f1) ** slope across a
    gap. The other way (velocity rising with frequency) it may change by
    ``tol / 2`` only, however wide the gap: a ridge that comes back faster
    at higher frequencies than it left is another mode, which is how the
    strongest peak most often leaves the fundamental mode.
    """
    if dlf * dlc <= 0:
        return bool(abs(dlc) <= tol + slope * abs(dlf))
    return bool(abs(dlc) <= 0.5 * tol)


def jumps(f: np.ndarray, c: np.ndarray, quality: np.ndarray, eligible: np.ndarray,
          tol: float, slope: float = SLOPE) -> np.ndarray:
    """Picks off the ridge that the curve follows.

    Two picks lie on one ridge when :func:`on_ridge` says so: a relative
    step of up to `tol` between neighbouring frequencies, widened where they
    lie far apart in the sense of normal dispersion.
    Among the `eligible` picks (those no other flag rejects), the run of
    consecutive picks on one ridge with the largest summed quality is the
    seed; from its ends the ridge is followed outwards pick by pick, each
    compared with the last pick accepted, so a stretch on another mode or
    in noise is flagged and the curve is picked up again where it comes
    back. Picks that are not eligible are flagged by the same comparison but
    never extend the ridge.
    """
    n = f.size
    out = np.zeros(n, dtype=bool)
    idx = np.flatnonzero(eligible)
    if idx.size == 0:
        return out
    lf, lc = np.log(f), np.log(c)

    def close(i: int, j: int) -> bool:
        return on_ridge(lf[j] - lf[i], lc[j] - lc[i], tol, slope)

    # runs of eligible picks joined step by step
    best, best_score, start = (0, 0), -1.0, 0
    for m in range(1, idx.size + 1):
        if m == idx.size or not close(idx[m - 1], idx[m]):
            score = float(np.sum(quality[idx[start:m]]))
            if score > best_score:
                best, best_score = (start, m), score
            start = m
    a, b = best
    for sweep in (range(idx[b - 1] + 1, n), range(idx[a] - 1, -1, -1)):
        last = idx[b - 1] if sweep.step == 1 else idx[a]
        for j in sweep:
            if close(last, j):
                if eligible[j]:
                    last = j
            else:
                out[j] = True
    return out


# --------------------------------------------------------------------------
# ridges and modes


class Ridge:
    """Peaks linked across neighbouring frequency rows."""

    __slots__ = ("rows", "velocity", "power", "edge", "_lf", "_lv", "_slope")

    def __init__(self) -> None:
        self.rows: list[int] = []
        self.velocity: list[float] = []
        self.power: list[float] = []
        self.edge: list[bool] = []
        self._lf: list[float] = []
        self._lv: list[float] = []
        self._slope = 0.0

    def add(self, row: int, lf: float, velocity: float, power: float, edge: bool) -> None:
        """Append the peak at frequency row `row` (`lf` the log of its
        frequency) and update the ridge's trend."""
        self.rows.append(row)
        self.velocity.append(velocity)
        self.power.append(power)
        self.edge.append(edge)
        self._lf.append(lf)
        self._lv.append(math.log(velocity))
        # the trend of the last few peaks (at most 4): a least-squares line in
        # ln(f), ln(c), its slope clipped, for a dispersion curve does not
        # steepen without bound
        x, y = self._lf[-4:], self._lv[-4:]
        if len(x) < 2:
            self._slope = 0.0
            return
        mx, my = sum(x) / len(x), sum(y) / len(y)
        sxx = sum((u - mx) ** 2 for u in x)
        sxy = sum((u - mx) * (w - my) for u, w in zip(x, y))
        self._slope = min(1.0, max(-1.0, sxy / sxx)) if sxx > 0 else 0.0

    def predict(self, lf: float) -> float:
        """ln(velocity) expected at ln(frequency) `lf`."""
        return self._lv[-1] + self._slope * (lf - self._lf[-1])

    @property
    def strength(self) -> float:
        """The summed power of the ridge's peaks."""
        return float(np.sum(self.power))


def row_peaks(p: np.ndarray, v: np.ndarray, min_power: float, *,
              f: Optional[np.ndarray] = None, aperture: Optional[float] = None,
              ) -> list[tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]]:
    """Per row: (grid index, refined velocity, power, on the edge) of every
    local maximum at least `min_power` times the row's largest value.

    Given the frequencies `f` and the aperture A of the line, a peak within
    3 / A in wavenumber (f / c) of a peak at least twice as strong is left
    out: the main lobe of a line of length A is about 1 / A wide and its
    first sidelobes lie 1.4 / A and 2.5 / A away, so such a peak is a
    sidelobe, or too close to the stronger one to be measured apart.
    """
    nf, nc = p.shape
    left = np.full_like(p, -np.inf)
    right = np.full_like(p, -np.inf)
    left[:, 1:] = p[:, :-1]
    right[:, :-1] = p[:, 1:]
    top = np.max(p, axis=1, keepdims=True)
    is_peak = (p > left) & (p >= right) & np.isfinite(p) & (p > 0) & (p >= min_power * top)
    out = []
    rows_all, k_all = np.nonzero(is_peak)
    vel_all = refine(v, p, rows_all, k_all)
    pw_all = p[rows_all, k_all]
    bounds = np.searchsorted(rows_all, np.arange(nf + 1))
    for i in range(nf):
        part = slice(bounds[i], bounds[i + 1])
        k, vel, pw = k_all[part], vel_all[part], pw_all[part]
        if f is not None and aperture and k.size > 1:
            wn = f[i] / vel
            keep = np.ones(k.size, dtype=bool)
            for j in np.argsort(-pw):
                if not keep[j]:
                    continue
                near = (np.abs(wn - wn[j]) < 3.0 / aperture) & (pw < 0.5 * pw[j])
                keep &= ~near
            k, vel, pw = k[keep], vel[keep], pw[keep]
        out.append((k, vel, pw, (k == 0) | (k == nc - 1)))
    return out


def track(f: np.ndarray, peaks: list, *, tol: float, max_gap: int) -> list[Ridge]:
    """Link the peaks of neighbouring rows into ridges.

    A ridge seen last up to `max_gap` rows back takes the peak whose
    ln(velocity) is nearest its trend, if within `tol`; pairs are matched
    closest first, one peak per ridge. Peaks left over start new ridges.
    """
    lf = np.log(f)
    ridges: list[Ridge] = []
    active: list[Ridge] = []
    for i, (_, vel, pw, edge) in enumerate(peaks):
        active = [r for r in active if i - r.rows[-1] <= max_gap + 1]
        taken = np.zeros(vel.size, dtype=bool)
        if vel.size and active:
            lv = np.log(vel)
            pred = np.array([r.predict(float(lf[i])) for r in active])
            d = np.abs(lv[None, :] - pred[:, None])
            a_idx, j_idx = np.nonzero(d <= tol)
            order = np.argsort(d[a_idx, j_idx], kind="stable")
            used = set()
            for a, j in zip(a_idx[order].tolist(), j_idx[order].tolist()):
                if a in used or taken[j]:
                    continue
                used.add(a)
                taken[j] = True
                active[a].add(i, float(lf[i]), float(vel[j]), float(pw[j]), bool(edge[j]))
        for j in np.flatnonzero(~taken).tolist():
            r = Ridge()
            r.add(i, float(lf[i]), float(vel[j]), float(pw[j]), bool(edge[j]))
            ridges.append(r)
            active.append(r)
    return ridges


def number_modes(ridges: list[Ridge], f: np.ndarray, *, tol: float, slope: float = SLOPE
                 ) -> list[int]:
    """The mode number of every ridge, counted from the slowest (0) up.

    Where two ridges share frequencies they belong to different modes and
    the slower one lies below. A ridge that starts after another ends
    continues it (same mode) when its first pick and the other's last lie on
    one ridge (:func:`on_ridge`) and at most a factor e^MAX_BRIDGE (about
    1.65) apart in frequency, and otherwise lies above or below it. Ridges that continue one another are joined
    (strongest first, never two that overlap in frequency); a ridge's mode
    number is then the length of the longest chain of ridges below it. So a
    mode keeps its number where a slower one fades out, and relations that
    would contradict stronger ones already set are dropped.
    """
    n = len(ridges)
    lf = np.log(f)
    rows = [np.asarray(r.rows) for r in ridges]
    lv = [np.log(np.asarray(r.velocity)) for r in ridges]

    # groups of ridges that continue one another
    group = list(range(n))

    def find(a: int) -> int:
        while group[a] != a:
            group[a] = group[group[a]]
            a = group[a]
        return a

    members: dict[int, list[int]] = {a: [a] for a in range(n)}

    def overlap(a: int, b: int) -> bool:
        return bool(np.intersect1d(rows[a], rows[b]).size)

    candidates = []
    for a in range(n):
        for b in range(n):
            if a == b or rows[a][-1] >= rows[b][0]:
                continue
            # b starts after a ends, not too far off
            dlf = lf[rows[b][0]] - lf[rows[a][-1]]
            if dlf <= MAX_BRIDGE and on_ridge(dlf, lv[b][0] - lv[a][-1], tol, slope):
                candidates.append((rows[b][0] - rows[a][-1], -min(ridges[a].strength,
                                                                  ridges[b].strength), a, b))
    candidates.sort()
    for _, _, a, b in candidates:
        ga, gb = find(a), find(b)
        if ga == gb:
            continue
        if any(overlap(x, y) for x in members[ga] for y in members[gb]):
            continue
        group[gb] = ga
        members[ga].extend(members.pop(gb))

    roots = sorted({find(a) for a in range(n)},
                   key=lambda g: -sum(ridges[a].strength for a in members[g]))
    below: dict[int, set] = {g: set() for g in roots}   # below[g]: groups under g

    def reaches(src: int, dst: int) -> bool:
        seen, stack = set(), [src]
        while stack:
            x = stack.pop()
            if x == dst:
                return True
            if x not in seen:
                seen.add(x)
                stack.extend(below[x])
        return False

    def relate(ga: int, gb: int) -> Optional[bool]:
        """True when group ga lies above group gb, None when unknown."""
        votes = 0.0
        for a in members[ga]:
            for b in members[gb]:
                common, ia, ib = np.intersect1d(rows[a], rows[b], return_indices=True)
                if common.size:
                    votes += float(np.sum(np.sign(lv[a][ia] - lv[b][ib])))
        if votes:
            return votes > 0
        # no shared frequency: compare the nearest ends
        best = None
        for a in members[ga]:
            for b in members[gb]:
                if rows[a][-1] < rows[b][0]:
                    gap, d = rows[b][0] - rows[a][-1], lv[a][-1] - lv[b][0]
                else:
                    gap, d = rows[a][0] - rows[b][-1], lv[a][0] - lv[b][-1]
                if best is None or gap < best[0]:
                    best = (gap, d)
        return None if best is None or best[1] == 0 else bool(best[1] > 0)

    for i, ga in enumerate(roots):
        for gb in roots[i + 1:]:
            above = relate(ga, gb)
            if above is None:
                continue
            hi, lo = (ga, gb) if above else (gb, ga)
            if not reaches(lo, hi):          # keep the relation graph acyclic
                below[hi].add(lo)

    level: dict[int, int] = {}

    def depth(g: int) -> int:
        if g not in level:
            level[g] = 1 + max((depth(h) for h in below[g]), default=-1)
        return level[g]

    return [depth(find(a)) for a in range(n)]
