/* Reed-Solomon codec over GF(2^m), 2 <= m <= 8, full-length codewords of 2^m - 1 symbols,
 * one symbol per byte (only its low m bits count). An RsCodec is a plain value: it owns
 * no memory. */
#ifndef KETTARA_RS_CORE_H
#define KETTARA_RS_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

enum { RS_MAX_NN = 255, RS_MAX_NROOTS = 64 };

/* Result of rs_decode and ccsds_tm_rs_decode for a codeword with more errors than the code
 * corrects (the value of QN_ERR_INVALID, which they also give for a null pointer). */
enum { RS_UNCORRECTABLE = -1 };

/* Code parameters: `gfpoly` is the field polynomial without its x^m term; the generator's
 * roots are alpha^(prim * (fcr + j)) for j = 0 .. nroots - 1. */
typedef struct RsSpec {
    int32_t symsize;
    uint16_t gfpoly;
    uint32_t nroots;
    uint32_t fcr;
    uint32_t prim;
} RsSpec;

/* An initialised codec. `alpha_to` holds alpha^i for i = 0 .. 2nn - 2 (its second half
 * repeats the first, so a sum of two logarithms indexes it without reduction); `index_of`
 * holds logarithms, 255 for elements without one; `genpoly` holds g(x), constant term first. */
typedef struct RsCodec {
    int32_t symsize;
    uint16_t gfpoly;
    uint32_t nroots;
    uint32_t fcr;
    uint32_t prim;
    uint32_t nn;
    uint32_t kk;
    uint32_t t;
    uint8_t alpha_to[2 * RS_MAX_NN - 1];
    uint8_t index_of[256];
    uint8_t genpoly[RS_MAX_NROOTS + 1];
} RsCodec;

/* 1 when the parameters describe a code this codec supports, else 0 (null included). */
QN_API int rs_code_valid(const RsSpec *spec);
/* 1 on success; 0 for invalid parameters or a field polynomial that is not primitive. */
QN_API int rs_init(RsCodec *out, const RsSpec *spec);
/* The generator's nroots + 1 coefficients, constant term first. */
QN_API const uint8_t *rs_generator(const RsCodec *rs);
/* Systematic encoding: parity (nroots symbols) of kk data symbols; parity[0] is the
 * coefficient of x^(nroots-1). The codeword is the data followed by the parity. */
QN_API void rs_encode(const RsCodec *rs, const uint8_t *data, uint8_t *parity);
/* The nroots syndromes of an nn-symbol codeword (codeword[0] is the highest power). */
QN_API void rs_syndromes(const RsCodec *rs, const uint8_t *codeword, uint8_t *synd);
/* 1 when every syndrome is zero, else 0. */
QN_API int rs_codeword_ok(const RsCodec *rs, const uint8_t *codeword);
/* 0 no error; k >= 1 symbols corrected in place; RS_UNCORRECTABLE (codeword unchanged). */
QN_API int rs_decode(const RsCodec *rs, uint8_t *codeword);

QN_EXTERN_C_END

#endif
