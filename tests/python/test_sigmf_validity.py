"""SigMF metadata from scenes and every sidecar the capture writer leaves are valid SigMF,
checked by the official validator with its warnings (undeclared extensions) as errors."""

import ctypes
import json
import warnings

import pytest
from quennel._native import SegmentSpec, SourceSpec, kettara_lib, libc, tolvane_lib
from sigmf.validate import validate

STYPES = ["cf32", "cf64", "ci32", "ci16", "ci8"]
RAW, CSV, BLUE, SIGMF = range(4)
TONE, NOISE, PN, BPSK, QPSK, CHIRP, BITS, SYMBOLS, DSSS = range(9)

def assert_valid_sigmf(doc):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        validate(doc)


def meta(stype, big_endian, segments, fs, fc, t0):
    lib = tolvane_lib()
    array = (SegmentSpec * len(segments))(*segments) if segments else None
    text = lib.wfm_sigmf_meta_json(stype, big_endian, array, len(segments), fs, fc, t0)
    assert text
    try:
        return json.loads(ctypes.string_at(text).decode())
    finally:
        libc().free(text)


def source(kind, freq=0.0, **fields):
    spec = SourceSpec(type=kind, freq=freq, snr=100.0, seed=1, sps=8, pn_length=7)
    for name, value in fields.items():
        setattr(spec, name, value)
    return spec


def segment(sources, fs=1e6, num=1000, **fields):
    array = (SourceSpec * len(sources))(*sources)
    seg = SegmentSpec(sources=array, n_sources=len(sources), fs=fs, num_samples=num, repeats=1)
    for name, value in fields.items():
        setattr(seg, name, value)
    seg._keep = array  # the records point into this array
    return seg


def mixed_scene():
    return [
        segment([source(CHIRP, -1e5, f_end=2e5), source(NOISE, snr=3.0, snr_mode=1)], repeats=3,
                delay_samples=10, off_samples=5),
        segment([]),
        segment([source(BPSK, 1000.0), source(TONE, -2000.0, level=-6.0)], fs=1e6),
        segment([source(DSSS, sps=4, symbol_rate=1000.0, data_none=1, seed=4000000000,
                        pn_poly=(1 << 63) + 3),
                 source(QPSK, snr=float("nan"), snr_mode=7), source(42)], num=123),
    ]


@pytest.mark.parametrize("stype", range(5))
@pytest.mark.parametrize("big_endian", [0, 1])
def test_scene_metadata_is_valid_sigmf(stype, big_endian):
    doc = meta(stype, big_endian, mixed_scene(), 0.0, 1e9, 1700000000.25)
    assert_valid_sigmf(doc)
    assert len(doc["annotations"]) == 3 * 2 + 2 + 3
    assert doc["global"]["core:extensions"] == [{"name": "sondrel", "version": "1.0.0", "optional": True}]
    assert doc["global"]["core:sample_rate"] == 1e6
    assert doc["captures"] == [{"core:sample_start": 0, "core:datetime": "2023-11-14T22:13:20.250000Z",
                                "core:frequency": 1e9}]


@pytest.mark.parametrize("fs, fc, t0", [(0.0, 0.0, 0.0), (2.4e6, -1e3, 1.5), (float("nan"), float("inf"), -0.25),
                                        (-1e6, 0.0, float("nan"))])
def test_capture_wide_metadata_is_valid_sigmf(fs, fc, t0):
    assert_valid_sigmf(meta(0, 0, [], fs, fc, t0))


@pytest.mark.parametrize("file_type, name", [(RAW, "cap.iq"), (CSV, "cap.csv"), (SIGMF, "cap.sigmf-data")])
def test_writer_sidecars_are_valid_sigmf(tmp_path, file_type, name):
    lib = tolvane_lib()
    samples = (ctypes.c_float * 8)(0.5, -0.5, 0.25, 0.0, -1.0, 1.0, 0.1, 0.2)
    for stype in range(5):
        for big_endian in (0, 1):
            path = tmp_path / f"{stype}{big_endian}{name}"
            writer = lib.wfm_writer_create(str(path).encode(), file_type, stype, big_endian, 0, 1,
                                           2e6, 433.92e6, 0.0, 1700000000.0)
            assert writer
            assert lib.wfm_writer_write(writer, samples, 4) == 4
            assert lib.wfm_writer_close(writer) == 0
            meta_path = path.with_suffix(".sigmf-meta") if file_type == SIGMF else path.with_name(path.name + ".sigmf-meta")
            doc = json.loads(meta_path.read_text())
            assert_valid_sigmf(doc)
            expected = STYPES[stype] if stype == 4 else f"{STYPES[stype]}_{'be' if big_endian else 'le'}"
            assert doc["global"]["core:datatype"] == expected
            assert doc["annotations"] == []
    assert sorted(p.name for p in tmp_path.iterdir() if ".tmp" in p.name) == []


def test_composed_scene_metadata_is_valid_sigmf():
    kettara = kettara_lib()
    scene = {"segments": [
        {"fs": 2e6, "num_samples": [100, 200], "repeats": 2, "delay_samples": 7,
         "sum": [{"type": "bpsk", "freq": 1000, "snr": 10}, {"type": "chirp", "freq": -1e5, "f_end": 1e5}]},
        {"fs": 2e6, "num_samples": 50, "type": "dsss", "symbol_rate": 1000, "data": "none"},
    ]}
    composer = kettara.wfm_compose_from_json(json.dumps(scene).encode())
    assert composer
    try:
        n = ctypes.c_uint64()
        segments = kettara.wfm_compose_segments(composer, ctypes.byref(n), None, None)
        lib = tolvane_lib()
        text = lib.wfm_sigmf_meta_json(3, 0, segments, n.value, 0.0, 1e9, 0.0)
        doc = json.loads(ctypes.string_at(text).decode())
        libc().free(text)
    finally:
        kettara.wfm_compose_destroy(composer)
    assert_valid_sigmf(doc)
    # The composer's segments carry the noise floor that resolution appends to a noisy sum.
    assert [a["core:label"] for a in doc["annotations"]] == ["bpsk", "chirp", "noise"] * 2 + ["dsss"]
    assert doc["global"]["core:sample_rate"] == 2e6
