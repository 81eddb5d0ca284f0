"""Inversion of dispersion curves: recovery, the posterior's summaries
against hand computations, trapped modes, refusals and reproducibility."""
import json
import math
from pathlib import Path

import numpy as np
import pytest

import molvak
from molvak import inversion
from molvak.inversion import Inversion, Target, split_rhat, surface_amplitude
from molvak.layered import LayeredModel, dispersion

pytestmark = pytest.mark.filterwarnings("ignore::molvak.ConvergenceWarning")

F = np.geomspace(4.0, 60.0, 14)
QUICK = dict(layers=2, vs=(100.0, 800.0), thickness=(1.0, 20.0), population=24,
             generations=20, chains=3, temperatures=2, burn=200, steps=200, thin=2,
             progress=False)


def model(thickness, vs, nu=0.3):
    return LayeredModel(thickness, vs, poisson=nu)


@pytest.fixture(scope="module")
def two_layer():
    truth = model([5.0], [200.0, 450.0])
    c = dispersion(truth, F)
    return truth, c, molvak.invert((F, c, np.full(F.size, 0.02)), seed=7, **QUICK)


def test_recovers_a_two_layer_ground_and_brackets_it(two_layer):
    truth, c, result = two_layer
    med_vs = np.median(result.vs, axis=0)
    med_h = np.median(result.thickness, axis=0)
    np.testing.assert_allclose(med_vs, truth.vs, rtol=0.03)
    np.testing.assert_allclose(med_h, truth.thickness, rtol=0.08)
    # the truth lies inside the posterior's 1-99 % range of every parameter
    for sample, value in ((result.vs, truth.vs), (result.thickness, truth.thickness)):
        lo, hi = np.percentile(sample, [1, 99], axis=0)
        assert ((lo <= value) & (value <= hi)).all()
    # the fit: the best model within the data's errors, the predicted band around the data
    fit = result.fits[0]
    assert fit.misfit < 1.0
    assert np.all(np.abs(np.log(fit.band[1] / c)) < 0.02)
    assert (fit.mode == 0).all()
    assert result.acceptance.shape == (3, 2) and ((result.acceptance > 0.05)
                                                 & (result.acceptance < 0.8)).all()
    assert set(result.rhat) == {"vs1", "vs2", "h1"}


def test_percentiles_agree_with_each_models_own_profile(two_layer):
    _, _, result = two_layer
    depths = np.array([0.0, 2.5, 4.9, 5.0, 7.0, 30.0])
    q = (5, 25, 50, 95)
    p = result.percentiles(depths, q)
    assert p.shape == (len(q), depths.size)
    by_model = np.array([m.vs_at(depths) for m in result.models])
    np.testing.assert_allclose(p, np.percentile(by_model, q, axis=0), rtol=1e-12)
    assert (np.diff(p, axis=0) >= 0).all()


def hand_ensemble(thickness, vs):
    thickness = np.asarray(thickness, dtype=float)
    vs = np.asarray(vs, dtype=float)
    n = vs.shape[0]
    vp = 2.0 * vs
    rho = np.full(vs.shape, 1900.0)
    best = LayeredModel(thickness[0], vs[0], vp[0], rho[0])
    return Inversion(best, thickness, vs, vp, rho, np.zeros(n), np.zeros(n, dtype=int), [],
                     np.zeros((1, 1)), np.zeros((1, 0)), {}, True, 0, {})


