"""Layered models and their dispersion curves (molvak.layered).

The curves are checked against an independent solver written in the tests
(tests/reference_layered.py: Aki & Richards' motion-stress vectors carried
through the layers with matrix exponentials, brentq on the surface traction),
which shares no formula with the native compound matrices, on models with a
buried soft layer, a 30:1 contrast under a saturated layer (Poisson's ratio
0.49), and 21 layers; the uniform half-space against the roots of the Rayleigh
equation; group velocities against differences of the reference's roots.
"""
from __future__ import annotations

import math

import numpy as np
import pytest
from scipy.optimize import brentq

import molvak
from molvak.layered import DEFAULT_POISSON, gardner_density
from reference_layered import group_velocity, phase_velocity, roots

MODELS = {
    "three layers": molvak.LayeredModel([4, 10], [200, 380, 700]),
    "buried soft layer": molvak.LayeredModel([5, 5, 10], [300, 150, 400, 800]),
    "30:1 under saturated": molvak.LayeredModel([10], [100, 3000], poisson=[0.49, 0.25]),
}
# sparse frequencies on purpose: modes move past each other between them
SPARSE = np.array([3.0, 8.0, 20.0, 45.0])


@pytest.mark.parametrize("wave", ["rayleigh", "love"])
@pytest.mark.parametrize("name", list(MODELS))
def test_modes_agree_with_the_motion_stress_reference(name, wave):
    model = MODELS[name]
    reference = np.array([roots(model, f, wave, count=3) for f in SPARSE])  # (F, modes)
    for mode in range(3):
        got = molvak.dispersion(model, SPARSE, mode=mode, wave=wave)
        np.testing.assert_array_equal(np.isnan(got), np.isnan(reference[:, mode]),
                                      err_msg=f"mode {mode}: where the mode exists")
        ok = ~np.isnan(got)
        assert ok.any() or mode > 0
        np.testing.assert_allclose(got[ok], reference[ok, mode], rtol=1e-8, atol=0,
                                   err_msg=f"mode {mode}")


def test_many_layers_agree_with_the_reference():
    # 20 layers of 1.5 m over a half-space, a velocity inversion midway
    vs = np.concatenate([np.linspace(160, 420, 10), [250.0], np.linspace(430, 600, 9), [900.0]])
    model = molvak.LayeredModel(np.full(20, 1.5), vs, poisson=0.35)
    f = np.array([4.0, 15.0, 40.0])
    for wave in ("rayleigh", "love"):
        np.testing.assert_allclose(molvak.dispersion(model, f, wave=wave),
                                   phase_velocity(model, f, 0, wave), rtol=1e-8)


@pytest.mark.parametrize("nu", [0.0, 0.1, 0.25, 1 / 3, 0.45, 0.49])
def test_half_space_rayleigh_velocity(nu):
    model = molvak.LayeredModel([], [300.0], poisson=nu)
    c = molvak.dispersion(model, [1.0, 10.0, 100.0]) / 300.0
    # the Rayleigh equation as a cubic in x = (c / Vs)^2
    g = (1 - 2 * nu) / (2 - 2 * nu)
    x = brentq(lambda x: x ** 3 - 8 * x ** 2 + (24 - 16 * g) * x - 16 * (1 - g), 1e-9, 1.0, xtol=1e-15)
    np.testing.assert_allclose(c, math.sqrt(x), rtol=1e-11)
    if nu == 1 / 3:
        np.testing.assert_allclose(c, 0.9325, atol=5e-5)
    # one Rayleigh mode, no Love wave
    assert np.isnan(molvak.dispersion(model, [10.0], mode=1)).all()
    assert np.isnan(molvak.dispersion(model, [10.0], wave="love")).all()


@pytest.mark.parametrize("wave", ["rayleigh", "love"])
def test_group_velocity_against_differences_of_the_reference(wave):
    model = MODELS["buried soft layer"]
    f = np.array([6.0, 25.0])
    for mode in (0, 1):
        got = molvak.dispersion(model, f, mode=mode, wave=wave, velocity="group")
        want = group_velocity(model, f, mode, wave)
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
        ok = ~np.isnan(got)
        np.testing.assert_allclose(got[ok], want[ok], rtol=2e-6, err_msg=f"mode {mode}")


