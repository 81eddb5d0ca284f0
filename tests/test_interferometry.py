"""The correlation-and-stack core of the interferometry, against direct
time-domain correlations and an independent SciPy formulation, and the
physics it must get right: a known delay, the sign of the lags, what
whitening and phase-weighted stacking do, and stacks that combine in any
grouping."""
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.signal

import molvak
import reference_interferometry as ref
from molvak import interferometry as itf
from molvak.interferometry import CorrelationStack, _correlate_stack, fold, settings


def block_of(rng, w, nx, nt):
    return rng.standard_normal((w, nx, nt)) + 0.3   # an offset that the demean removes


# --------------------------------------------------------------------------
# the core against references


@pytest.mark.parametrize("nt, lag", [(37, 36), (64, 10), (31, 0)])
@pytest.mark.parametrize("stacking", ["linear", "pws"])
def test_plain_correlation_equals_the_time_domain_sum(rng, nt, lag, stacking):
    block = block_of(rng, 3, 4, nt)
    s = settings(nt * 0.01, 0.01, max_lag=lag * 0.01, taper=0.0, whiten=False,
                 stacking=stacking)
    sources = np.array([0, 2])
    linear, _ = _correlate_stack(block, sources, s)
    expected = np.zeros_like(linear)
    for w in range(3):
        x = block[w] - block[w].mean(axis=1, keepdims=True)
        for k, src in enumerate(sources):
            for r in range(4):
                expected[k, r] += ref.direct_correlation(x[src], x[r], lag)
    np.testing.assert_allclose(linear, expected, rtol=0, atol=1e-11 * np.abs(expected).max())


@pytest.mark.parametrize("options", [
    dict(normalization="onebit", taper=0.1, whiten=False),
    dict(normalization="ram", ram_window=0.09, taper=0.2, whiten=False),
    dict(normalization="none", taper=0.05, whiten=(3.0, 8.0, 20.0, 30.0)),
    dict(normalization="ram", ram_window=0.05, taper=0.05, whiten=(5.0, 25.0), whiten_width=2.0),
    dict(normalization="onebit", taper=0.0, whiten=True, stacking="pws"),
    dict(normalization="ram", ram_window=0.11, taper=0.1, whiten=(2.0, 4.0, 30.0, 40.0),
         whiten_width=1.0, stacking="pws"),
])
def test_every_step_against_the_scipy_formulation(rng, options):
    nt, dt = 101, 0.01
    block = block_of(rng, 4, 5, nt)
    block[1, 3] *= 50.0            # a loud channel in one window
    s = settings(nt * dt, dt, max_lag=0.4, **options)
    sources = np.array([4, 0, 1])
    linear, phasor = _correlate_stack(block, sources, s)
    lin_ref, ph_ref = ref.correlate_stack(block, sources, s)
    np.testing.assert_allclose(linear, lin_ref, rtol=0, atol=1e-10 * np.abs(lin_ref).max())
    if s.stacking == "pws":
        np.testing.assert_allclose(phasor, ph_ref, rtol=0, atol=1e-9)
    else:
        assert phasor is None and ph_ref is None


def test_time_normalisations_and_taper_against_the_time_domain(rng):
    """One-bit and running-absolute-mean windows, tapered, correlated by
    dot products: the pre-processing by its definition, not via spectra."""
    nt = 80
    block = block_of(rng, 2, 3, nt)
    for norm, extra in [("onebit", {}), ("ram", {"ram_window": 0.07})]:
        s = settings(nt * 0.01, 0.01, max_lag=0.3, taper=0.1, whiten=False,
                     normalization=norm, **extra)
        linear, _ = _correlate_stack(block, np.array([1]), s)
        expected = np.zeros_like(linear)
        for w in range(2):
            x = block[w] - block[w].mean(axis=1, keepdims=True)
            if norm == "onebit":
                x = np.sign(x)
            else:
                half = s.ram_half
                mean_abs = np.array([[np.abs(row[max(0, k - half):k + half + 1]).mean()
                                      for k in range(nt)] for row in x])
                x = x / mean_abs
            # the taper of molvak.Gather.taper, an implementation of its own
            x = molvak.Gather(x, offsets=[0.0, 1.0, 2.0], dt=0.01).taper(0.1).data
            for r in range(3):
                expected[0, r] += ref.direct_correlation(x[1], x[r], s.max_lag)
        np.testing.assert_allclose(linear, expected, atol=1e-10 * np.abs(expected).max())


# --------------------------------------------------------------------------
# physics