def test_vs30_and_vsz_against_hand_computation():
    # 10 m at 200, 10 m at 300, then 600: 30 / (10/200 + 10/300 + 10/600) = 300 m/s;
    # 40 m at 250 over 800: 250; 5 m at 100, 5 m at 500, then 1000: 30 / (0.05 + 0.01 + 0.02)
    result = hand_ensemble([[10.0, 10.0], [40.0, 5.0], [5.0, 5.0]],
                           [[200.0, 300.0, 600.0], [250.0, 800.0, 900.0],
                            [100.0, 500.0, 1000.0]])
    np.testing.assert_allclose(result.vsz_samples(30.0), [300.0, 250.0, 375.0], rtol=1e-12)
    est = result.vs30(interval=0.5)
    assert est.median == pytest.approx(300.0)
    assert est.low == pytest.approx(275.0) and est.high == pytest.approx(337.5)
    # over the top 15 m: 15 / (10/200 + 5/300), 250, 15 / (0.05 + 0.01 + 5/1000)
    np.testing.assert_allclose(result.vsz_samples(15.0),
                               [15 / (0.05 + 5 / 300), 250.0, 15 / 0.065], rtol=1e-12)
    for m, s in zip(result.models, result.vsz_samples(30.0)):
        assert m.vs30() == pytest.approx(s, rel=1e-12)


def test_surface_amplitude_flags_the_stiff_lid_trap():
    f = np.geomspace(3.0, 60.0, 30)
    truth = model([4.0, 10.0], [200.0, 380.0, 700.0])
    trap = model([30.0, 10.0], [1000.0, 187.0, 700.0])
    assert surface_amplitude(truth.thickness, truth.vs, f, dispersion(truth, f)).min() == 1.0
    c_trap = dispersion(trap, f)
    assert surface_amplitude(trap.thickness, trap.vs, f, c_trap).min() < 1e-6
    # by hand: a wave of 190 m/s at 20 Hz under a 3 m lid at 400 m/s over 150 m/s
    k = 2 * np.pi * 20.0 / 190.0
    expected = math.exp(-k * 3.0 * math.sqrt(1 - (190.0 / 400.0) ** 2))
    a = surface_amplitude([3.0, 8.0], [400.0, 150.0, 600.0], [20.0], [190.0])
    assert a[0] == pytest.approx(expected, rel=1e-12)
    # a wave slower than every layer is hosted by the slowest: here the buried one
    a = surface_amplitude([3.0], [400.0, 150.0], [20.0], [140.0])
    k = 2 * np.pi * 20.0 / 140.0
    assert a[0] == pytest.approx(math.exp(-k * 3.0 * math.sqrt(1 - (140 / 400) ** 2)))


def test_trapped_models_are_excluded_by_default():
    # data from a lid over a soft layer, whose fundamental mode at high frequency is trapped
    lid = model([3.0, 6.0], [420.0, 160.0, 600.0])
    f = np.geomspace(8.0, 60.0, 12)
    c = dispersion(lid, f)
    assert surface_amplitude(lid.thickness, lid.vs, f, c).min() < inversion.TRAP_AMPLITUDE
    opts = dict(QUICK, layers=3, vs=(100.0, 900.0), thickness=(1.0, 15.0), burn=100,
                steps=100)
    kept = molvak.invert((f, c, np.full(f.size, 0.02)), exclude_traps=False, seed=3, **opts)
    excluded = molvak.invert((f, c, np.full(f.size, 0.02)), seed=3, **opts)
    best = excluded.best
    c_best = dispersion(best, f)
    assert surface_amplitude(best.thickness, best.vs, f, c_best).min() >= inversion.TRAP_AMPLITUDE
    assert kept.traps > 0 and excluded.traps > 0
    # the trapped truth fits better than anything left once traps are excluded
    assert kept.fits[0].misfit < excluded.fits[0].misfit


def test_modes_by_label_and_by_closest_match():
    truth = model([6.0], [180.0, 500.0])
    f0 = np.geomspace(5.0, 40.0, 10)
    f1 = np.geomspace(25.0, 60.0, 6)
    c0, c1 = dispersion(truth, f0), dispersion(truth, f1, mode=1)
    assert np.isfinite(c1).all()
    labelled = [Target(f0, c0, np.full(10, 0.02), 0), Target(f1, c1, np.full(6, 0.02), 1)]
    unknown = [Target(f0, c0, np.full(10, 0.02), 0), Target(f1, c1, np.full(6, 0.02), None)]
    for curves in (labelled, unknown):
        result = molvak.invert(curves, seed=2, **dict(QUICK, burn=100, steps=100))
        assert (result.fits[1].mode == 1).all()
        assert result.fits[1].misfit < 1.5
        np.testing.assert_allclose(result.best.vs, truth.vs, rtol=0.05)


