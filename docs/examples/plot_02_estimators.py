"""
Phase shift, beamforming and slant stack
========================================

The three classical estimators on one synthetic gather, drawn side by side,
and the tau-p panel the slant stack starts from. Each returns a
:class:`molvak.DispersionImage` on the same grids, so their picks compare
directly with each other and with the true curve.
"""
import matplotlib.pyplot as plt
import numpy as np

import molvak
from molvak import synthetic

g = synthetic.default_gather()
grid = dict(velocities=(50, 800, 1), fmin=2, fmax=100, df=0.5)

images = {
    "phase shift": molvak.phase_shift(g.data, g.offsets, g.dt, **grid),
    "beamforming": molvak.fdbf(g.data, g.offsets, g.dt, steering="cylindrical",
                               weighting="sqrt", **grid),
    "slant stack": molvak.slant_stack(g.data, g.offsets, g.dt, **grid),
}
fig, axes = plt.subplots(1, 3, figsize=(13, 4.2), layout="constrained", sharey=True)
for ax, (name, image) in zip(axes, images.items()):
    image.plot(ax, truth=g.velocity, title=name)
    curve = image.pick(vmin=80, vmax=600).select(valid=True)
    error = np.abs(curve.velocity / g.velocity(curve.frequency) - 1)
    print(f"{name}: {len(curve)} valid picks, median error {100 * np.median(error):.2f} %")

# %%
# The tau-p panel: intercept time against slowness (s/m), the linear Radon
# transform of the gather.
panel = molvak.tau_p(g.data, g.offsets, g.dt, slowness=(0, 0.01, 1e-4))
fig, ax = plt.subplots(figsize=(6, 4.5), layout="constrained")
ax.pcolormesh(panel.slowness * 1e3, panel.tau, np.abs(panel.values), shading="nearest",
              rasterized=True)
ax.set_xlabel("slowness (s/km)")
ax.set_ylabel("intercept time (s)")
ax.set_ylim(0.5, 0.0)
ax.set_title("tau-p panel, |amplitude|")
