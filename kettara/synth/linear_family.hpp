// What the bits family and the PN-driven linear families share: a symbol mapper whose
// differential phase and delay line are part of the stream's state.
#pragma once

#include <memory>

#include "constellation.hpp"
#include "synth_family.hpp"

namespace qn::synth {

class MappedFamily : public Family {
public:
    MappedFamily(const Traits &t, uint32_t bitmod, int nsps) : Family(t), mapper_(bitmod, nsps) {}

    void finish(cf32 *out, size_t m) override { mapper_.finish(out, m); }
    [[nodiscard]] size_t extra_state_bytes() const override { return mapper_.state_bytes(); }
    void save_extra(uint8_t *out) const override { mapper_.save(out); }
    [[nodiscard]] bool extra_fits(const uint8_t *in) const override { return mapper_.fits(in); }
    void restore_extra(const uint8_t *in) override { mapper_.restore(in); }

protected:
    SymbolMapper mapper_;
};

}  // namespace qn::synth
