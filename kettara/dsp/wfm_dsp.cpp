#include "wfm_dsp.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "checked.hpp"
#include "det_math.hpp"

namespace {

// The RRC impulse response at t symbols before normalisation.
double rrc_value(double t, double beta) {
    if (std::fabs(t) < 1e-9) return 1.0 + beta * 0.27323954473516276;  // 1 - beta + 4 beta / pi
    if (beta > 0.0 && std::fabs(std::fabs(t) - 0.25 / beta) < 1e-9) {
        // The removable singularity at |t| = 1 / (4 beta).
        const double s = qn::det_sin(0.7853981633974483 / beta);
        const double c = qn::det_cos(0.7853981633974483 / beta);
        return 0.7071067811865475 * beta * (0.3633802276324186 * c + 1.6366197723675815 * s);
    }
    const double g = 3.141592653589793 * t;
    return (t * beta * 4 * qn::det_cos((1 + beta) * g) + qn::det_sin((1 - beta) * g)) /
           ((1 - t * beta * (t * beta) * 16) * g);
}

}  // namespace

extern "C" {

void wfm_rrc_taps(int sps, int span, float *out, double beta) {
    if (sps < 1 || span < 1 || !out) return;
    // A roll-off is a fraction of the symbol rate, 0 to 1: below (or NaN) the closed form
    // divides by zero on the tap grid, far above it overflows. Outside values are clamped.
    beta = std::isnan(beta) ? 0.0 : std::clamp(beta, 0.0, 1.0);
    const int64_t half = int64_t{sps} * span;
    const double inv_sps = 1.0 / sps;
    double energy = 0.0;
    for (int64_t i = 0; i <= 2 * half; ++i) {
        const double h = rrc_value(static_cast<double>(i - half) * inv_sps, beta);
        out[i] = static_cast<float>(h);
        energy += h * h;
    }
    const double scale = energy > 0.0 ? 1.0 / std::sqrt(energy) : 1.0;
    for (int64_t i = 0; i <= 2 * half; ++i) out[i] = static_cast<float>(static_cast<double>(out[i]) * scale);
}

void wfm_polyphase_bank(const float *taps, size_t n_taps, size_t n_phases, size_t taps_per_phase, float *bank) {
    if (!taps || !bank) return;
    for (size_t p = 0; p < n_phases; ++p) {
        const size_t present = p < n_taps ? (n_taps - p - 1) / n_phases + 1 : 0;  // taps p, p + n_phases, ...
        for (size_t k = 0; k < taps_per_phase; ++k)
            bank[p * taps_per_phase + k] = k < present ? taps[p + k * n_phases] : 0.0f;
    }
}

void wfm_rrc_polyphase_bank(int sps, uint32_t span, float *bank, double beta) {
    // The taps are sized by an int count: sps * span must fit one.
    if (sps < 1 || span < 1 || !bank || int64_t{sps} * span > INT_MAX) return;
    const size_t per_phase = 2 * size_t{span} + 1;
    const size_t n = 2 * size_t(sps) * span + 1;
    std::unique_ptr<float[]> taps(new (std::nothrow) float[n]);
    if (!taps) return;
    wfm_rrc_taps(sps, static_cast<int>(span), taps.get(), beta);
    const float gain = static_cast<float>(std::sqrt(static_cast<double>(sps)));
    for (size_t i = 0; i < n; ++i) taps[i] *= gain;
    wfm_polyphase_bank(taps.get(), n, static_cast<size_t>(sps), per_phase, bank);
}

void wfm_dsss_spread(const cf32 *symbols, size_t n_symbols, const uint8_t *chips, size_t n_chips, cf32 *out) {
    if (!symbols || !chips || !out) return;
    for (size_t k = 0; k < n_symbols; ++k) {
        const cf32 s = symbols[k];
        const cf32 flipped = {-s.re, -s.im};
        for (size_t j = 0; j < n_chips; ++j) *out++ = (chips[j] & 1) ? flipped : s;
    }
}

size_t wfm_cont_dsss_chips(const uint8_t *code, size_t code_len, const uint8_t *data, size_t data_len, size_t n,
                           uint8_t *out, double chips_per_bit) {
    if (!code || !data || !out || code_len == 0 || data_len == 0 || n == 0 || !(chips_per_bit > 0.0)) return 0;
    // The reciprocal, not a division per chip, fixes where bit boundaries fall.
    const double bits_per_chip = 1.0 / chips_per_bit;
    size_t code_pos = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bit = qn::saturating_count<uint64_t>(static_cast<double>(i) * bits_per_chip);
        out[i] = (data[bit % data_len] ^ code[code_pos]) & 1;
        if (++code_pos == code_len) code_pos = 0;
    }
    return n;
}

}  // extern "C"
