// Every exported function of kettara called with null objects gives its neutral result.
#include <gtest/gtest.h>

#include "../common/null_calls.hpp"
#include "asm.h"
#include "conv.h"
#include "awgn_core.h"
#include "desc.h"
#include "fir_core.h"
#include "frame.h"
#include "gold_core.h"
#include "kettara.h"
#include "kettara_plan.hpp"
#include "lo_core.h"
#include "pn_core.h"
#include "rand.h"
#include "resamp_core.h"
#include "rs.h"
#include "wfm_compose.h"
#include "wfm_dsp.h"
#include "wfm_frame.h"
#include "wfm_json.h"
#include "wfm_resolve.h"
#include "wfm_synth_bridge.h"

namespace {

using null_calls::out;

// Functions of plain values only: no object a caller could pass as null.
const std::set<std::string> kNoObject = {
    "awgn_amplitude_for_snr", "awgn_create", "awgn_generate_max_out", "ccsds_tm_rs_conv_to_dual",
    "ccsds_tm_rs_dual_to_conv", "ccsds_tm_rs_generator", "fir_execute_max_out", "gold_create",
    "gold_generate_max_out", "lo_create", "lo_steps_ctrl_max_out", "lo_steps_max_out", "pn_create",
    "pn_default_poly", "pn_generate_max_out", "resamp_create", "wfm_draw_range", "wfm_draw_samples",
    "wfm_frame_dsss_nchips", "wfm_level_gain", "wfm_snr_over_fs", "wfm_spec_template_json",
    "wfm_synth_create",
};

const unsigned char *const kBlob = null_calls::out_buffer().bytes;

std::vector<NullCall> primitive_calls() {
    return {
        RETURNS_INVALID(awgn, 1, 4, nullptr, 1.0f),
        DOES_NOTHING(awgn_destroy, nullptr),
        RETURNS_ZERO(awgn_generate, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(awgn_get_amplitude, nullptr),
        DOES_NOTHING(awgn_get_state, nullptr, out<void>()),
        DOES_NOTHING(awgn_reseed, nullptr, 1),
        DOES_NOTHING(awgn_reset, nullptr),
        DOES_NOTHING(awgn_set_amplitude, nullptr, 1.0f),
        RETURNS_INVALID(awgn_set_state, nullptr, kBlob),
        RETURNS_ZERO(awgn_state_bytes, nullptr),
        RETURNS_ZERO(fir_create, nullptr, 4),
        RETURNS_ZERO(fir_create_real, nullptr, 4),
        RETURNS_ZERO(fir_dc_gain, nullptr),
        DOES_NOTHING(fir_destroy, nullptr),
        RETURNS_ZERO(fir_execute, nullptr, nullptr, 4, out<cf32>()),
        RETURNS_ZERO(fir_get_is_real, nullptr),
        RETURNS_ZERO(fir_get_num_taps, nullptr),
        DOES_NOTHING(fir_get_state, nullptr, out<void>()),
        DOES_NOTHING(fir_reset, nullptr),
        RETURNS_INVALID(fir_set_state, nullptr, kBlob),
        RETURNS_ZERO(fir_state_bytes, nullptr),
        DOES_NOTHING(lo_destroy, nullptr),
        RETURNS_ZERO(lo_get_norm_freq, nullptr),
        RETURNS_ZERO(lo_get_phase, nullptr),
        RETURNS_ZERO(lo_get_phase_inc, nullptr),
        DOES_NOTHING(lo_get_state, nullptr, out<void>()),
        DOES_NOTHING(lo_init, nullptr, 0.25),
        DOES_NOTHING(lo_reset, nullptr),
        DOES_NOTHING(lo_set_norm_freq, nullptr, 0.25),
        DOES_NOTHING(lo_set_phase, nullptr, 7),
        RETURNS_INVALID(lo_set_state, nullptr, kBlob),
        RETURNS_ZERO(lo_state_bytes, nullptr),
        RETURNS_ZERO(lo_steps, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(lo_steps_ctrl, nullptr, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(resamp_create_custom, 4, 2, nullptr, 1.0),
        RETURNS_ZERO(resamp_dc_gain, nullptr),
        DOES_NOTHING(resamp_destroy, nullptr),
        RETURNS_ZERO(resamp_execute, nullptr, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(resamp_execute_ctrl, nullptr, nullptr, nullptr, 4, out<cf32>(), 4),
        RETURNS_ZERO(resamp_execute_ctrl_push, nullptr, out<cf32>(), 4, cf32{1.0f, 0.0f}, 0.0),
        RETURNS_ZERO(resamp_get_ctrl_acc, nullptr),
        RETURNS_ZERO(resamp_get_num_phases, nullptr),
        RETURNS_ZERO(resamp_get_num_taps, nullptr),
        RETURNS_ZERO(resamp_get_rate, nullptr),
        DOES_NOTHING(resamp_get_state, nullptr, out<void>()),
        RETURNS_ZERO(resamp_interp_fill, nullptr, nullptr, out<cf32>(), 4),
        RETURNS_ZERO(resamp_interp_inputs_needed, nullptr, 4),
        DOES_NOTHING(resamp_reset, nullptr),
        DOES_NOTHING(resamp_set_rate, nullptr, 2.0),
        RETURNS_INVALID(resamp_set_state, nullptr, kBlob),
        RETURNS_ZERO(resamp_state_bytes, nullptr),
        DOES_NOTHING(wfm_dsss_spread, nullptr, 2, nullptr, 2, out<cf32>()),
        RETURNS_ZERO(wfm_cont_dsss_chips, nullptr, 4, nullptr, 4, 4, out<uint8_t>(), 1.0),
        DOES_NOTHING(wfm_polyphase_bank, nullptr, 4, 2, 2, out<float>()),
        DOES_NOTHING(wfm_rrc_polyphase_bank, 2, 1, nullptr, 0.35),
        DOES_NOTHING(wfm_rrc_taps, 2, 1, nullptr, 0.35),
    };
}

std::vector<NullCall> framing_calls() {
    return {
        DOES_NOTHING(gold_destroy, nullptr),
        RETURNS_ZERO(gold_generate, nullptr, 4, out<uint8_t>(), 4),
        DOES_NOTHING(gold_get_state, nullptr, out<void>()),
        DOES_NOTHING(gold_reset, nullptr),
        RETURNS_INVALID(gold_set_state, nullptr, kBlob),
        RETURNS_ZERO(gold_state_bytes, nullptr),
        DOES_NOTHING(pn_destroy, nullptr),
        RETURNS_ZERO(pn_generate, nullptr, 4, out<uint8_t>(), 4),
        DOES_NOTHING(pn_get_state, nullptr, out<void>()),
        DOES_NOTHING(pn_reset, nullptr),
        RETURNS_INVALID(pn_set_state, nullptr, kBlob),
        RETURNS_ZERO(pn_state_bytes, nullptr),
        RETURNS_INVALID(crc16_in_unit, nullptr, nullptr, 32, nullptr),
        RETURNS_INVALID(crc16_undo, nullptr, nullptr, 32, nullptr, nullptr),
        RETURNS_ZERO(wfm_frame_assemble, nullptr, nullptr, out<uint8_t>(), 64),
        RETURNS_ZERO(wfm_frame_bits, nullptr, out<uint8_t>(), 64),
        RETURNS_INVALID(wfm_frame_check, nullptr, nullptr, nullptr, nullptr),
        RETURNS_INVALID(wfm_frame_crc_ok, nullptr, nullptr),
        RETURNS_INVALID(wfm_frame_desc_crc_ok, nullptr, nullptr),
        RETURNS_INVALID(wfm_frame_desc_layout, nullptr, nullptr),
        RETURNS_INVALID(wfm_frame_describe, nullptr, nullptr),
        RETURNS_ZERO(wfm_frame_dsss_chips, nullptr, 4, 1, nullptr, 4, nullptr, 4, nullptr, 4, 0, out<uint8_t>()),
        RETURNS_INVALID(wfm_frame_layout, nullptr, nullptr),
        RETURNS_ZERO(wfm_frame_nbits, nullptr),
        DOES_NOTHING(ccsds_tm_asm_bits, nullptr),
        RETURNS_ZERO(ccsds_tm_asm_find, nullptr, 64, 0, out<AsmMatch>()),
        RETURNS_ZERO(ccsds_tm_frame_decode, nullptr, nullptr, 64, out<uint8_t>(), 64, out<TmDecodeStats>()),
        RETURNS_INVALID(ccsds_tm_frame_describe, nullptr, 4, nullptr, nullptr),
        RETURNS_ZERO(ccsds_tm_frame_encode, nullptr, nullptr, nullptr, 4, out<uint8_t>(), 64),
        RETURNS_ZERO(ccsds_tm_frame_layout, nullptr, 4, out<TmFrameLayout>()),
        DOES_NOTHING(ccsds_tm_frame_ops, nullptr, nullptr),
        DOES_NOTHING(ccsds_tm_rand_init, nullptr, nullptr),
        DOES_NOTHING(ccsds_tm_rand_seq, nullptr, 4),
        DOES_NOTHING(ccsds_tm_rand_seq_with, nullptr, nullptr, 4),
        RETURNS_ZERO(ccsds_tm_rand_step, nullptr),
        DOES_NOTHING(ccsds_tm_randomise, nullptr, 4),
        DOES_NOTHING(ccsds_tm_randomise_with, nullptr, nullptr, 4),
        RETURNS_ZERO(ccsds_tm_rs_codeword_ok, nullptr),
        RETURNS_INVALID(ccsds_tm_rs_decode, nullptr),
        RETURNS_ZERO(ccsds_tm_rs_decode_block, nullptr, 1, out<RsBlockStats>()),
        DOES_NOTHING(ccsds_tm_rs_encode, nullptr, out<uint8_t>()),
        RETURNS_ZERO(ccsds_tm_rs_encode_block, nullptr, 1, out<uint8_t>()),
        RETURNS_ZERO(conv_code_valid, nullptr),
        DOES_NOTHING(conv_enc_init, nullptr),
        RETURNS_ZERO(conv_encode, nullptr, nullptr, nullptr, 4, out<uint8_t>(), 64),
        RETURNS_ZERO(conv_outputs, nullptr, 0, 1),
        RETURNS_ZERO(rs_code_valid, nullptr),
        RETURNS_ZERO(rs_codeword_ok, nullptr, nullptr),
        RETURNS_INVALID(rs_decode, nullptr, nullptr),
        DOES_NOTHING(rs_encode, nullptr, nullptr, out<uint8_t>()),
        RETURNS_ZERO(rs_generator, nullptr),
        RETURNS_ZERO(rs_init, out<RsCodec>(), nullptr),
        DOES_NOTHING(rs_syndromes, nullptr, nullptr, out<uint8_t>()),
    };
}

std::vector<NullCall> synth_calls() {
    return {
        DOES_NOTHING(wfm_synth_destroy, nullptr),
        RETURNS_ZERO(wfm_synth_get_cur_im, nullptr),
        RETURNS_ZERO(wfm_synth_get_cur_re, nullptr),
        RETURNS_ZERO(wfm_synth_get_nsps, nullptr),
        DOES_NOTHING(wfm_synth_get_state, nullptr, out<void>()),
        RETURNS_ZERO(wfm_synth_get_sym_pos, nullptr),
        RETURNS_ZERO(wfm_synth_get_wtype, nullptr),
        DOES_NOTHING(wfm_synth_noise_steps, nullptr, out<cf32>(), 4),
        DOES_NOTHING(wfm_synth_reseed_noise, nullptr, 3),
        DOES_NOTHING(wfm_synth_reset, nullptr),
        RETURNS_INVALID(wfm_synth_set_bits, nullptr, nullptr, 4, WFM_BITMOD_BPSK),
        DOES_NOTHING(wfm_synth_set_chirp_span, nullptr, 100),
        DOES_NOTHING(wfm_synth_set_cur_im, nullptr, 1.0f),
        DOES_NOTHING(wfm_synth_set_cur_re, nullptr, 1.0f),
        RETURNS_INVALID(wfm_synth_set_dsss, nullptr, nullptr, 4, 1, nullptr, 4, nullptr, 4, nullptr, 4,
                        WFM_CRC_16),
        RETURNS_INVALID(wfm_synth_set_dsss_cont, nullptr, nullptr, 4, WFM_DSSS_DATA_GIVEN, nullptr, 4, 2.0),
        DOES_NOTHING(wfm_synth_set_nsps, nullptr, 4),
        RETURNS_INVALID(wfm_synth_set_rrc, nullptr, nullptr, 4),
        RETURNS_INVALID(wfm_synth_set_state, nullptr, kBlob),
        DOES_NOTHING(wfm_synth_set_sym_pos, nullptr, 1),
        RETURNS_INVALID(wfm_synth_set_symbols, nullptr, nullptr, 4),
        DOES_NOTHING(wfm_synth_set_wtype, nullptr, WFM_TYPE_BPSK),
        RETURNS_ZERO(wfm_synth_state_bytes, nullptr),
        DOES_NOTHING(wfm_synth_steps, nullptr, out<cf32>(), 4),
    };
}

std::vector<NullCall> scene_calls() {
    return {
        RETURNS_ZERO(wfm_compose_build_synth, nullptr, 100, 0, WFM_SEED_ADVANCE_NONE, 0, 1.0, 0.1, 10.0, 0.0),
        RETURNS_ZERO(wfm_compose_create, nullptr, 2, 0, 0),
        DOES_NOTHING(wfm_compose_destroy, nullptr),
        RETURNS_ZERO(wfm_compose_execute, nullptr, out<cf32>(), 4),
        RETURNS_ZERO(wfm_compose_from_file, nullptr),
        RETURNS_ZERO(wfm_compose_from_json, nullptr),
        RETURNS_ZERO(wfm_compose_seed_advance, nullptr),
        RETURNS_ZERO(wfm_compose_segments, nullptr, nullptr, nullptr, nullptr),
        DOES_NOTHING(wfm_compose_set_seed_advance, nullptr, WFM_SEED_ADVANCE_ALL),
        RETURNS_INVALID(wfm_resolve_noise, nullptr, 2),
        RETURNS_INVALID(wfm_source_attach_dsss, nullptr, nullptr, 1.0),
        RETURNS_INVALID(wfm_source_attach_frame, nullptr, nullptr),
        RETURNS_INVALID(wfm_source_attach_rrc, nullptr, nullptr),
        RETURNS_ZERO(wfm_source_create_snr, nullptr, out<uint32_t>(), 1.0, 10.0),
        RETURNS_ZERO(wfm_source_frame_error, nullptr),
        RETURNS_ZERO(wfm_source_error, nullptr),
        RETURNS_INVALID(wfm_source_attach_apsk, nullptr, nullptr),
        RETURNS_INVALID(wfm_synth_set_apsk_rings, nullptr, nullptr, 0),
        RETURNS_ZERO(wfm_source_has_frame, nullptr),
        RETURNS_ZERO(wfm_source_to_synth, nullptr, 1.0),
        RETURNS_ZERO(wfm_spec_frame_error, nullptr),
        RETURNS_ZERO(wfm_spec_headroom, nullptr),
        RETURNS_ZERO(wfm_spec_normalise, nullptr),
        RETURNS_ZERO(wfm_spec_to_json, nullptr, 2, 0, 0, WFM_SEED_ADVANCE_NONE, 0.0),
        RETURNS_ZERO(kettara_anchor_seed, nullptr),
        RETURNS_ZERO(kettara_at, nullptr, 1, out<cf32>(), 10.0),
        DOES_NOTHING(kettara_destroy, nullptr),
        RETURNS_INVALID(kettara_dump, nullptr, nullptr),
        RETURNS_ZERO(kettara_len, nullptr),
        RETURNS_ZERO(kettara_load, nullptr),
        RETURNS_ZERO(kettara_n_sources, nullptr),
        RETURNS_ZERO(kettara_prepare, nullptr),
        RETURNS_ZERO(kettara_prepare_threads, nullptr, 2),
        RETURNS_ZERO(kettara_refusal, nullptr, out<char>(), 8),
        RETURNS_ZERO(kettara_render, nullptr, nullptr, out<cf32>()),
        RETURNS_ZERO(kettara_restore, nullptr, 64),
        RETURNS_ZERO(kettara_save, nullptr, out<void>()),
        RETURNS_ZERO(kettara_save_bytes, nullptr),
        RETURNS_ZERO(kettara_stream_create, nullptr, nullptr),
        DOES_NOTHING(kettara_stream_destroy, nullptr),
        RETURNS_ZERO(kettara_stream_failed, nullptr),
        RETURNS_ZERO(kettara_stream_len, nullptr),
        RETURNS_ZERO(kettara_stream_n_sources, nullptr),
        RETURNS_ZERO(kettara_stream_read, nullptr, out<cf32>(), 8),
        RETURNS_ZERO(kettara_stream_refusal, nullptr, out<char>(), 8),
    };
}

std::vector<NullCall> all_calls() {
    return null_calls::joined(
        {primitive_calls(), framing_calls(), synth_calls(), scene_calls(), null_calls::draw_calls()});
}

#include "../common/null_handle_tests.inc"

// Live objects given null buffers with non-zero counts: nothing happens, counts are 0,
// statuses QN_ERR_INVALID, and the stream is where it was.
TEST(NullHandles, LiveObjectsRefuseNullBuffers) {
    Lo *lo = lo_create(0.125);
    Awgn *awgn = awgn_create(7, 1.0f);
    PnGen *pn = pn_create(0, 1, 7, WFM_LFSR_GALOIS);
    GoldGen *gold = gold_create(0x9, 1, 0xF, 1, 5);
    const float taps[3] = {0.25f, 0.5f, 0.25f};
    Fir *fir = fir_create_real(taps, 3);
    Resamp *resamp = resamp_create(2.0);
    Synth *synth = wfm_synth_create(WFM_TYPE_TONE, WFM_MODE_AUTO, 1, 1, 7, 0, 1.0, 0.125, 10.0, 0.0, 0);
    Plan *plan = kettara_prepare("{\"segments\": [{\"type\": \"tone\", \"num_samples\": 8}]}");
    ASSERT_TRUE(lo && awgn && pn && gold && fir && resamp && synth && plan);
    cf32 x{1.0f, 0.0f};

    EXPECT_EQ(lo_steps(lo, 4, nullptr, 4), 0u);
    EXPECT_EQ(lo_steps_ctrl(lo, nullptr, 4, &x, 1), 0u);
    EXPECT_EQ(lo_get_phase(lo), 0u);
    EXPECT_EQ(awgn_generate(awgn, 4, nullptr, 4), 0u);
    EXPECT_EQ(pn_generate(pn, 4, nullptr, 4), 0u);
    EXPECT_EQ(gold_generate(gold, 4, nullptr, 4), 0u);
    EXPECT_EQ(fir_execute(fir, nullptr, 4, &x), 0u);
    EXPECT_EQ(resamp_execute(resamp, nullptr, 4, &x, 1), 0u);
    EXPECT_EQ(resamp_execute_ctrl(resamp, &x, nullptr, 1, &x, 1), 0u);
    EXPECT_EQ(resamp_execute_ctrl_push(resamp, nullptr, 4, x, 0.0), 0u);
    EXPECT_EQ(resamp_interp_fill(resamp, nullptr, &x, 1), 0u);
    for (auto status : {lo_set_state(lo, nullptr), awgn_set_state(awgn, nullptr), pn_set_state(pn, nullptr),
                        gold_set_state(gold, nullptr), fir_set_state(fir, nullptr), resamp_set_state(resamp, nullptr),
                        wfm_synth_set_state(synth, nullptr)})
        EXPECT_EQ(status, QN_ERR_INVALID);
    wfm_synth_steps(synth, nullptr, 4);
    EXPECT_EQ(kettara_render(plan, nullptr, nullptr), 0u);
    EXPECT_EQ(kettara_at(plan, 1, nullptr, 10.0), 0u);
    EXPECT_EQ(kettara_save(plan, nullptr), 0u);

    // Nothing above moved a stream: the first samples are still the first.
    cf32 first[2];
    EXPECT_EQ(lo_steps(lo, 2, first, 2), 2u);
    EXPECT_EQ(first[0].re, 1.0f);
    uint8_t bits[2];
    PnGen *fresh = pn_create(0, 1, 7, WFM_LFSR_GALOIS);
    uint8_t fresh_bits[2];
    pn_generate(pn, 2, bits, 2);
    pn_generate(fresh, 2, fresh_bits, 2);
    EXPECT_EQ(std::memcmp(bits, fresh_bits, 2), 0);

    pn_destroy(fresh);
    kettara_destroy(plan);
    wfm_synth_destroy(synth);
    resamp_destroy(resamp);
    fir_destroy(fir);
    gold_destroy(gold);
    pn_destroy(pn);
    awgn_destroy(awgn);
    lo_destroy(lo);
}

}  // namespace
