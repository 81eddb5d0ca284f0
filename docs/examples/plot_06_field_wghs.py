"""
Field records: the WGHS survey
==============================

The WGHS survey (Wellington, New Zealand; Vantassel and Cox, 2022, J.
Seismol., doi:10.1007/s10950-021-10035-y): 24 geophones every 2 m, five
sledgehammer shots at each of six source positions, SEG-2 records starting
0.5 s before the shot. As in the published processing, each position's five
shots are stacked in time, detrended, trimmed to 0-0.5 s after the shot and
imaged by cylindrical, sqrt-weighted beamforming; the valid picks of the six
positions combine into one site curve with its uncertainty.

The records are read where they are installed (beside the repository in
``shared/data/field``, or where ``MOLVAK_FIELD_DATA`` points; SEG-2 needs
the ``io`` extra, ObsPy). Elsewhere this example images synthetic shots at
six positions instead, with the same calls.
"""
import os
from pathlib import Path

import numpy as np

import molvak
from molvak import synthetic

here = Path(globals().get("__file__", "plot_06_field_wghs.py")).resolve().parent
field = Path(os.environ.get("MOLVAK_FIELD_DATA", here.parents[1].parent / "shared/data/field"))
shots_folder = field / "wghs" / "shots"
try:
    import obspy  # noqa: F401  (SEG-2 goes through ObsPy)
    have_field = shots_folder.is_dir()
except ImportError:
    have_field = False

if have_field:
    shots = [molvak.read(shots_folder / f"{k}.dat") for k in [*range(6, 21), *range(26, 41)]]
else:
    print(f"WGHS records not found at {shots_folder}: synthetic shots instead")
    shots = []
    for p, position in enumerate((-5.0, -10.0, -20.0, 51.0, 56.0, 66.0)):
        receivers = np.arange(24) * 2.0
        for k in range(5):
            s = synthetic.make_gather(np.abs(receivers - position), 0.5e-3, 3000,
                                      synthetic.ExponentialCurve(), 30.0, delay=0.7, noise=0.3,
                                      seed=10 * p + k)
            shots.append(molvak.Gather(s.data, dt=s.dt, source=position, receivers=receivers,
                                       delay=-0.5))

groups = molvak.group_by_source(shots)                   # six source positions
for key, group in groups.items():
    print(f"source at {key[0]:g} m: {len(group)} shots")

# %%
# Stack, prepare and image each source position; pick and combine.
gathers = [molvak.stack_gathers(g).detrend().trim(0.0, 0.5) for g in groups.values()]
images = molvak.process(gathers, "fdbf", velocities=np.linspace(100, 500, 400),
                        fmin=3, fmax=100, df=0.5, steering="cylindrical", weighting="sqrt")
curves = [image.pick() for image in images]              # flagged picks, one per frequency
site = molvak.combine(curves, ratio=2 ** (1 / 6), n_points=40)   # valid picks only
print(f"site curve: {len(site.frequency)} points over "
      f"{site.frequency.min():.1f}-{site.frequency.max():.1f} Hz")

# %%
# One position's image, and the site curve over every position's valid picks.
ax = images[4].plot(title=f"beamforming, source at {list(groups)[4][0]:g} m")

# %%
ax = site.plot(curves=curves)
