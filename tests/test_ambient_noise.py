"""The synthetic ambient-noise record (its physics, determinism and chunked
DAS files) and what the passive chain recovers from it: the dispersion
curve within 2 % from a 10-minute record written as DAS files, and a
velocity change over time."""
import csv

import numpy as np
import pytest

import molvak
from molvak import synthetic


def test_waves_travel_along_the_line_at_the_phase_velocity():
    """One-sided sources at one distance, a non-dispersive 500 m/s: every
    channel is the first one delayed by x / c (one sample per 2 m at 4 ms)
    and scaled by the geometric spreading sqrt(d0 / (d0 + x))."""
    opts = dict(channels=10, spacing=2.0, velocity=lambda f: np.full_like(f, 500.0),
                sides="first", distance=(50.0, 50.0), noise=0.0, quantity="velocity")
    rec = synthetic.ambient_noise(40.0, **opts)
    nt = rec.data.shape[1]
    assert np.abs(rec.data[0]).max() > 0
    for j in (1, 5, 9):
        expected = rec.data[0, :nt - j] * np.sqrt(50.0 / (50.0 + 2.0 * j))
        np.testing.assert_allclose(rec.data[j, j:], expected,
                                   atol=1e-12 * np.abs(expected).max())
    # from the other end the wave runs the other way
    back = synthetic.ambient_noise(40.0, **{**opts, "sides": "last"})
    np.testing.assert_allclose(back.data[0, 9:], back.data[9, :nt - 9] * np.sqrt(50.0 / 68.0),
                               atol=1e-12 * np.abs(back.data).max())
    # strain rate along the fibre of a wave going towards +x: -(1/c) dv/dt,
    # checked with a five-point derivative on well-sampled wavelets
    slow = dict(opts, peak_frequency=(2.0, 5.0))
    v = synthetic.ambient_noise(40.0, **slow).data[4]
    sr = synthetic.ambient_noise(40.0, **dict(slow, quantity="strain_rate")).data[4]
    dt = 0.004
    dvdt = (v[:-4] - 8 * v[1:-3] + 8 * v[3:-1] - v[4:]) / (12 * dt)
    np.testing.assert_allclose(sr[2:-2], -dvdt / 500.0, atol=2e-3 * np.abs(sr).max())


def test_records_are_deterministic_and_written_in_chunks(tmp_path):
    pytest.importorskip("dascore")
    opts = dict(channels=16, gauge_length=8.0, seed=11, block=7.0)
    rec = synthetic.ambient_noise(50.0, **opts)
    again = synthetic.ambient_noise(50.0, **opts)
    np.testing.assert_array_equal(rec.data, again.data)
    assert not np.array_equal(rec.data, synthetic.ambient_noise(50.0, **{**opts, "seed": 12}).data)
    paths = synthetic.write_ambient_noise(tmp_path, 50.0, file_length=12.0, **opts)
    assert [p.rsplit("/", 1)[1] for p in paths] == [
        "noise_20240101T000000.000.h5", "noise_20240101T000012.000.h5",
        "noise_20240101T000024.000.h5", "noise_20240101T000036.000.h5",
        "noise_20240101T000048.000.h5"]
    record = molvak.open_record(tmp_path)
    assert len(record.segments) == 1 and record.segments[0].samples == 12500
    np.testing.assert_array_equal(record.read(0, 0, 12500), rec.data.astype(np.float32))
    g = molvak.read(paths[2])
    assert g.headers["gauge_length"] == 8.0 and g.headers["quantity"] == "strain_rate"
    assert g.headers["start_time"] == "2024-01-01T00:00:24.000000000"
    with pytest.raises(FileExistsError, match="noise_20240101T000000.000.h5: exists"):
        synthetic.write_ambient_noise(tmp_path, 50.0, file_length=12.0, **opts)


