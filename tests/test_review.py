"""The review server and its data adapter, without a browser: file formats,
statistics, limits, the image sent to the page, saving, and the security
rules (token, Host, paths, loopback only)."""
import json
import re
import socket
import struct
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import numpy as np
import pytest

import molvak
from molvak import DispersionCurve
from molvak._review import _data
from molvak._review._server import ReviewServer
from review_data import make_folder, read_csv, refused, synthetic_image


@pytest.fixture
def folder(tmp_path):
    make_folder(tmp_path / "results", n=3)
    return tmp_path / "results"


@pytest.fixture
def server(folder):
    with ReviewServer(folder).start() as s:
        yield s


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """A server for the tests that only read."""
    root = tmp_path_factory.mktemp("review") / "results"
    make_folder(root, n=3)
    with ReviewServer(root).start() as s:
        yield s


def request(server, path, *, token=True, header=False, method="GET", body=None, headers=None):
    """(status, bytes) of a request to the server."""
    url = f"http://127.0.0.1:{server.port}{path}"
    h = dict(headers or {})
    if token and header:
        h["X-Molvak-Token"] = server.token
    elif token:
        url += ("&" if "?" in url else "?") + "token=" + server.token
    data = None if body is None else json.dumps(body).encode()
    if body is not None:
        h.setdefault("Content-Type", "application/json")
    req = urllib.request.Request(url, data=data, headers=h, method=method)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read()


# --------------------------------------------------------------------------
# the adapter


def test_picks_round_trip_keeps_values_flags_and_extra_columns(tmp_path):
    path = tmp_path / "a.csv"
    path.write_text("frequency,velocity,note,valid,mode\n"
                    "5,300.125,first,1,0\n4,310.5,\"with, comma\",0,1\n")
    picks = _data.read_picks(path)
    # defaults for what the file lacks; wavelength from the velocities
    np.testing.assert_array_equal(picks.numeric["edited"], [0, 0])
    np.testing.assert_array_equal(picks.numeric["wavelength"], [300.125 / 5, 310.5 / 4])
    assert np.isnan(picks.numeric["quality"]).all()
    rows = picks.rows()
    rows[0].update(velocity=1 / 3 * 900, edited=1)
    back = _data.Picks.from_rows(rows, list(picks.extra))
    out = tmp_path / "b.csv"
    _data.write_picks(out, back)
    header, body = read_csv(out)
    assert header == ["frequency", "velocity", "wavelength", "quality", "valid", "mode", "note",
                      "edited"]
    again = _data.read_picks(out)
    # sorted by mode then frequency; 17 digits give the same doubles
    np.testing.assert_array_equal(again.numeric["frequency"], [5, 4])
    assert again.numeric["velocity"][0] == 1 / 3 * 900
    np.testing.assert_array_equal(again.numeric["valid"], [1, 0])
    np.testing.assert_array_equal(again.numeric["mode"], [0, 1])
    np.testing.assert_array_equal(again.numeric["edited"], [1, 0])
    assert again.extra["note"] == ["first", "with, comma"]
    assert [r[4:6] for r in body] == [["1", "0"], ["0", "1"]]     # flags as integers


@pytest.mark.parametrize("text, message", [
    ("f,v\n1,2\n", "not a dispersion-curve CSV"),
    ("frequency,velocity\n1,abc\n", "not a number"),
    ("", "not a dispersion-curve CSV"),
])
def test_read_picks_refuses_what_it_cannot_read(tmp_path, text, message):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as info:
        _data.read_picks(path)
    assert "bad.csv" in str(info.value)


@pytest.mark.parametrize("row, message", [
    ({"frequency": 0, "velocity": 200}, "frequency must be a positive"),
    ({"frequency": 5, "velocity": "x"}, "velocity is not a number"),
    ({"frequency": 5, "velocity": 200, "valid": 2}, "valid must be 0 or 1"),
    ({"frequency": 5, "velocity": 200, "mode": 1.5}, "mode must be an integer"),
])
def test_rows_from_the_page_are_checked(row, message):
    with pytest.raises(ValueError, match=f"row 0: {message}"):
        _data.Picks.from_rows([row])


