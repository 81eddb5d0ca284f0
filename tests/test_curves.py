"""Dispersion curves: validity flags, modes, statistics and combination of
curves, and the files that carry a curve and its uncertainty."""
import json

import numpy as np
import pytest

import molvak
from molvak import DispersionCurve, DispersionImage, UncertainCurve, synthetic
from molvak.picking import on_ridge


def ridge_image(f, v, centre, offsets, width=6.0):
    """A power image with one Gaussian ridge centred on centre(f)."""
    power = np.exp(-((v[None, :] - centre(f)[:, None]) / width) ** 2)
    return DispersionImage(f, v, power.astype(complex), "fdbf", {"offsets": offsets}, "power")


# --- flags ------------------------------------------------------------------

def test_flags_follow_their_definitions():
    """Every flag against its formula, evaluated independently of the
    picker: the resolved band, the alias ambiguity over all wavenumbers
    k + m / dx, the normalised array offset, the search edge."""
    offsets = 10.0 + 2.0 * np.arange(24)              # 10 to 56 m, centre 33 m
    f = np.arange(2.0, 100.0, 0.5)
    v = np.arange(100.0, 1000.0, 1.5)
    c = lambda x: 150.0 + 300.0 * np.exp(-x / 10.0)  # noqa: E731
    image = ridge_image(f, v, c, offsets)
    curve = image.pick(vmin=120, jump=None)
    vmin, vmax = curve.limits["velocities"]
    assert (vmin, vmax) == (121.0, 998.5)
    lam = curve.wavelength
    np.testing.assert_array_equal(curve.too_short, lam < 2.0)          # one spacing
    np.testing.assert_array_equal(curve.too_long, lam > 0.6 * 46.0)    # 0.6 aperture
    np.testing.assert_array_equal(curve.near_field, 33.0 / lam < 0.5)
    # a pick is aliased when another wavenumber k + m / dx of the same
    # frequency lands on a velocity of the searched window
    k = curve.frequency / curve.velocity
    m = np.array([-3, -2, -1, 1, 2, 3])
    alt = k[:, None] + m[None, :] / 2.0
    with np.errstate(divide="ignore"):
        c_alt = np.where(alt > 0, curve.frequency[:, None] / alt, np.inf)
    expected = ((c_alt >= vmin) & (c_alt <= vmax)).any(axis=1)
    np.testing.assert_array_equal(curve.aliased, expected)
    assert expected.any() and not expected.all()
    # below 120 m/s the ridge is outside the window: the pick sits on its edge
    np.testing.assert_array_equal(curve.at_edge, curve.velocity == 120.0)
    assert curve.at_edge.sum() == 0   # c(f) > 150 everywhere here
    edge = image.pick(vmax=300, jump=None)
    # the window ends at 299.5 m/s: the grid maximum is there once the ridge
    # lies nearer to it than to the 298 m/s before it
    np.testing.assert_array_equal(edge.at_edge, c(edge.frequency) > 298.75)
    # valid is the absence of every flag; the limits are recorded for drawing
    flagged = np.any([curve.flags[n] for n in DispersionCurve.FLAGS], axis=0)
    np.testing.assert_array_equal(curve.valid, ~flagged)
    assert curve.limits["wavelengths"] == pytest.approx((2.0, 27.6))
    assert curve.limits["near_field"] == pytest.approx(66.0)
    # an explicit band, source distance and no near-field limit
    other = image.pick(wavelengths=(3.0, 10.0), source_distance=5.0, near_field=None)
    np.testing.assert_array_equal(other.too_long, other.wavelength > 10.0)
    assert not other.near_field.any()
    assert image.pick(near_field=1.0, source_distance=5.0).near_field.sum() == \
        np.sum(5.0 / image.pick().wavelength < 1.0)
    # without offsets in the image, no wavelength, alias or near-field flag
    bare = DispersionImage(f, v, image.spectrum, "fdbf", {}, "power").pick()
    assert not (bare.too_short.any() or bare.aliased.any() or bare.near_field.any())


