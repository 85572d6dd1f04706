/* Root-raised-cosine pulse design, polyphase banks for the interpolator, and the plain
 * spreading operations of direct-sequence spread spectrum. */
#ifndef WFM_DSP_H
#define WFM_DSP_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Writes the 2 * sps * span + 1 unit-energy taps of an RRC filter with roll-off beta, time
 * in symbols centred on the middle tap. Nothing is written when sps or span is below 1. */
QN_API void wfm_rrc_taps(int sps, int span, float *out, double beta);

/* bank[p * taps_per_phase + k] = taps[p + k * n_phases] (0 past the last tap) for every
 * phase p < n_phases: the phase-major layout of the polyphase resampler. */
QN_API void wfm_polyphase_bank(const float *taps, size_t n_taps, size_t n_phases, size_t taps_per_phase,
                               float *bank);

/* The RRC taps scaled by sqrt(sps) as a bank of sps phases x (2 * span + 1) taps. The bank is
 * left unwritten when sps or span is below 1 or the working buffer cannot be allocated. */
QN_API void wfm_rrc_polyphase_bank(int sps, uint32_t span, float *bank, double beta);

/* out[k * n_chips + j] = symbols[k], negated (both sign bits flipped) where chip j is 1. */
QN_API void wfm_dsss_spread(const cf32 *symbols, size_t n_symbols, const uint8_t *chips, size_t n_chips,
                            cf32 *out);

/* n chips of a code running continuously across data bits of chips_per_bit chips each (the
 * data wrapping around): chip i = data[trunc(i / chips_per_bit) mod data_len] XOR
 * code[i mod code_len], lowest bits. Returns n, or 0 for a null pointer, a zero length or a
 * chips_per_bit that is not above 0. */
QN_API size_t wfm_cont_dsss_chips(const uint8_t *code, size_t code_len, const uint8_t *data, size_t data_len,
                                  size_t n, uint8_t *out, double chips_per_bit);

QN_EXTERN_C_END

#endif
