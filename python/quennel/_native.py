"""ctypes access to the plain C interface of libkettara and libtolvane.

Every record, constant, name table and function signature used from Python is declared
here once; the handles returned by kettara_lib() and tolvane_lib() carry the signatures,
and a library that lacks a declared function is refused when it is loaded. The records
mirror the C layouts member by member, and the tests compare their sizes and offsets
with the C compiler's.
"""

import ctypes
import functools
from collections.abc import Callable
from ctypes import (
    POINTER,
    c_char,
    c_char_p,
    c_double,
    c_float,
    c_int,
    c_int32,
    c_size_t,
    c_uint8,
    c_uint32,
    c_uint64,
    c_void_p,
)
from typing import Any


class SourceSpec(ctypes.Structure):
    """One parsed scene source."""

    _fields_ = [
        ("type", c_uint32), ("freq", c_double), ("snr", c_double), ("snr_mode", c_uint32),
        ("seed", c_uint32), ("sps", c_int32), ("pn_length", c_int32), ("pn_poly", c_uint64),
        ("lfsr", c_uint32), ("level", c_double), ("background", c_uint32), ("f_end", c_double),
        ("pattern", POINTER(c_uint8)), ("pattern_len", c_uint64), ("modulation", c_uint32),
        ("symbols", POINTER(c_float)), ("n_symbols", c_uint64), ("pulse_rrc", c_uint32),
        ("rrc_beta", c_double), ("rrc_span", c_int32), ("range_flags", c_uint32),
        ("freq_hi", c_double), ("snr_hi", c_double), ("level_hi", c_double), ("f_end_hi", c_double),
        ("acq_code", POINTER(c_uint8)), ("acq_code_len", c_uint64), ("acq_reps", c_uint64),
        ("data_code", POINTER(c_uint8)), ("data_code_len", c_uint64),
        ("sync", POINTER(c_uint8)), ("sync_len", c_uint64), ("crc", c_uint32),
        ("symbol_rate", c_double), ("data_none", c_uint32), ("rs_depth", c_int32),
        ("randomise", c_uint32), ("asm_", c_uint32), ("conv", c_uint32),
        ("channel", ctypes.c_void_p),  # the parsed "channel" record, read only by the libraries
        ("apsk_rings", c_double * 2), ("n_apsk_rings", c_uint32),
    ]


class SegmentSpec(ctypes.Structure):
    """One parsed scene segment; `sources` points at n_sources records."""

    _fields_ = [
        ("sources", POINTER(SourceSpec)), ("n_sources", c_uint64), ("fs", c_double),
        ("num_samples", c_uint64), ("off_samples", c_uint64), ("range_flags", c_uint32),
        ("num_samples_hi", c_uint64), ("off_samples_hi", c_uint64), ("repeats", c_uint64),
        ("delay_samples", c_uint64), ("delay_samples_hi", c_uint64), ("gap_noise_off", c_uint32),
        ("frontend", ctypes.c_void_p),  # the parsed "frontend" record, read only by the libraries
    ]


class ComposeSpan(ctypes.Structure):
    """Where one instance of a segment falls in the first pass of a scene."""

    _fields_ = [("segment", c_uint64), ("instance", c_uint64), ("start", c_uint64),
                ("delay", c_uint64), ("num", c_uint64), ("off", c_uint64)]


class KeywordEntry(ctypes.Structure):
    """One keyword of a capture; data holds count x elem_size bytes in host byte order."""

    _fields_ = [("tag", c_char * 256), ("type", c_char), ("elem_size", c_uint64),
                ("count", c_uint64), ("data", c_void_p)]


class InterruptState(ctypes.Structure):
    """The process-wide interrupt flag and the poll latency requested of long waits."""

    _fields_ = [("interrupted", c_int32), ("latency_ms", c_int32)]


class ConvSpec(ctypes.Structure):
    """A convolutional code: constraint length, outputs, generator masks, inverted outputs."""

    _fields_ = [("K", c_uint32), ("n", c_uint32), ("polys", c_uint32 * 6), ("invert", c_uint32)]