def test_jumps_flag_the_stretch_on_another_mode():
    """The strongest peak leaves the fundamental for a faster mode between
    30 and 40 Hz and for noise at a few frequencies: those picks are flagged,
    the fundamental on both sides is kept."""
    f = np.arange(5.0, 60.0, 0.5)
    c0 = 160.0 + 240.0 * np.exp(-f / 8.0)
    c = c0.copy()
    other = (f >= 30) & (f < 40)
    c[other] = 1.8 * c0[other]                # the higher mode
    spikes = np.isin(f, [12.0, 47.5])
    c[spikes] *= np.array([0.8, 1.25])        # noise picks
    q = np.where(other, 0.5, 1.0)
    jumps = molvak.picking.jumps(f, c, q, np.ones(f.size, dtype=bool), 0.1)
    np.testing.assert_array_equal(jumps, other | spikes)
    # a smooth fall across a gap is the same ridge, a rise is not
    assert on_ridge(np.log(45 / 30), np.log(0.85), 0.1)
    assert not on_ridge(np.log(45 / 30), np.log(1.07), 0.1)
    assert on_ridge(-np.log(45 / 30), np.log(1.18), 0.1)


def test_plot_draws_the_picks_it_is_given_and_the_limits():
    pytest.importorskip("matplotlib")
    from molvak.plot import new_figure
    offsets = 10.0 + 2.0 * np.arange(24)
    f = np.arange(2.0, 100.0, 0.5)
    v = np.arange(100.0, 500.0, 1.0)
    image = ridge_image(f, v, lambda x: 150.0 + 300.0 * np.exp(-x / 10.0), offsets)
    mine = image.pick(fmin=20, fmax=40)
    _, ax = new_figure()
    image.plot(ax)                       # the last pick, not a default one
    dots = [ln for ln in ax.lines if ln.get_marker() == "o"]
    shown = np.concatenate([ln.get_xdata() for ln in dots])
    np.testing.assert_array_equal(np.sort(shown), mine.frequency)
    # valid picks filled, flagged ones hollow: here some are flagged
    some = image.pick()
    _, ax = new_figure()
    image.plot(ax, picks=some)
    filled = [ln for ln in ax.lines if ln.get_marker() == "o" and ln.get_markerfacecolor()
              != "none"]
    assert sum(len(ln.get_xdata()) for ln in filled) == some.valid.sum() < len(some)
    # the limits: lines velocity = lambda * f for lambda_min, lambda_max, near field
    slopes = sorted(float(ln.get_ydata()[-1] / ln.get_xdata()[-1])
                    for ln in ax.lines if (ln.get_gid() or "").startswith("limit"))
    assert slopes == pytest.approx([2.0, 27.6, 66.0])
    texts = " ".join(t.get_text() for t in ax.texts)
    assert "near field" in texts and "λ max" in texts


# --- modes ------------------------------------------------------------------

def check_modes(curves, gather, f_min_weight=0.5):
    """Every pick nearest its own mode's true curve, within 1 % in median,
    and present over most of the band where that mode carries energy and
    the line resolves it."""
    modes = gather.modes
    lmin, lmax = gather.limits()
    flo, fhi = gather.source_band()
    for m, curve in enumerate(curves):
        assert curve.mode == m
        assert len(curve) > 10, m
        true = np.array([c(curve.frequency) for c, _ in modes])
        err = np.abs(np.log(curve.velocity[None, :] / true))
        own = np.argmin(err, axis=0)
        assert (own == m).all(), (m, curve.frequency[own != m])
        assert np.median(err[m]) < 0.01, (m, np.median(err[m]))
        grid = np.arange(5.0, 85.0, 0.5)
        lam = modes[m][0](grid) / grid
        carries = (modes[m][1](grid) >= f_min_weight) & (lam >= lmin) & (lam <= lmax) \
            & (grid >= flo) & (grid <= fhi)
        assert carries.sum() > 20
        found = np.isin(grid[carries], curve.frequency)
        assert found.mean() > 0.8, (m, found.mean())


@pytest.mark.parametrize("seed", [0, 4])
def test_modes_of_a_gather_whose_energy_moves_up_the_modes(seed):
    """Three modes; mode 0 carries the energy below 30 Hz, mode 1 from 25 to
    50 Hz, mode 2 above 45 Hz, 3 % noise. Measured (seeds 0-7): medians
    0.12-0.37 % off the true curves, no pick on another mode."""
    g = synthetic.multimode_gather(seed=seed, noise=0.03)
    image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(80, 1000, 2), fmin=3,
                               fmax=90, df=0.5)
    curves = image.pick(modes=3)
    assert [c.mode for c in curves] == [0, 1, 2]
    check_modes(curves, g)
    # the single curve is still the strongest peak at every frequency
    single = image.pick()
    assert isinstance(single, DispersionCurve) and len(single) == 175
    # asking for more modes than there are gives empty curves
    more = image.pick(modes=5)
    assert [len(c) for c in more[3:]] == [0, 0]
    for a, b in zip(more[:3], curves):
        np.testing.assert_array_equal(a.velocity, b.velocity)
    with pytest.raises(ValueError, match="modes must be a positive integer"):
        image.pick(modes=0)


