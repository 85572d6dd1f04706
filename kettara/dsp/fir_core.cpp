#include "fir_core.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "checked.hpp"
#include "fir_core.hpp"
#include "state_blob.hpp"

struct Fir {
    std::unique_ptr<cf32[]> taps_c;  // complex taps, or null
    std::unique_ptr<float[]> taps_r; // real taps, or null
    std::unique_ptr<cf32[]> hist;    // the last num_taps - 1 inputs, oldest first
    std::unique_ptr<cf32[]> work;    // history followed by the current input
    uint64_t work_cap = 0;
    uint64_t num_taps = 0;
};

namespace qn {
namespace {

constexpr char kMagic[] = "FIR_";

template <typename T>
std::unique_ptr<T[]> copy_of(const T *src, std::size_t n) {
    std::unique_ptr<T[]> dst(new (std::nothrow) T[n]);
    if (dst) std::copy(src, src + n, dst.get());
    return dst;
}

Fir *make_filter(std::size_t num_taps) {
    auto f = std::unique_ptr<Fir>(new (std::nothrow) Fir);
    if (!f) return nullptr;
    f->num_taps = num_taps;
    if (num_taps > 1) {
        f->hist.reset(new (std::nothrow) cf32[num_taps - 1]());
        if (!f->hist) return nullptr;
    }
    return f.release();
}

// Vectors of floats holding interleaved (re, im) pairs: several outputs side by side, each
// lane summing exactly as the scalar loop does.
typedef float Floats4 __attribute__((vector_size(16)));
typedef float Floats8 __attribute__((vector_size(32)));

template <typename V>
[[gnu::always_inline]] inline void load(V &v, const float *p) {
    std::memcpy(&v, p, sizeof v);
}

// Outputs from..n-1 one at a time: the scalar path, and the tail of the vector paths.
QN_SCALAR_PATH void real_taps_scalar(const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out, std::size_t from,
                      std::size_t n) {
    for (std::size_t i = from; i < n; ++i) {
        float re = 0.0f, im = 0.0f;
        const cf32 *newest = &work[i + num_taps - 1];
        for (std::size_t k = 0; k < num_taps; ++k) {
            re += taps[k] * newest[-static_cast<std::ptrdiff_t>(k)].re;
            im += taps[k] * newest[-static_cast<std::ptrdiff_t>(k)].im;
        }
        out[i] = {re, im};
    }
}

template <typename V>
[[gnu::always_inline]] inline void real_taps(const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out,
                                             std::size_t n) {
    constexpr std::size_t kFloats = sizeof(V) / sizeof(float);
    constexpr std::size_t kVectors = 4;  // independent sums in flight
    constexpr std::size_t kBlock = kVectors * kFloats / 2;
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        V acc[kVectors] = {};
        const float *newest = &work[i + num_taps - 1].re;
        for (std::size_t k = 0; k < num_taps; ++k) {
            const V tap = V{} + taps[k];
            const float *x = newest - 2 * k;
            for (std::size_t v = 0; v < kVectors; ++v) {
                V xv;
                load(xv, x + v * kFloats);
                acc[v] += tap * xv;
            }
        }
        std::memcpy(&out[i], acc, sizeof acc);
    }
    real_taps_scalar(taps, num_taps, work, out, i, n);
}

void real_taps_sse2(const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out, std::size_t n) {
    real_taps<Floats4>(taps, num_taps, work, out, n);
}

[[gnu::target("avx2")]] void real_taps_avx2(const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out,
                                            std::size_t n) {
    real_taps<Floats8>(taps, num_taps, work, out, n);
}

// Each complex product is formed, then added to the running sums.
void complex_taps(const cf32 *taps, std::size_t num_taps, const cf32 *work, cf32 *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        float re = 0.0f, im = 0.0f;
        const cf32 *newest = &work[i + num_taps - 1];
        for (std::size_t k = 0; k < num_taps; ++k) {
            const cf32 h = taps[k], x = newest[-static_cast<std::ptrdiff_t>(k)];
            re += h.re * x.re - h.im * x.im;
            im += h.re * x.im + h.im * x.re;
        }
        out[i] = {re, im};
    }
}

