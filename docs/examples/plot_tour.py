"""
A tour of the package
=====================

Image a synthetic shot gather by phase shift and pick its dispersion curve.
"""
import molvak
from molvak import synthetic

g = synthetic.default_gather()
image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(50, 800, 1),
                           fmin=2, fmax=100, df=0.5)
curve = image.pick(vmin=80, vmax=600)
image.plot()
