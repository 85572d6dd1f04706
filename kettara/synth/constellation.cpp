// Constellations of the linear modulations, computed once in double precision with the
// machine-independent sine and cosine and rounded once to float.
#include "constellation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "det_math.hpp"
#include "state_blob.hpp"
#include "wfm_classes.hpp"
#include "wfm_spec.h"

namespace qn::synth {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kQpskAmp = 0.70710677f;

// The index whose Gray label i XOR (i >> 1) is v.
uint32_t gray_index(uint32_t v) {
    uint32_t k = 0;
    for (uint32_t g = v; g != 0; g >>= 1) k ^= g;
    return k;
}

cf32 unit_phasor(double angle) {
    return cf32{static_cast<float>(qn::det_cos(angle)), static_cast<float>(qn::det_sin(angle))};
}

// exp(j 2 pi k / M) for the Gray index k of each label; QPSK sits at odd multiples of pi/4.
std::vector<cf32> psk(uint32_t bits) {
    const uint32_t m = 1u << bits;
    std::vector<cf32> t(m);
    for (uint32_t v = 0; v < m; ++v) {
        double angle = static_cast<double>(gray_index(v)) * kTwoPi / static_cast<double>(m);
        if (bits == 2) angle += 0.7853981633974483;
        t[v] = unit_phasor(angle);
    }
    return t;
}

// Gray-labelled PAM level of a rail of `levels` points, lowest first: 2j - (levels - 1).
double pam(uint32_t label, uint32_t levels) {
    return 2.0 * static_cast<double>(gray_index(label)) - static_cast<double>(levels - 1);
}

// Square QAM: the first half of the bits the in-phase level, the second the quadrature one.
std::vector<cf32> square_qam(uint32_t bits) {
    const uint32_t m = 1u << bits;
    const uint32_t half = bits / 2;
    const uint32_t levels = 1u << half;
    const double scale = std::sqrt(2.0 * static_cast<double>(m - 1) / 3.0);
    std::vector<cf32> t(m);
    for (uint32_t v = 0; v < m; ++v) {
        t[v] = cf32{static_cast<float>(pam(v >> half, levels) / scale),
                    static_cast<float>(pam(v & (levels - 1), levels) / scale)};
    }
    return t;
}

// One real PAM rail at unit average power.
std::vector<cf32> ask(uint32_t bits) {
    const uint32_t m = 1u << bits;
    const double scale = std::sqrt((static_cast<double>(m) * m - 1.0) / 3.0);
    std::vector<cf32> t(m);
    for (uint32_t v = 0; v < m; ++v) t[v] = cf32{static_cast<float>(pam(v, m) / scale), 0.0f};
    return t;
}

// in-phase by 2^((bits-1)/2) quadrature levels (first bits the in-phase index), whose
// columns beyond the cross's half-width C fold onto the rows beyond the grid: (i, q) with
// |i| > C goes to (sign(i) |q|, sign(q) (|i| - L_Q / 2)); scaled to unit average power.
std::vector<cf32> cross_qam(uint32_t bits) {
    const uint32_t qbits = (bits - 1) / 2;
    const uint32_t li = 1u << (qbits + 1), lq = 1u << qbits;
    const double shift = lq / 2.0;
    const double half_width = static_cast<double>(li - 1) - shift;
    std::vector<double> re(1u << bits), im(1u << bits);
    double power = 0.0;
    for (uint32_t v = 0; v < re.size(); ++v) {
        double i = pam(v >> qbits, li), q = pam(v & (lq - 1), lq);
        if (std::fabs(i) > half_width) {
            const double folded = std::copysign(std::fabs(q), i);
            q = std::copysign(std::fabs(i) - shift, q);
            i = folded;
        }
        re[v] = i;
        im[v] = q;
        power += i * i + q * q;
    }
    const double scale = std::sqrt(power / static_cast<double>(re.size()));
    std::vector<cf32> t(re.size());
    for (size_t v = 0; v < t.size(); ++v) t[v] = cf32{static_cast<float>(re[v] / scale), static_cast<float>(im[v] / scale)};
    return t;
}

// Where the points of one quadrant of an APSK constellation sit, by the label's leading
// (position) bits: ring (0 the inner one) and angle in degrees from the quadrant's start.
struct RingPoint {
    uint32_t ring;
    double degrees;
};
// 16APSK (4 + 12): outer 45, 15, 75 degrees for 00, 01, 10; inner 11.
constexpr RingPoint k16Apsk[4] = {{1, 45.0}, {1, 15.0}, {1, 75.0}, {0, 45.0}};
// 32APSK (4 + 12 + 16): outer 11.25, 33.75, 78.75, 56.25 for 000, 001, 010, 011; middle
// 15, 45 for 100, 101; inner 110; middle 75 for 111.
constexpr RingPoint k32Apsk[8] = {{2, 11.25}, {2, 33.75}, {2, 78.75}, {2, 56.25},
                                  {1, 15.0},  {1, 45.0},  {0, 45.0},  {1, 75.0}};

// APSK: the last two bits name the quadrant by its Gray label, the leading bits the point
// in it; odd quadrants are mirrored, so neighbours across a quadrant edge share their
// leading bits. Ring radii 1, ratios[0] (and ratios[1]), scaled to unit average power.
std::vector<cf32> apsk(uint32_t bits, const double *ratios) {
    const RingPoint *layout = bits == 4 ? k16Apsk : k32Apsk;
    const double radius[3] = {1.0, ratios[0], bits == 5 ? ratios[1] : 0.0};
    const uint32_t m = 1u << bits;
    double power = 0.0;
    for (uint32_t v = 0; v < m; ++v) power += radius[layout[v >> 2].ring] * radius[layout[v >> 2].ring];
    const double scale = std::sqrt(power / static_cast<double>(m));
    std::vector<cf32> t(m);
    for (uint32_t v = 0; v < m; ++v) {
        const RingPoint &p = layout[v >> 2];
        const uint32_t quadrant = gray_index(v & 3);
        const double degrees = 90.0 * quadrant + ((quadrant & 1) != 0 ? 90.0 - p.degrees : p.degrees);
        const cf32 u = unit_phasor(degrees * kTwoPi / 360.0);
        const double r = radius[p.ring] / scale;
        t[v] = cf32{static_cast<float>(u.re * r), static_cast<float>(u.im * r)};
    }
    return t;
}

std::vector<cf32> table_of(uint32_t bitmod) {
    switch (bitmod) {
    case WFM_BITMOD_NONE: return {{0.0f, 0.0f}, {1.0f, 0.0f}};
    case WFM_BITMOD_OOK: return {{0.0f, 0.0f}, {static_cast<float>(std::sqrt(2.0)), 0.0f}};
    // Offset QPSK: first bit the in-phase sign, second the quadrature sign, 1 negative.
    case WFM_BITMOD_OQPSK: return {{kQpskAmp, kQpskAmp}, {kQpskAmp, -kQpskAmp}, {-kQpskAmp, kQpskAmp}, {-kQpskAmp, -kQpskAmp}};
    // pi/4-QPSK: the eight phases its steps visit, exp(j pi n / 4).
    case WFM_BITMOD_PI4QPSK: {
        std::vector<cf32> t(8);
        for (uint32_t n = 0; n < 8; ++n) t[n] = unit_phasor(static_cast<double>(n) * kTwoPi / 8.0);
        return t;
    }
    default: break;
    }
    const LinearClass *c = linear_class_of_bitmod(bitmod);
    if (std::strcmp(c->family, "apsk") == 0) return apsk(c->bits_per_symbol, default_apsk_rings(bitmod));
    if (std::strcmp(c->family, "qam") == 0) {
        return c->bits_per_symbol % 2 == 0 ? square_qam(c->bits_per_symbol) : cross_qam(c->bits_per_symbol);
    }
    if (std::strcmp(c->family, "ask") == 0) return ask(c->bits_per_symbol);
    return psk(c->bits_per_symbol);
}

}  // namespace

