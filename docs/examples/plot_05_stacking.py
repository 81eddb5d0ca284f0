"""
Stacking shots
==============

Repeated shots improve the image in two ways: the gathers of one source
position stacked in time (:func:`molvak.stack_gathers`) or their images
stacked (:func:`molvak.stack`, images on the same grids). Here five noisy
synthetic shots.
"""
import matplotlib.pyplot as plt
import numpy as np

import molvak
from molvak import synthetic

grid = dict(velocities=(50, 800, 1), fmin=2, fmax=100, df=0.5)
shots = [synthetic.default_gather(seed=k, noise=0.5) for k in range(5)]
gathers = [molvak.Gather(s.data, offsets=s.offsets, dt=s.dt) for s in shots]
truth = shots[0].velocity

one = molvak.phase_shift(shots[0].data, shots[0].offsets, shots[0].dt, **grid)
images = [molvak.phase_shift(s.data, s.offsets, s.dt, **grid) for s in shots]
stacked = molvak.stack(images)                       # the images averaged
in_time = molvak.stack_gathers(gathers).image("phase_shift", **grid)   # the gathers averaged

fig, axes = plt.subplots(1, 3, figsize=(13, 4.2), layout="constrained", sharey=True)
for ax, (name, image) in zip(axes, [("one shot", one), ("five images stacked", stacked),
                                    ("five gathers stacked in time", in_time)]):
    image.plot(ax, truth=truth, title=name)
    curve = image.pick(vmin=80, vmax=600).select(valid=True)
    error = np.abs(curve.velocity / truth(curve.frequency) - 1)
    print(f"{name}: {len(curve)} valid picks, median error {100 * np.median(error):.2f} %")
