"""The module frame: import, method table and docstrings. The complex
arithmetic of the kernels is checked by their unit tests
(tests/native/test_complex.cpp)."""
import ctypes.util
import multiprocessing
import os
import pickle
import struct
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import _molvak

SUMMARIES = {
    "_radon_transform": "Perform the Tau-P (alternatively slant-stack or linear radon) transform.",
    "_disp_slantstack": "Calculate the dispersion spectrum by performing the slant-stack based spectral estimator.",
    "_rfft": "Apply a FFT to an arbitrary size real-valued array over a specified axis",
    "_phase_shift": "Apply the phase shift transform spectral estimator.",
    "_FDBF": "Apply Frequency-Domain Beamforming at the specified phase velocities and frequency range.",
}


def test_module_identity_and_docstrings():
    assert _molvak.__name__ == "molvak"
    assert _molvak.__doc__ is None
    public = [name for name in dir(_molvak) if not name.startswith("__")]
    assert sorted(public) == sorted(SUMMARIES)
    for name, summary in SUMMARIES.items():
        assert getattr(_molvak, name).__doc__.splitlines()[0] == summary
    for name in ("_disp_slantstack", "_phase_shift", "_FDBF"):
        doc = getattr(_molvak, name).__doc__
        for section in ("References", "Parameters", "Returns", "f_range", "NDArray[Shape[\"NF,NC\"], Complex]"):
            assert section in doc, (name, section)


@pytest.mark.parametrize("name, args", [
    ("_radon_transform", ([[1.0, 2.0]], [0.0], [0.0], 1.0, 0.0)),
    ("_disp_slantstack", ([[1.0, 2.0]], [0.0], [0.0, 1.0], [1.0], 1.0)),
    ("_rfft", ([1.0, 2.0],)),
])
def test_parser_rejects_unknown_keywords_and_missing_arguments(name, args):
    fn = getattr(_molvak, name)
    with pytest.raises(TypeError):
        fn(*args, unknown=1)
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(*args[:-1]) if len(args) > 1 else fn(array=None, axis="x")


def test_lists_are_converted_and_complex_refused():
    assert _molvak._rfft([1, 2, 3]).dtype == np.complex128
    with pytest.raises(TypeError, match="complex"):
        _molvak._radon_transform(np.ones((2, 2), complex), [0, 1], [0], 1.0, 0.0)


def _dynamic_symbols(path):
    """The symbols a shared object exports: defined, global or weak, default
    or protected visibility, from its ELF dynamic symbol table."""
    data = Path(path).read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        pytest.skip("not a 64-bit little-endian ELF shared object")
    shoff = struct.unpack_from("<Q", data, 0x28)[0]
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = []
    for _, sh_type, _, _, offset, size, link, _, _, entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        strings = sections[link][4]
        for entry in range(offset, offset + size, entsize):
            st_name, st_info, st_other, st_shndx = struct.unpack_from("<IBBH", data, entry)
            if st_shndx != 0 and st_info >> 4 in (1, 2) and st_other & 3 in (0, 3):
                names.append(data[strings + st_name:data.index(b"\0", strings + st_name)].decode())
    return names


def test_the_module_exports_only_its_init_function():
    assert _dynamic_symbols(_molvak.__file__) == ["PyInit__molvak"]


def test_the_second_module_exports_only_its_init_function():
    native = pytest.importorskip("molvak._native", reason="molvak._native is not built beside this molvak package")
    assert _dynamic_symbols(native.__file__) == ["PyInit__native"]
    assert native.__name__ == "molvak._native"


def test_functions_pickle_and_run_in_a_process_pool(rng):
    for name in SUMMARIES:
        fn = getattr(_molvak, name)
        assert pickle.loads(pickle.dumps(fn)) is fn
    x = rng.standard_normal((3, 50))
    # a fresh interpreter: the function travels by its module and name
    with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
        got = pool.submit(_molvak._rfft, x, n=64).result(timeout=120)
        f, p = pool.submit(_molvak._phase_shift, x, [1.0, 2.0, 3.0], [100.0, 200.0], 0.01).result(timeout=120)
    np.testing.assert_array_equal(got, _molvak._rfft(x, n=64))
    f_here, p_here = _molvak._phase_shift(x, [1.0, 2.0, 3.0], [100.0, 200.0], 0.01)
    np.testing.assert_array_equal(f, f_here)
    np.testing.assert_array_equal(p, p_here)


_OTHER_FFTW_USER = r"""
import ctypes, ctypes.util, sys, threading
import numpy as np
import _molvak

fftw = ctypes.CDLL(ctypes.util.find_library("fftw3"))
fftw.fftw_malloc.restype = ctypes.c_void_p
fftw.fftw_malloc.argtypes = [ctypes.c_size_t]
fftw.fftw_plan_dft_r2c_1d.restype = ctypes.c_void_p
fftw.fftw_plan_dft_r2c_1d.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint]
fftw.fftw_destroy_plan.argtypes = [ctypes.c_void_p]
FFTW_ESTIMATE = 1 << 6
done = threading.Event()

def other_user(seed):
    # plans and destroys plans of many lengths, the interpreter lock
    # released during each call (as ctypes does), until molvak is done
    src, dst = fftw.fftw_malloc(8 * 8192), fftw.fftw_malloc(16 * 8192)
    k = seed
    while not done.is_set():
        plan = fftw.fftw_plan_dft_r2c_1d(64 + k % 3000, src, dst, FFTW_ESTIMATE)
        fftw.fftw_destroy_plan(plan)
        k += 7

threads = [threading.Thread(target=other_user, args=(s,)) for s in range(2)]
for t in threads:
    t.start()
x = np.random.default_rng(0).standard_normal(6000)
for n in range(1000, 1000 + int(sys.argv[1])):   # a new length, a new plan, each call
    _molvak._rfft(x[:n])
done.set()
for t in threads:
    t.join()
print("planned alongside another FFTW user")
"""


def test_planning_alongside_another_fftw_user_in_the_process():
    """molvak plans while two threads plan through the same libfftw3 by
    ctypes; without FFTW's planner lock their planners corrupt each other."""
    if ctypes.util.find_library("fftw3") is None:
        pytest.skip("libfftw3 is not loadable by ctypes here")
    run = subprocess.run([sys.executable, "-c", _OTHER_FFTW_USER, "1500"], capture_output=True, text=True,
                         timeout=300, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == 0, run.stderr[-2000:]
    assert "planned alongside another FFTW user" in run.stdout
