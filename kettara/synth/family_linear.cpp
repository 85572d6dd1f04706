// Linear modulations driven by the PN generator: every symbol takes its bits_per_symbol
// bits from the generator, first bit most significant, and maps them by the type's class.
#include <algorithm>

#include "linear_family.hpp"
#include "wfm_classes.hpp"
#include "wfm_spec.h"

namespace qn::synth {
namespace {

Traits linear_traits(const LinearClass &c) {
    Traits t;
    t.plays_symbols = true;
    t.pn = PnNeed::kRequired;
    t.snr_per_symbol = true;
    t.ebno_offset_db = ebno_offset_db(c);
    return t;
}

class PnLinear final : public MappedFamily {
public:
    PnLinear(const LinearClass &c, int nsps) : MappedFamily(linear_traits(c), c.bitmod, nsps) {}

    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (!pn) return Family::draw(pn, dst, count, fallback);
        const uint32_t k = mapper_.bits_per_symbol();
        // In pieces, so that the chips of one piece fit a fixed buffer.
        constexpr size_t kPiece = 256;
        uint8_t chips[kPiece * kMaxBitsPerSymbol];
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(kPiece, count - done);
            pn_generate(pn, n * k, chips, n * k);
            for (size_t i = 0; i < n; ++i) {
                uint32_t v = 0;
                for (uint32_t b = 0; b < k; ++b) v = (v << 1) | (chips[i * k + b] != 0);
                dst[done + i] = mapper_.map(v);
            }
            done += n;
        }
    }
    void rewind() override { mapper_.rewind(); }
};

}  // namespace

std::unique_ptr<Family> make_linear_family(const Params &p) {
    return std::make_unique<PnLinear>(*linear_class_of_type(p.wtype), p.nsps);
}

}  // namespace qn::synth