def test_modes_of_a_layered_model():
    """The first three Rayleigh modes of a layered model (disba), the energy
    handed from mode 0 to 1 to 2 with frequency; and the model overlay."""
    pytest.importorskip("disba")
    model = np.array([[4.0, 500.0, 200.0, 1900.0], [10.0, 900.0, 380.0, 2000.0],
                      [0.0, 1600.0, 700.0, 2100.0]])
    grid = np.arange(1.0, 100.0, 0.25)
    theory = molvak.theoretical_modes(model, grid, modes=3)
    assert [c.mode for c in theory] == [0, 1, 2]
    # above its cut-off, each mode lies above the one before; all between the
    # slowest and fastest S velocity
    for lo, hi in zip(theory[:-1], theory[1:]):
        common = np.intersect1d(lo.frequency, hi.frequency)
        assert common.size > 100
        assert (np.interp(common, hi.frequency, hi.velocity)
                > np.interp(common, lo.frequency, lo.velocity)).all()
    assert all(0.85 * 200 < c.velocity.min() and c.velocity.max() < 700 for c in theory)

    def curve(c):
        return lambda f: np.interp(f, c.frequency, c.velocity)

    modes = ((curve(theory[0]), synthetic.Band(None, 28.0)),
             (curve(theory[1]), synthetic.Band(24.0, 52.0)),
             (curve(theory[2]), synthetic.Band(48.0, None)))
    g = synthetic.make_multimode_gather(5.0 + np.arange(48.0), 0.5e-3, 2000, modes, 40.0,
                                        noise=0.02, seed=3)
    image = molvak.phase_shift(g.data, g.offsets, g.dt, velocities=(120, 900, 1), fmin=5,
                               fmax=85, df=0.5)
    picked = image.pick(modes=3)
    check_modes(picked, g)
    pytest.importorskip("matplotlib")
    from molvak.plot import new_figure
    _, ax = new_figure()
    image.plot(ax, picks=picked, model=model)
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert {"mode 0", "mode 1", "mode 2", "model, rayleigh modes 0-2"} <= set(labels)
    # the model's lines are its modes, over the image's frequencies
    drawn = [ln for ln in ax.lines if (ln.get_gid() or "").startswith("model mode")]
    assert len(drawn) == 3
    for line, mode in zip(drawn, theory):
        x, y = np.asarray(line.get_xdata()), np.asarray(line.get_ydata())
        assert 5.0 <= x.min() and x.max() <= 85.0
        np.testing.assert_allclose(y, np.interp(x, mode.frequency, mode.velocity), rtol=5e-3)


# --- curve files --------------------------------------------------------------