def test_same_seed_same_posterior_whatever_the_workers(two_layer):
    truth, c, result = two_layer
    again = molvak.invert((F, c, np.full(F.size, 0.02)), seed=7, workers=2, **QUICK)
    np.testing.assert_array_equal(again.vs, result.vs)
    np.testing.assert_array_equal(again.thickness, result.thickness)
    np.testing.assert_array_equal(again.acceptance, result.acceptance)
    other = molvak.invert((F, c, np.full(F.size, 0.02)), seed=8, **QUICK)
    assert not np.array_equal(other.vs, result.vs)


def test_dask_client_gives_the_threads_result(two_layer):
    distributed = pytest.importorskip("distributed")
    _, c, result = two_layer
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                            dashboard_address=None) as client:
        on_dask = molvak.invert((F, c, np.full(F.size, 0.02)), seed=7, client=client, **QUICK)
    np.testing.assert_array_equal(on_dask.vs, result.vs)


def test_split_rhat():
    rng = np.random.default_rng(0)
    same = rng.standard_normal((4, 500, 2))
    assert np.all(np.abs(split_rhat(same) - 1) < 0.02)
    shifted = same + np.array([0.0, 0.0, 0.0, 3.0])[:, None, None]
    assert np.all(split_rhat(shifted) > 1.3)
    # a drift within every chain shows in its split halves
    drift = same + np.linspace(0, 4, 500)[None, :, None]
    assert np.all(split_rhat(drift) > 1.3)


def test_refusals():
    c = np.full(F.size, 300.0)
    with pytest.raises(ValueError, match="std is the standard deviation of ln"):
        molvak.invert((F, c, np.full(F.size, 15.0)), **QUICK)
    with pytest.raises(ValueError, match="frequencies must be positive"):
        molvak.invert((-F, c, np.full(F.size, 0.02)), **QUICK)
    with pytest.raises(ValueError, match="layers must be an integer of at least 2"):
        molvak.invert((F, c, np.full(F.size, 0.02)), **dict(QUICK, layers=1))
    with pytest.raises(ValueError, match="vs: bounds must be"):
        molvak.invert((F, c, np.full(F.size, 0.02)), **dict(QUICK, vs=(500.0, 100.0)))
    with pytest.raises(ValueError, match="poisson must lie between"):
        molvak.invert((F, c, np.full(F.size, 0.02)), poisson=0.5, **QUICK)
    with pytest.raises(TypeError, match="cannot fit a str"):
        molvak.invert(["curve.csv"], **QUICK)
    with pytest.raises(ValueError, match="holds no valid pick"):
        molvak.invert(molvak.DispersionCurve.from_arrays(F, c, valid=np.zeros(F.size, bool)),
                      **QUICK)
    with pytest.raises(ValueError, match="percentiles from 0 to 100"):
        hand_ensemble([[1.0]], [[100.0, 200.0]]).percentiles([1.0], [0.5, 150])


def test_uncertain_curve_std_and_dinver_round_trip(tmp_path):
    f = np.geomspace(5.0, 50.0, 6)
    v = np.linspace(400.0, 200.0, 6)
    s = np.array([0.03, np.nan, 0.02, 0.04, np.nan, 0.05])
    plain = np.array([np.nan, 8.0, np.nan, np.nan, np.nan, np.nan])
    curve = molvak.UncertainCurve.from_arrays(f, v, s)
    curve = molvak.UncertainCurve(curve.frequency, curve.wavelength, curve.velocity, plain, s,
                                  curve.count, curve.low, curve.high, curve.ci_low,
                                  curve.ci_high)
    (t,) = inversion.targets(curve, default_std=0.07)
    np.testing.assert_allclose(t.std, [0.03, 8.0 / v[1], 0.02, 0.04, 0.07, 0.05])
    path = tmp_path / "site.txt"
    molvak.UncertainCurve.from_arrays(f, v, t.std).to_dinver(path, min_lognormal_std=0.035)
    (back,) = inversion.targets(molvak.UncertainCurve.from_dinver(path))
    np.testing.assert_allclose(back.velocity, v, rtol=1e-12)
    np.testing.assert_allclose(back.std, np.maximum(t.std, 0.035), rtol=1e-12)


