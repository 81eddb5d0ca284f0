"""Every pair of channels in one pass (molvak.correlate(..., "all")): each
stored pair (i, j) against the virtual-source pass for source i and against
the SciPy formulation of the chain, the reversed pair as its time reverse,
the distance filter against a brute-force count, the virtual gathers of a
pair stack against those of the sources, and stacks of pairs that combine."""
import numpy as np
import pytest

import molvak
import reference_interferometry as ref
from molvak import interferometry as itf


def noise_record(rng, nx=9, seconds=24.0, dt=0.01, spacing=3.0):
    data = rng.standard_normal((nx, int(round(seconds / dt))))
    # a common wave so that the correlations have a peak to compare against
    data[:, 5:] += 0.5 * data[:1, :-5]
    return molvak.Gather(data, offsets=np.arange(nx) * spacing, dt=dt)


@pytest.mark.parametrize("stacking", ["linear", "pws"])
@pytest.mark.parametrize("length", [2.0, 1.88])       # nfft 400 (even) and 375 (odd)
def test_every_pair_equals_the_virtual_source_pass(rng, stacking, length):
    g = noise_record(rng)
    nx = g.shape[0]
    options = dict(max_lag=0.7, stacking=stacking, normalization="onebit", whiten=(1.0, 30.0))
    pairs = molvak.correlate(g, "all", length, block=3, **options)
    sources = molvak.correlate(g, list(range(nx)), length, **options)
    assert pairs.linear.shape == (nx * (nx + 1) // 2, 2 * 70 + 1)
    assert pairs.count == sources.count
    peak = np.abs(sources.correlation()).max()
    for i in range(nx):
        for j in range(nx):
            expected = sources.correlation()[i, j]
            np.testing.assert_allclose(pairs.pair(i, j), expected, rtol=0, atol=1e-10 * peak)
            # the other direction is the time reverse
            np.testing.assert_allclose(pairs.pair(j, i), expected[::-1], rtol=0,
                                       atol=1e-10 * peak)


def test_pairs_of_a_block_against_the_scipy_formulation(rng):
    block = rng.standard_normal((3, 6, 90))
    s = itf.settings(0.9, 0.01, max_lag=0.4, whiten_width=3.0)
    pairs = itf.channel_pairs(np.arange(6.0))
    linear, _ = itf._correlate_stack(block, pairs, s)
    expected, _ = ref.correlate_stack(block, np.arange(6), s)
    np.testing.assert_allclose(linear, expected[pairs[:, 0], pairs[:, 1]], rtol=0,
                               atol=1e-12 * np.abs(expected).max())


def test_distance_filter_gathers_and_combination(rng):
    g = noise_record(rng, nx=8, spacing=2.5)
    x = g.offsets
    st = molvak.correlate(g, "all", 2.0, max_lag=0.5, max_distance=6.0, start=0, stop=12)
    brute = [(i, j) for i in range(8) for j in range(i, 8) if abs(x[j] - x[i]) <= 6.0]
    assert [tuple(p) for p in st.pairs] == brute
    with pytest.raises(ValueError, match=r"pair \(0, 5\) was not correlated"):
        st.pair(0, 5)
    with pytest.raises(ValueError, match="not a channel"):
        st.pair(0, 8)
    # a virtual gather of the pair stack: the channels within reach of the
    # source, the same traces as the virtual-source pass gives them
    one = molvak.correlate(g, 4, 2.0, max_lag=0.5, start=0, stop=12).gathers()[0]
    gather = st.gathers()[4]
    near = np.flatnonzero(np.abs(x - x[4]) <= 6.0)
    np.testing.assert_array_equal(gather.headers["channels"], near)
    np.testing.assert_allclose(gather.data, one.data[near], rtol=0,
                               atol=1e-10 * np.abs(one.data).max())
    np.testing.assert_allclose(gather.offsets, np.abs(x[near] - x[4]))
    # stacks of disjoint windows add up to the stack of all of them
    later = molvak.correlate(g, "all", 2.0, max_lag=0.5, max_distance=6.0, start=12)
    whole = molvak.correlate(g, "all", 2.0, max_lag=0.5, max_distance=6.0)
    both = st + later
    assert both.count == whole.count
    np.testing.assert_allclose(both.linear, whole.linear, rtol=0,
                               atol=1e-12 * np.abs(whole.linear).max())
    with pytest.raises(ValueError, match="different channel pairs"):
        st + molvak.correlate(g, "all", 2.0, max_lag=0.5, start=0, stop=12)
    with pytest.raises(TypeError, match="max_distance"):
        molvak.correlate(g, 0, 2.0, max_distance=5.0)
    with pytest.raises(ValueError, match="'all'"):
        molvak.correlate(g, "every", 2.0)


def test_pairs_on_threads_match_one_thread(rng, monkeypatch):
    g = noise_record(rng, nx=7)
    one = molvak.correlate(g, "all", 2.0, max_lag=0.5, stacking="pws", workers=1)
    two = molvak.correlate(g, "all", 2.0, max_lag=0.5, stacking="pws", workers=2)
    assert two.count == one.count
    np.testing.assert_allclose(two.linear, one.linear, rtol=0,
                               atol=1e-12 * np.abs(one.linear).max())
    np.testing.assert_allclose(two.phasor, one.phasor, rtol=0, atol=1e-10)
    # sums in mapped memory, as for the pairs of long lines: the same stacks
    monkeypatch.setattr(itf, "_MAPPED_BYTES", 1)
    mapped = molvak.correlate(g, "all", 2.0, max_lag=0.5, stacking="pws", workers=1)
    assert mapped.count == one.count
    np.testing.assert_array_equal(mapped.linear, one.linear)
    np.testing.assert_array_equal(mapped.phasor, one.phasor)
    both = molvak.correlate(g, "all", 2.0, max_lag=0.5, stacking="pws", workers=2) + mapped
    np.testing.assert_allclose(both.linear, 2 * one.linear, rtol=0,
                               atol=1e-12 * np.abs(one.linear).max())
