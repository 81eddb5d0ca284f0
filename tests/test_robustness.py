"""Faulty traces and geometry never give a silent NaN, empty or meaningless
image: dead channels are left out by name, trace order and amplitude scale
do not matter, impossible geometry and bands are refused in words."""
import warnings

import numpy as np
import pytest

import molvak
from molvak import DeadTraceWarning, DispersionImage, synthetic
from reference import band_bins

ESTIMATORS = ["slant_stack", "phase_shift", "fdbf"]
GRID = dict(velocities=(100, 600, 5), fmin=5, fmax=60)


@pytest.fixture(scope="module")
def line():
    """24 geophones every 2 m from 4 m, 1 ms sampling, one mode."""
    offsets = 4.0 + 2.0 * np.arange(24)
    curve = synthetic.ExponentialCurve(low=450.0, high=160.0, scale=15.0)
    return synthetic.make_gather(offsets, 1e-3, 600, curve, 25.0, noise=0.005, seed=4)


def image(method, data, offsets, dt, **kw):
    return molvak.ESTIMATORS[method](data, offsets, dt, **{**GRID, **kw})


@pytest.mark.parametrize("method", ESTIMATORS)
@pytest.mark.parametrize("df", [None, 0.5])
def test_a_channel_stuck_at_a_level_is_left_out_by_name(line, method, df):
    # a constant trace has no spectrum but at 0 Hz (unpadded) or the zeros
    # of a boxcar's (padded): the phase shift normalised it to 0/0, and one
    # such channel made the whole image NaN
    data = line.data.copy()
    data[7] = 0.5
    with pytest.warns(DeadTraceWarning, match=r"constant level\) left out: 7 \(offset 18\)"):
        got = image(method, data, line.offsets, line.dt, df=df)
    live = np.delete(np.arange(24), 7)
    expected = image(method, line.data[live], line.offsets[live], line.dt, df=df)
    np.testing.assert_array_equal(got.spectrum, expected.spectrum)
    assert got.params["dead_traces"] == [7]
    # stacked with good shots, it no longer spoils the stack
    assert len(molvak.stack([expected, got, expected]).pick()) == got.frequency.size


def test_a_trace_silent_in_the_band_is_dead(line):
    # trace 3 holds a 200 Hz tone, periodic in the record: nothing in 5-60 Hz
    # but rounding
    data = line.data.copy()
    t = np.arange(data.shape[1]) * line.dt
    data[3] = np.sin(2 * np.pi * 200.0 * t)
    with pytest.warns(DeadTraceWarning, match=r"no signal in the band 5 to 60 Hz\) left out: 3"):
        got = image("phase_shift", data, line.offsets, line.dt)
    assert np.isfinite(got.spectrum).all() and got.params["dead_traces"] == [3]
    # the same trace is alive in a band that holds its tone
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        image("phase_shift", data, line.offsets, line.dt, fmin=150, fmax=250)


def test_no_image_is_returned_with_nan_in_it(line):
    # a trace whose spectrum is exactly zero at some frequencies (a burst
    # repeated with a period of 4 samples has every bin but each 4th empty):
    # the phase shift has no answer there, and says so naming the trace
    data = line.data[:, :400].copy()
    data[5] = np.tile([1.0, -2.0, 0.5, 0.25], 100) + np.tile([0.0, 0.0, 0.0, 1.0], 100)
    with pytest.raises(ValueError, match=r"phase_shift image is not finite at .* "
                                         r"frequencies .*offsets 14 are exactly zero"):
        molvak.phase_shift(data, line.offsets, line.dt, velocities=(100, 600, 5), fmin=5,
                           fmax=300)
    # stacking refuses an image holding NaN rather than spreading it
    good = image("phase_shift", line.data, line.offsets, line.dt)
    spoiled = DispersionImage(good.frequency, good.velocity, good.spectrum.copy(), "phase_shift")
    spoiled.spectrum[3, :] = np.nan
    with pytest.raises(ValueError, match=r"images\[1\] \(phase_shift\) holds 101 NaN"):
        molvak.stack([good, spoiled, good])


def test_an_empty_band_is_imaged_as_zero(line):
    """A record low-passed in the frequency domain, imaged up to Nyquist:
    above the cut the traces' spectra are rounding, some exactly zero. The
    phase shift images those rows as zero, as the other estimators do, with
    one warning naming them, and every other row as imaging the band below
    gives; picks leave the empty rows out."""
    n = line.data.shape[1]
    spectra = np.fft.rfft(line.data, axis=1)
    f = np.fft.rfftfreq(n, line.dt)
    spectra[:, f > 150.0] = 0.0
    data = np.fft.irfft(spectra, n, axis=1)
    grid = dict(velocities=(100, 600, 5), fmin=5)
    with pytest.warns(molvak.EmptyBandWarning, match=r"phase_shift image is zero at \d+ of "
                      r"\d+ frequencies, [\d.]+-[\d.]+ Hz: every trace's spectrum vanishes"
                      ) as caught:
        got = molvak.phase_shift(data, line.offsets, line.dt, **grid)
    assert np.isfinite(got.spectrum).all()
    zero_rows = np.flatnonzero(~got.spectrum.any(axis=1))
    assert str(caught[0].message).startswith(f"the phase_shift image is zero at {zero_rows.size} ")
    assert zero_rows.size and (got.frequency[zero_rows] > 150).all()
    rows = got.frequency <= 150.0
    below = molvak.phase_shift(data, line.offsets, line.dt, fmax=150.0, **grid)
    np.testing.assert_array_equal(got.spectrum[rows], below.spectrum)
    picked = got.pick()
    assert not np.isin(picked.frequency, got.frequency[zero_rows]).any()


