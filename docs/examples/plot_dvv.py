"""
Velocity change between two noise records
=========================================

Two minutes of synthetic ambient noise along 48 channels, then two more
minutes with independent sources after every velocity of the ground rose by
0.4 %: virtual shot gathers from the first channel, and dv/v between them by
stretching and by the moving-window cross-spectral method, trace by trace
and over the gather.
"""
import matplotlib.pyplot as plt

import molvak
from molvak import synthetic

geometry = dict(channels=48, spacing=2.0)
before = synthetic.ambient_noise(120.0, seed=20, **geometry)
after = synthetic.ambient_noise(120.0, seed=21, change=lambda t: 1.004, **geometry)
options = dict(max_lag=1.5, whiten=(3.0, 40.0))
reference = molvak.virtual_gather(before.gather(), 0, 4.0, **options)
current = molvak.virtual_gather(after.gather(), 0, 4.0, **options)

fig, ax = plt.subplots(figsize=(7, 4))
for method, marker in (("stretching", "o"), ("mwcs", "s")):
    change = molvak.dvv(reference, current, method=method, lags=(0.05, 1.0), fmin=5, fmax=30)
    print(change)
    ax.errorbar(reference.offsets, 100 * change.dvv, yerr=100 * change.error, fmt=marker,
                ms=3, label=f"{method}: {100 * change.combined:.3f} % over the gather")
ax.axhline(0.4, color="k", ls="--", lw=1, label="true 0.4 %")
ax.set_ylim(-1, 2)
ax.set_xlabel("offset from the virtual source (m)")
ax.set_ylabel("dv/v (%)")
ax.legend(fontsize="small")
plt.show()
