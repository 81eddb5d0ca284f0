"""Results folders for the review tests: synthetic images with a known curve."""
import dataclasses
import socket
import time
from pathlib import Path

import numpy as np

import molvak
from molvak import synthetic
from molvak._review import _data


def wait_for(d, script, timeout=20.0, poll=0.05):
    """Poll a JavaScript expression in the browser `d` until it is truthy;
    return its value."""
    end = time.monotonic() + timeout
    while True:
        value = d.execute_script(f"return {script};")
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"the page never got {script!r}")
        time.sleep(poll)


def synthetic_image(seed=0, velocities=(50, 800, 1)):
    """A phase-shift image of the demo gather: (gather, image)."""
    g = synthetic.default_gather(seed=seed)
    return g, molvak.phase_shift(g.data, g.offsets, g.dt, velocities=velocities,
                                 fmin=2, fmax=80, df=0.5)


def make_folder(root, n=3, fmin=10.0, fmax=40.0, extra=True):
    """n images `line1.shot<k>.dat.phase_shift` with their picks between fmin
    and fmax Hz (an extra text column `note` when asked); returns
    [(stem path, gather, image)]."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    out = []
    for k in range(n):
        g, image = synthetic_image(seed=k)
        stem = root / f"line1.shot{k + 1}.dat.phase_shift"
        _data.save_image(Path(f"{stem}.npz"), image)
        curve = image.pick(80, 600).select(fmin=fmin, fmax=fmax)
        if extra:
            curve = dataclasses.replace(curve, extra={
                "note": np.array([f"auto {j}" for j in range(len(curve))])})
        curve.to_csv(Path(f"{stem}.csv"))
        out.append((stem, g, image))
    return out


def read_csv(path):
    """(header, rows as lists of str) of a CSV, read without the package."""
    lines = Path(path).read_text().splitlines()
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


def ridge(image, f):
    """The parabola-refined peak velocity of the image at frequency f."""
    curve = image.pick(80, 600)
    k = int(np.argmin(np.abs(curve.frequency - f)))
    assert curve.frequency[k] == f
    return float(curve.velocity[k])


def refused(host, port, family=socket.AF_INET):
    """True if nothing accepts a TCP connection at (host, port)."""
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(2.0)
        try:
            s.connect((host, port))
        except (ConnectionRefusedError, OSError):
            return True
    return False
