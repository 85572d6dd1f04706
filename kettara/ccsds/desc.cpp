#include "desc.h"

#include "asm.hpp"
#include "conv.h"
#include "frame.hpp"
#include "rand.h"
#include "rs.h"
#include "wfm_spec.h"

namespace {

constexpr uint64_t kParityBitsPerCodeword = 8 * CCSDS_RS_PARITY;

// The interleaving depth of a Reed-Solomon unit whose span holds exactly its codeblock, or 0.
uint32_t outer_depth(const FrameUnit *unit, const uint8_t *bits, size_t n) {
    if (!unit || !bits || unit->param < 1 || unit->param > 8) return 0;
    return n == size_t{8 * CCSDS_RS_N} * unit->param ? unit->param : 0;
}

const RandSpec &randomiser_of(const FrameUnit *unit) {
    return unit && unit->param == WFM_RANDOMISE_LEGACY ? CCSDS_TM_RAND_LEGACY : CCSDS_TM_RAND;
}

int outer_in_unit(const FrameUnit *unit, uint8_t *bits, size_t n, void *) {
    const uint32_t depth = outer_depth(unit, bits, n);
    if (depth == 0) return QN_ERR_INVALID;
    uint8_t codeblock[kettara::kMaxCodeblockOctets];
    kettara::pack_bits(bits, size_t{CCSDS_RS_K} * depth, codeblock);
    if (ccsds_tm_rs_encode_block(codeblock, depth, codeblock) == 0) return QN_ERR_INVALID;
    kettara::unpack_octets(codeblock, size_t{CCSDS_RS_N} * depth, bits);
    return QN_OK;
}

int outer_undo(const FrameUnit *unit, uint8_t *bits, size_t n, UnitCheck *result, void *) {
    const uint32_t depth = outer_depth(unit, bits, n);
    if (depth == 0) return QN_ERR_INVALID;
    uint8_t codeblock[kettara::kMaxCodeblockOctets];
    kettara::pack_bits(bits, size_t{CCSDS_RS_N} * depth, codeblock);
    RsBlockStats stats;
    if (ccsds_tm_rs_decode_block(codeblock, depth, &stats) == 0) return QN_ERR_INVALID;
    kettara::unpack_octets(codeblock, size_t{CCSDS_RS_N} * depth, bits);
    if (result) *result = UnitCheck{depth, depth - stats.failed, stats.corrected, stats.symbols, 1};
    return QN_OK;
}

int rand_in_unit(const FrameUnit *unit, uint8_t *bits, size_t n, void *) {
    ccsds_tm_randomise_with(&randomiser_of(unit), bits, n);
    return QN_OK;
}

int rand_undo(const FrameUnit *unit, uint8_t *bits, size_t n, UnitCheck *result, void *) {
    ccsds_tm_randomise_with(&randomiser_of(unit), bits, n);
    if (result) *result = UnitCheck{1, 1, 0, 0, 1};
    return QN_OK;
}

size_t inner_emit(const FrameUnit *, const uint8_t *raw, size_t raw_bits, uint8_t *out, size_t out_cap,
                  void *context) {
    auto *persistent = static_cast<uint32_t *>(context);
    uint32_t state = persistent ? *persistent : 0;
    const size_t written = conv_encode(&state, &CCSDS_TM_CONV, raw, raw_bits, out, out_cap);
    if (persistent && written) *persistent = state;
    return written;
}

const UnitOps OPS[] = {
    {WFM_UNIT_RS, outer_in_unit, nullptr, outer_undo},
    {WFM_UNIT_RANDOMISER, rand_in_unit, nullptr, rand_undo},
    {WFM_UNIT_CONV, nullptr, inner_emit, nullptr},
};

}  // namespace

extern "C" {

void ccsds_tm_frame_ops(UnitOpsTable *table, void *context) {
    if (table) *table = UnitOpsTable{OPS, 3, context};
}

int ccsds_tm_frame_describe(const TmFrameConfig *cfg, size_t payload_octets, const uint8_t *payload_bits,
                            FrameDesc *out) {
    if (!out) return QN_ERR_INVALID;
    *out = FrameDesc{};
    if (ccsds_tm_frame_layout(cfg, payload_octets, nullptr) == 0) return QN_ERR_INVALID;
    const uint32_t depth = cfg->rs_depth;
    out->nfields = 3;
    out->nunits = 3;

    FrameField &marker = out->fields[0];
    marker.kind = WFM_FIELD_BITS;
    marker.len = cfg->asm_ ? kettara::kAsmBits : 0;
    marker.data = kettara::asm_marker_bits();
    FrameField &payload = out->fields[1];
    payload.kind = WFM_FIELD_BITS;
    payload.len = uint64_t{8} * payload_octets;
    payload.data = payload_bits;
    FrameField &parity = out->fields[2];
    parity.fixed_size = kParityBitsPerCodeword * depth;
    parity.produced_by = 1;

    out->units[0] = FrameUnit{WFM_UNIT_RS, 1, depth ? 2u : 0u, depth, 0, 0};
    out->units[1] = FrameUnit{WFM_UNIT_RANDOMISER, 1, cfg->randomise ? (depth ? 2u : 1u) : 0u, 0, 0, 0};
    out->units[2] = FrameUnit{WFM_UNIT_CONV, 0, cfg->conv ? 3u : 0u, 0, 2, 1};
    return QN_OK;
}

}  // extern "C"
