#include "rand.h"

#include "rand.hpp"

const RandSpec CCSDS_TM_RAND = {0x10004u, 0x38E3u, 17u, 131071u};
const RandSpec CCSDS_TM_RAND_LEGACY = {0x95u, 0xFFu, 8u, 255u};

namespace {

constexpr bool degree_ok(uint32_t degree) { return degree >= 1 && degree <= 31; }

// Callers may fill a RandState by hand, so the degree is checked at every use.
constexpr uint32_t register_mask(uint32_t degree) {
    return degree_ok(degree) ? (uint32_t{1} << degree) - 1u : 0u;
}

uint32_t advance(uint32_t state, uint32_t taps, uint32_t mask) {
    return ((state << 1) | static_cast<uint32_t>(__builtin_parity(state & taps))) & mask;
}

// Hands emit(i, bit) the first n sequence bits of the register loaded from `spec`.
template <typename Emit>
void step_sequence(const RandSpec *spec, size_t n, Emit emit) {
    RandState st;
    ccsds_tm_rand_init(&st, spec);
    const uint32_t mask = register_mask(st.degree);
    const uint32_t top = degree_ok(st.degree) ? st.degree - 1 : 0;
    uint32_t state = st.state;  // zero for an unusable degree: the sequence is all zeros
    for (size_t i = 0; i < n; ++i) {
        emit(i, static_cast<uint8_t>((state >> top) & 1u));
        state = advance(state, st.taps, mask);
    }
}

bool is_default(const RandSpec *spec) {
    return !spec || (spec->taps == CCSDS_TM_RAND.taps && spec->seed == CCSDS_TM_RAND.seed &&
                     spec->degree == CCSDS_TM_RAND.degree);
}

// The default sequence is read from its stored period instead of stepping the register.
template <typename Emit>
void run_sequence(const RandSpec *spec, size_t n, Emit emit) {
    if (is_default(spec)) return kettara::for_each_default_rand_bit(n, emit);
    step_sequence(spec, n, emit);
}

}  // namespace

namespace kettara {

const uint8_t *default_rand_period() {
    struct Period {
        uint8_t bits[kDefaultRandPeriod];
        Period() { step_sequence(&CCSDS_TM_RAND, kDefaultRandPeriod, [this](size_t i, uint8_t bit) { bits[i] = bit; }); }
    };
    static const Period period;  // a function-local static is filled exactly once
    return period.bits;
}

}  // namespace kettara

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
    st->state = advance(st->state, st->taps, register_mask(st->degree));
    return static_cast<uint8_t>(out);
}

void ccsds_tm_rand_seq_with(const RandSpec *spec, uint8_t *out, size_t n) {
    if (out) run_sequence(spec, n, [out](size_t i, uint8_t bit) { out[i] = bit; });
}

void ccsds_tm_rand_seq(uint8_t *out, size_t n) { ccsds_tm_rand_seq_with(&CCSDS_TM_RAND, out, n); }

void ccsds_tm_randomise_with(const RandSpec *spec, uint8_t *bits, size_t n) {
    if (bits) run_sequence(spec, n, [bits](size_t i, uint8_t bit) { bits[i] = (bits[i] ^ bit) & 1u; });
}

void ccsds_tm_randomise(uint8_t *bits, size_t n) { ccsds_tm_randomise_with(&CCSDS_TM_RAND, bits, n); }

}  // extern "C"
