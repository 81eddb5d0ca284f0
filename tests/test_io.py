"""Readers: NumPy files and delimited text everywhere; SEG-2 (the WGHS field
shots) and SEG-Y through ObsPy where it is installed. Samples are checked
against independent decodings of the files, geometry against the field
sheets, and bad headers against the messages they must give."""
import re
import struct
from pathlib import Path

import numpy as np
import pytest

import molvak
from molvak import Gather
from molvak.io import HeaderError, detect_format
from molvak.synthetic import ExponentialCurve, make_gather

DT = 0.002


@pytest.fixture
def shot(rng):
    x = 4.0 + 2.0 * np.arange(12)
    return make_gather(x, DT, 300, ExponentialCurve(420, 170, 12), 20.0, noise=0.01, seed=5)


# --------------------------------------------------------------------------
# NumPy files


def test_npz_round_trip(tmp_path, shot):
    g = Gather(shot.data, dt=DT, delay=-0.1, source=-4.0, receivers=shot.offsets - 4.0)
    g.save(tmp_path / "g.npz")
    back = molvak.read(tmp_path / "g.npz")
    np.testing.assert_array_equal(back.data, g.data)
    np.testing.assert_array_equal(back.offsets, shot.offsets)
    np.testing.assert_array_equal(back.receivers, g.receivers)
    assert (back.dt, back.delay, float(back.source[0])) == (DT, -0.1, -4.0)
    assert back.headers["format"] == "NPZ" and back.headers["path"].endswith("g.npz")


def test_npy_geometry_from_arguments(tmp_path, shot):
    np.save(tmp_path / "g.npy", shot.data.T)
    g = molvak.read(tmp_path / "g.npy", dt=DT, layout="columns", offsets=shot.offsets)
    np.testing.assert_array_equal(g.data, shot.data)
    assert g.delay == 0.0 and g.source is None
    # a regular line from spacing and the first receiver
    line = molvak.read(tmp_path / "g.npy", dt=DT, layout="columns", source=0.0, spacing=2.0,
                       first_receiver=4.0)
    np.testing.assert_array_equal(line.offsets, shot.offsets)
    with pytest.raises(HeaderError, match=r"g\.npy: the file gives no sample interval; give dt="):
        molvak.read(tmp_path / "g.npy", layout="columns", offsets=shot.offsets)
    with pytest.raises(HeaderError, match=r"g\.npy: the file gives no geometry"):
        molvak.read(tmp_path / "g.npy", layout="columns", dt=DT)
    with pytest.raises(HeaderError, match=r"g\.npy: the file gives no source position; give source="):
        molvak.read(tmp_path / "g.npy", dt=DT, layout="columns", spacing=2.0)
    with pytest.raises(ValueError, match=r"g\.npy: offsets must have one entry per trace"):
        molvak.read(tmp_path / "g.npy", dt=DT, offsets=shot.offsets, layout="rows")  # 300 traces
    with pytest.raises(FileNotFoundError, match=r"nothing\.npy: no such file"):
        molvak.read(tmp_path / "nothing.npy", dt=DT)


# --------------------------------------------------------------------------
# delimited text


def write_text(path, header, rows, delimiter="\t", endings=("\r\n", "\n")):
    """A text gather with mixed line endings, as field exports have."""
    lines = list(header) + [delimiter.join(f"{v:.17g}" for v in row) for row in rows]
    with open(path, "w", newline="") as handle:
        for k, line in enumerate(lines):
            handle.write(line + endings[k % len(endings)])


def test_text_with_titled_channel_columns(tmp_path, shot):
    header = ["Location: test site", "Receiver spacing: dx = 2 m | Source offset: x1 = 4 m", "",
              "\t".join(f"Channel {k + 1}" for k in range(12))]
    write_text(tmp_path / "shot.dat", header, shot.data.T)
    g = molvak.read(tmp_path / "shot.dat", dt=DT, source=0.0, spacing=2.0, first_receiver=4.0)
    np.testing.assert_array_equal(g.data, shot.data)     # 17 digits: exact
    np.testing.assert_array_equal(g.offsets, shot.offsets)
    assert g.headers["header_lines"] == header
    assert g.headers["columns"][0] == "Channel 1"
    assert detect_format(tmp_path / "shot.dat") == "TEXT"


