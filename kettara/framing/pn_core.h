/* PN bit generator: one linear-feedback shift register of 1 to 64 stages in Galois or
 * Fibonacci form. Output is one byte per bit, 0 or 1. */
#ifndef PN_CORE_H
#define PN_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* The register shifts towards bit 0 and is read at bit 0. */
typedef struct PnGen {
    uint64_t poly;      /* feedback mask, masked to the register length */
    uint64_t seed;      /* masked initial state */
    uint64_t state;
    uint64_t mask;      /* 2^degree - 1 (all ones for degree 64) */
    uint32_t fibonacci; /* 1 Fibonacci form, 0 Galois */
    uint64_t taps;      /* Fibonacci form: bit 0 always, poly bit i as tap i + 1 */
    uint32_t shift;     /* degree - 1 */
} PnGen;

/* Null when seed is 0, degree is 0 or above 64, or allocation fails. lfsr WFM_LFSR_FIBONACCI
 * selects the Fibonacci form, any other value Galois. A seed whose set bits all lie above the register
 * gives an all-zero register that outputs zeros. */
QN_API PnGen *pn_create(uint64_t poly, uint64_t seed, uint32_t degree, int32_t lfsr);
QN_API void pn_destroy(PnGen *pn);
QN_API void pn_reset(PnGen *pn);
/* Writes min(n, out_cap) bits and advances the register by that many steps. */
QN_API size_t pn_generate(PnGen *pn, size_t n, uint8_t *out, size_t out_cap);
QN_API size_t pn_generate_max_out(void); /* 0: no advisory chunk limit */

/* Default feedback mask for a register of `degree` stages (2 ... 64), used when a caller
 * is given a polynomial of 0; 0 when there is no default for that degree. */
QN_API uint64_t pn_default_poly(uint32_t degree);

/* State blob "PN__" version 1, 24 bytes: the 16-byte header, then the register. */
QN_API size_t pn_state_bytes(const PnGen *pn);
QN_API void pn_get_state(const PnGen *pn, void *out);
QN_API int pn_set_state(PnGen *pn, const void *blob); /* QN_OK, or QN_ERR_STATE on a header mismatch */

QN_EXTERN_C_END

#endif
