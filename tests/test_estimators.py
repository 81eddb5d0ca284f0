"""The registry of estimators is the one table every part of the package
reads: an estimator added by one entry is at once a method of the API, of
batch imaging, of Gather.image, of the command line (with its own flags) and
of the plot titles."""
import inspect

import numpy as np
import pytest

import molvak
from molvak import _registry, estimators, synthetic
from molvak.cli import main
from molvak.estimators import Estimator, Option


def test_entries_agree_with_their_functions():
    assert estimators.names()[:3] == ("slant_stack", "phase_shift", "fdbf")
    assert list(molvak.ESTIMATORS) == list(estimators.names())
    for entry in estimators.entries():
        params = inspect.signature(entry.function).parameters
        keywords = {n for n, p in params.items() if p.kind is inspect.Parameter.KEYWORD_ONLY}
        # every keyword is a common option or declared (so the command line
        # offers it), with the function's own default
        assert keywords == set(estimators.COMMON_OPTIONS) | {o.name for o in entry.options}
        for option in entry.options:
            assert params[option.name].default == option.default
        assert molvak.ESTIMATORS[entry.name] is entry.function


def gain_stack(data, offsets, dt, *, velocities, fmin=None, fmax=None, df=None, workers=1,
               keep_dead=False, gain=1.0, window="none"):
    """A stand-in estimator: the slant stack, scaled."""
    image = molvak.slant_stack(data, offsets, dt, velocities=velocities, fmin=fmin, fmax=fmax,
                               df=df, workers=workers, keep_dead=keep_dead)
    return molvak.DispersionImage(image.frequency, image.velocity, gain * image.spectrum,
                                  "gain_stack", {**image.params, "gain": gain}, "amplitude")


@pytest.fixture
def registered():
    entry = estimators.register(Estimator(
        "gain_stack", gain_stack, label="Gained slant stack", summary="a test estimator",
        options=(Option("gain", 1.0, help="gain"),
                 Option("window", "none", choices=("none", "hann"), help="taper"))))
    try:
        yield entry
    finally:
        _registry._REGISTRY.pop("gain_stack")


def test_one_entry_makes_a_method_everywhere(registered, tmp_path):
    s = synthetic.make_gather(4.0 + 2.0 * np.arange(16), 2e-3, 300,
                              synthetic.ExponentialCurve(420, 170, 12), 20.0, seed=3)
    g = molvak.Gather(s.data, s.offsets, s.dt, headers={"path": "s.npz"})
    grid = dict(velocities=(100, 500, 5), fmin=5, fmax=40)
    base = molvak.slant_stack(s.data, s.offsets, s.dt, **grid)
    direct = molvak.ESTIMATORS["gain_stack"](s.data, s.offsets, s.dt, gain=2.0, **grid)
    np.testing.assert_array_equal(direct.spectrum, 2.0 * base.spectrum)
    np.testing.assert_array_equal(g.image("gain_stack", gain=2.0, **grid).spectrum,
                                  direct.spectrum)
    for image in molvak.process([g, g], "gain_stack", workers=2, gain=2.0, **grid):
        np.testing.assert_array_equal(image.spectrum, direct.spectrum)
    assert estimators.label("gain_stack") == "Gained slant stack"
    assert estimators.label("stack:gain_stack") == "Gained slant stack, stack"
    pytest.importorskip("matplotlib")
    from molvak.plot import new_figure
    assert g.image("gain_stack", gain=2.0, **grid).plot(new_figure()[1]).get_title() == \
        "Gained slant stack dispersion image"

    g.save(tmp_path / "s.npz")
    assert main(["image", str(tmp_path / "s.npz"), "--method", "gain_stack", "--gain", "2",
                 "--out", str(tmp_path), "--no-plot", "--quiet", "--vmin", "100", "--vmax",
                 "500", "--dv", "5", "--fmin", "5", "--fmax", "40"]) == 0
    written = molvak.DispersionImage.load(tmp_path / "s.npz.gain_stack.npz")
    np.testing.assert_array_equal(written.spectrum, direct.spectrum)
    assert written.params["gain"] == 2.0
    # its flags take its choices, and belong to it alone
    assert main(["image", str(tmp_path / "s.npz"), "--method", "gain_stack", "--window",
                 "hann", "--out", str(tmp_path / "w"), "--no-plot", "--quiet"]) == 0
    assert main(["image", str(tmp_path / "s.npz"), "--gain", "2", "--out",
                 str(tmp_path / "x")]) == 2
    with pytest.raises(SystemExit):
        main(["image", str(tmp_path / "s.npz"), "--method", "gain_stack", "--window", "box"])


def test_register_refuses_what_would_break_the_table(registered):
    def f(data, offsets, dt, *, velocities, gain=3.0):
        return None

    for entry, words in [
        (Estimator("gain_stack", f, "x", "x"), "registered already"),
        (Estimator("two words", f, "x", "x"), "identifiers"),
        (Estimator("other", f, "x", "x", (Option("gain", 1.0, "g"),)),
         "does not match the function's keyword"),
        (Estimator("other", f, "x", "x", (Option("fmax", None, "g"),)), "common options"),
        (Estimator("other", lambda d, o, t, *, window="box": None, "x", "x",
                   (Option("window", "box", "w", choices=("box",)),)),
         "differs from gain_stack's option"),
    ]:
        with pytest.raises(ValueError, match=words):
            estimators.register(entry)
    assert "other" not in estimators.names()
    with pytest.raises(ValueError, match="method must be one of 'slant_stack'"):
        estimators.get("music")
