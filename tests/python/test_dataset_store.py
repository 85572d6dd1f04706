"""Stored datasets: the same bytes from any number of threads, a cluster or a resumed run;
labels as Parquet; SigMF recordings; folders that hold something else left alone."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from quennel.dataset import Dataset
from quennel.dataset.store import read_samples, write

pytest.importorskip("zarr")
pq = pytest.importorskip("pyarrow.parquet")

DESCRIPTION = {
    "seed": 11, "examples": 24, "length": 2048,
    "classes": [
        {"name": "bpsk", "symbols": [20, 100], "source": {"type": "bpsk", "sps": [2, 8], "freq": [-0.3, 0.3],
                                                          "snr": [0, 20]}},
        {"name": "chirp", "samples": [300, 900], "source": {"type": "chirp", "freq": [-0.4, 0], "f_end": [0, 0.4],
                                                            "level": [-6, 0]}}],
    "background": [{"type": "noise", "level": -10}],
    "per_example": {"bursts": [1, 2]}}


def quennel(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quennel", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=300, check=False)


def folder_bytes(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def test_one_thread_two_threads_and_a_cluster_store_the_examples_of_the_dataset(tmp_path):
    distributed = pytest.importorskip("distributed")
    write(DESCRIPTION, str(tmp_path / "one"), chunk=5)
    write(DESCRIPTION, str(tmp_path / "two"), chunk=5, threads=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        write(DESCRIPTION, str(tmp_path / "cluster"), chunk=5, client=client)
    one = folder_bytes(tmp_path / "one")
    assert one == folder_bytes(tmp_path / "two") == folder_bytes(tmp_path / "cluster")
    samples = read_samples(str(tmp_path / "one"))
    ds = Dataset(DESCRIPTION)
    assert samples.shape == (24, 2048) and samples.dtype == np.complex64
    examples = pq.read_table(tmp_path / "one" / "examples.parquet").to_pylist()
    bursts = pq.read_table(tmp_path / "one" / "bursts.parquet").to_pylist()
    assert [row["example"] for row in examples] == list(range(24))
    assert len(bursts) == sum(row["n_bursts"] for row in examples)
    for i in range(24):
        expected, labels = ds[i]
        assert samples[i].tobytes() == expected.tobytes()
        assert examples[i] == {k: v for k, v in labels.items() if k != "bursts"}
        assert [b for b in bursts if b["example"] == i] == [{"example": i, "burst": n, **b}
                                                           for n, b in enumerate(labels["bursts"])]
    recipe = json.loads((tmp_path / "one" / "dataset.json").read_text())
    assert recipe["description"] == DESCRIPTION and recipe["producer"] == "quennel" and recipe["chunk"] == 5


def test_a_run_killed_midway_resumes_to_the_bytes_of_an_uninterrupted_one(tmp_path):
    big = {**DESCRIPTION, "examples": 400, "length": 16384}
    (tmp_path / "spec.json").write_text(json.dumps(big))
    whole = quennel("dataset", "spec.json", "-o", "whole", "--chunk", "4", cwd=tmp_path)
    assert whole.returncode == 0, whole.stderr
    child = subprocess.Popen([sys.executable, "-m", "quennel", "dataset", "spec.json", "-o", "cut", "--chunk", "4"],
                             cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    chunks = tmp_path / "cut" / ".chunks"

    def committed() -> int:  # chunks whose labels, written last, are in place
        return len([name for name in os.listdir(chunks) if name.endswith(".json")]) if chunks.is_dir() else 0

    deadline = time.monotonic() + 120
    while committed() < 10 and time.monotonic() < deadline:
        time.sleep(0.01)
    child.send_signal(signal.SIGKILL)
    child.wait()
    finished = committed()
    assert 10 <= finished < 100 and not (tmp_path / "cut" / "examples.parquet").exists()
    resumed = quennel("dataset", "spec.json", "-o", "cut", "--chunk", "4", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert folder_bytes(tmp_path / "cut") == folder_bytes(tmp_path / "whole")


def test_sigmf_export_holds_one_annotated_recording_per_example(tmp_path):
    sigmf = pytest.importorskip("sigmf")
    write(DESCRIPTION, str(tmp_path / "out"), fmt="sigmf", chunk=7)
    ds = Dataset(DESCRIPTION)
    collection = json.loads((tmp_path / "out" / "dataset.sigmf-collection").read_text())
    streams = collection["collection"]["core:streams"]
    assert [s["name"] for s in streams] == [f"example-{i:06d}" for i in range(24)]
    for i in (0, 23):
        recording = sigmf.sigmffile.fromfile(str(tmp_path / "out" / f"example-{i:06d}"))
        recording.validate()
        samples, labels = ds[i]
        assert np.fromfile(tmp_path / "out" / f"example-{i:06d}.sigmf-data", "<c8").tobytes() == samples.tobytes()
        annotations = recording.get_annotations()
        assert [(a["core:sample_start"], a["core:sample_count"], a["core:label"], a.get("quennel:snr_mode"))
                for a in annotations] == \
            [(b["start"], b["count"], b["class"], b["snr_mode"]) for b in labels["bursts"]]
        assert [(a["core:freq_lower_edge"], a["core:freq_upper_edge"]) for a in annotations] == \
            [(b["freq_lower"], b["freq_upper"]) for b in labels["bursts"]]


@pytest.mark.parametrize("prepare, message", [
    (lambda out: (out.mkdir(), (out / "notes.txt").write_text("mine")), "holds something else than a dataset"),
    (lambda out: out.write_text("a file"), "exists and is not a folder"),
    (lambda out: write({**DESCRIPTION, "seed": 12}, str(out), chunk=5), "holds another dataset"),
])
def test_a_folder_holding_something_else_is_left_untouched(tmp_path, prepare, message):
    out = tmp_path / "out"
    prepare(out)
    before = folder_bytes(out) if out.is_dir() else out.read_bytes()
    (tmp_path / "spec.json").write_text(json.dumps(DESCRIPTION))
    refused = quennel("dataset", "spec.json", "-o", out, "--chunk", "5", cwd=tmp_path)
    assert refused.returncode == 1 and message in refused.stderr and "Traceback" not in refused.stderr
    assert (folder_bytes(out) if out.is_dir() else out.read_bytes()) == before


def test_a_bad_description_writes_nothing(tmp_path):
    (tmp_path / "spec.json").write_text(json.dumps({**DESCRIPTION, "length": 0}))
    refused = quennel("dataset", "spec.json", "-o", "out", cwd=tmp_path)
    assert refused.returncode != 0 and "length must be a whole number of at least 1" in refused.stderr
    assert not (tmp_path / "out").exists()
