"""Field checks of molvak's dispersion curves: the validity flags against
published picks, the combination of elementary curves against a published
composite curve, and the WGHS site curve.

    python tools/field_curves.py                 # agreement with the defaults
    python tools/field_curves.py --sweep         # the calibration of the limits
    python tools/field_curves.py --site OUT/     # WGHS site curve: picture and files
    python tools/field_curves.py --oysand        # the Oysand combination, column by column

WGHS (Vantassel & Cox 2022): the five shots of each source position stacked,
detrended, trimmed to 0-0.5 s after the shot and imaged by cylindrical,
sqrt-weighted beamforming over 3-100 Hz at 0.5 Hz with 400 velocities over
100-500 m/s, as the published processing did. Its trimmed picks
(reference/nz_wghs_trimmed_rayleigh_masw.json) are what a person kept; the
site curve (reference/nz_wghs_rayleigh_0.txt, MASW with passive arrays) is
an independent check of picks the person did not keep.

Oysand (Olafsdottir et al.): four gathers, 24 geophones every 2 m, against
the composite curve published for the site (Oysand_dc.txt).

Needs the `io` extra (ObsPy) and, for --site, the `plot` extra.
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import numpy as np

import molvak

HERE = Path(__file__).resolve().parent.parent
FIELD = HERE.parent / "shared" / "data" / "field"
SHOTS = list(range(6, 21)) + list(range(26, 41))
SETTINGS = dict(velocities=np.linspace(100.0, 500.0, 400), fmin=3.0, fmax=100.0, df=0.5,
                steering="cylindrical", weighting="sqrt")


def wghs_images(field: Path = FIELD) -> dict[float, molvak.DispersionImage]:
    """The six source positions' images, keyed by source position (m)."""
    shots = [molvak.read(field / "wghs" / "shots" / f"{k}.dat") for k in SHOTS]
    groups = molvak.group_by_source(shots)
    gathers = {key[0]: molvak.stack_gathers(m).detrend().trim(0.0, 0.5)
               for key, m in groups.items()}
    images = molvak.process(list(gathers.values()), "fdbf", workers=2, **SETTINGS)
    return dict(zip(gathers, images))