def delayed_pair(rng, nt, delay, windows=6):
    """Windows where channel 1 is channel 0 delayed by `delay` samples (a wave
    going from channel 0 to channel 1), channel 2 independent."""
    out = np.empty((windows, 3, nt))
    for w in range(windows):
        u = rng.standard_normal(nt + delay)
        out[w, 0] = u[delay:]
        out[w, 1] = u[:nt]
        out[w, 2] = rng.standard_normal(nt)
    return out


@pytest.mark.parametrize("whiten", [False, True, (5.0, 40.0)])
def test_a_delay_appears_at_positive_lag_and_folds_causal(rng, whiten):
    nt, dt, delay = 400, 0.005, 17
    block = delayed_pair(rng, nt, delay)
    s = settings(nt * dt, dt, max_lag=0.2, whiten=whiten)
    linear, _ = _correlate_stack(block, np.array([0]), s)
    c = linear[0, 1]
    lags = np.arange(-s.max_lag, s.max_lag + 1)
    assert lags[np.argmax(c)] == delay
    causal, acausal, both = (fold(linear[0], how) for how in ("causal", "acausal", "both"))
    assert np.argmax(causal[1]) == delay
    assert acausal[1].max() < 0.25 * causal[1].max()
    np.testing.assert_allclose(both, 0.5 * (causal + acausal))
    # the autocorrelation peaks at zero lag and is even
    np.testing.assert_allclose(causal[0], acausal[0], atol=1e-9 * np.abs(causal[0]).max())
    assert np.argmax(causal[0]) == 0


def test_whitening_sharpens_coloured_noise_and_ignores_gains(rng):
    """Low-passed noise correlates into a broad lobe; whitened, the delay
    stands out as a spike of about one sample. Channel gains and offsets
    drop out of the whitened correlation."""
    nt, dt, delay = 600, 0.004, 23
    block = delayed_pair(rng, nt, delay, windows=4)
    smooth = np.hanning(15)
    block = np.apply_along_axis(lambda r: np.convolve(r, smooth, mode="same"), -1, block)

    def lobe(whiten):
        s = settings(nt * dt, dt, max_lag=0.3, whiten=whiten)
        c = _correlate_stack(block, np.array([0]), s)[0][0, 1]
        k = int(np.argmax(c))
        return k - s.max_lag, int(np.sum(c > 0.5 * c[k])), s

    at, width, _ = lobe(False)
    assert at == delay and width > 8
    at, width, s = lobe(True)
    assert at == delay and width <= 2
    loud = block.copy()
    loud[:, 1] = 1e4 * loud[:, 1] + 7.0
    a = _correlate_stack(block, np.array([0]), s)[0]
    b = _correlate_stack(loud, np.array([0]), s)[0]
    np.testing.assert_allclose(b, a, atol=1e-9 * np.abs(a).max())


def test_phasors_are_those_of_the_analytic_signal(rng):
    """The PWS phasor of one window is z / |z|, z = scipy.signal.hilbert of
    the full correlation on nfft samples, cut to the kept lags."""
    nt, dt = 60, 0.01
    block = block_of(rng, 1, 3, nt)
    s = settings(nt * dt, dt, max_lag=0.25, taper=0.0, whiten=False, stacking="pws")
    _, phasor = _correlate_stack(block, np.array([2]), s)
    x = block[0] - block[0].mean(axis=1, keepdims=True)
    for r in range(3):
        full = ref.direct_correlation(x[2], x[r], nt - 1)       # lags -(nt-1)..nt-1
        circular = np.zeros(s.nfft)
        circular[:nt] = full[nt - 1:]
        circular[s.nfft - (nt - 1):] = full[:nt - 1]
        z = ref.cut(scipy.signal.hilbert(circular), s.max_lag)
        np.testing.assert_allclose(phasor[0, r], z / np.abs(z), atol=1e-9)