@pytest.mark.parametrize("delimiter", [",", " ", ";"])
def test_text_rows_with_other_delimiters(tmp_path, shot, delimiter):
    write_text(tmp_path / "g.txt", ["# one trace per row"], shot.data, delimiter=delimiter)
    g = molvak.read(tmp_path / "g.txt", dt=DT, offsets=shot.offsets)
    np.testing.assert_array_equal(g.data, shot.data)


def test_text_time_column(tmp_path, shot):
    t = -0.05 + DT * np.arange(shot.data.shape[1])
    header = ["Time (s), " + ", ".join(f"ch{k}" for k in range(12))]
    write_text(tmp_path / "g.csv", header, np.column_stack([t, shot.data.T]), delimiter=",")
    with pytest.raises(ValueError, match="the column 'Time \\(s\\)' looks like a time axis"):
        molvak.read(tmp_path / "g.csv", offsets=shot.offsets)
    g = molvak.read(tmp_path / "g.csv", time_column=0, offsets=shot.offsets)
    np.testing.assert_array_equal(g.data, shot.data)
    assert g.dt == pytest.approx(DT, rel=1e-12) and g.delay == pytest.approx(-0.05, abs=1e-15)


@pytest.mark.parametrize("body, words", [
    ("1\t2\t3\n4\t5\n", "line 2 has 2 values; the first data line \\(line 1\\) has 3"),
    ("1\t2\t3\n4\tx5\t6\n", "line 2: 'x5' is not a number"),
    ("title\n\n", "no rows of numbers after 2 header line"),
])
def test_text_errors_name_the_line(tmp_path, body, words):
    (tmp_path / "bad.txt").write_text(body)
    with pytest.raises(ValueError, match=f"bad\\.txt: {words}"):
        molvak.read(tmp_path / "bad.txt", dt=DT, offsets=[1.0, 2.0, 3.0])


def test_oysand_text_gathers_image_the_site_curve(field_data):
    """The Oysand exports: five header lines, tab-delimited channel columns,
    geometry from arguments (dx = 2 m, x1 from the header line). The
    phase-shift picks must follow the site's composite dispersion curve."""
    site = np.loadtxt(field_data / "oysand" / "Oysand_dc.txt", skiprows=1)
    f_site = site[:, 1] / site[:, 0]
    order = np.argsort(f_site)
    files = sorted((field_data / "oysand").glob("Oysand_dx_2m_x1_*m_forward.dat"))
    assert len(files) == 4
    for path in files:
        with open(path, newline="") as handle:
            head = [handle.readline() for _ in range(6)]
        x1 = float(re.search(r"Source offset: x1 = ([0-9.]+) m", head[2]).group(1))
        g = molvak.read(path, dt=0.001, source=0.0, spacing=2.0, first_receiver=x1)
        assert g.shape == (24, 2201) and g.delay == 0.0
        np.testing.assert_array_equal(g.offsets, x1 + 2.0 * np.arange(24))
        # the first data row, parsed by hand, is sample 0 of every channel
        first = [float(v) for v in head[5].strip().split("\t")]
        np.testing.assert_array_equal(g.data[:, 0], first)
        image = g.demean().image("phase_shift", velocities=(80, 400, 0.5), fmin=8, fmax=32,
                                 df=0.5)
        curve = image.pick(vmin=90, vmax=300)
        site_c = np.interp(curve.frequency, f_site[order], site[order, 1])
        rel = np.abs(curve.velocity / site_c - 1.0)
        # measured: medians 0.6 to 2.0 % over 8-32 Hz for the four gathers
        assert np.median(rel) < 0.03, (path.name, np.median(rel))


# --------------------------------------------------------------------------
# SEG-2: the WGHS shots


def seg2_by_hand(path):
    """(data, fields) of a little-endian SEG-2 file, decoded from the layout
    of the SEG-2 standard alone: the file descriptor block gives the trace
    pointers; every trace descriptor block gives its size, the data size,
    the sample count, the format code and the free-form strings."""
    raw = Path(path).read_bytes()
    assert struct.unpack_from("<H", raw, 0)[0] == 0x3A55
    ntraces = struct.unpack_from("<H", raw, 6)[0]
    pointers = struct.unpack_from(f"<{ntraces}I", raw, 32)
    traces, fields = [], []
    for p in pointers:
        block_id, size, _, nsamples, code = struct.unpack_from("<HHIIB", raw, p)
        assert block_id == 0x4422 and code == 4       # 32-bit IEEE floats
        text = {}
        k = p + 32
        while k < p + size:
            length = struct.unpack_from("<H", raw, k)[0]
            if length == 0:
                break
            entry = raw[k + 2:k + length].split(b"\0")[0].decode("ascii").strip()
            key, _, value = entry.partition(" ")
            text[key] = value.strip()
            k += length
        traces.append(np.frombuffer(raw, "<f4", nsamples, p + size).astype(np.float64))
        fields.append(text)
    return np.array(traces), fields


