"""Writes the seed corpora of the capture, keyword and telemetry-frame fuzz targets
(fuzz/corpus/<target>/) with the libraries' own writers and encoders.
Run with the development environment: .venv/bin/python fuzz/make_seeds.py"""
import ctypes
import json
import struct
import tempfile
from pathlib import Path

import numpy as np

from quennel._native import TmFrameConfig, kettara_lib, tolvane_lib

CORPUS = Path(__file__).resolve().parent / "corpus"


def save(target: str, name: str, data: bytes) -> None:
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def capture_input(layout: int, hints: int, first: bytes, second: bytes = b"") -> bytes:
    return bytes([layout, hints]) + struct.pack("<H", len(first)) + first + second


def written_capture(ftype: int, stype: int, big: int, n: int, keywords=()) -> dict:
    lib = tolvane_lib()
    samples = (np.exp(2j * np.pi * 0.05 * np.arange(n)) * 0.7).astype(np.complex64)
    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / ("c.sigmf-data" if ftype == 3 else "c.out")
        w = lib.wfm_writer_create(str(path).encode(), ftype, stype, big, n, 0, 1e6, 2.4e9, 0.0, 1.7e9)
        for tag, letter, values in keywords:
            arr = np.asarray(values, dtype={"D": "<f8", "L": "<i4", "A": "S1"}[letter])
            lib.wfm_writer_add_keyword(w, tag.encode(), letter.encode(), arr.ctypes.data, arr.size)
        lib.wfm_writer_write(w, samples.ctypes.data, n)
        assert lib.wfm_writer_close(w) == 0
        return {p.suffix: p.read_bytes() for p in Path(d).iterdir()}


def capture_seeds() -> None:
    keywords = [("RF_FREQ", "D", [1.5e9]), ("GAIN", "L", [3, 4]), ("COMMENT", "A", list(b"seed capture"))]
    for stype in range(5):
        for big in (0, 1):
            blue = written_capture(2, stype, big, 24, keywords)[".out"]
            save("capture", f"blue_{stype}_{big}", capture_input(0, 0x10, blue))
            sigmf = written_capture(3, stype, big, 16)
            save("capture", f"sigmf_{stype}_{big}",
                 capture_input(4, 0, sigmf[".sigmf-meta"], sigmf[".sigmf-data"]))
    blue = written_capture(2, 3, 0, 20)[".out"]
    save("capture", "detached", capture_input(2, 0, blue[:512], blue[512:]))
    flagged = bytearray(blue[:512])
    flagged[44] = 1  # the detached flag
    save("capture", "detached_flag", capture_input(3, 0x10, bytes(flagged), blue[512:]))
    csv = written_capture(1, 0, 0, 12)[".out"]
    save("capture", "csv", capture_input(0, 0x10, csv))
    save("capture", "csv_named", capture_input(1, 3, b"I,Q\n" + csv))
    save("capture", "raw_ci16", capture_input(0, 3 | 0x08, written_capture(0, 3, 1, 9)[".out"] + b"\x01"))


def keyword_seeds() -> None:
    lib = tolvane_lib()
    records = [("FREQ", "D", np.array([2.4e9])), ("ACQTIME", "A", np.frombuffer(b"12:34:56", "u1")),
               ("N", "I", np.array([1, 2, -3], "<i2")), ("BIG", "X", np.array([1 << 40], "<i8")),
               ("F", "F", np.array([0.5, 1.5], "<f4")), ("T", "T", np.array([7], "<i4"))]
    for big in (0, 1):
        run = b""
        for tag, letter, values in records:
            buf = ctypes.create_string_buffer(512)
            n = lib.wfm_kw_encode(buf, 512, tag.encode(), letter.encode(), values.ctypes.data, values.size, big)
            run += buf.raw[:n]
        save("keyword", f"records_{big}", bytes([big]) + run)


