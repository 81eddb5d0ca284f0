"""
Where to trust the picks
========================

Every pick carries flags, and ``curve.valid`` is True where none is raised:
``too_short`` and ``too_long`` (the wavelength lies outside
:func:`molvak.array_limits`: from one receiver spacing, below which the line
is spatially aliased, to 0.6 of the aperture), ``aliased``, ``near_field``
(the source is closer to the middle of the line than half a wavelength),
``gauge`` (DAS: shorter than the gauge length), ``at_edge`` (on the edge of
the velocity window) and ``jump`` (off the ridge the curve follows).
"""
import matplotlib.pyplot as plt
import numpy as np

import molvak
from molvak import synthetic

g = synthetic.default_gather(noise=0.05)
image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(50, 800, 1),
                           fmin=2, fmax=100, df=0.5)
curve = image.pick(vmin=80, vmax=600)
print("array limits (m):", molvak.array_limits(g.offsets))
print("classical, stricter limits (m):", molvak.array_limits(g.offsets, shortest=2, longest=0.5))
for flag in ("too_short", "too_long", "aliased", "near_field", "at_edge", "jump"):
    print(f"{flag:>10}: {int(np.count_nonzero(getattr(curve, flag)))} picks")
print(f"valid: {int(np.count_nonzero(curve.valid))} of {len(curve)}")

# %%
# The valid picks against the true curve, the flagged ones hollow.
fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.2), layout="constrained")
image.plot(left, truth=g.velocity, title="picks over the image (hollow: flagged)")
ok = curve.valid
error = 100 * (curve.velocity / g.velocity(curve.frequency) - 1)
right.plot(curve.frequency[ok], error[ok], "o", ms=3, label="valid")
right.plot(curve.frequency[~ok], error[~ok], "o", ms=3, mfc="none", label="flagged")
right.axhline(0.0, color="k", lw=0.8)
right.set_ylim(-10, 10)
right.set_xlabel("frequency (Hz)")
right.set_ylabel("pick error against the true curve (%)")
right.legend()
