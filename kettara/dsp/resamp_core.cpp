#include "resamp_core.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "checked.hpp"
#include "det_math.hpp"
#include "resamp_core.hpp"
#include "state_blob.hpp"

struct Resamp {
    double rate = 0;           // output rate / input rate
    uint64_t num_phases = 0;   // P
    uint64_t num_taps = 0;     // T
    int32_t phase_bits = 0;    // P = 2^phase_bits
    int32_t up = 0;            // 1 when interpolating
    std::unique_ptr<float[]> bank;
    uint32_t acc = 0;          // phase within one step, in units of 2^-32
    uint32_t step = 0;         // accumulator increment per output (up) or input (down)
    std::unique_ptr<cf32[]> ring;  // history written twice, ring_len apart
    uint64_t ring_len = 0;
    uint64_t ring_mask = 0;
    uint64_t ring_idx = 0;     // position of the newest input
    std::unique_ptr<cf32[]> acc_buf;  // decimator accumulators (T)
    std::unique_ptr<cf32[]> delay;    // decimator delay line (max(1, T - 1))
    uint32_t ctrl_acc = 0;     // variable-ratio fractional phase
    uint32_t ctrl_skip = 0;    // inputs to consume before the next variable-ratio output
    uint32_t ctrl_backlog = 0; // inputs pushed but not yet counted against ctrl_skip
    qn::SimdLevel level = qn::best_simd_level();  // the kernel path of the dot products
};

namespace qn {
namespace {

constexpr char kMagic[] = "RSMP";
constexpr uint16_t kVersion = 2;
constexpr std::size_t kFixedBytes = 40;
constexpr double kTwo32 = 4294967296.0;

// The accumulator step for a rate; false for a rate that is not finite and positive or whose
// step would truncate to 0 (only rate 1 itself means one input per output).
bool step_for_rate(double rate, uint32_t &step) {
    if (!std::isfinite(rate) || !(rate > 0.0)) return false;
    const double v = rate >= 1.0 ? kTwo32 / rate : kTwo32 * rate;
    step = v > 0.0 && v < kTwo32 ? static_cast<uint32_t>(v) : 0;
    return step != 0 || rate == 1.0;
}

void apply_rate(Resamp *r, double rate, uint32_t step) {
    r->rate = rate;
    r->step = step;
    r->up = rate >= 1.0;
}

uint32_t phase_of(const Resamp *r, uint32_t acc) {
    return r->phase_bits ? acc >> (32 - r->phase_bits) : 0;
}

cf32 output_at(const Resamp *r, uint32_t acc) {
    return polyphase_dot(r->level, r->bank.get() + uint64_t{phase_of(r, acc)} * r->num_taps,
                         r->ring.get() + r->ring_idx, r->num_taps);
}

void push(Resamp *r, cf32 x) {
    r->ring_idx = (r->ring_idx - 1) & r->ring_mask;
    r->ring[r->ring_idx] = x;
    r->ring[r->ring_idx + r->ring_len] = x;
}

std::size_t delay_len(uint64_t num_taps) { return num_taps > 1 ? num_taps - 1 : 1; }

template <typename T>
std::unique_ptr<T[]> zeroed(std::size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]());
}

// A power-of-two phase count, since the phase is the accumulator's top bits, and sizes whose
// history ring can be allocated at all.
bool valid_shape(std::size_t num_phases, std::size_t num_taps) {
    return std::has_single_bit(num_phases) && num_phases <= (uint64_t{1} << 32) && num_taps > 0 &&
           num_taps <= (uint64_t{1} << 40);
}

