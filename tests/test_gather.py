"""Gather geometry and the operations on gathers, against plain NumPy
formulations and physical invariants."""
import numpy as np
import pytest

import molvak
from molvak import Gather, group_by_source, stack_gathers
from molvak.synthetic import ExponentialCurve, make_gather

DT = 0.001


def line_gather(source, receivers, nt=300, delay=-0.1, seed=0):
    rng = np.random.default_rng(seed)
    receivers = np.asarray(receivers, dtype=float)
    return Gather(rng.standard_normal((receivers.shape[0], nt)), dt=DT, delay=delay,
                  source=source, receivers=receivers)


# --------------------------------------------------------------------------
# geometry


@pytest.mark.parametrize("source, receivers, expected", [
    # forward shot: source before the first geophone
    (-5.0, np.arange(0.0, 48.0, 2.0), 5.0 + np.arange(0.0, 48.0, 2.0)),
    # reverse shot: source beyond the last geophone, channels in field order
    (51.0, np.arange(0.0, 48.0, 2.0), 51.0 - np.arange(0.0, 48.0, 2.0)),
    # split spread: source in the middle
    (23.0, np.arange(0.0, 48.0, 2.0), np.abs(np.arange(0.0, 48.0, 2.0) - 23.0)),
])
def test_offsets_are_distances_from_the_source(source, receivers, expected):
    g = line_gather(source, receivers)
    np.testing.assert_array_equal(g.offsets, expected)
    assert g.source.shape == (1,) and g.receivers.shape == (24, 1)


def test_offsets_in_the_plane_and_agreement_checks():
    rcv = np.array([[3.0, 4.0], [6.0, 8.0], [0.0, 5.0]])
    g = Gather(np.zeros((3, 10)), dt=DT, source=[0.0, 0.0], receivers=rcv)
    np.testing.assert_allclose(g.offsets, [5.0, 10.0, 5.0])
    # consistent offsets are accepted, others refused naming the trace
    Gather(np.zeros((3, 10)), [5.0, 10.0, 5.0], DT, source=[0.0, 0.0], receivers=rcv)
    with pytest.raises(ValueError, match="trace 1 has offset 9, but lies 10 from the"):
        Gather(np.zeros((3, 10)), [5.0, 9.0, 5.0], DT, source=[0.0, 0.0], receivers=rcv)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(data=np.zeros((3, 10))), ValueError, "needs offsets, or a source and receiver"),
    (dict(data=np.zeros((3, 10)), offsets=[1.0, -2.0, 3.0]), ValueError,
     "must not be negative; got -2 at trace 1"),
    (dict(data=np.zeros((3, 10)), offsets=[1.0, 2.0]), ValueError,
     "one entry per trace: data has 3 traces"),
    (dict(data=np.zeros(10), offsets=[1.0]), ValueError, "must be a 2-D array"),
    (dict(data=np.zeros((3, 10)), source=0.0, receivers=[1.0, 2.0]), ValueError,
     "one position (1 to 3 coordinates) per trace"),
    (dict(data=np.zeros((3, 10)), source=[0.0, 0.0], receivers=[1.0, 2.0, 3.0]), ValueError,
     "source has 2 coordinate(s) but the receivers have 1"),
    (dict(data=np.zeros((3, 10)), offsets=[1.0, 2.0, 3.0], dt=0.0), ValueError,
     "dt must be a positive"),
    (dict(data=np.zeros((3, 10)), offsets=[1.0, 2.0, 3.0], delay=np.nan), ValueError,
     "delay must be a finite"),
    (dict(data=np.zeros((3, 10), dtype=complex), offsets=[1.0, 2.0, 3.0]), TypeError,
     "real numeric"),
])
def test_construction_errors(kwargs, error, words):
    kwargs.setdefault("dt", DT)
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        Gather(**kwargs)


# --------------------------------------------------------------------------
# time window


def test_trim_honours_the_recording_delay():
    # a WGHS-like record: 1.5 s at 1 ms starting 0.5 s before the shot
    g = line_gather(-5.0, np.arange(0.0, 48.0, 2.0), nt=1500, delay=-0.5)
    t = g.time
    for t0, t1 in [(0.0, 0.5), (-0.5, 0.9990), (0.0004, 0.2996), (0.25, 0.25)]:
        w = g.trim(t0, t1)
        # the samples whose times lie in [t0, t1], by a mask on the time axis
        keep = (t >= t0 - 1e-9) & (t <= t1 + 1e-9)
        np.testing.assert_array_equal(w.data, g.data[:, keep])
        np.testing.assert_allclose(w.time, t[keep], rtol=0, atol=1e-12)
        assert w.delay == pytest.approx(t[keep][0], abs=1e-12)
    assert g.trim(0.0, 0.5).shape == (24, 501)
    assert g.trim(0.0, 0.5).headers["processing"] == ["trim 0 0.5"]
    np.testing.assert_array_equal(g.trim(0.0, 0.5).offsets, g.offsets)


