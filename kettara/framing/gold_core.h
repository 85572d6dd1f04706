/* Gold code generator: the XOR of two Fibonacci registers of 1 to 64 stages.
 * Output is one byte per bit, 0 or 1. */
#ifndef GOLD_CORE_H
#define GOLD_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Both registers shift towards the most significant bit and are read at bit degree - 1. */
typedef struct GoldGen {
    uint64_t state1;
    uint64_t state2;
    uint64_t poly1;
    uint64_t poly2;
    uint64_t seed1;
    uint64_t seed2;
    uint64_t mask;
    uint32_t degree;
} GoldGen;

/* Null when either seed is 0, degree is 0 or above 64, or allocation fails. */
QN_API GoldGen *gold_create(uint64_t poly1, uint64_t seed1, uint64_t poly2, uint64_t seed2,
                            uint32_t degree);
QN_API void gold_destroy(GoldGen *gold);
QN_API void gold_reset(GoldGen *gold);
/* Writes min(n, out_cap) bits and advances both registers by that many steps. */
QN_API size_t gold_generate(GoldGen *gold, size_t n, uint8_t *out, size_t out_cap);
QN_API size_t gold_generate_max_out(void); /* 0: no advisory chunk limit */

/* State blob "GOLD" version 1, 32 bytes: the 16-byte header, then both registers. */
QN_API size_t gold_state_bytes(const GoldGen *gold);
QN_API void gold_get_state(const GoldGen *gold, void *out);
QN_API int gold_set_state(GoldGen *gold, const void *blob); /* QN_OK, or QN_ERR_STATE on a header mismatch */

QN_EXTERN_C_END

#endif
