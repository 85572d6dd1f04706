/* Waveform synthesiser: one Synth produces the complex baseband samples of one source
 * (tone, noise, PN chips, BPSK, QPSK, chirp, user bits, user symbols, DSSS chips),
 * shaped rectangular or root-raised-cosine, on its carrier, plus its own white noise. */
#ifndef WFM_SYNTH_CORE_H
#define WFM_SYNTH_CORE_H

#include "qn_api.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct Synth Synth;

/* Data of continuous DSSS spreading: all-zero bits, the given bits (cyclic), or bits from
 * the synthesiser's PN generator. */
enum { WFM_DSSS_DATA_ZEROS = 0, WFM_DSSS_DATA_GIVEN = 1, WFM_DSSS_DATA_PN = 2 };

/* Creates a synthesiser; null on failure (allocation, or a pn/bpsk/qpsk source without a
 * usable PN polynomial). wtype is one of WFM_TYPE_*, snr_mode one of WFM_MODE_*; nsps <= 0
 * counts as 1; snr_db >= 100 (or NaN) means no noise; lfsr WFM_LFSR_FIBONACCI selects the
 * Fibonacci register, any other value the Galois one; pn_poly 0 selects the default feedback mask of pn_length. */
QN_API Synth *wfm_synth_create(uint32_t wtype, int snr_mode, uint32_t seed, int nsps,
                               uint32_t pn_length, uint64_t pn_poly, double fs, double freq,
                               double snr_db, double f_end, int lfsr);
/* Frees the synthesiser and everything it owns. */
QN_API void wfm_synth_destroy(Synth *s);

/* Configuration. Each returns QN_OK on success and QN_OK without effect on a synthesiser of
 * another waveform type; QN_ERR_INVALID on bad arguments or allocation failure, keeping the
 * previous setting. */

/* Bits type: plays the pattern (non-zero bytes count as 1) with one of the WFM_BITMOD_*
 * mappings, WFM_BITMOD_NONE being on-off keying, first bit most significant. */
QN_API int wfm_synth_set_bits(Synth *s, const uint8_t *bits, size_t n, uint32_t modulation);
/* APSK types and bits sources: ring radius ratios to the inner ring (one for 16APSK, two
 * for 32APSK, each above 1 and increasing); a bits source keeps them for an APSK mapping
 * set later. QN_ERR_INVALID for ratios an APSK mapping in use cannot take. */
QN_API int wfm_synth_set_apsk_rings(Synth *s, const double *ratios, size_t n);
/* Symbols type: plays the symbols cyclically. */
QN_API int wfm_synth_set_symbols(Synth *s, const cf32 *symbols, size_t n);
/* DSSS type: plays the framed chip stream (acquisition code repeated, then every frame bit
 * spread by the data code); switches continuous spreading off. */
QN_API int wfm_synth_set_dsss(Synth *s, const uint8_t *acq_code, size_t acq_len, size_t acq_reps,
                              const uint8_t *data_code, size_t code_len, const uint8_t *sync,
                              size_t sync_len, const uint8_t *payload, size_t payload_len,
                              uint32_t crc);
/* DSSS type, continuous spreading: the code runs on continuously while each data bit lasts
 * chips_per_bit (>= 1) chips; data_mode is one of WFM_DSSS_DATA_*. */
QN_API int wfm_synth_set_dsss_cont(Synth *s, const uint8_t *code, size_t code_len,
                                   uint32_t data_mode, const uint8_t *data, size_t data_len,
                                   double chips_per_bit);
/* Symbol types (pn, bpsk, qpsk, bits, symbols, dsss): root-raised-cosine shaping from
 * unit-energy taps (2 * nsps * span + 1 of them); scaled by sqrt(nsps) so that unit-power
 * symbols give unit-power output. */
QN_API int wfm_synth_set_rrc(Synth *s, const float *taps, size_t n);
/* Chirp type: sweep length in samples. Only the first non-zero span is taken. */
QN_API void wfm_synth_set_chirp_span(Synth *s, uint64_t span);
/* Restarts the noise generator from a new seed (nothing without one). */
QN_API void wfm_synth_reseed_noise(Synth *s, uint32_t seed);
/* Returns to the start of the stream, keeping the configuration. */
QN_API void wfm_synth_reset(Synth *s);

/* Writes the next n samples; consecutive calls continue one stream whatever their sizes
 * (a chirp without a preset span sweeps over its first request). Allocates nothing. */
QN_API void wfm_synth_steps(Synth *s, cf32 *out, size_t n);
/* Writes the next n samples of the source's noise alone (zeros when it has none),
 * advancing the same noise stream as wfm_synth_steps and nothing else. */
QN_API void wfm_synth_noise_steps(Synth *s, cf32 *out, size_t n);

/* Plain accessors. nsps below 1 is stored as 1; a symbol position outside 0 ... nsps-1
 * restarts the current symbol at the next step. */
QN_API uint32_t wfm_synth_get_wtype(const Synth *s);
QN_API void wfm_synth_set_wtype(Synth *s, uint32_t wtype);
QN_API int wfm_synth_get_nsps(const Synth *s);
QN_API void wfm_synth_set_nsps(Synth *s, int nsps);
QN_API int wfm_synth_get_sym_pos(const Synth *s);
QN_API void wfm_synth_set_sym_pos(Synth *s, int sym_pos);
QN_API float wfm_synth_get_cur_re(const Synth *s);
QN_API void wfm_synth_set_cur_re(Synth *s, float v);
QN_API float wfm_synth_get_cur_im(const Synth *s);
QN_API void wfm_synth_set_cur_im(Synth *s, float v);

/* Running state as a "WFMS" blob (only what stepping changes, never configuration).
 * get writes exactly wfm_synth_state_bytes bytes; set returns QN_OK, or QN_ERR_STATE and
 * changes nothing when the blob does not fit this synthesiser (header, size, sub-objects,
 * positions), or QN_ERR_INVALID and changes nothing when memory for its safety copy runs out. */
QN_API size_t wfm_synth_state_bytes(const Synth *s);
QN_API void wfm_synth_get_state(const Synth *s, void *out);
QN_API int wfm_synth_set_state(Synth *s, const void *blob);

QN_EXTERN_C_END

#endif
