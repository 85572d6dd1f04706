"""Capture segments: every SigMF captures entry (a retune starts one) and the one segment of a
BLUE capture, as the reader, quennel info and GNU Radio's capture source report them."""

import numpy as np
import sigmf
from quennel.capture import Writer
from quennel.cli.info import capture_facts

import tolvane

RETUNED = [
    {"sample_start": 0, "frequency": 1e9, "datetime": "2024-05-06T07:08:09.500000Z", "global_index": 0},
    {"sample_start": 40000, "frequency": 1.2e9, "datetime": None, "global_index": None},
    {"sample_start": 70000, "frequency": None, "datetime": None, "global_index": 12},
]


def retuned_recording(tmp_path):
    """A recording sigmf-python writes with a retune at sample 40000 and a third segment."""
    data_file = tmp_path / "retuned.sigmf-data"
    np.zeros(80000, np.complex64).tofile(data_file)
    meta = sigmf.SigMFFile(data_file=str(data_file), global_info={sigmf.DATATYPE_KEY: "cf32_le",
                                                                  sigmf.SAMPLE_RATE_KEY: 1e6})
    meta.add_capture(0, metadata={sigmf.FREQUENCY_KEY: 1e9, sigmf.DATETIME_KEY: RETUNED[0]["datetime"],
                                  "core:global_index": 0})
    meta.add_capture(40000, metadata={sigmf.FREQUENCY_KEY: 1.2e9})
    meta.add_capture(70000, metadata={"core:global_index": 12})
    meta.tofile(str(tmp_path / "retuned.sigmf-meta"))
    return data_file


def test_every_captures_entry_is_a_segment_and_info_lists_them(tmp_path, capsys):
    data_file = retuned_recording(tmp_path)
    with tolvane.Reader(data_file) as reader:
        assert reader.captures == RETUNED
        assert (reader.fc, reader.fc_source) == (1e9, "core:frequency")
    assert capture_facts(str(data_file))["captures"] == RETUNED
    from quennel.cli import main
    assert main(["info", str(data_file)]) == 0
    listed = [line for line in capsys.readouterr().out.splitlines() if "from sample" in line]
    assert listed == ["captures     from sample 0, 1 GHz, 2024-05-06T07:08:09.500000Z, global index 0",
                      "             from sample 40000, 1.2 GHz",
                      "             from sample 70000, global index 12"]


def test_a_blue_capture_is_one_segment_and_raw_has_none(tmp_path):
    path = tmp_path / "one.blue"
    writer = Writer(str(path), "blue", sample_type="ci16", fc=433.92e6)
    writer.write(np.zeros(8, np.complex64))
    writer.close()
    with tolvane.Reader(path) as reader:
        assert reader.captures == [{"sample_start": 0, "frequency": 433.92e6, "datetime": None,
                                    "global_index": None}]
    (tmp_path / "x.iq").write_bytes(bytes(16))
    with tolvane.Reader(tmp_path / "x.iq") as reader:
        assert reader.captures == []
