"""Sub-array sweeps: every window's image against imaging that window on its
own, the block-sum formulation in plain NumPy, and the pseudo-section of a
line over two ground types."""
import warnings

import numpy as np
import pytest

import molvak
import reference_sweep as ref
from molvak import synthetic
from molvak.sweeps import velocity_at_wavelengths, window_bounds

# Agreement asked of a sweep with per-window imaging: 1e-12 of the image's
# peak everywhere, and 1e-12 of the value itself wherever the value is not
# tiny: an amplitude of at least 1 % of the peak (a power of at least 1e-4 of
# the peak power). Below that, the rounding of the estimator itself (its
# phasors are good to a few 1e-14 of a term) is larger than 1e-12 of the value.
RTOL = 1e-12
NOT_TINY = {"amplitude": 1e-2, "power": 1e-4}
# The slant stack reads the traces at sample positions h0 + j when its
# intercept times are one sample apart (the contiguous path), rounded
# differently from the formulation's ((x p + t_j) - t_0) / dt by a few units
# in the last place of positions of some hundreds of samples: about 1e-13 of
# a sample, a few 1e-14 of the image's peak. Its values are held to 1e-12 of
# themselves from a tenth of the peak up (measured: 2e-13 there, 3e-14 of
# the peak everywhere).
NOT_TINY_SLANT_STACK = 0.1


def assert_same_image(got, want):
    assert np.array_equal(got.frequency, want.frequency)
    assert np.array_equal(got.velocity, want.velocity)
    assert got.shape == want.shape and got.quantity == want.quantity
    a = np.asarray(got.spectrum)
    b = np.asarray(want.spectrum)
    if want.quantity == "power":
        a, b = a.real, b.real
    peak = np.abs(b).max()
    err = np.abs(a - b)
    assert err.max() <= RTOL * peak, err.max() / peak
    tiny = NOT_TINY_SLANT_STACK if want.method == "slant_stack" else NOT_TINY[want.quantity]
    big = np.abs(b) >= tiny * peak
    assert big.any()
    assert (err[big] <= RTOL * np.abs(b[big])).all(), (err[big] / np.abs(b[big])).max()


def irregular_line(rng, nx=30, nt=300):
    x = 5.0 + np.cumsum(rng.uniform(0.5, 1.5, nx))
    return rng.standard_normal((nx, nt)), x


CASES = [  # (window, step): overlapping, sparse, stepped past the window, the whole line
    (8, 1), (8, 3), (5, 7), (30, 1)]

METHODS = [("phase_shift", {}), ("slant_stack", {}),
           ("fdbf", {"steering": "plane", "weighting": "sqrt"}),
           ("fdbf", {"steering": "cylindrical", "weighting": "none"})]


@pytest.mark.parametrize("window,step", CASES)
@pytest.mark.parametrize("method,extra", METHODS)
def test_block_sums_equal_imaging_each_window(rng, window, step, method, extra):
    data, x = irregular_line(rng)
    dt = 2e-3
    c = np.linspace(80.0, 600.0, 37)
    opts = dict(velocities=c, fmin=5.0, fmax=120.0, df=1.0, **extra)
    bounds = window_bounds(data.shape[0], window, step)
    direct = [getattr(molvak, method)(data[a:b + 1], x[a:b + 1], dt, **opts) for a, b in bounds]
    p = direct[0].params
    args = (data, x, c, dt, (p["fmin"], p["fmax"]), p["n"], bounds[:, 0], bounds[:, 1], window)
    f, out = getattr(ref, "sweep_" + method)(*args, *extra.values())
    for w, image in enumerate(direct):
        got = molvak.DispersionImage(f, c, out[w], image.method, {}, image.quantity)
        assert_same_image(got, image)


def slant_stack_each_window(data, x, c, dt, n, first_bin, nbins, lo, hi):
    """Every window's slant stack on its own, in the time domain: the tau-p
    column of segments lo[w] .. hi[w] at the sample times, its FFT of length
    n times dt, bins first_bin onward."""
    nt = data.shape[1]
    out = np.zeros((len(lo), nbins, c.size), dtype=complex)
    for k, ck in enumerate(c):
        p = 1.0 / ck
        amp = np.array([ref.interp(trace, (xi * p) / dt + np.arange(nt))
                        for trace, xi in zip(data, x)])
        segment = ((x[1:] - x[:-1])[:, None] * (amp[:-1] + amp[1:])) * 0.5
        for w, (a, b) in enumerate(zip(lo, hi)):
            column = segment[a:b + 1].sum(axis=0)
            out[w, :, k] = (np.fft.rfft(column, n) * dt)[first_bin:first_bin + nbins]
    return out


