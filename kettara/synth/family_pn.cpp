// PN-driven families: PN chips and BPSK (one chip per symbol, 0 -> +1, 1 -> -1) and QPSK
// (two chips per symbol, one per rail) straight from the source's PN generator.
#include "synth_family.hpp"
#include "wfm_spec.h"

namespace qn::synth {
namespace {

constexpr float kQpskAmp = 0.70710677f;

cf32 chip_level(uint8_t chip) { return chip ? cf32{-1.0f, 0.0f} : cf32{1.0f, 0.0f}; }

Traits pn_traits(uint32_t wtype) {
    Traits t;
    t.plays_symbols = true;
    t.pn = PnNeed::kRequired;
    t.snr_per_symbol = wtype != WFM_TYPE_PN;
    if (wtype == WFM_TYPE_QPSK) t.ebno_offset_db = 3.010299956639812;
    return t;
}

class Chips final : public Family {
public:
    explicit Chips(uint32_t wtype) : Family(pn_traits(wtype)) {}

    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (!pn) return Family::draw(pn, dst, count, fallback);
        uint8_t chips[kMaxSymbols];
        pn_generate(pn, count, chips, count);
        for (size_t i = 0; i < count; ++i) dst[i] = chip_level(chips[i]);
    }
};

class Qpsk final : public Family {
public:
    Qpsk() : Family(pn_traits(WFM_TYPE_QPSK)) {}

    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (!pn) return Family::draw(pn, dst, count, fallback);
        uint8_t chips[2 * kMaxSymbols];
        pn_generate(pn, 2 * count, chips, 2 * count);
        for (size_t i = 0; i < count; ++i) {
            dst[i] = cf32{chips[2 * i] ? -kQpskAmp : kQpskAmp, chips[2 * i + 1] ? -kQpskAmp : kQpskAmp};
        }
    }
};

}  // namespace

std::unique_ptr<Family> make_pn_family(const Params &p) {
    if (p.wtype == WFM_TYPE_QPSK) return std::make_unique<Qpsk>();
    return std::make_unique<Chips>(p.wtype);
}

}  // namespace qn::synth
