/* SNR referral and noise-floor resolution of scene sources, and the level-to-gain rule.
 *
 * Levels and SNRs are in dB. An snr of 100 or more means that a source carries no noise. */
#ifndef WFM_RESOLVE_H
#define WFM_RESOLVE_H

#include "qn_api.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Per-sample SNR of an snr given in mode snr_mode (auto, fs, ebno, esno) for a source of
 * the given type. A dsss source's samples per symbol are samples_per_symbol when above 0,
 * else sps x code_len (sps when code_len is 0); every other type uses max(sps, 1). */
QN_API double wfm_snr_over_fs(uint32_t snr_mode, uint32_t type, int32_t sps, uint64_t code_len,
                              double samples_per_symbol, double snr);

/* The SNR and mode to hand to the synthesiser of src for the drawn snr. A dsss source
 * with noise gets its SNR referred to the sample rate here (mode fs); every other source
 * passes through with its own mode. mode_out may be null. */
QN_API double wfm_source_create_snr(const SourceSpec *src, uint32_t *mode_out, double fs,
                                    double snr);

/* Gives every segment of more than one source a single noise floor: the noisy sources
 * become levels above an explicit noise source, or above a noise source appended at the
 * end of the segment whose level follows from the first noisy source. Returns QN_OK, or
 * QN_ERR_INVALID
 * when a noisy source other than that reference has a nonzero level or the source array
 * cannot grow (the segments are then partly rewritten). Source arrays must come from
 * malloc. */
QN_API int32_t wfm_resolve_noise(SegmentSpec *segments, uint64_t n);

/* Linear gain of a level in dB: 10^(level/20), computed in double precision with a
 * machine-independent exponential and rounded once to float. */
QN_API float wfm_level_gain(double level_db);

QN_EXTERN_C_END

#endif
