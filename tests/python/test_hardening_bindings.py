"""Hostile input through the Python bindings: damaged plan blobs, override texts and
captures, and sizes no machine holds. Each either works or raises the documented error;
none may crash (make check-asan runs these with AddressSanitizer)."""
import struct

import numpy as np
import pytest

import kettara
import tolvane

SCENE = ('{"segments": [{"num_samples": 300, "off_samples": [5, 40], "sum": ['
         '{"type": "tone", "freq": 0.05}, {"type": "bpsk", "snr": 8, "sps": 4}]}]}')


@pytest.fixture(scope="module")
def plan():
    with kettara.Plan(SCENE) as p:
        yield p


def test_damaged_plan_blobs_restore_equal_or_fail_cleanly(plan):
    blob = plan.save()
    baseline = plan.render("")
    text_end = 24 + struct.unpack_from("=Q", blob, 16)[0]
    damaged = {f"cut at {n}": blob[:n] for n in (0, 7, 23, 24, text_end - 1, text_end, text_end + 7,
                                                  text_end + 8, text_end + 20, len(blob) - 1)}
    for offset in (4, 6, 8, 16, 17, 23, text_end, text_end + 8, text_end + 15):
        flipped = bytearray(blob)
        flipped[offset] ^= 0xFF
        damaged[f"byte {offset} flipped"] = bytes(flipped)
    for what, data in damaged.items():
        try:
            restored = kettara.PlanFromBlob(data)
        except ValueError as e:
            assert str(e) == "PlanFromBlob failed", what
            continue
        if len(data) > text_end or what.endswith(f"{text_end} flipped"):
            # the scene text is intact: caches lost or damaged are synthesised again
            assert restored.length() == plan.length(), what
            assert np.array_equal(restored.render(""), baseline), what


@pytest.mark.parametrize("overrides", [
    "[" * 100000, '{"gains": ' + "[" * 5000 + "]" * 5000 + "}",
    '{"gains": [' + ",".join(["1e308"] * 100000) + "]}",
    '{"gains": [NaN, 1], "phases": [1e308, -1e308], "enable": [null, {}]}',
    '{"snr": -1e308, "seed": 1e308}', '{"snr": 1e308, "seed": -1e308}',
    '{"seed": "7", "snr": [], "gains": {}, "phases": "x"}', '{"gains": [0, 0], "gains": [1]}',
    '{"snr": 3', "null", '"text"',
])
def test_hostile_overrides_render_within_the_length(plan, overrides):
    out = plan.render(overrides)
    assert out.dtype == np.complex64 and len(out) <= plan.length()


def test_absurd_scene_sizes_fail_with_the_documented_errors():
    with pytest.raises(RuntimeError) as refused:
        kettara.Plan('{"segments": [{"type": "tone", "num_samples": 1e15}]}')
    assert str(refused.value) == "kettara_prepare failed"
    assert refused.value.__notes__[0].startswith("the plan's caches do not fit in memory (needs 7.1 PB, ")
    # A plan whose gaps are absurd is small; only an output of its length cannot exist.
    with kettara.Plan('{"segments": [{"type": "tone", "num_samples": 64, "off_samples": 1e15}]}') as huge:
        assert huge.length() == 10**15 + 64
        with pytest.raises(MemoryError):
            huge.render("")


def blue_header(data_size, ext_start=0, ext_size=0, keylength=0, fmt=b"CI"):
    hcb = bytearray(512)
    hcb[0:4] = b"BLUE"
    hcb[4:8] = b"EEEI"
    hcb[8:12] = b"EEEI"
    struct.pack_into("<ii", hcb, 24, ext_start, ext_size)
    struct.pack_into("<dd", hcb, 32, 512.0, data_size)
    struct.pack_into("<i", hcb, 48, 1000)
    hcb[52:54] = fmt
    struct.pack_into("<d", hcb, 264, 1e-6)
    struct.pack_into("<i", hcb, 160, keylength)
    return bytes(hcb)


@pytest.mark.parametrize("name, content", [
    ("huge.blue", blue_header(4e15) + bytes(40)),
    ("negative.blue", blue_header(-1.0) + bytes(40)),
    ("nan.blue", blue_header(float("nan")) + bytes(40)),
    ("ext.blue", blue_header(40.0, ext_start=1, ext_size=2**31 - 1) + bytes(40)),
    ("keys.blue", blue_header(40.0, keylength=2**31 - 1) + bytes(40)),
    ("mode.blue", blue_header(40.0, fmt=b"XZ") + bytes(40)),
    ("short.blue", blue_header(40.0)[:300]),
    ("x.sigmf-data", bytes(64)),
    ("rows.csv", b"1,2\n3\n4,5\n" + b"9" * 100000 + b",1\n"),
])
def test_damaged_captures_open_and_read_or_fail_cleanly(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    try:
        reader = tolvane.Reader(path, sample_type="ci16")
    except ValueError as e:
        assert str(e).startswith("cannot open capture"), name
        return
    except FileNotFoundError as e:  # a SigMF data file without its metadata
        assert e.filename == str(path.with_suffix(".sigmf-meta")), name
        return
    with reader:
        got = reader.read(1000)
        assert len(got) <= 1000
        reader.reset()
        assert np.array_equal(reader.read(1000), got)