// Takes the bank; null (the bank freed with everything else) on refusal or allocation failure.
Resamp *create_from_bank(std::size_t num_phases, std::size_t num_taps, std::unique_ptr<float[]> bank, double rate) {
    uint32_t step = 0;
    if (!bank || !valid_shape(num_phases, num_taps) || !step_for_rate(rate, step)) return nullptr;
    std::unique_ptr<Resamp> r(new (std::nothrow) Resamp);
    if (!r) return nullptr;
    apply_rate(r.get(), rate, step);
    r->num_phases = num_phases;
    r->num_taps = num_taps;
    r->phase_bits = std::countr_zero(num_phases);
    r->bank = std::move(bank);
    r->ring_len = std::bit_ceil(num_taps);
    r->ring_mask = r->ring_len - 1;
    r->ring = zeroed<cf32>(2 * r->ring_len);
    r->acc_buf = zeroed<cf32>(num_taps);
    r->delay = zeroed<cf32>(delay_len(num_taps));
    if (!r->ring || !r->acc_buf || !r->delay) return nullptr;
    return r.release();
}

// I0(x) = sum of t_k with t_0 = 1, t_k = t_(k-1) ((x/2)/k)^2, until a term falls below
// 1e-20 of the sum, at most 29 terms after the first.
double bessel_i0(double x) {
    const double half = x / 2.0;
    double sum = 1.0, term = 1.0;
    for (int k = 1; k <= 29; ++k) {
        const double q = half / k;
        term *= q * q;
        sum += term;
        if (term < sum * 1e-20) break;
    }
    return sum;
}

size_t interpolate(Resamp *r, const cf32 *in, size_t n_in, cf32 *out, size_t out_cap) {
    size_t i = 0, n = 0;
    do {
        out[n++] = output_at(r, r->acc);
        const uint32_t next = r->acc + r->step;
        if (next <= r->acc) push(r, in[i++]);
        r->acc = next;
    } while (i < n_in && n < out_cap);
    return n;
}

// Transposed structure: every input is spread over the accumulators of the coming outputs.
size_t decimate(Resamp *r, const cf32 *in, size_t n_in, cf32 *out, size_t out_cap) {
    const uint64_t taps = r->num_taps;
    cf32 *acc = r->acc_buf.get();
    cf32 *delay = r->delay.get();
    const float gain = static_cast<float>(r->rate);
    size_t n = 0;
    for (size_t i = 0; i < n_in && n < out_cap; ++i) {
        const cf32 xs = {in[i].re * gain, in[i].im * gain};
        const float *phase = r->bank.get() + uint64_t{phase_of(r, r->acc)} * taps;
        for (uint64_t k = 0; k < taps; ++k) {
            acc[k].re += phase[taps - 1 - k] * xs.re;
            acc[k].im += phase[taps - 1 - k] * xs.im;
        }
        const uint32_t next = r->acc + r->step;
        if (next <= r->acc) {
            if (taps == 1) {
                out[n] = acc[0];
            } else {
                out[n] = {delay[0].re + acc[0].re, delay[0].im + acc[0].im};
                for (uint64_t j = 0; j + 2 < taps; ++j)
                    delay[j] = {delay[j + 1].re + acc[j + 1].re, delay[j + 1].im + acc[j + 1].im};
                delay[taps - 2] = acc[taps - 1];
            }
            std::fill_n(acc, taps, cf32{0.0f, 0.0f});
            ++n;
        }
        r->acc = next;
    }
    return n;
}

// Whole inputs and the 2^-32 fraction between variable-ratio outputs at ratio d.
void ctrl_steps(double d, uint32_t &int_step, uint32_t &frac_step) {
    if (!(d > 1e-6)) {
        int_step = 1000000;
        frac_step = 0;
        return;
    }
    const double q = 1.0 / d;
    const double qi = std::trunc(q);
    const double qf = q - qi;
    const double frac = qf * kTwo32;
    frac_step = qf >= 1.0 ? 0xFFFFFFFFu : frac > 0.0 ? static_cast<uint32_t>(frac) : 0;
    int_step = !(frac > 0.0) && qi >= 4294967295.0 ? 0xFFFFFFFFu : saturating_count<uint32_t>(qi);
}

// The taps after the last whole group of four, added to y in increasing k.
cf32 dot_tail(const float *taps, const cf32 *x, std::size_t k, std::size_t num_taps, cf32 y) {
    for (; k < num_taps; ++k) {
        y.re += taps[k] * x[k].re;
        y.im += taps[k] * x[k].im;
    }
    return y;
}

