"""Offset-binary and real sample types: their reading rule in raw and SigMF captures (those
sigmf-python writes too), writing cu8 and cu16, and an RTL-SDR capture through SigMF and back."""

import numpy as np
import pytest
import sigmf
from quennel.capture import Writer
from quennel.cli import main

import tolvane

CODES = np.arange(-40000, 40000, 7)


def offset_binary(codes, bits):
    half = 2.0 ** (bits - 1) - 0.5
    return ((codes.astype(np.float64) - half) / half).astype(np.float32)


def signed(codes, scale):
    return (codes.astype(np.float64) * (1.0 / scale)).astype(np.float32)


# name: (NumPy dtype of one component, whether complex, the value of each stored code)
TYPES = {
    "cu8": ("u1", True, lambda c: offset_binary(c, 8)),
    "cu16": ("<u2", True, lambda c: offset_binary(c, 16)),
    "rf32": ("<f4", False, lambda c: c.astype(np.float32)),
    "rf64": ("<f8", False, lambda c: c.astype(np.float32)),
    "ri32": ("<i4", False, lambda c: signed(c, 2147483647)),
    "ri16": ("<i2", False, lambda c: signed(c, 32767)),
    "ri8": ("i1", False, lambda c: signed(c, 127)),
    "ru8": ("u1", False, lambda c: offset_binary(c, 8)),
    "ru16": ("<u2", False, lambda c: offset_binary(c, 16)),
}


def stored_codes(name):
    """Components spanning the type's codes (every code of the one-byte types), and their bytes."""
    dtype = np.dtype(TYPES[name][0])
    if dtype.kind == "f":
        codes = np.linspace(-3, 3, 1001)
    else:
        info = np.iinfo(dtype)
        codes = np.unique(np.concatenate([np.clip(CODES, info.min, info.max), [info.min, info.max]]))
    codes = codes[: codes.size // 2 * 2] if TYPES[name][1] else codes
    return codes, codes.astype(dtype).tobytes()


def expected_samples(name, codes):
    _, complex_type, value = TYPES[name]
    values = value(codes)
    if complex_type:
        return values[0::2] + 1j * values[1::2]
    return values + 0j


def read_all(path, **hints):
    """The samples and the facts of a capture."""
    with tolvane.Reader(path, **hints) as reader:
        facts = {name: getattr(reader, name) for name in
                 ("file_type", "sample_type", "mode", "fs", "fc", "num_samples", "trailing_bytes")}
        return reader.read(10**6), facts


@pytest.mark.parametrize("name", TYPES)
def test_raw_and_sigmf_python_captures_read_by_the_type_rule(tmp_path, name):
    codes, data = stored_codes(name)
    expected = expected_samples(name, codes).astype(np.complex64)
    raw = tmp_path / f"x.{name}"
    raw.write_bytes(data)
    got, reader = read_all(raw, sample_type=name)
    assert (reader["sample_type"], reader["mode"]) == (name, "complex" if TYPES[name][1] else "scalar")
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))

    # The same bytes as sigmf-python writes a recording of them.
    data_file = tmp_path / "rec.sigmf-data"
    data_file.write_bytes(data)
    datatype = name if np.dtype(TYPES[name][0]).itemsize == 1 else name + "_le"
    meta = sigmf.SigMFFile(data_file=str(data_file), global_info={
        sigmf.DATATYPE_KEY: datatype, sigmf.SAMPLE_RATE_KEY: 48000})
    meta.add_capture(0, metadata={sigmf.FREQUENCY_KEY: 1e8})
    meta.tofile(str(tmp_path / "rec.sigmf-meta"))
    got, reader = read_all(data_file)
    assert [reader[k] for k in ("file_type", "sample_type", "fs", "fc")] == ["sigmf", name, 48000.0, 1e8]
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))


def test_an_odd_byte_cu8_capture_reports_its_trailing_byte(tmp_path):
    path = tmp_path / "odd.cu8"
    path.write_bytes(bytes(range(7)))
    got, reader = read_all(path, sample_type="cu8")
    assert (reader["num_samples"], reader["trailing_bytes"], got.size) == (3, 1, 3)


@pytest.mark.parametrize("name, bits", [("cu8", 8), ("cu16", 16)])
def test_written_offset_binary_codes_round_and_clip_and_sigmf_python_reads_them(tmp_path, name, bits):
    top = 2**bits - 1
    values = np.array([0, 1, -1, 2, -2, 0.5, -0.5, 1 / top, -1 / top], np.float32)
    path = tmp_path / "w.sigmf-data"
    writer = Writer(str(path), "sigmf", sample_type=name)
    writer.write((values + 1j * values[::-1]).astype(np.complex64))
    writer.close()
    half = 2 ** (bits - 1) - 0.5
    codes = np.clip(np.floor(values.astype(np.float64) * half + half + 0.5), 0, top)
    interleaved = np.column_stack([codes, codes[::-1]]).ravel()
    assert np.array_equal(np.frombuffer(path.read_bytes(), np.dtype(TYPES[name][0])), interleaved)
    recording = sigmf.sigmffile.fromfile(str(path), autoscale=False)
    assert recording.get_global_field(sigmf.DATATYPE_KEY) == (name if bits == 8 else name + "_le")
    assert np.array_equal(recording.read_samples(), codes + 1j * codes[::-1])


