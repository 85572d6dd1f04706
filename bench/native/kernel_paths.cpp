// Every code path of every vectorised sample kernel, timed side by side on this CPU:
// nanoseconds per sample and the speed-up over the kernel's scalar path. The paths come from
// the same list the bit-identity tests use; paths are interleaved round by round, so that
// all of them meet the same machine load, and the best round counts.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

#include "awgn_core.hpp"
#include "det_math.hpp"
#include "fir_core.hpp"
#include "lo_core.h"
#include "resamp_core.hpp"
#include "simd_level.hpp"
#include "wfm_dsp.h"

namespace {

using qn::SimdLevel;

constexpr std::size_t kSamples = 1 << 16;  // per call: the advisory chunk of the generators
constexpr int kRounds = 15;
constexpr int kCallsPerRound = 8;

struct Kernel {
    const char *name;
    std::vector<SimdLevel> paths;            // the paths the kernel has
    std::function<void(SimdLevel)> run;      // kSamples samples through one path
};

double seconds_of(const std::function<void(SimdLevel)> &run, SimdLevel level) {
    const auto start = std::chrono::steady_clock::now();
    for (int call = 0; call < kCallsPerRound; ++call) run(level);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best nanoseconds per sample of every path of the kernel that this CPU runs, in the order
// of simd_levels_here(); negative for a path the kernel does not have.
std::vector<double> time_paths(const Kernel &kernel) {
    const auto here = qn::simd_levels_here();
    std::vector<double> best(here.size(), std::numeric_limits<double>::infinity());
    for (int round = 0; round <= kRounds; ++round) {  // round 0 warms up
        for (std::size_t p = 0; p < here.size(); ++p) {
            if (std::find(kernel.paths.begin(), kernel.paths.end(), here[p]) == kernel.paths.end()) continue;
            const double ns = seconds_of(kernel.run, here[p]) * 1e9 / double(kCallsPerRound * kSamples);
            if (round > 0) best[p] = std::min(best[p], ns);
        }
    }
    for (std::size_t p = 0; p < here.size(); ++p)
        if (std::isinf(best[p])) best[p] = -1.0;
    return best;
}

void print_row(const char *name, const std::vector<double> &ns) {
    std::printf("  %-34s", name);
    const double scalar = ns[0];
    for (double t : ns) {
        if (t < 0) std::printf(" %18s", "-");
        else std::printf(" %9.2f (%5.2fx)", t, scalar > 0 ? scalar / t : 1.0);
    }
    std::printf("\n");
}

std::vector<cf32> test_signal(std::size_t n) {
    std::vector<cf32> x(n);
    Awgn *g = awgn_create(5, 1.0f);
    awgn_generate(g, n, x.data(), n);
    awgn_destroy(g);
    return x;
}

}  // namespace

int main() {
    const std::vector<SimdLevel> all(qn::simd_levels_here().begin(), qn::simd_levels_here().end());
    std::vector<cf32> out(kSamples + 64);

    Awgn *noise = awgn_create(7, 0.5f);
    Lo *lo = lo_create(0.0123);

    std::vector<float> fir_taps(65);
    wfm_rrc_taps(8, 4, fir_taps.data(), 0.35);
    const std::vector<cf32> fir_work = test_signal(kSamples + fir_taps.size() - 1);

    std::vector<float> bank(qn::kBuiltinPhases * qn::kBuiltinTaps);
    qn::builtin_bank(bank.data());
    const std::vector<cf32> history = test_signal(4096 + qn::kBuiltinTaps);

    std::vector<float> angles(kSamples);
    for (std::size_t i = 0; i < kSamples; ++i) angles[i] = -3.14f + 6.28f * float((i * 7919) % kSamples) / kSamples;

    const std::vector<Kernel> kernels = {
        {"noise (awgn_generate)", all,
         [&](SimdLevel level) { qn::generate_noise(noise, level, out.data(), kSamples); }},
        {"oscillator (lo_steps, table)", {SimdLevel::scalar},
         [&](SimdLevel) { lo_steps(lo, kSamples, out.data(), kSamples); }},
        {"FIR, 65 real taps", all,
         [&](SimdLevel level) {
             qn::fir_real_taps(level, fir_taps.data(), fir_taps.size(), fir_work.data(), out.data(), kSamples);
         }},
        {"resampler dot, 19 taps (outputs)", all,
         [&](SimdLevel level) {
             for (std::size_t i = 0; i < kSamples; ++i)
                 out[i] = qn::polyphase_dot(level, bank.data() + (i * 2654435761u % qn::kBuiltinPhases) * qn::kBuiltinTaps,
                                            history.data() + (i & 4095), qn::kBuiltinTaps);
         }},
        {"chirp phasors (det_phasors)", all,
         [&](SimdLevel level) { qn::det_phasors(level, angles.data(), out.data(), kSamples); }},
    };

    std::printf("\nKernel paths on this CPU (ns/sample, best of %d rounds; speed-up over the scalar path)\n", kRounds);
    std::printf("  %-34s", "kernel");
    for (SimdLevel level : all) std::printf(" %18s", qn::simd_level_name(level));
    std::printf("\n");
    for (const Kernel &kernel : kernels) print_row(kernel.name, time_paths(kernel));

    awgn_destroy(noise);
    lo_destroy(lo);
    float sink = 0.0f;  // keeps every output observable
    for (const cf32 &v : out) sink += v.re;
    return sink == 12345.0f ? 1 : 0;
}
