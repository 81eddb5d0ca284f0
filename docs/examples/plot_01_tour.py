"""
A tour of the package
=====================

``import molvak`` gives a checked, typed interface over the native module.
Offsets are in metres and times in seconds, so frequencies come out in Hz and
velocities in m/s. Here a synthetic shot gather with a known dispersion curve
is imaged by the phase-shift method, its curve picked, written and drawn.
"""
import os
import tempfile

import numpy as np

import molvak
from molvak import synthetic

g = synthetic.default_gather()           # 48 channels, known curve g.velocity(f)
print(g.data.shape, g.dt, g.offsets[:3])

image = molvak.phase_shift(g.data, g.offsets, g.dt,
                           velocities=(50, 800, 1),   # (vmin, vmax, step) or an array
                           fmin=2, fmax=100, df=0.5,  # band and frequency step (Hz)
                           workers=2)                 # threads over velocity chunks
print(image.frequency.shape, image.velocity.shape, image.spectrum.shape)
power = image.normalized("frequency")                 # also "global", "none"

# %%
# Picking: the peak per frequency, refined between grid velocities by a
# parabola. Every pick carries flags; ``curve.valid`` is True where none is
# raised.
curve = image.pick(vmin=80, vmax=600)
trusted = curve.select(wavelengths=molvak.array_limits(g.offsets))
error = np.abs(trusted.velocity / g.velocity(trusted.frequency) - 1)
print(f"{len(trusted)} picks within the array's limits, median error {100 * np.median(error):.2f} %")

# %%
# Files appear complete or not at all, and never replace an existing file
# unless asked (``overwrite=True``).
folder = tempfile.mkdtemp()
trusted.to_csv(os.path.join(folder, "curve.csv"))
image.save(os.path.join(folder, "phase_shift.npz"))
again = molvak.DispersionImage.load(os.path.join(folder, "phase_shift.npz"))
assert np.array_equal(again.spectrum, image.spectrum)

# %%
# The picture: normalised power at each frequency, the picks, the true curve
# (dashed) and the wavelength limits of the array (dotted).
ax = image.plot(truth=g.velocity)
