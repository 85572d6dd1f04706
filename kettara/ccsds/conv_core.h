/* Feed-forward convolutional encoder of rate 1/n (n <= 6), constraint length 2..9.
 * The register's bit K-1 holds the current input, bits K-2..0 the previous inputs, newest
 * highest; the caller owns the state (the K-1 previous inputs), so encoding continues
 * across calls. Nothing terminates the code: no tail bits are appended. */
#ifndef KETTARA_CONV_CORE_H
#define KETTARA_CONV_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

enum { CONV_MAX_OUTPUTS = 6 };

/* Generator masks: bit K-1 taps the current input, bit 0 the oldest. Bit j of `invert`
 * inverts output j. */
typedef struct ConvSpec {
    uint32_t K;
    uint32_t n;
    uint32_t polys[CONV_MAX_OUTPUTS];
    uint32_t invert;
} ConvSpec;

/* 1 when K is 2..9, n is 1..6 and polys[0..n-1] are non-zero and below 2^K; else 0. */
QN_API int conv_code_valid(const ConvSpec *spec);
/* Output word for one input bit from `state`: bit j = output j. */
QN_API uint32_t conv_outputs(const ConvSpec *spec, uint32_t state, uint32_t bit);
QN_API void conv_enc_init(uint32_t *state);
/* Encodes n_in bits into n_in * n bits (output 0 first for every input bit) and updates
 * the state. 0, with nothing written and the state unchanged, for an invalid code, empty
 * input or out_cap < n_in * n. `in` may lie inside `out` as long as it ends where the
 * coded bits end (the input right-aligned in the output buffer). */
QN_API size_t conv_encode(uint32_t *state, const ConvSpec *spec, const uint8_t *in, size_t n_in, uint8_t *out,
                          size_t out_cap);

QN_EXTERN_C_END

#endif
