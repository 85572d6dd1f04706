"""A GNU Radio flowgraph from a scene to a SigMF capture, and back.

The scene source streams the scene (optionally at another SNR), a rotator adds a small
frequency offset as a stand-in for the radio path, and the capture sink writes a SigMF
capture whose annotations are the bursts the source tagged. The capture is then read
back through a capture source and its tags are listed: the truth against which a
receiver under test would be scored.

    PYTHONPATH=build/python:python /usr/bin/python3 examples/gnuradio_scene_to_capture.py \\
        [--scene scene.json] [--snr 6] [-o scene.sigmf-data]
"""

from __future__ import annotations

import argparse
import math

import pmt
from gnuradio import blocks, gr

from quennel.gnuradio import capture_sink, capture_source, scene_source

FS = 1e6
OFFSET_HZ = 150.0
SCENE = """{"segments": [
  {"fs": 1e6, "type": "tone", "freq": 1e5, "snr": 20, "num_samples": 20000},
  {"fs": 1e6, "num_samples": 40000, "off_samples": 10000, "repeats": 2,
   "sum": [{"type": "bpsk", "snr": 12, "pulse": "rrc"},
           {"type": "tone", "freq": -2e5, "level": -10}]}
]}"""


class scene_to_capture(gr.top_block):
    """scene source -> rotator -> capture sink."""

    def __init__(self, scene: str, snr: float | None, path: str):
        gr.top_block.__init__(self, "scene to capture")
        self.source = scene_source(scene, snr=snr, seed=1)
        self.offset = blocks.rotator_cc(2 * math.pi * OFFSET_HZ / FS)
        self.sink = capture_sink(path, "cf32", samp_rate=FS, center_freq=433.92e6)
        self.connect(self.source, self.offset, self.sink)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scene", help="scene file (default: a tone, then two BPSK bursts beside a tone)")
    parser.add_argument("--snr", type=float, help="SNR override, dB (default: the scene's own)")
    parser.add_argument("-o", "--output", default="scene.sigmf-data", help="SigMF capture to write")
    args = parser.parse_args()

    flowgraph = scene_to_capture(args.scene or SCENE, args.snr, args.output)
    flowgraph.run()  # ends with the scene; stopping the flowgraph finishes the capture

    back = gr.top_block()
    source, sink = capture_source(args.output), blocks.vector_sink_c()
    back.connect(source, sink)
    back.run()
    print(f"{args.output}: {len(sink.data())} samples")
    for tag in sink.tags():
        key, value = pmt.symbol_to_string(tag.key), pmt.to_python(tag.value)
        if key == "annotation":
            value = (f"{value['core:label']}, {value['core:sample_count']} samples, "
                     f"{value['core:freq_lower_edge'] / 1e6:.4f} to {value['core:freq_upper_edge'] / 1e6:.4f} MHz, "
                     f"snr {value['sondrel:snr']} dB")
        print(f"  sample {tag.offset:6d}  {key}: {value}")


if __name__ == "__main__":
    main()