def test_statistics_match_numpy_per_frequency():
    rng = np.random.default_rng(4)
    freqs = np.array([5.0, 5.5, 6.0, 7.0])
    tables, kept = [], {f: [] for f in freqs}
    for _ in range(6):
        v = 300 + rng.normal(0, 10, freqs.size)
        valid = rng.random(freqs.size) > 0.3
        mode = np.where(rng.random(freqs.size) > 0.8, 1, 0)
        rows = [dict(frequency=f, velocity=x, valid=int(a), mode=int(m))
                for f, x, a, m in zip(freqs, v, valid, mode)]
        tables.append(_data.Picks.from_rows(rows))
        for f, x, a, m in zip(freqs, v, valid, mode):
            if a and m == 0:
                kept[f].append(x)
    stats = _data.statistics(tables)
    expect = [f for f in freqs if kept[f]]
    assert stats["frequency"] == expect
    for k, f in enumerate(expect):
        assert stats["count"][k] == len(kept[f])
        assert stats["mean"][k] == pytest.approx(np.mean(kept[f]), rel=1e-14)
        if len(kept[f]) > 1:
            assert stats["std"][k] == pytest.approx(np.std(kept[f], ddof=1), rel=1e-12)
        else:
            assert stats["std"][k] is None
    assert stats["curves"] == sum(
        any(r["valid"] == 1 and r["mode"] == 0 for r in t.rows()) for t in tables)
    assert _data.statistics([])["frequency"] == []


def test_limits_follow_the_array_and_the_source_distance():
    offsets = np.arange(10.0, 58.0, 2.0)          # 24 channels, 2 m apart, 10 m from the source
    lim = _data.limits({"offsets": offsets.tolist()})
    assert (lim["lambda_min"], lim["lambda_max"]) == molvak.array_limits(offsets)
    # the centre of the array is 10 + 46 / 2 = 33 m from the source: the near
    # field starts where d / lambda < 0.5, at lambda = 66 m
    assert lim["near_field"] == pytest.approx(66.0)
    assert _data.limits({}) == dict(lambda_min=None, lambda_max=None, near_field=None)


@pytest.mark.parametrize("method", ["phase_shift", "fdbf"])
def test_image_files_give_the_power_and_the_page_gets_it_normalised(tmp_path, method):
    g = molvak.synthetic.default_gather()
    image = molvak.ESTIMATORS[method](g.data, g.offsets, g.dt, velocities=(80, 400, 4),
                                      fmax=60)
    path = tmp_path / "x.npz"
    _data.save_image(path, image)
    assert _data.is_image(path) and not _data.is_image(tmp_path / "missing.npz")
    read = _data.load_image(path)
    # amplitude images square, power images (beamforming) do not
    np.testing.assert_allclose(read.power, image.power(), rtol=1e-12)
    np.testing.assert_allclose(read.normalized(), image.normalized("frequency"), rtol=2e-7,
                               atol=1e-30)
    assert read.method == method
    assert read.params["offsets"] == list(g.offsets)


def test_load_image_names_the_file_it_cannot_read(tmp_path):
    np.savez(tmp_path / "gather.npz", data=np.zeros((3, 4)), offsets=np.arange(3), dt=1e-3)
    assert not _data.is_image(tmp_path / "gather.npz")
    np.savez(tmp_path / "bad.npz", frequency=np.arange(3.0), velocity=np.arange(4.0),
             spectrum=np.zeros((4, 3)))
    with pytest.raises(ValueError, match=r"bad\.npz: spectrum has shape \(4, 3\)"):
        _data.load_image(tmp_path / "bad.npz")