const double *default_apsk_rings(uint32_t bitmod) {
    static constexpr double k16[1] = {3.15};
    static constexpr double k32[2] = {2.84, 5.27};
    return bitmod == WFM_BITMOD_16APSK ? k16 : bitmod == WFM_BITMOD_32APSK ? k32 : nullptr;
}

namespace {

// Phase steps of pi/4-QPSK in eighths of a turn for the dibits 00, 01, 10, 11.
constexpr uint8_t kPi4Steps[4] = {1, 3, 7, 5};

}  // namespace

Constellation constellation(uint32_t bitmod) {
    static const std::array<std::vector<cf32>, WFM_BITMOD_COUNT> tables = [] {
        std::array<std::vector<cf32>, WFM_BITMOD_COUNT> t;
        for (uint32_t b = 0; b < WFM_BITMOD_COUNT; ++b) t[b] = table_of(b);
        return t;
    }();
    return {tables[bitmod].data(), linear_class_of_bitmod(bitmod)->bits_per_symbol};
}

SymbolMapper::SymbolMapper(uint32_t bitmod, int nsps, const double *rings)
    : table_(constellation(bitmod)), differential_(bitmod == WFM_BITMOD_PI4QPSK) {
    if (rings && default_apsk_rings(bitmod)) {
        own_ = apsk(table_.bits, rings);
        table_.points = own_.data();
    }
    if (bitmod == WFM_BITMOD_OQPSK) delayed_.assign(static_cast<size_t>(nsps > 1 ? nsps / 2 : 0), 0.0f);
}

cf32 SymbolMapper::map(uint32_t label) {
    label &= (1u << table_.bits) - 1;
    if (!differential_) return table_.points[label];
    phase_ = static_cast<uint8_t>((phase_ + kPi4Steps[label]) & 7);
    return table_.points[phase_];
}

void SymbolMapper::finish(cf32 *out, size_t m) {
    if (delayed_.empty()) return;
    for (size_t k = 0; k < m; ++k) {
        const float late = delayed_[delay_pos_];
        delayed_[delay_pos_] = out[k].im;
        out[k].im = late;
        if (++delay_pos_ == delayed_.size()) delay_pos_ = 0;
    }
}

void SymbolMapper::rewind() {
    phase_ = 0;
    std::fill(delayed_.begin(), delayed_.end(), 0.0f);
    delay_pos_ = 0;
}

size_t SymbolMapper::state_bytes() const {
    if (differential_) return 1;
    return delayed_.empty() ? 0 : 8 + delayed_.size() * sizeof(float);
}

void SymbolMapper::save(uint8_t *out) const {
    if (differential_) {
        out[0] = phase_;
    } else if (!delayed_.empty()) {
        qn::blob::put<uint64_t>(out, delay_pos_);
        std::memcpy(out + 8, delayed_.data(), delayed_.size() * sizeof(float));
    }
}

bool SymbolMapper::fits(const uint8_t *in) const {
    if (differential_) return in[0] < 8;
    return delayed_.empty() || qn::blob::get<uint64_t>(in) < delayed_.size();
}

void SymbolMapper::restore(const uint8_t *in) {
    if (differential_) {
        phase_ = in[0];
    } else if (!delayed_.empty()) {
        delay_pos_ = static_cast<size_t>(qn::blob::get<uint64_t>(in));
        std::memcpy(delayed_.data(), in + 8, delayed_.size() * sizeof(float));
    }
}

}  // namespace qn::synth