std::size_t history_len(const Fir *f) { return f->num_taps - 1; }

}  // namespace

void fir_real_taps(SimdLevel level, const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out,
                   std::size_t n) {
    switch (level) {
    case SimdLevel::scalar: real_taps_scalar(taps, num_taps, work, out, 0, n); break;
    case SimdLevel::sse2: real_taps_sse2(taps, num_taps, work, out, n); break;
    case SimdLevel::avx2: real_taps_avx2(taps, num_taps, work, out, n); break;
    }
}

}  // namespace qn

extern "C" {

Fir *fir_create(const cf32 *taps, size_t n) {
    if (!taps || n == 0) return nullptr;
    std::unique_ptr<Fir> f(qn::make_filter(n));
    if (!f || !(f->taps_c = qn::copy_of(taps, n))) return nullptr;
    return f.release();
}

Fir *fir_create_real(const float *taps, size_t n) {
    if (!taps || n == 0) return nullptr;
    std::unique_ptr<Fir> f(qn::make_filter(n));
    if (!f || !(f->taps_r = qn::copy_of(taps, n))) return nullptr;
    return f.release();
}

void fir_destroy(Fir *f) { delete f; }

void fir_reset(Fir *f) {
    if (f) std::fill_n(f->hist.get(), qn::history_len(f), cf32{0.0f, 0.0f});
}

size_t fir_get_num_taps(const Fir *f) { return f ? f->num_taps : 0; }

int fir_get_is_real(const Fir *f) { return f && f->taps_r != nullptr; }

double fir_dc_gain(const Fir *f) {
    double sum = 0.0;
    if (!f) return sum;
    for (uint64_t k = 0; k < f->num_taps; ++k) sum += f->taps_r ? f->taps_r[k] : f->taps_c[k].re;
    return sum;
}

size_t fir_execute_max_out(void) { return 0; }

size_t fir_execute(Fir *f, const cf32 *in, size_t n, cf32 *out) {
    if (!f || !in || !out || n == 0) return 0;
    const size_t hist = qn::history_len(f);
    const auto need = qn::checked_add<size_t>(hist, n);
    if (!need) return 0;
    if (f->work_cap < *need) {
        std::unique_ptr<cf32[]> grown(new (std::nothrow) cf32[*need]);
        if (!grown) return 0;
        f->work = std::move(grown);
        f->work_cap = *need;
    }
    // The input is copied before anything is written, so out may be in.
    cf32 *work = f->work.get();
    std::copy_n(f->hist.get(), hist, work);
    std::copy_n(in, n, work + hist);
    if (f->taps_r) qn::fir_real_taps(qn::best_simd_level(), f->taps_r.get(), f->num_taps, work, out, n);
    else qn::complex_taps(f->taps_c.get(), f->num_taps, work, out, n);
    std::copy_n(work + n, hist, f->hist.get());
    return n;
}

size_t fir_state_bytes(const Fir *f) {
    return f ? qn::blob::kHeaderBytes + sizeof(cf32) * qn::history_len(f) : 0;
}

void fir_get_state(const Fir *f, void *out) {
    if (!f || !out) return;
    auto *bytes = static_cast<unsigned char *>(out);
    const size_t size = fir_state_bytes(f);
    qn::blob::write_header(bytes, qn::kMagic, 1, static_cast<uint32_t>(size));
    if (f->hist) std::memcpy(bytes + qn::blob::kHeaderBytes, f->hist.get(), size - qn::blob::kHeaderBytes);
}

int fir_set_state(Fir *f, const void *blob) {
    if (!f || !blob) return QN_ERR_INVALID;
    const auto *bytes = static_cast<const unsigned char *>(blob);
    const size_t size = fir_state_bytes(f);
    if (!qn::blob::header_matches(bytes, qn::kMagic, 1, size)) return QN_ERR_STATE;
    if (f->hist) std::memcpy(f->hist.get(), bytes + qn::blob::kHeaderBytes, size - qn::blob::kHeaderBytes);
    return QN_OK;
}

}  // extern "C"
