// The shaping stage of the synthesiser.
#include "synth_shaping.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "checked.hpp"
#include "wfm_dsp.h"

namespace qn::synth {
namespace {

// Output samples per priming piece of the interpolator.
constexpr size_t kPrimePiece = 64;

bool is_power_of_two(int v) { return v > 0 && std::has_single_bit(static_cast<unsigned>(v)); }

}  // namespace

int Shaping::set_rrc(const float *taps, size_t n) {
    if (!taps || n == 0) return QN_ERR_INVALID;
    try {
        const float gain = static_cast<float>(std::sqrt(static_cast<double>(nsps)));
        std::vector<float> scaled(taps, taps + n);
        for (auto &t : scaled) t *= gain;
        if (is_power_of_two(nsps)) {
            const size_t phases = static_cast<size_t>(nsps);
            const size_t per_phase = n / phases + (n % phases != 0);
            const auto bank_len = qn::checked_mul(phases, per_phase);
            if (!bank_len) return QN_ERR_INVALID;
            std::vector<float> bank(*bank_len);
            wfm_polyphase_bank(scaled.data(), n, phases, per_phase, bank.data());
            ResampPtr r(resamp_create_custom(phases, per_phase, bank.data(), static_cast<double>(nsps)));
            if (!r) return QN_ERR_INVALID;
            resamp = std::move(r);
            fir.reset();
            primed = 0;
        } else {
            FirPtr f(fir_create_real(scaled.data(), n));
            if (!f) return QN_ERR_INVALID;
            // Grow the filter's scratch to a whole chunk now, so stepping never allocates.
            std::vector<cf32> zeros(kChunk);
            if (fir_execute(f.get(), zeros.data(), kChunk, zeros.data()) != kChunk) return QN_ERR_INVALID;
            fir_reset(f.get());
            fir = std::move(f);
            resamp.reset();
        }
        return QN_OK;
    } catch (const std::exception &) {
        return QN_ERR_INVALID;
    }
}

size_t Shaping::symbol_starts(size_t m) const {
    const size_t first = sym_pos == 0 ? 0 : static_cast<size_t>(nsps - sym_pos);
    return first >= m ? 0 : (m - first - 1) / static_cast<size_t>(nsps) + 1;
}

// Rectangular shaping holds each symbol for nsps samples; FIR shaping feeds each symbol
// once followed by nsps - 1 zeros into the filter.
void Shaping::hold_or_stuff(Family &f, PnGen *pn, cf32 *out, size_t m) {
    cf32 syms[kMaxSymbols];
    f.draw(pn, syms, symbol_starts(m), cur);
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
void Shaping::prime(Family &f, PnGen *pn) {
    cf32 syms[kPrimePiece + 1];
    cf32 discard[kPrimePiece];
    for (size_t left = static_cast<size_t>(nsps); left > 0;) {
        const size_t piece = std::min(left, kPrimePiece);
        const size_t k = resamp_interp_inputs_needed(resamp.get(), piece);
        f.draw(pn, syms, k, cf32{0.0f, 0.0f});
        resamp_interp_fill(resamp.get(), syms, discard, piece);
        left -= piece;
    }
    primed = 1;
}

void Shaping::interpolate(Family &f, PnGen *pn, cf32 *out, size_t m) {
    cf32 syms[kMaxSymbols];
    const size_t k = resamp_interp_inputs_needed(resamp.get(), m);
    f.draw(pn, syms, k, cf32{0.0f, 0.0f});
    resamp_interp_fill(resamp.get(), syms, out, m);
}

void Shaping::begin_request(Family &f, PnGen *pn) {
    // A symbol position left outside the symbol by the accessors restarts the symbol.
    if (sym_pos < 0 || sym_pos >= nsps) sym_pos = 0;
    if (resamp && f.traits.plays_symbols && !primed) prime(f, pn);
}

void Shaping::run(Family &f, PnGen *pn, cf32 *out, size_t m) {
    if (!f.traits.plays_symbols) {
        std::fill(out, out + m, cur);
    } else if (resamp) {
        interpolate(f, pn, out, m);
    } else {
        hold_or_stuff(f, pn, out, m);
    }
}

void Shaping::rewind(cf32 rest) {
    sym_pos = 0;
    cur = rest;
    if (fir) fir_reset(fir.get());
    if (resamp) resamp_reset(resamp.get());
    primed = 0;
}

}  // namespace qn::synth
