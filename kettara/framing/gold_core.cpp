// Gold code generator: the XOR of two Fibonacci registers read at their top stage.
#include "gold_core.h"

#include <new>

#include "pn_core.hpp"

namespace {

constexpr char kMagic[4] = {'G', 'O', 'L', 'D'};
constexpr uint16_t kVersion = 1;
constexpr uint32_t kBlobBytes = 32;

}  // namespace

namespace qn::lfsr {

bool gold_configure(GoldGen &gold, uint64_t poly1, uint64_t seed1, uint64_t poly2, uint64_t seed2,
                    uint32_t degree) {
    if (seed1 == 0 || seed2 == 0 || degree == 0 || degree > kMaxDegree) return false;
    const uint64_t mask = register_mask(degree);
    gold.poly1 = poly1 & mask;
    gold.poly2 = poly2 & mask;
    gold.seed1 = seed1 & mask;
    gold.seed2 = seed2 & mask;
    gold.state1 = gold.seed1;
    gold.state2 = gold.seed2;
    gold.mask = mask;
    gold.degree = degree;
    return true;
}

}  // namespace qn::lfsr

extern "C" {

GoldGen *gold_create(uint64_t poly1, uint64_t seed1, uint64_t poly2, uint64_t seed2, uint32_t degree) {
    GoldGen probe{};
    if (!qn::lfsr::gold_configure(probe, poly1, seed1, poly2, seed2, degree)) return nullptr;
    GoldGen *gold = new (std::nothrow) GoldGen;
    if (gold) *gold = probe;
    return gold;
}

void gold_destroy(GoldGen *gold) { delete gold; }

void gold_reset(GoldGen *gold) {
    if (!gold) return;
    gold->state1 = gold->seed1;
    gold->state2 = gold->seed2;
}

size_t gold_generate(GoldGen *gold, size_t n, uint8_t *out, size_t out_cap) {
    using qn::lfsr::parity;
    if (!gold || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    uint64_t s1 = gold->state1, s2 = gold->state2;
    const uint64_t p1 = gold->poly1, p2 = gold->poly2, mask = gold->mask;
    const uint32_t top = gold->degree - 1;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(((s1 ^ s2) >> top) & 1);
        s2 = mask & ((s2 << 1) | parity(p2 & s2));
        s1 = mask & ((s1 << 1) | parity(p1 & s1));
    }
    gold->state1 = s1;
    gold->state2 = s2;
    return count;
}

size_t gold_generate_max_out(void) { return 0; }

size_t gold_state_bytes(const GoldGen *gold) { return gold ? kBlobBytes : 0; }

void gold_get_state(const GoldGen *gold, void *out) {
    if (!gold || !out) return;
    auto *p = static_cast<uint8_t *>(out);
    qn::lfsr::put_blob_header(p, kMagic, kVersion, kBlobBytes);
    qn::lfsr::put_u64(p + 16, gold->state1);
    qn::lfsr::put_u64(p + 24, gold->state2);
}

int gold_set_state(GoldGen *gold, const void *blob) {
    if (!gold || !blob) return QN_ERR_INVALID;
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!qn::lfsr::blob_header_ok(p, kMagic, kVersion, kBlobBytes)) return QN_ERR_STATE;
    gold->state1 = qn::lfsr::get_u64(p + 16);
    gold->state2 = qn::lfsr::get_u64(p + 24);
    return QN_OK;
}

}  // extern "C"
