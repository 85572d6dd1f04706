// Ownership of scene records and the parsed form of a scene, shared by the parser, the
// writer and the composer. Records and their arrays live in malloc memory, so noise
// resolution can grow a segment's source array in place.
#pragma once

#include <cstdint>
#include <utility>

#include "wfm_spec.h"

namespace wfm {

// Frees the bit and symbol arrays of n sources (not the sources themselves).
void free_src_bits(SourceSpec *sources, uint64_t n);

// An owned array of segments with their sources and arrays.
class Segments {
public:
    Segments() = default;
    ~Segments() { reset(); }
    Segments(const Segments &) = delete;
    Segments &operator=(const Segments &) = delete;
    Segments(Segments &&o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    Segments &operator=(Segments &&o) noexcept {
        if (this != &o) {
            reset();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }

    // n zero-filled segments; empty on allocation failure.
    static Segments zeroed(uint64_t n);
    // Deep copy; arrays of length 0 are not copied and stay absent. Empty on failure.
    static Segments copy_of(const SegmentSpec *segments, uint64_t n);

    SegmentSpec *data() const { return data_; }
    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    SegmentSpec &operator[](uint64_t i) const { return data_[i]; }

private:
    void reset();
    SegmentSpec *data_ = nullptr;
    uint64_t size_ = 0;
};

struct Scene {
    Segments segments;
    int32_t repeat = 0;
    int32_t continuous = 0;
    uint32_t seed_advance = WFM_SEED_ADVANCE_NONE;
};

// Parses scene text into records; false when it is not a valid scene.
bool parse_scene(const char *text, Scene &out);

}  // namespace wfm
