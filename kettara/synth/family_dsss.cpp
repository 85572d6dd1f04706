// DSSS chips: either a framed chip stream (acquisition code repeated, then every frame bit
// spread by the data code) played like explicit bits, or continuous spreading, the code
// running on while each data bit (zeros, given bits or PN bits) lasts chips_per_bit chips.
#include <stdexcept>
#include <vector>

#include "bit_player.hpp"
#include "checked.hpp"
#include "constellation.hpp"
#include "memory_limit.hpp"
#include "synth_family.hpp"
#include "synth_setup.hpp"
#include "wfm_frame.h"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

namespace qn::synth {
namespace {

Traits dsss_traits() {
    Traits t;
    t.plays_symbols = true;
    t.pn = PnNeed::kOptional;
    return t;
}

std::vector<uint8_t> low_bits(const uint8_t *v, size_t n) {
    std::vector<uint8_t> out(v, v + n);
    for (auto &b : out) b &= 1;
    return out;
}

class Dsss final : public Family, public DsssSetup {
public:
    Dsss() : Family(dsss_traits()) {}

    int set_framed(const uint8_t *acq_code, size_t acq_len, size_t acq_reps, const uint8_t *data_code,
                   size_t code_len, const uint8_t *sync, size_t sync_len, const uint8_t *payload,
                   size_t payload_len, uint32_t crc) override {
        const size_t nchips = wfm_frame_dsss_nchips(acq_len, acq_reps, code_len, sync_len, payload_len, crc);
        if (nchips == 0 || !qn::fits_in_memory(nchips)) return QN_ERR_INVALID;
        try {
            std::vector<uint8_t> chips(nchips);
            if (wfm_frame_dsss_chips(acq_code, acq_len, acq_reps, data_code, code_len, sync, sync_len, payload,
                                     payload_len, crc, chips.data()) != nchips) {
                return QN_ERR_INVALID;
            }
            frame_.load(std::move(chips), 0);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        chips_per_bit_ = 0.0;
        return QN_OK;
    }

    int set_continuous(const uint8_t *code, size_t code_len, uint32_t data_mode, const uint8_t *data,
                       size_t data_len, double chips_per_bit, bool has_pn) override {
        if (!code || code_len == 0 || !(chips_per_bit >= 1.0) || data_mode > WFM_DSSS_DATA_PN) return QN_ERR_INVALID;
        if (data_mode == WFM_DSSS_DATA_GIVEN && (!data || data_len == 0)) return QN_ERR_INVALID;
        if (data_mode == WFM_DSSS_DATA_PN && !has_pn) return QN_ERR_INVALID;
        try {
            std::vector<uint8_t> new_code = low_bits(code, code_len);
            std::vector<uint8_t> new_data;
            if (data_mode == WFM_DSSS_DATA_GIVEN) new_data = low_bits(data, data_len);
            code_ = std::move(new_code);
            data_ = std::move(new_data);
            frame_.load({}, 0);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        data_mode_ = data_mode;
        chips_per_bit_ = chips_per_bit;
        chip_ = bit_idx_ = 0;
        bit_ = 0;
        return QN_OK;
    }

    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (continuous() ? code_.empty() : frame_.empty()) return Family::draw(pn, dst, count, fallback);
        if (continuous()) {
            for (size_t i = 0; i < count; ++i) dst[i] = next_spread_chip(pn);
        } else {
            // Framed chips are the BPSK points of explicit bits.
            const cf32 *bpsk = constellation(WFM_BITMOD_BPSK).points;
            for (size_t i = 0; i < count; ++i) dst[i] = bpsk[frame_.next()];
        }
    }
    void rewind() override {
        frame_.rewind();
        chip_ = bit_idx_ = 0;
        bit_ = 0;
    }
    void save(uint8_t *fixed) const override {
        frame_.save(fixed);
        put<uint64_t>(fixed, slot::kDsssChip, chip_);
        put<uint64_t>(fixed, slot::kDsssBitIdx, bit_idx_);
        fixed[slot::kDsssBit] = bit_;
    }
    [[nodiscard]] bool fits(const uint8_t *fixed) const override {
        return positions_fit(fixed, continuous() ? data_.size() : frame_.size(), 0);
    }
    void restore(const uint8_t *fixed) override {
        frame_.restore(fixed);
        chip_ = get<uint64_t>(fixed, slot::kDsssChip);
        bit_idx_ = get<uint64_t>(fixed, slot::kDsssBitIdx);
        bit_ = fixed[slot::kDsssBit];
    }

private:
    [[nodiscard]] bool continuous() const { return chips_per_bit_ > 0.0; }

    uint8_t next_data_bit(PnGen *pn, uint64_t bit_index) {
        uint8_t bit = 0;
        if (data_mode_ == WFM_DSSS_DATA_PN && pn) {
            pn_generate(pn, 1, &bit, 1);
        } else if (data_mode_ == WFM_DSSS_DATA_GIVEN && !data_.empty()) {
            bit = data_[bit_index % data_.size()] & 1;
        }
        return bit & 1;
    }

    cf32 next_spread_chip(PnGen *pn) {
        const uint64_t bit_index = qn::saturating_count<uint64_t>(static_cast<double>(chip_) / chips_per_bit_);
        if (chip_ == 0 || bit_index != bit_idx_) {
            bit_idx_ = bit_index;
            bit_ = next_data_bit(pn, bit_index);
        }
        const uint8_t chip = code_[chip_ % code_.size()] & 1;
        ++chip_;
        return chip == bit_ ? cf32{1.0f, 0.0f} : cf32{-1.0f, 0.0f};
    }

    BitPlayer frame_;
    std::vector<uint8_t> code_;
    std::vector<uint8_t> data_;
    uint32_t data_mode_ = 0;
    double chips_per_bit_ = 0.0;
    uint64_t chip_ = 0;
    uint64_t bit_idx_ = 0;
    uint8_t bit_ = 0;
};

}  // namespace

std::unique_ptr<Family> make_dsss_family(const Params &) { return std::make_unique<Dsss>(); }

}  // namespace qn::synth