SLANT_LINES = {
    # offsets through zero and beyond the record both ways, slownesses of
    # both signs: positions before the first sample (the two extrapolated
    # ones), after the last, and traces read nowhere; odd n > nt
    "split spread": dict(nt=40, dt=1e-3, n=81, first_bin=0, nbins=41,
                         x=np.linspace(-30.0, 24.0, 19),
                         c=np.r_[np.geomspace(60.0, 40000.0, 45), -np.geomspace(300.0, 9000.0, 6)]),
    # shifts of whole samples (beta = 0) at c = 256, even n > nt up to its Nyquist bin
    "whole samples": dict(nt=50, dt=2.0**-9, n=128, first_bin=30, nbins=35,
                          x=np.arange(-6.0, 17.0), c=np.array([128.0, 256.0, 300.0, -256.0])),
    # records of one and two samples, n = nt and n > nt
    "one sample": dict(nt=1, dt=1e-3, n=1, first_bin=0, nbins=1, x=np.arange(-3.0, 9.0),
                       c=np.array([2e3, 4e3, 1e4, -5e3, 1e9])),
    "two samples": dict(nt=2, dt=1e-3, n=6, first_bin=1, nbins=3, x=np.arange(-3.0, 9.0) * 0.7,
                        c=np.array([1e3, 3e3, 8e3, -4e3, 1e9])),
}