def test_requality_puts_edited_picks_on_the_scale_of_the_originals(tmp_path):
    _, image = synthetic_image(velocities=(50, 800, 2))
    curve = image.pick(80, 600).select(fmin=8, fmax=60)
    curve.to_csv(tmp_path / "c.csv")
    rows = _data.read_picks(tmp_path / "c.csv").rows()
    for r in rows:
        r["extra"] = {}
    # the pick of the strongest frequency, marked edited but left on its
    # peak, keeps quality 1; one moved off its peak drops with the power there
    strongest = int(np.argmax(curve.quality))
    other = (strongest + 10) % len(rows)
    rows[strongest]["edited"] = 1
    rows[other].update(edited=1, velocity=rows[other]["velocity"] * 1.3)
    edited = _data.Picks.from_rows(rows)
    read = _data.Image(image.frequency, image.velocity, image.power(), "", {})
    _data.requality(edited, read)
    q = edited.numeric["quality"]
    assert q[strongest] == pytest.approx(1.0, abs=2e-3)      # grid interpolation vs parabola
    i = int(np.argmin(np.abs(image.frequency - rows[other]["frequency"])))
    expect = np.interp(rows[other]["velocity"], image.velocity, image.power()[i])
    assert q[other] == pytest.approx(expect / image.power()[np.isin(
        image.frequency, curve.frequency)].max(), rel=1e-12)
    unedited = edited.numeric["edited"] == 0
    np.testing.assert_array_equal(q[unedited], curve.quality[unedited])


def test_atomic_write_replaces_whole_and_leaves_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "x.csv"
    path.write_text("old")
    _data.atomic_write(path, b"new")
    assert path.read_bytes() == b"new"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.csv"]

    # a write that fails before the rename leaves the old file and no temporary
    def fail(*args):
        raise OSError("disk full")

    monkeypatch.setattr(_data.os, "replace", fail)
    with pytest.raises(OSError, match="disk full"):
        _data.atomic_write(path, b"newer")
    assert path.read_bytes() == b"new"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["x.csv"]


# --------------------------------------------------------------------------
# the server: what it serves


def test_image_payload_is_the_normalised_power(shared):
    server = shared
    status, listing = request(server, "/api/items")
    assert status == 200
    ids = [it["id"] for it in json.loads(listing)["items"]]
    assert ids == [f"line1.shot{k}.dat.phase_shift" for k in (1, 2, 3)]
    status, body = request(server, f"/api/image?id={ids[1]}")
    assert status == 200
    (n,) = struct.unpack("<I", body[:4])
    assert (4 + n) % 4 == 0
    meta = json.loads(body[4:4 + n])
    power = np.frombuffer(body[4 + n:], "<f4").reshape(len(meta["frequency"]), -1)
    _, image = synthetic_image(seed=1)
    np.testing.assert_array_equal(meta["frequency"], image.frequency)
    np.testing.assert_array_equal(meta["velocity"], image.velocity)
    np.testing.assert_allclose(power, image.normalized("frequency"), rtol=2e-7, atol=1e-30)
    assert meta["limits"]["lambda_max"] == molvak.array_limits(image.params["offsets"])[1]


