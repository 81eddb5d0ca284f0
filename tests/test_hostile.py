"""Hostile input: whatever the arguments, every function either returns arrays
of the documented shapes and types or raises TypeError, ValueError,
MemoryError or OverflowError; it never crashes, never raises SystemError and
never modifies its inputs. (NumPy warns when it converts some limits of
f_range to a float: ComplexWarning for a complex scalar, DeprecationWarning
for an array of one element under NumPy 1.25 and later. This suite turns
warnings into errors, and the function passes on the conversion's own
exception.)"""
import copy
import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _molvak

COMPLEX_WARNING = getattr(np, "exceptions", np).ComplexWarning
ALLOWED = (TypeError, ValueError, MemoryError, OverflowError, COMPLEX_WARNING, DeprecationWarning)

NUMERIC = [np.bool_, np.int8, np.uint8, np.int16, np.int32, np.int64, np.uint64,
           np.float16, np.float32, np.float64, np.complex64, np.complex128]
OTHER = ["U3", "S3", "datetime64[s]", "timedelta64[ms]", object]

special_floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf,
                                  1e308, -1e308, 5e-324, 1e-300, 0.001, 1e6])


@st.composite
def arrays(draw, max_dims=4):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=5))
    kind = draw(st.sampled_from(["numeric", "other"] if draw(st.integers(0, 9)) else ["other"]))
    if kind == "numeric":
        dtype = np.dtype(draw(st.sampled_from(NUMERIC)))
        elements = None
        if dtype == np.float64:
            elements = st.one_of(special_floats, st.floats(-1e3, 1e3))
        elif dtype.kind == "f":
            elements = st.floats(width=dtype.itemsize * 8)
        a = draw(hnp.arrays(dtype, shape, elements=elements))
    else:
        dtype = np.dtype(draw(st.sampled_from(OTHER)))
        if dtype.kind == "O":
            a = np.empty(shape, dtype=object)
            for idx in np.ndindex(shape):
                a[idx] = draw(st.one_of(st.floats(), st.none(), st.text(max_size=2), st.integers()))
        else:
            a = np.zeros(shape, dtype=dtype)
    view = draw(st.sampled_from(["plain", "swapped", "strided", "transposed", "readonly", "list", "fortran"]))
    if view == "swapped":
        a = a.astype(a.dtype.newbyteorder()) if a.dtype.kind not in "OUSb" else a
    elif view == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif view == "transposed":
        a = a.T
    elif view == "readonly":
        a = a.copy()
        a.flags.writeable = False
    elif view == "list":
        return a.tolist()
    elif view == "fortran":
        a = np.asfortranarray(a)
    return a


@st.composite
def gathers(draw):
    """Mostly float gathers of a sensible size, sometimes anything at all."""
    if draw(st.integers(0, 3)) == 0:
        return draw(arrays())
    nx, nt = draw(st.integers(0, 6)), draw(st.integers(0, 40))
    return draw(hnp.arrays(np.float64, (nx, nt), elements=st.one_of(special_floats, st.floats(-10, 10))))


def vectors():
    return st.one_of(arrays(max_dims=2), hnp.arrays(np.float64, st.integers(0, 6),
                                                     elements=st.one_of(special_floats, st.floats(-500, 500))))


anything = st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=3), st.binary(max_size=3),
                     st.lists(st.floats(), max_size=3), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))

f_ranges = st.one_of(
    st.none(), anything, arrays(max_dims=2),
    st.tuples(st.one_of(st.none(), special_floats, st.floats(-100, 600), st.text(max_size=2), st.complex_numbers()),
              st.one_of(st.none(), special_floats, st.floats(-100, 600), st.integers(-10**30, 10**30))),
    st.lists(st.one_of(st.none(), st.floats(0, 500), st.lists(st.floats(), max_size=2)), max_size=3),
    st.builds(lambda a, b: (x for x in (a, b)), st.floats(), st.floats()),
    st.builds(lambda a, b: {0: a, 1: b}, st.floats(), st.floats()),
)
dts = st.one_of(special_floats, st.floats(1e-4, 1.0), st.integers(-3, 3), st.text(max_size=2), st.none())
ns = st.sampled_from([-(2**62), -(2**31), -5, -1, 0, 1, 2, 3, 7, 16, 64, 2**45, 2**50, 2**62, 2**63 - 1])
strings = st.one_of(st.sampled_from(["plane", "cylindrical", "none", "sqrt", "Plane", "sqrt ", "", "planes",
                                     "plane\x00", "cylindrical\udcff"]), st.text(max_size=12), st.none(), st.integers())