class TmFrameConfig(ctypes.Structure):
    """The coding of a CCSDS telemetry frame."""

    _fields_ = [("rs_depth", c_uint32), ("randomise", c_uint32), ("asm_", c_uint32), ("conv", c_uint32)]


class TmFrameLayout(ctypes.Structure):
    """Sizes and offsets, in bits, of a CCSDS telemetry frame."""

    _fields_ = [(name, c_uint64) for name in (
        "body_bits", "frame_bits", "coded_bits", "asm_offset", "asm_bits", "rs_offset", "rs_bits",
        "rand_offset", "rand_bits", "conv_offset", "conv_bits")]


class RsBlockStats(ctypes.Structure):
    """Decoding counters of one Reed-Solomon codeblock."""

    _fields_ = [("depth", c_uint32), ("corrected", c_uint32), ("failed", c_uint32), ("symbols", c_uint32)]


RECORDS = (SourceSpec, SegmentSpec, ComposeSpan, KeywordEntry, InterruptState, ConvSpec, TmFrameConfig,
           TmFrameLayout, RsBlockStats)

# Range flags: which values of a source or segment were given as [lo, hi].
RANGE_FREQ = 0x01
RANGE_SNR = 0x02
RANGE_LEVEL = 0x04
RANGE_F_END = 0x08
RANGE_NUM_SAMPLES = 0x10
RANGE_OFF_SAMPLES = 0x20
RANGE_DELAY_SAMPLES = 0x40

# The name tables the libraries export (the code of a name is its index), with their lengths.
_KETTARA_TABLES = {"TYPE_NAMES": 26, "MODE_NAMES": 4, "LFSR_NAMES": 2, "BITMOD_NAMES": 20, "CRC_NAMES": 2,
                   "SEED_ADVANCE_NAMES": 3}
_TOLVANE_TABLES = {"_enum_Reader_ftype": 4, "_enum_Reader_stype": 14, "_enum_Reader_sample_mode": 2,
                   "_enum_Reader_endian": 2, "_enum_Reader_fs_source": 3, "_enum_Reader_fc_source": 6,
                   "_enum_Reader_t0_source": 2, "_enum_Reader_follow_end": 5}
NAME_TABLE_LENGTHS = {**_KETTARA_TABLES, **_TOLVANE_TABLES}

VOID, SIZE = c_void_p, c_size_t  # VOID: a handle or a buffer (NumPy's .ctypes.data will do)
_GENERATE = [VOID, SIZE, VOID, SIZE]  # (generator, n, out, out_cap)

_SPANS = ("wfm_compose_spans", c_uint64, [POINTER(SegmentSpec), c_uint64, POINTER(ComposeSpan), c_uint64])

