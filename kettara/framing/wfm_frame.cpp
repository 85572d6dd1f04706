// Generic frames: layout, assembly with pluggable coding units, checking, the built-in
// CRC-16, and framed DSSS chip streams.
#include "wfm_frame.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "checked.hpp"
#include "pn_core.hpp"

namespace {

using qn::checked_add;
using qn::checked_mul;

constexpr uint64_t kCrcBits = 16;

bool expands(const FrameUnit &unit) { return unit.rate_num != 0 && unit.rate_den != 0; }

// Size of a source field: len x reps (reps 0 counts as 1).
std::optional<uint64_t> source_size(const FrameField &field) {
    if (field.len == 0) return 0;
    return checked_mul<uint64_t>(field.len, field.reps ? field.reps : 1);
}

// Size of field i written by unit produced_by - 1; nullopt for an invalid descriptor.
std::optional<uint64_t> produced_size(const FrameDesc &desc, uint32_t i,
                                      const std::array<uint64_t, WFM_FRAME_MAX_FIELDS> &sizes) {
    const FrameField &field = desc.fields[i];
    const uint32_t k = field.produced_by - 1;
    if (k >= desc.nunits) return std::nullopt;
    const FrameUnit &unit = desc.units[k];
    if (unit.count == 0) return 0;
    // A produced field is always the last field its unit covers.
    if (uint64_t{unit.first} + unit.count != uint64_t{i} + 1) return std::nullopt;
    // The CRC unit writes exactly 16 bits: any other size would overwrite or leave bits.
    if (unit.kind == WFM_UNIT_CRC16 && field.fixed_size != kCrcBits) return std::nullopt;
    bool protects = false;
    for (uint32_t j = unit.first; j < i; ++j) protects |= desc.fields[j].produced_by == 0 && sizes[j] != 0;
    return protects ? field.fixed_size : 0;
}

bool layout(const FrameDesc &desc, FrameLayout &out) {
    if (desc.nfields > WFM_FRAME_MAX_FIELDS || desc.nunits > WFM_FRAME_MAX_UNITS) return false;
    out = FrameLayout{};
    out.nfields = desc.nfields;
    out.nunits = desc.nunits;
    for (uint32_t u = 0; u < desc.nunits; ++u) {
        const FrameUnit &unit = desc.units[u];
        if (unit.count == 0) continue;
        if (uint64_t{unit.first} + unit.count > desc.nfields) return false;
        // A shrinking unit would leave the raw frame no room in the output buffer.
        if (expands(unit) && unit.rate_num < unit.rate_den) return false;
    }

    std::array<uint64_t, WFM_FRAME_MAX_FIELDS> sizes{};
    for (uint32_t i = 0; i < desc.nfields; ++i) {
        if (desc.fields[i].produced_by != 0) continue;
        const auto size = source_size(desc.fields[i]);
        if (!size) return false;
        sizes[i] = *size;
    }
    for (uint32_t i = 0; i < desc.nfields; ++i) {
        if (desc.fields[i].produced_by == 0) continue;
        const auto size = produced_size(desc, i, sizes);
        if (!size) return false;
        sizes[i] = *size;
    }

    uint64_t running = 0;
    for (uint32_t i = 0; i < desc.nfields; ++i) {
        out.offset[i] = running;
        out.size[i] = sizes[i];
        const auto next = checked_add(running, sizes[i]);
        if (!next) return false;
        running = *next;
    }
    out.raw_bits = out.coded_bits = running;

    for (uint32_t u = 0; u < desc.nunits; ++u) {
        const FrameUnit &unit = desc.units[u];
        if (unit.count == 0) continue;
        uint64_t len = 0;  // cannot wrap: it is part of raw_bits
        for (uint32_t i = unit.first; i < unit.first + unit.count; ++i) len += sizes[i];
        if (len == 0) continue;
        out.span[u] = {out.offset[unit.first], len};
        if (!expands(unit)) continue;
        const auto scaled = checked_mul<uint64_t>(unit.rate_num, len);
        if (!scaled) return false;
        const auto coded = checked_add(out.raw_bits - len, *scaled / unit.rate_den);
        if (!coded) return false;
        out.coded_bits = *coded;
    }
    return true;
}

// ---- CRC-16/CCITT-FALSE over bits, one bit per byte ----

uint16_t crc16_register(const uint8_t *bits, size_t n) {
    uint32_t reg = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t feedback = (bits[i] & 1u) ^ (reg >> 15);
        reg = (reg << 1) & 0xFFFF;
        if (feedback) reg ^= 0x1021;
    }
    return static_cast<uint16_t>(reg);
}

