// Waveform synthesiser: configuration, chunked stepping and the "WFMS" state blob.
#include "wfm_synth_core.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "awgn_core.h"
#include "awgn_core.hpp"
#include "checked.hpp"
#include "det_math.hpp"
#include "fir_core.h"
#include "lo_core.h"
#include "pn_core.h"
#include "resamp_core.h"
#include "state_blob.hpp"
#include "wfm_dsp.h"
#include "wfm_frame.h"
#include "wfm_spec.h"
#include "wfm_synth_core.hpp"

namespace {

// Samples per processing chunk; every scratch buffer of a step is sized from it.
constexpr size_t kChunk = 2048;
// Symbols one chunk can need: one per sample at one sample per symbol, plus the one an
// interpolator may ask for ahead of its output.
constexpr size_t kMaxSymbols = kChunk + 1;
// Output samples per priming piece of the interpolator.
constexpr size_t kPrimePiece = 64;

constexpr float kQpskAmp = 0.70710677f;
constexpr float kNoiseTypeAmplitude = 0.70710677f;  // unit total power
constexpr double kTwoPi = 6.283185307179586;

template <auto Destroy>
struct Destroyer {
    template <typename T>
    void operator()(T *p) const { Destroy(p); }
};
template <typename T, auto Destroy>
using Owned = std::unique_ptr<T, Destroyer<Destroy>>;

using LoPtr = Owned<Lo, lo_destroy>;
using AwgnPtr = Owned<Awgn, awgn_destroy>;
using PnPtr = Owned<PnGen, pn_destroy>;
using FirPtr = Owned<Fir, fir_destroy>;
using ResampPtr = Owned<Resamp, resamp_destroy>;

cf32 resting_value(uint32_t wtype) {
    return (wtype == WFM_TYPE_TONE || wtype == WFM_TYPE_CHIRP) ? cf32{1.0f, 0.0f} : cf32{0.0f, 0.0f};
}

// Gray-coded PSK points for 1, 2 and 3 bits per symbol, indexed by the received label.
using Constellation = std::array<cf32, 8>;
const Constellation &constellation(int bits_per_symbol) {
    static const std::array<Constellation, 4> tables = [] {
        std::array<Constellation, 4> t{};
        for (int b = 1; b <= 3; ++b) {
            const uint32_t m = 1u << b;
            for (uint32_t v = 0; v < m; ++v) {
                uint32_t k = 0;
                for (uint32_t g = v; g != 0; g >>= 1) k ^= g;
                double angle = static_cast<double>(k) * kTwoPi / static_cast<double>(m);
                if (b == 2) angle += 0.7853981633974483;
                t[b][v] = cf32{static_cast<float>(qn::det_cos(angle)), static_cast<float>(qn::det_sin(angle))};
            }
        }
        return t;
    }();
    return tables[bits_per_symbol];
}

// The per-sample SNR of the noise: snr_db converted by the synthesiser's mode.
double noise_snr(uint32_t wtype, int snr_mode, int nsps, double snr_db) {
    const double l = 10.0 * std::log10(static_cast<double>(nsps));
    const bool psk = wtype == WFM_TYPE_BPSK || wtype == WFM_TYPE_QPSK;
    switch (snr_mode) {
    case WFM_MODE_AUTO: return psk ? snr_db - l : snr_db;
    case WFM_MODE_EBNO: return (snr_db + (wtype == WFM_TYPE_QPSK ? 3.010299956639812 : 0.0)) - l;
    case WFM_MODE_ESNO: return snr_db - l;
    default: return snr_db;
    }
}

bool is_power_of_two(int v) { return v > 0 && std::has_single_bit(static_cast<unsigned>(v)); }

constexpr uint16_t kStateVersion = 2;
constexpr size_t kStateFixedBytes = 83;

template <typename T>
void put(uint8_t *blob, size_t off, T v) { qn::blob::put<T>(blob + off, v); }
template <typename T>
T get(const uint8_t *blob, size_t off) { return qn::blob::get<T>(blob + off); }

}  // namespace

