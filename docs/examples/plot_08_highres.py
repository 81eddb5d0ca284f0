"""
High-resolution estimators
==========================

Slant stack, phase shift and beamforming cannot separate two modes whose
phase velocities differ by less than about c / (f L), L the length of the
line. :func:`molvak.hr_radon` (the sparse linear Radon transform),
:func:`molvak.capon` (minimum-variance beamforming, here with spatial
smoothing over subarrays) and :func:`molvak.fk` (frequency-wavenumber power
of equally spaced traces) take the same arguments and return a
:class:`molvak.DispersionImage`. Here on the three-mode synthetic gather.
"""
import matplotlib.pyplot as plt

import molvak
from molvak import synthetic

g = synthetic.multimode_gather()        # 48 channels at 1 m, three modes
grid = dict(velocities=(80, 1000, 2), fmin=5, fmax=80, df=0.5)

images = {
    "beamforming": molvak.fdbf(g.data, g.offsets, g.dt, **grid),
    "high-resolution Radon": molvak.hr_radon(g.data, g.offsets, g.dt, iterations=8, **grid),
    "Capon, subarrays of 40": molvak.capon(g.data, g.offsets, g.dt, steering="plane",
                                           weighting="none", loading=0.05, subarray=40,
                                           **grid),
    "f-k": molvak.fk(g.data, g.offsets, g.dt, oversample=8, **grid),
}
fig, axes = plt.subplots(2, 2, figsize=(12, 8.4), layout="constrained", sharex=True,
                         sharey=True)
for ax, (name, image) in zip(axes.flat, images.items()):
    image.plot(ax, picks=False, truth=g.modes[0][0], title=name)
