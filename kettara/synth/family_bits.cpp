// Explicit bits: a stored pattern (framed or plain) played on-off keyed or Gray-mapped onto
// BPSK, QPSK or eight-phase PSK, the first bit of a symbol its most significant.
#include <new>
#include <stdexcept>

#include "bit_player.hpp"
#include "constellation.hpp"
#include "synth_family.hpp"
#include "synth_setup.hpp"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

namespace qn::synth {
namespace {

Traits bits_traits() {
    Traits t;
    t.plays_symbols = true;
    return t;
}

class Bits final : public Family, public BitsSetup {
public:
    Bits() : Family(bits_traits()) {}

    int set_bits(const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation) override {
        if (!bits || n == 0 || loop_start >= n || modulation > WFM_BITMOD_8PSK) return QN_ERR_INVALID;
        try {
            std::vector<uint8_t> copy(n);
            for (size_t i = 0; i < n; ++i) copy[i] = bits[i] != 0;
            player_.load(std::move(copy), loop_start);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        bits_per_symbol_ = static_cast<int>(modulation);
        return QN_OK;
    }
    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (player_.empty()) return Family::draw(pn, dst, count, fallback);
        for (size_t i = 0; i < count; ++i) dst[i] = next_symbol();
    }
    void rewind() override { player_.rewind(); }
    void save(uint8_t *fixed) const override { player_.save(fixed); }
    [[nodiscard]] bool fits(const uint8_t *fixed) const override { return positions_fit(fixed, player_.size(), 0); }
    void restore(const uint8_t *fixed) override { player_.restore(fixed); }

private:
    cf32 next_symbol() {
        if (bits_per_symbol_ < 1) return player_.next() != 0 ? cf32{1.0f, 0.0f} : cf32{0.0f, 0.0f};
        uint32_t v = 0;
        for (int b = 0; b < bits_per_symbol_; ++b) v = (v << 1) | player_.next();
        return gray_psk(bits_per_symbol_, v & ((1u << bits_per_symbol_) - 1));
    }

    BitPlayer player_;
    int bits_per_symbol_ = 1;
};

}  // namespace

std::unique_ptr<Family> make_bits_family(const Params &) { return std::make_unique<Bits>(); }

}  // namespace qn::synth
