"""Relative velocity changes dv/v between two correlations of the same pairs
of channels: a reference (a long stack) and a current one (a day, an hour),
the main use of continuous records besides imaging.

    change = molvak.dvv(reference_gather, current_gather, method="stretching",
                        lags=(0.5, 3.0), fmin=5, fmax=30)
    change.dvv, change.cc, change.error        # per trace
    change.combined, change.combined_error     # over the gather

When every velocity of the medium changes by the same factor, every arrival
of the Green's function comes at t / (1 + dv/v): the current correlation is
the reference stretched in time, u_c(t) = u_r(t (1 + dv/v)), so dv/v is
positive when waves travel faster. Two published ways to measure it:

- **stretching** (Lobkis & Weaver 2003; Sens-Schoenfelder & Wegler 2006):
  the reference evaluated at t (1 + e) for trial factors e, its correlation
  coefficient with the current trace over the lag window, and the e of the
  highest coefficient X (a grid of `steps` factors over +-`max_change`, then
  a finer grid around the best, each refined by a parabola through the
  highest point and its neighbours). The reference is interpolated after an
  8-fold band-limited (FFT) upsampling, linearly between those samples. The
  error is that of Weaver, Hadziioannou, Larose & Campillo (2011, eq. 7),

      rms(e) = sqrt(1 - X^2) / (2 X) * sqrt(6 sqrt(pi / 2) T / (w_c^2 (t2^3 - t1^3))),

  with T = 1 / (fmax - fmin) the inverse bandwidth, w_c = pi (fmin + fmax)
  the centre angular frequency and [t1, t2] the lag window (counted on each
  side of zero lag that the traces hold: t2^3 - t1^3 summed over them).
  Combined over the gather: the e that maximises the coefficient of all the
  traces' windows taken together, with the same error formula for that
  coefficient and the traces' windows counted together.
- **moving-window cross-spectral, MWCS** (Poupinet et al. 1984; Clarke et
  al. 2011): in windows of `window` seconds every `step` seconds inside the
  lag window, the cross-spectrum of the reference and current
  segments (tapered by 10 % cosine ramps at each end), smoothed over
  2 `smooth` + 1 bins, gives the coherence g at each
  frequency of the band, and the unsmoothed one the phase phi (smoothing a
  cross-spectrum whose amplitude is peaked pulls the phases towards those of
  the strongest bins and flattens their slope); the delay dt of the window is the
  slope of phi = -2 pi f dt, fitted through the origin with the weights
  g^2 / (1 - g^2) (the inverse variance of a phase of coherence g) times
  sqrt|X| of the smoothed cross-spectrum X (the phase of a weak bin, wrapped
  into (-pi, pi], is pulled towards zero and would flatten the slope), its error
  that of the slope (Clarke et al. 2011, eq. 8-9) from the scatter of the
  phases about the line. Windows whose mean coherence is below
  `min_coherence` are left out. The delays of the windows are fitted against
  their centre times through the origin, weighted by their inverse variance:
  dt = a t, and dv/v = -a / (1 + a) (exact for a uniform change, where
  dt / t = 1 / (1 + dv/v) - 1). The coefficient reported is the correlation
  coefficient of the two traces over the lag window, as they are; combined
  over the gather: one fit through every trace's windows.

Both traces are band-passed to [fmin, fmax] first (an FFT filter with sin^2
ramps of a tenth of the band beyond each corner); without a band, the band
is where the mean power spectrum of the reference traces over the lag
window is at least a tenth of its peak. A trace whose measurement has no
answer (best factor at the end of the search range, no coherent window,
an all-zero window) gets NaN, and the combined value leaves it out. So
does the trace of a virtual gather at its virtual source (offset 0): the
autocorrelation of whitened records is the band's own pulse whatever the
ground, and would claim no change with full confidence.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _checks
from .gather import Gather
from .interferometry import fast_length

__all__ = ["METHODS", "VelocityChange", "dvv"]

METHODS = ("stretching", "mwcs")
_UPSAMPLE = 8
_TAPER = 0.2     # MWCS windows: the fraction of each window in its two cosine ramps


def _tukey(n: int, fraction: float) -> np.ndarray:
    """Flat over the middle, sin^2 ramps of fraction / 2 of the n samples at
    each end: a flat top measures the shift of an arrival anywhere in it
    alike (a Hann window's slopes pull the apparent shift of an arrival off
    its centre towards zero)."""
    w = np.ones(n)
    ramp = max(1, int(round(0.5 * fraction * n)))
    edge = np.sin(0.5 * np.pi * (np.arange(ramp) + 0.5) / ramp) ** 2
    w[:ramp] = edge
    w[n - ramp:] *= edge[::-1]
    return w


@dataclass(frozen=True, eq=False)
class VelocityChange:
    """dv/v between a reference and a current set of correlations.

    Attributes
    ----------
    method : {"stretching", "mwcs"}
    dvv : ndarray (N,)
        dv/v of every trace (a fraction: 0.005 is 0.5 %), positive when the
        waves travel faster now; NaN where there is no answer.
    cc : ndarray (N,)
        Correlation coefficient of every trace with the reference: after
        stretching by dv/v (stretching), as they are (MWCS).
    error : ndarray (N,)
        Error estimate of every dv/v (one standard deviation).
    combined, combined_cc, combined_error : float
        The same over the whole gather.
    lags : (float, float)
        The lag window ``|t|`` in [tmin, tmax] (s).
    band : (float, float)
        The band (Hz).
    """

    method: str
    dvv: np.ndarray
    cc: np.ndarray
    error: np.ndarray
    combined: float
    combined_cc: float
    combined_error: float
    lags: tuple[float, float]
    band: tuple[float, float]

    def __repr__(self) -> str:
        return (f"<VelocityChange ({self.method}): dv/v = {100 * self.combined:.4f} % "
                f"+- {100 * self.combined_error:.4f} %, cc {self.combined_cc:.3f}, "
                f"{self.dvv.size} trace(s)>")


def _traces(name: str, x: Any, dt: Optional[float], t0: float
            ) -> tuple[np.ndarray, np.ndarray, float]:
    """(data (N, T), times (T,), dt) of a Gather or an array."""
    if isinstance(x, Gather):
        return np.asarray(x.data, dtype=np.float64), x.time, float(x.dt)
    data = np.asarray(x, dtype=np.float64)
    if data.ndim == 1:
        data = data[None, :]
    if data.ndim != 2 or data.shape[1] < 4:
        raise ValueError(f"{name} must be a Gather or traces (N, T) of at least 4 samples; got "
                         f"shape {np.shape(x)}")
    if dt is None:
        raise TypeError(f"{name} is an array: give its sample interval dt= (and t0=, the lag "
                        f"of its first sample)")
    step = _checks.positive_float("dt", dt)
    return data, float(t0) + step * np.arange(data.shape[1]), step


def _band_weights(f: np.ndarray, fmin: float, fmax: float, nyquist: float) -> np.ndarray:
    """1 in [fmin, fmax], sin^2 ramps a tenth of the band wide beyond."""
    ramp = 0.1 * (fmax - fmin)
    w = ((f >= fmin) & (f <= fmax)).astype(np.float64)
    lo = (f < fmin) & (f > fmin - ramp)
    w[lo] = np.sin(0.5 * np.pi * (f[lo] - fmin + ramp) / ramp) ** 2
    hi = (f > fmax) & (f < min(fmax + ramp, nyquist + ramp))
    w[hi] = np.cos(0.5 * np.pi * (f[hi] - fmax) / ramp) ** 2
    return w


def _bandpass(data: np.ndarray, dt: float, fmin: float, fmax: float) -> np.ndarray:
    n = data.shape[-1]
    nfft = fast_length(2 * n)
    f = np.fft.rfftfreq(nfft, dt)
    spectrum = np.fft.rfft(data, n=nfft, axis=-1) * _band_weights(f, fmin, fmax, 0.5 / dt)
    out: np.ndarray = np.fft.irfft(spectrum, n=nfft, axis=-1)[..., :n]
    return out


def _default_band(data: np.ndarray, mask: np.ndarray, dt: float) -> tuple[float, float]:
    seg = data[:, mask]
    nfft = fast_length(2 * seg.shape[1])
    power = np.mean(np.abs(np.fft.rfft(seg - seg.mean(axis=1, keepdims=True), n=nfft,
                                       axis=1)) ** 2, axis=0)
    power[0] = 0.0
    f = np.fft.rfftfreq(nfft, dt)
    if not power.max() > 0:
        raise ValueError("the reference is zero over the lag window: no band to measure in")
    strong = np.flatnonzero(power >= 0.1 * power.max())
    return float(f[strong[0]]), float(f[strong[-1]])


def _weaver_error(x: np.ndarray, band: tuple[float, float], t1: float, t2: float,
                  sides: int) -> np.ndarray:
    """Weaver et al. (2011), eq. 7, for coefficients x."""
    fmin, fmax = band
    inverse_bandwidth = 1.0 / (fmax - fmin)
    wc = np.pi * (fmin + fmax)
    span = sides * (t2 ** 3 - t1 ** 3)
    with np.errstate(divide="ignore", invalid="ignore"):
        out: np.ndarray = np.sqrt(1.0 - np.minimum(x, 1.0) ** 2) / (2.0 * x) * math.sqrt(
            6.0 * math.sqrt(math.pi / 2.0) * inverse_bandwidth / (wc ** 2 * span))
    return np.where(x > 0, out, np.nan)


def _parabola(y: np.ndarray, k: np.ndarray) -> np.ndarray:
    """Offset (in grid steps) of the vertex of the parabola through
    y[k - 1], y[k], y[k + 1] along the last axis."""
    a = np.take_along_axis(y, (k - 1)[..., None], -1)[..., 0]
    b = np.take_along_axis(y, k[..., None], -1)[..., 0]
    c = np.take_along_axis(y, (k + 1)[..., None], -1)[..., 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        den = a - 2.0 * b + c
        off = np.where(den < 0, 0.5 * (a - c) / den, 0.0)
    out: np.ndarray = np.clip(off, -1.0, 1.0)
    return out


class _Stretcher:
    """The reference traces, band-limited, upsampled for interpolation, and
    the current window they are compared with."""

    def __init__(self, ref: np.ndarray, cur: np.ndarray, times: np.ndarray, dt: float,
                 mask: np.ndarray) -> None:
        n = ref.shape[1]
        nfft = fast_length(2 * n)
        spectrum = np.fft.rfft(ref, n=nfft, axis=1)
        # band-limited interpolation onto a grid `_UPSAMPLE` times finer
        fine = np.fft.irfft(spectrum, n=nfft * _UPSAMPLE, axis=1) * _UPSAMPLE
        self.fine = np.ascontiguousarray(fine[:, :n * _UPSAMPLE])
        self.t0, self.fdt = float(times[0]), dt / _UPSAMPLE
        self.tw = times[mask]
        self.cur = cur[:, mask]
        self.cur_energy = np.sum(self.cur ** 2, axis=1)

    def coefficients(self, factors: np.ndarray, joint: bool) -> np.ndarray:
        """The correlation coefficient over the window of the current traces
        with the reference taken at t (1 + e), for factors e (N, M) per
        trace: (N, M); joint: of all the traces together, (1, M)."""
        n, k = self.fine.shape[0], self.tw.size
        pos = (self.tw[None, None, :] * (1.0 + factors[:, :, None]) - self.t0) / self.fdt
        i0 = np.clip(np.floor(pos).astype(np.intp), 0, self.fine.shape[1] - 2)
        frac = pos - i0
        i0 = np.broadcast_to(i0, (n,) + i0.shape[1:]).reshape(n, -1)
        frac = np.broadcast_to(frac, (n,) + frac.shape[1:]).reshape(n, -1, k)
        left = np.take_along_axis(self.fine, i0, axis=1).reshape(frac.shape)
        right = np.take_along_axis(self.fine, i0 + 1, axis=1).reshape(frac.shape)
        r = left + (right - left) * frac                                  # (N, M, K)
        cross = np.einsum("nmk,nk->nm", r, self.cur)
        energy = np.einsum("nmk,nmk->nm", r, r)
        cur = self.cur_energy[:, None]
        if joint:
            cross, energy, cur = cross.sum(0, keepdims=True), energy.sum(0, keepdims=True), \
                cur.sum(0, keepdims=True)
        with np.errstate(divide="ignore", invalid="ignore"):
            cc = cross / np.sqrt(energy * cur)
        out: np.ndarray = np.where(np.isfinite(cc), cc, -np.inf)
        return out

    def search(self, factors: np.ndarray, joint: bool
               ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Best factor (refined by a parabola), its coefficient, and whether
        it lies inside the grid, for grids (N or 1, M) of equal steps."""
        cc = self.coefficients(factors, joint)
        m = factors.shape[1]
        k = np.argmax(cc, axis=1)
        inside = (k > 0) & (k < m - 1)
        kk = np.clip(k, 1, m - 2)
        rows = np.arange(factors.shape[0])
        step = factors[:, 1] - factors[:, 0]
        best = np.where(inside, factors[rows, kk] + _parabola(cc, kk) * step, factors[rows, k])
        return best, np.max(cc, axis=1), inside