def test_phase_weighted_stack_keeps_coherent_and_damps_incoherent_energy(rng):
    nt, dt, delay = 500, 0.004, 30
    s_lin = settings(nt * dt, dt, max_lag=0.4, stacking="linear")
    s_pws = settings(nt * dt, dt, max_lag=0.4, stacking="pws")
    # identical windows: every phasor has modulus one, PWS equals the mean
    same = np.repeat(delayed_pair(rng, nt, delay, windows=1), 5, axis=0)
    st = CorrelationStack.empty(s_pws, [0], np.arange(3.0))
    st.add(*_correlate_stack(same, np.array([0]), s_pws), 5, (0.0, 1.0))
    np.testing.assert_allclose(st.correlation(2.0), st.correlation(0.0), atol=1e-9)
    # a weak common wave in strong independent noise
    block = delayed_pair(rng, nt, delay, windows=40)
    block += 3.0 * rng.standard_normal(block.shape)
    lags = np.arange(-s_lin.max_lag, s_lin.max_lag + 1)
    away = np.abs(lags - delay) > 10

    def contrast(s, power):
        st = CorrelationStack.empty(s, [0], np.arange(3.0))
        st.add(*_correlate_stack(block, np.array([0]), s), 40, (0.0, 1.0))
        c = st.correlation(power)[0, 1]
        assert lags[np.argmax(c)] == delay
        return np.sqrt(np.mean(c[away] ** 2)) / c.max()

    linear = contrast(s_lin, 2.0)
    assert contrast(s_pws, 2.0) < 0.3 * linear
    assert contrast(s_pws, 0.0) == pytest.approx(linear, rel=1e-6)


@pytest.mark.parametrize("stacking", ["linear", "pws"])
def test_partial_stacks_combine_in_any_grouping(rng, stacking):
    nt, dt = 90, 0.01
    block = block_of(rng, 7, 4, nt)
    s = settings(nt * dt, dt, max_lag=0.3, stacking=stacking, normalization="onebit")
    src = np.array([3, 1])
    pos = np.arange(4.0)

    def stack(part):
        st = CorrelationStack.empty(s, src, pos)
        st.add(*_correlate_stack(block[part], src, s), len(part), (float(part[0]), 1.0))
        return st

    whole = stack(np.arange(7))
    for cuts in ([3], [1, 2, 6], [5]):
        parts = np.split(np.arange(7), cuts)
        stacks = [stack(p) for p in parts]
        left = stacks[0]
        for other in stacks[1:]:
            left = left + other
        right = stacks[-1]
        for other in stacks[-2::-1]:
            right = other + right
        for total in (left, right):
            assert total.count == 7
            np.testing.assert_allclose(total.linear, whole.linear,
                                       atol=1e-11 * np.abs(whole.linear).max())
            if stacking == "pws":
                np.testing.assert_allclose(total.phasor, whole.phasor, atol=1e-11)
    with pytest.raises(ValueError, match="different correlation settings"):
        whole + CorrelationStack.empty(settings(nt * dt, dt, max_lag=0.2, stacking=stacking),
                                       src, pos)
    with pytest.raises(ValueError, match="no window"):
        CorrelationStack.empty(s, src, pos).correlation()


# --------------------------------------------------------------------------
# the native core: how it takes windows, adds to sums, and what it refuses


@pytest.mark.parametrize("stacking, nt", [("linear", 50), ("pws", 50), ("pws", 37)])
def test_native_core_reads_windows_where_they_lie_and_adds_in_place(rng, stacking, nt):
    """Windows given as strided views into a wider read buffer give the bits
    of the same windows as one C-ordered block; sums given with out= are
    added to; the NumPy formulation agrees (nfft even for nt = 50, odd for
    nt = 37: the two inverse routes of the kernel)."""
    buffer = rng.standard_normal((6, 3 * nt + 7))
    views = [buffer[:, 5 + k * nt:5 + (k + 1) * nt] for k in range(3)]
    assert not views[0].flags.c_contiguous
    block = np.stack(views)
    s = settings(nt * 0.01, 0.01, max_lag=0.2, normalization="ram", ram_window=0.05,
                 whiten=(2.0, 30.0), whiten_width=2.0, stacking=stacking)
    src = np.array([5, 0])
    whole = _correlate_stack(block, src, s)
    from_views = _correlate_stack(views, src, s)
    np.testing.assert_array_equal(from_views[0], whole[0])
    np.testing.assert_array_equal(from_views[1], whole[1])
    numpy_core = itf._correlate_stack_numpy(block, src, s)
    np.testing.assert_allclose(whole[0], numpy_core[0], atol=1e-12 * np.abs(numpy_core[0]).max())
    sums = (np.ones_like(whole[0]), None if whole[1] is None else np.ones_like(whole[1]))
    result = _correlate_stack(views, src, s, out=sums)
    assert result[0] is sums[0] and result[1] is sums[1]
    np.testing.assert_allclose(sums[0], whole[0] + 1.0, rtol=0, atol=1e-12)
    if stacking == "pws":
        np.testing.assert_allclose(sums[1], whole[1] + 1.0, rtol=0, atol=1e-12)
        np.testing.assert_allclose(whole[1], numpy_core[1], atol=1e-9)