def test_save_writes_new_files_only(two_layer, tmp_path):
    _, _, result = two_layer
    written = result.save(tmp_path, plots=False)
    assert [p.rsplit("/", 1)[-1] for p in written] == [
        "inversion.ensemble.csv", "inversion.percentiles.csv", "inversion.json"]
    table = np.genfromtxt(written[0], delimiter=",", names=True)
    np.testing.assert_allclose(table["vs2"], result.vs[:, 1], rtol=1e-15)
    summary = json.loads(Path(written[2]).read_text())
    assert summary["vs30"]["median"] == pytest.approx(result.vs30().median)
    assert summary["settings"]["seed"] == 7
    before = Path(written[1]).read_text()
    with pytest.raises(FileExistsError, match="inversion.ensemble.csv exists already"):
        result.save(tmp_path, plots=False)
    assert Path(written[1]).read_text() == before


def test_command_line(tmp_path, capsys):
    from molvak.cli import main
    truth = model([5.0], [200.0, 450.0])
    curve = molvak.UncertainCurve.from_arrays(F, dispersion(truth, F), np.full(F.size, 0.02))
    path = tmp_path / "site.txt"
    curve.to_dinver(path)
    args = ["invert", str(path), "--layers", "2", "--vs", "100:800", "--thickness", "1:20",
            "--chains", "2", "--burn", "60", "--steps", "60", "--seed", "1", "--out",
            str(tmp_path / "out"), "--no-plot", "--quiet", "--density", "1900"]
    assert main(args) == 0
    out = capsys.readouterr().out
    assert "Vs30" in out and "site.txt.invert.json" in out
    table = np.genfromtxt(tmp_path / "out" / "site.txt.invert.ensemble.csv", delimiter=",",
                          names=True)
    assert (table["density1"] == 1900).all() and (table["density2"] == 1900).all()
    assert main(args) == 2
    assert "exist already" in capsys.readouterr().err


def test_invert_sweep_of_two_grounds(tmp_path):
    a, b = model([4.0], [180.0, 450.0]), model([8.0], [130.0, 450.0])
    curves = [(F, dispersion(m, F), np.full(F.size, 0.02)) for m in (a, a, b, b)]
    section = molvak.invert_sweep(curves, midpoints=[10.0, 20.0, 30.0, 40.0],
                                  depths=[1.0, 6.0, 20.0], seed=4,
                                  **dict(QUICK, burn=100, steps=100))
    assert section.median.shape == (3, 4)
    np.testing.assert_allclose(section.median[0], [180, 180, 130, 130], rtol=0.03)
    np.testing.assert_allclose(section.median[1], [450, 450, 130, 130], rtol=0.05)
    assert (section.low <= section.median).all() and (section.median <= section.high).all()
    # depth of investigation: half the longest wavelength each window's curve holds
    longest = np.array([np.max(c[1] / F) for c in curves])
    np.testing.assert_allclose(section.investigation_depth, longest / 2, rtol=1e-12)
    path = tmp_path / "section.csv"
    section.to_csv(path)
    rows = np.genfromtxt(path, delimiter=",", names=True)
    assert rows.size == 12
    np.testing.assert_allclose(rows["vs_median"].reshape(4, 3).T, section.median, rtol=1e-15)
    np.testing.assert_allclose(rows["investigation_depth"].reshape(4, 3)[:, 0],
                               section.investigation_depth, rtol=1e-15)
    plt = pytest.importorskip("matplotlib.pyplot")
    axes = section.plot()
    line = [a for a in axes[0].patches if a.get_label().startswith("depth of investigation")]
    plt.close(axes[0].figure)
    assert len(line) == 1 and axes[1].get_xlabel() == "window midpoint, position (m)"
    with pytest.raises(FileExistsError):
        section.to_csv(path)


