// A stored bit stream played once and then looped from a point, as the bits family and
// framed DSSS chips play theirs; its position is the blob's data slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "synth_family.hpp"

namespace qn::synth {

class BitPlayer {
public:
    [[nodiscard]] bool empty() const { return bits_.empty(); }
    [[nodiscard]] size_t size() const { return bits_.size(); }

    // Takes bits (already 0/1) and loop_start < bits.size(); playback starts over.
    void load(std::vector<uint8_t> bits, size_t loop_start) {
        bits_ = std::move(bits);
        loop_ = loop_start;
        pos_ = 0;
    }
    // The next bit (the player must not be empty).
    uint8_t next() {
        const uint8_t b = bits_[pos_];
        if (++pos_ == bits_.size()) pos_ = loop_;
        return b;
    }
    void rewind() { pos_ = 0; }
    void save(uint8_t *fixed) const { put<uint64_t>(fixed, slot::kDataPos, pos_); }
    void restore(const uint8_t *fixed) { pos_ = get<uint64_t>(fixed, slot::kDataPos); }

private:
    std::vector<uint8_t> bits_;
    uint64_t pos_ = 0;
    uint64_t loop_ = 0;
};

}  // namespace qn::synth
