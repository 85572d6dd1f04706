/* Prints what the Python mirrors of the C interface must agree with, one "name value"
 * per line: the size and member offsets of every record Python declares, the lengths of
 * the exported name tables and the constants Python repeats. test_native_layout.py reads it. */
#include <stddef.h>
#include <stdio.h>

#include "all_public_headers.h"

#define RECORD(T) printf("%s %zu\n", #T, sizeof(T))
#define MEMBER(T, m) printf("%s.%s %zu\n", #T, #m, offsetof(T, m))
#define TABLE(t) printf("%s %zu\n", #t, sizeof(t) / sizeof(t[0]))
#define CONSTANT(c) printf("%s %ld\n", #c, (long)(c))

static void scene_records(void) {
    RECORD(SourceSpec);
    MEMBER(SourceSpec, type); MEMBER(SourceSpec, freq); MEMBER(SourceSpec, snr); MEMBER(SourceSpec, snr_mode);
    MEMBER(SourceSpec, seed); MEMBER(SourceSpec, sps); MEMBER(SourceSpec, pn_length); MEMBER(SourceSpec, pn_poly);
    MEMBER(SourceSpec, lfsr); MEMBER(SourceSpec, level); MEMBER(SourceSpec, background); MEMBER(SourceSpec, f_end);
    MEMBER(SourceSpec, pattern); MEMBER(SourceSpec, pattern_len); MEMBER(SourceSpec, modulation);
    MEMBER(SourceSpec, symbols); MEMBER(SourceSpec, n_symbols); MEMBER(SourceSpec, pulse_rrc);
    MEMBER(SourceSpec, rrc_beta); MEMBER(SourceSpec, rrc_span); MEMBER(SourceSpec, range_flags);
    MEMBER(SourceSpec, freq_hi); MEMBER(SourceSpec, snr_hi); MEMBER(SourceSpec, level_hi);
    MEMBER(SourceSpec, f_end_hi); MEMBER(SourceSpec, acq_code); MEMBER(SourceSpec, acq_code_len);
    MEMBER(SourceSpec, acq_reps); MEMBER(SourceSpec, data_code); MEMBER(SourceSpec, data_code_len);
    MEMBER(SourceSpec, sync); MEMBER(SourceSpec, sync_len); MEMBER(SourceSpec, crc); MEMBER(SourceSpec, symbol_rate);
    MEMBER(SourceSpec, data_none); MEMBER(SourceSpec, rs_depth); MEMBER(SourceSpec, randomise);
    MEMBER(SourceSpec, asm_); MEMBER(SourceSpec, conv); MEMBER(SourceSpec, channel);
    MEMBER(SourceSpec, apsk_rings); MEMBER(SourceSpec, n_apsk_rings);

    RECORD(SegmentSpec);
    MEMBER(SegmentSpec, sources); MEMBER(SegmentSpec, n_sources); MEMBER(SegmentSpec, fs);
    MEMBER(SegmentSpec, num_samples); MEMBER(SegmentSpec, off_samples); MEMBER(SegmentSpec, range_flags);
    MEMBER(SegmentSpec, num_samples_hi); MEMBER(SegmentSpec, off_samples_hi); MEMBER(SegmentSpec, repeats);
    MEMBER(SegmentSpec, delay_samples); MEMBER(SegmentSpec, delay_samples_hi); MEMBER(SegmentSpec, gap_noise_off);
    MEMBER(SegmentSpec, frontend);

    RECORD(ComposeSpan);
    MEMBER(ComposeSpan, segment); MEMBER(ComposeSpan, instance); MEMBER(ComposeSpan, start);
    MEMBER(ComposeSpan, delay); MEMBER(ComposeSpan, num); MEMBER(ComposeSpan, off);
}

static void capture_records(void) {
    RECORD(KeywordEntry);
    MEMBER(KeywordEntry, tag); MEMBER(KeywordEntry, type); MEMBER(KeywordEntry, elem_size);
    MEMBER(KeywordEntry, count); MEMBER(KeywordEntry, data);

    RECORD(InterruptState);
    MEMBER(InterruptState, interrupted); MEMBER(InterruptState, latency_ms);
}

static void coding_records(void) {
    RECORD(ConvSpec);
    MEMBER(ConvSpec, K); MEMBER(ConvSpec, n); MEMBER(ConvSpec, polys); MEMBER(ConvSpec, invert);

    RECORD(TmFrameConfig);
    MEMBER(TmFrameConfig, rs_depth); MEMBER(TmFrameConfig, randomise); MEMBER(TmFrameConfig, asm_);
    MEMBER(TmFrameConfig, conv);

    RECORD(TmFrameLayout);
    MEMBER(TmFrameLayout, body_bits); MEMBER(TmFrameLayout, frame_bits); MEMBER(TmFrameLayout, coded_bits);
    MEMBER(TmFrameLayout, asm_offset); MEMBER(TmFrameLayout, asm_bits); MEMBER(TmFrameLayout, rs_offset);
    MEMBER(TmFrameLayout, rs_bits); MEMBER(TmFrameLayout, rand_offset); MEMBER(TmFrameLayout, rand_bits);
    MEMBER(TmFrameLayout, conv_offset); MEMBER(TmFrameLayout, conv_bits);

    RECORD(RsBlockStats);
    MEMBER(RsBlockStats, depth); MEMBER(RsBlockStats, corrected); MEMBER(RsBlockStats, failed);
    MEMBER(RsBlockStats, symbols);
}

static void tables_and_constants(void) {
    TABLE(TYPE_NAMES); TABLE(MODE_NAMES); TABLE(LFSR_NAMES); TABLE(BITMOD_NAMES); TABLE(CRC_NAMES);
    TABLE(SEED_ADVANCE_NAMES);
    TABLE(_enum_Reader_ftype); TABLE(_enum_Reader_stype); TABLE(_enum_Reader_sample_mode);
    TABLE(_enum_Reader_endian); TABLE(_enum_Reader_fs_source); TABLE(_enum_Reader_fc_source);
    TABLE(_enum_Reader_t0_source); TABLE(_enum_Reader_follow_end);

    CONSTANT(WFM_RANGE_FREQ); CONSTANT(WFM_RANGE_SNR); CONSTANT(WFM_RANGE_LEVEL); CONSTANT(WFM_RANGE_F_END);
    CONSTANT(WFM_RANGE_NUM_SAMPLES); CONSTANT(WFM_RANGE_OFF_SAMPLES); CONSTANT(WFM_RANGE_DELAY_SAMPLES);
}

int main(void) {
    scene_records();
    capture_records();
    coding_records();
    tables_and_constants();
    return 0;
}
