#include "lo_core.h"

#include <cmath>
#include <new>

#include "det_math.hpp"
#include "lo_core.hpp"
#include "state_blob.hpp"

QN_API float lo_sin_lut[65536];

namespace qn {
namespace {

constexpr uint32_t kQuarterTurn = 16384;
constexpr uint32_t kLutMask = 65535;
constexpr std::size_t kStateBytes = 20;
constexpr char kMagic[] = "LO__";

// Single-precision sine of the single-precision angle, rounded once from double precision.
void fill_sin_table() {
    const float step = 0x1.921fb6p-14f;  // 2 pi / 65536 rounded to float
    lo_sin_lut[0] = 0.0f;
    for (uint32_t i = 1; i <= kLutMask; ++i) {
        const float angle = static_cast<float>(i) * step;
        lo_sin_lut[i] = static_cast<float>(det_sin(angle));
    }
}

}  // namespace

// A function-local static: filled exactly once, and every other thread arriving meanwhile
// waits for the fill to finish.
void ensure_sin_table() {
    static const bool filled = (fill_sin_table(), true);
    (void)filled;
}

uint32_t phase_increment(double norm_freq) {
    const double frac = norm_freq - std::floor(norm_freq);
    const double v = frac * 4294967296.0;
    if (!(v > 0.0)) return 0;
    if (frac >= 1.0) return 0xFFFFFFFFu;  // a tiny negative frequency rounds up to one turn
    return static_cast<uint32_t>(v);
}

}  // namespace qn

extern "C" {

Lo *lo_create(double norm_freq) {
    Lo *lo = new (std::nothrow) Lo;
    if (lo) lo_init(lo, norm_freq);
    return lo;
}

void lo_init(Lo *lo, double norm_freq) {
    if (!lo) return;
    qn::ensure_sin_table();
    lo->phase = 0;
    lo->phase_inc = qn::phase_increment(norm_freq);
    lo->norm_freq = norm_freq;
}

void lo_destroy(Lo *lo) { delete lo; }

void lo_reset(Lo *lo) {
    if (lo) lo->phase = 0;
}

double lo_get_norm_freq(const Lo *lo) { return lo ? lo->norm_freq : 0.0; }

void lo_set_norm_freq(Lo *lo, double norm_freq) {
    if (!lo) return;
    lo->phase_inc = qn::phase_increment(norm_freq);
    lo->norm_freq = norm_freq;
}

uint32_t lo_get_phase(const Lo *lo) { return lo ? lo->phase : 0; }
void lo_set_phase(Lo *lo, uint32_t phase) {
    if (lo) lo->phase = phase;
}
uint32_t lo_get_phase_inc(const Lo *lo) { return lo ? lo->phase_inc : 0; }

size_t lo_steps_max_out(void) { return 65536; }
size_t lo_steps_ctrl_max_out(void) { return 65536; }

size_t lo_steps(Lo *lo, size_t n, cf32 *out, size_t out_cap) {
    if (!lo || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    const float *lut = lo_sin_lut;
    const uint32_t inc = lo->phase_inc;
    // The cosine phase runs a quarter turn ahead of the sine phase.
    uint32_t sin_phase = lo->phase;
    uint32_t cos_phase = sin_phase + (qn::kQuarterTurn << 16);
    for (size_t k = 0; k < count; ++k) {
        out[k].re = lut[cos_phase >> 16];
        out[k].im = lut[sin_phase >> 16];
        sin_phase += inc;
        cos_phase += inc;
    }
    lo->phase = sin_phase;
    return count;
}

size_t lo_steps_ctrl(Lo *lo, const double *ctrl, size_t n, cf32 *out, size_t out_cap) {
    if (!lo || !ctrl || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    const float *lut = lo_sin_lut;
    uint32_t phase = lo->phase;
    for (size_t k = 0; k < count; ++k) {
        const uint32_t idx = phase >> 16;
        out[k].re = lut[(idx + qn::kQuarterTurn) & qn::kLutMask];
        out[k].im = lut[idx];
        phase += lo->phase_inc + qn::phase_increment(ctrl[k]);
    }
    lo->phase = phase;
    return count;
}

size_t lo_state_bytes(const Lo *lo) { return lo ? qn::kStateBytes : 0; }

void lo_get_state(const Lo *lo, void *out) {
    if (!lo || !out) return;
    auto *bytes = static_cast<unsigned char *>(out);
    qn::blob::write_header(bytes, qn::kMagic, 1, qn::kStateBytes);
    qn::blob::put<uint32_t>(bytes + 16, lo->phase);
}

int lo_set_state(Lo *lo, const void *blob) {
    if (!lo || !blob) return QN_ERR_INVALID;
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!qn::blob::header_matches(bytes, qn::kMagic, 1, qn::kStateBytes)) return QN_ERR_STATE;
    lo->phase = qn::blob::get<uint32_t>(bytes + 16);
    return QN_OK;
}

}  // extern "C"