// Whether the last 16 bits of the span (most significant first) hold the CRC of the rest.
std::optional<bool> crc16_matches(const uint8_t *bits, size_t n) {
    if (n <= kCrcBits) return std::nullopt;
    const size_t body = n - kCrcBits;
    uint32_t sent = 0;
    for (size_t i = 0; i < kCrcBits; ++i) sent = (sent << 1) | (bits[body + i] & 1u);
    return sent == crc16_register(bits, body);
}

// ---- operations tables ----

struct Table {
    const UnitOps *entries = nullptr;
    uint32_t count = 0;
    void *context = nullptr;
};

// A missing table is empty; a table claiming entries it does not have is invalid.
std::optional<Table> view(const UnitOpsTable *table) {
    if (!table) return Table{};
    if (table->count != 0 && !table->entries) return std::nullopt;
    return Table{table->entries, table->count, table->context};
}

const UnitOps *find_entry(const Table &table, uint32_t kind) {
    for (uint32_t i = 0; i < table.count; ++i)
        if (table.entries[i].kind == kind) return &table.entries[i];
    return nullptr;
}

// How assembly runs one unit: in place over its span, or by emitting the coded frame.
struct UnitRoute {
    FrameUnitInFn in_unit = nullptr;
    FrameUnitEmitFn emit = nullptr;
};

std::optional<UnitRoute> route(const Table &table, const FrameUnit &unit) {
    const UnitOps *entry = find_entry(table, unit.kind);
    UnitRoute r;
    if (entry) {
        r = {entry->in_unit, entry->emit};
    } else if (unit.kind == WFM_UNIT_CRC16) {
        r.in_unit = crc16_in_unit;
    }
    if ((r.in_unit != nullptr) == (r.emit != nullptr)) return std::nullopt;
    // An emit writes the coded frame, so it must serve exactly the expanding units.
    if ((r.emit != nullptr) != expands(unit)) return std::nullopt;
    return r;
}

FrameUnitUndoFn undo_for(const Table &table, const FrameUnit &unit) {
    if (const UnitOps *entry = find_entry(table, unit.kind)) return entry->undo;
    return unit.kind == WFM_UNIT_CRC16 ? crc16_undo : nullptr;
}

// ---- source fields ----

bool generate_pn(const FrameField &field, uint8_t *dst) {
    uint64_t poly = field.pn_poly;
    if (poly == 0 && field.degree >= 2) poly = pn_default_poly(field.degree);
    PnGen pn;
    if (!qn::lfsr::pn_configure(pn, poly, field.pn_seed ? field.pn_seed : 1, field.degree,
                                static_cast<int32_t>(field.lfsr)))
        return false;
    return pn_generate(&pn, field.len, dst, field.len) == field.len;
}

bool generate_gold(const FrameField &field, uint8_t *dst) {
    GoldGen gold;
    if (!qn::lfsr::gold_configure(gold, field.gold_poly1, field.gold_seed1 ? field.gold_seed1 : 1,
                                  field.gold_poly2, field.gold_seed2 ? field.gold_seed2 : 1,
                                  field.degree))
        return false;
    return gold_generate(&gold, field.len, dst, field.len) == field.len;
}

