"""Hostile and careless input to the curve files and the statistics: the
CSV, JSON and dinver files of UncertainCurve and the picks CSV of
read_curves, mutated cell by cell, and the arguments of statistics and
combine drawn from their edges (NaN, infinities, zero, negative, huge).

Every call must either give a result that keeps its invariants (a file
read back writes and reads again to the same values; statistics hold
finite positive frequencies and velocities, bounds around the mean) or be
refused with a one-line ValueError or TypeError (naming the file, for the
readers); any other exception, or a result breaking an invariant, fails.
The tally by outcome is printed in pytest's closing summary.
"""
import json
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import molvak
from molvak import DispersionCurve, UncertainCurve, read_curves
from tally import tally

SUITE = "curve formats and statistics"
SETTINGS = settings(max_examples=300, deadline=None, derandomize=True,
                    suppress_health_check=list(HealthCheck))
COUNTS = tally(SUITE)

JUNK = st.sampled_from(["", " ", "nan", "NaN", "inf", "-inf", "-1", "0", "1e999", "x", " 3 ",
                        "0x10", "1_000", "1,5", "\"", "é", "\x00", "true", "None", "2.5e-320"])
NUMBERS = st.floats(allow_nan=True, allow_infinity=True).map(repr)
CELLS = st.one_of(JUNK, NUMBERS)


def mostly(sensible, edge):
    """The sensible values four times in five, the edge ones otherwise (so
    that the calls that should succeed are tried as well as the refusals)."""
    return st.integers(0, 4).flatmap(lambda k: edge if k == 0 else sensible)


def judge(call, *, name=None, check=None):
    """Run `call`; tally and return its result, or None when it was refused
    in one line (naming `name` when given)."""
    try:
        out = call()
    except (ValueError, TypeError) as exc:
        text = str(exc)
        ok = text and "\n" not in text and (name is None or name in text)
        COUNTS["refused" if ok else "failed"] += 1
        assert ok, f"refusal not in one line naming {name}: {text!r}"
        return None
    except Exception:
        COUNTS["failed"] += 1
        raise
    try:
        if check is not None:
            check(out)
    except Exception:
        COUNTS["failed"] += 1
        raise
    COUNTS["answered"] += 1
    return out


def same(a, b):
    for c in UncertainCurve.COLUMNS:
        np.testing.assert_array_equal(getattr(a, c), getattr(b, c), c)
    assert a.domain == b.domain


def round_trip(tmp, write, read):
    def check(curve):
        assert isinstance(curve, UncertainCurve)
        back = tmp.with_name("again" + tmp.suffix)
        getattr(curve, write)(back, overwrite=True)
        same(read(back), curve)
    return check


def base_curve():
    rng = np.random.default_rng(3)
    f = np.arange(5.0, 40.0, 2.5)
    curves = [DispersionCurve.from_arrays(f, 200 + 300 * np.exp(-f / 10)
                                          * np.exp(0.05 * rng.standard_normal(f.size)))
              for _ in range(4)]
    return molvak.statistics(curves), curves


BASE, PICKS = base_curve()


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("curves")


def mutate(text, edits, prefix, suffix):
    rows = [line.split(",") for line in text.splitlines()]
    for row, col, value, kind in edits:
        r = rows[row % len(rows)]
        if not r:
            r.append(value)
            continue
        k = col % len(r)
        if kind == 0:
            r[k] = value
        elif kind == 1:
            del r[k]
        elif kind == 2:
            r.insert(k, value)
        elif len(rows) > 1:
            del rows[row % len(rows)]
    return prefix + "\n".join(",".join(r) for r in rows) + suffix


# edits of a table: a cell replaced (by a number, mostly), removed or added, a row removed
EDITS = mostly(st.lists(st.tuples(st.integers(1, 30), st.integers(0, 12), NUMBERS, st.just(0)),
                        max_size=3),
               st.lists(st.tuples(st.integers(0, 30), st.integers(0, 12), CELLS,
                                  st.integers(0, 3)), max_size=4))
ENDS = st.tuples(st.sampled_from(["", "\ufeff", "\n", " "]),
                 st.sampled_from(["", "\n", "\n\n", "\r\n", ",", "\n,,,"]))


