"""Substacks and their stacks: substacks that add up to the plain stack;
robust, nth-root and selective stacking on substacks with a known signal and
a corrupted substack (robust and selective keep the signal where the mean
does not; nth-root with n = 1 is the mean); phase-weighted restacking of
identical substacks is the substack; transient windows rejected and
counted."""
import numpy as np
import pytest

import molvak
from molvak import synthetic
from molvak.interferometry import CorrelationStack, settings


@pytest.fixture(scope="module")
def record():
    return synthetic.ambient_noise(96.0, channels=16, seed=8).gather()


def test_substacks_add_up_to_the_stack(record):
    subs = molvak.substacks(record, [0, 3], 4.0, every=5, max_lag=1.0)
    whole = molvak.correlate(record, [0, 3], 4.0, max_lag=1.0)
    assert [st.count for st in subs] == [5, 5, 5, 5, 4]
    total = subs[0]
    for st in subs[1:]:
        total = total + st
    np.testing.assert_allclose(total.linear, whole.linear, rtol=0,
                               atol=1e-12 * np.abs(whole.linear).max())
    linear = molvak.restack(subs, "linear")
    np.testing.assert_allclose(linear.correlation(), whole.correlation(), rtol=0,
                               atol=1e-12 * np.abs(whole.correlation()).max())
    with pytest.raises(ValueError, match="final"):
        linear + linear


def substacks_of(rng, signal, k=12, noise=0.05):
    s = settings(2.0, 0.01, max_lag=(signal.shape[-1] // 2) * 0.01)
    out = []
    for _ in range(k):
        d = signal + noise * rng.standard_normal(signal.shape)
        out.append(CorrelationStack(s, (0,), np.arange(signal.shape[1], dtype=float),
                                    d * 10, None, 10))
    return out


def test_robust_nth_root_and_selective_keep_the_signal(rng):
    t = np.arange(-100, 101) * 0.01
    signal = np.stack([np.exp(-((t - 0.2 * r) / 0.05) ** 2) for r in range(4)])[None]
    subs = substacks_of(rng, signal)
    # one substack swamped by a transient
    subs[3].linear += 10 * 40.0 * rng.standard_normal(signal.shape)

    def error(st):
        return np.sqrt(np.mean((st.correlation() - signal) ** 2))

    plain = molvak.restack(subs, "linear")
    robust = molvak.restack(subs, "robust")
    selective = molvak.restack(subs, "selective")
    assert error(plain) > 2.0
    assert error(robust) < 0.05 and error(selective) < 0.05
    assert selective.headers["substacks_kept"] == 11
    assert selective.headers["dropped_windows"] == 10 and selective.count == 110
    gather = selective.gathers()[0]
    assert gather.headers["stacking"] == "selective"
    # nth root: n = 1 is the mean; identical substacks give themselves
    same = substacks_of(rng, signal, k=3, noise=0.0)
    np.testing.assert_allclose(molvak.restack(same, "nth_root", root=3).correlation(), signal,
                               atol=1e-12)
    np.testing.assert_allclose(molvak.restack(subs, "nth_root", root=1).correlation(),
                               plain.correlation(), atol=1e-12)
    np.testing.assert_allclose(molvak.restack(same, "pws").correlation(), signal, atol=1e-12)
    np.testing.assert_allclose(molvak.restack(same, "robust").correlation(), signal,
                               atol=1e-12)
    with pytest.raises(ValueError, match="no substack correlates"):
        molvak.restack(subs, "selective", threshold=1.1)


def test_transient_windows_are_rejected_and_counted(rng):
    # Gaussian noise (the synthetic ambient noise has impulsive events of
    # its own), a spike in window 5 (4 s windows) on a channel past the
    # first of the channel chunks that the check takes one at a time
    data = rng.standard_normal((80, 9600))
    data[70, 2010] += 200.0
    spiked = molvak.Gather(data, offsets=np.arange(80) * 2.0, dt=0.01)
    kept = molvak.correlate(spiked, 0, 4.0, max_lag=1.0, reject=True)
    assert (kept.count, kept.rejected) == (23, 1)
    # the same as stacking the other windows
    before = molvak.correlate(spiked, 0, 4.0, max_lag=1.0, stop=19.99)
    after = molvak.correlate(spiked, 0, 4.0, max_lag=1.0, start=24.0)
    np.testing.assert_allclose(kept.linear, before.linear + after.linear, rtol=0,
                               atol=1e-12 * np.abs(kept.linear).max())
    gather = molvak.virtual_gather(spiked, 0, 4.0, max_lag=1.0, reject=12.0)
    assert gather.headers["rejected_windows"] == 1 and gather.headers["reject"] == 12.0
    assert molvak.correlate(spiked, 0, 4.0, max_lag=1.0).rejected == 0
    with pytest.raises(ValueError, match="reject"):
        molvak.correlate(spiked, 0, 4.0, reject=0.5)
