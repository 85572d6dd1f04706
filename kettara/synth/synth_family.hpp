// One waveform family of the synthesiser: where a source's symbols (or its own carrier)
// come from. Each family lives in a file of its own and is installed by its create; the
// shaping stage, the carrier, the noise and the state blob are common to all of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pn_core.h"
#include "qn_api.h"
#include "state_blob.hpp"

namespace qn::synth {

// Samples per processing chunk; every scratch buffer of a step is sized from it.
constexpr size_t kChunk = 2048;
// Symbols one chunk can need: one per sample at one sample per symbol, plus the one an
// interpolator may ask for ahead of its output.
constexpr size_t kMaxSymbols = kChunk + 1;

// The fixed part of the "WFMS" blob; families keep their running positions in its slots.
constexpr size_t kStateFixedBytes = 83;
namespace slot {
constexpr size_t kDataPos = 28;
constexpr size_t kSymIdx = 36;
constexpr size_t kChirpPhase = 44;
constexpr size_t kChirpPos = 52;
constexpr size_t kDsssChip = 60;
constexpr size_t kDsssBitIdx = 68;
constexpr size_t kDsssBit = 76;
}  // namespace slot

template <typename T>
void put(uint8_t *blob, size_t off, T v) { qn::blob::put<T>(blob + off, v); }
template <typename T>
T get(const uint8_t *blob, size_t off) { return qn::blob::get<T>(blob + off); }

// The data and symbol positions of a blob lie inside buffers of these lengths (a family
// without such a buffer passes 0, which admits only position 0).
bool positions_fit(const uint8_t *fixed, size_t data_len, size_t symbols_len);

enum class PnNeed { kNone, kOptional, kRequired };

// What the common stages need to know of a family.
struct Traits {
    bool plays_symbols = false;    // symbols go through the shaping stage
    bool own_carrier = false;      // the family writes its carrier instead of an oscillator
    bool noise_only = false;       // the source is its own unit-power noise
    bool snr_per_symbol = false;   // "auto" refers the SNR to the symbol rate
    double ebno_offset_db = 0.0;   // Es/N0 minus Eb/N0 in the "ebno" mode
    PnNeed pn = PnNeed::kNone;
    cf32 rest{0.0f, 0.0f};         // the held value before any symbol
};

// Creation parameters every family may read (frequencies in units of the sample rate).
struct Params {
    uint32_t wtype = 0;
    int nsps = 1;
    double freq_norm = 0.0;
    double freq_end_norm = 0.0;
};

class Family {
public:
    explicit Family(const Traits &t) : traits(t) {}
    virtual ~Family() = default;
    Family(const Family &) = delete;
    Family &operator=(const Family &) = delete;

    // The next `count` (<= kMaxSymbols) symbols in stream order; `fallback` for each when
    // the source has nothing to play.
    virtual void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) {
        (void)pn;
        std::fill(dst, dst + count, fallback);
    }
    // Called at the start of every request of n samples.
    virtual void begin_request(size_t n) { (void)n; }
    // Applied to m shaped baseband samples before the carrier.
    virtual void finish(cf32 *out, size_t m) { (void)out, (void)m; }
    // m phasors of the family's own carrier (own_carrier families only).
    virtual void carrier(cf32 *out, size_t m) { std::fill(out, out + m, cf32{1.0f, 0.0f}); }
    // Back to the start of the stream, keeping the configuration.
    virtual void rewind() {}
    // Running positions into their slots of the blob's fixed part (already zeroed), and back.
    virtual void save(uint8_t *fixed) const { (void)fixed; }
    [[nodiscard]] virtual bool fits(const uint8_t *fixed) const { return positions_fit(fixed, 0, 0); }
    virtual void restore(const uint8_t *fixed) { (void)fixed; }
    // Running state beyond the fixed part, stored after the sub-objects (none for the
    // families whose blob layout predates them).
    [[nodiscard]] virtual size_t extra_state_bytes() const { return 0; }
    virtual void save_extra(uint8_t *out) const { (void)out; }
    [[nodiscard]] virtual bool extra_fits(const uint8_t *in) const { (void)in; return true; }
    virtual void restore_extra(const uint8_t *in) { (void)in; }

    const Traits traits;
};

using Create = std::unique_ptr<Family> (*)(const Params &);

// The family of a waveform type (an unknown type holds its value); null when out of memory.
std::unique_ptr<Family> make_family(const Params &p);

// The creates, one per family file.
std::unique_ptr<Family> make_tone_family(const Params &p);
std::unique_ptr<Family> make_pn_family(const Params &p);
std::unique_ptr<Family> make_bits_family(const Params &p);
std::unique_ptr<Family> make_symbols_family(const Params &p);
std::unique_ptr<Family> make_dsss_family(const Params &p);
std::unique_ptr<Family> make_linear_family(const Params &p);

}  // namespace qn::synth
