"""Partial stacks on disk and runs that resume: a stack written and read
back bit for bit (linear, phase-weighted, pairs), stacks read back that
combine by +, a time-lapse run interrupted after two of six blocks that
computes only the other four when run again and equals an uninterrupted
run bit for bit, and a folder from a run with other settings refused."""
import numpy as np
import pytest

import molvak
from molvak import synthetic
from molvak.interferometry import CorrelationStack

pytest.importorskip("h5py")


@pytest.fixture(scope="module")
def record():
    return synthetic.ambient_noise(120.0, channels=24, seed=5).gather()


def same(a, b):
    assert a.settings == b.settings and a.sources == b.sources
    assert (a.count, a.skipped, a.span) == (b.count, b.skipped, tuple(b.span))
    assert a.nonfinite == b.nonfinite
    np.testing.assert_array_equal(a.linear, b.linear)
    assert (a.phasor is None) == (b.phasor is None)
    if a.phasor is not None:
        np.testing.assert_array_equal(a.phasor, b.phasor)
    assert (a.pairs is None) == (b.pairs is None)
    if a.pairs is not None:
        np.testing.assert_array_equal(a.pairs, b.pairs)


@pytest.mark.parametrize("source, stacking", [([0, 5], "linear"), (3, "pws"), ("all", "linear")])
def test_stack_files_round_trip_and_combine(tmp_path, record, source, stacking):
    kw = dict(max_lag=1.0, stacking=stacking, whiten=(3.0, 40.0))
    early = molvak.correlate(record, source, 4.0, stop=60.0, **kw)
    late = molvak.correlate(record, source, 4.0, start=60.0, **kw)
    early.save(tmp_path / "early.h5")
    late.save(tmp_path / "late.h5")
    with pytest.raises(FileExistsError):
        late.save(tmp_path / "early.h5")
    back = CorrelationStack.load(tmp_path / "early.h5")
    same(back, early)
    assert back.headers["start_time"] == early.headers["start_time"]
    same(back + CorrelationStack.load(tmp_path / "late.h5"), early + late)
    (tmp_path / "other.h5").write_bytes(b"not a stack")
    with pytest.raises(ValueError, match="other.h5"):
        CorrelationStack.load(tmp_path / "other.h5")


def test_an_interrupted_timelapse_resumes_where_it_stopped(tmp_path, record, monkeypatch):
    options = dict(max_lag=1.0, whiten=(3.0, 40.0), velocities=(100, 800, 5), fmin=5, fmax=30,
                   dvv="stretching")
    whole = molvak.timelapse(record, 0, 4.0, 20.0, out=tmp_path / "whole", **options)
    assert (whole.computed, whole.reused) == (6, 0)
    # the run stops (Ctrl-C) while the third block is being written
    saved = []
    real = CorrelationStack.save

    def save(self, path, **kw):
        if len(saved) == 2:
            raise KeyboardInterrupt
        real(self, path, **kw)
        saved.append(path)

    monkeypatch.setattr(CorrelationStack, "save", save)
    with pytest.raises(KeyboardInterrupt):
        molvak.timelapse(record, 0, 4.0, 20.0, out=tmp_path / "run", **options)
    monkeypatch.setattr(CorrelationStack, "save", real)
    assert len(list((tmp_path / "run").glob("*.h5"))) == 2
    assert not [p for p in (tmp_path / "run").iterdir() if p.suffix != ".h5"]  # no debris
    again = molvak.timelapse(record, 0, 4.0, 20.0, out=tmp_path / "run", **options)
    assert (again.computed, again.reused) == (4, 2)
    for a, b in zip(whole.blocks, again.blocks):
        np.testing.assert_array_equal(a.gather.data, b.gather.data)
        np.testing.assert_array_equal(a.image.spectrum, b.image.spectrum)
    np.testing.assert_array_equal(whole.dvv, again.dvv)
    np.testing.assert_array_equal(whole.velocity, again.velocity)
    # a third run computes nothing; another window length is refused
    assert molvak.timelapse(record, 0, 4.0, 20.0, out=tmp_path / "run", **options).computed == 0
    with pytest.raises(ValueError, match=r"block_\d+_20s\.h5: a stack of other correlation"):
        molvak.timelapse(record, 0, 5.0, 20.0, out=tmp_path / "run", **options)


def test_a_correlation_run_resumes_from_its_partial_stacks(tmp_path, record):
    kw = dict(max_lag=1.0, whiten=(3.0, 40.0), out=tmp_path, partial=40.0)
    first = molvak.correlate(record, "all", 4.0, max_distance=10.0, **kw)
    files = sorted(tmp_path.glob("partial_*_40s.h5"))
    assert len(files) == 3
    plain = molvak.correlate(record, "all", 4.0, max_distance=10.0, max_lag=1.0,
                             whiten=(3.0, 40.0))
    assert first.count == plain.count
    np.testing.assert_allclose(first.linear, plain.linear, rtol=0,
                               atol=1e-12 * np.abs(plain.linear).max())
    files[1].unlink()                       # as if the run had stopped there
    same(molvak.correlate(record, "all", 4.0, max_distance=10.0, **kw), first)
    assert len(list(tmp_path.glob("partial_*_40s.h5"))) == 3


def test_a_resumed_run_still_names_the_channels_it_left_out(tmp_path, record):
    from molvak import RecordWarning
    data = record.data.copy()
    data[7] = np.nan                        # no finite sample: left out of every window
    data[11, 100] = np.inf                  # one sample: its window dropped
    g = molvak.Gather(data, offsets=record.offsets, dt=record.dt)
    kw = dict(max_lag=1.0, out=tmp_path, partial=40.0)
    messages = []
    for _ in range(2):                      # computed, then read back from the folder
        with pytest.warns(RecordWarning) as caught:
            stack = molvak.correlate(g, [0, 3], 4.0, **kw)
        messages.append([str(w.message) for w in caught])
        assert stack.nonfinite == {"dead": {7: stack.count}, "dropped": {11: 1}}
    assert messages[0] == messages[1] and "7 (" in messages[0][0] and "11 (" in messages[0][0]