def snapshot(values):
    return [copy.deepcopy(v) if not isinstance(v, np.ndarray) else v.copy() for v in values]


def unchanged(before, after):
    for b, a in zip(before, after):
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape
            if a.dtype.kind == "O":
                assert all(x is y or x == y or (x != x and y != y) for x, y in zip(a.flat, b.flat))
            else:
                assert a.tobytes() == b.tobytes()  # bit for bit, NaN payloads included
        else:
            assert repr(a) == repr(b)


def call(fn, args, kwargs):
    values = list(args) + list(kwargs.values())
    before = snapshot([v for v in values if isinstance(v, (np.ndarray, list, tuple))])
    try:
        result = fn(*args, **kwargs)
    except ALLOWED as error:
        assert not isinstance(error, SystemError)
        result = None
    unchanged(before, [v for v in values if isinstance(v, (np.ndarray, list, tuple))])
    return result


def check_estimator(result, n_vels):
    if result is None:
        return
    f, disp = result
    assert isinstance(f, np.ndarray) and f.dtype == np.float64 and f.ndim == 1
    assert isinstance(disp, np.ndarray) and disp.dtype == np.complex128 and disp.shape == (f.size, n_vels)


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=list(HealthCheck))


@SETTINGS
@given(array=arrays(), axis=st.one_of(st.integers(-6, 6), st.integers(-(2**40), 2**40)), stepsize=dts, n=ns)
def test_rfft(array, axis, stepsize, n):
    out = call(_molvak._rfft, (array,), {"axis": axis, "stepsize": stepsize, "n": n})
    if out is not None:
        assert out.dtype == np.complex128 and out.ndim == np.ndim(array)
        length = np.shape(array)[axis]
        assert out.shape[axis] == max(n, length) // 2 + 1


@SETTINGS
@given(data=gathers(), offsets=vectors(), slowness=vectors(), dt=dts, t0=dts,
       t_eval=st.one_of(st.none(), vectors()), moveout=st.one_of(st.integers(-2, 4), st.integers()))
def test_radon_transform(data, offsets, slowness, dt, t0, t_eval, moveout):
    out = call(_molvak._radon_transform, (data, offsets, slowness, dt, t0),
               {"t_eval": t_eval, "moveout_type": moveout})
    if out is not None:
        assert out.dtype == np.float64 and out.shape[1] == np.size(slowness)


@SETTINGS
@given(data=gathers(), offsets=vectors(), time=vectors(), vels=vectors(), dt=dts, f_range=f_ranges, n=ns)
def test_disp_slantstack(data, offsets, time, vels, dt, f_range, n):
    check_estimator(call(_molvak._disp_slantstack, (data, offsets, time, vels, dt), {"f_range": f_range, "n": n}),
                    np.size(vels))


@SETTINGS
@given(data=gathers(), offsets=vectors(), vels=vectors(), dt=dts, f_range=f_ranges, n=ns)
def test_phase_shift(data, offsets, vels, dt, f_range, n):
    check_estimator(call(_molvak._phase_shift, (data, offsets, vels, dt), {"f_range": f_range, "n": n}),
                    np.size(vels))


@SETTINGS
@given(data=gathers(), offsets=vectors(), vels=vectors(), dt=dts, f_range=f_ranges, n=ns,
       steering=st.one_of(st.just("omit"), strings), weighting=st.one_of(st.just("omit"), strings))
def test_fdbf(data, offsets, vels, dt, f_range, n, steering, weighting):
    kwargs = {"f_range": f_range, "n": n}
    if steering != "omit":
        kwargs["steering_method"] = steering
    if weighting != "omit":
        kwargs["weighting"] = weighting
    check_estimator(call(_molvak._FDBF, (data, offsets, vels, dt), kwargs), np.size(vels))
