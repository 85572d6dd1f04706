"""Captures as the package names, reads and writes them: files replaced whole or not at all,
sample types that names imply, content that is no capture, truncated payloads."""

import json
import os

import pytest
from quennel.capture import replace_file
from quennel.errors import CaptureError, QuennelError, SceneError, UsageError
from test_cli import quennel, read_all


def test_replace_file_leaves_the_old_text_when_the_new_one_cannot_be_written(tmp_path):
    target = tmp_path / "capture.sigmf-meta"
    target.write_text("old")
    replace_file(str(target), "new")
    assert target.read_text() == "new"
    with pytest.raises(UnicodeEncodeError):
        replace_file(str(target), "half written \udc80")  # fails after the first characters
    assert target.read_text() == "new" and os.listdir(tmp_path) == ["capture.sigmf-meta"]


@pytest.mark.parametrize("error, also", [(UsageError, ValueError), (SceneError, ValueError),
                                         (CaptureError, OSError)])
def test_errors_are_quennel_errors_and_what_callers_already_catch(error, also):
    raised = error("one line")
    assert isinstance(raised, QuennelError) and isinstance(raised, also) and str(raised) == "one line"


# --- names that imply a sample type, and content that is no capture ------------------------

TONE = '{"segments": [{"type": "tone", "freq": 1000, "fs": 1e6, "num_samples": 300}]}'
NOT_READABLE = ("not a capture quennel can read: the content is not CSV, BLUE or SigMF, and raw samples are read "
                "only from .raw, .iq, .bin, .dat, .cfile, .cf32, .cf64, .ci32, .ci16, .ci8, .cs16, .cs8, .cu8, "
                ".cu16 files or with --format raw")


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "scene.json").write_text(TONE)
    return tmp_path


@pytest.mark.parametrize("name, sample_type, size", [
    ("x.cs8", "ci8", 600), ("x.cs16", "ci16", 1200), ("x.cf32", "cf32", 2400), ("x.cfile", "cf32", 2400),
    ("x.CS8", "ci8", 600), ("x.iq", "cf32", 2400), ("x.ci16", "ci16", 1200),
])
def test_a_raw_name_implies_its_sample_type_for_writing_and_reading(folder, name, sample_type, size):
    quennel("render", "scene.json", "-o", name, cwd=folder, check_status=0)
    assert (folder / name).stat().st_size == size
    assert json.loads(quennel("info", name, "--json", cwd=folder, check_status=0)[1])["sample_type"] == sample_type
    samples, _ = read_all(folder / name, sample_type=sample_type)
    assert abs(abs(samples[10]) - 1.0) < 0.01  # a tone at full scale, read as written
    converted = quennel("convert", name, "back.cf32", cwd=folder, check_status=0)[1]
    assert converted.startswith("wrote 300 samples to back.cf32 (raw, cf32)")


@pytest.mark.parametrize("args, message", [
    (["render", "scene.json", "-o", "x.cu8", "--sample-type", "ci8"],
     "x.cu8: .cu8 names cu8 samples, not ci8; drop --sample-type or rename the output"),
    (["render", "scene.json", "-o", "x.cs16", "--sample-type", "ci8"],
     "x.cs16: .cs16 names ci16 samples, not ci8; drop --sample-type or rename the output"),
    (["convert", "scene.json", "x.cs8", "--in-format", "raw", "--sample-type", "cf32"],
     "x.cs8: .cs8 names ci8 samples, not cf32; drop --sample-type or rename the output"),
])
def test_a_sample_type_the_name_contradicts_is_refused(folder, args, message):
    assert quennel(*args, cwd=folder) == (2, "", f"quennel {args[0]}: {message}\n")
    assert os.listdir(folder) == ["scene.json"]


def test_unsigned_names_imply_their_type_and_a_given_type_overrides_it(folder):
    (folder / "rtl.cu8").write_bytes(bytes(range(16)))
    facts = json.loads(quennel("info", "rtl.cu8", "--json", cwd=folder, check_status=0)[1])
    assert (facts["sample_type"], facts["num_samples"]) == ("cu8", 8)
    assert json.loads(quennel("info", "rtl.cu8", "--json", "--sample-type", "ri16", cwd=folder,
                              check_status=0)[1])["num_samples"] == 8


NO_CAPTURES = {"scene.json": TONE.encode(), "picture.png": b"\x89PNG\r\n\x1a\n" + bytes(64), "empty.blue": b"",
               "notes.txt": b"not samples at all\n"}
COMMANDS = (["info", "{name}"], ["convert", "{name}", "out.iq"], ["plot", "{name}", "-o", "x.png"])


@pytest.mark.parametrize("name, command", [(name, command) for name in NO_CAPTURES for command in COMMANDS
                                           if (name, command[0]) != ("scene.json", "plot")])  # plot draws scenes
def test_content_that_is_no_capture_is_raw_only_by_name_or_with_format_raw(folder, name, command):
    content = NO_CAPTURES[name]
    (folder / name).write_bytes(content)
    args = [part.format(name=name) for part in command]
    assert quennel(*args, cwd=folder) == (1, "", f"quennel {command[0]}: {name}: {NOT_READABLE}\n")
    if command[0] == "info" and content:
        forced = json.loads(quennel("info", name, "--json", "--format", "raw", cwd=folder, check_status=0)[1])
        assert (forced["file_type"], forced["num_samples"]) == ("raw", len(content) // 8)


def test_a_truncated_payload_is_reported_and_converted_with_a_warning(folder):
    quennel("render", "scene.json", "-o", "whole.blue", "--sample-type", "ci16", cwd=folder, check_status=0)
    quennel("render", "scene.json", "-o", "whole.sigmf-data", cwd=folder, check_status=0)
    (folder / "cut.blue").write_bytes((folder / "whole.blue").read_bytes()[:512 + 4 * 100 + 2])
    (folder / "cut.sigmf-data").write_bytes((folder / "whole.sigmf-data").read_bytes()[:8 * 40])
    (folder / "cut.sigmf-meta").write_bytes((folder / "whole.sigmf-meta").read_bytes())
    quennel("render", "scene.json", "-o", "det.blue", "--detached", "--sample-type", "ci16", cwd=folder,
            check_status=0)
    (folder / "det.det").write_bytes((folder / "det.det").read_bytes()[:4 * 100 + 2])
    for name, present in (("cut.blue", 100), ("cut.sigmf-data", 40), ("det.blue", 100)):
        facts = json.loads(quennel("info", name, "--json", cwd=folder, check_status=0)[1])
        assert (facts["declared_samples"], facts["num_samples"]) == (300, present)
        assert f"samples      declared 300, present {present} (cut)" in quennel("info", name, cwd=folder)[1]
        status, out, err = quennel("convert", name, f"{name}.iq", cwd=folder)
        assert status == 0 and out.startswith(f"wrote {present} samples")
        assert err == (f"quennel convert: {name} declares 300 samples and holds {present}: it is truncated; "
                       f"converting the {present} it holds\n")
    assert "declared_samples" not in json.loads(quennel("info", "whole.blue", "--json", cwd=folder)[1])
