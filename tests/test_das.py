"""DAS records through DASCore: files written with DASCore's own writer are
read back with their geometry, time and quantity; continuous records are cut
into windows across file boundaries, never across a gap; shots are cut out
and stacked."""
import warnings

import numpy as np
import pytest

import molvak
from molvak import RecordWarning
from molvak.io import _dascore as das
from molvak.io.records import Record

dc = pytest.importorskip("dascore")

T0 = np.datetime64("2024-03-01T12:00:00", "ns")
DT = 0.002


def patch(data, *, start=T0, positions=None, dims=("distance", "time"), units="m",
          attrs=None):
    """A DASCore patch of `data` (channels x samples, or transposed for
    dims (time, distance)), written by the test without molvak's help."""
    nch = data.shape[dims.index("time") ^ 1]
    nt = data.shape[dims.index("time")]
    chan = dims[0] if dims[0] != "time" else dims[1]
    x = np.arange(nch) * 2.0 if positions is None else positions
    coords = {chan: x if chan == "distance" else np.arange(nch),
              "time": start + np.arange(nt) * np.timedelta64(int(DT * 1e9), "ns")}
    p = dc.Patch(data=data, coords=coords, dims=dims, attrs=attrs or {})
    if chan == "distance" and units is not None:
        p = p.update_coords(distance=p.get_coord("distance").update(units=units))
    return p


