"""
Reviewing picks in the browser
==============================

Automatic picks are a first draft: :func:`molvak.review` shows images with
their picks on a local web page, where a person corrects them and saves the
result beside the originals (``<stem>.reviewed.csv``). Images held in memory
are written, with their picks, to a new folder first. ``block=False`` returns
a session at once (here no browser opens: the page's address is printed);
``molvak review FOLDER`` does the same from the command line.
"""
import matplotlib.pyplot as plt

import molvak
from molvak import synthetic

g = synthetic.default_gather()
image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(50, 800, 1), fmin=2, fmax=80)
session = molvak.review({"demo": image}, block=False, open_browser=False)
try:
    curve = session.curves()["demo"]           # mode 0 as saved (no edits here)
finally:
    session.stop()

fig, ax = plt.subplots(figsize=(7, 4.2), layout="constrained")
ok = curve.valid
ax.plot(curve.frequency[ok], curve.velocity[ok], "o", ms=3, label="valid")
ax.plot(curve.frequency[~ok], curve.velocity[~ok], "o", ms=3, mfc="none", label="flagged")
ax.plot(curve.frequency, g.velocity(curve.frequency), "k--", lw=1, label="true curve")
ax.set_xlabel("frequency (Hz)")
ax.set_ylabel("phase velocity (m/s)")
ax.set_title("the picks the review page starts from")
ax.legend()
