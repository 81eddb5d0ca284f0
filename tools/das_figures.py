"""The pictures of the README's DAS section, from the package's own
synthetic records (needs the das and plot extras):

- docs/das_virtual_gather.png: the virtual shot gather of 10 minutes of
  ambient noise (200 channels every 2 m, 250 Hz, DASDAE files), the virtual
  source on the first channel;
- docs/das_phase_shift.png: its phase-shift image, the picks within the
  array's wavelength limits, the true curve;
- docs/das_timelapse.png: picked phase velocities of 5-minute blocks of an
  hour-long record whose velocities swing by 3 %.

Run: .venv/bin/python tools/das_figures.py [--out docs] [--work DIR]
It prints the median error of the picks over the band the array resolves.
"""
from __future__ import annotations

import argparse
import math
import os
import tempfile
from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

import molvak
from molvak import synthetic


def gather_figure(vg: molvak.Gather, path: Path) -> None:
    fig = Figure(figsize=(7.5, 5.0), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    data = vg.data / np.maximum(np.abs(vg.data).max(axis=1, keepdims=True), 1e-300)
    shown = vg.time <= 3.0
    mesh = ax.pcolormesh(vg.offsets, vg.time[shown], data[:, shown].T, shading="nearest",
                         cmap="RdBu_r", vmin=-1, vmax=1, rasterized=True)
    ax.invert_yaxis()
    ax.set_xlabel("offset from the virtual source (m)")
    ax.set_ylabel("lag time (s)")
    ax.set_title(f"Virtual shot gather: {vg.headers['windows']} windows of "
                 f"{vg.headers['window_length']:g} s, folded")
    fig.colorbar(mesh, ax=ax, pad=0.02).set_label("correlation, normalised per channel")
    fig.savefig(path)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=str(Path(__file__).resolve().parents[1] / "docs"))
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    out = Path(args.out)
    work = Path(args.work or tempfile.mkdtemp(prefix="molvak-das-"))

    # passive record: 10 minutes, written as DAS files and read back
    folder = work / "noise"
    truth = synthetic.AmbientNoiseSettings(gauge_length=6.0, seed=0)
    if not folder.is_dir():
        synthetic.write_ambient_noise(folder, 600.0, file_length=60.0, gauge_length=6.0,
                                      seed=0, progress=True)
    vg = molvak.virtual_gather(folder, 0, 20.0, step=10.0, max_lag=4.0, progress=True)
    gather_figure(vg, out / "das_virtual_gather.png")
    image = vg.image("phase_shift", velocities=(50, 800, 0.5), fmin=1.0, fmax=60.0)
    curve = image.pick(60, 800)
    fig = Figure(figsize=(7.5, 5.0), dpi=110, layout="constrained")
    image.plot(fig.add_subplot(), picks=curve, truth=truth.true_velocity,
               title="Phase shift of the virtual gather (10 min of noise)")
    fig.savefig(out / "das_phase_shift.png")
    picks = curve.select(valid=True)
    ok = truth.resolved(picks.frequency)
    error = np.abs(picks.velocity[ok] / truth.true_velocity(picks.frequency[ok]) - 1.0)
    print(f"picks over {picks.frequency[ok].min():.2f}-{picks.frequency[ok].max():.2f} Hz: "
          f"median error {100 * np.median(error):.2f} %, 90th percentile "
          f"{100 * np.percentile(error, 90):.2f} %, largest {100 * error.max():.2f} %")

    # time-lapse: an hour, velocities swinging by 3 % over it
    def drift(t: float) -> float:
        return 1.0 + 0.03 * math.sin(2.0 * math.pi * t / 3600.0)

    rec = synthetic.ambient_noise(3600.0, channels=100, drift=drift, seed=2)
    tl = molvak.timelapse(rec.gather(), 0, 10.0, "5min", step=5.0, max_lag=3.0,
                          velocities=(60, 900, 1), fmin=2, fmax=50, vmin=60, progress=True)
    fig = tl.plot([5.0, 10.0, 20.0, 30.0],
                  truth=lambda f, t: float(rec.true_velocity(np.array([f]), t)[0]))
    fig.savefig(out / "das_timelapse.png")
    tl.to_csv(work / "timelapse.csv", overwrite=True)
    print(f"figures in {out}; time-lapse picks in {work / 'timelapse.csv'}")


if __name__ == "__main__":
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    main()