def test_agrees_with_disba():
    disba = pytest.importorskip("disba")
    model = molvak.LayeredModel(np.full(9, 3.0), np.linspace(150, 700, 10), poisson=0.3)
    f = np.linspace(3, 60, 30)
    pd = disba.PhaseDispersion(np.r_[model.thickness, 0] / 1e3, model.vp / 1e3, model.vs / 1e3,
                               model.density / 1e3, algorithm="dunkin")
    for wave in ("rayleigh", "love"):
        ref = pd(np.sort(1 / f), mode=0, wave=wave)
        np.testing.assert_allclose(molvak.dispersion(model, 1 / ref.period, wave=wave),
                                   ref.velocity * 1e3, rtol=1e-5)


def test_batch_matches_single_models_in_any_order_and_thread_count(rng):
    M, L = 12, 5
    vs = np.sort(rng.uniform(120, 900, (M, L)), axis=1)
    vp = vs * rng.uniform(1.7, 3.5, (M, L))
    rho = rng.uniform(1600, 2200, (M, L))
    h = rng.uniform(1, 12, (M, L - 1))
    f = rng.permutation(np.geomspace(3, 70, 25))
    batch = molvak.dispersion_batch(h, vs, vp, rho, f, mode=1)
    assert batch.shape == (M, f.size) and batch.dtype == np.float64
    np.testing.assert_array_equal(molvak.dispersion_batch(h, vs, vp, rho, f, mode=1, workers=3), batch)
    for m in range(M):
        single = molvak.dispersion(molvak.LayeredModel(h[m], vs[m], vp[m], rho[m]), np.sort(f), mode=1)
        np.testing.assert_allclose(batch[m, np.argsort(f)], single, rtol=1e-10)
    # higher modes start above a cut-off and never below it again
    assert np.isnan(batch).any() and not np.isnan(batch).all()


def test_batch_refuses_wrong_shapes_and_models():
    vs = np.array([[200.0, 400.0]])
    with pytest.raises(ValueError, match="thickness must have shape"):
        molvak.dispersion_batch(np.ones((1, 2)), vs, 2 * vs, vs * 9, [5.0])
    with pytest.raises(ValueError, match="vp must have the shape of vs"):
        molvak.dispersion_batch(np.ones((1, 1)), vs, 2 * vs[:, :1], vs * 9, [5.0])
    with pytest.raises(ValueError, match="model 0, layer 1 is not physical"):
        molvak.dispersion_batch(np.ones((1, 1)), vs, [[400.0, 450.0]], vs * 9, [5.0])
    with pytest.raises(ValueError, match="workers"):
        molvak.dispersion_batch(np.ones((1, 1)), vs, 2 * vs, vs * 9, [5.0], workers=0)


