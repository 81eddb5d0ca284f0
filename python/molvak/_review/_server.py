"""The review page's local HTTP server.

It listens on 127.0.0.1 only, on a free port unless told one, and answers a
request only when it carries the run's token (the ``token`` query parameter
or the ``X-Molvak-Token`` header) and names this server in its Host header
(a page of another site that rebinds a name to 127.0.0.1 is turned away).
Files are never named by the request: an image is asked for by its id, the
key of a table built by walking the results folder, and the page's own
scripts come from a fixed list; nothing outside the folder is read or
written, and a symbolic link leading out of it is not followed.

The API (JSON unless said otherwise):

    GET  /api/items              the images of the folder
    GET  /api/image?id=ID        binary: uint32 header length, a JSON header
                                 (axes, limits), float32 power normalised at
                                 each frequency, frequency-major
    GET  /api/picks?id=ID        the picks shown: reviewed if saved, else original
    POST /api/picks?id=ID        save: {"rows": [...], "extra": [...], "version": V}
    GET  /api/stats              the statistics across images
"""
from __future__ import annotations

import hmac
import json
import os
import re
import secrets
import socket
import struct
import sys
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Optional
from urllib.parse import parse_qs, urlsplit

import numpy as np

from . import _data

STATIC = Path(__file__).resolve().parent / "static"
STATIC_FILES = {
    "review.js": "text/javascript; charset=utf-8",
    "review.css": "text/css; charset=utf-8",
}
MAX_BODY = 32 << 20
HOST = "127.0.0.1"
TIMEOUT = 10.0       # seconds a connection may stay silent before it is closed
DEADLINE = 120.0     # seconds a request may take to arrive and be answered
MAX_THREADS = 32     # connections served at once; more are answered 503 at once


@dataclass(frozen=True)
class Item:
    id: str            # the image's path relative to the folder, without .npz
    image: Path
    picks: Path
    reviewed: Path