// Writes one repetition of the field, then repeats it until `size` bits are filled.
bool write_source_field(const FrameField &field, uint64_t size, uint8_t *dst) {
    const uint64_t len = field.len;
    switch (field.kind) {
    case WFM_FIELD_BITS:
        if (!field.data) return false;
        for (uint64_t j = 0; j < len; ++j) dst[j] = field.data[j] & 1;
        break;
    case WFM_FIELD_PN:
        if (!generate_pn(field, dst)) return false;
        break;
    case WFM_FIELD_GOLD:
        if (!generate_gold(field, dst)) return false;
        break;
    case WFM_FIELD_ALTERNATING:
        for (uint64_t j = 0; j < len; ++j) dst[j] = (j & 1) ? 0 : 1;
        break;
    default:
        return false;
    }
    // The filled part is whole repetitions, so doubling it keeps the pattern.
    for (uint64_t filled = len; filled < size;) {
        const uint64_t chunk = std::min(filled, size - filled);
        std::memcpy(dst + filled, dst, chunk);
        filled += chunk;
    }
    return true;
}

template <typename Source>
FrameField to_field(const Source &s) {
    FrameField f{};
    f.kind = s.kind;
    f.len = s.len;
    f.data = s.data;
    f.pn_poly = s.pn_poly;
    f.pn_seed = s.pn_seed;
    f.degree = s.degree;
    f.lfsr = s.lfsr;
    f.gold_poly1 = s.gold_poly1;
    f.gold_seed1 = s.gold_seed1;
    f.gold_poly2 = s.gold_poly2;
    f.gold_seed2 = s.gold_seed2;
    return f;
}

FrameDesc describe(const SimpleFrame &frame) {
    FrameDesc desc{};
    desc.nfields = 4;
    desc.nunits = 1;
    if (frame.acq.reps != 0) {
        desc.fields[0] = to_field(frame.acq);
        desc.fields[0].reps = frame.acq.reps;
    }
    desc.fields[1] = to_field(frame.sync);
    desc.fields[2] = to_field(frame.payload);
    desc.fields[3].fixed_size = kCrcBits;
    desc.fields[3].produced_by = 1;
    desc.units[0] = {WFM_UNIT_CRC16, 2, frame.crc ? 2u : 0u, 0, 0, 0};
    return desc;
}

// The data frame of framed DSSS: explicit sync and payload bits, no acquisition field.
SimpleFrame dsss_frame(const uint8_t *sync, size_t sync_len, const uint8_t *payload,
                       size_t payload_len, uint32_t crc) {
    SimpleFrame frame{};
    frame.sync.len = sync_len;
    frame.sync.data = sync;
    frame.payload.len = payload_len;
    frame.payload.data = payload;
    frame.crc = crc;
    return frame;
}

struct DsssCounts {
    size_t frame_bits;
    size_t acq_chips;
    size_t total;
};

std::optional<DsssCounts> dsss_counts(size_t acq_len, size_t acq_reps, size_t code_len,
                                      const SimpleFrame &frame) {
    FrameLayout l;
    if (!layout(describe(frame), l)) return std::nullopt;
    const size_t frame_bits = l.raw_bits;
    if (frame_bits != 0 && code_len == 0) return std::nullopt;
    const auto data_chips = checked_mul(code_len, frame_bits);
    const auto acq_chips = checked_mul(acq_len, acq_reps);
    if (!data_chips || !acq_chips) return std::nullopt;
    const auto total = checked_add(*data_chips, *acq_chips);
    if (!total) return std::nullopt;
    return DsssCounts{frame_bits, *acq_chips, *total};
}

}  // namespace

