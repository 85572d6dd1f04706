// Explicit bits: a stored pattern (framed or plain) mapped by one of the bits source's
// mappings, on-off keying at amplitude 1 and the linear modulations, the first bit of a
// symbol its most significant.
#include <new>
#include <stdexcept>

#include "bit_player.hpp"
#include "linear_family.hpp"
#include "synth_setup.hpp"
#include "wfm_spec.h"

namespace qn::synth {
namespace {

Traits bits_traits() {
    Traits t;
    t.plays_symbols = true;
    return t;
}

class Bits final : public MappedFamily, public BitsSetup {
public:
    explicit Bits(int nsps) : MappedFamily(bits_traits(), WFM_BITMOD_BPSK, nsps) {}

    int set_bits(const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation) override {
        if (!bits || n == 0 || loop_start >= n || modulation >= WFM_BITMOD_COUNT) return QN_ERR_INVALID;
        try {
            std::vector<uint8_t> copy(n);
            for (size_t i = 0; i < n; ++i) copy[i] = bits[i] != 0;
            remap(modulation);
            player_.load(std::move(copy), loop_start);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        return QN_OK;
    }
    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (player_.empty()) return Family::draw(pn, dst, count, fallback);
        const uint32_t k = mapper_.bits_per_symbol();
        for (size_t i = 0; i < count; ++i) {
            uint32_t v = 0;
            for (uint32_t b = 0; b < k; ++b) v = (v << 1) | player_.next();
            dst[i] = mapper_.map(v);
        }
    }
    void rewind() override {
        player_.rewind();
        mapper_.rewind();
    }
    void save(uint8_t *fixed) const override { player_.save(fixed); }
    [[nodiscard]] bool fits(const uint8_t *fixed) const override { return positions_fit(fixed, player_.size(), 0); }
    void restore(const uint8_t *fixed) override { player_.restore(fixed); }

private:
    BitPlayer player_;
};

}  // namespace

std::unique_ptr<Family> make_bits_family(const Params &p) { return std::make_unique<Bits>(p.nsps); }

}  // namespace qn::synth
