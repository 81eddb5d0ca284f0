"""Fuzzing the readers: truncations, byte flips and header edits of real
SEG-2 shots (WGHS) and text gathers (Oysand), and of small SEG-Y, .npz and
.npy files written here. Every read must either return a gather that agrees
with the mutant file's own headers (decoded independently by formats.py) or
be refused with a one-line HeaderError naming the file; any other exception,
a hang, or an allocation beyond what the file can hold fails the test.

Seeded and bounded in count; run with -s to see the tally by outcome.
"""
import io
import re
import signal
import struct
import tracemalloc
import zipfile
from collections import Counter

import numpy as np
import pytest

import molvak
from formats import (
    SEG2_USED,
    scalar,
    seg2_bytes,
    seg2_decode,
    seg2_expected,
    segy_bytes,
    segy_decode,
    text_expected,
)
from molvak.io import HeaderError

SEED = 20261207
# mutants per base file
COUNT = {"SEG2": 90, "SEGY": 120, "SU": 60, "NPZ": 120, "NPY": 80, "TEXT": 100}
# a reader may hold a few copies of what the file holds (raw bytes, decoded
# samples, float64 gather), never more
ALLOWANCE = 32
SLACK = 4 << 20
HANG_SECONDS = 20


class Fuzz:
    """Runs reads and keeps the tally and the failures."""

    def __init__(self, tmp_path, record):
        self.tmp = tmp_path
        self.record = record
        self.tally = Counter()
        self.failures = []

    def attempt(self, fmt, kind, raw, check, *, name="m", content=None, **options):
        """Read `raw` written to a file; `check(raw, gather)` raises when the
        gather disagrees with the file. `content` is the size of what the
        file may hold when uncompressed (its length otherwise)."""
        path = self.tmp / name
        path.write_bytes(raw)
        budget = ALLOWANCE * max(len(raw), content or 0) + SLACK
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        signal.alarm(HANG_SECONDS)
        outcome = None
        try:
            gather = molvak.read(path, **options)
        except HeaderError as exc:
            message = str(exc)
            if "\n" in message or not message.startswith(str(path)):
                outcome = f"refused, but not in one line naming the file: {message!r}"
            else:
                self.tally[fmt, "refused"] += 1
        except Exception as exc:  # noqa: BLE001 - anything else is the finding
            outcome = f"{type(exc).__name__}: {exc}"
        else:
            try:
                check(raw, gather)
                self.tally[fmt, "read, consistent"] += 1
            except Exception as exc:  # noqa: BLE001
                outcome = f"read, inconsistent with its headers: {type(exc).__name__}: {exc}"
        finally:
            signal.alarm(0)
        peak = tracemalloc.get_traced_memory()[1] - before
        if outcome is None and peak > budget:
            outcome = f"allocated {peak} bytes for a {len(raw)}-byte file"
        if outcome is not None:
            self.tally[fmt, "failed"] += 1
            self.failures.append(f"{fmt} {kind}: {' '.join(outcome.split())[:300]}")


@pytest.fixture
def fuzz(tmp_path, record_testsuite_property):
    def hung(signum, frame):
        raise TimeoutError(f"read took over {HANG_SECONDS} s")

    previous = signal.signal(signal.SIGALRM, hung)
    tracemalloc.start()
    runner = Fuzz(tmp_path, record_testsuite_property)
    try:
        yield runner
    finally:
        tracemalloc.stop()
        signal.signal(signal.SIGALRM, previous)


# --------------------------------------------------------------------------
# generic mutations


def truncated(raw, rng, head):
    """Cut anywhere, or (half the time) inside the first `head` bytes."""
    limit = len(raw) if rng.random() < 0.5 else min(head, len(raw))
    return raw[:int(rng.integers(0, limit))]


def flipped(raw, rng, spans):
    """One to four bytes XOR-ed, mostly inside the header `spans`."""
    out = bytearray(raw)
    for _ in range(int(rng.integers(1, 5))):
        if spans and rng.random() < 0.8:
            start, stop = spans[int(rng.integers(len(spans)))]
            at = int(rng.integers(start, max(stop, start + 1)))
        else:
            at = int(rng.integers(len(out)))
        if at < len(out):
            out[at] ^= int(rng.integers(1, 256))
    return bytes(out)


