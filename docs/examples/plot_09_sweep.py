"""
Sub-array sweeps and a pseudo-section
=====================================

A long line is imaged as many overlapping windows of neighbouring traces;
the phase velocity at chosen wavelengths against window midpoint gives a 2D
MASW pseudo-section. :func:`molvak.sweep` images every window at once, each
image equal to imaging that window on its own.

The line: 400 receivers every metre, a shot 10 m before the first; left of
200 m and right of it, the fundamental mode of two layered models (thickness
m, vp and vs m/s, density; disba through the ``model`` extra), every
frequency travelling with the phase delay it gathers along its path.
"""
import numpy as np

import molvak
from molvak import synthetic

stiff = [[4.0, 600.0, 180.0, 1.8], [10.0, 1200.0, 350.0, 1.9], [0.0, 2000.0, 600.0, 2.0]]
soft = [[8.0, 500.0, 130.0, 1.8], [10.0, 1000.0, 280.0, 1.9], [0.0, 2000.0, 600.0, 2.0]]
f = np.linspace(1.0, 100.0, 397)
modes = [molvak.theoretical_modes(model, f, modes=1)[0] for model in (stiff, soft)]
ground = synthetic.LateralGround((200.0,), modes)
line = synthetic.make_line(np.arange(400.0), -10.0, 2e-3, 2048, ground, 25.0, seed=3).gather

result = molvak.sweep(line, window=48, step=4, method="phase_shift",   # or "fdbf", "slant_stack"
                      velocities=(80, 700, 2), fmin=3, fmax=90, df=0.25)
print(len(result.midpoints), "windows, midpoints", result.midpoints[0], "to",
      result.midpoints[-1], "m")

# %%
# Two windows' images, one on each ground.
import matplotlib.pyplot as plt  # noqa: E402

fig, axes = plt.subplots(1, 2, figsize=(12, 4.2), layout="constrained", sharey=True)
for ax, k in zip(axes, (10, 70)):
    result.images[k].plot(ax, title=f"window at {result.midpoints[k]:g} m")

# %%
# The pseudo-section: every window's valid picks read at 16 wavelengths;
# pseudo-depth is wavelength / 2 (``depth_factor``).
section = result.pseudo_section(np.geomspace(3.0, 24.0, 16), depth_factor=2)
print(section.velocity.shape, section.convention)
ax = section.plot()