def test_saving_writes_beside_the_original_and_guards_against_overwrites(server, folder):
    item = "line1.shot1.dat.phase_shift"
    original = folder / f"{item}.csv"
    before = original.read_bytes()
    status, body = request(server, f"/api/picks?id={item}")
    shown = json.loads(body)
    assert status == 200 and shown["source"] == "original" and shown["version"] is None
    rows = shown["rows"]
    # the first pick (10 Hz, a wavelength beyond the array's) moved to 200 m/s, invalid
    assert rows[0]["frequency"] == 10.0 and rows[0]["extra"]["too_long"] == "1"
    rows[0].update(valid=0, edited=1, velocity=200.0)
    del rows[-1]
    save = dict(rows=rows, extra=shown["extra"], version=None)
    # the token must come in the header for a save
    assert request(server, f"/api/picks?id={item}", method="POST", body=save)[0] == 403
    status, body = request(server, f"/api/picks?id={item}", method="POST", body=save,
                           header=True)
    assert status == 200, body
    result = json.loads(body)
    reviewed = folder / f"{item}.reviewed.csv"
    assert result["saved"] == reviewed.name
    assert original.read_bytes() == before
    header, saved = read_csv(reviewed)
    assert header[-2:] == ["note", "edited"]
    assert len(saved) == len(rows) and saved[0][4] == "0" and saved[0][-1] == "1"
    assert {r[-1] for r in saved[1:]} == {"0"}
    assert not [p for p in folder.iterdir() if p.name.startswith(".")]
    # molvak reads the reviewed file; the moved pick's flags follow its new
    # wavelength (20 m, inside the limits), the others' stay as picked
    back = DispersionCurve.from_csv(reviewed)
    first = DispersionCurve.from_csv(original)
    assert back.wavelength[0] == 20.0 and not back.valid[0]
    assert not any(back.flags[name][0] for name in DispersionCurve.FLAGS)
    assert first.too_long[1] and back.too_long[1]
    np.testing.assert_array_equal(back.extra["edited"], [1] + [0] * (len(back) - 1))
    # the statistics answered count the reviewed picks, not the original ones
    assert result["statistics"] == _data.statistics(
        [_data.read_picks(reviewed)] + [_data.read_picks(folder / f"line1.shot{k}.dat"
                                                         f".phase_shift.csv") for k in (2, 3)])
    # reloading shows the reviewed state
    shown2 = json.loads(request(server, f"/api/picks?id={item}")[1])
    assert shown2["source"] == "reviewed" and len(shown2["rows"]) == len(rows)
    # a save made against an old version (the file changed since) is refused
    status, body = request(server, f"/api/picks?id={item}", method="POST", body=save,
                           header=True)
    assert status == 409 and b"changed on disk" in body
    save["version"] = shown2["version"]
    rows[1].update(velocity=123.0, edited=1)
    assert request(server, f"/api/picks?id={item}", method="POST", body=save,
                   header=True)[0] == 200
    assert float(read_csv(reviewed)[1][1][1]) == 123.0
    # a reviewed file replaced behind the page's back is not overwritten
    reviewed.write_text(reviewed.read_text() + "\n")
    assert request(server, f"/api/picks?id={item}", method="POST", body=save,
                   header=True)[0] == 409
    bad = dict(save, rows=[{"frequency": -1, "velocity": 3}])
    status, body = request(server, f"/api/picks?id={item}", method="POST", body=bad,
                           header=True)
    assert status == 422 and b"frequency must be a positive" in body


# --------------------------------------------------------------------------
# the server: who may ask, and for what


def test_requests_need_the_token_and_this_host(shared):
    server = shared
    page = request(server, "/")
    assert page[0] == 200 and b"review.js?token=" + server.token.encode() in page[1]
    assert request(server, "/api/items", header=True)[0] == 200
    for path in ("/", "/api/items", "/static/review.js", "/api/stats"):
        assert request(server, path, token=False)[0] == 403
        url_wrong = path + ("&" if "?" in path else "?") + "token=" + server.token[:-1] + ("B" if server.token.endswith("A") else "A")
        assert request(server, url_wrong, token=False)[0] == 403
    assert request(server, "/api/items", token=False,
                   headers={"X-Molvak-Token": "x" * len(server.token)})[0] == 403
    assert request(server, "/api/items", token=False, headers={"X-Molvak-Token": "é"})[0] == 403
    # a page of another site that rebinds its name to 127.0.0.1
    assert request(server, "/api/items", headers={"Host": f"evil.example:{server.port}"})[0] \
        == 403


@pytest.mark.parametrize("path", [
    "/api/image?id=../../../etc/passwd",
    "/api/image?id=/etc/passwd",
    "/api/picks?id=..%2F..%2Fsecret",
    "/api/image?id=sub/../../outside",
    "/static/../_server.py",
    "/static/%2e%2e/_data.py",
    "/static/..%2f_server.py",
    "/../../etc/passwd",
])
def test_paths_outside_are_refused(shared, path):
    server = shared
    status, body = request(server, path)
    assert status == 404
    assert b"root:" not in body and b"import" not in body