_KETTARA = [
    ("wfm_compose_from_json", VOID, [c_char_p]),
    ("wfm_compose_execute", c_uint64, [VOID, VOID, c_uint64]),
    ("wfm_compose_destroy", None, [VOID]),
    ("wfm_snr_over_fs", c_double, [c_uint32, c_uint32, c_int32, c_uint64, c_double, c_double]),
    ("wfm_compose_segments", POINTER(SegmentSpec),
     [VOID, POINTER(c_uint64), POINTER(c_int32), POINTER(c_int32)]),
    ("wfm_compose_seed_advance", c_uint32, [VOID]),
    ("wfm_spec_to_json", VOID, [POINTER(SegmentSpec), c_uint64, c_int32, c_int32, c_int32, c_double]),
    ("wfm_spec_template_json", VOID, []),
    ("wfm_spec_headroom", c_double, [c_char_p]),
    ("wfm_spec_frame_error", c_char_p, [c_char_p]),
    ("kettara_refusal", SIZE, [c_char_p, VOID, SIZE]),
    ("wfm_spec_normalise", VOID, [c_char_p]),
    ("wfm_source_frame_error", c_char_p, [POINTER(SourceSpec)]),
    ("wfm_rrc_taps", None, [c_int, c_int, VOID, c_double]),
    ("wfm_rrc_polyphase_bank", None, [c_int, c_uint32, VOID, c_double]),
    ("wfm_synth_create", VOID,
     [c_uint32, c_int, c_uint32, c_int, c_uint32, c_uint64, c_double, c_double, c_double, c_double, c_int]),
    ("wfm_synth_destroy", None, [VOID]),
    ("wfm_synth_set_rrc", c_int, [VOID, VOID, SIZE]),
    ("wfm_synth_set_chirp_span", None, [VOID, c_uint64]),
    ("wfm_synth_steps", None, [VOID, VOID, SIZE]),
    ("wfm_frame_dsss_chips", SIZE,
     [VOID, SIZE, SIZE, VOID, SIZE, VOID, SIZE, VOID, SIZE, c_uint32, VOID]),
    ("lo_create", VOID, [c_double]),
    ("lo_destroy", None, [VOID]),
    ("lo_steps", SIZE, _GENERATE),
    ("awgn", c_int, [c_uint64, SIZE, VOID, c_float]),
    ("awgn_create", VOID, [c_uint64, c_float]),
    ("awgn_destroy", None, [VOID]),
    ("awgn_generate", SIZE, _GENERATE),
    ("fir_create_real", VOID, [VOID, SIZE]),
    ("fir_destroy", None, [VOID]),
    ("fir_execute", SIZE, [VOID, VOID, SIZE, VOID]),
    ("resamp_create", VOID, [c_double]),
    ("resamp_create_custom", VOID, [SIZE, SIZE, VOID, c_double]),
    ("resamp_destroy", None, [VOID]),
    ("resamp_interp_fill", SIZE, [VOID, VOID, VOID, SIZE]),
    ("resamp_execute", SIZE, [VOID, VOID, SIZE, VOID, SIZE]),
    ("pn_create", VOID, [c_uint64, c_uint64, c_uint32, c_int32]),
    ("pn_destroy", None, [VOID]),
    ("pn_reset", None, [VOID]),
    ("pn_generate", SIZE, _GENERATE),
    ("pn_default_poly", c_uint64, [c_uint32]),
    ("gold_create", VOID, [c_uint64, c_uint64, c_uint64, c_uint64, c_uint32]),
    ("gold_destroy", None, [VOID]),
    ("gold_generate", SIZE, _GENERATE),
    ("conv_encode", SIZE, [POINTER(c_uint32), POINTER(ConvSpec), VOID, SIZE, VOID, SIZE]),
    ("ccsds_tm_rs_encode_block", SIZE, [VOID, c_uint32, VOID]),
    ("ccsds_tm_rs_decode_block", SIZE, [VOID, c_uint32, POINTER(RsBlockStats)]),
    ("ccsds_tm_frame_layout", SIZE, [POINTER(TmFrameConfig), SIZE, POINTER(TmFrameLayout)]),
    ("ccsds_tm_frame_encode", SIZE, [POINTER(TmFrameConfig), POINTER(c_uint32), VOID, SIZE, VOID, SIZE]),
    ("kettara_prepare", VOID, [c_char_p]),
    ("kettara_prepare_threads", VOID, [c_char_p, c_uint32]),
    ("kettara_save_bytes", c_uint64, [VOID]),
    ("kettara_save", c_uint64, [VOID, VOID]),
    ("kettara_destroy", None, [VOID]),
    ("kettara_stream_create", VOID, [c_char_p, c_char_p]),
    ("kettara_stream_refusal", SIZE, [c_char_p, VOID, SIZE]),
    ("kettara_stream_read", c_uint64, [VOID, VOID, c_uint64]),
    ("kettara_stream_failed", c_int32, [VOID]),
    ("kettara_stream_len", c_uint64, [VOID]),
    ("kettara_stream_n_sources", c_uint64, [VOID]),
    ("kettara_stream_destroy", None, [VOID]),
    ("cJSON_free", None, [VOID]),
    _SPANS,
]

