"""ObsPy as the sample decoder of the SEG-2, SEG-Y and SU readers.

The readers check a file's block structure against its size themselves
before ObsPy sees it; ObsPy then decodes the samples (IBM floats, SEG-2's
packed 20-bit words) and unpacks the header fields.
"""
from __future__ import annotations

import warnings
from io import BytesIO
from pathlib import Path
from typing import Any

from ._core import HeaderError, one_line


def require_obspy() -> Any:
    try:
        # ObsPy's import walks the entry points through an interface that
        # newer Pythons deprecate; that warning is ObsPy's business
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import obspy
    except ImportError as exc:
        raise ImportError("reading SEG-2 and SEG-Y files needs ObsPy: "
                          "pip install 'molvak[io]'") from exc
    return obspy


def decode(path: Path, raw: bytes, fmt: str, **kwargs: Any) -> Any:
    """ObsPy's Stream of a file already read into memory (ObsPy's SEG-2
    reader leaves its file open when a header fails to parse)."""
    obspy = require_obspy()
    try:
        with warnings.catch_warnings():
            # ObsPy warns about what the readers here check or take from the
            # headers themselves (the SEG-2 revision, DELAY, vendor fields, a
            # date it cannot parse); none of it changes the samples
            warnings.simplefilter("ignore")
            return obspy.read(BytesIO(raw), format=fmt, **kwargs)
    except (MemoryError, RecursionError):
        raise
    except Exception as exc:  # ObsPy's own errors for corrupt files
        raise HeaderError(f"{path}: ObsPy cannot read this {fmt} file: {one_line(exc)}") from None