class Folder:
    """The results folder: its images, their picks and the statistics."""

    def __init__(self, root: Path, *, only: Optional[set[str]] = None,
                 cached_images: int = 8) -> None:
        root = Path(root)
        if not root.is_dir():
            raise ValueError(f"{root}: not a folder of results")
        self.root = root.resolve()
        self.only = only
        self._lock = threading.RLock()
        self._is_image: dict[tuple[str, Optional[str]], bool] = {}
        self._items: dict[str, Item] = {}
        self._images: OrderedDict[str, tuple[Optional[str], _data.Image]] = OrderedDict()
        self._cached_images = cached_images
        self._picks: dict[Path, tuple[Optional[str], _data.Picks]] = {}

    # -- the table of images ------------------------------------------------

    def scan(self) -> list[Item]:
        """Walk the folder for images (symbolic links leading out are skipped);
        for named image files (``only``), look at those alone.

        An image ``X.reviewed.npz`` beside ``X.npz`` is refused: its picks,
        ``X.reviewed.csv``, are where the reviewed picks of ``X`` go.
        """
        found: dict[str, Item] = {}
        for path in self._walk():
            if not self._inside(path) or not path.is_file() or not self._image_file(path):
                continue
            rel = path.relative_to(self.root).as_posix()[: -len(_data.IMAGE_SUFFIX)]
            if self.only is not None and rel not in self.only:
                continue
            original, reviewed = _data.picks_paths(path)
            found[rel] = Item(rel, path, original, reviewed)
        for item in found.values():
            self._collision(item)
        ordered = dict(sorted(found.items(), key=lambda kv: _natural(kv[0])))
        with self._lock:
            self._items = ordered
        return list(ordered.values())

    def _walk(self) -> list[Path]:
        """The candidate image files: the named ones, else every .npz of the
        folder tree (hidden files and folders left out)."""
        if self.only is not None:
            return [self.root / (rel + _data.IMAGE_SUFFIX) for rel in sorted(self.only)]
        out = []
        for top, dirs, files in os.walk(self.root):
            dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                             and self._inside(Path(top, d)))
            out += [Path(top, name) for name in sorted(files)
                    if name.endswith(_data.IMAGE_SUFFIX) and not name.startswith(".")]
        return out

    def _collision(self, item: Item) -> None:
        """Refuse an image whose reviewed picks would be another image's picks."""
        twin = item.reviewed.with_name(item.reviewed.name[: -len(_data.PICKS_SUFFIX)]
                                       + _data.IMAGE_SUFFIX)
        if twin.exists():
            raise FileExistsError(
                f"{item.image.name} and {twin.name}: the reviewed picks of the first would "
                f"replace the picks of the second ({item.reviewed.name}); rename one")

    def _checked(self, path: Path) -> Path:
        """The path, if it (and any link on the way) stays inside the folder."""
        if not self._inside(path):
            raise PermissionError(f"{path.name}: a link leading out of the results folder is "
                                  f"not followed")
        if not path.is_file():
            # a pipe or a device would block or never end
            raise PermissionError(f"{path.name}: not a regular file")
        return path

    def _inside(self, path: Path) -> bool:
        try:
            path.resolve().relative_to(self.root)
        except (ValueError, OSError):
            return False
        return True

    def _image_file(self, path: Path) -> bool:
        key = (str(path), _data.file_version(path))
        with self._lock:
            known = self._is_image.get(key)
        if known is None:
            known = _data.is_image(path)
            with self._lock:
                self._is_image[key] = known
        return known

    def item(self, item_id: Optional[str]) -> Item:
        with self._lock:
            found = self._items.get(item_id or "")
        if found is None:
            self.scan()
            with self._lock:
                found = self._items.get(item_id or "")
        if found is None:
            raise LookupError(f"no image {item_id!r} in the results folder")
        return found

    # -- reading ------------------------------------------------------------

    def image(self, item: Item) -> _data.Image:
        version = _data.file_version(item.image)
        with self._lock:
            hit = self._images.get(item.id)
            if hit is not None and hit[0] == version:
                self._images.move_to_end(item.id)
                return hit[1]
        image = _data.load_image(self._checked(item.image))
        with self._lock:
            self._images[item.id] = (version, image)
            while len(self._images) > self._cached_images:
                self._images.popitem(last=False)
        return image

    def _read(self, path: Path) -> Optional[_data.Picks]:
        version = _data.file_version(path)
        if version is None:
            return None
        with self._lock:
            hit = self._picks.get(path)
            if hit is not None and hit[0] == version:
                return hit[1]
        picks = _data.read_picks(self._checked(path))
        with self._lock:
            self._picks[path] = (version, picks)
        return picks

    def picks(self, item: Item) -> tuple[Optional[_data.Picks], str]:
        """The picks shown for an image and where they came from: "reviewed",
        "original" or "none"."""
        self._collision(item)
        reviewed = self._read(item.reviewed)
        if reviewed is not None:
            return reviewed, "reviewed"
        original = self._read(item.picks)
        if original is not None:
            return original, "original"
        return None, "none"

    def statistics(self) -> dict[str, Any]:
        tables = []
        for item in list(self._items.values()):
            try:
                picks, _ = self.picks(item)
            except (OSError, ValueError):
                continue
            if picks is not None:
                tables.append(picks)
        return _data.statistics(tables)

    # -- writing ------------------------------------------------------------

    def prepare(self, item: Item, rows: list[dict[str, Any]], extra: Any) -> _data.Picks:
        """The reviewed picks a save asks for, checked (ValueError, TypeError
        on a malformed request), with their qualities and flags."""
        shown, _ = self.picks(item)
        picks = _data.Picks.from_rows(rows, extra, shown.columns if shown is not None else ())
        image = self.image(item)
        _data.requality(picks, image)
        _data.update_flags(picks, _data.limits(image.params))
        return picks

    def save(self, item: Item, picks: _data.Picks, version: Optional[str]) -> dict[str, Any]:
        """Write the reviewed picks of an image beside its original picks.

        The reviewed file is this page's own output: a later save of the same
        image replaces it, but only if it is still the one the page loaded
        (``version``), so an edit made meanwhile elsewhere is not lost.
        """
        target = item.reviewed
        if target.is_symlink() or not self._inside(target.parent):
            raise PermissionError(f"{target.name}: refusing to write through a link")
        self._collision(item)
        with self._lock:
            current = _data.file_version(target)
            if current != version:
                raise FileExistsError(
                    f"{target.name} changed on disk since the page loaded it; reload the page "
                    f"to see it (nothing was written)")
            _data.write_picks(target, picks)
            self._picks.pop(target, None)
        return {"saved": target.relative_to(self.root).as_posix(),
                "version": _data.file_version(target)}


