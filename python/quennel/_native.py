"""ctypes access to the plain C interface that the extension modules export.

The records and function signatures used from Python are declared here once; the
handles returned by kettara_lib() and tolvane_lib() carry them.
"""

import ctypes
import functools
from ctypes import (POINTER, c_char, c_char_p, c_double, c_float, c_int, c_int32, c_size_t, c_uint32,
                    c_uint64, c_void_p)


class SourceSpec(ctypes.Structure):
    """One parsed scene source."""

    _fields_ = [
        ("type", c_uint32), ("freq", c_double), ("snr", c_double), ("snr_mode", c_uint32),
        ("seed", c_uint32), ("sps", c_int32), ("pn_length", c_int32), ("pn_poly", c_uint64),
        ("lfsr", c_uint32), ("level", c_double), ("background", c_uint32), ("f_end", c_double),
        ("pattern", POINTER(ctypes.c_uint8)), ("pattern_len", c_uint64), ("modulation", c_uint32),
        ("symbols", POINTER(c_float)), ("n_symbols", c_uint64), ("pulse_rrc", c_uint32),
        ("rrc_beta", c_double), ("rrc_span", c_int32), ("range_flags", c_uint32),
        ("freq_hi", c_double), ("snr_hi", c_double), ("level_hi", c_double), ("f_end_hi", c_double),
        ("acq_code", POINTER(ctypes.c_uint8)), ("acq_code_len", c_uint64), ("acq_reps", c_uint64),
        ("data_code", POINTER(ctypes.c_uint8)), ("data_code_len", c_uint64),
        ("sync", POINTER(ctypes.c_uint8)), ("sync_len", c_uint64), ("crc", c_uint32),
        ("symbol_rate", c_double), ("data_none", c_uint32), ("rs_depth", c_int32),
        ("randomise", c_uint32), ("asm_", c_uint32), ("conv", c_uint32),
    ]


class SegmentSpec(ctypes.Structure):
    """One parsed scene segment; `sources` points at n_sources records."""

    _fields_ = [
        ("sources", POINTER(SourceSpec)), ("n_sources", c_uint64), ("fs", c_double),
        ("num_samples", c_uint64), ("off_samples", c_uint64), ("range_flags", c_uint32),
        ("num_samples_hi", c_uint64), ("off_samples_hi", c_uint64), ("repeats", c_uint64),
        ("delay_samples", c_uint64), ("delay_samples_hi", c_uint64), ("gap_noise_off", c_uint32),
    ]


class ComposeSpan(ctypes.Structure):
    """Where one instance of a segment falls in the first pass of a scene."""

    _fields_ = [("segment", c_uint64), ("instance", c_uint64), ("start", c_uint64),
                ("delay", c_uint64), ("num", c_uint64), ("off", c_uint64)]


class KeywordEntry(ctypes.Structure):
    """One keyword of a capture; data holds count x elem_size bytes in host byte order."""

    _fields_ = [("tag", c_char * 256), ("type", c_char), ("elem_size", c_uint64),
                ("count", c_uint64), ("data", c_void_p)]


_SPANS = ("wfm_compose_spans", c_uint64, [POINTER(SegmentSpec), c_uint64, POINTER(ComposeSpan), c_uint64])