@SETTINGS
@given(edits=EDITS, ends=ENDS, wavelength=st.booleans())
def test_uncertain_csv(folder, edits, ends, wavelength):
    path = folder / "u.csv"
    curve = BASE if not wavelength else molvak.combine(PICKS, ratio=1.3)
    curve.to_csv(path, overwrite=True)
    path.write_text(mutate(path.read_text(), edits, *ends), encoding="utf-8")
    judge(lambda: UncertainCurve.from_csv(path), name="u.csv",
          check=round_trip(path, "to_csv", UncertainCurve.from_csv))


JSON = st.recursive(st.one_of(st.none(), st.booleans(), st.integers(), st.just(10**400),
                              st.floats(), st.text()),
                    lambda inner: st.one_of(st.lists(inner, max_size=4),
                                            st.dictionaries(st.text(max_size=12), inner,
                                                            max_size=4)), max_leaves=20)


@SETTINGS
@given(column=st.sampled_from(UncertainCurve.COLUMNS + ("domain",)),
       value=mostly(st.one_of(st.lists(st.one_of(st.none(), st.floats()), min_size=len(BASE),
                                       max_size=len(BASE)),
                              st.sampled_from(["frequency", "wavelength"])), JSON),
       whole=mostly(st.just(False), st.just(True)),
       raw=st.sampled_from(["", "[[[", "{", "\ufeff{}", "NaN", "1e999"]))
def test_uncertain_json(folder, column, value, whole, raw):
    path = folder / "u.json"
    doc = json.loads(json.dumps({"domain": BASE.domain, **{
        c: [None if not math.isfinite(v) else v for v in getattr(BASE, c).tolist()]
        for c in UncertainCurve.COLUMNS}}))
    doc[column] = value
    path.write_text(raw if raw and whole else json.dumps(value if whole else doc))
    judge(lambda: UncertainCurve.from_json(path), name="u.json",
          check=round_trip(path, "to_json", UncertainCurve.from_json))


LINE = st.lists(st.one_of(NUMBERS, JUNK.filter(lambda s: "," not in s)), max_size=4).map(
    lambda parts: "\t".join(parts))


@SETTINGS
@given(lines=st.lists(mostly(
    st.tuples(st.floats(1e-3, 1e3), st.floats(1e-5, 1.0), st.floats(1.0, 10.0)).map(
        lambda t: " ".join(repr(x) for x in t)),
    st.one_of(LINE, st.sampled_from(["# comment", "", "10 0.005 1.1"]))), max_size=8))
@example(lines=["1.0\t2.5e-320\t1.0"])     # a slowness whose velocity overflows
def test_dinver(folder, lines):
    path = folder / "d.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")

    def check(curve):
        assert len(curve) > 0
        assert (np.isfinite(curve.frequency) & (curve.frequency > 0)).all()
        assert (np.isfinite(curve.velocity) & (curve.velocity > 0)).all()
        assert (curve.lognormal_std >= 0).all()
        curve.to_dinver(folder / "again.txt", overwrite=True)
        back = UncertainCurve.from_dinver(folder / "again.txt")
        np.testing.assert_allclose(back.velocity, curve.velocity[np.argsort(curve.frequency,
                                                                            kind="stable")],
                                   rtol=1e-15)
    judge(lambda: UncertainCurve.from_dinver(path), name="d.txt", check=check)


PICK_COLUMNS = ["frequency", "velocity", "wavelength", "quality", "valid", "mode", "jump",
                "too_short", "note"]


@SETTINGS
@given(columns=st.permutations(PICK_COLUMNS).flatmap(
           lambda p: mostly(st.just(p), st.integers(0, len(p)).map(lambda k: p[:k]))),
       edits=EDITS, ends=ENDS)