def run(fuzz, fmt, base, count, rng, spans, head, edit, check, **options):
    for k in range(count):
        kind = ("truncation", "flip", "edit")[k % 3]
        if kind == "truncation":
            raw = truncated(base, rng, head)
        elif kind == "flip":
            raw = flipped(base, rng, spans)
        else:
            raw = edit(rng)
        fuzz.attempt(fmt, kind, raw, check, **options)


# --------------------------------------------------------------------------
# SEG-2


def check_seg2(raw, g):
    data, dt, delay, receivers, source = seg2_expected(raw)
    np.testing.assert_array_equal(g.data, data)
    assert g.dt == dt and g.delay == delay
    np.testing.assert_array_equal(g.receivers, receivers)
    np.testing.assert_array_equal(g.source, source[0])


def seg2_edit(base, rng):
    """A header edit: a descriptor number changed in place, or the file
    rebuilt with a header field removed, repeated or given a bad value."""
    raw = bytearray(base)
    n = struct.unpack_from("<H", raw, 6)[0]
    pointers = struct.unpack_from(f"<{n}I", raw, 32)
    choice = int(rng.integers(6))
    value = int(rng.choice([0, 1, 2, 3, 5, 23, 25, 1499, 1501, 6004, 65535, 2**31]))
    if choice == 0:       # trace count, pointer sub-block size
        struct.pack_into("<H", raw, int(rng.choice([4, 6])), value % 65536)
    elif choice == 1:     # a trace pointer
        other = int(rng.choice([value, pointers[int(rng.integers(n))] + int(rng.integers(-8, 9))]))
        struct.pack_into("<I", raw, 32 + 4 * int(rng.integers(n)), other % 2**32)
    elif choice == 2:     # a trace descriptor: block size, data size, samples, code
        at, fmt = [(2, "<H"), (4, "<I"), (8, "<I"), (12, "<B")][int(rng.integers(4))]
        struct.pack_into(fmt, raw, pointers[int(rng.integers(n))] + at,
                         value % (256 if fmt == "<B" else 65536 if fmt == "<H" else 2**32))
    elif choice == 3:     # a string length
        p = pointers[int(rng.integers(n))]
        struct.pack_into("<H", raw, p + 32, value % 65536)
    else:                 # a header field, through a rebuilt file
        parsed = seg2_decode(bytes(raw))
        traces = []
        for t in parsed["traces"]:
            items = [f"{key} {v}" for key, values in t["fields"].items() for v in values]
            traces.append((items, t["code"], t["data"]))
        k = int(rng.integers(n))
        key = str(rng.choice(SEG2_USED))
        items = traces[k][0]
        bad = str(rng.choice(["N/A", "", "nan", "1e999", "-0.5", "0", "12 34 56 78", "1.0x"]))
        mutation = int(rng.integers(3))
        if mutation == 0:
            items[:] = [s for s in items if not s.startswith(key + " ")]
        elif mutation == 1:
            items.append(f"{key} {bad}")
        else:
            items[:] = [f"{key} {bad}" if s.startswith(key + " ") else s for s in items]
        file_items = [f"{key} {v}" for key, values in parsed["file"].items() for v in values]
        return seg2_bytes(traces, file_items)
    return bytes(raw)


def test_fuzz_seg2(fuzz, field_data):
    pytest.importorskip("obspy")
    rng = np.random.default_rng(SEED)
    for number in (6, 36):
        base = (field_data / "wghs" / "shots" / f"{number}.dat").read_bytes()
        n = struct.unpack_from("<H", base, 6)[0]
        pointers = struct.unpack_from(f"<{n}I", base, 32)
        spans = [(0, 32 + 4 * n), (32 + 4224, pointers[0])] + [(p, p + 480) for p in pointers]
        run(fuzz, "SEG2", base, COUNT["SEG2"], rng, spans, pointers[1],
            lambda r, b=base: seg2_edit(b, r), check_seg2)
    report(fuzz, "SEG2")


# --------------------------------------------------------------------------
# SEG-Y