extern "C" {

int wfm_frame_desc_layout(const FrameDesc *desc, FrameLayout *out) {
    if (!desc || !out) return QN_ERR_INVALID;
    return layout(*desc, *out) ? QN_OK : QN_ERR_INVALID;
}

int wfm_frame_describe(const SimpleFrame *frame, FrameDesc *out) {
    if (!frame || !out) return QN_ERR_INVALID;
    *out = describe(*frame);
    return QN_OK;
}

int wfm_frame_layout(const SimpleFrame *frame, FrameFieldBounds *out) {
    if (!frame || !out) return QN_ERR_INVALID;
    FrameLayout l;
    if (!layout(describe(*frame), l)) return QN_ERR_INVALID;
    out->acq = {l.offset[0], l.size[0]};
    out->sync = {l.offset[1], l.size[1]};
    out->payload = {l.offset[2], l.size[2]};
    out->crc = {l.offset[3], l.size[3]};
    out->total_bits = l.raw_bits;
    return QN_OK;
}

uint64_t wfm_frame_nbits(const SimpleFrame *frame) {
    FrameFieldBounds bounds;
    return wfm_frame_layout(frame, &bounds) == QN_OK ? bounds.total_bits : 0;
}

size_t wfm_frame_assemble(const FrameDesc *desc, const UnitOpsTable *table, uint8_t *out,
                          size_t capacity) {
    if (!desc || !out) return 0;
    FrameLayout l;
    if (!layout(*desc, l) || l.coded_bits == 0 || l.coded_bits > capacity) return 0;
    const auto ops = view(table);
    if (!ops) return 0;

    std::array<UnitRoute, WFM_FRAME_MAX_UNITS> routes{};
    int emitters = 0;
    for (uint32_t u = 0; u < desc->nunits; ++u) {
        if (l.span[u].len == 0) continue;
        const auto r = route(*ops, desc->units[u]);
        if (!r) return 0;
        routes[u] = *r;
        emitters += r->emit != nullptr;
    }
    // A second emit would read a raw frame the first one has already overwritten.
    if (emitters > 1) return 0;

    // Right-aligned, so an expanding unit writes the coded frame from the buffer's start
    // while reading ahead of its own output.
    uint8_t *raw = out + (l.coded_bits - l.raw_bits);
    for (uint32_t i = 0; i < desc->nfields; ++i) {
        const FrameField &field = desc->fields[i];
        if (field.produced_by != 0 || l.size[i] == 0) continue;
        if (!write_source_field(field, l.size[i], raw + l.offset[i])) return 0;
    }

    for (uint32_t u = 0; u < desc->nunits; ++u) {
        const FrameUnit &unit = desc->units[u];
        const FrameSpan span = l.span[u];
        if (span.len == 0) continue;
        if (routes[u].in_unit) {
            if (routes[u].in_unit(&unit, raw + span.offset, span.len, ops->context) != QN_OK) return 0;
        } else if (routes[u].emit(&unit, raw, l.raw_bits, out, capacity, ops->context) != l.coded_bits) {
            return 0;
        }
    }
    return l.coded_bits;
}

size_t wfm_frame_bits(const SimpleFrame *frame, uint8_t *out, size_t capacity) {
    if (!frame) return 0;
    const FrameDesc desc = describe(*frame);
    return wfm_frame_assemble(&desc, nullptr, out, capacity);
}

int wfm_frame_check(const FrameDesc *desc, const UnitOpsTable *table, uint8_t *bits,
                    FrameCheckReport *report) {
    if (!desc || !bits) return QN_ERR_INVALID;
    FrameLayout l;
    if (!layout(*desc, l)) return QN_ERR_INVALID;
    const auto ops = view(table);
    if (!ops) return QN_ERR_INVALID;

    FrameCheckReport r{};
    r.nunits = desc->nunits;
    for (uint32_t u = desc->nunits; u-- > 0;) {
        const FrameSpan span = l.span[u];
        if (span.len == 0) continue;
        const FrameUnitUndoFn undo = undo_for(*ops, desc->units[u]);
        if (!undo) continue;
        if (undo(&desc->units[u], bits + span.offset, span.len, &r.units[u], ops->context) != QN_OK)
            return QN_ERR_INVALID;
        ++r.nchecked;
    }
    if (report) *report = r;
    if (r.nchecked == 0) return QN_ERR_INVALID;
    for (const UnitCheck &c : r.units)
        if (c.valid && c.examined != c.ok) return WFM_CHECK_FAILED;
    return WFM_CHECK_PASSED;
}

int wfm_frame_desc_crc_ok(const FrameDesc *desc, const uint8_t *bits) {
    if (!desc || !bits) return QN_ERR_INVALID;
    FrameLayout l;
    if (!layout(*desc, l)) return QN_ERR_INVALID;
    for (uint32_t u = 0; u < desc->nunits; ++u) {
        if (desc->units[u].kind != WFM_UNIT_CRC16 || l.span[u].len == 0) continue;
        // Judged exactly as the CRC unit wrote it: the last 16 bits of the span.
        const auto match = crc16_matches(bits + l.span[u].offset, l.span[u].len);
        if (!match) return QN_ERR_INVALID;
        return *match ? WFM_CHECK_PASSED : WFM_CHECK_FAILED;
    }
    return QN_ERR_INVALID;
}

int wfm_frame_crc_ok(const SimpleFrame *frame, const uint8_t *bits) {
    if (!frame) return QN_ERR_INVALID;
    const FrameDesc desc = describe(*frame);
    return wfm_frame_desc_crc_ok(&desc, bits);
}

int crc16_in_unit(const FrameUnit *, uint8_t *bits, size_t n, void *) {
    if (!bits || n <= kCrcBits) return QN_ERR_INVALID;
    const size_t body = n - kCrcBits;
    const uint16_t reg = crc16_register(bits, body);
    for (size_t i = 0; i < kCrcBits; ++i) bits[body + i] = (reg >> (15 - i)) & 1;
    return QN_OK;
}

int crc16_undo(const FrameUnit *, uint8_t *bits, size_t n, UnitCheck *result, void *) {
    if (!bits || !result) return QN_ERR_INVALID;
    const auto match = crc16_matches(bits, n);
    if (!match) return QN_ERR_INVALID;
    *result = UnitCheck{1, *match ? 1u : 0u, 0, 0, 1};
    return QN_OK;
}

size_t wfm_frame_dsss_nchips(size_t acq_len, size_t acq_reps, size_t code_len, size_t sync_len,
                             size_t payload_len, uint32_t crc) {
    const SimpleFrame frame = dsss_frame(nullptr, sync_len, nullptr, payload_len, crc);
    const auto counts = dsss_counts(acq_len, acq_reps, code_len, frame);
    return counts ? counts->total : 0;
}

size_t wfm_frame_dsss_chips(const uint8_t *acq_code, size_t acq_len, size_t acq_reps,
                            const uint8_t *data_code, size_t code_len, const uint8_t *sync,
                            size_t sync_len, const uint8_t *payload, size_t payload_len,
                            uint32_t crc, uint8_t *out) {
    const SimpleFrame frame = dsss_frame(sync, sync_len, payload, payload_len, crc);
    const auto counts = dsss_counts(acq_len, acq_reps, code_len, frame);
    if (!counts || counts->total == 0 || !out) return 0;
    const size_t nbits = counts->frame_bits;
    if ((counts->acq_chips != 0 && !acq_code) || (nbits != 0 && !data_code)) return 0;

    for (size_t r = 0; r < acq_reps && acq_len != 0; ++r)
        for (size_t j = 0; j < acq_len; ++j) out[r * acq_len + j] = acq_code[j] & 1;

    if (nbits == 0) return counts->total;
    // The frame bits are assembled at the end of the data chips and spread from the front:
    // the chips of bit i end at (i + 1) x code_len - 1, before bit i + 1 at
    // (code_len - 1) x nbits + i + 1, so every bit is read before it is overwritten.
    uint8_t *data = out + counts->acq_chips;
    const uint8_t *bits = data + (code_len - 1) * nbits;
    if (wfm_frame_bits(&frame, data + (code_len - 1) * nbits, nbits) != nbits) return 0;
    for (size_t i = 0; i < nbits; ++i) {
        const uint8_t bit = bits[i];
        uint8_t *chips = data + i * code_len;
        for (size_t j = 0; j < code_len; ++j) chips[j] = (data_code[j] ^ bit) & 1;
    }
    return counts->total;
}

}  // extern "C"
