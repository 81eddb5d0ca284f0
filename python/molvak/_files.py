"""Writing result files atomically: a temporary file in the same folder,
renamed over the target once complete, so that a reader never sees half a
file and an interrupted write leaves any earlier file as it was."""
from __future__ import annotations

import os
import tempfile
from typing import Union

PathLike = Union[str, "os.PathLike[str]"]


def write_text(path: PathLike, text: str) -> None:
    """Write `text` to `path` (UTF-8, newlines as given)."""
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    fd, tmp = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
        os.chmod(tmp, 0o644)       # mkstemp makes it private to the owner
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