def check_su(raw, g):
    try:
        parsed = segy_decode(raw, su_endian="<")
    except AssertionError:
        parsed = segy_decode(raw, su_endian=">")
    check_segy(raw, g, parsed)


def check_segy(raw, g, parsed=None):
    parsed = parsed or segy_decode(raw)
    headers = [h for h, _ in parsed["traces"]]
    data = np.array([v for _, v in parsed["traces"]])
    assert g.shape == data.shape
    np.testing.assert_allclose(g.data, data, rtol=1e-6, atol=1e-30)
    intervals = {h["dt_us"] or parsed["file_dt_us"] for h in headers}
    assert intervals == {round(g.dt * 1e6)}
    if parsed["file_dt_us"] > 0 and headers[0]["dt_us"] > 0:
        assert parsed["file_dt_us"] == headers[0]["dt_us"]
    c = np.array([scalar(h["scalar"]) for h in headers])
    get = {name: np.array([h[name] for h in headers], dtype=float) for name in headers[0]}
    apart = np.hypot(get["gx"] * c - get["sx"] * c, get["gy"] * c - get["sy"] * c)
    positions = np.any(get["gx"] != 0) or np.any(get["gy"] != 0)
    geographic = (positions or np.any(get["sx"] != 0) or np.any(get["sy"] != 0)) and \
        np.any(get["units"] > 1)
    if positions and not geographic:
        np.testing.assert_allclose(g.offsets, apart, rtol=1e-9)
        if np.any(get["offset"] != 0):
            assert np.all(np.abs(np.abs(get["offset"]) - apart) <= 0.5 + 1e-6 * apart) or \
                np.all(np.abs(np.abs(get["offset"]) * c - apart) <= 0.5 * c + 1e-6 * apart)
    else:
        np.testing.assert_array_equal(g.offsets, np.abs(get["offset"]))
    t = get["delay_ms"] * np.array([scalar(h["time_scalar"]) for h in headers]) * 1e-3
    assert np.all(t == t[0]) and g.delay == pytest.approx(t[0], abs=1e-12)


SEGY_TRACE_FIELDS = [(36, "i"), (70, "h"), (72, "i"), (80, "i"), (88, "h"), (108, "h"),
                     (114, "H"), (116, "H"), (214, "h")]
SEGY_FILE_FIELDS = [(3216, "h"), (3220, "h"), (3224, "h"), (3504, "h")]


def segy_edit(base, rng, ns, endian=">", start=3600):
    """One header field of the file (SEG-Y) or of a trace set to a value
    that is often wrong; `start` is where the traces begin (0 for SU)."""
    raw = bytearray(base)
    value = int(rng.choice([0, 1, -1, 2, 4, 5, 8, -100, 100, 199, 201, 1000, 30000, -30000]))
    if start and rng.random() < 0.3:
        at, fmt = SEGY_FILE_FIELDS[int(rng.integers(len(SEGY_FILE_FIELDS)))]
    else:
        offset, fmt = SEGY_TRACE_FIELDS[int(rng.integers(len(SEGY_TRACE_FIELDS)))]
        trace = int(rng.integers(len(base) - start)) // (240 + 4 * ns)
        at = start + trace * (240 + 4 * ns) + offset
    if fmt == "H":
        value %= 65536
    struct.pack_into(endian + fmt, raw, at, value)
    return bytes(raw)


def test_fuzz_segy(fuzz):
    pytest.importorskip("obspy")
    rng = np.random.default_rng(SEED + 1)
    data = np.random.default_rng(7).normal(size=(12, 200))
    bases = [segy_bytes(data, sx=-500, gx=200 * np.arange(12), scalar=-100, delay_ms=-20,
                        offset=5 + 2 * np.arange(12)),
             segy_bytes(data, sx=1000, gx=0, offset=5 + 2 * np.arange(12), dt_us=0,
                        file_dt_us=1000)]
    for base in bases:
        spans = [(3200, 3600)] + [(3600 + k * 1040, 3600 + k * 1040 + 240) for k in range(12)]
        run(fuzz, "SEGY", base, COUNT["SEGY"], rng, spans, 8000,
            lambda r, b=base: segy_edit(b, r, 200), check_segy, name="m.sgy")
    # Seismic Unix: the traces alone, little-endian
    base = segy_bytes(data, endian="<", sx=-500, gx=200 * np.arange(12), scalar=-100,
                      offset=5 + 2 * np.arange(12))[3600:]
    spans = [(k * 1040, k * 1040 + 240) for k in range(12)]
    run(fuzz, "SU", base, COUNT["SU"], rng, spans, 4000,
        lambda r: segy_edit(base, r, 200, "<", 0), check_su, name="m.su")
    report(fuzz, "SEGY", "SU")


