"""The molvak package: wrappers against the native module, picking on
synthetic gathers with known curves, normalisations, stacking, dead traces
and threading."""
import warnings

import numpy as np
import pytest

import _molvak
import molvak
from molvak import DeadTraceWarning, DispersionCurve, DispersionImage, synthetic

ESTIMATORS = ["slant_stack", "phase_shift", "fdbf"]


@pytest.fixture
def small(rng):
    """A random gather of 7 traces at uneven offsets."""
    data = rng.standard_normal((7, 96))
    offsets = np.cumsum(rng.uniform(1.0, 3.0, 7))
    return data, offsets, 0.002


def native_call(method, data, x, c, dt, f_range, n, **kw):
    if method == "phase_shift":
        return _molvak._phase_shift(data, x, c, dt, f_range=f_range, n=n)
    if method == "fdbf":
        return _molvak._FDBF(data, x, c, dt, f_range=f_range, steering_method=kw["steering"],
                             weighting=kw["weighting"], n=n)
    return _molvak._disp_slantstack(data, x, np.arange(data.shape[1]) * dt, c, dt,
                                    f_range=f_range, n=n)


# --- round trips against the module ---------------------------------------

@pytest.mark.parametrize("method, kw", [
    ("slant_stack", {}), ("phase_shift", {}),
    ("fdbf", {"steering": "cylindrical", "weighting": "sqrt"}),
    ("fdbf", {"steering": "plane", "weighting": "none"}),
])
@pytest.mark.parametrize("fmin, fmax, df", [(None, None, None), (20.0, 140.0, 1.0)])
def test_estimators_equal_the_native_call(small, method, kw, fmin, fmax, df):
    data, x, dt = small
    image = molvak.ESTIMATORS[method](data, x, dt, velocities=(100, 400, 25), fmin=fmin,
                                      fmax=fmax, df=df, **kw)
    n = 500 if df else 0  # 1 / (1 Hz * 2 ms)
    c = 100.0 + 25.0 * np.arange(13)
    f, spectrum = native_call(method, data, x, c, dt, (fmin, fmax), n,
                          **{"steering": "cylindrical", "weighting": "sqrt", **kw})
    np.testing.assert_array_equal(image.velocity, c)
    np.testing.assert_array_equal(image.frequency, f)
    np.testing.assert_array_equal(image.spectrum, spectrum)
    assert image.method == method and image.params["n"] == max(n, 96)
    assert image.quantity == ("power" if method == "fdbf" else "amplitude")


@pytest.mark.parametrize("moveout, code", [("linear", 0), ("parabolic", 1), ("hyperbolic", 2)])
def test_tau_p_equals_the_native_call(small, moveout, code):
    data, x, dt = small
    p = np.linspace(-0.004, 0.006, 11)
    out = molvak.tau_p(data, x, dt, slowness=p, t0=0.1, moveout=moveout)
    # one intercept time per sample: the module's own default axis,
    # arange(t0, NT dt + t0, dt), holds 97 values here through rounding
    tau = 0.1 + np.arange(96) * dt
    ref = _molvak._radon_transform(data, x, p, dt, 0.1, t_eval=tau, moveout_type=code)
    np.testing.assert_array_equal(out.tau, tau)
    np.testing.assert_array_equal(out.values, ref)
    tau = np.array([0.15, 0.2])
    np.testing.assert_array_equal(
        molvak.tau_p(data, x, dt, slowness=p, tau=tau, moveout=moveout).values,
        _molvak._radon_transform(data, x, p, dt, 0.0, t_eval=tau, moveout_type=code))


def test_rfft_and_the_frequency_step(rng):
    x = rng.standard_normal((3, 50))
    out = molvak.rfft(x, 0.004, axis=1, df=2.0)  # 1 / (2 Hz * 4 ms) = 125 samples
    np.testing.assert_array_equal(out.values, _molvak._rfft(x, axis=1, stepsize=0.004, n=125))
    np.testing.assert_allclose(out.frequency, np.fft.rfftfreq(125, 0.004), rtol=1e-14)
    # 1 / (0.25 Hz * 0.5 ms) is 8000 up to rounding: not rounded up to 8001
    assert molvak.rfft(x[0], 0.5e-3, df=0.25).values.shape == (4001,)
    # a step coarser than the record's own leaves it unpadded
    assert molvak.rfft(x, 0.004, df=50.0).values.shape == (3, 26)


