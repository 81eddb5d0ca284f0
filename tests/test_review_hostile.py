"""Hostile requests to the review server, on loopback: malformed, oversized,
slow and concurrent requests, and a results folder holding links that lead
out of it, pipes, folders and odd names.

Every request must be answered with a status line: 200 where it is a good
request, a refusal (4xx, its message one line) otherwise, never a 5xx or a
dropped connection. Nothing outside the folder is ever sent back or
changed; inside it only reviewed picks are written, and each of them reads
back with molvak's picks reader. Seeded and bounded in count and time; the
tally by outcome is printed in pytest's closing summary.
"""
import hashlib
import json
import os
import random
import shutil
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from urllib.parse import quote

import pytest

from molvak import read_curves
from molvak._review import _server
from molvak._review._server import ReviewServer
from review_data import make_folder
from tally import tally

SEED = 20261207
SUITE = "review server"
SECRET = "OUTSIDE-SECRET-7f3a"
GOOD = ["line1.shot1.dat.phase_shift", "line1.shot2.dat.phase_shift", "odd name é;&?#%2e",
        "sub dir/x+y"]
# images whose picks are not served (a link out, a pipe) nor saved over (a link out)
BAD_PICKS = ["linked_picks", "fifo_picks", "linked_reviewed"]
# ids the server must not serve: links out, a pipe, a folder, missing, traversal
BAD_IDS = ["link_out", "pipe", "dir", "dangling",
           "linked_dir/line1.shot1.dat.phase_shift", "../outside/line1.shot1.dat.phase_shift",
           "/etc/passwd", "..", "", "line1.shot1.dat.phase_shift\x00", "a" * 5000, "ü/../..",
           "line1.shot1.dat.phase_shift.npz", "LINE1.SHOT1.DAT.PHASE_SHIFT"]
PATHS = ["/", "/index.html", "/static/review.js", "/static/review.css", "/static/../_server.py",
         "/static/%2e%2e/_server.py", "/api/items", "/api/image", "/api/picks", "/api/stats",
         "/api/unknown", "//api/items", "/api/items/", "/../../etc/passwd", "/api%2fitems",
         "*", "http://evil/api/items"]
