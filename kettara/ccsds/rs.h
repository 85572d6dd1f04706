/* The CCSDS Reed-Solomon outer code RS(255,223), E = 16, with octets in the Berlekamp dual
 * basis and symbol interleaving at depths 1, 2, 3, 4, 5 and 8. The codec is shared by the
 * whole process, built on first use and read-only afterwards: every operation may run
 * concurrently on different buffers. Nothing here allocates. */
#ifndef KETTARA_RS_H
#define KETTARA_RS_H

#include "qn_api.h"
#include "rs_core.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

enum { CCSDS_RS_N = 255, CCSDS_RS_K = 223, CCSDS_RS_PARITY = 32 };

/* Per-codeblock decoding counters. */
typedef struct RsBlockStats {
    uint32_t depth;
    uint32_t corrected;
    uint32_t failed;
    uint32_t symbols;
} RsBlockStats;

/* symsize 8, gfpoly 0x87, nroots 32, fcr 112, prim 11. */
QN_API extern const RsSpec CCSDS_TM_RS;

/* Conventional basis <-> Berlekamp dual basis, one octet. */
QN_API uint8_t ccsds_tm_rs_conv_to_dual(uint8_t x);
QN_API uint8_t ccsds_tm_rs_dual_to_conv(uint8_t x);

/* The shared codec's 33 generator coefficients (conventional basis), constant term first. */
QN_API const uint8_t *ccsds_tm_rs_generator(void);
/* 32 parity octets of 223 data octets. */
QN_API void ccsds_tm_rs_encode(const uint8_t *data, uint8_t *parity);
/* 1 when the 255-octet codeword has zero syndromes, else 0. */
QN_API int ccsds_tm_rs_codeword_ok(const uint8_t *codeword);
/* As rs_decode; the codeword is rewritten only when symbols were corrected. */
QN_API int ccsds_tm_rs_decode(uint8_t *codeword);

/* Interleaved codeblock of depth I: data octets unchanged, then the 32 * I parity octets.
 * `out` may be `data` itself when it holds 255 * I octets. 255 * I, or 0 for another depth. */
QN_API size_t ccsds_tm_rs_encode_block(const uint8_t *data, uint32_t depth, uint8_t *out);
/* Corrects each codeword of the codeblock in place. 223 * I (also when codewords failed),
 * or 0 for an invalid depth; `stats` may be null. */
QN_API size_t ccsds_tm_rs_decode_block(uint8_t *codeblock, uint32_t depth, RsBlockStats *stats);

QN_EXTERN_C_END

#endif