@pytest.mark.parametrize("name", SLANT_LINES)
def test_slant_stack_sweep_equals_each_window_in_the_time_domain(rng, name):
    from molvak import _native

    case = SLANT_LINES[name]
    x, c, nt = case["x"], case["c"], case["nt"]
    data = rng.standard_normal((x.size, nt))
    rows = x.size - 1
    # windows of 6 segments stepped by 1 and by 7 (past each other), short
    # ones inside a block, single segments, the last one
    spans = [(a, a + 5) for a in range(0, rows - 5)] + [(a, a + 5) for a in range(0, rows - 5, 7)]
    spans += [(2, 3), (7, 7), (8, 10), (rows - 1, rows - 1)]
    lo, hi = (np.array(v, dtype=np.int64) for v in zip(*sorted(spans)))
    n, first_bin, nbins, dt = case["n"], case["first_bin"], case["nbins"], case["dt"]
    got = np.full((lo.size, nbins, c.size), np.nan, dtype=complex)
    _native._sweep_slant_stack(data, x, c, dt, n, first_bin, lo, hi, got)
    want = slant_stack_each_window(data, x, c, dt, n, first_bin, nbins, lo, hi)
    peak = np.abs(want).max(axis=(1, 2))
    assert (peak > 0).all()
    err = np.abs(got - want).max(axis=(1, 2))
    assert (err <= 1e-12 * peak).all(), (err / peak).max()
    # where a trace is read nowhere the value is exactly what it contributes: 0
    none = np.abs(want) == 0
    assert np.array_equal(got[none], want[none])
    # bin 0 and an even n's Nyquist bin are real
    for bin_ in (0, n // 2 if n % 2 == 0 else -1):
        if first_bin <= bin_ < first_bin + nbins:
            assert (got[:, bin_ - first_bin].imag == 0).all()


def test_range_sums_take_no_differences():
    # A range sum must carry the rounding of a direct sum of its own terms:
    # huge terms elsewhere on the line (1e20, cancelling in any running sum
    # over the line) must not leak into a window that does not hold them.
    terms = np.ones(50)
    terms[3], terms[4] = 1e20, -1e20
    lo = np.arange(0, 41)
    got = ref.range_sums(terms, lo, lo + 9, 10)
    assert np.array_equal(got[5:], np.full(36, 10.0))
    # shortened ranges (a left-out trace) in the middle of a block
    got = ref.range_sums(terms, [11, 21, 22], [15, 28, 22], 10)
    assert np.array_equal(got, [5.0, 8.0, 1.0])


def test_velocity_at_wavelengths():
    f = np.linspace(5.0, 60.0, 111)
    c = 150.0 + 250.0 * np.exp(-f / 12.0)
    curve = molvak.DispersionCurve.from_arrays(f, c)
    lam = np.array([3.0, 6.0, 20.0, 200.0])
    v, ok = velocity_at_wavelengths(curve, lam, limits=(2.0, 30.0))
    # the curve's own velocity where c / f = lambda, by bisection
    for k in range(3):
        lo, hi = 5.0, 60.0
        for _ in range(80):
            mid = 0.5 * (lo + hi)
            if (150.0 + 250.0 * np.exp(-mid / 12.0)) / mid > lam[k]:
                lo = mid
            else:
                hi = mid
        exact = 150.0 + 250.0 * np.exp(-lo / 12.0)
        assert abs(v[k] - exact) < 1e-3 * exact
    assert list(ok) == [True, True, True, False]  # 200 m: outside the limits
    # a curve that crosses a wavelength twice at different velocities says nothing there
    twice = molvak.DispersionCurve.from_arrays([10.0, 20.0, 30.0], [100.0, 300.0, 100.0])
    v, ok = velocity_at_wavelengths(twice, np.array([12.0]))
    assert not ok[0] and np.isnan(v[0])


def test_pseudo_section_finds_the_change_of_ground():
    # Left of 60 m one ground, right of it another (slower); one shot at -10 m.
    left = synthetic.ExponentialCurve(low=500.0, high=220.0, scale=15.0)
    right = synthetic.ExponentialCurve(low=350.0, high=130.0, scale=15.0)
    ground = synthetic.LateralGround((60.0,), (left, right))
    line = synthetic.make_line(np.arange(120.0), -10.0, 2e-3, 1024, ground, 30.0, noise=0.02)
    window = 24
    result = molvak.sweep(line.gather, window=window, step=2, method="phase_shift",
                          velocities=(80, 700, 2), fmin=4, fmax=100, df=0.5)
    assert len(result) == 49
    np.testing.assert_allclose(result.midpoints, 11.5 + 2 * np.arange(49))
    lam = np.array([5.0, 8.0, 10.0])  # in the source band on both grounds
    section = result.pseudo_section(lam, vmin=80, vmax=700)
    f = np.linspace(1.0, 200.0, 400001)
    for k, wavelength in enumerate(lam):
        c_left = left(f)[np.argmin(np.abs(left(f) - wavelength * f))]
        c_right = right(f)[np.argmin(np.abs(right(f) - wavelength * f))]
        v = section.velocity[k]
        inside_left = section.midpoint + window / 2 < 60.0
        inside_right = section.midpoint - window / 2 > 60.0
        # windows over one ground give that ground's velocity
        assert np.nanmax(np.abs(v[inside_left] / c_left - 1)) < 0.02
        assert np.nanmax(np.abs(v[inside_right] / c_right - 1)) < 0.02
        # the change: where the velocity passes halfway between the two
        half = 0.5 * (c_left + c_right)
        ok = np.isfinite(v)
        m, vv = section.midpoint[ok], v[ok]
        j = np.flatnonzero((vv[:-1] >= half) & (vv[1:] < half))
        assert j.size == 1
        i = j[0]
        found = m[i] + (half - vv[i]) / (vv[i + 1] - vv[i]) * (m[i + 1] - m[i])
        assert abs(found - 60.0) < window


def each_window(gather, bounds, method, **opts):
    fn = getattr(molvak, method)
    images = []
    for a, b in bounds:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", molvak.DeadTraceWarning)
            images.append(fn(gather.data[a:b + 1], gather.offsets[a:b + 1], gather.dt, **opts))
    return images


@pytest.mark.parametrize("method,extra", METHODS)
def test_sweep_equals_imaging_each_window(rng, method, extra):
    data, x = irregular_line(rng, nx=40, nt=256)
    data[[0, 17, 18, 31]] = 0.0          # dead traces: at an end, a pair, alone
    g = molvak.Gather(data, x, 2e-3)
    opts = dict(velocities=(80.0, 600.0, 13.0), fmin=5.0, fmax=120.0, df=1.5, **extra)
    with pytest.warns(molvak.DeadTraceWarning, match=r"left out of every window holding them: 0 "):
        result = molvak.sweep(g, window=9, step=2, method=method, **opts)
    bounds = window_bounds(40, 9, 2)
    assert np.array_equal(result.windows, bounds)
    np.testing.assert_array_equal(result.midpoints, 0.5 * (x[bounds[:, 0]] + x[bounds[:, 1]]))
    direct = each_window(g, bounds, method, **opts)
    assert len(result.images) == len(direct) == 16
    for got, want in zip(result.images, direct):
        assert_same_image(got, want)
        assert got.method == want.method
        assert set(got.params) == set(want.params)
        for key, value in want.params.items():
            np.testing.assert_array_equal(got.params[key], value, err_msg=key)


def test_sweep_of_a_virtual_gather_from_an_ambient_das_record():
    # A virtual source in the middle of the fibre: a split spread whose
    # offsets (distances from the virtual source) fold back on themselves.
    rec = synthetic.ambient_noise(60.0, channels=60, seed=3)
    vg = molvak.virtual_gather(rec.gather(), 30, 10.0, max_lag=2.0)
    assert vg.offsets[0] > vg.offsets[30] == 0.0 < vg.offsets[-1]
    opts = dict(velocities=(60.0, 900.0, 10.0), fmin=2.0, fmax=40.0)
    bounds = window_bounds(vg.shape[0], 12, 5)
    for method, extra in [("phase_shift", {}), ("fdbf", {"steering": "cylindrical"}),
                          ("slant_stack", {})]:
        result = molvak.sweep(vg, window=12, step=5, method=method, **opts, **extra)
        # windows of falling offsets (left arm), of rising ones, and the one
        # across the virtual source, imaged on its own
        assert (np.diff(vg.offsets[:12]) < 0).all() and (np.diff(vg.offsets[30:42]) > 0).all()
        for got, want in zip(result.images, each_window(vg, bounds, method, **opts, **extra)):
            assert_same_image(got, want)
    assert result.params["position"] in ("receiver position", "offset")


def test_command_line_sweep_writes_the_pseudo_section_once(tmp_path, capsys):
    from molvak.cli import main

    ground = synthetic.LateralGround((30.0,), (synthetic.ExponentialCurve(),
                                               synthetic.ExponentialCurve(high=100.0)))
    g = synthetic.make_line(np.arange(60.0), -5.0, 2e-3, 512, ground, 30.0).gather
    line = tmp_path / "line.npz"
    np.savez(line, data=g.data, offsets=g.offsets, dt=g.dt, source=g.source,
             receivers=g.receivers)
    args = ["sweep", str(line), "--window-size", "16", "--window-step", "4", "--vmin", "60", "--vmax",
            "700", "--dv", "5", "--fmax", "80", "--depths", "2,3", "--depth-factor", "3",
            "--out", str(tmp_path / "out")]
    assert main(args) == 0
    err = capsys.readouterr().err
    assert "sweeping line.npz" in err and "imaging" in err and "picking" in err
    csv_path = tmp_path / "out" / "line.npz.sweep_phase_shift.csv"
    png = tmp_path / "out" / "line.npz.sweep_phase_shift.png"
    rows = np.genfromtxt(csv_path, delimiter=",", names=True)
    assert len(rows) == 12 * 2
    np.testing.assert_allclose(rows["wavelength"], rows["pseudo_depth"] * 3)
    assert set(rows["depth_factor"]) == {3.0}
    np.testing.assert_allclose(np.unique(rows["midpoint"]), 7.5 + 4 * np.arange(12))
    assert png.read_bytes().startswith(b"\x89PNG")
    # a second run never replaces the results, and says so before any work
    before = csv_path.read_bytes()
    assert main(args) == 2
    assert "exist already" in capsys.readouterr().err
    assert csv_path.read_bytes() == before


def test_sweep_refusals_name_the_window_or_argument(rng):
    data, x = irregular_line(rng, nx=20, nt=128)
    data[9] = 0.0
    g = molvak.Gather(data, x, 2e-3)
    opts = dict(velocities=(80.0, 600.0, 20.0), fmax=100.0)
    # a dead trace kept as asked makes its windows' phase-shift images NaN
    with pytest.warns(molvak.DeadTraceWarning), \
            pytest.raises(ValueError, match=r"window 2 \(traces 4 to 9\).*not finite"):
        molvak.sweep(g, window=6, step=2, keep_dead=True, **opts)
    with pytest.raises(ValueError, match="window of 30 traces is longer"):
        molvak.sweep(g, window=30, **opts)
    with pytest.raises(ValueError, match="step must be at least 1"):
        molvak.sweep(g, window=5, step=0, **opts)
    with pytest.raises(TypeError, match="gather must be a molvak.Gather"):
        molvak.sweep(data, window=5, **opts)
    with pytest.raises(TypeError, match="takes no option 'steering'"):
        molvak.sweep(g, window=5, steering="plane", **opts)
    data[10] = 0.0
    with pytest.warns(molvak.DeadTraceWarning), \
            pytest.raises(ValueError, match=r"window 4 \(traces 8 to 10\) holds 1 live"):
        molvak.sweep(molvak.Gather(data, x, 2e-3), window=3, step=2, **opts)


def test_the_finiteness_check_reads_no_unwritten_memory(rng, monkeypatch):
    """The windows imaged on their own are written after the sweep has
    checked its images: memory that held huge numbers before must neither
    warn of an overflow nor decide the check (it once did, by chance)."""
    data, x = irregular_line(rng, nx=24, nt=128)
    data[:8] *= 1e70
    g = molvak.Gather(data, x, 2e-3)
    real_empty = np.empty

    def dirty(*args, **kwargs):
        out = real_empty(*args, **kwargs)
        if out.dtype.kind in "fc":
            out.fill(1e308)
        return out

    monkeypatch.setattr(np, "empty", dirty)
    with pytest.warns(UserWarning, match="2\\*\\*") as record:
        molvak.sweep(g, window=6, step=3, method="slant_stack",
                     velocities=(80.0, 600.0, 20.0), fmax=100.0)
    assert not [w for w in record if issubclass(w.category, RuntimeWarning)]


def test_windows_that_imaging_would_rescale_are_imaged_alike(rng):
    data, x = irregular_line(rng, nx=24, nt=128)
    data[:8] *= 1e70      # beyond 2**200: imaging those windows divides them by a power of 2
    g = molvak.Gather(data, x, 2e-3)
    opts = dict(velocities=(80.0, 600.0, 20.0), fmax=100.0)
    bounds = window_bounds(24, 6, 3)
    for method in ("slant_stack", "fdbf"):
        with pytest.warns(UserWarning, match="2\\*\\*"):
            direct = each_window(g, bounds, method, **opts)
        with pytest.warns(UserWarning) as record:
            result = molvak.sweep(g, window=6, step=3, method=method, **opts)
        assert [str(w.message)[:19] for w in record] == ["window 0 (traces 0 ", "window 1 (traces 3 ",
                                                         "window 2 (traces 6 "]
        assert "scale_log2" in result.images[0].params
        assert "scale_log2" not in result.images[-1].params
        for got, want in zip(result.images, direct):
            assert_same_image(got, want)
            assert got.params.get("scale_log2") == want.params.get("scale_log2")


def test_traces_out_of_order_are_swept_along_the_line(rng):
    data, x = irregular_line(rng, nx=48, nt=256)
    shuffle = rng.permutation(48)
    opts = dict(velocities=(80.0, 600.0, 13.0), fmin=5.0, fmax=120.0, df=1.5)
    ordered = molvak.sweep(molvak.Gather(data, x, 2e-3), window=10, step=10, **opts)
    mixed = molvak.sweep(molvak.Gather(data[shuffle], x[shuffle], 2e-3), window=10, step=10,
                         **opts)
    bounds = window_bounds(48, 10, 10)
    np.testing.assert_array_equal(mixed.midpoints, 0.5 * (x[bounds[:, 0]] + x[bounds[:, 1]]))
    np.testing.assert_array_equal(shuffle[mixed.params["order"]], np.arange(48))
    for got, want in zip(mixed.images, ordered.images):
        assert_same_image(got, want)
    # receivers in-line: sorted by position, even where offsets fold back
    r = np.concatenate([x[::-1] * -1, x])[::2]
    g = molvak.Gather(rng.standard_normal((r.size, 256)), source=[0.0], dt=2e-3,
                      receivers=r[rng.permutation(r.size)][:, None])
    result = molvak.sweep(g, window=6, step=6, **opts)
    assert (np.diff(result.midpoints) > 0).all()
    assert (np.diff(g.receivers[result.params["order"], 0]) > 0).all()