@pytest.mark.parametrize("t0, t1, words", [
    (-0.6, 0.5, "reaches outside the record, which runs from -0.5 to 0.999 s"),
    (0.0, 1.2, "reaches outside the record"),
    (0.0004, 0.0006, "holds no sample"),
    (0.5, 0.0, "t0 <= t1"),
])
def test_trim_refuses_windows_outside_the_record(t0, t1, words):
    g = line_gather(-5.0, np.arange(4.0), nt=1500, delay=-0.5)
    with pytest.raises(ValueError, match=words):
        g.trim(t0, t1)


# --------------------------------------------------------------------------
# mute, detrend, taper


def test_mute_zeroes_outside_the_lines():
    g = Gather(np.ones((5, 400)), 10.0 + 10.0 * np.arange(5), DT, delay=-0.05)
    t = g.time[None, :]
    x = g.offsets[:, None]
    early = 0.02 + x / 500.0          # e.g. ahead of the surface waves
    late = 0.1 + x / 100.0
    hard = g.mute(before=(0.02, 500.0), after=(0.1, 100.0))
    np.testing.assert_array_equal(hard.data, ((t >= early) & (t <= late)).astype(float))
    flat = g.mute(after=0.2)
    np.testing.assert_array_equal(flat.data, np.broadcast_to(t <= 0.2, g.shape).astype(float))

    soft = g.mute(before=(0.02, 500.0), taper=0.01)
    w = soft.data
    assert np.all(w[t < early] == 0.0) and np.all(w[t >= early + 0.01] == 1.0)
    ramp = (t > early) & (t < early + 0.01)
    assert np.all((w[ramp] > 0.0) & (w[ramp] < 1.0))
    # the ramp rises monotonically along every trace
    for row, inside in zip(w, ramp):
        assert np.all(np.diff(row[inside]) > 0)
    with pytest.raises(ValueError, match="positive velocity"):
        g.mute(before=(0.0, 0.0))
    with pytest.raises(ValueError, match="needs a line"):
        g.mute()


def test_detrend_against_least_squares(rng):
    nt = 257
    k = np.arange(nt, dtype=float)
    data = (rng.standard_normal((4, 1)) + rng.standard_normal((4, 1)) * k[None, :] * 0.01
            + rng.standard_normal((4, nt)))
    g = Gather(data, [1.0, 2.0, 3.0, 4.0], DT)
    expected = np.array([row - np.polyval(np.polyfit(k, row, 1), k) for row in data])
    np.testing.assert_allclose(g.detrend().data, expected, atol=1e-11)
    np.testing.assert_allclose(g.demean().data, data - data.mean(axis=1, keepdims=True),
                               atol=1e-12)
    # a pure line is removed entirely
    line = Gather(3.0 + 0.5 * np.tile(k, (2, 1)), [1.0, 2.0], DT)
    assert np.abs(line.detrend().data).max() < 1e-10


def test_taper_window():
    g = Gather(np.ones((2, 200)), [1.0, 2.0], DT)
    w = g.taper(0.1).data[0]
    np.testing.assert_allclose(w, w[::-1], atol=1e-15)     # symmetric
    assert np.all(w[20:180] == 1.0) and np.all(np.diff(w[:21]) > 0)
    assert 0.0 < w[0] < 0.03
    start = g.taper(0.1, side="start").data[0]
    assert np.all(start[20:] == 1.0) and start[0] == w[0]
    np.testing.assert_array_equal(g.taper(0.0).data, g.data)
    with pytest.raises(ValueError, match="between 0 and 0.5"):
        g.taper(0.6)


# --------------------------------------------------------------------------
# channel subsets and images


def test_select_by_offset_and_channel():
    g = line_gather(51.0, np.arange(0.0, 48.0, 2.0))       # a reverse shot
    near = g.select(max_offset=21.0)
    # offsets 5 to 21 m: the last nine channels, in field order
    np.testing.assert_array_equal(near.offsets, [21.0, 19, 17, 15, 13, 11, 9, 7, 5])
    np.testing.assert_array_equal(near.data, g.data[15:])
    np.testing.assert_array_equal(near.receivers[:, 0], np.arange(30.0, 48.0, 2.0))
    both = g.select(9.0, 13.0)
    np.testing.assert_array_equal(both.offsets, [13.0, 11.0, 9.0])
    picked = g.select(channels=[0, 5])
    np.testing.assert_array_equal(picked.data, g.data[[0, 5]])
    mask = np.arange(24) % 2 == 0
    np.testing.assert_array_equal(g.select(channels=mask).offsets, g.offsets[mask])
    with pytest.raises(ValueError, match="no trace is selected"):
        g.select(min_offset=100.0)
    with pytest.raises(ValueError, match="must lie in 0..23"):
        g.select(channels=[24])