def test_command_line_inverts_a_pseudo_section(tmp_path, capsys):
    from molvak.cli import main
    from molvak.sweeps import PseudoSection
    a, b = model([4.0], [180.0, 450.0]), model([8.0], [130.0, 450.0])
    lam = np.geomspace(2.0, 30.0, 12)
    velocity = np.stack([np.interp(lam, (dispersion(m, F) / F)[::-1], dispersion(m, F)[::-1])
                         for m in (a, b, b)], axis=1)
    velocity[0, 2] = np.nan
    section = PseudoSection(np.array([5.0, 15.0, 25.0]), lam, velocity, np.isfinite(velocity))
    path = tmp_path / "line.sweep_phase_shift.csv"
    section.to_csv(path)
    args = ["invert", str(path), "--layers", "2", "--vs", "100:800", "--thickness", "1:20",
            "--chains", "2", "--burn", "60", "--steps", "60", "--seed", "1", "--out",
            str(tmp_path), "--no-plot", "--quiet"]
    assert main(args) == 0
    out = capsys.readouterr().out
    # every window holds wavelengths up to 30 m: investigated to 15 m
    assert "3 of 3 windows inverted" in out and "investigation 15.0 to 15.0 m" in out
    rows = np.genfromtxt(tmp_path / "line.sweep_phase_shift.csv.invert.vs_section.csv",
                         delimiter=",", names=True)
    top = rows["vs_median"][rows["depth"] == rows["depth"].min()]
    np.testing.assert_allclose(top, [180.0, 130.0, 130.0], rtol=0.05)


def test_increasing_constraint_and_sampled_poisson():
    truth = model([5.0], [200.0, 450.0])
    c = dispersion(truth, F)
    result = molvak.invert((F, c, np.full(F.size, 0.02)), increasing=True,
                           poisson=(0.25, 0.4), seed=5, **dict(QUICK, layers=3))
    assert (np.diff(result.vs, axis=1) >= 0).all()
    assert (np.diff(result.best.vs) >= 0).all()
    assert set(result.rhat) == {"vs1", "vs2", "vs3", "h1", "h2", "nu1", "nu2", "nu3"}
    nu = result.best.poisson
    assert ((nu >= 0.25 - 1e-12) & (nu <= 0.4 + 1e-12)).all()
    assert result.fits[0].misfit < 1.5


def test_binned_picks_by_hand():
    from molvak.vs_section import binned
    f = np.array([10.0, 12.0, 25.0, 30.0, 45.0, 60.0, 80.0, 90.0])
    v = np.array([300.0, 290.0, 250.0, 240.0, 200.0, 180.0, 150.0, 400.0])
    valid = np.array([True] * 7 + [False])
    curve = molvak.DispersionCurve.from_arrays(f, v, valid=valid)
    # three bins even in ln f over the valid picks' 10-80 Hz: 10-20, 20-40, 40-80 Hz;
    # each point the geometric means of its picks' frequencies and velocities
    t = binned(curve, 3, 0.04)
    np.testing.assert_allclose(t.frequency, [120 ** 0.5, 750 ** 0.5, (45 * 60 * 80) ** (1 / 3)])
    np.testing.assert_allclose(t.velocity, [(300 * 290) ** 0.5, (250 * 240) ** 0.5,
                                            (200 * 180 * 150) ** (1 / 3)])
    np.testing.assert_array_equal(t.std, 0.04)
    assert t.mode == 0
    # wavelengths 30, 24.2, 10, 8, 4.4, 3, 1.9 m: a band of 2.5 to 9 m keeps 30-60 Hz,
    # three bins again, now over ln(30) to ln(60)
    t = binned(curve, 3, 0.04, (2.5, 9.0))
    np.testing.assert_allclose(t.velocity, [240.0, 200.0, 180.0])
    # fewer than three bins with picks: no target
    assert binned(curve, 3, 0.04, (9.0, 40.0)) is None


