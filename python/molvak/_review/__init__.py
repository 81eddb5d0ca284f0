"""Reviewing picks in the browser: `molvak review DIR` and `molvak.review(...)`.

A local web page shows each dispersion image of a results folder with its
picks; a person adds, moves, invalidates and removes picks and saves them
beside the originals as ``<stem>.reviewed.csv``. The page and its scripts
ship in this package (no network); the server listens on 127.0.0.1 alone and
every request must carry the run's token. Nothing here is imported until a
review starts.
"""
from __future__ import annotations

import argparse
import os
import re
import sys
import tempfile
import webbrowser
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any, Optional, Union

from ..curves import DispersionCurve
from ..image import DispersionImage
from . import _data
from ._server import ReviewServer

__all__ = ["ReviewSession", "add_command", "review"]


class ReviewSession:
    """A review page being served (or served until interrupted).

    Attributes
    ----------
    url : str
        The page's address, with its token.
    folder : pathlib.Path
        The results folder served; reviewed picks are saved there.
    """

    def __init__(self, server: Any) -> None:
        self._server = server
        self.url: str = server.url
        self.folder: Path = server.folder.root

    def curves(self, mode: int = 0) -> dict[str, Any]:
        """The picks of one mode of every image that has some, reviewed where
        saved, else original: {image id: DispersionCurve} (its ``valid`` is
        the reviewer's verdict; ``curve.select(valid=True)`` keeps those)."""
        out = {}
        for item in self._server.folder.scan():
            picks, _ = self._server.folder.picks(item)
            curve = None if picks is None else _data.picks_curves(picks).get(mode)
            if curve is not None:
                out[item.id] = curve
        return out

    def stop(self) -> None:
        """Stop serving (a blocking review has already stopped)."""
        self._server.stop()

    def __enter__(self) -> ReviewSession:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"ReviewSession({str(self.folder)!r}, url={self.url!r})"


ImageEntry = Union[Any, tuple[Any, Any]]


def review(images_or_paths: Union[str, os.PathLike[str], Mapping[str, ImageEntry],
                                  Iterable[ImageEntry]], *,
           port: int = 0, open_browser: bool = True, block: bool = True,
           out: Optional[Union[str, os.PathLike[str]]] = None) -> ReviewSession:
    """Review dispersion images and their picks in the browser.

    Parameters
    ----------
    images_or_paths : path, mapping or sequence
        A results folder (as written by ``molvak image``), image files
        (``.npz``; their picks are read and saved beside them), or images
        held in memory: a sequence of DispersionImage, or a mapping
        name -> image.
        An entry may be an (image, DispersionCurve) pair; otherwise the image
        is picked with ``image.pick()``. In-memory images are written to the
        folder ``out`` (a new temporary folder when not given, which is kept
        so that saved picks are not lost; its path is printed).
    port : int
        0 takes a free port.
    open_browser : bool
        Open the page in the default browser; otherwise only print its address.
    block : bool
        Serve until Ctrl-C, then return. With False the page is served in
        a background thread; call ``stop()`` on the returned session.

    Returns
    -------
    ReviewSession
        Its ``curves()`` reads back the picks, reviewed where saved.
    """
    only = None
    if isinstance(images_or_paths, (str, os.PathLike)):
        images_or_paths = [images_or_paths]
    entries = images_or_paths if isinstance(images_or_paths, Mapping) else list(images_or_paths)
    if (not isinstance(entries, Mapping) and entries
            and all(isinstance(e, (str, os.PathLike)) for e in entries)):
        folder, only = _paths(entries)
    else:
        folder = _write_images(entries, out)
    server = ReviewServer(folder, port=port, only=only)
    count = len(server.folder.scan())
    print(f"molvak review: {count} image(s) in {server.folder.root}", flush=True)
    print(f"molvak review: {server.url}", flush=True)
    if open_browser:
        webbrowser.open(server.url)
    session = ReviewSession(server)
    if block:
        try:
            print("molvak review: Ctrl-C stops the server", flush=True)
            server.serve_forever()
        except KeyboardInterrupt:          # before serving began
            server.stop()
            print("molvak review: stopped", file=sys.stderr)
    else:
        server.start()
    return session


