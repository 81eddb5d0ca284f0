"""Writers and decoders of the record formats, from the published layouts
alone (SEG-2: Pullan 1990; SEG-Y rev 1; the .npy/.npz conventions), for the
reader tests: the writers make files with chosen defects, the decoders say
what a file's own headers hold, to compare with what molvak reads."""
from __future__ import annotations

import re
import struct
from pathlib import Path

import numpy as np

SEG2_DTYPES = {1: "i2", 2: "i4", 4: "f4", 5: "f8"}
SEG2_USED = ("SAMPLE_INTERVAL", "DELAY", "DESCALING_FACTOR", "RECEIVER_LOCATION",
             "SOURCE_LOCATION")


# --------------------------------------------------------------------------
# SEG-2


def seg2_bytes(traces, file_strings=(), endian="<"):
    """A SEG-2 file: `traces` holds (strings, code, samples) per trace."""
    def strings(items):
        out = b""
        for text in items:
            body = text.encode("latin-1") + b"\0"
            out += struct.pack(endian + "H", len(body) + 2) + body
        out += b"\0\0"
        return out + b"\0" * (-len(out) % 4)

    pointer_bytes = 4 * len(traces)
    head = struct.pack(endian + "HHHH", 0x3A55, 1, pointer_bytes, len(traces))
    head += bytes([1, 0, 0, 1, 0x0A, 0]) + bytes(18)
    free = strings(file_strings)
    pos = 32 + pointer_bytes + len(free)
    pointers, blocks = [], []
    for items, code, samples in traces:
        text = strings(items)
        data = np.asarray(samples).astype(endian + SEG2_DTYPES[code]).tobytes()
        block = struct.pack(endian + "HHIIB", 0x4422, 32 + len(text), len(data), len(samples),
                            code) + bytes(19)
        pointers.append(pos)
        blocks.append(block + text + data)
        pos += len(blocks[-1])
    return head + struct.pack(f"{endian}{len(traces)}I", *pointers) + free + b"".join(blocks)


def seg2_decode(raw):
    """What a SEG-2 file's blocks hold: {"traces": [{"samples", "code",
    "data", "fields": {key: [values]}}], "file": {key: [values]}}. Raises
    on anything the layout does not allow."""
    endian = {b"\x55\x3a": "<", b"\x3a\x55": ">"}[raw[:2]]
    pointer_bytes, n = struct.unpack_from(endian + "HH", raw, 4)
    assert n >= 1 and 4 * n <= pointer_bytes and 32 + pointer_bytes <= len(raw)
    terminator = raw[9:9 + raw[8]]

    def strings(start, end):
        fields = {}
        k = start
        while k + 2 <= end:
            (length,) = struct.unpack_from(endian + "H", raw, k)
            if length == 0:
                break
            assert 2 <= length and k + length <= end
            text = raw[k + 2:k + length].split(terminator)[0].strip()
            key, _, value = text.partition(b" ")
            fields.setdefault(key.decode("latin-1"), []).append(value.strip().decode("latin-1"))
            k += length
        return fields

    pointers = struct.unpack_from(f"{endian}{n}I", raw, 32)
    traces = []
    for p in pointers:
        block_id, size, data_size, samples, code = struct.unpack_from(endian + "HHIIB", raw, p)
        assert block_id == 0x4422 and code in SEG2_DTYPES
        assert data_size == samples * np.dtype(SEG2_DTYPES[code]).itemsize
        assert p + size + data_size <= len(raw)
        data = np.frombuffer(raw, endian + SEG2_DTYPES[code], samples, p + size)
        traces.append({"samples": samples, "code": code, "data": data.astype(np.float64),
                       "fields": strings(p + 32, p + size)})
    return {"traces": traces, "file": strings(32 + pointer_bytes, min(pointers))}


def seg2_expected(raw):
    """(data, dt, delay, receivers, source) a SEG-2 file's headers give, as
    molvak.read should return them (calibrated); None where absent."""
    parsed = seg2_decode(raw)
    rows = []
    for t in parsed["traces"]:
        fields = {**parsed["file"], **t["fields"]}
        for key in SEG2_USED:
            if key in fields:
                assert len(set(fields[key])) == 1, key     # given once, or the same
        rows.append({key: fields[key][0] for key in SEG2_USED if key in fields})
    factor = np.array([float(r.get("DESCALING_FACTOR", "1")) or 1.0 for r in rows])
    data = np.array([t["data"] for t in parsed["traces"]]) * factor[:, None]

    def column(key):
        if key not in rows[0]:
            return None
        return np.array([[float(v) for v in r[key].split()] for r in rows])

    delay = float(rows[0]["DELAY"]) if "DELAY" in rows[0] else 0.0
    return (data, float(rows[0]["SAMPLE_INTERVAL"]), delay, column("RECEIVER_LOCATION"),
            column("SOURCE_LOCATION"))