def test_native_core_refuses_what_it_cannot_correlate(rng):
    from molvak import _native
    block = rng.standard_normal((2, 4, 30))
    call = _native._correlate_stack
    cases = [
        (lambda: call(block[0], [0], 64, 5), ValueError, "3-D array"),
        (lambda: call(block, [4], 64, 5), ValueError, r"sources\[0\] = 4 is not a channel"),
        (lambda: call(block, [0.5], 64, 5), TypeError, "sources must be integer channel indices"),
        (lambda: call(block, [0], 58, 5), ValueError, "nfft must be at least 2 NT - 1 = 59"),
        (lambda: call(block, [0], 64, 30), ValueError, "max_lag must lie in 0..29"),
        (lambda: call(block, [0], 64, 5, taper=np.ones(29)), ValueError, "taper must be None"),
        (lambda: call(block, [0], 64, 5, whiten=np.ones(32)), ValueError, "whiten must be None"),
        (lambda: call(block, [0], 64, 5, normalization="clip"), ValueError, "normalization"),
        (lambda: call(block, [0], 64, 5, normalization="ram"), ValueError, "ram_half"),
        (lambda: call(block, [0], 64, 5, stacking="median"), ValueError, "stacking"),
        (lambda: call([block[0], block[1, :3]], [0], 64, 5), ValueError, r"block\[1\] has shape"),
        (lambda: call(block, [0], 64, 5, linear=np.zeros((1, 4, 11), np.float32)), ValueError,
         "linear must be a float64 array of shape"),
        (lambda: call(block, [0], 64, 5, linear=np.zeros((1, 4, 22))[..., ::2]), ValueError,
         "C-contiguous"),
        (lambda: call(block, [0], 64, 5, stacking="pws", linear=np.zeros((1, 4, 11))), TypeError,
         "phasor must be given"),
    ]
    for fn, kind, words in cases:
        with pytest.raises(kind, match=words):
            fn()


def test_native_core_runs_in_threads_with_the_serial_bits(rng):
    """The kernel runs without the interpreter lock; concurrent calls (each
    with its own workspace, sharing the FFT plans) give the serial bits."""
    blocks = [rng.standard_normal((3, 8, 120)) for _ in range(4)]
    jobs = [(b, settings(1.2, 0.01, max_lag=0.5, stacking=st)) for b in blocks
            for st in ("linear", "pws")]
    src = np.array([1, 6])
    serial = [_correlate_stack(b, src, s) for b, s in jobs]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda job: _correlate_stack(job[0], src, job[1]), jobs * 2))
    for got, want in zip(threaded, serial * 2):
        np.testing.assert_array_equal(got[0], want[0])
        if want[1] is not None:
            np.testing.assert_array_equal(got[1], want[1])


def test_settings_are_checked_and_resolved():
    s = settings(10.0, 0.004, max_lag=2.0, taper=0.05, whiten=(1.0, 40.0))
    assert (s.samples, s.max_lag, s.taper) == (2500, 500, 125)
    assert s.nfft >= 2 * 2500 - 1 and itf.fast_length(s.nfft) == s.nfft
    assert s.whiten == (1.0, 1.0, 40.0, 40.0)
    def smooth(k):
        for p in (2, 3, 5):
            while k % p == 0:
                k //= p
        return k == 1

    for n in (1, 2, 7, 11, 97, 4999, 10007, 65537):
        m = itf.fast_length(n)
        assert m >= n and smooth(m)
        assert not any(smooth(k) for k in range(n, m))
    for kwargs, words in [(dict(max_lag=20.0), "reaches beyond the window"),
                          (dict(taper=0.7), "taper must be a fraction"),
                          (dict(whiten=(40.0, 10.0)), "increasing"),
                          (dict(whiten=(200.0, 300.0)), "above the Nyquist"),
                          (dict(normalization="clip"), "normalization must be one of"),
                          (dict(stacking="median"), "stacking must be one of")]:
        with pytest.raises(ValueError, match=words):
            settings(10.0, 0.004, **kwargs)


# --------------------------------------------------------------------------
# virtual gathers of a record


@pytest.fixture(scope="module")
def noise():
    from molvak import synthetic
    return synthetic.ambient_noise(90.0, channels=60, seed=3)


