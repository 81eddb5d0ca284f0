"""Single precision where the data are: float32 windows correlated without a
float64 copy of the block give the bits of the same windows in float64
(virtual sources and pairs, linear and phase-weighted, arrays and strided
views), and a DAS record of float32 files is read as float32 and correlated
to the bits of its samples held in float64, one float32 block at a time."""
import numpy as np
import pytest

import molvak
from molvak import interferometry as itf
from molvak import synthetic


@pytest.mark.parametrize("stacking", ["linear", "pws"])
def test_float32_windows_give_the_float64_bits(rng, stacking):
    buffer = rng.standard_normal((5, 260)).astype(np.float32) * 1e3
    views = [buffer[:, k * 60:k * 60 + 80] for k in range(3)]   # strided, overlapping
    block32 = np.stack(views)
    s = itf.settings(0.8, 0.01, max_lag=0.3, stacking=stacking, normalization="ram")
    for which in (np.array([0, 4]), itf.channel_pairs(np.arange(5.0))):
        expected = itf._correlate_stack(block32.astype(np.float64), which, s)
        for given in (block32, views):
            got = itf._correlate_stack(given, which, s)
            np.testing.assert_array_equal(got[0], expected[0])
            if stacking == "pws":
                np.testing.assert_array_equal(got[1], expected[1])


def test_a_float32_das_record_is_correlated_in_single_precision(tmp_path):
    pytest.importorskip("dascore")
    noise = synthetic.ambient_noise(40.0, channels=12, seed=9)
    synthetic.write_ambient_noise(tmp_path, 40.0, file_length=20.0, channels=12, seed=9,
                                  progress=False)
    record = molvak.open_record(tmp_path)
    assert record.read(0, 4990, 5010, single=True).dtype == np.float32   # across the files
    assert record.read(0, 4990, 5010).dtype == np.float64
    from_files = molvak.correlate(record, "all", 4.0, max_lag=1.0, step=3.0)
    held = molvak.Gather(noise.data.astype(np.float32).astype(np.float64),
                         offsets=noise.positions, dt=noise.dt,
                         headers=noise.gather().headers)
    in_memory = molvak.correlate(held, "all", 4.0, max_lag=1.0, step=3.0)
    assert from_files.count == in_memory.count == 13
    np.testing.assert_array_equal(from_files.linear, in_memory.linear)


def test_a_run_holds_one_float32_block_at_a_time(tmp_path):
    # Three blocks of four windows from two float32 files, the middle block
    # across them: the samples of the windows are held once, in float32, a
    # block at a time; a float64 copy of a block, two blocks at once or the
    # two files' samples joined into one more array would each double that.
    pytest.importorskip("dascore")
    import tracemalloc
    synthetic.write_ambient_noise(tmp_path, 48.0, file_length=24.0, channels=200, seed=3,
                                  progress=False)
    record = molvak.open_record(tmp_path)
    record.read(0, 0, 10, single=True)          # the reader's imports, before counting
    s = itf.settings(4.0, record.dt, max_lag=0.2)
    starts = molvak.windows(record, 4.0).starts
    block = 4 * record.positions.size * s.samples * np.dtype(np.float32).itemsize
    tracemalloc.start()
    try:
        stack = itf.stack_windows(record, starts, [0], s, block=4)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert stack.count == 12
    assert peak - stack.linear.nbytes < 1.5 * block, (peak, block)