@pytest.fixture(scope="module")
def obspy():
    return pytest.importorskip("obspy")


@pytest.mark.parametrize("number, source, first_offset", [(6, -5.0, 5.0), (36, 66.0, 66.0)])
def test_seg2_wghs_shot(field_data, obspy, number, source, first_offset):
    path = field_data / "wghs" / "shots" / f"{number}.dat"
    assert detect_format(path) == "SEG2"         # told by its first bytes, not by .dat
    g = molvak.read(path)
    data, fields = seg2_by_hand(path)
    factor = float(fields[0]["DESCALING_FACTOR"])
    np.testing.assert_array_equal(g.data, data * factor)
    raw = molvak.read(path, calibrate=False)
    np.testing.assert_array_equal(raw.data, data)
    # the field sheet: geophones every 2 m from 0 to 46 m, 1 ms, 1.5 s from -0.5 s
    assert g.shape == (24, 1500) and g.dt == 0.001 and g.delay == -0.5
    assert g.end == pytest.approx(0.999)
    np.testing.assert_array_equal(g.receivers[:, 0], 2.0 * np.arange(24))
    assert g.source.tolist() == [source]
    np.testing.assert_array_equal(g.offsets, np.abs(2.0 * np.arange(24) - source))
    assert g.offsets[0] == first_offset
    assert g.headers["traces"][23]["CHANNEL_NUMBER"] == "24"
    # the surface wave leaves the source: peak amplitude falls with offset
    peak = np.abs(g.data).max(axis=1)
    assert np.corrcoef(g.offsets, np.log(peak))[0, 1] < -0.8


def patched(src, tmp_path, pairs, name="bad.dat"):
    """A copy of a SEG-2 file with header text replaced, length for length
    (which keeps every pointer of the file valid); `pairs` holds (old, new,
    occurrence), occurrence None for all."""
    raw = src.read_bytes()
    for old, new, which in pairs:
        assert len(old) == len(new)
        starts = [m.start() for m in re.finditer(re.escape(old), raw)]
        assert starts, old
        for k, at in enumerate(starts):
            if which is None or k == which:
                raw = raw[:at] + new + raw[at + len(old):]
    out = tmp_path / name
    out.write_bytes(raw)
    return out


@pytest.mark.parametrize("pairs, words", [
    ([(b"RECEIVER_LOCATION 2.00", b"RECEIVER_LOCATION 2.0x", 0)],
     "trace 1: RECEIVER_LOCATION '2.0x' is not a list of numbers"),
    ([(b"RECEIVER_LOCATION 4.00", b"RECEIVER_LOCATIOX 4.00", 0)],
     "trace 2 has no RECEIVER_LOCATION field, though other traces do"),
    ([(b"SOURCE_LOCATION -5.00", b"SOURCE_LOCATION -6.00", 3)],
     "trace 3: SOURCE_LOCATION '-6.00' differs from trace 0's '-5.00'"),
    ([(b"DELAY -0.500", b"DELAY -0.400", 7)],
     "trace 7: DELAY -0.4 s differs from trace 0's -0.5 s"),
    ([(b"SAMPLE_INTERVAL 0.001", b"SAMPLE_INTERVAL 0.002", 5)],
     "trace 5: SAMPLE_INTERVAL 0.002 s differs from trace 0's 0.001 s"),
    ([(b"SAMPLE_INTERVAL 0.001", b"SAMPLE_INTERVAL 0.0x1", 0)],
     "unreadable SEG2 header \\(the numeric SEG-2 fields SAMPLE_INTERVAL"),
    ([(b"SOURCE_LOCATION", b"SOURCE_LOCATIOX", None)],
     "the file gives no SOURCE_LOCATION; give source="),
])
def test_seg2_bad_headers_are_named(field_data, obspy, tmp_path, pairs, words):
    path = patched(field_data / "wghs" / "shots" / "6.dat", tmp_path, pairs)
    with pytest.raises(HeaderError, match=f"bad\\.dat: {words}"):
        molvak.read(path)