def test_curve_csv_carries_flags_mode_and_extra_columns(tmp_path):
    f = np.array([5.0, 10.0, 20.0, 40.0])
    curve = DispersionCurve.from_arrays(f, [400.0, 1 / 3 * 900, 200, 150], [0.2, 1.0, 0.9, 0.5],
                                        mode=1, too_long=[True, False, False, False],
                                        jump=[False, False, False, True])
    np.testing.assert_array_equal(curve.valid, [False, True, True, False])
    path = tmp_path / "c.csv"
    curve.to_csv(path)
    lines = path.read_text().splitlines()
    assert lines[1].endswith(",0.20000000000000001,0,0,1,0,0,0,0,0,1")
    back = DispersionCurve.from_csv(path)
    for name in DispersionCurve.COLUMNS + ("valid",) + DispersionCurve.FLAGS:
        np.testing.assert_array_equal(getattr(back, name), getattr(curve, name))
    assert back.mode == 1
    # a reviewer's file: valid overridden, an extra column, columns reordered
    rows = [r.split(",") for r in lines]
    header = rows[0]
    rows[0] = header + ["edited", "note"]
    for k, r in enumerate(rows[1:], start=1):
        r += ["1" if k == 4 else "0", f"pick {k}"]
    rows[4][header.index("valid")] = "1"
    order = [0, 1, 2, 3, 13, 14] + list(range(4, 13))
    (tmp_path / "r.csv").write_text("\n".join(",".join(r[i] for i in order) for r in rows)
                                    + "\n")
    reviewed = DispersionCurve.from_csv(tmp_path / "r.csv")
    np.testing.assert_array_equal(reviewed.valid, [False, True, True, True])
    assert reviewed.jump[3]            # the flag stays, the verdict is the reviewer's
    np.testing.assert_array_equal(reviewed.extra["edited"], [0, 0, 0, 1])
    assert list(reviewed.extra["note"]) == ["pick 1", "pick 2", "pick 3", "pick 4"]
    reviewed.to_csv(tmp_path / "again.csv")
    again = DispersionCurve.from_csv(tmp_path / "again.csv")
    np.testing.assert_array_equal(again.extra["edited"], reviewed.extra["edited"])
    assert list(again.extra["note"]) == list(reviewed.extra["note"])
    # selections keep every column
    kept = reviewed.select(valid=True)
    assert len(kept) == 3 and list(kept.extra["note"]) == ["pick 2", "pick 3", "pick 4"]
    # the four columns of earlier files read as valid picks of mode 0
    (tmp_path / "old.csv").write_text("frequency,velocity,wavelength,quality\n10,200,20,1\n")
    old = DispersionCurve.from_csv(tmp_path / "old.csv")
    assert old.valid.all() and old.mode == 0 and not old.jump.any()
    for body, words in [("frequency,velocity,wavelength,quality,valid\n1,2,2,1,yes\n",
                         "column 'valid' holds a value that is not 0 or 1"),
                        ("frequency,velocity,wavelength,quality,mode\n1,2,2,1,0\n2,2,1,1,1\n",
                         "the mode column holds several modes"),
                        ("frequency,velocity,wavelength,quality\n1,2,2\n", "line 2 has 3 values")]:
        (tmp_path / "bad.csv").write_text(body)
        with pytest.raises(ValueError, match=words):
            DispersionCurve.from_csv(tmp_path / "bad.csv")


# --- statistics and combination ---------------------------------------------

def random_curves(n, seed=0, scatter=0.05):
    """n curves on one frequency grid, log-normal scatter about c(f), with
    some picks flagged."""
    rng = np.random.default_rng(seed)
    f = np.arange(5.0, 50.0, 0.5)
    out = []
    for _ in range(n):
        c = (180 + 200 * np.exp(-f / 8)) * np.exp(scatter * rng.standard_normal(f.size))
        jump = rng.random(f.size) < 0.1
        out.append(DispersionCurve.from_arrays(f, c, jump=jump))
    return out


def test_statistics_per_frequency_and_per_wavelength_bin():
    curves = random_curves(6)
    stats = molvak.statistics(curves)
    f = curves[0].frequency
    v = np.array([c.velocity for c in curves])
    ok = np.array([c.valid for c in curves])
    np.testing.assert_array_equal(stats.frequency, f)
    for j in (0, 40, 89):
        x = v[ok[:, j], j]
        assert stats.count[j] == x.size
        assert stats.velocity[j] == pytest.approx(x.mean(), rel=1e-13)
        assert stats.std[j] == pytest.approx(x.std(ddof=1), rel=1e-12)
        assert stats.lognormal_std[j] == pytest.approx(np.log(x).std(ddof=1), rel=1e-12)
        assert stats.cov[j] == pytest.approx(x.std(ddof=1) / x.mean(), rel=1e-12)
    np.testing.assert_allclose(stats.wavelength, stats.velocity / stats.frequency)
    everything = molvak.statistics(curves, valid_only=False)
    np.testing.assert_array_equal(everything.count, 6)
    # wavelength bins: explicit edges, a pick on the last edge included
    lam = np.concatenate([c.wavelength[c.valid] for c in curves])
    vel = np.concatenate([c.velocity[c.valid] for c in curves])
    edges = np.array([5.0, 8.0, 12.0, 20.0, lam.max()])
    w = molvak.statistics(curves, "wavelength", bins=edges)
    for b in range(4):
        inside = (lam >= edges[b]) & ((lam < edges[b + 1]) | (b == 3))
        assert w.count[b] == inside.sum()
        assert w.velocity[b] == pytest.approx(vel[inside].mean(), rel=1e-13)
    np.testing.assert_allclose(w.wavelength, np.sqrt(edges[:-1] * edges[1:]))
    np.testing.assert_allclose(w.frequency, w.velocity / w.wavelength)
    assert len(molvak.statistics(curves, "wavelength")) <= 30
    with pytest.raises(ValueError, match="increasing edges"):
        molvak.statistics(curves, "wavelength", bins=[3.0, 2.0])
    with pytest.raises(ValueError, match="hold no valid pick"):
        molvak.statistics([DispersionCurve.from_arrays([1.0], [2.0], valid=[False])])


