// PN bit generator: a single linear-feedback shift register, Galois or Fibonacci form.
#include "pn_core.h"

#include <array>
#include <cstring>
#include <new>

#include "pn_core.hpp"
#include "wfm_spec.h"

namespace {

constexpr char kMagic[4] = {'P', 'N', '_', '_'};
constexpr uint16_t kVersion = 1;
constexpr uint32_t kBlobBytes = 24;

// Default feedback masks by degree; index 0 and 1 have none.
constexpr uint64_t kDefaultPoly[65] = {
    0x0, 0x0, 0x3, 0x5, 0x9, 0x12, 0x21, 0x41, 0x8E, 0x108, 0x204, 0x402, 0x829, 0x100D,
    0x2015, 0x4001, 0x8016, 0x10004, 0x20013, 0x40013, 0x80004, 0x100002, 0x200001,
    0x400010, 0x80000D, 0x1000004, 0x2000023, 0x4000013, 0x8000004, 0x10000002,
    0x20000029, 0x40000004, 0x80000057, 0x100000029, 0x200000073, 0x400000002,
    0x80000003B, 0x100000001F, 0x2000000031, 0x4000000008, 0x800000001C, 0x10000000004,
    0x2000000001F, 0x4000000002C, 0x80000000032, 0x10000000000D, 0x200000000097,
    0x400000000010, 0x80000000005B, 0x1000000000038, 0x200000000000E, 0x4000000000025,
    0x8000000000004, 0x10000000000023, 0x2000000000003E, 0x40000000000023,
    0x8000000000004A, 0x100000000000016, 0x200000000000031, 0x40000000000003D,
    0x800000000000001, 0x1000000000000013, 0x2000000000000034, 0x4000000000000001,
    0x800000000000000D,
};

// Kept in a local so the loop works on a register, not through the object.
void galois_steps(PnGen &pn, size_t from, size_t n, uint8_t *out) {
    uint64_t state = pn.state;
    const uint64_t poly = pn.poly, mask = pn.mask;
    for (size_t i = from; i < n; ++i) {
        const uint64_t bit = state & 1;
        out[i] = static_cast<uint8_t>(bit);
        state = mask & ((state >> 1) ^ (poly & (0 - bit)));
    }
    pn.state = state;
}

// Bit i of a byte spread to byte i of a little-endian word.
constexpr auto kSpreadBits = [] {
    std::array<uint64_t, 256> table{};
    for (uint64_t b = 0; b < 256; ++b)
        for (int i = 0; i < 8; ++i) table[b] |= ((b >> i) & 1) << (8 * i);
    return table;
}();

// Eight steps at once: the next eight outputs are the register's low byte, and when no tap
// lies above degree - 8 the eight new top bits depend only on the current register, new
// bit j being the XOR over the taps t of register bit t + j.
size_t fibonacci_bytes(PnGen &pn, size_t n, uint8_t *out) {
    const uint32_t degree = pn.shift + 1;
    const uint32_t top_tap = 63 - static_cast<uint32_t>(__builtin_clzll(pn.taps));
    if (top_tap + 8 > degree) return 0;
    std::array<uint8_t, 64> taps;
    size_t ntaps = 0;
    for (uint32_t t = 0; t <= top_tap; ++t)
        if ((pn.taps >> t) & 1) taps[ntaps++] = static_cast<uint8_t>(t);
    uint64_t state = pn.state;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t fresh = 0;
        for (size_t k = 0; k < ntaps; ++k) fresh ^= state >> taps[k];
        std::memcpy(out + i, &kSpreadBits[state & 0xFF], 8);
        state = (state >> 8) | ((fresh & 0xFF) << (degree - 8));
    }
    pn.state = state;
    return i;
}

