"""DAS records: every format DASCore reads (the ``das`` extra), through
:mod:`molvak.io._dascore`.

Claimed by signature: HDF5 (the superblock at 0, 512, 1024 or 2048 bytes)
and TDMS files, the containers of nearly all interrogator formats; any other
file DASCore reads is taken with ``format="DAS"``. A whole file becomes one
gather: the channels as traces, the channel positions along the fibre (m) as
offsets and as receivers, no source (``source=`` makes the offsets distances
from one). "start_time", "quantity", "units", "gauge_length", "das_format"
and "distance_units" go to the headers. A record whose channels have no
positions is refused until the geometry is given; one with gaps is refused,
naming them (such records are read with :func:`molvak.windows`).
"""
from __future__ import annotations

from pathlib import Path

from ._core import Format, HeaderError, RawRecord, ReadOptions, one_line, register
from ._dascore import PositionsError
from .records import open_record

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
TDMS_SIGNATURE = b"TDSm"


def _sniff(head: bytes, suffix: str) -> bool:
    if head[:4] == TDMS_SIGNATURE:
        return True
    return any(head[at:at + 8] == HDF5_SIGNATURE for at in (0, 512, 1024, 2048))


def load(path: Path, options: ReadOptions) -> RawRecord:
    """Read a DAS file through DASCore as a record (samples, channel
    positions, headers); the reader of the DAS formats in `molvak.io.read`."""
    note = None
    try:
        try:
            record = open_record(path, warn=False)
        except PositionsError as exc:
            # channel numbers stand in to read the samples; they never reach
            # the gather, whose geometry must come from the arguments
            note = exc.reason
            record = open_record(path, spacing=1.0, warn=False)
    except (ValueError, OSError) as exc:
        text = one_line(exc)
        raise HeaderError(text if text.startswith(str(path)) else f"{path}: {text}") from None
    if len(record.segments) != 1:
        raise HeaderError(f"{path}: the file holds {len(record.segments)} stretches of record "
                          f"that do not join ({'; '.join(record.describe_gaps())}); read it "
                          f"with molvak.windows")
    headers = {k: v for k, v in record.headers.items() if k not in ("path", "format")}
    rec = RawRecord(record.read(0, 0, record.segments[0].samples), dt=record.dt, delay=0.0,
                 headers=headers, receiver_field="channel positions")
    if note is None:
        rec.offsets = record.positions.copy()
        rec.receivers = record.positions[:, None].copy()
    else:
        rec.geometry_note = note
        for key in ("positions", "distance_units"):
            rec.headers.pop(key, None)
    return rec


register(Format("DAS", (".h5", ".hdf5", ".hdf", ".tdms"), load, sniff=_sniff,
                carries=frozenset({"dt", "geometry"})))