# --------------------------------------------------------------------------
# .npz and .npy


def npy_bytes(array, *, header_edit=None):
    buffer = io.BytesIO()
    np.save(buffer, array)
    raw = buffer.getvalue()
    if header_edit is not None:
        size = struct.unpack_from("<H", raw, 8)[0]
        header = header_edit(raw[10:10 + size].decode("latin-1"))
        header = header[:size - 1].ljust(size - 1) + "\n"
        raw = raw[:10] + header.encode("latin-1") + raw[10 + size:]
    return raw


def npz_bytes(members, compressed=False):
    buffer = io.BytesIO()
    method = zipfile.ZIP_DEFLATED if compressed else zipfile.ZIP_STORED
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name, raw in members.items():
            archive.writestr(name + ".npy", raw)
    return buffer.getvalue()


HEADER_EDITS = [
    lambda h: re.sub(r"\(\d+, \d+\)", "(10000, 400000)", h),
    lambda h: re.sub(r"\(\d+, ", "(5, ", h),
    lambda h: re.sub(r", \d+\)", ", 7)", h),
    lambda h: re.sub(r"\(\d+, \d+\)", "(600,)", h),
    lambda h: h.replace("<f8", "<f4"),
    lambda h: h.replace("<f8", "<c16"),
    lambda h: h.replace("<f8", "|O"),
    lambda h: h.replace("<f8", "<U2"),
    lambda h: h.replace("False", "True"),
    lambda h: h.replace("'shape'", "'shope'"),
    lambda h: h[:20],
]


def npz_edit(arrays, rng, compressed):
    """An archive rebuilt with one array replaced or its .npy header edited
    (the CRC then matching the damage)."""
    members = {k: npy_bytes(v) for k, v in arrays.items()}
    name = str(rng.choice(sorted(members)))
    choice = int(rng.integers(3))
    if choice == 0:
        edit = HEADER_EDITS[int(rng.integers(len(HEADER_EDITS)))]
        members[name] = npy_bytes(arrays[name], header_edit=edit)
    elif choice == 1:
        value = np.atleast_1d(arrays[name])
        replacement = [np.float64(np.nan), np.float64(-1.0), np.zeros(0), np.arange(3.0),
                       np.ones((6, 2)), value + 1.0, value[:-1],
                       np.array(["x"])][int(rng.integers(8))]
        members[name] = npy_bytes(replacement)
    else:
        del members[name]
    return npz_bytes(members, compressed)


def check_npz(raw, g):
    with np.load(io.BytesIO(raw), allow_pickle=False) as archive:
        arrays = {k: archive[k] for k in archive.files}
    np.testing.assert_array_equal(g.data, arrays["data"])
    assert g.dt == float(arrays["dt"]) and g.delay == float(arrays.get("delay", 0.0))
    if "offsets" in arrays:
        np.testing.assert_array_equal(g.offsets, arrays["offsets"])
    if "receivers" in arrays and "source" in arrays:
        np.testing.assert_array_equal(g.receivers[:, 0], arrays["receivers"].ravel())
        # the offsets, given or not, are the distances from the source
        np.testing.assert_allclose(g.offsets, np.abs(arrays["receivers"].ravel()
                                                     - float(arrays["source"][0])), rtol=1e-6)


def check_npy(raw, g):
    array = np.load(io.BytesIO(raw), allow_pickle=False)
    np.testing.assert_array_equal(g.data, array)
    assert g.dt == 0.001
    np.testing.assert_array_equal(g.offsets, 1.0 + np.arange(array.shape[0]))