def _paths(paths: Any) -> tuple[Path, Optional[set[str]]]:
    """The folder to serve and, for image files, which of its images."""
    given = [Path(p) for p in paths]
    if len(given) == 1 and given[0].is_dir():
        return given[0], None
    for p in given:
        if p.is_dir():
            raise ValueError(f"{p}: give one results folder, or image files")
        if p.suffix != _data.IMAGE_SUFFIX or not _data.is_image(p):
            raise ValueError(f"{p}: not a folder of results nor a dispersion image (.npz)")
    files = [p.resolve() for p in given]
    root = Path(os.path.commonpath([str(p.parent) for p in files]))
    return root, {p.relative_to(root).as_posix()[: -len(_data.IMAGE_SUFFIX)] for p in files}


def _write_images(entries: Any, out: Optional[Union[str, os.PathLike[str]]]) -> Path:
    if isinstance(entries, Mapping):
        named = [(str(k), v) for k, v in entries.items()]
    else:
        named = [(f"image_{k:03d}", v) for k, v in enumerate(entries)]
    if not named:
        raise ValueError("images_or_paths holds no image")
    checked = []
    for name, entry in named:
        image, curve = entry if isinstance(entry, tuple) else (entry, None)
        if not isinstance(image, DispersionImage):
            raise TypeError(f"images_or_paths[{name!r}] is not a DispersionImage; got "
                            f"{type(image).__name__}")
        if curve is not None and not isinstance(curve, DispersionCurve):
            raise TypeError(f"the curve of {name!r} is not a DispersionCurve; got "
                            f"{type(curve).__name__}")
        stem = re.sub(r"[^A-Za-z0-9._-]+", "_", name).strip("._") or "image"
        checked.append((stem, image, curve))
    if len({s for s, _, _ in checked}) != len(checked):
        raise ValueError("two images would get the same file name: "
                         + ", ".join(s for s, _, _ in checked))
    stems = {s for s, _, _ in checked}
    for stem in sorted(stems):
        if stem + _data.REVIEWED_SUFFIX[: -len(_data.PICKS_SUFFIX)] in stems:
            raise ValueError(f"images {stem!r} and {stem}.reviewed: the reviewed picks of the "
                             f"first would replace the picks of the second; rename one")
    folder = Path(out) if out is not None else Path(tempfile.mkdtemp(prefix="molvak-review-"))
    folder.mkdir(parents=True, exist_ok=True)
    for stem, _, _ in checked:
        for suffix in (_data.IMAGE_SUFFIX, _data.PICKS_SUFFIX, _data.REVIEWED_SUFFIX):
            if (folder / (stem + suffix)).exists():
                raise FileExistsError(f"{folder / (stem + suffix)} exists; give another out "
                                      f"folder")
    for stem, image, curve in checked:
        _data.save_image(folder / (stem + _data.IMAGE_SUFFIX), image)
        (curve if curve is not None else image.pick()).to_csv(folder / (stem + _data.PICKS_SUFFIX))
    return folder


def add_command(sub: Any) -> None:
    """Register `molvak review` on the command line's subparsers."""
    p = sub.add_parser(
        "review", help="review and edit picks in the browser",
        description="Serve the dispersion images and picks of a results folder on a local web "
                    "page (127.0.0.1 only, a token in the address) and open it in the browser. "
                    "Edited picks are saved beside the originals as <stem>.reviewed.csv.")
    p.add_argument("folder", metavar="DIR", help="results folder (images <stem>.npz and picks "
                   "<stem>.csv)")
    p.add_argument("--no-browser", action="store_true", help="only print the address")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    p.set_defaults(func=_command)


def _command(args: argparse.Namespace) -> int:
    if not 0 <= args.port <= 65535:
        raise ValueError(f"--port must be from 0 to 65535; got {args.port}")
    try:
        review(args.folder, port=args.port, open_browser=not args.no_browser)
    except OSError as exc:
        print(f"molvak: error: {exc}", file=sys.stderr)
        return 2
    return 0