def test_velocity_triples(small):
    data, x, dt = small
    grid = molvak.slant_stack(data, x, dt, velocities=(100, 200, 10)).velocity
    np.testing.assert_array_equal(grid, 100.0 + 10.0 * np.arange(11))
    assert molvak.slant_stack(data, x, dt, velocities=(100, 205, 10)).velocity[-1] == 200.0
    # a list of three numbers is three velocities, not a grid
    np.testing.assert_array_equal(
        molvak.slant_stack(data, x, dt, velocities=[100, 200, 10]).velocity, [100, 200, 10])


@pytest.mark.parametrize("change, error, words", [
    ({"dt": 0.0}, ValueError, ["dt", "0.0"]),
    ({"dt": "2ms"}, TypeError, ["dt", "'2ms'"]),
    ({"data": np.zeros(10)}, ValueError, ["data", "(10,)"]),
    ({"data": np.ones((7, 96), complex)}, TypeError, ["data", "complex"]),
    ({"offsets": np.arange(6.0)}, ValueError, ["offsets", "7 traces", "6 entries"]),
    ({"offsets": -1.0 - np.arange(7.0)}, ValueError, ["non-negative", "cylindrical", "-1.0"]),
    ({"velocities": [100.0, 0.0]}, ValueError, ["velocities", "0.0", "index 1"]),
    ({"velocities": (300, 100, 10)}, ValueError, ["velocities", "(300, 100, 10)"]),
    ({"velocities": []}, ValueError, ["velocities", "empty"]),
    ({"fmin": 90.0, "fmax": 20.0}, ValueError, ["fmin", "fmax", "90.0", "20.0"]),
    ({"fmin": 300.0}, ValueError, ["fmin", "300.0", "Nyquist"]),
    ({"fmin": 10.2, "fmax": 10.3}, ValueError, ["10.2", "10.3", "no frequency"]),
    ({"df": -1.0}, ValueError, ["df", "-1.0"]),
    ({"workers": 0}, ValueError, ["workers", "0"]),
    ({"steering": "Plane"}, ValueError, ["steering", "'Plane'"]),
    ({"weighting": "sqrt "}, ValueError, ["weighting", "'sqrt '"]),
])
def test_messages_name_the_argument_and_the_value(small, change, error, words):
    data, x, dt = small
    args = {"data": data, "offsets": x, "dt": dt, "velocities": (100, 400, 25), **change}
    with pytest.raises(error) as info:
        molvak.fdbf(args.pop("data"), args.pop("offsets"), args.pop("dt"), **args)
    for word in words:
        assert word in str(info.value)


def test_non_finite_samples_are_refused(small):
    data, x, dt = small
    data = data.copy()
    data[4, 10] = np.nan
    with pytest.raises(ValueError, match="traces 4 hold NaN"):
        molvak.phase_shift(data, x, dt, velocities=[100.0])


# --- picking ----------------------------------------------------------------

def test_pick_recovers_the_vertex_of_quadratic_peaks():
    # power = 1 - ((v - v0(f)) / 40)^2 near each peak: the parabola through
    # the grid maximum and its neighbours is the peak itself, on even and on
    # uneven grids, so the refined picks are exact up to rounding.
    f = np.array([0.0, 5.0, 10.0, 20.0, 40.0])
    v0 = np.array([0.0, 333.3, 271.9, 180.25, 140.6])
    for v in (np.arange(100.0, 400.0, 10.0), np.cumsum(np.r_[100.0, np.linspace(4, 16, 30)])):
        power = np.clip(1.0 - ((v[None, :] - v0[:, None]) / 40.0) ** 2, 0, None)
        power *= np.array([1.0, 0.5, 1.0, 2.0, 4.0])[:, None]
        image = DispersionImage(f, v, power.astype(complex), "fdbf", quantity="power")
        curve = image.pick()
        np.testing.assert_array_equal(curve.frequency, f[1:])  # 0 Hz gives no pick
        np.testing.assert_allclose(curve.velocity, v0[1:], rtol=1e-12)
        np.testing.assert_allclose(curve.wavelength, v0[1:] / f[1:], rtol=1e-12)
        # quality: the peak power relative to the strongest pick
        grid_peak = power[1:].max(axis=1)
        np.testing.assert_allclose(curve.quality, grid_peak / grid_peak.max())


