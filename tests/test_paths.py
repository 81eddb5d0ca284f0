"""One path from a gather to its image, headers kept on the way, and a
package whose modules import downward only."""
import ast
import sys
from pathlib import Path

import numpy as np
import pytest

import molvak
from molvak import synthetic
from molvak.cli import main

GAUGE = 6.0
GRID = dict(velocities=(80, 600, 2), fmin=5, fmax=80)


def _das_like(seed):
    """The demo shot with a fibre's gauge length in its headers."""
    s = synthetic.default_gather(seed=seed)
    return molvak.Gather(s.data, offsets=s.offsets, dt=s.dt,
                         headers={"gauge_length": GAUGE, "quantity": "strain_rate"})


def test_the_gauge_length_reaches_the_flags_on_every_path(tmp_path):
    """The gauge flag is raised on the picks shorter than the gauge length
    whichever way the gather is imaged: Gather.image, process (threads and
    an executor), the command line with one worker and with two, and a
    sweep. The command line reads the gathers back from files that keep
    their headers."""
    g = _das_like(1)
    api = g.image("phase_shift", **GRID).pick()
    expected = api.wavelength < GAUGE
    assert expected.any() and (~expected).any()
    np.testing.assert_array_equal(api.gauge, expected)
    for image in molvak.process([g, _das_like(2)], "phase_shift", workers=2, **GRID):
        assert image.params["gauge_length"] == GAUGE
        curve = image.pick()
        np.testing.assert_array_equal(curve.gauge, curve.wavelength < GAUGE)

    g.save(tmp_path / "a.npz")
    _das_like(2).save(tmp_path / "b.npz")
    for workers in (1, 2):
        out = tmp_path / f"w{workers}"
        assert main(["image", str(tmp_path / "a.npz"), str(tmp_path / "b.npz"), "--out",
                     str(out), "--workers", str(workers), "--no-plot", "--quiet",
                     "--method", "phase_shift", "--vmin", "80", "--vmax", "600", "--dv", "2",
                     "--fmin", "5", "--fmax", "80"]) == 0
        for name in ("a", "b"):
            [curve] = molvak.read_curves(out / f"{name}.npz.phase_shift.csv")
            assert curve.gauge.any(), (workers, name)
            np.testing.assert_array_equal(curve.gauge, curve.wavelength < GAUGE)
            image = molvak.DispersionImage.load(out / f"{name}.npz.phase_shift.npz")
            assert image.params["gauge_length"] == GAUGE

    result = molvak.sweep(g, window=24, step=12, method="phase_shift", **GRID)
    for image in result.images:
        assert image.params["gauge_length"] == GAUGE
        curve = image.pick()
        np.testing.assert_array_equal(curve.gauge, curve.wavelength < GAUGE)


def test_a_saved_gather_keeps_its_headers(tmp_path):
    """Gather.save writes every header and molvak.read gives them back
    (but "path" and "format", which name the file read): nested dicts and
    lists of trace headers, numbers, None, bytes and arrays; a damaged
    headers member is refused naming the file."""
    s = synthetic.default_gather()
    headers = {"gauge_length": 6.5, "start_time": "2026-01-02T03:04:05.000000006",
               "quantity": "strain_rate", "units": None, "processing": ["detrend", "trim"],
               "traces": [{"channel": k, "raw": b"\x00\xff"} for k in range(3)],
               "calibration": np.array([1.0, 2.5]), "path": "/elsewhere/x.h5",
               "format": "DASDAE"}
    g = molvak.Gather(s.data, offsets=s.offsets, dt=s.dt, headers=headers)
    g.save(tmp_path / "g.npz")
    back = molvak.read(tmp_path / "g.npz")
    assert back.headers["path"] == str(tmp_path / "g.npz")
    assert back.headers["format"] != "DASDAE"
    for key in ("gauge_length", "start_time", "quantity", "units", "processing", "traces"):
        assert back.headers[key] == headers[key], key
    np.testing.assert_array_equal(back.headers["calibration"], headers["calibration"])
    np.testing.assert_array_equal(back.data, g.data)
    curve = back.image("phase_shift", **GRID).pick()
    np.testing.assert_array_equal(curve.gauge, curve.wavelength < 6.5)

    bad = tmp_path / "bad.npz"
    np.savez(bad, data=s.data, offsets=s.offsets, dt=s.dt,
             headers=np.frombuffer(b"[1, 2", dtype=np.uint8))
    with pytest.raises(ValueError, match=r"bad\.npz: the array 'headers' is not JSON"):
        molvak.read(bad)


# --------------------------------------------------------------------------
# the layers of the package

PACKAGE = Path(molvak.__file__).resolve().parent
# what a module may import inside a function: the optional dependencies,
# loaded only when the feature that needs them runs
OPTIONAL = {"matplotlib", "obspy", "dascore", "disba", "dask", "distributed", "h5py", "scipy"}


def _modules():
    out = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts = parts[:-1]
        out[".".join(parts)] = path
    return out


def _targets(module, node, is_package, known):
    """The package modules an import statement loads (a submodule loads its
    parent packages too)."""
    if isinstance(node, ast.Import):
        names = [a.name for a in node.names]
    else:
        base = node.module or ""
        if node.level:
            here = module.split(".")
            here = here if is_package else here[:-1]
            here = here[:len(here) - node.level + 1]
            base = ".".join(here + ([node.module] if node.module else []))
        names = [f"{base}.{a.name}" if f"{base}.{a.name}" in known else base
                 for a in node.names]
    out = set()
    for name in names:
        while name and name not in known:
            name = name.rpartition(".")[0]
        # a package's own modules are loaded while it is, not above it
        while name and name != "molvak" and name != module and \
                not module.startswith(name + "."):
            out.add(name)
            name = name.rpartition(".")[0]
    return out


def test_the_package_imports_downward_only():
    """No import cycle among the package's modules, counting the imports
    made inside functions, and no import inside a function but of an
    optional dependency."""
    known = _modules()
    graph = {name: set() for name in known}
    inside = []
    for name, path in known.items():
        tree = ast.parse(path.read_text(encoding="utf-8"))
        nested = {id(n) for f in ast.walk(tree) if isinstance(f, (ast.FunctionDef,
                  ast.AsyncFunctionDef)) for n in ast.walk(f)}
        # names for the type checker alone are never imported at run time
        typing_only = {id(n) for f in ast.walk(tree) if isinstance(f, ast.If)
                       and "TYPE_CHECKING" in ast.unparse(f.test) for n in ast.walk(f)}
        for node in ast.walk(tree):
            if not isinstance(node, (ast.Import, ast.ImportFrom)) or id(node) in typing_only:
                continue
            if id(node) in nested:
                top = (node.module or "") if isinstance(node, ast.ImportFrom) and \
                    not node.level else (node.names[0].name if isinstance(node, ast.Import)
                                         else "molvak")
                if top.split(".")[0] not in OPTIONAL:
                    inside.append(f"{name}:{node.lineno}")
            graph[name] |= _targets(name, node, path.name == "__init__.py", known)
    assert not inside, f"imports inside functions of what is not optional: {inside}"

    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10000))
    state: dict = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                cycle = trail[trail.index(nxt):] + [nxt]
                raise AssertionError("import cycle: " + " -> ".join(cycle))
            if nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for start in sorted(graph):
        if start not in state:
            visit(start, [start])