METHODS = ["GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "get", "GE T"]


def snapshot(root):
    """{relative path: (kind, digest)} of a tree, links not followed."""
    out = {}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            p = Path(top, name)
            rel = p.relative_to(root).as_posix()
            if p.is_symlink():
                out[rel] = ("link", os.readlink(p))
            elif p.is_file():
                out[rel] = ("file", hashlib.sha256(p.read_bytes()).hexdigest())
            else:
                out[rel] = ("other", "")
    return out


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("hostile")
    outside = root / "outside"
    make_folder(outside, n=1)
    (outside / "secret.csv").write_text(f"frequency,velocity,note\n10,300,{SECRET}\n")
    results = root / "results"
    make_folder(results, n=2)
    shot = results / "line1.shot1.dat.phase_shift"
    for name in GOOD[2:]:
        target = results / name
        target.parent.mkdir(exist_ok=True)
        shutil.copy(f"{shot}.npz", f"{target}.npz")
        shutil.copy(f"{shot}.csv", f"{target}.csv")
    (results / "link_out.npz").symlink_to(outside / "line1.shot1.dat.phase_shift.npz")
    shutil.copy(f"{shot}.npz", results / "linked_picks.npz")
    (results / "linked_picks.csv").symlink_to(outside / "secret.csv")
    shutil.copy(f"{shot}.npz", results / "linked_reviewed.npz")
    (results / "linked_reviewed.reviewed.csv").symlink_to(outside / "victim.csv")
    shutil.copy(f"{shot}.npz", results / "fifo_picks.npz")
    os.mkfifo(results / "fifo_picks.csv")
    os.mkfifo(results / "pipe.npz")
    (results / "dir.npz").mkdir()
    (results / "dangling.npz").symlink_to(root / "nowhere.npz")
    (results / "linked_dir").symlink_to(outside, target_is_directory=True)
    return root, results, outside


class Client:
    """Raw requests to the server, each answer checked and tallied."""

    def __init__(self, server):
        self.server = server
        self.port = server.port
        self.host = f"127.0.0.1:{server.port}".encode()
        self.counts = tally(SUITE)
        self.failures = []
        self.lock = threading.Lock()

    def head(self, method, path, *, token=True, host=None, headers=(), length=None,
             ctype="application/json"):
        lines = [f"{method} {path} HTTP/1.1".encode(),
                 b"Host: " + (self.host if host is None else host)]
        if token:
            lines.append(b"X-Molvak-Token: " + self.server.token.encode())
        if length is not None:
            lines.append(f"Content-Length: {length}".encode())
            lines.append(f"Content-Type: {ctype}".encode())
        lines += list(headers) + [b"Connection: close"]
        return b"\r\n".join(lines) + b"\r\n\r\n"

    def send(self, data, *, trickle=0.0, pieces=1):
        """(status, headers and body) of one raw request; status 0 when the
        connection ended without an answer."""
        answer = b""
        with socket.create_connection(("127.0.0.1", self.port), timeout=15) as s:
            try:
                step = max(1, len(data) // pieces)
                for a in range(0, len(data), step):
                    s.sendall(data[a:a + step])
                    if trickle:
                        time.sleep(trickle)
                s.shutdown(socket.SHUT_WR)
            except OSError:
                pass                # the server answered and closed early
            try:
                while chunk := s.recv(1 << 16):
                    answer += chunk
            except OSError:
                pass
        line = answer.split(b"\r\n", 1)[0].split()
        status = int(line[1]) if len(line) >= 2 and line[0].startswith(b"HTTP/1.") \
            and line[1].isdigit() else 0
        return status, answer

    def check(self, label, data, expect, **how):
        """Send and judge: expect is "ok" (200), "refuse" (4xx) or "any"."""
        status, answer = self.send(data, **how)
        problem = None
        if SECRET.encode() in answer:
            problem = "sent back a file from outside the folder"
        elif not status:
            problem = "no answer"
        elif status >= 500 and status not in (501, 503, 505):
            # 501: a method unheard of, 505: an HTTP version unheard of
            problem = f"answered {status}"
        elif expect == "ok" and status != 200:
            problem = f"answered {status} to a good request"
        elif expect == "refuse" and not (400 <= status < 500 or status in (501, 505)):
            problem = f"answered {status} where a refusal was due"
        else:
            head, _, body = answer.partition(b"\r\n\r\n")
            if 400 <= status < 500 and b"application/json" in head and body:
                message = json.loads(body)["error"]
                if "\n" in message or not message:
                    problem = f"refused in {message.count(chr(10)) + 1} lines"
        with self.lock:
            if problem:
                self.counts["failed"] += 1
                self.failures.append(f"{label}: {problem}: {answer[:200]!r}")
            else:
                self.counts["answered" if status < 400 else "refused"] += 1
        return status, answer


@pytest.fixture(scope="module")
def client(site):
    _, results, _ = site
    saved = _server._Handler.timeout, _server.DEADLINE, _server.MAX_THREADS
    # short waits, few threads: the slow and overloading clients finish quickly
    _server._Handler.timeout, _server.DEADLINE, _server.MAX_THREADS = 0.5, 2.0, 12
    try:
        server = ReviewServer(results).start()
        try:
            yield Client(server)
        finally:
            server.stop()
    finally:
        _server._Handler.timeout, _server.DEADLINE, _server.MAX_THREADS = saved


def random_json(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return rng.choice([0, 1, -1, 2**63, 10**400 // 10**390, 99, 100])
    if kind == 3:
        return rng.choice([0.5, -3.0, 1e308, 5e-324, 12.5, 300.0])
    if kind == 4:
        return rng.choice(["", "abc", "1", "0", "nan", "inf", "é\n,\"", "x" * 300, "\x00"])
    if kind == 5:
        return rng.choice(["frequency", "velocity", "valid", "mode", "note", "too_short"])
    if kind == 6:
        return [random_json(rng, depth + 1) for _ in range(rng.randrange(4))]
    keys = ["frequency", "velocity", "valid", "mode", "quality", "edited", "extra", "note",
            "rows", "version", "x"]
    return {rng.choice(keys): random_json(rng, depth + 1) for _ in range(rng.randrange(5))}


def random_row(rng):
    row = {"frequency": rng.choice([5.0, 10.0, 20.5, 39.0, "12", 0, -1, None, "x", 1e300]),
           "velocity": rng.choice([150.0, 300.0, 612.5, "250", 0, None, [], {}]),
           "valid": rng.choice([0, 1, 1, 1, 2, "1", None, True]),
           "mode": rng.choice([0, 0, 0, 1, 99, 100, -1, 0.5, "0"])}
    if rng.random() < 0.5:
        row["extra"] = rng.choice([{"note": "hand"}, {"note": 5}, {"note": None}, {},
                                   {"too_short": "1"}, {"too_short": "abc"}, [1], "ab", 5])
    for key in list(row):
        if rng.random() < 0.1:
            del row[key]
    return row


def save_bodies(rng, count):
    """(label, body: bytes, or a save request as a dict to be given its
    version) of save requests."""
    for k in range(count):
        pick = rng.random()
        if pick < 0.45:
            rows = [random_row(rng) for _ in range(rng.randrange(6))]
            extra = rng.choice([["note"], [], ["note", "too_short"], "ab", 5, [1], ["velocity"],
                                ["note", "note"], [""], [" note"]])
            yield f"save {k}", {"rows": rows, "extra": extra}
            continue
        if pick < 0.7:
            text = json.dumps(random_json(rng)).encode()
        elif pick < 0.8:
            good = json.dumps({"rows": [random_row(rng)], "version": None}).encode()
            text = good[:rng.randrange(len(good))]
        else:
            text = rng.choice([b"[" * 100_000, b"{" * 50_000, b'{"rows": [{"frequency": NaN}]}',
                               b'{"rows": [], "extra": Infinity}', b"\xff\xfe\x00",
                               b'{"rows": [], "version": 5}', b"null", b"",
                               b'{"rows": ' + b"[]" * 10 + b"}"])
        yield f"save {k}", text


def test_hostile_requests_are_answered_and_nothing_leaks(site, client):
    root, results, outside = site
    before_out = snapshot(outside)
    before_in = snapshot(results)
    rng = random.Random(SEED)
    server = client.server
    token = server.token
    # the good requests
    for item in GOOD:
        for path in ("/api/image", "/api/picks"):
            client.check(f"good {path} {item}", client.head("GET", f"{path}?id={quote(item)}"),
                         "ok")
    for path in ("/", "/static/review.js", "/api/items", "/api/stats"):
        client.check(f"good {path}", client.head("GET", path), "ok")
    # ids that must not be served
    for item in BAD_IDS:
        for path in ("/api/image", "/api/picks"):
            client.check(f"bad id {item!r}", client.head("GET", f"{path}?id={quote(item)}"),
                         "refuse")
    for item in BAD_IDS + BAD_PICKS:
        body = json.dumps({"rows": [], "version": None}).encode()
        client.check(f"save to {item!r}", client.head("POST", f"/api/picks?id={quote(item)}",
                                                      length=len(body)) + body, "refuse")
    for item in BAD_PICKS:
        client.check(f"image of {item!r}", client.head("GET", f"/api/image?id={item}"), "ok")
        # a reviewed file that is a link to nowhere is no reviewed file: the
        # (missing) original picks are shown
        client.check(f"picks of {item!r}", client.head("GET", f"/api/picks?id={item}"),
                     "ok" if item == "linked_reviewed" else "refuse")
    # tokens and hosts
    for token_, host in ((False, None), (True, b"evil.example"), (True, b"127.0.0.1"),
                         (True, b"127.0.0.1:1"), (True, b""), (True, b"localhost:" +
                                                               str(server.port).encode())):
        expect = "ok" if host is not None and host.startswith(b"localhost") else "refuse"
        client.check(f"host {host!r}", client.head("GET", "/api/items", token=token_,
                                                   host=host), expect)
    for query in (f"token={token[:-1]}", f"token={token}x", "token=", f"TOKEN={token}",
                  f"token=x&token={token}", "token=" + "x" * 10_000, f"token={token}&token=x"):
        client.check(f"query {query[:20]}", client.head("GET", f"/api/items?{query}",
                                                        token=False),
                     "ok" if query.endswith("&token=x") else "refuse")
    # methods and paths
    for _ in range(150):
        method, path = rng.choice(METHODS), rng.choice(PATHS)
        if rng.random() < 0.5:
            path += f"?id={quote(rng.choice(GOOD + BAD_IDS))}"
        client.check(f"{method} {path[:40]}", client.head(method, path), "any")
    # broken requests
    port = str(server.port).encode()
    junk = [b"GET\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n", b"GET /\r\n\r\n",
            b"\x00\x01\x02\xff\r\n\r\n", b"GET /" + b"a" * 70_000 + b" HTTP/1.1\r\n\r\n",
            b"GET / HTTP/1.1\r\nX: " + b"a" * 70_000 + b"\r\n\r\n",
            b"GET / HTTP/1.1\r\n" + b"X: y\r\n" * 150 + b"\r\n",
            b"GET / HTTP/1.1\r\nno colon here\r\n\r\n",
            b"GET /api/items HTTP/1.1\r\nHost: 127.0.0.1:" + port + b"\r\n\r\n",
            b"POST /api/picks?id=x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"]
    # (a first line left blank is no request, and gets no answer)
    junk += [rng.choice(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ").to_bytes(1, "big")
             + bytes(rng.randrange(256) for _ in range(rng.randrange(300))) + b"\r\n\r\n"
             for _ in range(40)]
    for k, data in enumerate(junk):
        client.check(f"junk {k}", data, "refuse")
    # save requests: bodies malformed and odd, headers wrong
    for label, body in save_bodies(rng, 220):
        item = quote(rng.choice(GOOD))
        if isinstance(body, dict):
            # the version the page would send: the reviewed file's as loaded
            status, answer = client.check(f"version of {item}",
                                          client.head("GET", f"/api/picks?id={item}"), "ok")
            version = json.loads(answer.split(b"\r\n\r\n", 1)[1])["version"]
            body = json.dumps(dict(body, version=version)).encode()
        client.check(label, client.head("POST", f"/api/picks?id={item}", length=len(body))
                     + body, "any")
    body = b'{"rows": [], "version": null}'
    for length, ctype, more in ((len(body), "text/plain", b""), (-1, "application/json", b""),
                                (_server.MAX_BODY + 1, "application/json", b""),
                                ("x", "application/json", b""), (len(body) + 50,
                                                                  "application/json", b"")):
        client.check(f"length {length} {ctype}", client.head(
            "POST", f"/api/picks?id={GOOD[0]}", length=length, ctype=ctype) + body + more,
            "refuse")
    # an oversized body is refused without being read
    big = b'{"rows": [' + b'{"frequency": 10, "velocity": 300},' * 1_000_000 + b"{}]}"
    client.check("oversized", client.head("POST", f"/api/picks?id={GOOD[0]}",
                                          length=len(big)) + big, "refuse")
    # slow clients: one trickling a byte at a time is cut off at the deadline,
    # one that stops mid-body times out
    slow = client.head("GET", "/api/items")
    start = time.monotonic()
    status, _ = client.send(slow[:40], trickle=0.1, pieces=40)
    assert status in (0, 400, 408) and time.monotonic() - start < 10
    client.counts["refused"] += 1
    client.check("stalled body", client.head("POST", f"/api/picks?id={GOOD[0]}",
                                             length=len(body) + 10) + body, "refuse")
    after_out = snapshot(outside)
    after_in = snapshot(results)
    assert after_out == before_out
    changed = {k for k in set(after_in) | set(before_in) if after_in.get(k) != before_in.get(k)}
    assert all(k.endswith(".reviewed.csv") for k in changed), sorted(changed)
    for name in changed:
        read_curves(results / name)
    assert not (outside / "victim.csv").exists()
    assert not client.failures, "\n".join(client.failures[:20])


def test_concurrent_and_overloading_clients(site, client):
    _, results, _ = site
    server = client.server
    item = quote(GOOD[3])

    def session(seed):
        rng = random.Random(seed)
        for _ in range(12):
            status, answer = client.check("concurrent read", client.head(
                "GET", f"/api/picks?id={item}"), "ok")
            version = json.loads(answer.split(b"\r\n\r\n", 1)[1])["version"] \
                if status == 200 else None
            rows = [{"frequency": 10.0 + k, "velocity": 200.0 + seed + k, "valid": 1,
                     "mode": 0} for k in range(rng.randrange(1, 8))]
            body = json.dumps({"rows": rows, "extra": [], "version": version}).encode()
            status, _ = client.check("concurrent save", client.head(
                "POST", f"/api/picks?id={item}", length=len(body)) + body, "any")
            assert status in (200, 409)

    with ThreadPoolExecutor(6) as pool:
        list(pool.map(session, range(6)))
    read_curves(results / f"{GOOD[3]}.reviewed.csv")
    # more idle connections than threads: the rest are answered 503 at once,
    # the idle ones closed after the timeout, and the server serves again
    idle = [socket.create_connection(("127.0.0.1", server.port), timeout=5)
            for _ in range(_server.MAX_THREADS)]
    try:
        time.sleep(0.2)
        status, _ = client.check("overload", client.head("GET", "/api/items"), "any")
        assert status == 503
    finally:
        for s in idle:
            s.close()
    time.sleep(0.7)
    client.check("after overload", client.head("GET", "/api/items"), "ok")
    assert not client.failures, "\n".join(client.failures[:20])