def test_pick_bounds_and_edges():
    v = np.arange(100.0, 500.0, 5.0)
    f = np.array([10.0, 20.0])
    # two peaks per row: a strong one at 400 m/s, a weaker one at 200 m/s
    power = np.exp(-((v - 400.0) / 15) ** 2) + 0.5 * np.exp(-((v - 200.0) / 15) ** 2)
    image = DispersionImage(f, v, np.tile(power, (2, 1)).astype(complex), "fdbf", {}, "power")
    np.testing.assert_allclose(image.pick().velocity, 400.0, atol=1e-9)
    np.testing.assert_allclose(image.pick(vmax=300).velocity, 200.0, atol=1e-9)
    # a maximum on the edge of the window is kept unrefined
    np.testing.assert_array_equal(image.pick(vmin=250, vmax=350).velocity, 350.0)
    np.testing.assert_array_equal(image.pick(vmin=150, vmax=195).velocity, 195.0)
    assert len(image.pick(fmin=15.0)) == 1
    with pytest.raises(ValueError, match="vmin = 600"):
        image.pick(vmin=600)


@pytest.fixture(scope="module")
def survey():
    """24 geophones every 2 m, 1 ms sampling, one mode, noise 0.5 % of the
    largest sample (the pick errors grow in proportion to the noise)."""
    offsets = 4.0 + 2.0 * np.arange(24)
    curve = synthetic.ExponentialCurve(low=450.0, high=160.0, scale=15.0)
    return synthetic.make_gather(offsets, 1e-3, 1024, curve, 25.0, noise=0.005, seed=0)


@pytest.mark.parametrize("method, kw", [
    ("slant_stack", {}), ("phase_shift", {}), ("fdbf", {}), ("fdbf", {"steering": "plane"}),
])
def test_picks_within_one_percent_where_the_array_resolves(survey, method, kw):
    # a 4 m/s velocity grid (2.5 % at 160 m/s): within 1 % only through the
    # sub-grid refinement
    image = molvak.ESTIMATORS[method](survey.data, survey.offsets, survey.dt,
                                      velocities=(80, 700, 4), fmin=2, fmax=60, df=0.5, **kw)
    curve = image.pick()
    inside = survey.resolved(curve.frequency)
    assert inside.sum() >= 60  # about 12.5 to 43.7 Hz at 0.5 Hz
    error = curve.velocity[inside] / survey.true_velocity(curve.frequency[inside]) - 1.0
    assert np.abs(error).max() < 0.01


def test_resolved_band_of_the_survey(survey):
    # wavelengths 4 m (2 x 2 m) to 23 m (46 m / 2); for this curve both ends
    # of the band are set by the wavelengths, well inside the source band
    from scipy.special import lambertw
    assert survey.limits() == molvak.array_limits(survey.offsets, shortest=2, longest=0.5) \
        == (4.0, 23.0)
    # the defaults calibrated on field records: one spacing to 0.6 of the aperture
    assert molvak.array_limits(survey.offsets) == pytest.approx((2.0, 27.6), rel=1e-15)
    lo, hi = survey.resolved_band()
    assert survey.true_velocity(lo) / lo == pytest.approx(23.0, rel=1e-3)
    assert survey.true_velocity(hi) / hi == pytest.approx(4.0, rel=1e-3)
    # Ricker amplitude u exp(1 - u) = 0.1 with u = (f / fp)^2
    u = [-lambertw(-0.1 / np.e, k).real for k in (0, -1)]
    np.testing.assert_allclose(survey.source_band(), 25.0 * np.sqrt(u), rtol=1e-12)
    f = np.fft.rfftfreq(1024, 1e-3)[1:]
    # the gather's traces carry the phase of c(f): cross-spectrum of two traces
    spectrum = np.fft.rfft(survey.data, axis=1)[:, 1:]
    band = (f > 10) & (f < 40)
    lag = np.angle(spectrum[20, band] * np.conj(spectrum[4, band]))
    expected = -2 * np.pi * f[band] * (survey.offsets[20] - survey.offsets[4]) \
        / survey.true_velocity(f[band])
    np.testing.assert_allclose(np.angle(np.exp(1j * (lag - expected))), 0, atol=0.15)


