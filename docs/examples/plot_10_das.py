"""
DAS: a virtual shot gather from ambient noise
=============================================

A fibre records for hours without a controlled source. Cross-correlating
windows of ambient noise with a virtual source channel and stacking them
gives a virtual shot gather (:func:`molvak.virtual_gather`), imaged like any
other. The synthetic record: noise sources beyond both ends of a straight
line, one mode of known phase velocity, a gauge length of 6 m.
"""
import matplotlib.pyplot as plt
import numpy as np

import molvak
from molvak import synthetic

noise = synthetic.ambient_noise(120.0, channels=100, gauge_length=6.0, seed=1)
record = noise.gather()                 # in memory; molvak.read and molvak.windows read files
print(record)

vg = molvak.virtual_gather(record, source=0, length=10.0, step=5.0, max_lag=3.0,
                           whiten=(1.0, 2.0, 55.0, 60.0),  # band with sin^2 ramps (Hz)
                           stacking="pws", power=2.0)      # phase-weighted stack
print(vg.offsets[:3], vg.headers["windows"], "windows stacked")

fig, ax = plt.subplots(figsize=(7, 4.6), layout="constrained")
vg.plot(ax, kind="image", title="virtual shot gather, source on channel 0")

# %%
# Its phase-shift image and picks. Waves shorter than the gauge length carry
# the ``gauge`` flag.
image = vg.image("phase_shift", velocities=(50, 800, 1), fmin=1, fmax=60)
picks = image.pick(60, 800)
ok = picks.valid
error = np.abs(picks.velocity[ok] / noise.true_velocity(picks.frequency[ok]) - 1)
print(f"{int(ok.sum())} valid picks, median error {100 * np.median(error):.2f} %; "
      f"gauge length {image.params['gauge_length']} m")
ax = image.plot(truth=noise.true_velocity)