def test_combination_reproduces_the_published_oysand_curve(field_data):
    """The 30 elementary Oysand curves combined in wavelength bins of ratio
    1.2357125 must give the published composite curve. Measured: largest
    relative differences 1.6e-5 (wavelength), 5.2e-6 (mean), 9.3e-6 and
    8.9e-6 (bounds), the file's printed precision."""
    def rows(name):
        out = []
        for line in (field_data / "oysand" / name).read_text().splitlines():
            values = [x for x in line.split("\t") if x.strip()]
            if values:
                out.append(np.array(values, dtype=float))
        return out

    curves = [DispersionCurve.from_arrays(f, c)
              for f, c in zip(rows("Oysand_f_list.txt"), rows("Oysand_c_list.txt"))]
    assert len(curves) == 30 and sum(len(c) for c in curves) == 2468
    ref = np.loadtxt(field_data / "oysand" / "Oysand_dc.txt", skiprows=1)
    site = molvak.combine(curves, ratio=1.2357125, no_std=1, n_points=30)
    for k, name in enumerate(("wavelength", "velocity", "low", "high")):
        np.testing.assert_allclose(getattr(site, name), ref[:, k], rtol=2e-5, err_msg=name)
    assert len(site.bins) == 14 and site.bins.count.min() == 13
    # the bins are whole powers of the ratio
    np.testing.assert_allclose(np.log(site.bins.wavelength) / np.log(1.2357125),
                               np.arange(3, 17), atol=1e-9)
    assert (site.ci_low < site.velocity).all() and (site.velocity < site.ci_high).all()


def test_bootstrap_interval_agrees_with_the_classical_one():
    """One pick per curve per bin, normal scatter, 400 curves: the bootstrap
    interval of the mean must agree with mean -+ t s / sqrt(n)."""
    from scipy import stats as sps
    rng = np.random.default_rng(1)
    lam = 1.5 ** np.array([2.0, 4.0, 6.0])        # bin centres, one pick per bin
    f = 200.0 / lam
    curves = [DispersionCurve.from_arrays(f, 200.0 + 10.0 * rng.standard_normal(3))
              for _ in range(400)]
    for resample in ("curves", "points"):
        out = molvak.combine(curves, ratio=1.5, n_points=3, resample=resample, seed=2)
        bins = out.bins
        v = np.array([c.velocity for c in curves])
        for b in range(3):
            x = v[:, b]
            half = sps.t.ppf(0.975, x.size - 1) * x.std(ddof=1) / np.sqrt(x.size)
            assert bins.velocity[b] == pytest.approx(x.mean(), rel=1e-13)
            width = bins.ci_high[b] - bins.ci_low[b]
            assert width == pytest.approx(2 * half, rel=0.1), (resample, b)
            centre = 0.5 * (bins.ci_high[b] + bins.ci_low[b])
            assert abs(centre - x.mean()) < 0.1 * half
    # one curve cannot bound the mean of curves: NaN, not a zero-width interval
    single = molvak.combine(curves[:1] * 1 + [curves[1]], ratio=1.5, n_points=3)
    assert np.isfinite(single.ci_low).all()
    alone = molvak.combine([DispersionCurve.from_arrays(np.repeat(f, 3), np.repeat(
        [200.0, 210.0, 190.0], 3))], ratio=1.5, n_points=3)
    assert np.isnan(alone.ci_low).all() and np.isfinite(alone.low).all()
    with pytest.raises(ValueError, match="at least two wavelength bins"):
        molvak.combine(curves[:1], ratio=1.5)      # one pick per bin: no std anywhere
    with pytest.raises(ValueError, match="ratio must be a number above 1"):
        molvak.combine(curves, ratio=1.0)