size_t generate_fibonacci(PnGen &pn, size_t n, uint8_t *out) {
    const size_t done = fibonacci_bytes(pn, n, out);
    uint64_t state = pn.state;
    const uint64_t taps = pn.taps;
    const uint32_t shift = pn.shift;
    for (size_t i = done; i < n; ++i) {
        out[i] = static_cast<uint8_t>(state & 1);
        state = (state >> 1) | (qn::lfsr::parity(taps & state) << shift);
    }
    pn.state = state;
    return n;
}

// Eight Galois steps are linear in the register: from state s they output bits that depend
// only on the low byte b, and leave (s >> 8) XOR feedback(b). Both are tabled once per call,
// which pays off on long runs.
constexpr size_t kGaloisTableMin = 4096;

size_t galois_bytes(PnGen &pn, size_t n, uint8_t *out) {
    if (n < kGaloisTableMin) return 0;
    std::array<uint64_t, 256> bits, feedback;
    for (uint64_t b = 0; b < 256; ++b) {
        PnGen step = pn;
        step.state = b;
        uint8_t eight[8];
        galois_steps(step, 0, 8, eight);
        std::memcpy(&bits[b], eight, 8);
        feedback[b] = step.state;
    }
    uint64_t state = pn.state;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t low = state & 0xFF;
        std::memcpy(out + i, &bits[low], 8);
        state = (state >> 8) ^ feedback[low];
    }
    pn.state = state;
    return i;
}

size_t generate_galois(PnGen &pn, size_t n, uint8_t *out) {
    galois_steps(pn, galois_bytes(pn, n, out), n, out);
    return n;
}

}  // namespace

namespace qn::lfsr {

bool pn_configure(PnGen &pn, uint64_t poly, uint64_t seed, uint32_t degree, int32_t lfsr) {
    if (seed == 0 || degree == 0 || degree > kMaxDegree) return false;
    const uint64_t mask = register_mask(degree);
    pn.poly = poly & mask;
    pn.seed = seed & mask;
    pn.state = pn.seed;
    pn.mask = mask;
    pn.fibonacci = lfsr == WFM_LFSR_FIBONACCI ? 1 : 0;
    pn.taps = pn.fibonacci ? (1 | (pn.poly << 1)) & mask : 0;
    pn.shift = degree - 1;
    return true;
}

}  // namespace qn::lfsr

extern "C" {

PnGen *pn_create(uint64_t poly, uint64_t seed, uint32_t degree, int32_t lfsr) {
    PnGen probe{};
    if (!qn::lfsr::pn_configure(probe, poly, seed, degree, lfsr)) return nullptr;
    PnGen *pn = new (std::nothrow) PnGen;
    if (pn) *pn = probe;
    return pn;
}

void pn_destroy(PnGen *pn) { delete pn; }

void pn_reset(PnGen *pn) {
    if (pn) pn->state = pn->seed;
}

size_t pn_generate(PnGen *pn, size_t n, uint8_t *out, size_t out_cap) {
    if (!pn || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    return pn->fibonacci ? generate_fibonacci(*pn, count, out) : generate_galois(*pn, count, out);
}

size_t pn_generate_max_out(void) { return 0; }

uint64_t pn_default_poly(uint32_t degree) { return degree <= 64 ? kDefaultPoly[degree] : 0; }

size_t pn_state_bytes(const PnGen *pn) { return pn ? kBlobBytes : 0; }

void pn_get_state(const PnGen *pn, void *out) {
    if (!pn || !out) return;
    auto *p = static_cast<uint8_t *>(out);
    qn::lfsr::put_blob_header(p, kMagic, kVersion, kBlobBytes);
    qn::lfsr::put_u64(p + 16, pn->state);
}

int pn_set_state(PnGen *pn, const void *blob) {
    if (!pn || !blob) return QN_ERR_INVALID;
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!qn::lfsr::blob_header_ok(p, kMagic, kVersion, kBlobBytes)) return QN_ERR_STATE;
    pn->state = qn::lfsr::get_u64(p + 16);
    return QN_OK;
}

}  // extern "C"
