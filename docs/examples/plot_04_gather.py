"""
Preparing a gather
==================

:class:`molvak.Gather` holds a record with its geometry: ``data`` (traces x
samples), ``offsets``, ``dt``, ``delay`` (the time of the first sample after
the shot), ``source``, ``receivers`` and ``headers``. Its methods return new
gathers: trim, detrend, taper, mute along lines ``t0 + x / v`` and select
channels, so a window can be chosen before imaging.
"""
import matplotlib.pyplot as plt

import molvak
from molvak import synthetic

s = synthetic.default_gather()
g = molvak.Gather(s.data, offsets=s.offsets, dt=s.dt)
print(g)

prepared = (g.trim(0.0, 0.6).detrend().taper(0.05)
            .mute(before=(0.0, 600.0), after=(0.1, 80.0), taper=0.02))
near = prepared.select(max_offset=30.0)
print(prepared.shape, near.shape)

fig, (left, right) = plt.subplots(1, 2, figsize=(12, 4.6), layout="constrained")
g.plot(left, trim=(0.0, 0.6), mute=((0.0, 600.0), (0.1, 80.0)),
       title="the record, with the mute lines")
prepared.plot(right, kind="image", title="trimmed, detrended, tapered and muted")

# %%
# The prepared gather is imaged through the estimator table.
image = prepared.image("phase_shift", velocities=(50, 800, 1), fmin=2, fmax=100, df=0.5)
ax = image.plot(truth=s.velocity)
