"""Readers never misread silently: damaged, cut or contradictory files are
refused with one line naming the file (and the trace and field), and the
geometry is taken from the header fields that carry it. Files are made by
the independent writers of formats.py or by editing the field records."""
import os
import signal
import struct
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import molvak
from formats import seg2_bytes, seg2_decode, segy_bytes
from molvak import Gather
from molvak.io import HeaderError


def refused(path, words, **kwargs):
    """molvak.read(path) fails with a one-line HeaderError naming the file."""
    with pytest.raises(HeaderError, match=words) as info:
        molvak.read(path, **kwargs)
    message = str(info.value)
    assert message.startswith(str(path)) and "\n" not in message
    return message


@pytest.fixture(scope="module")
def obspy():
    return pytest.importorskip("obspy")


# --------------------------------------------------------------------------
# text


def test_text_bad_token_is_an_error_in_any_data_row(field_data, tmp_path):
    """N/A in the first data row of an Oysand file once made it a header
    (2200 traces of 24 samples); in any row it is an error naming the line."""
    lines = (field_data / "oysand" / "Oysand_dx_2m_x1_10m_forward.dat").read_bytes() \
        .split(b"\n")
    for row in (0, 1, 99, 2200):
        fields = lines[5 + row].split(b"\t")
        fields[3] = b"N/A"
        edited = lines[:5 + row] + [b"\t".join(fields)] + lines[6 + row:]
        path = tmp_path / f"row{row}.dat"
        path.write_bytes(b"\n".join(edited))
        refused(path, f"line {6 + row}: 'N/A' is not a number", dt=0.001, source=0.0,
                spacing=2.0)
    # one trace per row: the first trace is no longer dropped (and the
    # offsets shifted by one), and a header is still what looks like one
    data = np.round(np.random.default_rng(3).normal(size=(12, 80)), 6)
    rows = ["\t".join(f"{v:.6f}" for v in row) for row in data]
    good = tmp_path / "rows.txt"
    good.write_text("shot 7, 12 geophones at 2 m\n" + "\n".join(rows) + "\n")
    g = molvak.read(good, dt=0.001, source=0.0, spacing=2.0, first_receiver=2.0)
    np.testing.assert_array_equal(g.data, data)
    np.testing.assert_array_equal(g.offsets, 2.0 + 2.0 * np.arange(12))
    first = rows[0].split("\t")
    first[5] = "-"
    bad = tmp_path / "rows_bad.txt"
    bad.write_text("shot 7, 12 geophones at 2 m\n" + "\t".join(first) + "\n"
                   + "\n".join(rows[1:]) + "\n")
    refused(bad, "line 2: '-' is not a number", dt=0.001, source=0.0, spacing=2.0)


@pytest.mark.parametrize("kind", ["text", "npy"])
def test_layout_must_be_stated_for_more_traces_than_samples(tmp_path, kind):
    """A headerless samples x channels matrix once read as 400 traces of 12
    samples; unstated, more traces than samples is refused naming both
    layout= and --transpose, and a stated layout always wins."""
    record = np.random.default_rng(1).normal(size=(400, 12))     # samples x channels
    path = tmp_path / f"g.{'txt' if kind == 'text' else 'npy'}"
    if kind == "text":
        np.savetxt(path, record, fmt="%.17g")
    else:
        np.save(path, record)
    message = refused(path, "400 traces of 12 samples", dt=0.001, offsets=np.arange(400.0))
    assert "layout='columns' (--transpose)" in message
    g = molvak.read(path, dt=0.001, offsets=np.arange(12.0), layout="columns")
    np.testing.assert_array_equal(g.data, record.T)
    # a section with more channels than samples, said to be one
    das = molvak.read(path, dt=0.001, offsets=np.arange(400.0), layout="rows")
    assert das.shape == (400, 12)


# --------------------------------------------------------------------------
# SEG-Y


def test_segy_geometry_from_the_fields_that_carry_it(tmp_path, obspy):
    """Receiver coordinates all 0 beside a source at 100 m are no positions:
    the offset field gives the geometry (once: 100 m for every trace)."""
    data = np.random.default_rng(2).normal(size=(24, 300))
    offsets = 5 + 2 * np.arange(24)
    path = tmp_path / "g.sgy"
    path.write_bytes(segy_bytes(data, sx=100, gx=0, offset=offsets))
    g = molvak.read(path)
    np.testing.assert_array_equal(g.offsets, offsets)
    np.testing.assert_array_equal(g.data, data.astype(np.float32))
    assert g.dt == 0.002 and g.receivers is None
    # positions in cm and the offset field in m: they agree to the metre
    path.write_bytes(segy_bytes(data, sx=-500, gx=200 * np.arange(24), scalar=-100,
                                offset=5 + 2 * np.arange(24)))
    np.testing.assert_array_equal(molvak.read(path).offsets, 5.0 + 2.0 * np.arange(24))
    # ... and are refused where they do not
    wrong = 5 + 2 * np.arange(24)
    wrong[9] += 3
    path.write_bytes(segy_bytes(data, sx=-500, gx=200 * np.arange(24), scalar=-100,
                                offset=wrong))
    refused(path, "trace 9: the offset field gives 26, but the source and group coordinates "
                  "lie 23 apart; give offsets=")
    np.testing.assert_array_equal(molvak.read(path, offsets=wrong).offsets, wrong)