# --------------------------------------------------------------------------
# SEG-Y (big-endian, IEEE floats unless told)

TRACE_FIELDS = {"offset": (36, "i"), "scalar": (70, "h"), "sx": (72, "i"), "sy": (76, "i"),
                "gx": (80, "i"), "gy": (84, "i"), "units": (88, "h"), "delay_ms": (108, "h"),
                "ns": (114, "H"), "dt_us": (116, "H"), "time_scalar": (214, "h")}


def segy_bytes(data, *, dt_us=2000, file_dt_us=None, code=5, endian=">", **fields):
    """A SEG-Y file of the rows of `data`; `fields` give trace header values,
    one number for all traces or one per trace (names of TRACE_FIELDS). Its
    traces without the first 3600 bytes are a Seismic Unix file."""
    data = np.asarray(data, dtype=np.float64)
    n, ns = data.shape
    text = b"C01 molvak reader test".ljust(3200)
    binary = bytearray(400)
    struct.pack_into(endian + "hhh", binary, 16, dt_us if file_dt_us is None else file_dt_us, 0,
                     ns)
    struct.pack_into(endian + "h", binary, 24, code)
    struct.pack_into(endian + "H", binary, 300, 0x0100)
    out = [text, bytes(binary)]
    fields = {"ns": ns, "dt_us": dt_us, "units": 1, **fields}
    dtype = endian + {5: "f4", 2: "i4", 3: "i2"}[code]
    for k in range(n):
        header = bytearray(240)
        for name, value in fields.items():
            at, fmt = TRACE_FIELDS[name]
            struct.pack_into(endian + fmt, header, at, int(np.broadcast_to(value, n)[k]))
        out += [bytes(header), data[k].astype(dtype).tobytes()]
    return b"".join(out)


def ibm_to_float(words):
    """IBM System/360 single floats (as big-endian uint32) to float64."""
    words = np.asarray(words, dtype=np.uint64)
    sign = np.where(words >> 31, -1.0, 1.0)
    exponent = ((words >> 24) & 0x7F).astype(np.int64) - 64
    mantissa = (words & 0xFFFFFF).astype(np.float64) / float(1 << 24)
    return sign * mantissa * np.power(16.0, exponent.astype(np.float64))


def segy_decode(raw, su_endian=None):
    """Trace count, samples, headers and decoded data of a SEG-Y file, or of
    a Seismic Unix file in the byte order `su_endian`."""
    size = len(raw)
    if su_endian is not None:
        endian, code, file_dt, pos = su_endian, 5, 0, 0
    else:
        for endian in (">", "<"):
            (code,) = struct.unpack_from(endian + "h", raw, 3224)
            if code in (1, 2, 3, 5):
                break
        else:
            raise AssertionError("no format code")
        (file_dt,) = struct.unpack_from(endian + "h", raw, 3216)
        pos = 3600
    width = {1: 4, 2: 4, 3: 2, 5: 4}[code]
    traces = []
    while pos < size:
        header = {name: struct.unpack_from(endian + fmt, raw, pos + at)[0]
                  for name, (at, fmt) in TRACE_FIELDS.items()}
        end = pos + 240 + header["ns"] * width
        assert header["ns"] > 0 and end <= size
        body = raw[pos + 240:end]
        if code == 1:
            values = ibm_to_float(np.frombuffer(body, endian + "u4"))
        else:
            values = np.frombuffer(body, endian + {2: "i4", 3: "i2", 5: "f4"}[code])
        traces.append((header, values.astype(np.float64)))
        pos = end
    return {"file_dt_us": file_dt, "code": code, "traces": traces}


def scalar(value):
    return float(value) if value > 0 else (1.0 / -value if value < 0 else 1.0)


# --------------------------------------------------------------------------
# text


def text_expected(path, gather):
    """Check that a gather read from a text file is the file's data block:
    every non-blank line after the header lines, all numbers, as many as the
    first, the traces being the columns when titles name them."""
    lines = Path(path).read_text(encoding="utf-8-sig").splitlines()
    skip = len(gather.headers["header_lines"])
    body = [line for line in lines[skip:] if line.strip()]
    rows = [[float(v) for v in re.split(r"\t", line.strip())] for line in body]
    matrix = np.array(rows)
    expected = matrix.T if "columns" in gather.headers else matrix
    np.testing.assert_array_equal(gather.data, expected)
    # the line above the data is no damaged data row
    above = [line for line in lines[:skip] if line.strip()]
    if above:
        fields = above[-1].strip().split("\t")
        numbers = sum(_is_float(f) for f in fields)
        assert not (len(fields) == matrix.shape[1] and 2 * numbers >= len(fields)), above[-1]


def _is_float(text):
    try:
        float(text)
    except ValueError:
        return False
    return True
