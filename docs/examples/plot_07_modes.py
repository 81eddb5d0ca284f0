"""
Modes, statistics and the hand-off to inversion
===============================================

``image.pick(modes=k)`` follows k ridges across frequency and names them from
the slowest up, mode 0 first. Curves of several shots become one curve with
its scatter through :func:`molvak.statistics` (per bin) and
:func:`molvak.combine` (logarithmic wavelength bins, a bootstrap interval of
the mean), written for an inversion by ``to_dinver``.
"""
import os
import tempfile

import numpy as np

import molvak
from molvak import synthetic

g = synthetic.multimode_gather()        # three modes; the energy moves up them with frequency
image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(80, 1000, 2),
                           fmin=3, fmax=90, df=0.5)
modes = image.pick(modes=3)             # [mode 0, mode 1, mode 2]
for m, (curve, (truth, _)) in enumerate(zip(modes, g.modes)):
    error = np.median(np.abs(curve.velocity / truth(curve.frequency) - 1))
    print(f"mode {m}: {len(curve)} picks, {curve.frequency.min():g}-{curve.frequency.max():g} Hz, "
          f"median error {100 * error:.2f} %")
ax = image.plot(picks=modes)

# %%
# A layered model's theoretical modes (disba, the ``model`` extra) drawn over
# the same image: thickness (m), vp, vs (m/s), density; the last row is the
# half-space.
model = np.array([[4.0, 500.0, 200.0, 1900.0],
                  [10.0, 900.0, 380.0, 2000.0],
                  [0.0, 1600.0, 700.0, 2100.0]])
theory = molvak.theoretical_modes(model, np.arange(5.0, 90.0, 0.5), modes=3)
ax = image.plot(picks=modes, model=model, title="picks and a model's modes")

# %%
# Ten shots' fundamental-mode curves combined into a site curve with its
# uncertainty, and written for an inversion.
curves = []
for seed in range(10):
    shot = synthetic.default_gather(seed=seed, noise=0.3)
    shot_image = molvak.phase_shift(shot.data, shot.offsets, shot.dt,
                                    velocities=(50, 800, 1), fmin=2, fmax=100, df=0.5)
    curves.append(shot_image.pick(vmin=80, vmax=600))
per_frequency = molvak.statistics(curves, "frequency", bins=40)
site = molvak.combine(curves, ratio=2 ** (1 / 6), n_points=30)
folder = tempfile.mkdtemp()
site.to_dinver(os.path.join(folder, "site.txt"))   # frequency, slowness, log-normal std
again = molvak.UncertainCurve.from_dinver(os.path.join(folder, "site.txt"))
ax = site.plot(curves=curves)
