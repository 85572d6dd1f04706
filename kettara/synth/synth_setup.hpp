// The configuration each family takes beyond its creation, reached from the C edge by
// asking the installed family for the interface: a family of another type has none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qn_api.h"

namespace qn::synth {

struct ChirpSpan {
    virtual ~ChirpSpan() = default;
    // Sweep length in samples; only the first non-zero span is taken.
    virtual void set_span(uint64_t span) = 0;
};

struct BitsSetup {
    virtual ~BitsSetup() = default;
    // bits[0 .. n) once, then bits[loop_start .. n) looped; normalised to 0/1.
    virtual int set_bits(const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation) = 0;
};

struct RingsSetup {
    virtual ~RingsSetup() = default;
    // APSK ring radius ratios; QN_OK without effect on other mappings, QN_ERR_INVALID for
    // ratios the mapping cannot take.
    virtual int set_apsk_rings(const double *ratios, size_t n) = 0;
};

struct SymbolsSetup {
    virtual ~SymbolsSetup() = default;
    virtual int set_symbols(const cf32 *symbols, size_t n) = 0;
};

struct DsssSetup {
    virtual ~DsssSetup() = default;
    virtual int set_framed(const uint8_t *acq_code, size_t acq_len, size_t acq_reps, const uint8_t *data_code,
                           size_t code_len, const uint8_t *sync, size_t sync_len, const uint8_t *payload,
                           size_t payload_len, uint32_t crc) = 0;
    // Continuous spreading; has_pn tells whether the source has a PN generator for its data.
    virtual int set_continuous(const uint8_t *code, size_t code_len, uint32_t data_mode, const uint8_t *data,
                               size_t data_len, double chips_per_bit, bool has_pn) = 0;
};

}  // namespace qn::synth