struct Synth {
    uint32_t wtype = 0;
    int32_t nsps = 1;
    int32_t sym_pos = 0;
    cf32 cur{0.0f, 0.0f};
    double freq_norm = 0.0;
    double freq_end_norm = 0.0;
    double chirp_rate = 0.0;
    double chirp_phase = 0.0;
    uint64_t chirp_pos = 0;
    uint64_t chirp_span = 0;
    std::vector<uint8_t> data;  // bits, framed DSSS chips or continuous DSSS data bits
    uint64_t data_pos = 0;
    uint64_t data_loop = 0;  // where playback of bits or frame chips resumes after the end of `data`
    int32_t bits_per_symbol = 1;
    std::vector<cf32> symbols;
    uint64_t sym_idx = 0;
    double chips_per_bit = 0.0;  // > 0: continuous DSSS
    std::vector<uint8_t> code;
    uint32_t data_mode = 0;
    uint64_t dc_chip = 0;
    uint64_t dc_bit_idx = 0;
    uint8_t dc_bit = 0;
    FirPtr fir;
    ResampPtr resamp;
    uint8_t primed = 0;
    LoPtr lo;
    AwgnPtr awgn;
    PnPtr pn;

    void steps(cf32 *out, size_t n);
    void noise_steps(cf32 *out, size_t n, const qn::NoiseOnto *onto = nullptr);
    void reset();
    size_t state_bytes() const;
    void get_state(uint8_t *blob) const;
    int set_state(const uint8_t *blob);

private:
    void baseband(cf32 *out, size_t m);
    void hold_or_stuff(cf32 *out, size_t m);
    void interpolate(cf32 *out, size_t m);
    void prime();
    void chirp_phasors(cf32 *out, size_t m, double held_step);
    size_t symbol_starts(size_t m) const;
    void draw_symbols(cf32 *dst, size_t count, cf32 fallback);
    cf32 next_bits_symbol();
    cf32 next_dsss_chip();
    uint8_t next_data_bit(uint64_t bit_index);
    bool fits(int32_t pos, uint64_t data_at, uint64_t sym_at) const;
    int apply_state(const uint8_t *blob);
};

// ---------------------------------------------------------------------------------------
// Symbol sources

size_t Synth::symbol_starts(size_t m) const {
    const size_t first = sym_pos == 0 ? 0 : static_cast<size_t>(nsps - sym_pos);
    return first >= m ? 0 : (m - first - 1) / static_cast<size_t>(nsps) + 1;
}

cf32 Synth::next_bits_symbol() {
    const auto advance = [this] {
        if (++data_pos == data.size()) data_pos = data_loop;
    };
    if (bits_per_symbol < 1) {
        const bool on = data[data_pos] != 0;
        advance();
        return on ? cf32{1.0f, 0.0f} : cf32{0.0f, 0.0f};
    }
    uint32_t v = 0;
    for (int b = 0; b < bits_per_symbol; ++b) {
        v = (v << 1) | (data[data_pos] != 0 ? 1u : 0u);
        advance();
    }
    return constellation(bits_per_symbol)[v & ((1u << bits_per_symbol) - 1)];
}

uint8_t Synth::next_data_bit(uint64_t bit_index) {
    uint8_t bit = 0;
    if (data_mode == WFM_DSSS_DATA_PN && pn) {
        pn_generate(pn.get(), 1, &bit, 1);
    } else if (data_mode == WFM_DSSS_DATA_GIVEN && !data.empty()) {
        bit = data[bit_index % data.size()] & 1;
    }
    return bit & 1;
}