# --- files for inversion ---------------------------------------------------------

def test_uncertain_curve_files_round_trip(tmp_path, field_data):
    ref_path = field_data / "wghs" / "reference" / "nz_wghs_rayleigh_0.txt"
    site = UncertainCurve.from_dinver(ref_path)
    table = np.loadtxt(ref_path)
    np.testing.assert_array_equal(site.frequency, table[:, 0])
    np.testing.assert_allclose(site.velocity, 1 / table[:, 1], rtol=1e-15)
    assert site.velocity[0] == pytest.approx(513.2, abs=0.1)
    np.testing.assert_allclose(np.exp(site.lognormal_std), table[:, 2], rtol=1e-15)
    # dinver text: the three printed columns come back to the last digit (the
    # velocity is the reciprocal of the slowness, so within one rounding)
    site.to_dinver(tmp_path / "t.txt")
    again = np.loadtxt(tmp_path / "t.txt")
    np.testing.assert_allclose(again, table, rtol=3e-16, atol=0)
    assert (tmp_path / "t.txt").read_text().count("\n") == 26
    # CSV and JSON: exact
    curves = random_curves(5, seed=3)
    stats = molvak.combine(curves, ratio=1.3)
    for suffix, write, read in ((".csv", stats.to_csv, UncertainCurve.from_csv),
                                (".json", stats.to_json, UncertainCurve.from_json)):
        write(tmp_path / f"s{suffix}")
        back = read(tmp_path / f"s{suffix}")
        for name in UncertainCurve.COLUMNS:
            np.testing.assert_array_equal(getattr(back, name), getattr(stats, name), name)
    assert json.loads((tmp_path / "s.json").read_text())["count"][0] is None
    stats.to_dinver(tmp_path / "s.txt", min_lognormal_std=0.05)
    back = UncertainCurve.from_dinver(tmp_path / "s.txt")
    np.testing.assert_allclose(back.lognormal_std, np.maximum(stats.lognormal_std, 0.05)[::-1],
                               rtol=1e-14)
    # a point without a standard deviation cannot be written for an inversion
    lonely = UncertainCurve.from_arrays([10.0, 20.0], [200.0, 180.0], [0.05, np.nan])
    with pytest.raises(ValueError, match="at 1 point\\(s\\), frequency 20 Hz"):
        lonely.to_dinver(tmp_path / "l.txt")
    (tmp_path / "bad.txt").write_text("1 0.01\n")
    with pytest.raises(ValueError, match="line 1 has 2 values"):
        UncertainCurve.from_dinver(tmp_path / "bad.txt")


# --- careless use ------------------------------------------------------------

def test_stats_command_pairs_reviewed_files_by_folder_and_skips_earlier_outputs(tmp_path,
                                                                                capsys):
    from molvak.cli import main
    from molvak.cli.curves import curve_files
    curves = random_curves(4, seed=5)
    for folder, name, k in (("day1", "shot1.csv", 0), ("day1", "shot1.reviewed.csv", 1),
                            ("day2", "shot1.csv", 2), ("day2", "shot2.csv", 3)):
        (tmp_path / folder).mkdir(exist_ok=True)
        curves[k].to_csv(tmp_path / folder / name)
    got = sorted(p.relative_to(tmp_path).as_posix() for p in curve_files([str(tmp_path)]))
    assert got == ["day1/shot1.reviewed.csv", "day2/shot1.csv", "day2/shot2.csv"]
    assert main(["stats", str(tmp_path / "day2"), "--out", str(tmp_path / "day2" / "s"),
                 "--no-plot"]) == 0
    assert "of 2 curve(s)" in capsys.readouterr().out
    # the earlier output named among the picks (as a shell glob does) is left out
    named = sorted(str(p) for p in (tmp_path / "day2").glob("*.csv"))
    assert len(named) == 3
    assert main(["stats", *named, "--out", str(tmp_path / "t"), "--no-plot"]) == 0
    out, err = capsys.readouterr()
    assert "of 2 curve(s)" in out and "s.csv is a curve with its uncertainty" in err


