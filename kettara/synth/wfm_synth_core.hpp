// Internal helpers of the waveform synthesiser shared with the source attachments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wfm_classes.hpp"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

namespace qn {

// Waveform types that play symbols and can therefore be pulse-shaped.
inline bool is_symbol_type(uint32_t wtype) {
    switch (wtype) {
    case WFM_TYPE_PN: case WFM_TYPE_BPSK: case WFM_TYPE_QPSK:
    case WFM_TYPE_BITS: case WFM_TYPE_SYMBOLS: case WFM_TYPE_DSSS:
        return true;
    default:
        return linear_class_of_type(wtype) != nullptr;
    }
}

// Bits type: plays bits[0 .. n) once, then loops over bits[loop_start .. n) (loop_start < n).
// A stream whose first pass differs from its repetitions, such as a convolutionally coded
// frame that starts from the all-zero register, is played as one seamless stream this way.
// Results as wfm_synth_set_bits, which is the form with loop_start 0.
int synth_set_looping_bits(Synth *s, const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation);

// The synthesiser's next n noise samples laid onto a signal: out[k] = noise[k] * gain +
// signal[k], as wfm_synth_noise_steps followed by that sum gives it, in one pass.
void synth_noise_onto(Synth *s, float gain, const cf32 *signal, cf32 *out, size_t n);

}  // namespace qn