cf32 Synth::next_dsss_chip() {
    const uint64_t bit_index =
        qn::saturating_count<uint64_t>(static_cast<double>(dc_chip) / chips_per_bit);
    if (dc_chip == 0 || bit_index != dc_bit_idx) {
        dc_bit_idx = bit_index;
        dc_bit = next_data_bit(bit_index);
    }
    const uint8_t chip = code[dc_chip % code.size()] & 1;
    ++dc_chip;
    return chip == dc_bit ? cf32{1.0f, 0.0f} : cf32{-1.0f, 0.0f};
}

// Draws the next `count` symbols (count <= kMaxSymbols) in stream order. A source without
// anything to play (no data, no symbols, no generator) yields `fallback`.
void Synth::draw_symbols(cf32 *dst, size_t count, cf32 fallback) {
    const auto fill = [&](cf32 v) { std::fill(dst, dst + count, v); };
    switch (wtype) {
    case WFM_TYPE_PN:
    case WFM_TYPE_BPSK: {
        if (!pn) return fill(fallback);
        uint8_t chips[kMaxSymbols];
        pn_generate(pn.get(), count, chips, count);
        for (size_t i = 0; i < count; ++i) dst[i] = chips[i] ? cf32{-1.0f, 0.0f} : cf32{1.0f, 0.0f};
        return;
    }
    case WFM_TYPE_QPSK: {
        if (!pn) return fill(fallback);
        uint8_t chips[2 * kMaxSymbols];
        pn_generate(pn.get(), 2 * count, chips, 2 * count);
        for (size_t i = 0; i < count; ++i) {
            dst[i] = cf32{chips[2 * i] ? -kQpskAmp : kQpskAmp, chips[2 * i + 1] ? -kQpskAmp : kQpskAmp};
        }
        return;
    }
    case WFM_TYPE_SYMBOLS:
        if (symbols.empty()) return fill(fallback);
        for (size_t i = 0; i < count; ++i) {
            dst[i] = symbols[sym_idx];
            if (++sym_idx == symbols.size()) sym_idx = 0;
        }
        return;
    case WFM_TYPE_DSSS:
        if (chips_per_bit > 0.0) {
            if (code.empty()) return fill(fallback);
            for (size_t i = 0; i < count; ++i) dst[i] = next_dsss_chip();
            return;
        }
        [[fallthrough]];
    case WFM_TYPE_BITS:
        if (data.empty()) return fill(fallback);
        for (size_t i = 0; i < count; ++i) dst[i] = next_bits_symbol();
        return;
    default:
        return fill(fallback);
    }
}

// ---------------------------------------------------------------------------------------
// Shaping

// Rectangular shaping holds each symbol for nsps samples; FIR shaping feeds each symbol
// once followed by nsps - 1 zeros into the filter.
void Synth::hold_or_stuff(cf32 *out, size_t m) {
    cf32 syms[kMaxSymbols];
    draw_symbols(syms, symbol_starts(m), cur);
    const size_t period = static_cast<size_t>(nsps);
    size_t j = 0;
    for (size_t k = 0; k < m;) {
        if (sym_pos == 0) cur = syms[j++];
        const size_t run = std::min(m - k, period - static_cast<size_t>(sym_pos));
        if (fir) {
            std::fill(out + k, out + k + run, cf32{0.0f, 0.0f});
            if (sym_pos == 0) out[k] = cur;
        } else {
            std::fill(out + k, out + k + run, cur);
        }
        k += run;
        sym_pos += static_cast<int32_t>(run);
        if (sym_pos == nsps) sym_pos = 0;
    }
    if (fir) fir_execute(fir.get(), out, m, out);
}

// The interpolator computes each output before the input that completes its step, so
// one symbol period is run through it and discarded before the first real output.
void Synth::prime() {
    cf32 syms[kPrimePiece + 1];
    cf32 discard[kPrimePiece];
    for (size_t left = static_cast<size_t>(nsps); left > 0;) {
        const size_t piece = std::min(left, kPrimePiece);
        const size_t k = resamp_interp_inputs_needed(resamp.get(), piece);
        draw_symbols(syms, k, cf32{0.0f, 0.0f});
        resamp_interp_fill(resamp.get(), syms, discard, piece);
        left -= piece;
    }
    primed = 1;
}

