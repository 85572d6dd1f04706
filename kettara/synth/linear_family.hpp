// What the bits family and the PN-driven linear families share: a symbol mapper whose
// differential phase and delay line are part of the stream's state, and APSK ring ratios.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

#include "constellation.hpp"
#include "synth_family.hpp"
#include "synth_setup.hpp"
#include "wfm_classes.hpp"

namespace qn::synth {

class MappedFamily : public Family, public RingsSetup {
public:
    MappedFamily(const Traits &t, uint32_t bitmod, int nsps)
        : Family(t), bitmod_(bitmod), nsps_(nsps), mapper_(bitmod, nsps) {}

    void finish(cf32 *out, size_t m) override { mapper_.finish(out, m); }
    [[nodiscard]] size_t extra_state_bytes() const override { return mapper_.state_bytes(); }
    void save_extra(uint8_t *out) const override { mapper_.save(out); }
    [[nodiscard]] bool extra_fits(const uint8_t *in) const override { return mapper_.fits(in); }
    void restore_extra(const uint8_t *in) override { mapper_.restore(in); }

    // Ratios are kept for a mapping chosen later (a bits source's); the current one takes
    // them now when it is APSK.
    int set_apsk_rings(const double *ratios, size_t n) override {
        if (default_apsk_rings(bitmod_) && qn::apsk_rings_error(bitmod_, ratios, n)) return QN_ERR_INVALID;
        try {
            std::vector<double> kept(ratios, ratios + n);
            SymbolMapper mapper(bitmod_, nsps_, rings_for(bitmod_, kept));
            rings_ = std::move(kept);
            mapper_ = std::move(mapper);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        return QN_OK;
    }

protected:
    // A fresh mapper for another mapping (may throw when memory runs out).
    void remap(uint32_t bitmod) {
        SymbolMapper mapper(bitmod, nsps_, rings_for(bitmod, rings_));
        mapper_ = std::move(mapper);
        bitmod_ = bitmod;
    }

private:
    static const double *rings_for(uint32_t bitmod, const std::vector<double> &rings) {
        const bool fits = !rings.empty() && !qn::apsk_rings_error(bitmod, rings.data(), rings.size());
        return fits ? rings.data() : nullptr;
    }

    uint32_t bitmod_;
    int nsps_;
    std::vector<double> rings_;

protected:
    SymbolMapper mapper_;
};

}  // namespace qn::synth
