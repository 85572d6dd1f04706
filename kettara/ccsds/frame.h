/* CCSDS telemetry frames: a payload of octets becomes a channel bit stream through, in
 * this order, Reed-Solomon encoding with interleaving, pseudo-randomisation of the
 * codeblock, the attached sync marker in front, and convolutional encoding of marker and
 * codeblock together. Every stage is optional. Octets are packed and unpacked most
 * significant bit first; bits are one per byte. */
#ifndef KETTARA_FRAME_H
#define KETTARA_FRAME_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct TmFrameConfig {
    uint32_t rs_depth;  /* 0 no Reed-Solomon, else the interleaving depth 1..5 or 8 */
    uint32_t randomise; /* non-zero: the 17-stage randomiser */
    uint32_t asm_;      /* non-zero: prepend the attached sync marker */
    uint32_t conv;      /* non-zero: rate 1/2 convolutional encoding */
} TmFrameConfig;

/* Sizes and offsets in bits; offsets are positions in the frame before convolutional coding. */
typedef struct TmFrameLayout {
    uint64_t body_bits;  /* the codeblock: 2040 * depth with Reed-Solomon, else 8 * payload octets */
    uint64_t frame_bits; /* body plus the marker */
    uint64_t coded_bits; /* 2 * frame_bits with convolutional coding, else frame_bits */
    uint64_t asm_offset;
    uint64_t asm_bits;
    uint64_t rs_offset;
    uint64_t rs_bits;
    uint64_t rand_offset;
    uint64_t rand_bits;
    uint64_t conv_offset;
    uint64_t conv_bits;
} TmFrameLayout;

typedef struct TmDecodeStats {
    uint64_t payload_octets;
    uint32_t codewords;           /* the depth, or 0 without Reed-Solomon */
    uint32_t codewords_ok;        /* codewords minus the uncorrectable ones */
    uint32_t codewords_corrected;
    uint32_t symbols_corrected;
} TmDecodeStats;

/* coded_bits, or 0 when the payload is empty or is not 223 * depth octets with Reed-Solomon
 * (a short payload is never padded). `layout` may be null. */
QN_API size_t ccsds_tm_frame_layout(const TmFrameConfig *cfg, size_t payload_octets, TmFrameLayout *layout);

/* Channel bits written (coded_bits), or 0. With `conv_state` the convolutional code continues
 * from it and it is updated, so consecutive frames form one code stream; without, every frame
 * starts from the all-zero register. */
QN_API size_t ccsds_tm_frame_encode(const TmFrameConfig *cfg, uint32_t *conv_state, const uint8_t *payload,
                                    size_t payload_octets, uint8_t *out, size_t out_cap);

/* Takes the frame after any convolutional decoding (hard bits, marker included) and returns
 * the payload octets written, or 0. The marker bits are not compared. Uncorrectable codewords
 * do not fail the call: they show in `stats` (which may be null). */
QN_API size_t ccsds_tm_frame_decode(const TmFrameConfig *cfg, const uint8_t *bits, size_t n_bits, uint8_t *out,
                                    size_t out_cap, TmDecodeStats *stats);

QN_EXTERN_C_END

#endif
