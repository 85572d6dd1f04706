"""The demonstration run by `make demo`: the example scene rendered to a SigMF capture, read
back, summarised and plotted, all under demo-out/."""

import json
import os
import sys

import numpy as np

OUT = "demo-out"


def summarise(capture: str, meta: str) -> None:
    """What the reader finds in the capture, and the measured power of each annotated burst."""
    import tolvane

    with tolvane.Reader(capture) as reader:
        samples = reader.read(reader.num_samples)
        print(f"read back {capture}: {reader.file_type}, {reader.sample_type}, {reader.fs:g} Hz, "
              f"{len(samples)} samples ({len(samples) / reader.fs * 1e3:g} ms)")
    with open(meta, encoding="utf-8") as file:
        annotations = json.load(file)["annotations"]
    print(f"{'source':<8} {'first sample':>12} {'samples':>8} {'stated SNR':>10} {'power of the burst':>19}")
    for note in annotations:
        start, count = note["core:sample_start"], note["core:sample_count"]
        burst = samples[start:start + count]
        power = 10 * np.log10(np.mean(np.abs(burst) ** 2))
        print(f"{note['core:label']:<8} {start:>12} {count:>8} {note['sondrel:snr']:>7g} dB {power:>15.2f} dB")


def main() -> int:
    from quennel.cli import main as cli
    from quennel.scene import template_json

    os.makedirs(OUT, exist_ok=True)
    scene = os.path.join(OUT, "template.json")
    capture = os.path.join(OUT, "template.sigmf-data")
    with open(scene, "w", encoding="utf-8") as file:
        file.write(template_json() + "\n")
    print(f"scene: {scene} (the output of `quennel template`)")
    status = cli(["render", scene, "-o", capture])
    if status == 0:
        summarise(capture, os.path.join(OUT, "template.sigmf-meta"))
        status = cli(["plot", capture, "-o", os.path.join(OUT, "template.png"), "--rrc-beta", "0.35"])
    return status


if __name__ == "__main__":
    sys.exit(main())