void Synth::interpolate(cf32 *out, size_t m) {
    cf32 syms[kMaxSymbols];
    const size_t k = resamp_interp_inputs_needed(resamp.get(), m);
    draw_symbols(syms, k, cf32{0.0f, 0.0f});
    resamp_interp_fill(resamp.get(), syms, out, m);
}

void Synth::baseband(cf32 *out, size_t m) {
    if (!qn::is_symbol_type(wtype)) {
        std::fill(out, out + m, cur);
    } else if (resamp) {
        interpolate(out, m);
    } else {
        hold_or_stuff(out, m);
    }
}

// ---------------------------------------------------------------------------------------
// Stepping

namespace {

// v - floor(v), bit for bit, with a short dependency chain for the usual chirp phases in
// [-1, 2): the floor is then -1, 0 or 1, and subtracting -0.0 for 0 turns a -0 into +0
// exactly as subtracting floor(-0) = -0 does.
double minus_floor(double v) {
    if (!(v >= -1.0 && v < 2.0)) return v - std::floor(v);
    const double whole = v >= 1.0 ? 1.0 : (v < 0.0 ? -1.0 : -0.0);
    return v - whole;
}

}  // namespace

void Synth::chirp_phasors(cf32 *out, size_t m, double held_step) {
    float angle[kChunk];
    for (size_t i = 0; i < m; ++i) {
        angle[i] = static_cast<float>(kTwoPi * chirp_phase);
        const uint64_t k = chirp_pos;
        const double p = chirp_phase + freq_norm;
        chirp_phase = minus_floor(k < chirp_span ? p + static_cast<double>(k) * chirp_rate : p + held_step);
        chirp_pos = k + 1;
    }
    qn::det_phasors(angle, out, m);
}

namespace {

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
    if (wtype == WFM_TYPE_CHIRP && chirp_span == 0) wfm_synth_set_chirp_span(this, n);
    // A symbol position left outside the symbol by the accessors restarts the symbol.
    if (sym_pos < 0 || sym_pos >= nsps) sym_pos = 0;
    const bool interpolating = resamp && qn::is_symbol_type(wtype);
    if (interpolating && !primed) prime();

