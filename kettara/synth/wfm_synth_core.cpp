// Waveform synthesiser: creation from the type's family and chunked stepping.
#include "wfm_synth_core.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "synth.hpp"
#include "wfm_spec.h"

namespace {

using qn::synth::kChunk;

constexpr float kNoiseTypeAmplitude = 0.70710677f;  // unit total power

// The per-sample SNR of the noise: snr_db converted by the synthesiser's mode.
double noise_snr(const qn::synth::Traits &t, int snr_mode, int nsps, double snr_db) {
    const double l = 10.0 * std::log10(static_cast<double>(nsps));
    switch (snr_mode) {
    case WFM_MODE_AUTO: return t.snr_per_symbol ? snr_db - l : snr_db;
    case WFM_MODE_EBNO: return (snr_db + t.ebno_offset_db) - l;
    case WFM_MODE_ESNO: return snr_db - l;
    default: return snr_db;
    }
}

// out = s * c + w, in single precision and in this order (no fused multiply-add).
void combine(cf32 *s, const cf32 *c, const cf32 *w, size_t m) {
    if (c && w) {
        for (size_t k = 0; k < m; ++k) {
            const cf32 v = s[k];
            s[k].re = v.re * c[k].re - v.im * c[k].im + w[k].re;
            s[k].im = v.re * c[k].im + v.im * c[k].re + w[k].im;
        }
    } else if (c) {
        for (size_t k = 0; k < m; ++k) {
            const cf32 v = s[k];
            s[k].re = v.re * c[k].re - v.im * c[k].im;
            s[k].im = v.re * c[k].im + v.im * c[k].re;
        }
    } else if (w) {
        for (size_t k = 0; k < m; ++k) {
            s[k].re = s[k].re + w[k].re;
            s[k].im = s[k].im + w[k].im;
        }
    }
}

}  // namespace

void Synth::steps(cf32 *out, size_t n) {
    family->begin_request(n);
    shaping.begin_request(*family, pn.get());
    cf32 carrier[kChunk];
    cf32 noise[kChunk];
    for (size_t done = 0; done < n;) {
        const size_t m = std::min(kChunk, n - done);
        const cf32 *c = nullptr;
        if (lo) {
            lo_steps(lo.get(), m, carrier, m);
            c = carrier;
        } else if (family->traits.own_carrier) {
            family->carrier(carrier, m);
            c = carrier;
        }
        const cf32 *w = nullptr;
        if (awgn) {
            awgn_generate(awgn.get(), m, noise, m);
            w = noise;
        }
        shaping.run(*family, pn.get(), out + done, m);
        family->finish(out + done, m);
        combine(out + done, c, w, m);
        done += m;
    }
}

void Synth::noise_steps(cf32 *out, size_t n, const qn::NoiseOnto *onto) {
    if (!awgn) {
        std::fill(out, out + n, cf32{0.0f, 0.0f});
        if (onto) qn::lay_noise_onto(*onto, out, n);
        return;
    }
    // Straight into out, in the generator's own chunks: long requests run its faster lanes.
    const qn::SimdLevel level = qn::best_simd_level();
    for (size_t done = 0; done < n;) {
        const size_t m = std::min(awgn_generate_max_out(), n - done);
        if (onto) {
            const qn::NoiseOnto part{onto->gain, onto->signal + done};
            qn::generate_noise(awgn.get(), level, out + done, m, &part);
        } else {
            qn::generate_noise(awgn.get(), level, out + done, m);
        }
        done += m;
    }
}

void Synth::reset() {
    shaping.rewind(family->traits.rest);
    family->rewind();
    if (lo) lo_reset(lo.get());
    if (awgn) awgn_reset(awgn.get());
    if (pn) pn_reset(pn.get());
}

bool Synth::change_type(uint32_t new_type) {
    qn::synth::Params p = params;
    p.wtype = new_type;
    std::unique_ptr<qn::synth::Family> f = qn::synth::make_family(p);
    if (!f) return false;
    family = std::move(f);
    params = p;
    wtype = new_type;
    return true;
}

extern "C" Synth *wfm_synth_create(uint32_t wtype, int snr_mode, uint32_t seed, int nsps, uint32_t pn_length,
                                   uint64_t pn_poly, double fs, double freq, double snr_db, double f_end, int lfsr) {
    std::unique_ptr<Synth> s(new (std::nothrow) Synth);
    if (!s) return nullptr;
    s->wtype = wtype;
    s->params.wtype = wtype;
    s->params.nsps = nsps > 0 ? nsps : 1;
    if (fs != 0.0) {
        s->params.freq_norm = freq / fs;
        s->params.freq_end_norm = f_end / fs;
    }
    s->family = qn::synth::make_family(s->params);
    if (!s->family) return nullptr;
    const qn::synth::Traits &traits = s->family->traits;
    s->shaping.nsps = s->params.nsps;
    s->shaping.cur = traits.rest;

    if (traits.noise_only) {
        s->awgn.reset(awgn_create(seed, kNoiseTypeAmplitude));
        return s->awgn ? s.release() : nullptr;
    }
    if (!traits.own_carrier && freq != 0.0) {
        s->lo.reset(lo_create(s->params.freq_norm));
        if (!s->lo) return nullptr;
    }
    if (traits.pn != qn::synth::PnNeed::kNone) {
        const uint64_t poly = pn_poly != 0 ? pn_poly : pn_default_poly(pn_length);
        if (poly != 0) s->pn.reset(pn_create(poly, seed != 0 ? seed : 1, pn_length, lfsr));
        if (traits.pn == qn::synth::PnNeed::kRequired && !s->pn) return nullptr;
    }
    if (snr_db < 100.0) {
        const double g = noise_snr(traits, snr_mode, s->shaping.nsps, snr_db);
        float amplitude = awgn_amplitude_for_snr(static_cast<float>(g), 1.0f);
        // An SNR whose noise amplitude single precision cannot hold counts as 0 dB, as a
        // level whose gain it cannot hold does.
        if (!std::isfinite(amplitude)) amplitude = awgn_amplitude_for_snr(0.0f, 1.0f);
        s->awgn.reset(awgn_create(seed, amplitude));
        if (!s->awgn) return nullptr;
    }
    return s.release();
}