QN_SCALAR_PATH cf32 dot_scalar(const float *taps, const cf32 *x, std::size_t num_taps) {
    float re[4] = {}, im[4] = {};
    std::size_t k = 0;
    for (; k + 4 <= num_taps; k += 4) {
        for (std::size_t j = 0; j < 4; ++j) {
            re[j] += taps[k + j] * x[k + j].re;
            im[j] += taps[k + j] * x[k + j].im;
        }
    }
    return dot_tail(taps, x, k, num_taps, {(re[0] + re[2]) + (re[1] + re[3]), (im[0] + im[2]) + (im[1] + im[3])});
}

// (s0 + s2, s1 + s3) as (re, im, re, im) -> (s0 + s2) + (s1 + s3), then the tail.
cf32 combine_pairs(__m128 pairs, const float *taps, const cf32 *x, std::size_t k, std::size_t num_taps) {
    const __m128 sum = _mm_add_ps(pairs, _mm_movehl_ps(pairs, pairs));
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, sum);
    return dot_tail(taps, x, k, num_taps, {lanes[0], lanes[1]});
}

cf32 dot_sse2(const float *taps, const cf32 *x, std::size_t num_taps) {
    __m128 even = _mm_setzero_ps();  // (s0.re, s0.im, s1.re, s1.im)
    __m128 odd = _mm_setzero_ps();   // (s2.re, s2.im, s3.re, s3.im)
    std::size_t k = 0;
    for (; k + 4 <= num_taps; k += 4) {
        const __m128 t = _mm_loadu_ps(taps + k);
        even = _mm_add_ps(even, _mm_mul_ps(_mm_unpacklo_ps(t, t), _mm_loadu_ps(&x[k].re)));
        odd = _mm_add_ps(odd, _mm_mul_ps(_mm_unpackhi_ps(t, t), _mm_loadu_ps(&x[k + 2].re)));
    }
    return combine_pairs(_mm_add_ps(even, odd), taps, x, k, num_taps);
}

// The four partial sums in one register: (s0, s1) in the low half, (s2, s3) in the high.
[[gnu::target("avx2")]] cf32 dot_avx2(const float *taps, const cf32 *x, std::size_t num_taps) {
    const __m256i each_twice = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    __m256 sums = _mm256_setzero_ps();
    std::size_t k = 0;
    for (; k + 4 <= num_taps; k += 4) {
        const __m256 t = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(taps + k)), each_twice);
        sums = _mm256_add_ps(sums, _mm256_mul_ps(t, _mm256_loadu_ps(&x[k].re)));
    }
    const __m128 pairs = _mm_add_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
    return combine_pairs(pairs, taps, x, k, num_taps);
}

}  // namespace

cf32 polyphase_dot(SimdLevel level, const float *taps, const cf32 *x, std::size_t num_taps) {
    switch (level) {
    case SimdLevel::scalar: return dot_scalar(taps, x, num_taps);
    case SimdLevel::sse2: return dot_sse2(taps, x, num_taps);
    case SimdLevel::avx2: return dot_avx2(taps, x, num_taps);
    }
    return dot_sse2(taps, x, num_taps);
}

void builtin_bank(float *bank) {
    constexpr int kHalf = 38912;  // M, the prototype's half-length
    constexpr double kBeta = 2.0 * 2.82663;
    constexpr double kInvHalf = 2.5699013157894735e-05;     // 1 / M
    constexpr double kPiOverPhases = 0.0007669903939428206;  // pi / 4096
    const double window_scale = 1.0 / bessel_i0(kBeta);
    for (std::size_t p = 0; p < kBuiltinPhases; ++p) {
        for (std::size_t t = 0; t < kBuiltinTaps; ++t) {
            const int offset = static_cast<int>(t * kBuiltinPhases + p) - kHalf;
            const double u = offset * kInvHalf;
            const double w = window_scale * bessel_i0(kBeta * std::sqrt(1.0 - u * u));
            const double theta = offset * kPiOverPhases;
            const double h = offset == 0 ? w : w * (det_sin(theta) / theta);
            bank[p * kBuiltinTaps + t] = static_cast<float>(h);
        }
    }
}