@pytest.mark.parametrize("args, kwargs, message", [
    (([5, -1], [200, 300, 400]), {}, "layer 1: thickness must be positive and finite"),
    (([5], [200, np.nan]), {}, "layer 1: vs must be positive and finite"),
    (([5], [200, 300], [300, 340]), {}, r"layer 1: vp = 340 m/s must exceed 2 vs / sqrt\(3\) = 346.41"),
    (([5], [200, 300], None, [1800, 0]), {}, "layer 1: density must be positive and finite"),
    (([5], [200, 300]), {"poisson": [0.3, 0.5]}, r"layer 1: Poisson's ratio must lie in \(-1, 0.5\)"),
    (([5, 5], [200, 300]), {}, "thickness must have 1 entries"),
    (([5], [200, 300], [400, 600]), {"poisson": 0.3}, "give vp or poisson, not both"),
])
def test_refuses_non_physical_models(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        molvak.LayeredModel(*args, **kwargs)


def test_dispersion_refuses_bad_arguments():
    model = MODELS["three layers"]
    for kwargs, message in [({"mode": -1}, "mode must be an integer"), ({"mode": 1.5}, "mode"),
                            ({"wave": "sh"}, "wave must be"), ({"velocity": "energy"}, "velocity must be")]:
        with pytest.raises(ValueError, match=message):
            molvak.dispersion(model, [5.0], **kwargs)
    with pytest.raises(ValueError, match=r"frequency\[1\] must be positive"):
        molvak.dispersion(model, [5.0, 0.0])
    with pytest.raises(TypeError, match="LayeredModel"):
        molvak.dispersion({"vs": [1]}, [5.0])


def test_model_completion_depths_and_averages():
    model = molvak.LayeredModel([4, 10], [200, 380, 700])
    nu = DEFAULT_POISSON
    np.testing.assert_allclose(model.vp, model.vs * math.sqrt((2 - 2 * nu) / (1 - 2 * nu)))
    np.testing.assert_allclose(model.density, 310 * model.vp ** 0.25)
    np.testing.assert_allclose(model.poisson, nu)
    np.testing.assert_array_equal(model.depth, [0, 4, 14])
    np.testing.assert_array_equal(model.vs_at([0, 3.99, 4, 13.9, 14, 500]), [200, 200, 380, 380, 700, 700])
    # 4 m at 200, 10 m at 380, 16 m at 700
    assert model.vs30() == pytest.approx(30 / (4 / 200 + 10 / 380 + 16 / 700), rel=1e-14)
    assert model.vsz(3) == pytest.approx(200)
    with pytest.raises(ValueError):
        model.vs_at([-1.0])
    with pytest.raises(ValueError):
        model.vsz(0)
    for name in ("thickness", "vs", "vp", "density", "depth"):
        with pytest.raises(ValueError):
            getattr(model, name)[0] = 1.0
    again = molvak.LayeredModel.from_dict(model.to_dict())
    assert again == model and repr(again) == repr(model)
    # vp and density given where known, completed where NaN
    mixed = molvak.LayeredModel([3], [150, 400], [np.nan, 1700], [1500, np.nan], poisson=0.45)
    assert mixed.vp[0] == pytest.approx(150 * math.sqrt(1.1 / 0.1))
    assert mixed.density[1] == pytest.approx(gardner_density(1700.0))


ROUGH = {
    # a stiff lid over soft layers, the half-space slower than the layer above
    # it: the fundamental mode drops past two others between 30 and 35 Hz
    "avoided crossings": ([11.9, 7.38, 9.01, 4.59, 8.8, 6.25, 8.73],
                          [543.8, 258.5, 496.1, 200.3, 484.6, 529.0, 719.3, 414.9],
                          [1479.5, 513.1, 1489.9, 340.9, 1321.4, 1054.1, 1975.5, 844.4],
                          [1912.1, 1819.9, 1954.2, 2167.2, 2028.4, 1596.2, 1620.6, 1983.2],
                          slice(24, 44), 150),
    # a soft layer over a slower half-space: between 14 and 17 Hz the two
    # lowest roots lie 0.4 % apart, and the bracket from the previous root
    # held them and a third; counting the roots below the bracket's lower end
    # missed the pair, and the third root was returned for the fundamental
    "close pair in a bracket": ([6.54, 9.96, 4.84, 2.55, 9.5, 10.12, 10.29],
                                [478.4, 546.6, 866.8, 659.1, 696.0, 811.6, 272.6, 620.1],
                                [894.3, 1041.1, 2448.1, 2174.1, 2353.9, 1952.4, 442.2, 1786.0],
                                [1738.5, 1680.1, 1850.7, 2010.4, 1602.6, 1837.2, 1842.3, 2002.6],
                                slice(26, 29), 1500),
}


@pytest.mark.parametrize("name", ROUGH)
def test_fundamental_mode_of_rough_profiles(name):
    *rows, sel, points = ROUGH[name]
    model = molvak.LayeredModel(*rows)
    f = np.geomspace(2, 80, 50)
    expected = phase_velocity(model, f[sel], 0, points=points)
    # one model alone (its frequencies shared among the lanes) and in a batch
    batch = [np.tile(r, (3, 1)) for r in (model.thickness, model.vs, model.vp, model.density)]
    for got in (molvak.dispersion(model, f), molvak.dispersion_batch(*batch, f)[1]):
        np.testing.assert_allclose(got[sel], expected, rtol=1e-8)