def test_links_leading_out_of_the_folder_are_not_followed(tmp_path):
    outside = tmp_path / "outside"
    make_folder(outside, n=1)
    results = tmp_path / "results"
    make_folder(results, n=1)
    (results / "linked.npz").symlink_to(outside / "line1.shot1.dat.phase_shift.npz")
    (results / "sub").symlink_to(outside, target_is_directory=True)
    # a reviewed file that is a link outside would be written through: refused
    (results / "line1.shot1.dat.phase_shift.reviewed.csv").symlink_to(outside / "victim.csv")
    with ReviewServer(results).start() as s:
        ids = [it["id"] for it in json.loads(request(s, "/api/items")[1])["items"]]
        assert ids == ["line1.shot1.dat.phase_shift"]
        assert request(s, "/api/image?id=linked")[0] == 404
        assert request(s, "/api/image?id=sub/line1.shot1.dat.phase_shift")[0] == 404
        status, body = request(s, "/api/picks?id=line1.shot1.dat.phase_shift", method="POST",
                               body={"rows": [], "version": None}, header=True)
        assert status == 403
    assert not (outside / "victim.csv").exists()


def test_listens_on_loopback_only(shared):
    server = shared
    assert server._httpd.socket.getsockname()[0] == "127.0.0.1"
    assert not refused("127.0.0.1", server.port)
    # another address of the loopback network is another interface address
    # as far as binding goes: a server on all interfaces would answer it
    assert refused("127.0.0.2", server.port)
    assert refused("::1", server.port, socket.AF_INET6)


def test_the_wildcard_check_would_catch_a_server_on_all_interfaces():
    with socket.socket() as s:
        s.bind(("0.0.0.0", 0))
        s.listen()
        assert not refused("127.0.0.2", s.getsockname()[1])


def test_tokens_differ_between_runs(folder):
    a, b = ReviewServer(folder), ReviewServer(folder)
    try:
        assert a.token != b.token and len(a.token) >= 40 and a.port != b.port
    finally:
        a.stop()
        b.stop()


# --------------------------------------------------------------------------
# the entry points


def test_cli_serves_the_folder_and_prints_the_address(folder):
    with subprocess.Popen([sys.executable, "-m", "molvak", "review", str(folder),
                           "--no-browser"], stdout=subprocess.PIPE, text=True) as proc:
        try:
            lines = [proc.stdout.readline() for _ in range(2)]
            assert "3 image(s)" in lines[0]
            url = re.search(r"http://127\.0\.0\.1:\d+/\?token=\S+", lines[1])
            assert url is not None
            with urllib.request.urlopen(url.group(0).replace("/?", "/api/items?"),
                                        timeout=10) as r:
                assert len(json.loads(r.read())["items"]) == 3
        finally:
            proc.terminate()
            proc.wait(timeout=10)


def test_cli_refuses_what_is_not_a_folder(tmp_path, capsys):
    from molvak.cli import main
    assert main(["review", str(tmp_path / "nothing"), "--no-browser"]) == 2
    assert "nothing: not a folder of results" in capsys.readouterr().err


def test_review_from_python_serves_images_held_in_memory(tmp_path, capsys):
    _, image = synthetic_image(velocities=(50, 800, 4))
    curve = image.pick(80, 600).select(fmin=10, fmax=30)
    session = molvak.review({"shot 1": image, "shot/2": (image, curve)}, open_browser=False,
                            block=False, out=tmp_path / "mem")
    try:
        assert session.url in capsys.readouterr().out
        names = sorted(p.name for p in (tmp_path / "mem").iterdir())
        assert names == ["shot_1.csv", "shot_1.npz", "shot_2.csv", "shot_2.npz"]
        with urllib.request.urlopen(session.url.replace("/?", "/api/items?"), timeout=10) as r:
            assert [it["id"] for it in json.loads(r.read())["items"]] == ["shot_1", "shot_2"]
        curves = session.curves()
        np.testing.assert_array_equal(curves["shot_2"].velocity, curve.velocity)
        np.testing.assert_array_equal(curves["shot_1"].velocity, image.pick().velocity)
    finally:
        session.stop()
    with pytest.raises(FileExistsError, match="shot_1.npz exists"):
        molvak.review({"shot 1": image}, open_browser=False, block=False, out=tmp_path / "mem")
    with pytest.raises(TypeError, match="is not a DispersionImage"):
        molvak.review([np.zeros(3)], open_browser=False, block=False, out=tmp_path / "x")