def test_virtual_gathers_geometry_and_several_sources_in_one_pass(noise):
    g = noise.gather()
    opts = dict(step=5.0, max_lag=1.5)
    one = molvak.virtual_gather(g, 0, 10.0, **opts)
    assert one.shape == (60, 376) and one.delay == 0.0 and one.dt == pytest.approx(0.004)
    np.testing.assert_allclose(one.offsets, noise.positions)
    assert one.headers["windows"] == 17 and one.headers["virtual_source"] == 0
    several = molvak.virtual_gather(g, [0, 30, -1], 10.0, **opts)
    assert isinstance(several, list) and len(several) == 3
    np.testing.assert_allclose(several[0].data, one.data, atol=1e-12 * np.abs(one.data).max())
    mid = several[1]
    np.testing.assert_allclose(mid.offsets, np.abs(noise.positions - noise.positions[30]))
    assert mid.source[0] == noise.positions[30]
    np.testing.assert_allclose(several[2].data, molvak.virtual_gather(g, 59, 10.0, **opts).data,
                               atol=1e-12 * np.abs(several[2].data).max())
    # reciprocity: channel 30 seen from 0, folded, is channel 0 seen from 30
    np.testing.assert_allclose(one.data[30], mid.data[0], atol=1e-9 * np.abs(one.data[30]).max())
    with pytest.raises(ValueError, match="source channel 60 does not exist"):
        molvak.virtual_gather(g, 60, 10.0)
    with pytest.raises(ValueError, match="holds no window of 100 s"):
        molvak.virtual_gather(g, 0, 100.0)


def test_non_finite_windows_are_left_out_and_counted(noise):
    data = noise.data.copy()
    data[5, 2600] = np.nan                                   # in the window from 10 s
    g = molvak.Gather(data, offsets=noise.positions, dt=noise.dt)
    with pytest.warns(molvak.RecordWarning, match=r"channel\(s\) 5 \(.* m\) held non-finite "
                                                  r"samples: 1 window\(s\) dropped"):
        vg = molvak.virtual_gather(g, 0, 10.0, step=10.0, max_lag=1.0)
    assert vg.headers["windows"] == 8 and vg.headers["skipped_windows"] == 1
    clean = molvak.virtual_gather(noise.gather(), 0, 10.0, step=10.0, max_lag=1.0,
                                  start=20.0)
    partial = molvak.virtual_gather(g, 0, 10.0, step=10.0, max_lag=1.0, start=20.0)
    np.testing.assert_array_equal(clean.data, partial.data)


def test_workers_executors_and_dask_give_the_serial_stack(noise):
    g = noise.gather()
    opts = dict(step=5.0, max_lag=1.0, stacking="pws")
    serial = molvak.virtual_gather(g, [0, 10], 10.0, **opts)
    threads = molvak.virtual_gather(g, [0, 10], 10.0, workers=2, **opts)
    with ThreadPoolExecutor(3) as pool:
        mapped = molvak.virtual_gather(g, [0, 10], 10.0, client=pool, **opts)
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        remote = molvak.virtual_gather(g, [0, 10], 10.0, client=client, **opts)
    for result in (threads, mapped, remote):
        for a, b in zip(result, serial):
            np.testing.assert_allclose(a.data, b.data, atol=1e-12 * np.abs(b.data).max())
            assert a.headers["windows"] == b.headers["windows"] == 17


def test_dead_and_non_finite_channels_are_named_at_the_source(noise):
    from molvak import RecordWarning
    opts = dict(step=10.0, max_lag=1.0)
    data = noise.data.copy()
    data[7] = np.nan                                          # a channel of NaN
    data[9] = 0.0                                             # a dead one
    g = molvak.Gather(data, offsets=noise.positions, dt=noise.dt)
    with pytest.warns(RecordWarning, match=r"channel\(s\) 7 \(14 m\) held no finite sample "
                                           r"in up to 9 window\(s\): left out"):
        vg = molvak.virtual_gather(g, 0, 10.0, **opts)
    # left out as the dead channel is: a zero trace, the others as without it
    assert vg.headers["windows"] == 9 and vg.headers["skipped_windows"] == 0
    assert not vg.data[7].any() and not vg.data[9].any()
    data[7] = 0.0
    same = molvak.virtual_gather(molvak.Gather(data, offsets=noise.positions, dt=noise.dt), 0,
                                 10.0, **opts)
    np.testing.assert_array_equal(vg.data, same.data)
    # a dead virtual source is refused, naming it, not imaged as zeros
    with pytest.raises(ValueError, match=r"virtual source channel 9 \(at 18 m\) is dead"):
        molvak.virtual_gather(molvak.Gather(data, offsets=noise.positions, dt=noise.dt), 9,
                              10.0, **opts)
    with pytest.raises(TypeError, match="source must be a channel index or a list of them; "
                                        "got 1.0"):
        molvak.virtual_gather(noise.gather(), 1.0, 10.0)
