#include "rand.h"

const RandSpec CCSDS_TM_RAND = {0x10004u, 0x38E3u, 17u, 131071u};
const RandSpec CCSDS_TM_RAND_LEGACY = {0x95u, 0xFFu, 8u, 255u};

namespace {

constexpr bool degree_ok(uint32_t degree) { return degree >= 1 && degree <= 31; }

// Callers may fill a RandState by hand, so the degree is checked at every use.
constexpr uint32_t register_mask(uint32_t degree) {
    return degree_ok(degree) ? (uint32_t{1} << degree) - 1u : 0u;
}

}  // namespace

extern "C" {

void ccsds_tm_rand_init(RandState *st, const RandSpec *spec) {
    if (!st) return;
    if (!spec) spec = &CCSDS_TM_RAND;
    st->state = spec->seed & register_mask(spec->degree);
    st->taps = spec->taps;
    st->degree = spec->degree;
}

uint8_t ccsds_tm_rand_step(RandState *st) {
    if (!st || !degree_ok(st->degree)) return 0;
    const uint32_t out = (st->state >> (st->degree - 1)) & 1u;
    const uint32_t feedback = static_cast<uint32_t>(__builtin_parity(st->state & st->taps));
    st->state = ((st->state << 1) | feedback) & register_mask(st->degree);
    return static_cast<uint8_t>(out);
}

void ccsds_tm_rand_seq_with(const RandSpec *spec, uint8_t *out, size_t n) {
    if (!out) return;
    RandState st;
    ccsds_tm_rand_init(&st, spec);
    for (size_t i = 0; i < n; ++i) out[i] = ccsds_tm_rand_step(&st);
}

void ccsds_tm_rand_seq(uint8_t *out, size_t n) { ccsds_tm_rand_seq_with(&CCSDS_TM_RAND, out, n); }

void ccsds_tm_randomise_with(const RandSpec *spec, uint8_t *bits, size_t n) {
    if (!bits) return;
    RandState st;
    ccsds_tm_rand_init(&st, spec);
    for (size_t i = 0; i < n; ++i) bits[i] = static_cast<uint8_t>((bits[i] ^ ccsds_tm_rand_step(&st)) & 1u);
}

void ccsds_tm_randomise(uint8_t *bits, size_t n) { ccsds_tm_randomise_with(&CCSDS_TM_RAND, bits, n); }

}  // extern "C"
