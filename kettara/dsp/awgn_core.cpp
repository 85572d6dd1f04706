#include "awgn_core.h"

#include <cmath>
#include <new>

#include "awgn_core.hpp"
#include "awgn_generator.hpp"
#include "awgn_tables.hpp"
#include "det_math.hpp"
#include "simd_level.hpp"

extern "C" {

Awgn *awgn_create(uint64_t seed, float amplitude) {
    qn::angle_table();
    qn::log_rows();
    Awgn *g = new (std::nothrow) Awgn;
    if (!g) return nullptr;
    g->seed = seed;
    g->amplitude = amplitude;
    qn::seed_generator(g);
    return g;
}

void awgn_destroy(Awgn *g) { delete g; }

void awgn_reset(Awgn *g) {
    if (g) qn::seed_generator(g);
}

void awgn_reseed(Awgn *g, uint64_t seed) {
    if (!g) return;
    g->seed = seed;
    qn::seed_generator(g);
}

float awgn_get_amplitude(const Awgn *g) { return g ? g->amplitude : 0.0f; }
void awgn_set_amplitude(Awgn *g, float amplitude) {
    if (g) g->amplitude = amplitude;
}

size_t awgn_generate_max_out(void) { return 65536; }

size_t awgn_generate(Awgn *g, size_t n, cf32 *out, size_t out_cap) {
    if (!g || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    qn::generate_noise(g, qn::best_simd_level(), out, count);
    return count;
}

int awgn(uint64_t seed, size_t n, cf32 *out, float amplitude) {
    if (!out && n > 0) return QN_ERR_INVALID;
    Awgn *g = awgn_create(seed, amplitude);
    if (!g) return QN_ERR_NOMEM;
    awgn_generate(g, n, out, n);
    awgn_destroy(g);
    return QN_OK;
}

float awgn_amplitude_for_snr(float snr_db, float signal_power) {
    const float a = snr_db * 0.1f * -2.3025851f;
    return std::sqrt(qn::det_expf(a) * (signal_power * 0.5f));
}

}  // extern "C"
