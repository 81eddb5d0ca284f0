"""The smoke test of an installed binary wheel (run by tools/wheel-smoke.sh in
a fresh virtual environment, outside the source tree):

- molvak, _molvak and molvak._native import from that environment;
- the FFTW the process has loaded is the one in the wheel's molvak.libs
  (read from /proc/self/maps), and no other;
- the phase shift (_molvak._phase_shift) agrees with a plain NumPy evaluation
  of its formula, and the real FFT with numpy.fft.rfft;
- `molvak demo --check` images the synthetic gather and finds its curve.

    python tools/wheel_smoke.py DEMO_DIR
"""
from __future__ import annotations

import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np

TWO_PI = 6.283185307179586


def loaded_fftw() -> list[Path]:
    """The FFTW libraries mapped into this process."""
    paths = set()
    for line in Path("/proc/self/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and "libfftw3" in Path(fields[5]).name:
            paths.add(Path(fields[5]))
    return sorted(paths)


def phase_shift(data: np.ndarray, x: np.ndarray, c: np.ndarray, dt: float
                ) -> tuple[np.ndarray, np.ndarray]:
    """The phase-shift image written out in NumPy: unit spectra rotated by
    exp(i 2 pi f x / c), integrated over offset by the trapezoid rule."""
    n = data.shape[1]
    spectrum = np.fft.rfft(data, axis=1) * dt
    f = np.arange(n // 2 + 1) / (dt * n)
    unit = spectrum / np.abs(spectrum)
    theta = ((TWO_PI * x)[:, None, None] / c) * f[None, :, None]
    rotated = unit[:, :, None] * (np.cos(theta) + 1j * np.sin(theta))
    steps = np.abs(np.diff(x))[:, None, None] * 0.5
    return f, ((rotated[1:] + rotated[:-1]) * steps).sum(axis=0)


def main() -> int:
    demo = Path(sys.argv[1])
    import _molvak
    import molvak
    import molvak._native

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (molvak, _molvak, molvak._native):
        where = Path(str(module.__file__)).resolve()
        assert site in where.parents, f"{module.__name__} imported from {where}, not {site}"
    print(f"molvak {molvak.__version__} from {site}")

    libs = site / "molvak.libs"
    fftw = loaded_fftw()
    names = sorted(p.name.split("-")[0] for p in fftw)
    assert names == ["libfftw3", "libfftw3_threads"], f"FFTW libraries loaded: {fftw}"
    outside = [p for p in fftw if p.resolve().parent != libs]
    assert not outside, f"FFTW loaded from outside {libs}: {outside}"
    for path in fftw:
        print(f"loaded: {path}")

    rng = np.random.default_rng(1)
    data = rng.standard_normal((12, 300))
    x = 4.0 + 2.0 * np.arange(12)
    c = np.linspace(80.0, 900.0, 40)
    f, image = _molvak._phase_shift(data, x, c, 0.002)
    f_ref, image_ref = phase_shift(data, x, c, 0.002)
    np.testing.assert_allclose(f, f_ref, rtol=1e-15)
    scale = np.abs(image_ref).max(axis=1, keepdims=True)
    worst = float((np.abs(image - image_ref) / scale).max())
    assert worst <= 1e-12, f"phase shift differs from NumPy's by {worst:.3g} of a row's peak"
    spectrum = molvak.rfft(data, 0.002)
    np.testing.assert_allclose(spectrum.values, np.fft.rfft(data, axis=1) * 0.002, rtol=0, atol=1e-12)
    print(f"phase shift against NumPy: largest difference {worst:.2g} of a row's peak")

    molvak_cli = Path(sys.executable).with_name("molvak")
    result = subprocess.run([str(molvak_cli), "demo", "--out", str(demo), "--no-plot", "--quiet",
                             "--check"], capture_output=True, text=True)
    print("\n".join(result.stdout.splitlines()[-6:]))
    assert result.returncode == 0, f"molvak demo failed:\n{result.stderr[-2000:]}"
    assert (demo / "picks.csv").is_file()
    print("wheel smoke test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
