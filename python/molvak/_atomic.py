"""Writing files atomically: complete or absent, never half written.

Every writer of the package goes through :func:`atomic_open`: the content is
written to a hidden temporary file in the target's own folder, flushed to
disk, and only then given its name. A crash, a full disk or Ctrl-C while
writing leaves the temporary file removed and the target as it was, so a
reader never finds a truncated CSV that still loads.

The final step never replaces an existing file unless asked
(``overwrite=True``): the name is given with a hard link, which the kernel
refuses atomically when the name is taken, so a file created meanwhile by
another program is not lost either. On file systems without hard links the
check and the rename are two steps.

    with atomic_open("out/curve.csv", "w", newline="") as handle:
        handle.write(text)
    write_with("out/image.npz", lambda handle: np.savez(handle, **arrays))
"""
from __future__ import annotations

import contextlib
import errno
import os
import signal
import tempfile
import threading
from collections.abc import Iterator
from typing import IO, Any, Callable, Optional, Union

__all__ = ["TEMP_SUFFIX", "atomic_open", "atomic_path", "npz_name", "write_bytes", "write_text",
           "write_with"]

PathLike = Union[str, "os.PathLike[str]"]

# Temporary files are hidden (a leading dot) and end with this suffix, so
# folder scans skip them even when a killed process leaves one behind.
TEMP_SUFFIX = ".part"


def _read_umask() -> int:
    # os.umask can only be read by setting it; done once, at import, when no
    # other thread of the package creates files yet.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_UMASK = _read_umask()


@contextlib.contextmanager
def _temporary(path: PathLike, overwrite: bool) -> Iterator[tuple[int, str]]:
    """A hidden temporary file in the target's folder, open as a descriptor
    (fd, name). When the block ends normally the file, which the block has
    closed and flushed to disk, is given the target's name; when it fails,
    or the name is taken, the temporary file is removed."""
    target = os.fspath(path)
    if not overwrite and os.path.lexists(target):
        raise _exists(target)
    folder = os.path.dirname(os.path.abspath(target))
    # the name, shortened, keeps the temporary file recognisable while it
    # stays within the 255 bytes a file name may have
    prefix = "." + os.path.basename(target)[:96] + "."
    try:
        fd, temp = tempfile.mkstemp(prefix=prefix, suffix=TEMP_SUFFIX, dir=folder)
    except FileNotFoundError:
        # named after the folder the user gave, not the hidden temporary file
        raise FileNotFoundError(errno.ENOENT, f"{os.path.dirname(target) or '.'}: no such "
                                f"folder", target) from None
    try:
        yield fd, temp
        # mkstemp makes the file private to its owner; results are ordinary
        # files, readable as the user's umask allows
        os.chmod(temp, 0o666 & ~_UMASK)
        with _interrupts_deferred():
            _commit(temp, target, overwrite)
            temp = ""
        _sync_folder(folder)
    finally:
        if temp:
            with contextlib.suppress(OSError):
                os.unlink(temp)


@contextlib.contextmanager
def atomic_open(path: PathLike, mode: str = "wb", *, overwrite: bool = False,
                encoding: Optional[str] = None, newline: Optional[str] = None,
                ) -> Iterator[IO[Any]]:
    """A file handle whose content appears at `path` only once complete.

    Parameters
    ----------
    path : str or path-like
        The file to write. Its folder must exist.
    mode : {"wb", "w"}
        Binary or text; text is UTF-8 unless `encoding` says otherwise.
    overwrite : bool
        Replace an existing file. By default an existing file is left as it
        is and FileExistsError is raised (before anything is written, and
        again at the end if the name was taken meanwhile).
    """
    if mode not in ("wb", "w"):
        raise ValueError(f"mode must be 'wb' or 'w'; got {mode!r}")
    with _temporary(path, overwrite) as (fd, _):
        if mode == "w":
            handle: IO[Any] = os.fdopen(fd, "w", encoding=encoding or "utf-8",
                                        newline=newline)
        else:
            handle = os.fdopen(fd, "wb")
        with handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())


@contextlib.contextmanager
def atomic_path(path: PathLike, *, overwrite: bool = False) -> Iterator[str]:
    """A temporary name in the target's folder, for writers that open files
    by name themselves (HDF5 libraries): what is written there gets `path`
    when the block ends, as :func:`atomic_open` does; nothing is left when
    the block fails. The name is free (no file exists under it) on entry."""
    with _temporary(path, overwrite) as (fd, temp):
        os.close(fd)
        os.unlink(temp)     # the writer creates it; the random name stays unique
        yield temp
        with open(temp, "rb+") as handle:
            os.fsync(handle.fileno())


def write_bytes(path: PathLike, data: bytes, *, overwrite: bool = False) -> None:
    """Write `data` to `path` atomically (see :func:`atomic_open`)."""
    with atomic_open(path, "wb", overwrite=overwrite) as handle:
        handle.write(data)


def write_text(path: PathLike, text: str, *, overwrite: bool = False) -> None:
    """Write `text` to `path` atomically, UTF-8, newlines as given."""
    with atomic_open(path, "w", newline="", overwrite=overwrite) as handle:
        handle.write(text)


def write_with(path: PathLike, writer: Callable[[IO[bytes]], object], *,
               overwrite: bool = False) -> None:
    """Call ``writer(handle)`` on a binary handle and give the result its name
    atomically: for writers that take a file object (``np.savez``,
    ``Figure.savefig``)."""
    with atomic_open(path, "wb", overwrite=overwrite) as handle:
        writer(handle)


def npz_name(path: PathLike) -> str:
    """The name ``np.savez`` would write: ".npz" appended when missing."""
    name = os.fspath(path)
    return name if name.endswith(".npz") else name + ".npz"


def _exists(target: str) -> FileExistsError:
    return FileExistsError(errno.EEXIST, f"{target} exists; it is left as it is "
                                         f"(ask to overwrite it to replace it)", target)


def _commit(temp: str, target: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(temp, target)
        return
    try:
        os.link(temp, target)
    except FileExistsError:
        raise _exists(target) from None
    except OSError as exc:
        # no hard links here (some network and FAT file systems): check,
        # then rename; a file created between the two would be replaced
        if exc.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV,
                             errno.EMLINK, errno.ENOSYS, errno.EACCES):
            raise
        if os.path.lexists(target):
            raise _exists(target) from None
        os.replace(temp, target)
        return
    os.unlink(temp)


def _sync_folder(folder: str) -> None:
    """Make the new name durable: fsync the folder (POSIX; a no-op where a
    folder cannot be opened)."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Hold Ctrl-C back while a file is given its name, so that the
    interrupt arrives with the file either named or removed, never in
    between (and the caller's record of what it wrote stays true). Only the
    main thread receives signals; elsewhere this does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    try:
        previous = signal.getsignal(signal.SIGINT)
    except ValueError:      # no signals here (an embedded interpreter)
        yield
        return
    received = []

    def hold(signum: int, frame: Any) -> None:
        received.append((signum, frame))

    try:
        signal.signal(signal.SIGINT, hold)
    except (ValueError, OSError):
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if received and callable(previous):
            previous(*received[0])
        elif received and previous == signal.SIG_DFL:
            os.kill(os.getpid(), signal.SIGINT)