def test_rayleigh_and_love_together_and_progress():
    truth = model([5.0], [200.0, 450.0])
    c_r = dispersion(truth, F)
    c_l = dispersion(truth, F, wave="love")
    seen = []
    result = molvak.invert([Target(F, c_r, np.full(F.size, 0.02)),
                            Target(F, c_l, np.full(F.size, 0.02), wave="love")],
                           seed=3, **dict(QUICK, progress=lambda done, total: seen.append(
                               (done, total))))
    assert [f.target.wave for f in result.fits] == ["rayleigh", "love"]
    for fit, c in zip(result.fits, (c_r, c_l)):
        assert fit.misfit < 1.5
        assert np.all(np.abs(np.log(fit.band[1] / c)) < 0.02)
    np.testing.assert_allclose(np.median(result.vs, axis=0), truth.vs, rtol=0.03)
    done, total = zip(*seen)
    assert list(done) == list(range(1, len(seen) + 1)) and set(total) == {total[0]}
    assert done[-1] == total[0]


def test_command_line_reads_picks_of_two_modes_and_draws(tmp_path, capsys):
    from molvak.cli import main
    truth = model([6.0], [180.0, 500.0])
    f0, f1 = np.geomspace(5.0, 40.0, 10), np.geomspace(25.0, 60.0, 6)
    path = tmp_path / "picks.csv"
    molvak.write_curves([molvak.DispersionCurve.from_arrays(f0, dispersion(truth, f0), mode=0),
                         molvak.DispersionCurve.from_arrays(f1, dispersion(truth, f1, mode=1),
                                                            mode=1)], path)
    args = ["invert", str(path), "--layers", "2", "--vs", "100:800", "--thickness", "1:20",
            "--chains", "2", "--burn", "60", "--steps", "60", "--seed", "1", "--out",
            str(tmp_path), "--quiet"]
    assert main(args) == 0
    summary = json.loads((tmp_path / "picks.csv.invert.json").read_text())
    assert [fit["curve"] for fit in summary["fits"]] == ["curve 0: rayleigh mode 0",
                                                         "curve 1: rayleigh mode 1"]
    for kind in ("profile", "curves", "vs30"):
        assert (tmp_path / f"picks.csv.invert.{kind}.png").read_bytes()[:4] == b"\x89PNG"


def test_fixed_densities_are_the_models_and_recover_a_soil():
    # a saturated soil: Gardner's rule would give it 1300-1700 kg/m^3
    truth = LayeredModel([5.0], [150.0, 400.0], density=[1800.0, 2100.0], poisson=0.45)
    data = (F, dispersion(truth, F), np.full(F.size, 0.02))
    result = molvak.invert(data, seed=3, density=[1800.0, 2100.0],
                           **dict(QUICK, poisson=0.45))
    assert (result.density == [1800.0, 2100.0]).all()
    assert result.settings["density"] == [1800.0, 2100.0]
    np.testing.assert_allclose(np.median(result.vs, axis=0), truth.vs, rtol=0.02)
    np.testing.assert_allclose(np.median(result.thickness), 5.0, rtol=0.05)
    # NaN: that layer by Gardner's rule, rho = 310 Vp^0.25 (kg/m^3, m/s)
    mixed = molvak.invert(data, seed=3, density=[1800.0, np.nan],
                          **dict(QUICK, poisson=0.45, burn=40, steps=40))
    assert (mixed.density[:, 0] == 1800.0).all()
    np.testing.assert_allclose(mixed.density[:, 1], 310.0 * mixed.vp[:, 1] ** 0.25)
    for bad in (-1.0, [1800.0], "dense", [1800.0, np.inf]):
        with pytest.raises(ValueError, match="density must be one value or one per layer"):
            molvak.invert(data, density=bad, **QUICK)