@pytest.mark.parametrize("method", ESTIMATORS + ["tau_p"])
def test_results_do_not_depend_on_the_order_of_the_traces(line, method, rng):
    # reversed, shuffled, and a split spread (offsets from a source in the
    # middle of the line: down, then up, with equal offsets on both sides)
    orders = [np.arange(24)[::-1], rng.permutation(24)]
    run = (lambda d, x: molvak.tau_p(d, x, line.dt, slowness=(-0.002, 0.008, 2e-4)).values) \
        if method == "tau_p" else (lambda d, x: image(method, d, x, line.dt).spectrum)
    base = run(line.data, line.offsets)
    for order in orders:
        np.testing.assert_array_equal(run(line.data[order], line.offsets[order]), base)
    split_x = np.abs(np.arange(24) * 2.0 - 23.0) + 1.0      # 24, 22, ..., 2, 2, 4, ..., 24
    split = synthetic.make_gather(split_x, line.dt, 600, line.velocity, 25.0, noise=0.0)
    a = run(split.data, split.offsets)
    swapped = np.r_[np.arange(12, 24), np.arange(12)]      # the two sides swapped
    np.testing.assert_array_equal(run(split.data[swapped], split.offsets[swapped]), a)


@pytest.mark.parametrize("method", ESTIMATORS)
def test_a_split_spread_picks_like_a_one_sided_line(method):
    # 25 m of line on each side of the source: the picks over the band the
    # line resolves are within 1 % of the truth (20 % errors when the slant
    # stack integrated the traces in the order given)
    x = np.abs(1.0 + 2.0 * np.arange(24) - 24.0) + 2.0
    curve = synthetic.ExponentialCurve(low=450.0, high=160.0, scale=15.0)
    g = synthetic.make_gather(x, 1e-3, 1024, curve, 25.0, noise=0.002, seed=2)
    picks = molvak.ESTIMATORS[method](g.data, g.offsets, g.dt, velocities=(80, 700, 2),
                                      fmin=5, fmax=60, df=0.5).pick()
    inside = g.resolved(picks.frequency)
    assert inside.sum() > 30
    error = picks.velocity[inside] / g.true_velocity(picks.frequency[inside]) - 1.0
    assert np.abs(error).max() < 0.01


@pytest.mark.parametrize("method", ESTIMATORS)
@pytest.mark.parametrize("scale", [1e-160, 1e160, 1e-300, 1e300])
def test_amplitude_scale_changes_nothing_but_a_recorded_factor(line, method, scale):
    base = image(method, line.data, line.offsets, line.dt)
    with pytest.warns(UserWarning, match=r"imaged after division by 2\*\*"):
        scaled = image(method, line.data * scale, line.offsets, line.dt)
    k = scaled.params["scale_log2"]
    assert 2.0 ** -1 <= np.abs(line.data * scale).max() / 2.0 ** k < 1.0 or np.isinf(2.0 ** k)
    np.testing.assert_allclose(scaled.normalized(), base.normalized(), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(scaled.pick().velocity, base.pick().velocity, rtol=1e-10)
    # within range nothing is scaled: the native result, bit for bit
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mild = image(method, line.data * 1e-40, line.offsets, line.dt)
    assert "scale_log2" not in mild.params and np.isfinite(mild.spectrum).all()


@pytest.mark.parametrize("method", ESTIMATORS + ["tau_p"])
def test_zero_aperture_is_refused(line, method):
    x = np.full(24, 10.0)
    with pytest.raises(ValueError, match="offsets span no aperture: all 24 traces lie at "
                                         "offset 10"):
        if method == "tau_p":
            molvak.tau_p(line.data, x, line.dt, slowness=(0, 0.01, 1e-3))
        else:
            image(method, line.data, x, line.dt)


def test_band_limits_are_checked_in_words(line):
    d, x, dt = line.data, line.offsets, line.dt
    with pytest.warns(UserWarning, match=r"fmax = 900 Hz lies above the Nyquist frequency, "
                                         r"500 Hz for dt = 0.001 s"):
        got = molvak.phase_shift(d, x, dt, velocities=(100, 600, 5), fmax=900)
    assert got.frequency[-1] == 500.0
    # a band between two bins, closer to the lower than the tolerance of a
    # second rule used to accept: the words, not the native iterator's
    df = 1.0 / (600 * dt)
    for fmin, fmax in [(10.2, 10.3), (12 * df * (1 + 1e-11), 12 * df * (1 + 2e-11)),
                       (None, 0.0), (None, 0.5 * df)]:
        with pytest.raises(ValueError, match="holds no frequency of the transform"):
            molvak.phase_shift(d, x, dt, velocities=(100, 600, 5), fmin=fmin, fmax=fmax)
    # every estimator's axis is the bins of the reference band rule
    for fmin, fmax in [(3.3, 40.1), (0.0, 17.0), (12 * df, 12 * df * (1 + 1e-12))]:
        first, stop = band_bins(fmin, fmax, dt, 600)
        for method in ESTIMATORS:
            f = molvak.ESTIMATORS[method](d, x, dt, velocities=[300.0], fmin=fmin,
                                          fmax=fmax, workers=2).frequency
            np.testing.assert_array_equal(f, np.arange(first, stop) * (1.0 / (dt * 600)))