def test_picks_csv(folder, columns, edits, ends):
    path = folder / "p.csv"
    rows = [",".join(columns)]
    for k in range(6):
        values = {"frequency": 5 + k, "velocity": 300 - 10 * k, "wavelength": (300 - 10 * k)
                  / (5 + k), "quality": 0.5, "valid": k % 2, "mode": k // 3, "jump": 0,
                  "too_short": 1, "note": f"n{k}"}
        rows.append(",".join(str(values[c]) for c in columns))
    path.write_text(mutate("\n".join(rows), edits, *ends), encoding="utf-8")

    def check(curves):
        assert all(isinstance(c, DispersionCurve) for c in curves)
        modes = [c.mode for c in curves]
        assert modes == sorted(set(modes)) and all(m >= 0 for m in modes)
    judge(lambda: read_curves(path), name="p.csv", check=check)


VALUES = st.floats(allow_nan=True, allow_infinity=True, width=64)


def curves_of(points):
    """Curves of (frequency, velocity, valid) points (wavelengths that
    overflow are the curve's business, not the statistics')."""
    with np.errstate(all="ignore"):
        return [DispersionCurve.from_arrays([f for f, _, _ in c], [v for _, v, _ in c],
                                            jump=[not ok for _, _, ok in c]) for c in points]


CURVES = st.lists(st.lists(st.tuples(VALUES, VALUES, st.booleans()), min_size=1, max_size=6),
                  min_size=1, max_size=4).map(curves_of)
GOOD_CURVES = st.integers(0, 50).map(lambda seed: [
    DispersionCurve.from_arrays(np.arange(5.0, 30.0, 2.5), 250 + 10 * np.random.default_rng(
        seed + k).standard_normal(10)) for k in range(3)])
EDGES = st.lists(VALUES, max_size=5)


SIZES = st.one_of(st.integers(-3, 60), st.sampled_from([10**7 + 1, 10**9, 2**63, 2**70]))


def sound(out):
    assert isinstance(out, UncertainCurve) and len(out) > 0
    for name in ("frequency", "wavelength", "velocity"):
        x = getattr(out, name)
        assert (np.isfinite(x) & (x > 0)).all(), name
    known = np.isfinite(out.std)
    assert (out.low[known] <= out.velocity[known]).all()
    assert (out.velocity[known] <= out.high[known]).all()


@SETTINGS
@given(curves=mostly(GOOD_CURVES, CURVES),
       domain=mostly(st.sampled_from(["frequency", "wavelength"]),
                     st.sampled_from(["Frequency", "", "λ"])),
       bins=mostly(st.one_of(st.none(), st.integers(1, 40),
                             st.just([5.0, 10.0, 20.0, 40.0, 80.0])),
                   st.one_of(SIZES, EDGES, st.just(True), st.just(2.5))),
       no_std=mostly(st.floats(0, 5), VALUES), valid_only=st.booleans())
def test_statistics_arguments(curves, domain, bins, no_std, valid_only):
    judge(lambda: molvak.statistics(curves, domain, bins=bins, valid_only=valid_only,
                                    no_std=no_std), check=sound)


@SETTINGS
@given(curves=mostly(GOOD_CURVES, CURVES),
       ratio=mostly(st.floats(1.05, 3.0),
                    st.one_of(st.sampled_from([1.0, 0.5, 1 + 1e-9, 1e300, -2.0]), VALUES)),
       n_points=mostly(st.integers(2, 50),
                       st.one_of(st.integers(-2, 1), st.sampled_from([10**7 + 1, 10**12, 2.5]))),
       min_count=mostly(st.integers(2, 4), st.integers(-1, 1)),
       confidence=mostly(st.floats(0.5, 0.99), VALUES),
       n_boot=mostly(st.sampled_from([10, 40, 100]),
                     st.sampled_from([-5, 0, 9, 2.5, 10**8, 2**70])),
       resample=mostly(st.sampled_from(["curves", "points"]), st.just("x")),
       no_std=mostly(st.floats(0, 5), VALUES))
def test_combine_arguments(curves, ratio, n_points, min_count, confidence, n_boot, resample,
                           no_std):
    def check(out):
        sound(out)
        assert out.domain == "wavelength" and out.bins is not None
        sound(out.bins)
    judge(lambda: molvak.combine(curves, ratio=ratio, n_points=n_points, min_count=min_count,
                                 confidence=confidence, n_boot=n_boot, resample=resample,
                                 no_std=no_std), check=check)

