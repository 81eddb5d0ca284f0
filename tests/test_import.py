"""Import-time checks of the NumPy C-API, provoked with a stand-in `numpy`
package whose _ARRAY_API table reports chosen versions and byte orders."""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _molvak

FAKE_UMATH = textwrap.dedent('''
    import ctypes, os
    ABI, FEATURE, ENDIAN = (int(v, 0) for v in os.environ["FAKE_NUMPY"].split(","))
    _table = (ctypes.c_void_p * 400)()
    _uint = ctypes.CFUNCTYPE(ctypes.c_uint)
    _int = ctypes.CFUNCTYPE(ctypes.c_int)
    _keep = [_uint(lambda: ABI), _uint(lambda: FEATURE), _int(lambda: ENDIAN)]
    for index, fn in zip((0, 211, 210), _keep):
        _table[index] = ctypes.cast(fn, ctypes.c_void_p).value
    _new = ctypes.pythonapi.PyCapsule_New
    _new.restype = ctypes.py_object
    _new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
    _ARRAY_API = _new(ctypes.addressof(_table), None, None)
''')


def run_import(tmp_path, layout, fake="0x2000000,0xe,1"):
    root = tmp_path / "stub"
    for rel, text in layout.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    env = dict(os.environ, FAKE_NUMPY=fake,
               PYTHONPATH=os.pathsep.join([str(root), str(Path(_molvak.__file__).parent)]))
    code = "import _molvak, sys; print('imported', _molvak.__name__)"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


NEW = {"numpy/__init__.py": "", "numpy/_core/__init__.py": ""}
OLD = {"numpy/__init__.py": "", "numpy/core/__init__.py": ""}


def test_imports_through_the_older_layout(tmp_path):
    result = run_import(tmp_path, {**OLD, "numpy/core/_multiarray_umath.py": FAKE_UMATH})
    assert result.returncode == 0, result.stderr
    assert "imported molvak" in result.stdout


@pytest.mark.parametrize("layout, fake, printed", [
    ({**NEW, "numpy/_core/_multiarray_umath.py": FAKE_UMATH}, "0x3000000,0xe,1",
     "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": FAKE_UMATH}, "0x2000000,0xd,1",
     "RuntimeError: module was compiled against NumPy C-API version 0xe (NumPy 1.20) "
     "but the running NumPy has C-API version 0xd. Check the section C-API incompatibility"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": FAKE_UMATH}, "0x2000000,0xe,0",
     "RuntimeError: FATAL: module compiled as unknown endian"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": FAKE_UMATH}, "0x2000000,0xe,2",
     "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": "_ARRAY_API = 5\n"}, "0,0,0",
     "RuntimeError: _ARRAY_API is not PyCapsule object"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": "\n"}, "0,0,0", "AttributeError"),
    ({**NEW, "numpy/_core/_multiarray_umath.py": "raise ImportError('broken build')\n",
      "numpy/core/__init__.py": "", "numpy/core/_multiarray_umath.py": FAKE_UMATH}, "0x2000000,0xe,1",
     "ImportError: broken build"),
    ({"numpy/__init__.py": ""}, "0,0,0", "ModuleNotFoundError"),
])
def test_import_failures_are_reported(tmp_path, layout, fake, printed):
    result = run_import(tmp_path, layout, fake)
    assert result.returncode != 0
    assert printed in result.stderr
    assert "ImportError: numpy._core.multiarray failed to import" in result.stderr