def test_fuzz_npz_and_npy(fuzz, rng):
    data = rng.normal(size=(6, 50))
    receivers = 2.0 * np.arange(6)
    saved = {"data": data, "offsets": receivers + 4.0, "dt": np.float64(0.002),
             "delay": np.float64(-0.01), "source": np.array([-4.0]), "receivers": receivers}
    plain = {"data": data, "offsets": receivers + 4.0, "dt": np.float64(0.002)}
    gen = np.random.default_rng(SEED + 2)
    for arrays, compressed in ((saved, False), (plain, True)):
        base = npz_bytes({k: npy_bytes(v) for k, v in arrays.items()}, compressed)
        content = sum(len(npy_bytes(v)) for v in arrays.values()) + 4096
        run(fuzz, "NPZ", base, COUNT["NPZ"], gen, [(0, 200), (len(base) - 600, len(base))], 400,
            lambda r, a=arrays, c=compressed: npz_edit(a, r, c), check_npz,
            name="m.npz", content=content)
    base = npy_bytes(rng.normal(size=(12, 300)))
    run(fuzz, "NPY", base, COUNT["NPY"], gen, [(0, 128)], 256,
        lambda r: npy_bytes(rng.normal(size=(12, 300)),
                            header_edit=HEADER_EDITS[int(r.integers(len(HEADER_EDITS)))]),
        check_npy, name="m.npy", dt=0.001, source=0.0, spacing=1.0, first_receiver=1.0)
    report(fuzz, "NPZ", "NPY")


# --------------------------------------------------------------------------
# text


def text_edit(base, rng):
    lines = base.split(b"\n")
    k = int(rng.integers(len(lines)))
    fields = lines[k].split(b"\t")
    choice = int(rng.integers(6))
    token = [b"N/A", b"", b"nan", b"1e999", b"--", b"1,5", b"0x10"][int(rng.integers(7))]
    if choice == 0:
        fields[int(rng.integers(len(fields)))] = token
    elif choice == 1:
        del fields[int(rng.integers(len(fields)))]
    elif choice == 2:
        fields.insert(int(rng.integers(len(fields) + 1)), b"0.5")
    if choice <= 2:
        lines[k] = b"\t".join(fields)
    elif choice == 3:
        del lines[k]
    elif choice == 4:
        lines.insert(k, [b"", b"# note", b"  ", lines[k]][int(rng.integers(4))])
    else:
        lines[k] = lines[k].replace(b"\t", [b" ", b",", b";", b"\t\t"][int(rng.integers(4))], 1)
    return b"\n".join(lines)


def test_fuzz_text(fuzz, field_data):
    rng = np.random.default_rng(SEED + 3)
    source = (field_data / "oysand" / "Oysand_dx_2m_x1_10m_forward.dat").read_bytes()
    titled = b"\n".join(source.split(b"\n")[:5 + 240]) + b"\n"   # Oysand: 240 samples
    rows = "\n".join("\t".join(f"{v:.6g}" for v in row)
                     for row in np.random.default_rng(9).normal(size=(12, 150))).encode()
    headed = b"shot 3, geophones every 2 m\n" + rows + b"\n"
    for base in (titled, headed):
        run(fuzz, "TEXT", base, COUNT["TEXT"], rng, [(0, 600)], 600,
            lambda r, b=base: text_edit(b, r),
            lambda raw, g: text_expected(fuzz.tmp / "m.dat", g),
            name="m.dat", dt=0.001, source=0.0, spacing=2.0, first_receiver=10.0)
    report(fuzz, "TEXT")


# --------------------------------------------------------------------------


def report(fuzz, *formats):
    for fmt in formats:
        counts = {outcome: n for (f, outcome), n in sorted(fuzz.tally.items()) if f == fmt}
        line = f"{sum(counts.values())} mutants: " + ", ".join(
            f"{n} {outcome}" for outcome, n in counts.items())
        # shown with -s, and kept in the report (--junitxml)
        print(f"\nfuzz {fmt}: {line}")
        fuzz.record(f"fuzz {fmt}", line)
    assert not fuzz.failures, "\n".join(fuzz.failures[:20])
    for fmt in formats:
        # the mutants reach both outcomes: the fuzzing tests the checks and
        # the decoding, not one of them
        assert fuzz.tally[fmt, "refused"] > 0 and fuzz.tally[fmt, "read, consistent"] > 0, fmt