def test_ten_minutes_of_das_files_give_the_curve_within_two_percent(tmp_path):
    """The record of the README: 200 channels every 2 m, 250 Hz, 10 minutes,
    noise sources beyond both ends, written as DASDAE files and read back;
    the phase-shift picks of the virtual gather from the first channel lie
    within 2 % (median) of the true curve over the band the array resolves."""
    pytest.importorskip("dascore")
    opts = dict(gauge_length=6.0, seed=0)
    synthetic.write_ambient_noise(tmp_path, 600.0, file_length=60.0, **opts)
    vg = molvak.virtual_gather(tmp_path, 0, 20.0, step=10.0, max_lag=4.0)
    assert vg.headers["windows"] == 59 and vg.headers["gauge_length"] == 6.0
    image = vg.image("phase_shift", velocities=(50, 800, 0.5), fmin=1.0, fmax=60.0)
    picks = image.pick(60, 800).select(valid=True)
    truth = synthetic.AmbientNoiseSettings(**opts)
    ok = truth.resolved(picks.frequency)
    assert picks.frequency[ok].min() < 4.0 and picks.frequency[ok].max() > 30.0
    error = np.abs(picks.velocity[ok] / truth.true_velocity(picks.frequency[ok]) - 1.0)
    assert np.median(error) < 0.02
    assert np.percentile(error, 90) < 0.02


def test_timelapse_follows_a_velocity_change(tmp_path):
    """Velocities 4 % higher from the third minute on: the picked curves of
    one-minute blocks follow the truth of their block within 2 %, and the
    change shows in dv/v."""
    drift = lambda t: 1.0 if t < 120.0 else 1.04              # noqa: E731
    rec = synthetic.ambient_noise(240.0, channels=100, drift=drift, seed=5)
    tl = molvak.timelapse(rec.gather(), 0, 10.0, "1min", step=5.0, max_lag=3.0,
                          velocities=(60, 900, 1), fmin=2, fmax=50, vmin=60)
    assert [b.index for b in tl.blocks] == [0, 1, 2, 3]
    assert [b.start_time for b in tl.blocks] == [
        "2024-01-01T00:00:00.000000000", "2024-01-01T00:01:00.000000000",
        "2024-01-01T00:02:00.000000000", "2024-01-01T00:03:00.000000000"]
    assert [b.windows for b in tl.blocks] == [12, 12, 12, 11]     # by their start
    f = tl.frequency
    for row, blk in enumerate(tl.blocks):
        ok = rec.resolved(f, t=blk.start + 1.0) & np.isfinite(tl.velocity[row])
        assert ok.sum() > 20
        error = np.abs(tl.velocity[row, ok] / rec.true_velocity(f[ok], blk.start + 1.0) - 1)
        assert np.median(error) < 0.02
        assert blk.image.params["gauge_length"] is None
    change = np.nanmedian(tl.relative(tl.velocity[0])[2:], axis=1)
    assert np.all(np.abs(change - 0.04) < 0.01)
    path = tmp_path / "curves.csv"
    tl.to_csv(path)
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) == int(np.isfinite(tl.velocity).sum())
    assert rows[0]["start_time"] == "2024-01-01T00:00:00.000000000"
    with pytest.raises(FileExistsError):
        tl.to_csv(path)
    pytest.importorskip("matplotlib")
    fig = tl.plot(truth=lambda f, t: rec.true_velocity(np.array([f]), t)[0])
    for ax in fig.axes[:2]:
        assert ax.get_xlabel() and ax.get_ylabel().startswith("phase velocity (m/s)")
    assert fig.axes[0].get_xlabel() == "time since 2024-01-01 00:00:00 (min)"
    fig.savefig(tmp_path / "timelapse.png")