def wghs_reference(field: Path = FIELD) -> dict[float, tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """Published picks per source position: (frequency, velocity, kept)."""
    with open(field / "wghs" / "reference" / "nz_wghs_trimmed_rayleigh_masw.json") as handle:
        raw = json.load(handle)
    return {float(k): (np.array(e["frequency"], dtype=float), np.array(e["velocity"], dtype=float),
                       np.array(e["valid"], dtype=bool)) for k, e in raw.items()}


def wghs_site(field: Path = FIELD) -> molvak.UncertainCurve:
    """The published site curve (MASW and passive arrays)."""
    return molvak.UncertainCurve.from_dinver(field / "wghs" / "reference"
                                             / "nz_wghs_rayleigh_0.txt")


def agreement(curve: molvak.DispersionCurve, freq: np.ndarray, vel: np.ndarray,
              kept: np.ndarray, site: molvak.UncertainCurve) -> dict[str, float]:
    """How molvak's valid picks compare with the published ones.

    precision: among molvak's valid picks, the share within 2 % of a
    published (kept) pick at the same frequency; recall: the share of
    published picks that molvak flags valid; extra: molvak's valid picks at
    frequencies where nothing was published, and their median distance from
    the site curve (where it is defined: 2.5 to 66 Hz).
    """
    at = np.searchsorted(freq, curve.frequency)
    at = np.clip(at, 0, freq.size - 1)
    same = np.abs(freq[at] - curve.frequency) < 1e-9
    published = same & kept[at]
    close = published & (np.abs(curve.velocity / vel[at] - 1.0) <= 0.02)
    valid = curve.valid
    ref_valid = np.zeros(freq.size, dtype=bool)
    ref_valid[at[same & valid]] = True
    extra = valid & ~published
    site_v = site.velocity_at(curve.frequency[extra])
    dev = np.abs(curve.velocity[extra] / site_v - 1.0)
    dev = dev[np.isfinite(dev)]
    return {
        "published": int(kept.sum()), "valid": int(valid.sum()),
        "precision": float(close[valid].mean()) if valid.any() else float("nan"),
        "recall": float(np.mean(ref_valid[kept])),
        "extra": int(extra.sum()),
        "extra_site": float(np.median(dev)) if dev.size else float("nan"),
    }


def oysand_curves(field: Path = FIELD, **pick: object) -> list[molvak.DispersionCurve]:
    out = []
    for x1 in (10, 15, 20, 30):
        g = molvak.read(field / "oysand" / f"Oysand_dx_2m_x1_{x1}m_forward.dat", dt=0.001,
                        source=0.0, spacing=2.0, first_receiver=float(x1)).detrend()
        image = g.image("fdbf", velocities=np.linspace(80.0, 400.0, 321), fmin=3.0, fmax=100.0,
                        df=0.5, steering="cylindrical", weighting="sqrt")
        out.append(image.pick(**pick))   # type: ignore[arg-type]
    return out


def oysand_agreement(curve: molvak.DispersionCurve, site: np.ndarray) -> dict[str, float]:
    """molvak's valid picks against the composite curve: the share within
    2 % of its mean, and the part of its frequency band they cover."""
    f_site = site[:, 1] / site[:, 0]
    order = np.argsort(f_site)
    ok = curve.valid
    inside = ok & (curve.frequency >= f_site.min()) & (curve.frequency <= f_site.max())
    ref = np.interp(curve.frequency, f_site[order], site[order, 1])
    close = inside & (np.abs(curve.velocity / ref - 1.0) <= 0.02)
    grid = np.linspace(f_site.min(), f_site.max(), 500)
    fv = curve.frequency[ok]
    covered = np.array([np.any(np.abs(fv - x) <= 0.5) for x in grid])
    return {"valid": int(ok.sum()), "in_band": int(inside.sum()),
            "within_2": float(close[inside].mean()) if inside.any() else float("nan"),
            "outside_band": int((ok & ~inside).sum()), "coverage": float(covered.mean())}


def report(images: dict[float, molvak.DispersionImage], oysand_site: np.ndarray,
           **pick: object) -> tuple[float, float, float]:
    ref = wghs_reference()
    site = wghs_site()
    print(f"{'source':>7} {'published':>9} {'valid':>6} {'precision':>9} {'recall':>7} "
          f"{'extra':>6} {'extra vs site':>13}")
    tp = nv = rc = npub = 0.0
    for position, image in images.items():
        freq, vel, kept = ref[position]
        a = agreement(image.pick(**pick), freq, vel, kept, site)  # type: ignore[arg-type]
        print(f"{position:7g} {a['published']:9d} {a['valid']:6d} {100 * a['precision']:8.1f}% "
              f"{100 * a['recall']:6.1f}% {a['extra']:6d} {100 * a['extra_site']:12.1f}%")
        tp += a["precision"] * a["valid"]
        nv += a["valid"]
        rc += a["recall"] * a["published"]
        npub += a["published"]
    print(f"{'all':>7} {int(npub):9d} {int(nv):6d} {100 * tp / nv:8.1f}% {100 * rc / npub:6.1f}%")
    print(f"{'Oysand':>7} {'valid':>6} {'in band':>8} {'within 2 %':>10} {'outside':>8} "
          f"{'coverage':>8}")
    within = []
    for x1, curve in zip((10, 15, 20, 30), oysand_curves(**pick)):
        o = oysand_agreement(curve, oysand_site)
        within.append(o["within_2"])
        print(f"{x1:5d} m {o['valid']:6d} {o['in_band']:8d} {100 * o['within_2']:9.1f}% "
              f"{o['outside_band']:8d} {100 * o['coverage']:7.1f}%")
    return tp / nv, rc / npub, float(np.mean(within))


def sweep(images: dict[float, molvak.DispersionImage], oysand_site: np.ndarray) -> None:
    """Precision and recall on WGHS for limits around the defaults."""
    ref = wghs_reference()
    site = wghs_site()
    print(f"{'shortest':>8} {'longest':>7} {'jump':>5} {'valid':>6} {'precision':>9} "
          f"{'recall':>7} {'extra':>6}")
    for shortest in (0.8, 1.0, 1.5, 2.0):
        for longest in (0.4, 0.5, 0.6, 0.7, 1.0):
            for jump in (0.05, 0.1, 0.15):
                tp = nv = rc = npub = extra = 0.0
                for position, image in images.items():
                    freq, vel, kept = ref[position]
                    band = molvak.array_limits(image.params["offsets"], shortest=shortest,
                                               longest=longest)
                    a = agreement(image.pick(wavelengths=band, jump=jump), freq, vel, kept, site)
                    tp += a["precision"] * a["valid"]
                    nv += a["valid"]
                    rc += a["recall"] * a["published"]
                    npub += a["published"]
                    extra += a["extra"]
                print(f"{shortest:8g} {longest:7g} {jump:5g} {int(nv):6d} {100 * tp / nv:8.1f}% "
                      f"{100 * rc / npub:6.1f}% {int(extra):6d}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sweep", action="store_true", help="vary the limits")
    parser.add_argument("--site", metavar="DIR", help="write the WGHS site curve to DIR")
    parser.add_argument("--oysand", action="store_true",
                        help="combine the 30 Oysand elementary curves")
    args = parser.parse_args(argv)
    oysand_site = np.loadtxt(FIELD / "oysand" / "Oysand_dc.txt", skiprows=1)
    if args.oysand:
        oysand_combination()
        return 0
    images = wghs_images()
    if args.sweep:
        sweep(images, oysand_site)
    elif args.site:
        site_curve(images, Path(args.site))
    else:
        report(images, oysand_site)
    return 0



def oysand_elementary(field: Path = FIELD) -> list[molvak.DispersionCurve]:
    """The 30 elementary Oysand curves (one per row of the c and f lists)."""
    def rows(path: Path) -> list[np.ndarray]:
        out = []
        with open(path) as handle:
            for line in handle:
                values = [x for x in line.rstrip("\r\n").split("\t") if x.strip()]
                if values:
                    out.append(np.array(values, dtype=float))
        return out
    c = rows(field / "oysand" / "Oysand_c_list.txt")
    f = rows(field / "oysand" / "Oysand_f_list.txt")
    return [molvak.DispersionCurve.from_arrays(fk, ck) for fk, ck in zip(f, c)]


def oysand_combination() -> None:
    """The published composite curve against molvak.combine, column by column."""
    ref = np.loadtxt(FIELD / "oysand" / "Oysand_dc.txt", skiprows=1)
    curves = oysand_elementary()
    out = molvak.combine(curves, ratio=1.2357125, no_std=1, n_points=30)
    print(f"{len(curves)} curves, {sum(len(c) for c in curves)} picks, "
          f"{len(out.bins)} bins of {int(out.bins.count.min())}-{int(out.bins.count.max())}")
    print(f"{'column':>10} {'median':>9} {'largest':>9}   relative difference")
    for k, name in enumerate(("wavelength", "velocity", "low", "high")):
        rel = np.abs(getattr(out, name) / ref[:, k] - 1.0)
        print(f"{name:>10} {np.median(rel):9.1e} {rel.max():9.1e}")


def site_curve(images: dict[float, molvak.DispersionImage], out: Path) -> None:
    """The six source positions' valid picks combined into one site curve:
    a picture and the curve in the dinver text format, CSV and JSON."""
    from matplotlib.ticker import NullFormatter

    from molvak.plot import new_figure
    out.mkdir(parents=True, exist_ok=True)
    curves = {p: image.pick() for p, image in images.items()}
    site = molvak.combine(list(curves.values()), ratio=2 ** (1 / 6), n_points=40)
    published = wghs_site()
    written = []
    for suffix, writer in ((".txt", site.to_dinver), (".csv", site.to_csv),
                           (".json", site.to_json)):
        path = out / f"wghs_site_curve{suffix}"
        writer(path, overwrite=True)
        written.append(path)
    fig, axes = new_figure((11.0, 4.6))
    fig.clear()
    axes = fig.subplots(1, 2)
    colours = ["#1b9e77", "#d95f02", "#7570b3", "#e7298a", "#66a61e", "#e6ab02"]
    for ax, domain in zip(axes, ("frequency", "wavelength")):
        for (position, curve), colour in zip(curves.items(), colours):
            ok = curve.valid
            x = curve.frequency if domain == "frequency" else curve.wavelength
            ax.plot(x[ok], curve.velocity[ok], ls="none", marker="o", ms=2.2, color=colour,
                    alpha=0.7, label=f"source at {position:g} m")
        x = site.frequency if domain == "frequency" else site.wavelength
        ax.fill_between(x, site.low, site.high, color="0.5", alpha=0.3, lw=0,
                        label="mean ± 1 std")
        ax.plot(x, site.ci_low, color="black", lw=0.8, ls=(0, (3, 2)),
                label="95 % bootstrap interval of the mean")
        ax.plot(x, site.ci_high, color="black", lw=0.8, ls=(0, (3, 2)))
        ax.plot(x, site.velocity, color="black", lw=1.6, label="combined (molvak)")
        px = published.frequency if domain == "frequency" else published.wavelength
        ax.plot(px, published.velocity, color="#b2182b", lw=1.2, ls="--",
                label="published site curve (MASW + passive)")
        ax.set_xscale("log")
        ticks = [5, 10, 20, 30, 50, 80] if domain == "frequency" else [2, 3, 5, 10, 20, 30]
        ax.set_xticks(ticks)
        ax.set_xticklabels([str(t) for t in ticks])
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_xlabel("Frequency (Hz)" if domain == "frequency" else "Wavelength (m)")
        ax.set_ylabel("Phase velocity (m/s)")
        ax.set_ylim(140, 260)
        ax.grid(True, which="both", alpha=0.25)
    axes[0].set_xlim(5, 90)
    axes[1].set_xlim(1.5, 40)
    axes[0].legend(fontsize=7, loc="upper right")
    fig.suptitle("WGHS: valid picks of six source positions combined in wavelength bins "
                 "(ratio 2^(1/6))", fontsize=10)
    png = out / "wghs_site_curve.png"
    fig.savefig(png)
    written.insert(0, png)
    band = (published.frequency >= 8) & (published.frequency <= 60)
    mine = np.interp(np.log(published.frequency[band]), np.log(site.frequency[::-1]),
                     site.velocity[::-1])
    rel = np.abs(mine / published.velocity[band] - 1.0)
    print(f"site curve: {len(site)} points, {site.frequency.min():.1f}-"
          f"{site.frequency.max():.1f} Hz; against the published curve over 8-60 Hz: "
          f"median {100 * np.median(rel):.1f} %, largest {100 * rel.max():.1f} %")
    print("wrote " + ", ".join(str(p) for p in written))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