_KETTARA = [
    ("wfm_compose_from_json", c_void_p, [c_char_p]),
    ("wfm_compose_execute", c_uint64, [c_void_p, c_void_p, c_uint64]),
    ("wfm_compose_destroy", None, [c_void_p]),
    ("wfm_compose_segments", POINTER(SegmentSpec),
     [c_void_p, POINTER(c_uint64), POINTER(c_int32), POINTER(c_int32)]),
    ("wfm_compose_seed_advance", c_uint32, [c_void_p]),
    ("wfm_spec_to_json", c_void_p, [POINTER(SegmentSpec), c_uint64, c_int32, c_int32, c_int32, c_double]),
    ("wfm_spec_template_json", c_void_p, []),
    ("wfm_spec_headroom", c_double, [c_char_p]),
    ("wfm_spec_frame_error", c_char_p, [c_char_p]),
    ("wfm_spec_normalise", c_void_p, [c_char_p]),
    ("wfm_source_frame_error", c_char_p, [POINTER(SourceSpec)]),
    ("wfm_rrc_taps", None, [c_int, c_int, c_void_p, c_double]),
    ("wfm_synth_create", c_void_p,
     [c_uint32, c_int, c_uint32, c_int, c_uint32, c_uint64, c_double, c_double, c_double, c_double, c_int]),
    ("wfm_synth_destroy", None, [c_void_p]),
    ("wfm_synth_set_rrc", c_int, [c_void_p, c_void_p, c_size_t]),
    ("wfm_synth_set_chirp_span", None, [c_void_p, c_uint64]),
    ("wfm_synth_steps", None, [c_void_p, c_void_p, c_size_t]),
    ("cJSON_free", None, [c_void_p]),
    _SPANS,
]

_TOLVANE = [
    ("wfm_writer_create", c_void_p,
     [c_char_p, c_int32, c_int32, c_int32, c_uint64, c_int32, c_double, c_double, c_double, c_double]),
    ("wfm_writer_write", c_uint64, [c_void_p, c_void_p, c_uint64]),
    ("wfm_writer_add_keyword", c_int, [c_void_p, c_char_p, c_char, c_void_p, c_uint64]),
    ("wfm_writer_flush", c_int, [c_void_p]),
    ("wfm_writer_track_clipping", None, [c_void_p, c_int32]),
    ("wfm_writer_peak", c_double, [c_void_p]),
    ("wfm_writer_get_peak_dbfs", c_double, [c_void_p]),
    ("wfm_writer_get_clipped", c_int32, [c_void_p]),
    ("wfm_writer_clip_fraction", c_double, [c_void_p]),
    ("wfm_writer_close", c_int, [c_void_p]),
    ("wfm_sigmf_meta_json", c_void_p,
     [c_int32, c_int32, POINTER(SegmentSpec), c_uint64, c_double, c_double, c_double]),
    ("tolvane_create", c_void_p, [c_char_p, c_int32, c_int32]),
    ("tolvane_destroy", None, [c_void_p]),
    ("tolvane_num_keywords", c_size_t, [c_void_p]),
    ("tolvane_keyword", POINTER(KeywordEntry), [c_void_p, c_size_t]),
    ("qn_interrupt_guard_create", c_void_p, [POINTER(c_int), c_size_t, c_int]),
    ("qn_interrupt_guard_destroy", None, [c_void_p]),
    _SPANS,
]


def _declare(lib: ctypes.CDLL, functions) -> ctypes.CDLL:
    for name, restype, argtypes in functions:
        function = getattr(lib, name, None)
        if function is not None:  # a library built before the function existed simply lacks it
            function.restype = restype
            function.argtypes = argtypes
    return lib


@functools.cache
def kettara_lib() -> ctypes.CDLL:
    """The kettara library (the extension module's own file, which exports the C interface)."""
    import kettara

    return _declare(ctypes.CDLL(kettara.__file__), _KETTARA)


@functools.cache
def tolvane_lib() -> ctypes.CDLL:
    """The tolvane library (the extension module's own file, which exports the C interface)."""
    import tolvane

    return _declare(ctypes.CDLL(tolvane.__file__), _TOLVANE)


@functools.cache
def libc() -> ctypes.CDLL:
    """The C library, for freeing the texts the libraries hand out with malloc."""
    lib = ctypes.CDLL(None)
    lib.free.argtypes = [c_void_p]
    lib.free.restype = None
    return lib


def take_text(address: int | None, release) -> str | None:
    """The NUL-terminated text at address, which is then released; None for a null address."""
    if not address:
        return None
    try:
        return ctypes.string_at(address).decode()
    finally:
        release(address)
