// The synthesiser: its family's source, the shaping stage, the carrier and its noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "awgn_core.hpp"
#include "synth_family.hpp"
#include "synth_parts.hpp"
#include "synth_shaping.hpp"
#include "wfm_synth_core.h"

struct Synth {
    uint32_t wtype = 0;
    qn::synth::Params params;
    std::unique_ptr<qn::synth::Family> family;
    qn::synth::Shaping shaping;
    qn::synth::LoPtr lo;
    qn::synth::AwgnPtr awgn;
    qn::synth::PnPtr pn;

    void steps(cf32 *out, size_t n);
    void noise_steps(cf32 *out, size_t n, const qn::NoiseOnto *onto = nullptr);
    void reset();
    // Installs the family of another waveform type (false, nothing changed, without memory).
    bool change_type(uint32_t new_type);

    // The "WFMS" state blob.
    [[nodiscard]] size_t state_bytes() const;
    void get_state(uint8_t *blob) const;
    int set_state(const uint8_t *blob);

private:
    int apply_state(const uint8_t *blob);
};