    const double held_step = static_cast<double>(chirp_span) * chirp_rate;
    cf32 carrier[kChunk];
    cf32 noise[kChunk];
    for (size_t done = 0; done < n;) {
        const size_t m = std::min(kChunk, n - done);
        const cf32 *c = nullptr;
        if (lo) {
            lo_steps(lo.get(), m, carrier, m);
            c = carrier;
        } else if (wtype == WFM_TYPE_CHIRP) {
            chirp_phasors(carrier, m, held_step);
            c = carrier;
        }
        const cf32 *w = nullptr;
        if (awgn) {
            awgn_generate(awgn.get(), m, noise, m);
            w = noise;
        }
        baseband(out + done, m);
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
    sym_pos = 0;
    cur = resting_value(wtype);
    data_pos = 0;
    sym_idx = 0;
    chirp_phase = 0.0;
    chirp_pos = 0;
    dc_chip = dc_bit_idx = 0;
    dc_bit = 0;
    if (fir) fir_reset(fir.get());
    if (resamp) resamp_reset(resamp.get());
    primed = 0;
    if (lo) lo_reset(lo.get());
    if (awgn) awgn_reset(awgn.get());
    if (pn) pn_reset(pn.get());
}

// ---------------------------------------------------------------------------------------
// State blob

size_t Synth::state_bytes() const {
    size_t n = kStateFixedBytes;
    if (fir) n += fir_state_bytes(fir.get());
    if (resamp) n += resamp_state_bytes(resamp.get());
    if (lo) n += lo_state_bytes(lo.get());
    if (awgn) n += awgn_state_bytes(awgn.get());
    if (pn) n += pn_state_bytes(pn.get());
    return n;
}

void Synth::get_state(uint8_t *blob) const {
    qn::blob::write_header(blob, "WFMS", kStateVersion, static_cast<uint32_t>(state_bytes()));
    put<int32_t>(blob, 16, sym_pos);
    put<float>(blob, 20, cur.re);
    put<float>(blob, 24, cur.im);
    put<uint64_t>(blob, 28, data_pos);
    put<uint64_t>(blob, 36, sym_idx);
    put<double>(blob, 44, chirp_phase);
    put<uint64_t>(blob, 52, chirp_pos);
    put<uint64_t>(blob, 60, dc_chip);
    put<uint64_t>(blob, 68, dc_bit_idx);
    blob[76] = dc_bit;
    blob[77] = primed;
    blob[78] = fir != nullptr;
    blob[79] = resamp != nullptr;
    blob[80] = lo != nullptr;
    blob[81] = awgn != nullptr;
    blob[82] = pn != nullptr;
    size_t off = kStateFixedBytes;
    if (fir) { fir_get_state(fir.get(), blob + off); off += fir_state_bytes(fir.get()); }
    if (resamp) { resamp_get_state(resamp.get(), blob + off); off += resamp_state_bytes(resamp.get()); }
    if (lo) { lo_get_state(lo.get(), blob + off); off += lo_state_bytes(lo.get()); }
    if (awgn) { awgn_get_state(awgn.get(), blob + off); off += awgn_state_bytes(awgn.get()); }
    if (pn) pn_get_state(pn.get(), blob + off);
}

// Positions that index the receiver's buffers must lie inside them.
bool Synth::fits(int32_t pos, uint64_t data_at, uint64_t sym_at) const {
    const auto position_ok = [](uint64_t at, size_t len) { return len == 0 ? at == 0 : at < len; };
    return pos >= 0 && pos < nsps && position_ok(data_at, data.size()) &&
           position_ok(sym_at, symbols.size());
}

// Writes the running fields and the sub-object states; the first refusal stops it.
int Synth::apply_state(const uint8_t *blob) {
    sym_pos = get<int32_t>(blob, 16);
    cur = cf32{get<float>(blob, 20), get<float>(blob, 24)};
    data_pos = get<uint64_t>(blob, 28);
    sym_idx = get<uint64_t>(blob, 36);
    chirp_phase = get<double>(blob, 44);
    chirp_pos = get<uint64_t>(blob, 52);
    dc_chip = get<uint64_t>(blob, 60);
    dc_bit_idx = get<uint64_t>(blob, 68);
    dc_bit = blob[76];
    primed = blob[77];
    size_t off = kStateFixedBytes;
    if (fir) {
        if (fir_set_state(fir.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += fir_state_bytes(fir.get());
    }
    if (resamp) {
        if (resamp_set_state(resamp.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += resamp_state_bytes(resamp.get());
    }
    if (lo) {
        if (lo_set_state(lo.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += lo_state_bytes(lo.get());
    }
    if (awgn) {
        if (awgn_set_state(awgn.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += awgn_state_bytes(awgn.get());
    }
    if (pn && pn_set_state(pn.get(), blob + off) != QN_OK) return QN_ERR_STATE;
    return QN_OK;
}

// Everything that can be checked is checked before anything changes; should a sub-object
// still refuse its part, the synthesiser's own earlier state is put back.
int Synth::set_state(const uint8_t *blob) {
    const size_t expected = state_bytes();
    if (!qn::blob::header_matches(blob, "WFMS", kStateVersion, expected)) return QN_ERR_STATE;
    const bool presence[5] = {fir != nullptr, resamp != nullptr, lo != nullptr, awgn != nullptr, pn != nullptr};
    for (int i = 0; i < 5; ++i) {
        if ((blob[78 + i] != 0) != presence[i]) return QN_ERR_STATE;
    }
    if (!fits(get<int32_t>(blob, 16), get<uint64_t>(blob, 28), get<uint64_t>(blob, 36))) return QN_ERR_STATE;

    std::unique_ptr<uint8_t[]> backup(new (std::nothrow) uint8_t[expected]);
    if (!backup) return QN_ERR_INVALID;
    get_state(backup.get());
    if (apply_state(blob) != QN_OK) {
        apply_state(backup.get());
        return QN_ERR_STATE;
    }
    return QN_OK;
}

// ---------------------------------------------------------------------------------------
// C interface

namespace {

bool has_type(const Synth *s, uint32_t wtype) { return s && s->wtype == wtype; }

// Runs a configuration step; a buffer that cannot be allocated (too large or out of
// memory) becomes QN_ERR_INVALID with nothing changed.
template <typename F>
int configure(F &&f) {
    try {
        return f();
    } catch (const std::exception &) {
        return QN_ERR_INVALID;
    }
}

}  // namespace

int qn::synth_set_looping_bits(Synth *s, const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation) {
    if (!has_type(s, WFM_TYPE_BITS)) return s ? QN_OK : QN_ERR_INVALID;
    if (!bits || n == 0 || loop_start >= n || modulation > WFM_BITMOD_8PSK) return QN_ERR_INVALID;
    return configure([&] {
        std::vector<uint8_t> copy(n);
        for (size_t i = 0; i < n; ++i) copy[i] = bits[i] != 0;
        s->data = std::move(copy);
        s->data_pos = 0;
        s->data_loop = loop_start;
        s->bits_per_symbol = static_cast<int32_t>(modulation);
        return QN_OK;
    });
}

extern "C" {

Synth *wfm_synth_create(uint32_t wtype, int snr_mode, uint32_t seed, int nsps, uint32_t pn_length,
                        uint64_t pn_poly, double fs, double freq, double snr_db, double f_end, int lfsr) {
    std::unique_ptr<Synth> s(new (std::nothrow) Synth);
    if (!s) return nullptr;
    s->wtype = wtype;
    s->nsps = nsps > 0 ? nsps : 1;
    s->cur = resting_value(wtype);
    if (fs != 0.0) {
        s->freq_norm = freq / fs;
        s->freq_end_norm = f_end / fs;
    }
    const bool noisy = snr_db < 100.0;

    if (wtype == WFM_TYPE_NOISE) {
        s->awgn.reset(awgn_create(seed, kNoiseTypeAmplitude));
        return s->awgn ? s.release() : nullptr;
    }
    if (wtype != WFM_TYPE_CHIRP && freq != 0.0) {
        s->lo.reset(lo_create(s->freq_norm));
        if (!s->lo) return nullptr;
    }
    const bool needs_pn = wtype == WFM_TYPE_PN || wtype == WFM_TYPE_BPSK || wtype == WFM_TYPE_QPSK;
    if (needs_pn || wtype == WFM_TYPE_DSSS) {
        const uint64_t poly = pn_poly != 0 ? pn_poly : pn_default_poly(pn_length);
        if (poly != 0) s->pn.reset(pn_create(poly, seed != 0 ? seed : 1, pn_length, lfsr));
        if (needs_pn && !s->pn) return nullptr;
    }
    if (noisy) {
        const double g = noise_snr(wtype, snr_mode, s->nsps, snr_db);
        float amplitude = awgn_amplitude_for_snr(static_cast<float>(g), 1.0f);
        // An SNR whose noise amplitude single precision cannot hold counts as 0 dB, as a
        // level whose gain it cannot hold does.
        if (!std::isfinite(amplitude)) amplitude = awgn_amplitude_for_snr(0.0f, 1.0f);
        s->awgn.reset(awgn_create(seed, amplitude));
        if (!s->awgn) return nullptr;
    }
    return s.release();
}

void wfm_synth_destroy(Synth *s) { delete s; }

int wfm_synth_set_bits(Synth *s, const uint8_t *bits, size_t n, uint32_t modulation) {
    return qn::synth_set_looping_bits(s, bits, n, 0, modulation);
}

int wfm_synth_set_symbols(Synth *s, const cf32 *symbols, size_t n) {
    if (!has_type(s, WFM_TYPE_SYMBOLS)) return s ? QN_OK : QN_ERR_INVALID;
    if (!symbols || n == 0) return QN_ERR_INVALID;
    return configure([&] {
        s->symbols.assign(symbols, symbols + n);
        s->sym_idx = 0;
        return QN_OK;
    });
}

int wfm_synth_set_dsss(Synth *s, const uint8_t *acq_code, size_t acq_len, size_t acq_reps,
                       const uint8_t *data_code, size_t code_len, const uint8_t *sync, size_t sync_len,
                       const uint8_t *payload, size_t payload_len, uint32_t crc) {
    if (!has_type(s, WFM_TYPE_DSSS)) return s ? QN_OK : QN_ERR_INVALID;
    const size_t nchips = wfm_frame_dsss_nchips(acq_len, acq_reps, code_len, sync_len, payload_len, crc);
    if (nchips == 0 || !qn::fits_in_memory(nchips)) return QN_ERR_INVALID;
    return configure([&] {
        std::vector<uint8_t> chips(nchips);
        if (wfm_frame_dsss_chips(acq_code, acq_len, acq_reps, data_code, code_len, sync, sync_len, payload,
                                 payload_len, crc, chips.data()) != nchips) {
            return QN_ERR_INVALID;
        }
        s->data = std::move(chips);
        s->data_pos = 0;
        s->data_loop = 0;
        s->bits_per_symbol = 1;
        s->chips_per_bit = 0.0;
        return QN_OK;
    });
}

int wfm_synth_set_dsss_cont(Synth *s, const uint8_t *code, size_t code_len, uint32_t data_mode,
                            const uint8_t *data, size_t data_len, double chips_per_bit) {
    if (!has_type(s, WFM_TYPE_DSSS)) return s ? QN_OK : QN_ERR_INVALID;
    if (!code || code_len == 0 || !(chips_per_bit >= 1.0) || data_mode > WFM_DSSS_DATA_PN)
        return QN_ERR_INVALID;
    if (data_mode == WFM_DSSS_DATA_GIVEN && (!data || data_len == 0)) return QN_ERR_INVALID;
    if (data_mode == WFM_DSSS_DATA_PN && !s->pn) return QN_ERR_INVALID;
    return configure([&] {
        std::vector<uint8_t> new_code(code, code + code_len);
        for (auto &c : new_code) c &= 1;
        std::vector<uint8_t> new_data;
        if (data_mode == WFM_DSSS_DATA_GIVEN) {
            new_data.assign(data, data + data_len);
            for (auto &d : new_data) d &= 1;
        }
        s->code = std::move(new_code);
        s->data = std::move(new_data);
        s->data_pos = 0;
        s->data_loop = 0;
        s->data_mode = data_mode;
        s->chips_per_bit = chips_per_bit;
        s->bits_per_symbol = 1;
        s->dc_chip = s->dc_bit_idx = 0;
        s->dc_bit = 0;
        return QN_OK;
    });
}

int wfm_synth_set_rrc(Synth *s, const float *taps, size_t n) {
    if (!s) return QN_ERR_INVALID;
    if (!qn::is_symbol_type(s->wtype)) return QN_OK;
    if (!taps || n == 0) return QN_ERR_INVALID;
    return configure([&] {
        const float gain = static_cast<float>(std::sqrt(static_cast<double>(s->nsps)));
        std::vector<float> scaled(taps, taps + n);
        for (auto &t : scaled) t *= gain;
        if (is_power_of_two(s->nsps)) {
            const size_t phases = static_cast<size_t>(s->nsps);
            const size_t per_phase = n / phases + (n % phases != 0);
            const auto bank_len = qn::checked_mul(phases, per_phase);
            if (!bank_len) return QN_ERR_INVALID;
            std::vector<float> bank(*bank_len);
            wfm_polyphase_bank(scaled.data(), n, phases, per_phase, bank.data());
            ResampPtr r(resamp_create_custom(phases, per_phase, bank.data(), static_cast<double>(s->nsps)));
            if (!r) return QN_ERR_INVALID;
            s->resamp = std::move(r);
            s->fir.reset();
            s->primed = 0;
        } else {
            FirPtr f(fir_create_real(scaled.data(), n));
            if (!f) return QN_ERR_INVALID;
            // Grow the filter's scratch to a whole chunk now, so stepping never allocates.
            std::vector<cf32> zeros(kChunk);
            if (fir_execute(f.get(), zeros.data(), kChunk, zeros.data()) != kChunk) return QN_ERR_INVALID;
            fir_reset(f.get());
            s->fir = std::move(f);
            s->resamp.reset();
        }
        return QN_OK;
    });
}

void wfm_synth_set_chirp_span(Synth *s, uint64_t span) {
    if (!has_type(s, WFM_TYPE_CHIRP) || s->chirp_span != 0 || span == 0) return;
    s->chirp_span = span;
    s->chirp_rate = (s->freq_end_norm - s->freq_norm) / static_cast<double>(span);
}

void wfm_synth_reseed_noise(Synth *s, uint32_t seed) {
    if (s && s->awgn) awgn_reseed(s->awgn.get(), seed);
}

void wfm_synth_reset(Synth *s) {
    if (s) s->reset();
}

void wfm_synth_steps(Synth *s, cf32 *out, size_t n) {
    if (s && out && n > 0) s->steps(out, n);
}

void wfm_synth_noise_steps(Synth *s, cf32 *out, size_t n) {
    if (s && out && n > 0) s->noise_steps(out, n);
}

uint32_t wfm_synth_get_wtype(const Synth *s) { return s ? s->wtype : 0; }
void wfm_synth_set_wtype(Synth *s, uint32_t wtype) {
    if (s) s->wtype = wtype;
}
int wfm_synth_get_nsps(const Synth *s) { return s ? s->nsps : 0; }
void wfm_synth_set_nsps(Synth *s, int nsps) {
    if (s) s->nsps = nsps > 0 ? nsps : 1;
}
int wfm_synth_get_sym_pos(const Synth *s) { return s ? s->sym_pos : 0; }
void wfm_synth_set_sym_pos(Synth *s, int sym_pos) {
    if (s) s->sym_pos = sym_pos;
}
float wfm_synth_get_cur_re(const Synth *s) { return s ? s->cur.re : 0.0f; }
void wfm_synth_set_cur_re(Synth *s, float v) {
    if (s) s->cur.re = v;
}
float wfm_synth_get_cur_im(const Synth *s) { return s ? s->cur.im : 0.0f; }
void wfm_synth_set_cur_im(Synth *s, float v) {
    if (s) s->cur.im = v;
}

size_t wfm_synth_state_bytes(const Synth *s) { return s ? s->state_bytes() : 0; }
void wfm_synth_get_state(const Synth *s, void *out) {
    if (s && out) s->get_state(static_cast<uint8_t *>(out));
}
int wfm_synth_set_state(Synth *s, const void *blob) {
    if (!s || !blob) return QN_ERR_INVALID;
    return s->set_state(static_cast<const uint8_t *>(blob));
}

}  // extern "C"

void qn::synth_noise_onto(Synth *s, float gain, const cf32 *signal, cf32 *out, size_t n) {
    if (!s || !out || !signal || n == 0) return;
    const NoiseOnto onto{gain, signal};
    s->noise_steps(out, n, &onto);
}