def test_an_rtl_sdr_capture_goes_through_sigmf_and_back_byte_for_byte(tmp_path, capsys):
    capture = tmp_path / "rtl.cu8"
    capture.write_bytes(np.random.default_rng(7).integers(0, 256, 20000, dtype=np.uint8).tobytes())
    assert main(["convert", str(capture), str(tmp_path / "rtl.sigmf-data"), "--in-sample-type", "cu8", "-q"]) == 0
    assert sigmf.sigmffile.fromfile(str(tmp_path / "rtl.sigmf-meta")).get_global_field("core:datatype") == "cu8"
    assert main(["convert", str(tmp_path / "rtl.sigmf-data"), str(tmp_path / "back.cu8"), "-q"]) == 0
    assert (tmp_path / "back.cu8").read_bytes() == capture.read_bytes()


def test_blue_refuses_to_write_offset_binary(tmp_path):
    with pytest.raises(Exception, match="cannot create the capture"):
        Writer(str(tmp_path / "x.blue"), "blue", sample_type="cu8")
    assert not (tmp_path / "x.blue").exists()


def two_channel_recording(tmp_path):
    """A ci16 recording of two interleaved channels, as NumPy and sigmf-python make it."""
    rng = np.random.default_rng(3)
    channels = rng.integers(-32768, 32768, (2, 500, 2), dtype=np.int16)  # channel, sample, re/im
    data_file = tmp_path / "two.sigmf-data"
    np.stack([channels[0], channels[1]], axis=1).tofile(data_file)  # frame k: channel 0, channel 1
    meta = sigmf.SigMFFile(data_file=str(data_file), global_info={
        sigmf.DATATYPE_KEY: "ci16_le", sigmf.NUM_CHANNELS_KEY: 2, sigmf.SAMPLE_RATE_KEY: 1e6})
    meta.add_capture(0)
    meta.tofile(str(tmp_path / "two.sigmf-meta"))
    expected = [(c[:, 0] * (1 / 32767) + 1j * (c[:, 1] * (1 / 32767))).astype(np.complex64) for c in channels]
    return data_file, expected


def test_each_channel_of_a_two_channel_recording_reads_exactly(tmp_path):
    data_file, expected = two_channel_recording(tmp_path)
    for channel in (0, 1):
        got, _ = read_all(data_file, channel=channel)
        with tolvane.Reader(data_file, channel=channel) as reader:
            assert (reader.num_channels, reader.channel, reader.num_samples) == (2, channel, 500)
        assert np.array_equal(got, expected[channel]), channel


@pytest.mark.parametrize("name, kwargs, error, message", [
    ("two", {}, ValueError, "this SigMF recording interleaves 2 channels: choose one with channel=K (0 to 1)"),
    ("two", {"channel": 2}, ValueError, "channel 2 is beyond the 2 channels of this capture (0 to 1)"),
    ("one", {"channel": 1}, ValueError, "channel 1 is beyond the 1 channel of this capture (0 to 0)"),
    ("one", {"channel": -1}, ValueError, "channel must not be negative"),
    ("one", {"channel": "0"}, TypeError, None),
])
def test_channel_choices_that_cannot_be_read_are_refused(tmp_path, name, kwargs, error, message):
    two_channel_recording(tmp_path)
    (tmp_path / "one.iq").write_bytes(bytes(16))
    with pytest.raises(error) as refused:
        tolvane.Reader(tmp_path / ("two.sigmf-data" if name == "two" else "one.iq"), **kwargs)
    assert message is None or str(refused.value) == message


def test_sigmf_python_takes_the_centre_frequency_of_a_quennel_blue_capture(tmp_path):
    from sigmf.convert.blue import blue_to_sigmf

    path = tmp_path / "tuned.blue"
    writer = Writer(str(path), "blue", sample_type="ci16", fs=1e6, fc=433.92e6)
    writer.write(np.full(64, 0.5 - 0.25j, np.complex64))
    writer.close()
    recording = blue_to_sigmf(path)
    assert recording.get_captures()[0][sigmf.FREQUENCY_KEY] == 433.92e6
    with tolvane.Reader(path) as reader:
        assert (reader.keywords["FREQ"], reader.keywords["RF_FREQ"], reader.fc_source) == (433.92e6, 433.92e6, "FREQ")