def test_image_is_the_estimator_on_the_gather():
    s = make_gather(4.0 + 2.0 * np.arange(16), 2e-3, 400, ExponentialCurve(420, 170, 12), 20.0,
                    noise=0.01, seed=3)
    g = Gather(s.data, s.offsets, s.dt)
    a = g.image("phase_shift", velocities=(100, 500, 5), fmin=5, fmax=40)
    b = molvak.phase_shift(s.data, s.offsets, s.dt, velocities=(100, 500, 5), fmin=5, fmax=40)
    np.testing.assert_array_equal(a.spectrum, b.spectrum)
    with pytest.raises(ValueError, match="method must be one of"):
        g.image("music")


def test_reverse_shot_images_like_the_forward_shot():
    # The same wavefield recorded by a forward and a reverse spread: the
    # reverse gather lists its channels from the far end, and offsets from
    # positions make its image equal the forward one without flipping.
    x = 5.0 + 2.0 * np.arange(24)
    s = make_gather(x, DT, 1000, ExponentialCurve(420, 170, 12), 25.0, noise=0.0)
    forward = Gather(s.data, dt=DT, source=-5.0, receivers=x - 5.0)
    reverse = Gather(s.data[::-1], dt=DT, source=51.0, receivers=51.0 - x[::-1])
    np.testing.assert_array_equal(reverse.offsets, x[::-1])
    grid = dict(velocities=(100, 500, 2), fmin=5, fmax=60)
    a = forward.image("phase_shift", **grid)
    b = reverse.image("phase_shift", **grid)
    np.testing.assert_allclose(np.abs(b.spectrum), np.abs(a.spectrum), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(b.pick().velocity, a.pick().velocity, rtol=1e-12)


# --------------------------------------------------------------------------
# stacking repeated shots


def test_stack_gathers_mean_and_noise_reduction():
    x = 5.0 + 2.0 * np.arange(12)
    clean = make_gather(x, DT, 600, ExponentialCurve(420, 170, 12), 25.0, noise=0.0).data
    rng = np.random.default_rng(11)
    sigma = 0.2 * np.abs(clean).max()
    shots = [Gather(clean + sigma * rng.standard_normal(clean.shape), dt=DT, delay=-0.1,
                    source=-5.0, receivers=x - 5.0, headers={"path": f"{k}.dat"})
             for k in range(16)]
    mean = stack_gathers(shots)
    np.testing.assert_allclose(mean.data, np.mean([s.data for s in shots], axis=0), atol=1e-12)
    total = stack_gathers(shots, kind="sum")
    np.testing.assert_allclose(total.data, 16 * mean.data, rtol=1e-12, atol=1e-12)
    assert mean.delay == -0.1 and mean.headers["stacked"] == [f"{k}.dat" for k in range(16)]
    # incoherent noise falls as 1 / sqrt(n): 16 shots leave a quarter of it
    residual = np.std(mean.data - clean)
    assert residual == pytest.approx(sigma / 4.0, rel=0.05)


@pytest.mark.parametrize("change, words", [
    (dict(dt=2 * DT), "different sample interval"),
    (dict(delay=0.0), "different delay 0 s against -0.1 s"),
    (dict(source=-6.0), "different offsets"),
    (dict(receivers=np.arange(12.0) + 1.0, source=-4.0), "different source or receiver"),
])
def test_stack_gathers_refuses_mixed_geometry(change, words):
    base = dict(data=np.zeros((12, 50)), dt=DT, delay=-0.1, source=-5.0,
                receivers=np.arange(12.0), headers={"path": "a.dat"})
    other = Gather(**{**base, **change, "headers": {"path": "b.dat"}})
    with pytest.raises(ValueError, match=f"cannot stack b.dat \\(gathers\\[1\\]\\) on a.dat.*{words}"):
        stack_gathers([Gather(**base), other])
    with pytest.raises(ValueError, match="shape"):
        stack_gathers([Gather(**base), Gather(**{**base, "data": np.zeros((12, 51))})])


def test_group_by_source_keeps_the_order_of_appearance():
    rcv = np.arange(0.0, 8.0, 2.0)
    shots = [line_gather(s, rcv, nt=20, seed=k) for k, s in enumerate([-5, 51, -5.0000001, 51,
                                                                       -10])]
    groups = group_by_source(shots)
    assert list(groups) == [(-5.0,), (51.0,), (-10.0,)]
    assert [len(v) for v in groups.values()] == [2, 2, 1]
    assert groups[(51.0,)][1] is shots[3]
    with pytest.raises(ValueError, match="no source position"):
        group_by_source([Gather(np.zeros((2, 5)), [1.0, 2.0], DT)])
