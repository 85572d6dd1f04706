/* Complex white Gaussian noise from a 64-bit seed, reproducible to the bit: xoshiro256++
 * seeded through SplitMix64, Box-Muller with the angle taken from the sine table. */
#ifndef AWGN_CORE_H
#define AWGN_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct Awgn Awgn;

/* A generator for seed; amplitude is the standard deviation of each of re and im.
 * Null when allocation fails. */
QN_API Awgn *awgn_create(uint64_t seed, float amplitude);
QN_API void awgn_destroy(Awgn *g);
/* Back to the start of the stream of the stored seed; amplitude kept. */
QN_API void awgn_reset(Awgn *g);
/* Stores a new seed, then resets. */
QN_API void awgn_reseed(Awgn *g, uint64_t seed);

QN_API float awgn_get_amplitude(const Awgn *g);
/* Takes effect from the next sample. */
QN_API void awgn_set_amplitude(Awgn *g, float amplitude);

/* Advisory chunk size (65,536); not enforced. */
QN_API size_t awgn_generate_max_out(void);
/* Writes min(n, out_cap) samples and returns that count. */
QN_API size_t awgn_generate(Awgn *g, size_t n, cf32 *out, size_t out_cap);

/* One shot: n samples of the stream of seed into out. QN_OK, QN_ERR_INVALID when out is null
 * with n > 0, or QN_ERR_NOMEM when the generator cannot be allocated (nothing written). */
QN_API int awgn(uint64_t seed, size_t n, cf32 *out, float amplitude);

/* The amplitude whose complex noise power is signal_power / 10^(snr_db / 10). */
QN_API float awgn_amplitude_for_snr(float snr_db, float signal_power);

/* Running state (generator and lane words) as a 304-byte "AWGN" blob; set returns QN_OK, or
 * QN_ERR_STATE and changes nothing when the header does not match. */
QN_API size_t awgn_state_bytes(const Awgn *g);
QN_API void awgn_get_state(const Awgn *g, void *out);
QN_API int awgn_set_state(Awgn *g, const void *blob);

QN_EXTERN_C_END

#endif
