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
from typing import Dict, List, Tuple

import numpy as np

import molvak

HERE = Path(__file__).resolve().parent.parent
FIELD = HERE.parent / "shared" / "data" / "field"
SHOTS = list(range(6, 21)) + list(range(26, 41))
SETTINGS = dict(velocities=np.linspace(100.0, 500.0, 400), fmin=3.0, fmax=100.0, df=0.5,
                steering="cylindrical", weighting="sqrt")


def wghs_images(field: Path = FIELD) -> Dict[float, molvak.DispersionImage]:
    """The six source positions' images, keyed by source position (m)."""
    shots = [molvak.read(field / "wghs" / "shots" / f"{k}.dat") for k in SHOTS]
    groups = molvak.group_by_source(shots)
    gathers = {key[0]: molvak.stack_gathers(m).detrend().trim(0.0, 0.5)
               for key, m in groups.items()}
    images = molvak.process(list(gathers.values()), "fdbf", workers=2, **SETTINGS)
    return dict(zip(gathers, images))


def wghs_reference(field: Path = FIELD) -> Dict[float, Tuple[np.ndarray, np.ndarray, np.ndarray]]:
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
              kept: np.ndarray, site: molvak.UncertainCurve) -> Dict[str, float]:
    """How molvak's valid picks compare with the published ones.

    precision: among molvak's valid picks, the share within 2 % of a
    published (kept) pick at the same frequency; recall: the share of
    published picks that molvak flags valid; extra: molvak's valid picks at
    frequencies where nothing was published, and their median distance from
    the site curve.
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
    return {
        "published": int(kept.sum()), "valid": int(valid.sum()),
        "precision": float(close[valid].mean()) if valid.any() else float("nan"),
        "recall": float(np.mean(ref_valid[kept])),
        "extra": int(extra.sum()),
        "extra_site": float(np.nanmedian(np.abs(curve.velocity[extra] / site_v - 1.0)))
        if extra.any() else float("nan"),
    }


def oysand_curves(field: Path = FIELD, **pick: object) -> List[molvak.DispersionCurve]:
    out = []
    for x1 in (10, 15, 20, 30):
        g = molvak.read(field / "oysand" / f"Oysand_dx_2m_x1_{x1}m_forward.dat", dt=0.001,
                        source=0.0, spacing=2.0, first_receiver=float(x1)).detrend()
        image = g.image("fdbf", velocities=np.linspace(80.0, 400.0, 321), fmin=3.0, fmax=100.0,
                        df=0.5, steering="cylindrical", weighting="sqrt")
        out.append(image.pick(**pick))   # type: ignore[arg-type]
    return out


def oysand_agreement(curve: molvak.DispersionCurve, site: np.ndarray) -> Dict[str, float]:
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


def report(images: Dict[float, molvak.DispersionImage], oysand_site: np.ndarray,
           **pick: object) -> Tuple[float, float, float]:
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


def sweep(images: Dict[float, molvak.DispersionImage], oysand_site: np.ndarray) -> None:
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


def main(argv: List[str]) -> int:
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


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