def test_review_of_image_files_serves_those_alone(folder, capsys):
    files = [folder / f"line1.shot{k}.dat.phase_shift.npz" for k in (3, 1)]
    with molvak.review([str(f) for f in files], open_browser=False, block=False) as session:
        assert session.folder == folder.resolve()
        with urllib.request.urlopen(session.url.replace("/?", "/api/items?"), timeout=10) as r:
            assert [it["id"] for it in json.loads(r.read())["items"]] == [
                "line1.shot1.dat.phase_shift", "line1.shot3.dat.phase_shift"]
        with pytest.raises(urllib.error.HTTPError) as info:
            urllib.request.urlopen(session.url.replace(
                "/?", "/api/image?id=line1.shot2.dat.phase_shift&"), timeout=10)
        info.value.close()
        assert info.value.code == 404
    with pytest.raises(ValueError, match=r"shot1\.dat\.phase_shift\.csv: not a folder of "
                                         r"results nor a dispersion image"):
        molvak.review([folder / "line1.shot1.dat.phase_shift.csv"], open_browser=False,
                      block=False)


# --------------------------------------------------------------------------
# careless and hostile use


def raw(server, data, timeout=10.0):
    """The status line the server answers a raw request with ('' if it
    closed the connection without answering)."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=timeout) as s:
        try:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass            # answered (503) and closed before the request was sent
        answer = b""
        try:
            while chunk := s.recv(65536):
                answer += chunk
        except ConnectionResetError:
            pass
    return answer.split(b"\r\n", 1)[0].decode()


def post(server, item, body: bytes):
    return (f"POST /api/picks?id={item} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
            f"X-Molvak-Token: {server.token}\r\nContent-Type: application/json\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body


def test_reviewed_files_cannot_be_another_images_picks(tmp_path):
    _, image = synthetic_image(velocities=(50, 800, 4))
    curve = image.pick(80, 600).select(fmin=10, fmax=30)
    # in memory: refused before anything is written, naming both
    with pytest.raises(ValueError, match=r"images 'line' and line\.reviewed"):
        molvak.review({"line": image, "line.reviewed": (image, curve)}, out=tmp_path / "m",
                      block=False, open_browser=False)
    assert not (tmp_path / "m").exists() or not list((tmp_path / "m").iterdir())
    # on disk: the server refuses the folder in one line naming both files
    make_folder(tmp_path / "d", n=1)
    stem = tmp_path / "d" / "line1.shot1.dat.phase_shift"
    _data.save_image(Path(f"{stem}.reviewed.npz"), image)
    curve.to_csv(Path(f"{stem}.reviewed.csv"))
    before = Path(f"{stem}.reviewed.csv").read_bytes()
    with pytest.raises(FileExistsError, match=r"phase_shift\.npz and line1\.shot1\.dat\."
                                              r"phase_shift\.reviewed\.npz"):
        ReviewServer(tmp_path / "d")
    assert Path(f"{stem}.reviewed.csv").read_bytes() == before


def test_links_leading_out_are_not_read(tmp_path):
    outside = tmp_path / "outside"
    make_folder(outside, n=1, extra=True)
    secret = outside / "line1.shot1.dat.phase_shift.csv"
    results = tmp_path / "results"
    make_folder(results, n=2)
    (results / "line1.shot1.dat.phase_shift.csv").unlink()
    (results / "line1.shot1.dat.phase_shift.csv").symlink_to(secret)
    with ReviewServer(results).start() as s:
        status, body = request(s, "/api/picks?id=line1.shot1.dat.phase_shift")
        assert status == 403 and b"auto 0" not in body
        # an image replaced by a link after the folder was scanned
        image = results / "line1.shot2.dat.phase_shift.npz"
        image.unlink()
        image.symlink_to(outside / "line1.shot1.dat.phase_shift.npz")
        assert request(s, "/api/image?id=line1.shot2.dat.phase_shift")[0] == 403
        assert request(s, "/api/stats")[0] == 200


@pytest.mark.parametrize("change, status", [
    ({"extra": ["too_short"], "rows_extra": {"too_short": "abc"}}, 422),
    ({"extra": "ab"}, 400),
    ({"extra": 5}, 400),
    ({"extra": [1]}, 400),
    ({"extra": ["note"], "rows_extra": [1]}, 400),
    ({"extra": ["velocity"]}, 400),
    ({"extra": ["note"], "rows_extra": {"note": {"a": 1}}}, 422),
])
def test_saves_molvak_could_not_read_back_are_refused(server, folder, change, status):
    item = "line1.shot1.dat.phase_shift"
    row = {"frequency": 10.0, "velocity": 300.0, "valid": 1, "mode": 0}
    if "rows_extra" in change:
        row["extra"] = change["rows_extra"]
    body = {"rows": [row], "extra": change["extra"], "version": None}
    got, text = request(server, f"/api/picks?id={item}", method="POST", body=body, header=True)
    assert got == status and json.loads(text)["error"]
    assert not (folder / f"{item}.reviewed.csv").exists()
    assert request(server, f"/api/picks?id={item}")[0] == 200


@pytest.mark.parametrize("body", [
    b'{"rows": [{"frequency": 10, "velocity": 300, "mode": Infinity}], "version": null}',
    b'{"rows": [{"frequency": NaN, "velocity": 300}], "version": null}',
    b'{"rows": [], "extra": 5, "version": null}',
    b'{"rows": [], "extra": [1], "version": null}',
    b'{"rows": [{"frequency": 10, "velocity": 300, "extra": [1]}], "extra": ["a"]}',
    b'[' * 100_000,
    b'{"rows": [], "version": 5}',
    b'\xff\xfe',
])
def test_malformed_saves_are_answered_400(shared, body):
    assert raw(shared, post(shared, "line1.shot1.dat.phase_shift", body)).endswith(
        "400 Bad Request")


def test_stalled_clients_time_out_and_threads_are_bounded(folder, monkeypatch):
    import threading
    import time

    from molvak._review import _server
    monkeypatch.setattr(_server._Handler, "timeout", 0.5)
    monkeypatch.setattr(_server, "MAX_THREADS", 4)
    with ReviewServer(folder).start() as s:
        # a body shorter than its Content-Length: answered once the client is silent
        head = post(s, "line1.shot1.dat.phase_shift", b"{}").replace(
            b"Content-Length: 2", b"Content-Length: 100")
        with socket.create_connection(("127.0.0.1", s.port), timeout=10) as c:
            c.sendall(head)
            assert c.recv(4096).startswith(b"HTTP/1.1 408")
        idle = [socket.create_connection(("127.0.0.1", s.port), timeout=10) for _ in range(8)]
        try:
            time.sleep(0.2)
            serving = [t for t in threading.enumerate() if "process_request" in t.name]
            assert len(serving) <= 4
            # past the bound a connection is answered 503 at once
            assert raw(s, b"GET / HTTP/1.1\r\n\r\n").endswith("503 Service Unavailable")
            # the stalled ones are closed after the timeout
            for c in idle[:4]:
                c.settimeout(5)
                assert c.recv(4096) == b""
        finally:
            for c in idle:
                c.close()
        assert request(s, "/api/items")[0] == 200


def test_image_files_in_far_apart_folders_are_looked_at_alone(tmp_path, monkeypatch):
    from molvak._review import _server
    make_folder(tmp_path / "a" / "x", n=1)
    make_folder(tmp_path / "b", n=1)
    files = [tmp_path / "a" / "x" / "line1.shot1.dat.phase_shift.npz",
             tmp_path / "b" / "line1.shot1.dat.phase_shift.npz"]
    (tmp_path / "a" / "other.npz").write_bytes(b"PK")

    def no_walk(*args, **kwargs):
        raise AssertionError("the whole tree is walked")
    monkeypatch.setattr(_server.os, "walk", no_walk)
    with molvak.review([str(f) for f in files], open_browser=False, block=False) as session:
        assert sorted(session.curves()) == ["a/x/line1.shot1.dat.phase_shift",
                                            "b/line1.shot1.dat.phase_shift"]
