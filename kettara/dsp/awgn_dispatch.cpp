#include <bit>
#include <cmath>

#include "awgn_kernels.hpp"

namespace qn {

void lay_noise_onto(const NoiseOnto &onto, cf32 *out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        out[k] = cf32{out[k].re * onto.gain + onto.signal[k].re, out[k].im * onto.gain + onto.signal[k].im};
}

float ln_u24(uint32_t m) {
    const uint32_t row = (std::bit_cast<uint32_t>(static_cast<float>(m)) - kLogRowBits) >> 16;
    const LogRow &r = log_rows()[row];
    double ln;
    ln_from_row<double>(m, r.scaled_c, r.ln_offset, ln);
    return static_cast<float>(ln);
}

float noise_radius(uint32_t m, float amplitude) { return std::sqrt(-2.0f * ln_u24(m)) * amplitude; }

// The one place the noise kernels are chosen: lanes for large requests, then the serial
// generator four samples at a time, then one at a time; each of the level's own build.
void generate_noise(Awgn *g, SimdLevel level, cf32 *out, std::size_t n, const NoiseOnto *onto) {
    Xoshiro x{g->s[0], g->s[1], g->s[2], g->s[3]};
    std::size_t laid = 0;  // the lanes lay their own samples onto the signal
    std::size_t done = 0;
    if (level != SimdLevel::scalar) {  // the scalar path draws and shapes one sample at a time
        const bool avx2 = level == SimdLevel::avx2;
        if (n >= kMinLanedSamples)
            laid = done = avx2 ? generate_laned_avx2(x, g->amplitude, out, n, onto)
                               : generate_laned_sse2(x, g->amplitude, out, n, onto);
        const std::size_t passes = (n - done) / 4;
        if (avx2) generate4_avx2(x, g->amplitude, out + done, passes);
        else generate4_sse2(x, g->amplitude, out + done, passes);
        done += 4 * passes;
    }
    const CosSin *table = angle_table();
    for (std::size_t k = done; k < n; ++k) {
        uint32_t m, angle;
        draw(x, m, angle);
        const float rho = noise_radius(m, g->amplitude);
        out[k].re = rho * table[angle].c;
        out[k].im = rho * table[angle].s;
    }
    if (onto) lay_noise_onto(NoiseOnto{onto->gain, onto->signal + laid}, out + laid, n - laid);
    g->s[0] = x.s0;
    g->s[1] = x.s1;
    g->s[2] = x.s2;
    g->s[3] = x.s3;
}

void noise_radius4(SimdLevel level, const uint32_t *m, float amplitude, float *out) {
    switch (level) {
    case SimdLevel::scalar:
        for (int k = 0; k < 4; ++k) out[k] = noise_radius(m[k], amplitude);
        break;
    case SimdLevel::sse2: radius4_sse2(m, amplitude, out); break;
    case SimdLevel::avx2: radius4_avx2(m, amplitude, out); break;
    }
}

}  // namespace qn
