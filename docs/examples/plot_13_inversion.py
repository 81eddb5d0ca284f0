"""
Inversion: a Vs profile with its uncertainty
============================================

A 3-layer ground (Vs 200, 380 and 700 m/s; 4 m and 10 m thick), its
fundamental Rayleigh mode at 30 frequencies with 2 % log-normal noise, and
that std given: :func:`molvak.invert` searches by differential evolution,
samples the posterior by parallel-tempering MCMC, and reports the profile's
percentiles, Vs30 with its interval and the fit.
"""
import numpy as np

import molvak
from molvak.layered import LayeredModel, dispersion

truth = LayeredModel([4.0, 10.0], [200.0, 380.0, 700.0], poisson=0.3)
f = np.geomspace(3.0, 60.0, 30)
rng = np.random.default_rng(5)
c = dispersion(truth, f) * np.exp(0.02 * rng.standard_normal(f.size))
curve = molvak.UncertainCurve.from_arrays(f, c, np.full(f.size, 0.02))

result = molvak.invert(curve, layers=3, seed=1)
v30 = result.vs30()
print(result)
print(f"Vs30 {v30.median:.0f} m/s, 90 % interval {v30.low:.0f}-{v30.high:.0f} "
      f"(true {truth.vs30():.0f}); split R-hat at most {max(result.rhat.values()):.3f}")

# %%
# The profile (percentile bands, median, best model), the data with the
# posterior's curves, and Vs30's histogram.
import matplotlib.pyplot as plt  # noqa: E402

fig, axes = plt.subplots(1, 3, figsize=(14, 4.6), layout="constrained")
result.plot_profile(axes[0], depth=30.0)
z = np.linspace(0.0, 30.0, 301)
axes[0].plot(truth.vs_at(z), z, color="k", lw=0.8, ls=":", label="truth")
axes[0].legend(loc="lower left", fontsize="small")
result.plot_curves(axes[1])
result.plot_vs30(axes[2])
plt.show()