def tm_frame_seeds() -> None:
    lib = kettara_lib()
    for depth_index, depth in ((0, 0), (1, 1), (2, 2)):
        for flags in (0, 1, 2, 3):
            randomise, asm = flags & 1, flags >> 1
            cfg = TmFrameConfig(depth, randomise, asm, 0)
            octets = 223 * depth if depth else 40
            payload = (np.arange(octets) * 7 % 256).astype(np.uint8)
            n = lib.ccsds_tm_frame_layout(cfg, octets, None)
            bits = np.zeros(n, np.uint8)
            lib.ccsds_tm_frame_encode(cfg, None, payload.ctypes.data, octets, bits.ctypes.data, n)
            head = bytes([depth_index | randomise << 3 | asm << 4, 0xFF])
            body = bits.tobytes() if n >= 512 * 8 else np.packbits(bits).tobytes()
            save("tm_frame", f"frame_{depth}_{flags}", head + body)


SCENES = [
    {"segments": [{"type": "tone", "freq": 0.1, "num_samples": 300}]},
    {"segments": [{"type": "noise", "level": -10, "num_samples": 200}]},
    {"segments": [{"type": "pn", "pn_length": 9, "lfsr": "fibonacci", "sps": 3, "snr": 6, "num_samples": 400}]},
    {"segments": [{"type": "bpsk", "sps": 4, "snr": 10, "num_samples": [300, 500], "delay_samples": [0, 50],
                   "off_samples": 20, "repeats": 2}]},
    {"segments": [{"sum": [{"type": "qpsk", "pulse": "rrc", "rrc_beta": 0.25, "rrc_span": 6, "snr": 12},
                           {"type": "tone", "freq": [-0.2, 0.2], "level": -6},
                           {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -3}],
                   "num_samples": 600, "fs": 2e6}]},
    {"segments": [{"type": "bits", "pattern": "1101 0010", "modulation": "qpsk", "sps": 6, "pulse": "rrc",
                   "acq_code": "1111", "acq_reps": 2, "sync": "1010", "crc": "crc16", "snr": 15,
                   "num_samples": 500}]},
    {"segments": [{"type": "bits", "pattern": "10" * 892, "rs_depth": 1, "randomise": "ccsds", "asm": True,
                   "conv": True, "sps": 2, "num_samples": 900}]},
    {"segments": [{"type": "symbols", "symbols": [1, 0, 0, 1, -1, 0, 0, -1], "sps": 5, "snr": 20,
                   "num_samples": 100, "snr_mode": "esno"}]},
    {"segments": [{"type": "dsss", "data_code": "1011000111", "payload": "1001", "symbol_rate": 0.01,
                   "snr": 3, "num_samples": 700}]},
    {"segments": [{"sum": [{"type": "bpsk", "snr": 5}, {"type": "noise", "background": True, "level": -20}],
                   "num_samples": 300, "gap_noise": "off", "off_samples": 10}], "seed_advance": "all"},
    {"repeat": True, "continuous": True, "segments": [{"type": "tone", "num_samples": 50},
                                                      {"type": "qpsk", "sps": 2, "num_samples": 70}]},
]

OVERRIDES = [
    {"gains": [0, -3, -6], "phases": [0.5, 1, 2], "enable": [True, 0, 1], "snr": 3, "seed": 77},
    {"snr": -10}, {"seed": -1}, {"enable": [False, False, False]}, {"gains": [1, 2]},
]


def scene_seeds() -> None:
    lib = kettara_lib()
    for i, scene in enumerate(SCENES):
        text = json.dumps(scene)
        save("scene", f"scene_{i}", text.encode())
        plan = lib.kettara_prepare(text.encode())
        if plan:
            blob = ctypes.create_string_buffer(lib.kettara_save_bytes(plan))
            lib.kettara_save(plan, blob)
            save("plan_blob", f"blob_{i}", blob.raw)
            lib.kettara_destroy(plan)
    for i, overrides in enumerate(OVERRIDES):
        save("overrides", f"overrides_{i}", json.dumps(overrides).encode())


if __name__ == "__main__":
    scene_seeds()
    capture_seeds()
    keyword_seeds()
    tm_frame_seeds()