def test_segy_size_and_sample_interval_are_checked(tmp_path, obspy):
    data = np.random.default_rng(4).normal(size=(24, 100))
    raw = segy_bytes(data, sx=0, gx=100 * np.arange(24), scalar=-100)
    trace = 240 + 4 * 100
    path = tmp_path / "cut.sgy"
    for cut, words in [(3600 + 22 * trace + 300, "ends inside trace 22"),
                       (3600 + 5 * trace + 100, "ends 100 bytes into the 240-byte header of "
                                                "trace 5"),
                       (3000, "shorter than the 3600-byte SEG-Y file header"),
                       (3600, "holds no traces")]:
        path.write_bytes(raw[:cut])
        refused(path, words)
    # the trace headers' interval 0: the binary header's; both 0: unknown, not 1 s
    path = tmp_path / "dt.sgy"
    path.write_bytes(segy_bytes(data, dt_us=0, file_dt_us=500, gx=100 * np.arange(24)))
    assert molvak.read(path, source=0.0).dt == 0.0005
    path.write_bytes(segy_bytes(data, dt_us=0, file_dt_us=0, gx=100 * np.arange(24)))
    refused(path, "the sample interval is 0 in the trace headers and the binary header; "
                  "give dt=")
    assert molvak.read(path, dt=0.001).dt == 0.001
    path.write_bytes(segy_bytes(data, dt_us=2000, file_dt_us=1000, gx=100 * np.arange(24)))
    refused(path, "the trace headers give a sample interval of 2000 us, the binary header "
                  "1000 us; give dt=")


@pytest.mark.parametrize("endian", ["<", ">"])
def test_su_in_either_byte_order_and_cut(tmp_path, obspy, endian):
    data = np.random.default_rng(5).normal(size=(12, 150))
    raw = segy_bytes(data, endian=endian, sx=-500, gx=200 * np.arange(12), scalar=-100,
                     delay_ms=-20)[3600:]
    path = tmp_path / "g.su"
    path.write_bytes(raw)
    g = molvak.read(path)
    np.testing.assert_array_equal(g.data, data.astype(np.float32))
    np.testing.assert_array_equal(g.offsets, 5.0 + 2.0 * np.arange(12))
    assert (g.dt, g.delay) == (0.002, -0.02)
    path.write_bytes(raw[:-8])
    refused(path, "the file ends inside trace 11: its 150 samples take 600 bytes, 592 remain")


# --------------------------------------------------------------------------
# SEG-2: the WGHS shots, edited in place


def test_seg2_descriptors_are_checked_against_each_other(field_data, tmp_path, obspy):
    shot = field_data / "wghs" / "shots" / "6.dat"
    pointers = struct.unpack_from("<24I", shot.read_bytes(), 32)
    bad = tmp_path / "bad.dat"

    def repeat_receiver(raw):
        # trace 5 stands at 10 m (offset 15 m); a second RECEIVER_LOCATION
        # after the first once won (offset 1009 m)
        at = raw.index(b"SHOT_SEQUENCE_NUMBER 6", pointers[5])
        raw[at:at + 22] = b"RECEIVER_LOCATION 1004"

    def at_file(fmt, offset, value):
        return lambda raw: struct.pack_into(fmt, raw, offset, value)

    def at_traces(fmt, offset, value, traces=range(24)):
        def edit(raw):
            for k in traces:
                struct.pack_into(fmt, raw, pointers[k] + offset, value)
        return edit

    def both(*edits):
        return lambda raw: [e(raw) for e in edits]

    for edit, words in [
        (repeat_receiver, "trace 5: RECEIVER_LOCATION is given twice, '10.00' and '1004'"),
        (at_traces("<B", 12, 2, [3]), "trace 3: data format code 2 differs from trace 0's 4"),
        (at_traces("<B", 12, 1), "trace 0: the data block holds 6000 bytes, but 1500 samples "
                                 "of data format code 1 take 3000"),
        (at_traces("<I", 8, 1000, [7]), "trace 7: the data block holds 6000 bytes, but 1000 "
                                        "samples of data format code 4 take 4000"),
        (both(at_traces("<I", 8, 1501, [23]), at_traces("<I", 4, 6004, [23])),
         "trace 23: its data end at byte 159912, past the end of the file \\(159908 bytes\\)"),
        (at_file("<H", 6, 23), "gives 23 traces, but trace pointer 23 leads to one more"),
        (at_file("<H", 6, 25), "trace 24: its pointer 0 lies outside the file's trace area"),
        (at_file("<H", 6, 0), "the file descriptor block gives 0 traces"),
        (at_file("<I", 32 + 4 * 9, pointers[1]), "trace 9 overlaps trace 1"),
    ]:
        raw = bytearray(shot.read_bytes())
        edit(raw)
        bad.write_bytes(bytes(raw))
        refused(bad, words)
    bad.write_bytes(shot.read_bytes()[:150000])
    refused(bad, f"trace 22: its data end at byte {pointers[23]}, past the end of the file")