_TOLVANE = [
    ("wfm_writer_create", VOID,
     [c_char_p, c_int32, c_int32, c_int32, c_uint64, c_int32, c_double, c_double, c_double, c_double]),
    ("wfm_writer_create_detached", VOID,
     [c_char_p, c_int32, c_int32, c_uint64, c_double, c_double, c_double, c_double]),
    ("wfm_writer_write", c_uint64, [VOID, VOID, c_uint64]),
    ("wfm_writer_add_keyword", c_int, [VOID, c_char_p, c_char, VOID, c_uint64]),
    ("wfm_writer_flush", c_int, [VOID]),
    ("wfm_writer_track_clipping", None, [VOID, c_int32]),
    ("wfm_writer_peak", c_double, [VOID]),
    ("wfm_writer_get_peak_dbfs", c_double, [VOID]),
    ("wfm_writer_get_clipped", c_int32, [VOID]),
    ("wfm_writer_clip_fraction", c_double, [VOID]),
    ("wfm_writer_close", c_int, [VOID]),
    ("wfm_sigmf_meta_json", VOID,
     [c_int32, c_int32, POINTER(SegmentSpec), c_uint64, c_double, c_double, c_double]),
    ("wfm_kw_encode", SIZE, [VOID, SIZE, c_char_p, c_char, VOID, SIZE, c_int]),
    ("write_blue_header", c_int,
     [c_char_p, c_int32, c_int, c_uint64, c_int, c_double, c_double, c_double, c_double]),
    ("tolvane_create", VOID, [c_char_p, c_int32, c_int32]),
    ("tolvane_destroy", None, [VOID]),
    ("tolvane_read", SIZE, [VOID, SIZE, VOID, SIZE]),
    ("tolvane_num_keywords", SIZE, [VOID]),
    ("tolvane_keyword", POINTER(KeywordEntry), [VOID, SIZE]),
    ("qn_interrupt", None, []),
    ("qn_resume", None, []),
    ("qn_interrupted", c_int, []),
    ("qn_set_interrupt_latency_ms", None, [c_int]),
    ("qn_interrupt_latency_ms", c_int, []),
    ("qn_interrupt_on_signal", c_int, [c_int]),
    ("qn_restore_signal", c_int, [c_int]),
    ("qn_interrupt_guard_state_ptr", VOID, []),
    ("qn_interrupt_guard_create", VOID, [POINTER(c_int), SIZE, c_int]),
    ("qn_interrupt_guard_destroy", None, [VOID]),
    _SPANS,
]


def _declare(lib: ctypes.CDLL, functions: list[tuple[str, Any, Any]]) -> ctypes.CDLL:
    """Sets every signature on lib; a library without one of the functions is refused."""
    missing = [name for name, _, _ in functions if not hasattr(lib, name)]
    if missing:
        raise ImportError(f"{lib._name} does not export {', '.join(missing)}: "
                          "the library and the quennel package come from different builds")
    for name, restype, argtypes in functions:
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


@functools.cache
def kettara_lib() -> ctypes.CDLL:
    """The kettara library: looked up through the extension module, which links libkettara."""
    import kettara

    return _declare(ctypes.CDLL(kettara.__file__), _KETTARA)


@functools.cache
def tolvane_lib() -> ctypes.CDLL:
    """The tolvane library: looked up through the extension module, which links libtolvane."""
    import tolvane

    return _declare(ctypes.CDLL(tolvane.__file__), _TOLVANE)


@functools.cache
def names(table: str) -> tuple[str, ...]:
    """The entries of an exported name table, e.g. names("TYPE_NAMES") or
    names("_enum_Reader_stype")."""
    lib = kettara_lib() if table in _KETTARA_TABLES else tolvane_lib()
    entries = (c_char_p * NAME_TABLE_LENGTHS[table]).in_dll(lib, table)
    return tuple((entry or b"").decode() for entry in entries)


@functools.cache
def libc() -> ctypes.CDLL:
    """The C library, for freeing the texts the libraries hand out with malloc."""
    lib = ctypes.CDLL(None)
    lib.free.argtypes = [c_void_p]
    lib.free.restype = None
    return lib


def take_text(address: int | None, release: Callable[[int], None]) -> str | None:
    """The NUL-terminated text at address, which is then released; None for a null address."""
    if not address:
        return None
    try:
        return ctypes.string_at(address).decode()
    finally:
        release(address)
