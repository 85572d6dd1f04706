import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from quennel.cli.sweep import power_and_peak
from quennel.sweep import realisations, sweep, trial_seed

import kettara

SCENE = json.dumps({"segments": [{"sum": [
    {"type": "qpsk", "snr": 6, "pulse": "rrc", "sps": 4},
    {"type": "tone", "freq": 0.1, "level": -10}], "num_samples": 3000}]})
ROOT = Path(__file__).resolve().parents[2]


def test_realisations_are_snr_major_with_trial_seeds():
    rows = realisations([0.0, 5.0], 3, base_seed=7)
    assert [(snr, trial) for snr, trial, _ in rows] == [(0.0, 0), (0.0, 1), (0.0, 2), (5.0, 0), (5.0, 1), (5.0, 2)]
    assert [seed for _, _, seed in rows[:3]] == [seed for _, _, seed in rows[3:]]
    assert len({trial_seed(7, t) for t in range(1000)}) == 1000
    assert trial_seed(7, 0) != trial_seed(8, 0)
    assert all(0 <= trial_seed(2**70, t) < 2**32 for t in range(10))


def test_a_row_is_the_plan_rendered_at_its_snr_and_seed():
    plan = kettara.Plan(SCENE)
    table = sweep(plan, lambda samples, snr: {"first": float(samples[0].real), "n": samples.size},
                  [3.0], 2, base_seed=11, threads=1)
    assert table.dtype.names == ("snr", "trial", "seed", "first", "n")
    assert table["n"].dtype == np.int64 and list(table["n"]) == [3000, 3000]
    for row in table:
        assert row["first"] == float(plan.at(3.0, int(row["seed"]))[0].real)


def test_the_realisations_of_a_thread_are_rendered_into_one_buffer():
    plan = kettara.Plan(SCENE)
    buffers = set()

    def metric(samples, snr):
        buffers.add(samples.__array_interface__["data"][0])
        return float(np.vdot(samples, samples).real)

    table = sweep(plan, metric, [0.0, 9.0], 3, threads=1, progress=False)
    assert len(buffers) == 1
    for row in table:
        samples = plan.at(row["snr"], int(row["seed"]))
        assert row["value"] == float(np.vdot(samples, samples).real)


def test_the_default_metric_is_power_and_peak_in_db_whatever_buffers_it_reuses():
    rng = np.random.default_rng(3)
    for n, dtype in [(65536, np.complex64), (7, np.complex64), (65536, np.complex64), (100, np.complex128)]:
        x = (rng.standard_normal(2 * n) * 3).astype(np.float64 if dtype == np.complex128 else np.float32).view(dtype)
        power, peak = float(np.mean(np.abs(x) ** 2)), float(np.max(np.abs(x)))
        assert power_and_peak(x, 0.0) == {"power_db": 10 * np.log10(power), "peak_db": 20 * np.log10(peak)}
    assert power_and_peak(np.zeros(0, np.complex64), 0.0) == {"power_db": -np.inf, "peak_db": -np.inf}


def test_local_threads_and_a_dask_cluster_give_the_same_table():
    distributed = pytest.importorskip("distributed")
    snrs = [0.0, 10.0]
    one = sweep(SCENE, power_and_peak, snrs, 5, base_seed=3, threads=1, progress=False)
    many = sweep(SCENE, power_and_peak, snrs, 5, base_seed=3, threads=3, batch_size=2, progress=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = sweep(SCENE, power_and_peak, snrs, 5, base_seed=3, client=client, batch_size=3)
    assert one.dtype == many.dtype == remote.dtype
    np.testing.assert_array_equal(one, many)
    np.testing.assert_array_equal(one, remote)
    assert one["power_db"][0] > one["power_db"][5]  # less noise at 10 dB


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_bpsk_bit_error_rate_follows_theory():
    ber_bpsk = load_example("ber_bpsk")
    ebnos = [0.0, 4.0, 8.0]
    ber, errors = ber_bpsk.simulate(ebnos, trials=64, num_samples=1 << 17, sps=4)
    assert errors.min() >= 300
    np.testing.assert_allclose(ber, ber_bpsk.theory(ebnos), rtol=0.2)


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "quennel", "sweep", *args], capture_output=True, text=True)


def test_sweep_command(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text(SCENE)
    out = run_cli(str(scene), "--snr", "0:4:2", "--trials", "2", "--threads", "2")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "snr,trial,seed,power_db,peak_db" and len(lines) == 7
    table = tmp_path / "table.json"
    assert run_cli(str(scene), "--snr", "5:5:1", "--trials", "3", "-o", str(table)).returncode == 0
    rows = json.loads(table.read_text())
    assert [row["trial"] for row in rows] == [0, 1, 2] and {row["snr"] for row in rows} == {5.0}


@pytest.mark.parametrize("args, message", [
    (["--snr", "0:1", "--trials", "2"], "--snr takes START:STOP:STEP"),
    (["--snr", "0:4:-1", "--trials", "2"], "STEP > 0"),
    (["--snr", "0:4:1", "--trials", "0"], "--trials must be at least 1"),
    (["--snr", "0:4:1", "--trials", "1", "--metric", "nosuchmodule:f"], "--metric nosuchmodule:f"),
])
def test_sweep_command_errors(tmp_path, args, message):
    scene = tmp_path / "scene.json"
    scene.write_text(SCENE)
    out = run_cli(str(scene), *args)
    assert out.returncode != 0 and message in out.stderr
    assert len(out.stderr.strip().splitlines()) == 1 and "Traceback" not in out.stderr


def test_sweep_command_refuses_a_bad_scene(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text('{"segments": []}')
    out = run_cli(str(scene), "--snr", "0:0:1", "--trials", "1")
    assert out.returncode == 1 and "segments" in out.stderr and "Traceback" not in out.stderr


def test_sweep_command_says_why_a_scene_cannot_be_planned(tmp_path):
    scene = tmp_path / "scene.json"
    scene.write_text('{"repeat": true, "segments": [{"type": "tone", "snr": 10, "num_samples": 100}]}')
    out = run_cli(str(scene), "--snr", "0:0:1", "--trials", "1")
    assert out.returncode == 1 and "Traceback" not in out.stderr
    assert "the scene repeats" in out.stderr and "quennel render --samples N" in out.stderr