def test_array_limits_ignore_missing_traces():
    x = 5.0 + np.arange(48.0)
    strict = dict(shortest=2, longest=0.5)
    assert molvak.array_limits(x, **strict) == (2.0, 23.5)
    assert molvak.array_limits(np.delete(x, [3, 17, 30])[::-1], **strict) == (2.0, 23.5)
    assert molvak.array_limits(np.delete(x, [3, 17, 30])) == pytest.approx((1.0, 28.2))
    with pytest.raises(ValueError, match="longest must be a positive number"):
        molvak.array_limits(x, longest=0)


# --- normalisations and stacking ---------------------------------------------

@pytest.fixture
def amplitude_image(rng):
    spectrum = rng.standard_normal((5, 8)) + 1j * rng.standard_normal((5, 8))
    spectrum[2] = 0.0
    spectrum[4, 3] = np.nan
    return DispersionImage(np.arange(5.0), np.arange(1.0, 9.0), spectrum, "phase_shift")


def test_normalisations(amplitude_image):
    spectrum = amplitude_image.spectrum
    power = spectrum.real ** 2 + spectrum.imag ** 2
    np.testing.assert_allclose(amplitude_image.power(), power, rtol=1e-15)
    np.testing.assert_allclose(amplitude_image.normalized("none"), power, rtol=1e-15)
    g = amplitude_image.normalized("global")
    np.testing.assert_allclose(g, power / np.nanmax(power), rtol=1e-15)
    per = amplitude_image.normalized("frequency")
    for r in (0, 1, 3):
        np.testing.assert_allclose(per[r], power[r] / power[r].max(), rtol=1e-15)
    np.testing.assert_array_equal(per[2], 0.0)  # an all-zero row stays 0, not NaN
    assert np.isnan(per[4, 3]) and np.nanmax(per[4]) == 1.0
    # a power image (beamforming) is its own power
    fd = DispersionImage(np.arange(2.0), np.arange(1.0, 3.0),
                         np.array([[4.0, 1.0], [9.0, 3.0]], complex), "fdbf", quantity="power")
    np.testing.assert_array_equal(fd.normalized("frequency"), [[1.0, 0.25], [1.0, 1.0 / 3]])
    with pytest.raises(ValueError, match="'row'"):
        fd.normalized("row")


def test_stack(rng):
    f, v = np.arange(1.0, 5.0), np.arange(100.0, 160.0, 10.0)
    shots = [DispersionImage(f, v, s * (rng.standard_normal((4, 6)) + 1j), "phase_shift")
             for s in (1.0, 30.0, 0.1)]
    out = molvak.stack(shots)
    mean = sum(np.abs(s.spectrum) ** 2 / (np.abs(s.spectrum) ** 2).max() for s in shots) / 3
    np.testing.assert_allclose(out.power(), mean, rtol=1e-13)
    assert out.method == "stack:phase_shift" and out.quantity == "power"
    assert out.params["shots"] == 3
    per = molvak.stack(shots, normalize="frequency").power()
    np.testing.assert_allclose(per, sum(s.normalized("frequency") for s in shots) / 3)
    with pytest.raises(ValueError, match=r"images\[1\] has another velocity grid"):
        molvak.stack([shots[0], DispersionImage(f, v + 1, shots[1].spectrum, "phase_shift")])
    with pytest.raises(ValueError, match=r"images\[1\] has another frequency axis"):
        molvak.stack([shots[0], DispersionImage(f[:3], v, shots[1].spectrum[:3], "x")])


def test_stacking_shots_beats_each_shot(survey):
    # three shots of one line with independent noise: the stack's picks are
    # at least as close to the truth as the typical single shot's
    shots = [synthetic.make_gather(survey.offsets, survey.dt, 1024, survey.velocity, 25.0,
                                   noise=0.08, seed=s) for s in (11, 12, 13)]
    images = [molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(80, 700, 4), fmin=14,
                                 fmax=40) for g in shots]

    def rms(image):
        c = image.pick()
        return np.sqrt(np.mean((c.velocity / survey.true_velocity(c.frequency) - 1) ** 2))

    assert rms(molvak.stack(images)) < np.median([rms(i) for i in images])


# --- curves -----------------------------------------------------------------

