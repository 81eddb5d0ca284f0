"""
DAS time-lapse
==============

:func:`molvak.timelapse` makes a virtual gather, an image and picks for every
block of time in one pass over the record. Here three minutes of synthetic
noise whose velocities rise by 4 % after the second minute.
"""
import molvak
from molvak import synthetic

rec = synthetic.ambient_noise(180.0, channels=100, drift=lambda t: 1.0 + 0.04 * (t >= 120))
tl = molvak.timelapse(rec.gather(), 0, 10.0, "1min", step=5.0, max_lag=3.0,
                      velocities=(60, 900, 1), fmin=2, fmax=50, vmin=60)
print(tl.frequency.shape, tl.velocity.shape)   # (frequencies,), (blocks, frequencies)
dvv = tl.relative(tl.velocity[0])               # dv/v against the first block
fig = tl.plot(truth=rec.true_velocity)