void set_ctrl_phase(Resamp *r, uint32_t phase) {
    if (r) r->ctrl_acc = phase;
}

}  // namespace qn

extern "C" {

Resamp *resamp_create(double rate) {
    std::unique_ptr<float[]> bank(new (std::nothrow) float[qn::kBuiltinPhases * qn::kBuiltinTaps]);
    if (!bank) return nullptr;
    qn::builtin_bank(bank.get());
    return qn::create_from_bank(qn::kBuiltinPhases, qn::kBuiltinTaps, std::move(bank), rate);
}

Resamp *resamp_create_custom(size_t num_phases, size_t num_taps, const float *bank, double rate) {
    const auto size = qn::checked_mul<size_t>(num_phases, num_taps);
    uint32_t step = 0;
    // Checked before copying: a refused bank is never copied, the caller's is never freed.
    if (!bank || !size || !qn::valid_shape(num_phases, num_taps) || !qn::step_for_rate(rate, step)) return nullptr;
    std::unique_ptr<float[]> copy(new (std::nothrow) float[*size]);
    if (!copy) return nullptr;
    std::copy_n(bank, *size, copy.get());
    return qn::create_from_bank(num_phases, num_taps, std::move(copy), rate);
}

void resamp_destroy(Resamp *r) { delete r; }

void resamp_reset(Resamp *r) {
    if (!r) return;
    r->acc = 0;
    r->ring_idx = 0;
    r->ctrl_acc = r->ctrl_skip = r->ctrl_backlog = 0;
    std::fill_n(r->ring.get(), 2 * r->ring_len, cf32{0.0f, 0.0f});
    std::fill_n(r->acc_buf.get(), r->num_taps, cf32{0.0f, 0.0f});
    std::fill_n(r->delay.get(), qn::delay_len(r->num_taps), cf32{0.0f, 0.0f});
}

double resamp_get_rate(const Resamp *r) { return r ? r->rate : 0.0; }

void resamp_set_rate(Resamp *r, double rate) {
    uint32_t step = 0;
    if (r && qn::step_for_rate(rate, step)) qn::apply_rate(r, rate, step);
}

size_t resamp_get_num_phases(const Resamp *r) { return r ? r->num_phases : 0; }
size_t resamp_get_num_taps(const Resamp *r) { return r ? r->num_taps : 0; }

double resamp_dc_gain(const Resamp *r) {
    double sum = 0.0;
    if (!r) return sum;
    for (uint64_t k = 0; k < r->num_taps; ++k) sum += r->bank[k];
    return sum;
}

double resamp_get_ctrl_acc(const Resamp *r) { return r ? r->ctrl_acc * 0x1p-32 : 0.0; }

size_t resamp_interp_inputs_needed(const Resamp *r, size_t n_out) {
    if (!r) return 0;
    if (r->step == 0) return n_out;
    const unsigned __int128 total = static_cast<unsigned __int128>(n_out) * r->step + r->acc;
    return static_cast<size_t>(total >> 32);
}

size_t resamp_interp_fill(Resamp *r, const cf32 *in, cf32 *out, size_t n_out) {
    if (!r || !in || !out) return 0;
    size_t i = 0;
    for (size_t n = 0; n < n_out; ++n) {
        out[n] = qn::output_at(r, r->acc);
        const uint32_t next = r->acc + r->step;
        if (next <= r->acc) qn::push(r, in[i++]);
        r->acc = next;
    }
    return i;
}

size_t resamp_execute(Resamp *r, const cf32 *in, size_t n_in, cf32 *out, size_t out_cap) {
    if (!r || !in || !out || n_in == 0 || out_cap == 0) return 0;
    return r->up ? qn::interpolate(r, in, n_in, out, out_cap) : qn::decimate(r, in, n_in, out, out_cap);
}

size_t resamp_execute_ctrl_push(Resamp *r, cf32 *out, size_t out_cap, cf32 x, double ctrl) {
    if (!r || (!out && out_cap != 0)) return 0;
    uint32_t int_step = 0, frac_step = 0;
    qn::ctrl_steps(ctrl + r->rate, int_step, frac_step);
    size_t n = 0;
    while (n < out_cap) {
        while (r->ctrl_skip == 0 && n < out_cap) {
            out[n++] = qn::output_at(r, r->ctrl_acc);
            const uint32_t next = r->ctrl_acc + frac_step;
            r->ctrl_skip = int_step + (next < r->ctrl_acc ? 1u : 0u);
            r->ctrl_acc = next;
        }
        if (r->ctrl_skip > 0) {
            --r->ctrl_skip;
            if (r->ctrl_backlog == 0) {
                qn::push(r, x);
                return n;
            }
            --r->ctrl_backlog;
        }
    }
    // No room left before x was counted: keep it in the history, count it later.
    qn::push(r, x);
    ++r->ctrl_backlog;
    return n;
}

size_t resamp_execute_ctrl(Resamp *r, const cf32 *in, const double *ctrl, size_t n_in, cf32 *out, size_t out_cap) {
    size_t total = 0;
    if (!r || !in || !ctrl || !out) return total;
    for (size_t i = 0; i < n_in && total < out_cap; ++i)
        total += resamp_execute_ctrl_push(r, out + total, out_cap - total, in[i], ctrl[i]);
    return total;
}

size_t resamp_state_bytes(const Resamp *r) {
    if (!r) return 0;
    const size_t delay_bytes = r->num_taps >= 2 ? 8 * (r->num_taps - 1) : 0;
    return qn::kFixedBytes + 16 * r->ring_len + 8 * r->num_taps + delay_bytes;
}

void resamp_get_state(const Resamp *r, void *out) {
    if (!r || !out) return;
    auto *bytes = static_cast<unsigned char *>(out);
    qn::blob::write_header(bytes, qn::kMagic, qn::kVersion, static_cast<uint32_t>(resamp_state_bytes(r)));
    qn::blob::put<uint32_t>(bytes + 16, r->acc);
    qn::blob::put<uint64_t>(bytes + 20, r->ring_idx);
    qn::blob::put<uint32_t>(bytes + 28, r->ctrl_acc);
    qn::blob::put<uint32_t>(bytes + 32, r->ctrl_skip);
    qn::blob::put<uint32_t>(bytes + 36, r->ctrl_backlog);
    unsigned char *at = bytes + qn::kFixedBytes;
    std::memcpy(at, r->ring.get(), 16 * r->ring_len);
    at += 16 * r->ring_len;
    std::memcpy(at, r->acc_buf.get(), 8 * r->num_taps);
    at += 8 * r->num_taps;
    if (r->num_taps >= 2) std::memcpy(at, r->delay.get(), 8 * (r->num_taps - 1));
}

int resamp_set_state(Resamp *r, const void *blob) {
    if (!r || !blob) return QN_ERR_INVALID;
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!qn::blob::header_matches(bytes, qn::kMagic, qn::kVersion, resamp_state_bytes(r))) return QN_ERR_STATE;
    // A newest-input position outside the ring would send the next output past it.
    const uint64_t ring_idx = qn::blob::get<uint64_t>(bytes + 20);
    if (ring_idx > r->ring_mask) return QN_ERR_STATE;
    r->acc = qn::blob::get<uint32_t>(bytes + 16);
    r->ring_idx = ring_idx;
    r->ctrl_acc = qn::blob::get<uint32_t>(bytes + 28);
    r->ctrl_skip = qn::blob::get<uint32_t>(bytes + 32);
    r->ctrl_backlog = qn::blob::get<uint32_t>(bytes + 36);
    const unsigned char *at = bytes + qn::kFixedBytes;
    std::memcpy(r->ring.get(), at, 16 * r->ring_len);
    at += 16 * r->ring_len;
    std::memcpy(r->acc_buf.get(), at, 8 * r->num_taps);
    at += 8 * r->num_taps;
    if (r->num_taps >= 2) std::memcpy(r->delay.get(), at, 8 * (r->num_taps - 1));
    return QN_OK;
}

}  // extern "C"
