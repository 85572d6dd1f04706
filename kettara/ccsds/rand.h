/* CCSDS telemetry pseudo-randomiser: a Fibonacci register shifting towards its most
 * significant bit, XORed over the coded frame. The 17-stage randomiser is the default;
 * the 8-stage legacy randomiser and caller-built descriptors are taken as well. */
#ifndef KETTARA_RAND_H
#define KETTARA_RAND_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Randomiser descriptor. `degree` must be 1..31: any other value gives a register that
 * outputs zeros, so randomising with it leaves the bits unchanged. `period` is informative. */
typedef struct RandSpec {
    uint32_t taps;
    uint32_t seed;
    uint32_t degree;
    uint64_t period;
} RandSpec;

/* Running register. */
typedef struct RandState {
    uint32_t state;
    uint32_t taps;
    uint32_t degree;
} RandState;

/* x^17 + x^14 + 1, the default randomiser. */
QN_API extern const RandSpec CCSDS_TM_RAND;
/* x^8 + x^7 + x^5 + x^3 + 1, the legacy randomiser. */
QN_API extern const RandSpec CCSDS_TM_RAND_LEGACY;

/* Loads the register from `spec`; null selects CCSDS_TM_RAND. */
QN_API void ccsds_tm_rand_init(RandState *st, const RandSpec *spec);
/* Next sequence bit, 0 or 1. */
QN_API uint8_t ccsds_tm_rand_step(RandState *st);

/* The first n sequence bits, from the seed (every call restarts). */
QN_API void ccsds_tm_rand_seq_with(const RandSpec *spec, uint8_t *out, size_t n);
QN_API void ccsds_tm_rand_seq(uint8_t *out, size_t n);

/* bits[i] = (bits[i] ^ sequence bit i) & 1 in place; applying it twice restores the input. */
QN_API void ccsds_tm_randomise_with(const RandSpec *spec, uint8_t *bits, size_t n);
QN_API void ccsds_tm_randomise(uint8_t *bits, size_t n);

QN_EXTERN_C_END

#endif