def _stretching(ref: np.ndarray, cur: np.ndarray, times: np.ndarray, dt: float,
                mask: np.ndarray, max_change: float, steps: int
                ) -> tuple[np.ndarray, np.ndarray, float, float]:
    st = _Stretcher(ref, cur, times, dt, mask)
    coarse = np.linspace(-max_change, max_change, 2 * steps + 1)
    step = coarse[1] - coarse[0]
    out = []
    for joint in (False, True):
        rows = 1 if joint else ref.shape[0]
        best, _, inside = st.search(np.broadcast_to(coarse, (rows, coarse.size)), joint)
        # a grid 20 times finer about the coarse answer
        fine = best[:, None] + np.linspace(-2.0 * step, 2.0 * step, 81)[None, :]
        value, cc, _ = st.search(fine, joint)
        out.append((np.where(inside, value, np.nan), np.where(inside, cc, np.nan)))
    (v, c), (jv, jc) = out
    return v, c, float(jv[0]), float(jc[0])


def _window_delays(ref: np.ndarray, cur: np.ndarray, dt: float, starts: np.ndarray,
                   length: int, band: tuple[float, float], smooth: int
                   ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Delay (s), its error and the mean coherence of every trace (N) in
    every window (W): arrays (N, W)."""
    idx = starts[:, None] + np.arange(length)[None, :]
    taper = _tukey(length, _TAPER)
    nfft = fast_length(2 * length)
    f = np.fft.rfftfreq(nfft, dt)

    def segments(x: np.ndarray) -> np.ndarray:
        seg = x[:, idx]                                          # (N, W, L)
        out: np.ndarray = (seg - seg.mean(axis=-1, keepdims=True)) * taper
        return out

    r, c = np.fft.rfft(segments(ref), n=nfft, axis=-1), np.fft.rfft(segments(cur), n=nfft, axis=-1)

    def smoothed(v: np.ndarray) -> np.ndarray:
        if smooth == 0:
            return v
        kernel = np.ones(2 * smooth + 1) / (2 * smooth + 1)
        pad = np.concatenate([v[..., smooth:0:-1], v, v[..., -2:-smooth - 2:-1]], axis=-1)
        cs = np.cumsum(np.concatenate([np.zeros(v.shape[:-1] + (1,), v.dtype), pad], axis=-1),
                       axis=-1)
        out: np.ndarray = (cs[..., 2 * smooth + 1:] - cs[..., :-2 * smooth - 1]) * kernel[0]
        return out

    raw = np.conj(r) * c
    cross = smoothed(raw)
    pr, pc = smoothed(np.abs(r) ** 2), smoothed(np.abs(c) ** 2)
    inband = (f >= band[0]) & (f <= band[1])
    with np.errstate(divide="ignore", invalid="ignore"):
        coherence = np.clip(np.abs(cross) / np.sqrt(pr * pc), 0.0, 1.0)[..., inband]
    coherence = np.where(np.isfinite(coherence), coherence, 0.0)   # a window of zeros
    # the phase of each bin as it is: the smoothed cross-spectrum's phase is
    # pulled towards that of the strongest bins nearby, which flattens the
    # slope wherever the spectrum is peaked
    phase = np.angle(raw[..., inband])
    v = 2.0 * np.pi * f[inband]
    g2 = np.minimum(coherence, 0.99) ** 2
    w = g2 / (1.0 - g2) * np.sqrt(np.abs(cross[..., inband]))
    w = np.where(np.isfinite(w), w, 0.0)
    swv2 = np.sum(w * v ** 2, axis=-1)
    with np.errstate(divide="ignore", invalid="ignore"):
        slope = np.sum(w * v * phase, axis=-1) / swv2
        resid = phase - slope[..., None] * v
        sigma2 = np.sum(resid ** 2, axis=-1) / max(v.size - 1, 1)
        err = np.sqrt(np.sum((w * v) ** 2, axis=-1) / swv2 ** 2 * sigma2)
    # phi = -2 pi f dt: the delay is minus the slope over 2 pi f
    return -slope, err, np.mean(coherence, axis=-1)


def _fit_delays(t: np.ndarray, delay: np.ndarray, err: np.ndarray) -> tuple[float, float]:
    """dv/v and its error from delays against time, through the origin."""
    ok = np.isfinite(delay) & np.isfinite(err) & (err > 0)
    if ok.sum() < 2:
        return math.nan, math.nan
    w = 1.0 / err[ok] ** 2
    s = float(np.sum(w * t[ok] ** 2))
    a = float(np.sum(w * t[ok] * delay[ok])) / s
    sa = 1.0 / math.sqrt(s)
    return -a / (1.0 + a), sa / (1.0 + a) ** 2


def _mwcs(ref: np.ndarray, cur: np.ndarray, times: np.ndarray, dt: float,
          lags: tuple[float, float], band: tuple[float, float], window: float, step: float,
          smooth: int, min_coherence: float) -> tuple[np.ndarray, np.ndarray, float, float]:
    length = int(round(window / dt))
    stride = max(1, int(round(step / dt)))
    if length < 4:
        raise ValueError(f"window = {window!r} s holds fewer than 4 samples of {dt:g} s")
    tmin, tmax = lags
    starts = []
    for i0 in range(0, times.size - length + 1, stride):
        a, b = times[i0], times[i0 + length - 1]
        inside = (a >= tmin - 1e-9 * dt and b <= tmax + 1e-9 * dt) or \
            (b <= -tmin + 1e-9 * dt and a >= -tmax - 1e-9 * dt)
        if inside:
            starts.append(i0)
    if not starts:
        raise ValueError(f"no MWCS window of {window:g} s fits in the lag window {lags}")
    s0 = np.asarray(starts, dtype=np.intp)
    centre = times[s0] + 0.5 * (length - 1) * dt
    delay, err, coherence = _window_delays(ref, cur, dt, s0, length, band, smooth)
    keep = coherence >= min_coherence
    delay = np.where(keep, delay, np.nan)
    values, errors = np.full(ref.shape[0], np.nan), np.full(ref.shape[0], np.nan)
    for n in range(ref.shape[0]):
        values[n], errors[n] = _fit_delays(centre, delay[n], err[n])
    tt = np.broadcast_to(centre, delay.shape).ravel()
    joint, joint_error = _fit_delays(tt, delay.ravel(), err.ravel())
    return values, errors, joint, joint_error


def dvv(reference: Union[Gather, ArrayLike], current: Union[Gather, ArrayLike], *,
        method: str = "stretching", lags: Optional[tuple[float, float]] = None,
        fmin: Optional[float] = None, fmax: Optional[float] = None,
        dt: Optional[float] = None, t0: float = 0.0, max_change: float = 0.02,
        steps: int = 200, window: Optional[float] = None, step: Optional[float] = None,
        smooth: int = 3, min_coherence: float = 0.5) -> VelocityChange:
    """The relative velocity change dv/v of `current` against `reference`
    (see the module notes for the methods and their error estimates).

    Parameters
    ----------
    reference, current : Gather or array (N, T) or (T,)
        Correlations of the same pairs on the same lag axis: virtual
        gathers (folded, lags from 0; or unfolded, from -L), or arrays with
        `dt` and `t0` (the lag of the first sample, e.g. -L dt for
        ``CorrelationStack.correlation()`` rows).
    method : {"stretching", "mwcs"}
    lags : (tmin, tmax), optional
        The lag window ``|t|`` in [tmin, tmax] (s), on each side of zero lag that
        the traces hold; all lags by default. The direct waves arrive early,
        the coda later: choose the part whose changes you want.
    fmin, fmax : float, optional
        The band (Hz); by default where the reference's power is at least a
        tenth of its peak.
    dt, t0 : float
        Sample interval and first lag (s) of array inputs.
    max_change : float
        Stretching: factors are searched within +-max_change (0.02: 2 %);
        a best factor at the end of the range gives NaN.
    steps : int
        Stretching: the coarse grid has 2 steps + 1 factors.
    window, step : float, optional
        MWCS: window length and step (s); by default 5 and 2.5 periods of
        the band's centre frequency.
    smooth : int
        MWCS: half-width (bins) of the smoothing of the spectra for the
        coherence.
    min_coherence : float
        MWCS: windows of lower mean coherence are left out.

    Returns
    -------
    VelocityChange
    """
    method = _checks.choice("method", method, METHODS)
    ref, times, step_r = _traces("reference", reference, dt, t0)
    cur, times_c, step_c = _traces("current", current, dt, t0)
    if ref.shape != cur.shape or step_r != step_c or not np.allclose(times, times_c,
                                                                      atol=1e-9 * step_r):
        raise ValueError(f"reference and current must hold the same traces on the same lag "
                         f"axis; got shapes {ref.shape} and {cur.shape}, dt {step_r:g} and "
                         f"{step_c:g} s")
    if not (np.isfinite(ref).all() and np.isfinite(cur).all()):
        raise ValueError("reference and current must be finite")
    sample = step_r
    reach = float(np.max(np.abs(times)))
    if lags is None:
        tmin, tmax = 0.0, reach
    else:
        tmin, tmax = (float(v) for v in lags)
        if not (math.isfinite(tmin) and math.isfinite(tmax) and 0.0 <= tmin < tmax):
            raise ValueError(f"lags must be (tmin, tmax) with 0 <= tmin < tmax seconds; got "
                             f"{lags!r}")
        tmax = min(tmax, reach)
    mask = (np.abs(times) >= tmin - 1e-9 * sample) & (np.abs(times) <= tmax + 1e-9 * sample)
    if mask.sum() < 4:
        raise ValueError(f"the lag window {lags!r} holds fewer than 4 samples of the traces "
                         f"(lags {times[0]:g} to {times[-1]:g} s)")
    nyquist = 0.5 / sample
    lo, hi = _default_band(ref, mask, sample) if fmin is None or fmax is None else (0.0, 0.0)
    band = (float(fmin) if fmin is not None else lo, float(fmax) if fmax is not None else hi)
    if not (0.0 <= band[0] < band[1] <= nyquist):
        raise ValueError(f"the band must satisfy 0 <= fmin < fmax <= {nyquist:g} Hz (Nyquist); "
                         f"got {band}")
    sides = int((times < -tmin).any() or (tmin == 0 and (times < 0).any())) + \
        int((times > tmin).any())
    # a virtual gather's trace at the virtual source is an autocorrelation:
    # of whitened records, the band's own pulse whatever the ground
    auto = np.zeros(ref.shape[0], dtype=bool)
    if isinstance(reference, Gather) and reference.headers.get("quantity") == "correlation":
        auto = np.asarray(reference.offsets) == 0.0
    if auto.all():
        raise ValueError("every trace is an autocorrelation (offset 0): they do not change "
                         "with the ground; give traces of pairs of channels")
    r = _bandpass(ref, sample, *band)
    c = _bandpass(cur, sample, *band)
    r[auto] = 0.0
    c[auto] = 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        plain = np.sum(r[:, mask] * c[:, mask], axis=1) / np.sqrt(
            np.sum(r[:, mask] ** 2, axis=1) * np.sum(c[:, mask] ** 2, axis=1))
        joint_plain = float(np.sum(r[:, mask] * c[:, mask]) / math.sqrt(
            float(np.sum(r[:, mask] ** 2)) * float(np.sum(c[:, mask] ** 2))))
    if method == "stretching":
        change = _checks.positive_float("max_change", max_change)
        if isinstance(steps, bool) or not isinstance(steps, numbers.Integral) or steps < 2:
            raise ValueError(f"steps must be an integer of at least 2; got {steps!r}")
        values, cc, joint, joint_cc = _stretching(r, c, times, sample, mask, change, int(steps))
        errors = _weaver_error(cc, band, tmin, tmax, max(sides, 1))
        joint_error = float(_weaver_error(np.array([joint_cc]), band, tmin, tmax,
                                          max(sides, 1) * ref.shape[0])[0])
        if not np.isfinite(joint):
            joint_error = math.nan
        return VelocityChange("stretching", values, cc, errors, joint, joint_cc, joint_error,
                              (tmin, tmax), band)
    centre = 0.5 * (band[0] + band[1])
    length = 5.0 / centre if window is None else _checks.positive_float("window", window)
    stride = 0.5 * length if step is None else _checks.positive_float("step", step)
    if isinstance(smooth, bool) or not isinstance(smooth, numbers.Integral) or smooth < 1:
        raise ValueError(f"smooth must be a positive number of bins; got {smooth!r}")
    values, errors, joint, joint_error = _mwcs(r, c, times, sample, (tmin, tmax), band, length,
                                               stride, int(smooth), float(min_coherence))
    return VelocityChange("mwcs", values, np.asarray(plain), errors, joint, joint_plain,
                          joint_error, (tmin, tmax), band)