def test_curve_csv_round_trip_and_selection(tmp_path):
    curve = DispersionCurve.from_arrays([5.0, 10.0, 20.0, 40.0], [400.0, 1 / 3 * 900, 200, 150],
                                        [0.2, 1.0, 0.9, 0.5])
    path = tmp_path / "c.csv"
    curve.to_csv(path)
    assert path.read_text().splitlines()[0] == ("frequency,velocity,wavelength,quality,valid,"
                                                "too_short,too_long,gauge,aliased,near_field,"
                                                "at_edge,jump,mode")
    back = DispersionCurve.from_csv(path)
    for name in DispersionCurve.COLUMNS:
        np.testing.assert_array_equal(getattr(back, name), getattr(curve, name))
    np.testing.assert_array_equal(curve.select(wavelengths=(5.0, 30.0)).frequency, [10, 20])
    np.testing.assert_array_equal(curve.select(fmin=10, min_quality=0.6).frequency, [10, 20])
    (tmp_path / "bad.csv").write_text("f,v\n1,2\n")
    with pytest.raises(ValueError, match="not a dispersion-curve CSV"):
        DispersionCurve.from_csv(tmp_path / "bad.csv")


# --- dead traces and threads --------------------------------------------------

@pytest.mark.parametrize("method", ESTIMATORS)
def test_dead_traces_are_left_out_with_a_warning(survey, method):
    data = survey.data[:, :512].copy()
    data[[3, 10]] = 0.0
    run = molvak.ESTIMATORS[method]
    grid = dict(velocities=(100, 600, 10), fmin=10, fmax=40)
    with pytest.warns(DeadTraceWarning,
                      match=r"left out: 3 \(offset 10\), 10 \(offset 24\)") as caught:
        image = run(data, survey.offsets, survey.dt, **grid)
    assert caught[0].filename == __file__  # points at the caller
    live = np.delete(np.arange(24), [3, 10])
    ref = run(data[live], survey.offsets[live], survey.dt, **grid)
    np.testing.assert_array_equal(image.spectrum, ref.spectrum)
    assert image.params["dead_traces"] == [3, 10]
    np.testing.assert_array_equal(image.params["offsets"], survey.offsets[live])
    with pytest.warns(DeadTraceWarning, match="kept as asked"):
        if method == "phase_shift":
            # 0 / |0| in the unit-modulus spectra, the reason for leaving them
            # out: no image rather than a NaN one
            with pytest.raises(ValueError, match=r"not finite at every frequency; the dead "
                                                 r"traces kept as asked \(keep_dead=True\), "
                                                 r"3, 10"):
                run(data, survey.offsets, survey.dt, keep_dead=True, **grid)
            return
        kept = run(data, survey.offsets, survey.dt, keep_dead=True, **grid)
    assert np.isfinite(kept.spectrum).all()


def test_a_gather_of_dead_traces_is_refused(small):
    data, x, dt = small
    data = np.zeros_like(data)
    data[2] = np.sin(np.arange(data.shape[1]))
    with pytest.raises(ValueError, match="1 live trace"):
        molvak.phase_shift(data, x, dt, velocities=[100.0])


def test_clean_gather_gives_no_warning(small):
    data, x, dt = small
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        molvak.phase_shift(data, x, dt, velocities=[100.0])


@pytest.mark.parametrize("method", ESTIMATORS + ["tau_p"])
@pytest.mark.parametrize("workers", [2, 5])
def test_workers_give_identical_results(survey, method, workers):
    data = survey.data[:, :400]
    if method == "tau_p":
        one = molvak.tau_p(data, survey.offsets, survey.dt, slowness=(-0.002, 0.01, 0.0003))
        many = molvak.tau_p(data, survey.offsets, survey.dt, slowness=(-0.002, 0.01, 0.0003),
                            workers=workers)
        np.testing.assert_array_equal(many.values, one.values)
        return
    run = molvak.ESTIMATORS[method]
    grid = dict(velocities=(90, 610, 5.2), fmin=5, fmax=50, df=0.7)  # 101 velocities
    one = run(data, survey.offsets, survey.dt, **grid)
    many = run(data, survey.offsets, survey.dt, workers=workers, **grid)
    np.testing.assert_array_equal(many.frequency, one.frequency)
    np.testing.assert_array_equal(many.spectrum, one.spectrum)
