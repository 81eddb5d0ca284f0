"""Files written by the package appear complete or not at all and never
replace a file unless asked; images round-trip through .npz files, and a
file that is not one is refused in one line."""
import os
import stat

import numpy as np
import pytest

from molvak import DispersionCurve, DispersionImage, Gather, _atomic


class Boom(Exception):
    pass


def leftovers(folder):
    return [p.name for p in folder.iterdir() if p.name.endswith(_atomic.TEMP_SUFFIX)]


@pytest.mark.parametrize("fault", [Boom, KeyboardInterrupt, OSError])
def test_a_failed_write_leaves_nothing_and_the_old_file_as_it_was(tmp_path, fault):
    target = tmp_path / "out.csv"

    def half(handle):
        handle.write(b"frequency,velocity\n1,2\n")
        raise fault("disk full")

    with pytest.raises(fault):
        _atomic.write_with(target, half)
    assert not target.exists() and leftovers(tmp_path) == []
    target.write_bytes(b"old")
    with pytest.raises(fault):
        _atomic.write_with(target, half, overwrite=True)
    assert target.read_bytes() == b"old" and leftovers(tmp_path) == []


def test_existing_files_are_replaced_only_when_asked(tmp_path):
    target = tmp_path / "a.txt"
    target.write_bytes(b"mine")
    with pytest.raises(FileExistsError, match="a.txt exists; it is left as it is"):
        _atomic.write_bytes(target, b"new")
    assert target.read_bytes() == b"mine"
    _atomic.write_bytes(target, b"new", overwrite=True)
    assert target.read_bytes() == b"new"
    # a file that appears while the content is written is not replaced
    late = tmp_path / "late.txt"
    with pytest.raises(FileExistsError):
        with _atomic.atomic_open(late, "w") as handle:
            handle.write("ours")
            late.write_text("theirs")
    assert late.read_text() == "theirs" and leftovers(tmp_path) == []
    # an ordinary file, readable as the umask says (not mkstemp's 0600)
    mask = os.umask(0o022)
    os.umask(mask)
    fresh = tmp_path / "fresh.txt"
    _atomic.write_bytes(fresh, b"x")
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o666 & ~mask


def test_writers_that_need_a_name_get_one_that_commits_atomically(tmp_path):
    # an HDF5 library opens its file by name: the name is free, in the folder
    target = tmp_path / "record.h5"
    with _atomic.atomic_path(target) as name:
        assert os.path.dirname(name) == str(tmp_path) and not os.path.exists(name)
        with open(name, "wb") as handle:
            handle.write(b"HDF")
        assert not target.exists()
    assert target.read_bytes() == b"HDF" and leftovers(tmp_path) == []
    with pytest.raises(FileExistsError):
        with _atomic.atomic_path(target):
            raise AssertionError("not reached: the name is taken")
    with pytest.raises(Boom):
        with _atomic.atomic_path(tmp_path / "other.h5") as name:
            with open(name, "wb") as handle:
                handle.write(b"half")
            raise Boom()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["record.h5"]


def test_package_writers_refuse_to_replace_a_file(tmp_path, rng):
    curve = DispersionCurve.from_arrays([5.0, 10.0], [300.0, 250.0])
    image = DispersionImage(np.arange(1.0, 4.0), np.arange(100.0, 105.0),
                            rng.standard_normal((3, 5)) + 0j, "phase_shift")
    gather = Gather(rng.standard_normal((4, 20)), np.arange(4.0), 0.001)
    for write, name in ((curve.to_csv, "c.csv"), (image.save, "i.npz"), (gather.save, "g.npz")):
        path = tmp_path / name
        path.write_bytes(b"precious")
        with pytest.raises(FileExistsError):
            write(path)
        assert path.read_bytes() == b"precious"
        write(path, overwrite=True)
        assert path.read_bytes() != b"precious"
    # like np.savez, a name without .npz gets it
    gather.save(tmp_path / "plain")
    assert (tmp_path / "plain.npz").exists()


def test_image_round_trip_and_refusals(tmp_path, rng):
    spectrum = rng.standard_normal((4, 6)) + 1j * rng.standard_normal((4, 6))
    params = {"dt": 0.001, "n": 2000, "fmin": None, "fmax": 50.0, "offsets": np.arange(5.0, 9.0),
              "dead_traces": [2], "steering": "plane", "shots": np.int64(3)}
    image = DispersionImage(np.arange(4.0) * 0.5, np.linspace(100, 200, 6), spectrum, "fdbf",
                            params, "power")
    path = tmp_path / "x.fdbf.npz"
    image.save(path)
    back = DispersionImage.load(path)
    for name in ("frequency", "velocity", "spectrum"):
        np.testing.assert_array_equal(getattr(back, name), getattr(image, name))
    assert (back.method, back.quantity) == ("fdbf", "power")
    np.testing.assert_array_equal(back.params["offsets"], params["offsets"])
    assert back.params["offsets"].dtype == np.float64
    assert {k: v for k, v in back.params.items() if k != "offsets"} == {
        "dt": 0.001, "n": 2000, "fmin": None, "fmax": 50.0, "dead_traces": [2],
        "steering": "plane", "shots": 3}
    np.testing.assert_array_equal(back.pick().velocity, image.pick().velocity)

    # a gather, a truncated image, a text file, a missing file
    Gather(rng.standard_normal((3, 10)), np.arange(3.0), 0.01).save(tmp_path / "g.npz")
    (tmp_path / "cut.npz").write_bytes(path.read_bytes()[: path.stat().st_size // 2])
    (tmp_path / "t.npz").write_text("frequency,velocity\n")
    np.save(tmp_path / "a.npy", spectrum)
    for name, words in (("g.npz", "not a molvak dispersion image (no molvak header"),
                        ("a.npy", "not a molvak dispersion image (no molvak header"),
                        ("cut.npz", "not a molvak dispersion image, or a damaged one"),
                        ("t.npz", "not a molvak dispersion image")):
        with pytest.raises(ValueError) as info:
            DispersionImage.load(tmp_path / name)
        message = str(info.value)
        assert message.startswith(f"{tmp_path / name}: {words}") and "\n" not in message
    with pytest.raises(FileNotFoundError, match="nothing.npz: no such file"):
        DispersionImage.load(tmp_path / "nothing.npz")
