// Every exported function of tolvane called with null objects gives its neutral result.
#include <gtest/gtest.h>

#include <cmath>

#include "../common/null_calls.hpp"
#include "qn_interrupt.h"
#include "qn_interrupt_guard_core.h"
#include "tolvane_core.h"
#include "wfm_keywords.h"
#include "wfm_writer_core.h"
#include "write_blue_header.h"

namespace {

using null_calls::out;

// Functions of plain values only, and the flag functions, which do not use their guard.
const std::set<std::string> kNoObject = {
    "qn_interrupt", "qn_interrupt_guard_interrupt", "qn_interrupt_guard_interrupted",
    "qn_interrupt_guard_latency_ms", "qn_interrupt_guard_resume", "qn_interrupt_guard_state_ptr",
    "qn_interrupt_latency_ms", "qn_interrupt_on_signal", "qn_interrupted", "qn_restore_signal",
    "qn_resume", "qn_set_interrupt_latency_ms", "wfm_draw_range", "wfm_draw_samples",
    "wfm_kw_elem_size", "wfm_kw_entry_size",
};

bool adopting_null_keeps_the_state() {
    InterruptState *before = qn_interrupt_guard_state_ptr();
    qn_interrupt_guard_state_adopt(nullptr);
    return qn_interrupt_guard_state_ptr() == before;
}

std::vector<NullCall> reader_calls() {
    return {
        RETURNS_ZERO(tolvane_create, nullptr, TOLVANE_STYPE_CF32, TOLVANE_ENDIAN_LE),
        RETURNS_ZERO(tolvane_open, nullptr, TOLVANE_STYPE_CF32, TOLVANE_ENDIAN_LE, nullptr),
        RETURNS_ZERO(tolvane_open_with, nullptr, nullptr, nullptr, nullptr, 0),
        RETURNS_ZERO(tolvane_get_num_channels, nullptr),
        RETURNS_ZERO(tolvane_get_channel, nullptr),
        RETURNS_ZERO(tolvane_num_captures, nullptr),
        RETURNS_ZERO(tolvane_capture, nullptr, 0),
        DOES_NOTHING(tolvane_destroy, nullptr),
        RETURNS_ZERO(tolvane_find_header_field, nullptr, "FREQ"),
        RETURNS_ZERO(tolvane_find_keyword, nullptr, "FREQ"),
        RETURNS_ZERO(tolvane_get_endian, nullptr),
        RETURNS_ZERO(tolvane_get_ending, nullptr),
        RETURNS_ZERO(tolvane_get_fc, nullptr),
        RETURNS_ZERO(tolvane_get_fc_source, nullptr),
        RETURNS_ZERO(tolvane_get_file_type, nullptr),
        RETURNS_ZERO(tolvane_get_follow_grace_ms, nullptr),
        RETURNS_ZERO(tolvane_get_follow_timeout_ms, nullptr),
        RETURNS_ZERO(tolvane_get_fs, nullptr),
        RETURNS_ZERO(tolvane_get_fs_source, nullptr),
        RETURNS_ZERO(tolvane_get_mode, nullptr),
        RETURNS_ZERO(tolvane_get_num_samples, nullptr),
        RETURNS_ZERO(tolvane_get_sample_type, nullptr),
        RETURNS_ZERO(tolvane_get_t0, nullptr),
        RETURNS_ZERO(tolvane_get_t0_source, nullptr),
        RETURNS_ZERO(tolvane_get_trailing_bytes, nullptr),
        RETURNS_ZERO(tolvane_get_error, nullptr),
        RETURNS_ZERO(tolvane_get_declared_samples, nullptr),
        RETURNS_ZERO(tolvane_get_error_sample, nullptr),
        RETURNS_ZERO(tolvane_header_field, nullptr, 0),
        RETURNS_ZERO(tolvane_header_tag, nullptr, 0),
        DOES_NOTHING(tolvane_info, nullptr, out<ReaderInfo>()),
        RETURNS_ZERO(tolvane_keyword, nullptr, 0),
        RETURNS_ZERO(tolvane_keyword_tag, nullptr, 0),
        RETURNS_ZERO(tolvane_num_header_fields, nullptr),
        RETURNS_ZERO(tolvane_num_keywords, nullptr),
        RETURNS_ZERO(tolvane_read, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(tolvane_read_follow, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(tolvane_read_follow_max_out, nullptr, 4),
        RETURNS_ZERO(tolvane_read_max_out, nullptr, 4),
        DOES_NOTHING(tolvane_reset, nullptr),
        DOES_NOTHING(tolvane_set_follow_grace_ms, nullptr, 10),
        DOES_NOTHING(tolvane_set_follow_timeout_ms, nullptr, 10),
        DOES_NOTHING(tolvane_set_stop_fn, nullptr, nullptr),
        RETURNS_INVALID(wfm_kw_check_standard, nullptr, 'A', nullptr, 0),
        RETURNS_INVALID(wfm_kw_decode, nullptr, 64, 0, out<KeywordEntry>(), out<size_t>() + 64),
        RETURNS_ZERO(wfm_kw_encode, out<void>(), 64, nullptr, 'A', nullptr, 4, 0),
    };
}

std::vector<NullCall> writer_calls() {
    return {
        RETURNS_INVALID(wfm_blue_write_hcb, nullptr, TOLVANE_STYPE_CF32, 0, 4, 0, 1.0, 0.0, 512.0, 0.0),
        RETURNS_INVALID(write_blue_header, nullptr, TOLVANE_STYPE_CF32, 0, 4, 0, 1.0, 0.0, 512.0, 0.0),
        RETURNS_ZERO(wfm_sigmf_meta_json, TOLVANE_STYPE_CF32, 0, nullptr, 2, 1.0, 0.0, 0.0),
        RETURNS_INVALID(wfm_writer_add_keyword, nullptr, "NAME", 'A', "x", 1),
        RETURNS_ZERO(wfm_writer_clip_fraction, nullptr),
        RETURNS(wfm_writer_close, QN_OK, nullptr),
        RETURNS_ZERO(wfm_writer_create, nullptr, TOLVANE_FTYPE_RAW, TOLVANE_STYPE_CF32, 0, 4, 0, 1.0, 0.0, 0.0,
                     0.0),
        RETURNS_ZERO(wfm_writer_create_detached, nullptr, TOLVANE_STYPE_CF32, 0, 4, 1.0, 0.0, 0.0, 0.0),
        RETURNS(wfm_writer_destroy, QN_OK, nullptr),
        RETURNS_INVALID(wfm_writer_flush, nullptr),
        RETURNS_ZERO(wfm_writer_get_clip_fraction, nullptr),
        RETURNS_ZERO(wfm_writer_get_clipped, nullptr),
        RETURNS(wfm_writer_get_peak_dbfs, -HUGE_VAL, nullptr),
        RETURNS_ZERO(wfm_writer_open, nullptr, TOLVANE_FTYPE_RAW, TOLVANE_STYPE_CF32, 0, 4, 1.0, 0.0, 0.0),
        RETURNS_ZERO(wfm_writer_peak, nullptr),
        DOES_NOTHING(wfm_writer_set_gain, nullptr, 2.0),
        DOES_NOTHING(wfm_writer_track_clipping, nullptr, 1),
        RETURNS_ZERO(wfm_writer_write, nullptr, out<cf32>(), 4),
        RETURNS_ZERO(qn_interrupt_guard_create, nullptr, 2, 0),
        DOES_NOTHING(qn_interrupt_guard_destroy, nullptr),
        NullCall{"qn_interrupt_guard_state_adopt", adopting_null_keeps_the_state},
    };
}

std::vector<NullCall> all_calls() {
    return null_calls::joined({reader_calls(), writer_calls(), null_calls::draw_calls()});
}

#include "../common/null_handle_tests.inc"

}  // namespace