@pytest.mark.parametrize("code, endian", [(1, "<"), (2, ">"), (4, ">"), (5, "<")])
def test_seg2_written_from_the_layout_reads_back(tmp_path, obspy, code, endian):
    """SEG-2 files of every plain sample format and both byte orders, written
    from the published layout, read back sample for sample."""
    rng = np.random.default_rng(code)
    data = rng.integers(-3000, 3000, size=(6, 64)).astype(np.float64)
    traces = [([f"RECEIVER_LOCATION {2.0 * k:.2f}", "SAMPLE_INTERVAL 0.0005",
                "SOURCE_LOCATION -4.00", "DELAY -0.010", "DESCALING_FACTOR 0.5"], code, row)
              for k, row in enumerate(data)]
    raw = seg2_bytes(traces, ["ACQUISITION_DATE 09/Jun/2017", "ACQUISITION_TIME 16:55:09"],
                     endian)
    path = tmp_path / "w.sg2"
    path.write_bytes(raw)
    g = molvak.read(path)
    np.testing.assert_array_equal(g.data, 0.5 * data)
    np.testing.assert_array_equal(g.offsets, 4.0 + 2.0 * np.arange(6))
    assert (g.dt, g.delay) == (0.0005, -0.01)
    assert seg2_decode(raw)["traces"][5]["samples"] == 64


# --------------------------------------------------------------------------
# NumPy files and file kinds


def test_npz_and_npy_damage_is_one_line(tmp_path, rng):
    data = rng.normal(size=(6, 50))
    g = Gather(data, dt=0.002, source=-2.0, receivers=np.arange(6.0))
    g.save(tmp_path / "g.npz")
    raw = (tmp_path / "g.npz").read_bytes()
    cases = {"empty.npz": b"", "cut.npz": raw[:len(raw) // 2],
             "tail.npz": raw[:-30], "flip.npz": raw[:200] + bytes([raw[200] ^ 0x40]) + raw[201:]}
    for name, content in cases.items():
        (tmp_path / name).write_bytes(content)
        refused(tmp_path / name, r"not a readable \.npz archive|cannot be read from the archive")
    # 193 bytes declaring 10000 x 400000 float64: refused before allocating
    header = "{'descr': '<f8', 'fortran_order': False, 'shape': (10000, 400000), }"
    header = header.ljust(128 - 11) + "\n"
    (tmp_path / "huge.npy").write_bytes(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header))
                                        + header.encode() + bytes(65))
    tracemalloc.start()
    try:
        refused(tmp_path / "huge.npy", r"declares shape \(10000, 400000\) of float64 "
                                       r"\(29.8 GiB\), but 65 bytes of data follow it", dt=0.001)
        assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()


def test_npz_geometry_is_checked_as_gather_checks_it(tmp_path, rng):
    data = rng.normal(size=(6, 50))
    receivers = np.arange(6.0)
    np.savez(tmp_path / "g.npz", data=data, dt=0.002, source=[-2.0], receivers=receivers,
             offsets=receivers + 3.0)
    refused(tmp_path / "g.npz", "offsets disagree with the source and receiver positions: "
                                "trace 0 has offset 3, but lies 2 from the source")
    # offsets with a source and no receivers: the offsets are the geometry
    np.savez(tmp_path / "s.npz", data=data, dt=0.002, source=[-2.0], offsets=receivers + 2.0)
    back = molvak.read(tmp_path / "s.npz")
    np.testing.assert_array_equal(back.offsets, receivers + 2.0)
    assert back.source.tolist() == [-2.0]


def test_only_regular_files_are_read(tmp_path):
    fifo = tmp_path / "shot.dat"
    os.mkfifo(fifo)

    def hung(signum, frame):
        raise TimeoutError("the reader blocked on a FIFO")

    previous = signal.signal(signal.SIGALRM, hung)
    signal.alarm(10)
    try:
        refused(fifo, "is a FIFO; shot records are read from regular files only", dt=0.001)
        with pytest.raises(HeaderError, match="is a FIFO"):
            molvak.io.detect_format(fifo)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    with pytest.raises(IsADirectoryError, match="is a directory"):
        molvak.read(Path(tmp_path))
