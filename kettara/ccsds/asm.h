/* The CCSDS attached sync marker 0x1ACFFC1D and a tolerant search for it. */
#ifndef KETTARA_ASM_H
#define KETTARA_ASM_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Where the marker was found. `errors` counts bit differences against the better of the
 * marker and its complement; `inverted` is 1 when the complement fits better. */
typedef struct AsmMatch {
    uint64_t pos;
    uint32_t inverted;
    uint32_t errors;
} AsmMatch;

/* Writes the 32 marker bits, most significant first. */
QN_API void ccsds_tm_asm_bits(uint8_t *out);

/* Earliest position whose window differs from the marker or its complement in at most
 * max_errors bits: 1 and `out` filled, or 0 with `out` untouched. */
QN_API int ccsds_tm_asm_find(const uint8_t *bits, size_t n, uint32_t max_errors, AsmMatch *out);

QN_EXTERN_C_END

#endif