def _natural(name: str) -> list[Any]:
    """Sort key putting shot2 before shot10."""
    return [(0, int(t), "") if t.isdigit() else (1, 0, t.lower())
            for t in re.split(r"(\d+)", name)]


def image_payload(item: Item, image: _data.Image) -> bytes:
    """The image as the page draws it: header, then float32 normalised power."""
    fo = np.argsort(image.frequency, kind="stable")
    vo = np.argsort(image.velocity, kind="stable")
    power = image.normalized()[fo][:, vo]
    header = {
        "id": item.id,
        "method": image.method,
        "frequency": image.frequency[fo].tolist(),
        "velocity": image.velocity[vo].tolist(),
        "limits": _data.limits(image.params),
    }
    text = json.dumps(header, allow_nan=False).encode()
    text += b" " * (-(len(text) + 4) % 4)
    return struct.pack("<I", len(text)) + text + np.ascontiguousarray(power, "<f4").tobytes()


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    server_version = "molvak-review"
    sys_version = ""
    protocol_version = "HTTP/1.1"
    timeout = TIMEOUT    # on the socket: a stalled client frees its thread
    # a request line that cannot be parsed is answered with a status line too
    # (the library's default, HTTP/0.9, answers without one)
    default_request_version = "HTTP/1.1"

    def handle_one_request(self) -> None:
        # The socket's timeout bounds each wait; a client that trickles a
        # byte at a time is cut off at the deadline instead (by the server's
        # watchdog).
        self.server.watch(self.connection, time.monotonic() + DEADLINE)
        try:
            super().handle_one_request()
        finally:
            self.server.watch(self.connection, None)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if self.server.verbose:
            super().log_message(format, *args)

    # -- answers ------------------------------------------------------------

    def _send(self, status: int, body: bytes, ctype: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("X-Frame-Options", "DENY")
        self.send_header("Content-Security-Policy",
                         "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, payload: Any) -> None:
        self._send(status, json.dumps(payload, allow_nan=False).encode(),
                   "application/json; charset=utf-8")

    def _error(self, status: int, message: str) -> None:
        if self.command not in ("GET", "HEAD"):
            self.close_connection = True    # a body may be left unread
        self._json(status, {"error": message})

    # -- entry points ---------------------------------------------------------

    def do_GET(self) -> None:  # noqa: N802
        self._dispatch()

    def do_HEAD(self) -> None:  # noqa: N802
        self._dispatch()

    def do_POST(self) -> None:  # noqa: N802
        self._dispatch()

    def do_PUT(self) -> None:  # noqa: N802
        self._dispatch()

    def do_DELETE(self) -> None:  # noqa: N802
        self._dispatch()

    # methods the page does not use: answered 405 (other names 501)
    do_OPTIONS = do_PATCH = do_TRACE = do_DELETE  # noqa: N815

    def _dispatch(self) -> None:
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if self.headers.get("Host", "") not in self.server.hosts:
            return self._error(403, "unknown Host")
        given = self.headers.get("X-Molvak-Token") or (query.get("token") or [""])[0]
        if not hmac.compare_digest(given.encode(), self.server.token.encode()):
            return self._error(403, "missing or wrong token")
        ids = query.get("id")
        item_id = ids[0] if ids else None
        route = (self.command, url.path)
        try:
            if route in (("GET", "/"), ("HEAD", "/"), ("GET", "/index.html")):
                return self._page()
            if self.command in ("GET", "HEAD") and url.path.startswith("/static/"):
                return self._static(url.path[len("/static/"):])
            if route == ("GET", "/api/items"):
                return self._items()
            if route == ("GET", "/api/image"):
                item = self.server.folder.item(item_id)
                image = self.server.folder.image(item)
                return self._send(200, image_payload(item, image), "application/octet-stream")
            if route == ("GET", "/api/picks"):
                return self._picks(self.server.folder.item(item_id))
            if route == ("POST", "/api/picks"):
                return self._save(self.server.folder.item(item_id))
            if route == ("GET", "/api/stats"):
                return self._json(200, self.server.folder.statistics())
        except LookupError as exc:
            return self._error(404, str(exc.args[0]))
        except FileExistsError as exc:
            return self._error(409, str(exc))
        except PermissionError as exc:
            return self._error(403, str(exc))
        except TimeoutError:
            self.close_connection = True
            return self._error(408, "the request's body did not arrive in time")
        except (ValueError, OSError) as exc:
            return self._error(422, str(exc))
        except Exception as exc:            # answer, and keep serving
            self.close_connection = True
            return self._error(500, f"{type(exc).__name__}: {exc}"[:300])
        self._error(404 if self.command in ("GET", "HEAD", "POST") else 405, "not found")

    # -- routes ---------------------------------------------------------------

    def _page(self) -> None:
        html = (STATIC / "index.html").read_text(encoding="utf-8")
        html = html.replace("{{token}}", self.server.token)
        self._send(200, html.encode(), "text/html; charset=utf-8")

    def _static(self, name: str) -> None:
        if name not in STATIC_FILES:
            return self._error(404, "not found")
        self._send(200, (STATIC / name).read_bytes(), STATIC_FILES[name])

    def _items(self) -> None:
        folder = self.server.folder
        items = folder.scan()
        listing = []
        for item in items:
            listing.append({"id": item.id, "reviewed": item.reviewed.exists(),
                            "picks": item.picks.exists()})
        self._json(200, {"folder": folder.root.name, "items": listing})

    def _picks(self, item: Item) -> None:
        picks, source = self.server.folder.picks(item)
        version = _data.file_version(item.reviewed)
        if picks is None:
            return self._json(200, {"source": source, "rows": [], "extra": [],
                                    "version": version})
        self._json(200, {"source": source, "rows": picks.rows(), "extra": list(picks.extra),
                         "version": version})

    def _save(self, item: Item) -> None:
        if self.headers.get("X-Molvak-Token") is None:
            return self._error(403, "a save must carry the token in its header")
        if "application/json" not in self.headers.get("Content-Type", ""):
            return self._error(415, "a save is a JSON body")
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return self._error(411, "a save needs its Content-Length")
        if not 0 <= length <= MAX_BODY:
            return self._error(413, "the body is too large")
        folder = self.server.folder
        folder.picks(item)              # a folder problem is told as such, not as a bad request
        folder.image(item)
        data = self.rfile.read(length)
        if len(data) < length:
            self.close_connection = True
            return self._error(400, f"the body ended after {len(data)} of {length} bytes")
        try:
            body = _save_body(data)
            rows, extra = body["rows"], body.get("extra", [])
            version = body.get("version")
            if not isinstance(rows, list) or not all(isinstance(r, dict) for r in rows):
                raise ValueError("rows must be a list of objects")
            if version is not None and not isinstance(version, str):
                raise ValueError("version must be a text or null")
            if not all(isinstance(r.get("extra", {}), dict) for r in rows):
                raise ValueError("the extra of a row must be an object of column values")
            _data.check_extra(extra)
        except (ValueError, KeyError, TypeError) as exc:
            return self._error(400, f"not a save request: {exc}")
        picks = folder.prepare(item, rows, extra)       # a row that cannot be saved: 422
        result = folder.save(item, picks, version)
        result["statistics"] = folder.statistics()
        self._json(200, result)


def _save_body(data: bytes) -> dict[str, Any]:
    """A save's JSON object; NaN, infinities and runaway nesting refused."""

    def constant(name: str) -> Any:
        raise ValueError(f"{name} is not a number JSON allows")

    try:
        body = json.loads(data, parse_constant=constant)
    except RecursionError:
        raise ValueError("the JSON nests too deeply") from None
    if not isinstance(body, dict):
        raise ValueError("the body must be a JSON object")
    return body


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    request_queue_size = 64

    def __init__(self, folder: Folder, port: int, token: str, verbose: bool) -> None:
        super().__init__((HOST, port), _Handler)
        self.folder = folder
        self.token = token
        self.verbose = verbose
        bound = self.server_address[1]
        self.hosts = {f"{HOST}:{bound}", f"localhost:{bound}"}
        self._slots = threading.BoundedSemaphore(MAX_THREADS)
        self._deadlines: dict[Any, float] = {}
        self._watch_lock = threading.Lock()
        self._closed = threading.Event()
        threading.Thread(target=self._watchdog, name="molvak-review-deadlines",
                         daemon=True).start()

    def watch(self, connection: Any, deadline: Optional[float]) -> None:
        """Cut `connection` off at `deadline` (time.monotonic), or no more."""
        with self._watch_lock:
            if deadline is None:
                self._deadlines.pop(connection, None)
            else:
                self._deadlines[connection] = deadline

    def _watchdog(self) -> None:
        while not self._closed.wait(min(0.25, DEADLINE / 4)):
            now = time.monotonic()
            with self._watch_lock:
                late = [c for c, t in self._deadlines.items() if t <= now]
                for c in late:
                    del self._deadlines[c]
            for c in late:
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def server_close(self) -> None:
        self._closed.set()
        super().server_close()

    def process_request(self, request: Any, client_address: Any) -> None:
        # A bounded number of threads: past it a connection is answered at
        # once and closed, so stalled clients cannot take the machine's.
        if not self._slots.acquire(blocking=False):
            try:
                request.settimeout(1.0)
                request.sendall(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                b"Retry-After: 1\r\nConnection: close\r\n\r\n")
                # what has arrived of the request is read, so that closing
                # does not reset the connection before the answer is read
                request.setblocking(False)
                request.recv(1 << 16)
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()


class ReviewServer:
    """A running review page over a results folder.

    ``ReviewServer(folder).start()`` serves in a background thread; ``url``
    is the address with the token; ``stop()`` ends it. ``serve_forever()``
    serves in the calling thread until interrupted.
    """

    def __init__(self, folder: os.PathLike[str] | str, *, port: int = 0,
                 only: Optional[set[str]] = None, verbose: bool = False) -> None:
        self.folder = Folder(Path(folder), only=only)
        self.folder.scan()
        self.token = secrets.token_urlsafe(32)
        self._httpd = _Server(self.folder, port, self.token, verbose)
        self.port = int(self._httpd.server_address[1])
        self.url = f"http://{HOST}:{self.port}/?token={self.token}"
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> ReviewServer:
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def start(self) -> ReviewServer:
        if self._thread is not None:
            return self
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,),
                                        name="molvak-review", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        try:
            self._httpd.serve_forever()
        except KeyboardInterrupt:
            print("molvak review: stopped", file=sys.stderr)
        finally:
            self._httpd.server_close()

    def stop(self) -> None:
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()
