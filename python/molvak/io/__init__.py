"""Reading shot records into :class:`~molvak.Gather` objects.

One module per format, each registering itself in one table
(:mod:`molvak.io._core`): SEG-2 and SEG-Y/SU (decoded by ObsPy, the optional
``io`` extra), NumPy .npy/.npz files, delimited text, and the DAS formats
(HDF5, TDMS and the others DASCore reads; the ``das`` extra). The format is told by
the file's first bytes where it has a signature (SEG-2, .npy, .npz) and by its
suffix otherwise (.sgy/.segy, .su); anything else is read as text. A new
format is a new module ending in ``register(Format(...))`` (whose
``carries`` says what its files give besides the samples) and its name in
the import line below; nothing outside this package names a format.

Callers that must know what a file lacks before reading it (the command
line) use :func:`describe`, then :func:`load_record` and
:func:`record_gathers`, which :func:`read` is made of.

Geometry is taken from the headers where the format holds it (SEG-2
RECEIVER_LOCATION and SOURCE_LOCATION, SEG-Y source and group coordinates or
the offset field, the arrays of a .npz) and from arguments otherwise;
arguments always win. Offsets are the distances between source and
receivers, so a reverse shot or a split spread needs no flipping.

No reader guesses silently: a file that is cut short, whose headers are
missing, unreadable or inconsistent with each other or with the size of the
file, or whose layout is doubtful, is refused with a :class:`HeaderError` of
one line naming the file and, where one is concerned, the trace and field.
"""
from __future__ import annotations

# the formats, each registering itself (signatures are tried in this order)
from . import das, npy, npz, seg2, segy, su, text  # noqa: F401
from ._core import HeaderError, RawRecord, detect_format, format_names
from ._dascore import write_dasdae
from ._read import (
    FileInfo,
    describe,
    has_geometry,
    load_record,
    read,
    read_shots,
    record_gathers,
)

# the names format= takes
FORMATS = format_names()

__all__ = ["FORMATS", "FileInfo", "HeaderError", "RawRecord", "describe", "detect_format",
           "has_geometry", "load_record", "read", "read_shots", "record_gathers", "write_dasdae"]