def write(p, path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        p.io.write(path, "DASDAE")
    return path


@pytest.fixture
def record(rng):
    return rng.standard_normal((12, 5000)).astype(np.float32)


def test_read_gives_positions_time_quantity_and_gauge_length(tmp_path, record):
    attrs = {"data_type": "strain_rate", "data_units": "1/s", "gauge_length": 10.0}
    path = write(patch(record[:, :1000], positions=np.arange(12) * 5.0 + 100.0, units="ft",
                       attrs=attrs), tmp_path / "a.h5")
    g = molvak.read(path)
    np.testing.assert_array_equal(g.data, record[:, :1000].astype(np.float64))
    np.testing.assert_allclose(g.offsets, (np.arange(12) * 5.0 + 100.0) * 0.3048)
    assert g.dt == pytest.approx(DT) and g.delay == 0.0 and g.source is None
    h = g.headers
    assert h["start_time"] == "2024-03-01T12:00:00.000000000"
    assert h["quantity"] == "strain_rate" and h["gauge_length"] == 10.0
    assert h["units"] in ("1 / s", "1.0 / s")
    assert h["format"] == "DAS" and h["das_format"] == "DASDAE"
    assert h["positions"] == "file" and h["distance_units"] == "m"
    # an active shot: offsets from the source, positions kept as receivers
    shot = molvak.read(path, source=[30.48 + 5 * 0.3048])
    np.testing.assert_allclose(shot.offsets, np.abs(g.offsets - 30.48 - 5 * 0.3048),
                               atol=1e-9)
    # (time, distance) storage is transposed back; unit-less distances are metres
    other = write(patch(record[:, :300].T.copy(), dims=("time", "distance"), units=None),
                  tmp_path / "b.h5")
    t = molvak.read(other)
    np.testing.assert_array_equal(t.data, record[:, :300].astype(np.float64))
    assert t.headers["distance_units"].startswith("m (assumed")


def test_a_record_without_positions_is_refused_until_they_are_given(tmp_path, record):
    path = write(patch(record[:, :400], dims=("channel", "time")), tmp_path / "c.h5")
    with pytest.raises(molvak.io.HeaderError,
                       match=r"c.h5: the record gives no channel positions along the fibre "
                             r"\(its channels are indexed by 'channel'\); give offsets=, or "
                             r"source= with receivers= or spacing="):
        molvak.read(path)
    with pytest.raises(das.PositionsError, match=r"no channel positions .*; give spacing= "
                                                 r"\(and first_receiver=\) or receivers="):
        molvak.virtual_gather(path, 0, 0.2)
    g = molvak.read(path, source=0.0, spacing=4.0, first_receiver=10.0)
    np.testing.assert_allclose(g.offsets, 10.0 + 4.0 * np.arange(12))
    np.testing.assert_array_equal(g.data, record[:, :400].astype(np.float64))
    assert "positions" not in g.headers and g.headers["quantity"] == "unknown"
    w = molvak.windows(path, 0.2, receivers=np.arange(12) * 3.0)
    assert len(w) == 4 and next(iter(w)).offsets[1] == 3.0


def test_files_that_dascore_does_not_read(tmp_path):
    bogus = tmp_path / "junk.h5"
    bogus.write_bytes(b"\x89HDF\r\n\x1a\n" + bytes(200))
    with pytest.raises(molvak.io.HeaderError, match="junk.h5: not a DAS file that DASCore reads"):
        molvak.read(bogus)
    with pytest.raises(FileNotFoundError, match="no such file or folder"):
        molvak.windows(tmp_path / "missing", 1.0)


def continuous(tmp_path, record, pieces):
    """Write record[:, a:b] starting at sample `at` of the time axis, for each
    (a, b, at): a recording cut into files."""
    for k, (a, b, at) in enumerate(pieces):
        start = T0 + np.timedelta64(int(round(at * DT * 1e9)), "ns")
        write(patch(record[:, a:b], start=start, attrs={"data_type": "strain_rate"}),
              tmp_path / f"part{k}.h5")
    return tmp_path


def test_windows_cross_file_boundaries_but_never_a_gap(tmp_path, record):
    # samples 0-1499 in two files, a gap of 250 samples, then 1750-3999
    # in two files that overlap by 100 samples (the same samples twice), then
    # a file whose samples fall half a sample early, off the grid
    folder = continuous(tmp_path, record, [(0, 800, 0), (800, 1500, 800),
                                           (1750, 3100, 1750), (3000, 4000, 3000),
                                           (4000, 5000, 3999.5)])
    (folder / ".dascore_index.h5").write_bytes(b"hidden")     # never read
    with pytest.warns(RecordWarning) as caught:
        w = molvak.windows(folder, length=0.6, step=0.4)
    text = str(caught[0].message)
    assert "gap of 0.5 s between part1.h5 and part2.h5" in text
    assert "overlap of 0.2 s between part2.h5 and part3.h5" in text
    assert "samples off the grid (0.001 s early) between part3.h5 and part4.h5" in text
    rec = w.record
    assert [s.samples for s in rec.segments] == [1500, 2250, 1000]
    assert rec.segments[1].offset == pytest.approx(1750 * DT)
    assert rec.segments[2].offset == pytest.approx(3999.5 * DT)
    starts = [(s, i0) for s, i0 in w.starts]
    assert starts == ([(0, k * 200) for k in range(7)] + [(1, k * 200) for k in range(10)]
                      + [(2, k * 200) for k in range(4)])
    for g, (s, i0) in zip(w, starts):
        first = i0 + (0, 1750, 4000)[s]
        np.testing.assert_array_equal(g.data, record[:, first:first + 300])
        at = (0.0, 1750.0, 3999.5)[s] + i0
        assert g.delay == pytest.approx(at * DT)
        assert g.headers["start_time"] == str(T0 + np.timedelta64(int(round(at * DT * 1e9)),
                                                                  "ns"))
    # a time range in absolute time; a channel subset
    with pytest.warns(RecordWarning):
        sub = molvak.windows(folder, length=0.6, step=0.4, channels=[2, 5, 7],
                             start="2024-03-01T12:00:03.6", stop=5.0)
    # windows that start at 3.6 s or later and end by 5 s
    assert [(s, i0) for s, i0 in sub.starts] == [(1, 50), (1, 250), (1, 450)]
    g = next(iter(sub))
    np.testing.assert_array_equal(g.data, record[[2, 5, 7], 1800:2100])
    np.testing.assert_allclose(g.offsets, [4.0, 10.0, 14.0])


def test_reads_are_bounded_by_a_few_windows(tmp_path, record, monkeypatch):
    folder = continuous(tmp_path, record, [(0, 1300, 0), (1300, 2600, 1300),
                                           (2600, 5000, 2600)])
    w = molvak.windows(folder, length=0.2, step=0.1)
    sizes = []
    original = Record.parts

    def counting(self, seg, a, b, **kw):
        sizes.append(b - a)
        return original(self, seg, a, b, **kw)

    monkeypatch.setattr(Record, "parts", counting)
    total = sum(g.shape[1] for g in w)
    assert total == len(w) * 100 and len(w) == 99
    # each read spans the next few windows (four by default), never more
    assert max(sizes) <= 100 + 3 * 50 and sum(sizes) == 5000
    # windows far apart are read one by one, not with the record between
    sizes.clear()
    assert len(list(molvak.windows(folder, length=0.2, step=2.0))) == 5
    assert sizes == [100] * 5


def test_files_that_do_not_match_are_refused(tmp_path, record):
    write(patch(record[:, :500]), tmp_path / "a.h5")
    p = patch(record[:, :500], start=T0 + np.timedelta64(1, "s"))
    p = p.update_coords(time=T0 + np.timedelta64(1, "s") + np.arange(500) * np.timedelta64(1, "ms"))
    write(p, tmp_path / "b.h5")
    with pytest.raises(ValueError, match="cannot join .*b.h5 to .*a.h5: the sample interval "
                                         "changes from 0.002 s to 0.001 s"):
        molvak.windows(tmp_path, 0.1)


def test_windows_of_an_in_memory_record(rng):
    data = rng.standard_normal((5, 1000))
    g = molvak.Gather(data, offsets=np.arange(5) * 2.0, dt=0.01, delay=100.0,
                      headers={"start_time": "2024-01-01T00:00:00"})
    w = molvak.windows(g, 2.5, step=1.0)
    assert len(w) == 8
    last = list(w)[-1]
    np.testing.assert_array_equal(last.data, data[:, 700:950])
    assert last.delay == pytest.approx(107.0)
    assert last.headers["start_time"] == "2024-01-01T00:00:07.000000000"
    with pytest.raises(ValueError, match="length must be a positive number of seconds"):
        molvak.windows(g, -1.0)


def test_shots_cut_from_a_continuous_record_and_stacked(tmp_path, rng):
    nx, nt = 8, 6000
    data = 0.05 * rng.standard_normal((nx, nt))
    pulse = np.hanning(21)
    shots = [(1.0, 3.0), (3.0, 3.0), (5.0, 21.0), (7.5, 3.0), (9.0, 21.0)]
    for t, _ in shots:
        i = int(round(t / DT)) + 50
        data[:, i:i + 21] += pulse
    folder = tmp_path / "rec"
    folder.mkdir()
    continuous(folder, data.astype(np.float32), [(0, 2500, 0), (2500, 6000, 2500)])
    table = tmp_path / "shots.csv"
    lines = ["time,source"] + [f"{T0 + np.timedelta64(int(t * 1e9), 'ns')},{x}"
                               for t, x in shots] + ["11.99,3.0"]
    table.write_text("\n".join(lines) + "\n")
    with pytest.warns(RecordWarning, match=r"1 shot\(s\) left out.*shots.csv line 7"):
        gathers = molvak.shot_gathers(folder, table, length=0.3, before=0.02)
    assert [g.source[0] for g in gathers] == [3.0, 21.0]
    first = gathers[0]
    assert first.delay == pytest.approx(-0.02) and first.shape == (8, 160)
    np.testing.assert_allclose(first.offsets, np.abs(np.arange(8) * 2.0 - 3.0))
    expected = np.mean([data[:, int(round(t / DT)) - 10:int(round(t / DT)) + 150]
                        for t, x in shots if x == 3.0], axis=0)
    np.testing.assert_allclose(first.data, expected.astype(np.float32), rtol=1e-6, atol=1e-7)
    assert first.headers["stacked"] and len(first.headers["stacked"]) == 3
    single = molvak.shot_gathers(folder, [(1.0, 3.0)], length=0.3, stack=False)
    assert len(single) == 1 and single[0].headers["timing_error"] == pytest.approx(0.0, abs=1e-9)


def test_a_file_still_being_written_in_a_folder_is_skipped(tmp_path, record):
    folder = continuous(tmp_path, record, [(0, 2500, 0), (2500, 5000, 2500)])
    (folder / "part2.h5").write_bytes(b"")                   # zero bytes
    (folder / "part3.h5").write_bytes((folder / "part1.h5").read_bytes()[:3000])  # truncated
    with pytest.warns(RecordWarning, match=r"2 file\(s\) that DASCore does not read were "
                                           r"skipped: part2.h5, part3.h5"):
        w = molvak.windows(folder, length=1.0)
    assert len(w) == 10
    # named, it is refused
    with pytest.raises(ValueError):
        molvak.windows(folder / "part2.h5", length=1.0)
    # a record shorter than a window is refused, not an empty iterator
    with pytest.raises(ValueError, match=r"holds no window of 100 s \(5 s in 1 stretch"):
        molvak.windows(folder / "part0.h5", length=100.0)