def test_seg2_arguments_override_headers(field_data, obspy, tmp_path):
    path = patched(field_data / "wghs" / "shots" / "6.dat", tmp_path,
                   [(b"SOURCE_LOCATION", b"SOURCE_LOCATIOX", None)])
    g = molvak.read(path, source=-5.0)
    np.testing.assert_array_equal(g.offsets, 5.0 + 2.0 * np.arange(24))
    h = molvak.read(field_data / "wghs" / "shots" / "6.dat", delay=0.0,
                    offsets=np.arange(24.0) + 1.0)
    assert h.delay == 0.0 and h.source is None and h.offsets[0] == 1.0


# --------------------------------------------------------------------------
# SEG-Y written by ObsPy


def write_segy(path, traces, obspy, *, sx, gx, scalar=-100, delay_ms=-50, units=1,
               offsets=None, delta=DT):
    from obspy.core import AttribDict, Stream, Trace
    from obspy.io.segy.segy import SEGYBinaryFileHeader, SEGYTraceHeader
    stream = Stream()
    for k, samples in enumerate(traces):
        tr = Trace(np.asarray(samples, dtype=np.float32))
        tr.stats.delta = delta
        h = SEGYTraceHeader()
        h.source_coordinate_x = int(sx[k])
        h.group_coordinate_x = int(gx[k])
        h.scalar_to_be_applied_to_all_coordinates = scalar
        h.delay_recording_time = delay_ms
        h.coordinate_units = units
        if offsets is not None:
            h.distance_from_center_of_the_source_point_to_the_center_of_the_receiver_group = \
                int(offsets[k])
        tr.stats.segy = AttribDict({"trace_header": h})
        stream.append(tr)
    stream.stats = AttribDict()
    stream.stats.textual_file_header = b"C01 molvak test file".ljust(3200)
    stream.stats.binary_file_header = SEGYBinaryFileHeader()
    stream.stats.binary_file_header.trace_sorting_code = 1
    stream.write(str(path), format="SEGY", data_encoding=5)


def test_segy_geometry_and_delay(tmp_path, shot, obspy):
    n = shot.data.shape[0]
    # positions in centimetres (scalar -100): source at -4 m, receivers from 0 m
    receivers_cm = np.round((shot.offsets - 4.0) * 100)
    write_segy(tmp_path / "g.sgy", shot.data, obspy, sx=[-400] * n, gx=receivers_cm)
    g = molvak.read(tmp_path / "g.sgy")
    np.testing.assert_array_equal(g.data, shot.data.astype(np.float32))
    np.testing.assert_array_equal(g.offsets, shot.offsets)
    assert g.dt == pytest.approx(DT) and g.delay == pytest.approx(-0.05)
    assert g.source.tolist() == [-4.0] and g.headers["format"] == "SEGY"


def test_segy_several_shots_and_fallbacks(tmp_path, shot, obspy):
    n = shot.data.shape[0]
    gx = np.arange(n) * 200
    both = np.vstack([shot.data, -shot.data])
    write_segy(tmp_path / "two.sgy", both, obspy, sx=[-400] * n + [2600] * n,
               gx=np.concatenate([gx, gx]))
    with pytest.raises(HeaderError, match="two.sgy: the traces come from 2 source positions "
                                          "\\(-4, 26\\); read them one shot each"):
        molvak.read(tmp_path / "two.sgy")
    first, second = molvak.read_shots(tmp_path / "two.sgy")
    np.testing.assert_array_equal(first.offsets, 4.0 + 2.0 * np.arange(n))
    np.testing.assert_array_equal(second.offsets, 26.0 - 2.0 * np.arange(n))
    np.testing.assert_array_equal(second.data, -shot.data.astype(np.float32))

    # no coordinates: the offset field; nothing at all: an error
    zero = [0] * n
    write_segy(tmp_path / "off.sgy", shot.data, obspy, sx=zero, gx=zero, offsets=shot.offsets)
    np.testing.assert_array_equal(molvak.read(tmp_path / "off.sgy").offsets, shot.offsets)
    write_segy(tmp_path / "none.sgy", shot.data, obspy, sx=zero, gx=zero)
    with pytest.raises(HeaderError, match="none.sgy: the file gives no geometry"):
        molvak.read(tmp_path / "none.sgy")
    write_segy(tmp_path / "geo.sgy", shot.data, obspy, sx=[1] * n, gx=gx, units=3)
    with pytest.raises(HeaderError, match="trace 0: coordinate_units 3 means geographic"):
        molvak.read(tmp_path / "geo.sgy")