def test_stats_of_single_picks_writes_all_files_or_none(tmp_path, capsys):
    from molvak.cli import main
    one, two = random_curves(2)
    one.to_csv(tmp_path / "c0.csv")
    assert main(["stats", str(tmp_path / "c0.csv"), "--out", str(tmp_path / "s"),
                 "--no-plot"]) == 0
    assert "left out of" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c0.csv", "s.csv", "s.json"]
    assert np.isnan(UncertainCurve.from_csv(tmp_path / "s.csv").std).all()
    # a refusal comes before anything is written
    two.to_csv(tmp_path / "c1.csv")
    assert main(["stats", str(tmp_path / "c0.csv"), str(tmp_path / "c1.csv"), "--out",
                 str(tmp_path / "u"), "--no-plot", "--min-std", "nan"]) == 2
    assert "min_lognormal_std" in capsys.readouterr().err
    assert not list(tmp_path.glob("u.*"))


def test_sizes_that_cannot_fit_are_refused_naming_the_argument(monkeypatch):
    import tracemalloc

    from molvak import curves as module
    curves = random_curves(3)
    with pytest.raises(ValueError, match="bins = 1000000000 is more bins than fit"):
        molvak.statistics(curves, "wavelength", bins=10**9)
    with pytest.raises(ValueError, match=r"ratio = 1\.000000001 makes .* wavelength bins"):
        molvak.combine(curves, ratio=1 + 1e-9)
    with pytest.raises(ValueError, match="n_boot = 100000000 resampled means"):
        molvak.combine(curves, n_boot=10**8)
    # the bootstrap's memory does not follow n_boot x curves: resampling in
    # chunks of rows draws the same numbers as all at once
    many = random_curves(1500, seed=1, scatter=0.1)
    whole = molvak.combine(many, ratio=1.5, n_boot=200)
    monkeypatch.setattr(module, "BOOT_CHUNK", 1 << 16)
    np.testing.assert_allclose(molvak.combine(many, ratio=1.5, n_boot=200).bins.ci_low,
                               whole.bins.ci_low, rtol=1e-12)
    peaks = []
    for n_boot in (200, 4000):
        tracemalloc.start()
        molvak.combine(many, ratio=1.5, n_boot=n_boot)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
    # before: 4000 x 1500 draws and weights, 96 MB more
    assert peaks[1] - peaks[0] < 8 << 20


def test_uncertain_curve_files_recover_or_refuse(tmp_path):
    curves = random_curves(5, seed=3)
    site = molvak.combine(curves, ratio=1.3)
    site.to_csv(tmp_path / "s.csv")
    assert UncertainCurve.from_csv(tmp_path / "s.csv").domain == "wavelength"
    with pytest.raises(ValueError, match="the domain column says wavelength"):
        UncertainCurve.from_csv(tmp_path / "s.csv", domain="frequency")
    text = (tmp_path / "s.csv").read_text(encoding="utf-8")
    (tmp_path / "bom.csv").write_text("\ufeff" + text + "\n\n", encoding="utf-8")
    back = UncertainCurve.from_csv(tmp_path / "bom.csv")
    np.testing.assert_array_equal(back.velocity, site.velocity)
    for body, words in (("1 0.01 1.1\nnan 0.01 1.1\n", "point 2"),
                        ("0 0.01 1.1\n", "point 1"), ("-2 0.01 1.1\n", "point 1"),
                        ("2 inf 1.1\n", "point 1")):
        (tmp_path / "d.txt").write_text(body)
        with pytest.raises(ValueError, match=f"d.txt'?: {words}"):
            UncertainCurve.from_dinver(tmp_path / "d.txt")
    for doc, words in (('"text"', "expected an object"), ('{"domain": 1}', "missing"),
                       ('[[[', "is not JSON")):
        (tmp_path / "j.json").write_text(doc)
        with pytest.raises(ValueError, match=words):
            UncertainCurve.from_json(tmp_path / "j.json")
    with pytest.raises(FileNotFoundError, match="no/such: no such folder"):
        site.to_csv(tmp_path / "no" / "such" / "s.csv")
    with pytest.raises(ValueError, match="no_std must be a non-negative"):
        molvak.statistics(curves, no_std=-1)
    with pytest.raises(ValueError, match="no_std must be a non-negative"):
        molvak.combine(curves, no_std=-1)
    odd = DispersionCurve.from_arrays([5.0, np.inf], [300.0, 250.0])
    assert np.isfinite(molvak.statistics(curves + [odd]).frequency).all()