def test_gauge_length_flags_the_waves_the_fibre_smears(tmp_path):
    """A 6 m gauge length and strong incoherent noise: the fibre scales a
    wave by sinc(G / lambda), so below lambda = G the waves drown in the
    noise and their picks scatter. The gauge length goes from the record's
    headers through virtual_gather, Gather.image, process and timelapse to
    the images' params; picks shorter than it carry the gauge flag, most of
    them for no other reason, and are not valid, while the valid picks hold
    to the truth. The CSV gains the column; a file without it still reads."""
    rec = synthetic.ambient_noise(60.0, channels=100, gauge_length=6.0, seed=2, noise=3.0)
    vg = molvak.virtual_gather(rec.gather(), 0, 10.0, step=5.0, max_lag=2.0)
    assert vg.headers["gauge_length"] == 6.0
    opts = dict(velocities=(60, 900, 1), fmin=2, fmax=60)
    image = vg.image("phase_shift", **opts)
    assert image.params["gauge_length"] == 6.0
    assert molvak.process([vg], "phase_shift", **opts)[0].params["gauge_length"] == 6.0
    curve = image.pick(60)
    np.testing.assert_array_equal(curve.gauge, curve.wavelength < 6.0)
    assert curve.limits["gauge"] == 6.0
    others = np.any([curve.flags[n] for n in curve.FLAGS if n not in ("gauge", "jump")], axis=0)
    only = curve.gauge & ~others
    assert only.sum() >= 20 and not curve.valid[curve.gauge].any()
    error = np.abs(curve.velocity / rec.true_velocity(curve.frequency) - 1.0)
    assert error[only].max() > 0.3
    assert np.percentile(error[curve.valid & (curve.frequency > 5.0)], 90) < 0.03
    # the multiple of the gauge length, another gauge length, or no flag
    np.testing.assert_array_equal(image.pick(60, gauge=2.0).gauge, curve.wavelength < 12.0)
    np.testing.assert_array_equal(image.pick(60, gauge_length=4.0).gauge, curve.wavelength < 4.0)
    assert not image.pick(60, gauge=None).gauge.any()
    with pytest.raises(ValueError, match="gauge must be a positive number"):
        image.pick(60, gauge=0.0)
    # the CSV column, and a file from before it
    path = tmp_path / "picks.csv"
    curve.to_csv(path)
    lines = path.read_text().splitlines()
    assert "gauge" in lines[0].split(",")
    np.testing.assert_array_equal(molvak.DispersionCurve.from_csv(path).gauge, curve.gauge)
    column = lines[0].split(",").index("gauge")
    older = tmp_path / "older.csv"
    older.write_text("\n".join(",".join(v for j, v in enumerate(line.split(",")) if j != column)
                               for line in lines) + "\n")
    back = molvak.DispersionCurve.from_csv(older)
    assert not back.gauge.any()
    np.testing.assert_array_equal(back.valid, curve.valid)
    np.testing.assert_array_equal(back.too_long, curve.too_long)
    # time-lapse: every block's image knows the gauge length, no kept pick is shorter
    tl = molvak.timelapse(rec.gather(), 0, 10.0, "30s", step=5.0, max_lag=2.0, vmin=60, **opts)
    assert [b.image.params["gauge_length"] for b in tl.blocks] == [6.0, 6.0]
    picked = np.isfinite(tl.velocity)
    assert picked.sum() > 40
    assert np.all(tl.velocity[picked] / np.broadcast_to(tl.frequency, picked.shape)[picked] >= 6.0)


def test_settings_are_checked():
    for kwargs, words in [(dict(channels=1), "channels must be an integer of at least 2"),
                          (dict(distance=(30.0, 10.0)), "distance must be"),
                          (dict(peak_frequency=(5.0, 200.0)), "below the Nyquist"),
                          (dict(quantity="strain"), "quantity must be one of"),
                          (dict(sides="up"), "sides must be"),
                          (dict(duration=-1.0), "duration must be a positive number")]:
        with pytest.raises(ValueError, match=words):
            synthetic.AmbientNoiseSettings(**kwargs)


def test_block_lengths_are_read_without_guessing_units():
    from molvak.timelapse import block_seconds
    # a number alone is seconds, as a number argument is
    assert [block_seconds(b) for b in ("90s", "30min", "30 MIN", "1h", "1D", 45, "40")] == [
        90.0, 1800.0, 1800.0, 3600.0, 86400.0, 45.0, 40.0]
    for ambiguous in ("1M", "1m", "2 months", "5 x"):
        with pytest.raises(ValueError, match="block must be seconds or a length like"):
            block_seconds(ambiguous)


def test_a_channel_of_nan_is_left_out_of_every_block():
    rec = synthetic.ambient_noise(40.0, channels=24, seed=2)
    data = rec.data.copy()
    data[11] = np.nan
    g = molvak.Gather(data, offsets=rec.positions, dt=rec.dt)
    with pytest.warns(molvak.RecordWarning, match=r"channel\(s\) 11 \(22 m\) held no finite"), \
            pytest.warns(molvak.DeadTraceWarning, match="left out: 11"):
        tl = molvak.timelapse(g, 0, 10.0, "20s", max_lag=1.5, velocities=(100, 800, 10),
                              fmin=2, fmax=20)
    assert [b.windows for b in tl.blocks] == [2, 2]
