// The render plan's records, shared by its build, its renders and its blob.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frontend.hpp"
#include "kettara.h"
#include "wfm_spec.h"

namespace qn {

// A scene source with its own copies of the arrays it points to.
class OwnedSource {
public:
    OwnedSource() = default;
    explicit OwnedSource(const SourceSpec &src);  // throws std::bad_alloc
    OwnedSource(const OwnedSource &) = delete;
    OwnedSource &operator=(const OwnedSource &) = delete;
    OwnedSource(OwnedSource &&) = default;  // moving a vector keeps its buffer: pointers stay valid
    OwnedSource &operator=(OwnedSource &&) = default;

    const SourceSpec &spec() const { return spec_; }

private:
    SourceSpec spec_{};
    std::vector<uint8_t> pattern_, acq_code_, data_code_, sync_;
    std::vector<cf32> symbols_;
    std::unique_ptr<WfmChannelSpec> channel_;
};

struct PlanSegment {
    uint64_t n_cached = 0;
    uint64_t first_cache = 0;
    uint64_t num_samples = 0;
    uint64_t repeats = 1;
    uint32_t range_flags = 0;  // WFM_RANGE_OFF_SAMPLES and WFM_RANGE_DELAY_SAMPLES only
    uint64_t off_lo = 0, off_hi = 0;
    uint64_t delay_lo = 0, delay_hi = 0;
    uint32_t gap_noise_off = 0;
    uint32_t seed = 1;        // key of the timing draws
    uint32_t single_source = 0;  // the composer's gaps then carry the lone source's noise alone
    uint32_t has_floor = 0;
    uint32_t own_noise = 0;   // the noise is the lone source's own
    OwnedSource floor_source;
    // How an snr override moves a shared floor: not at all (floor_absolute), relative to the
    // floor per sample (ref_per_sample: an explicit noise source), or by the reference
    // source's own snr mode (the floor noise resolution derived from it).
    uint32_t floor_absolute = 1;
    uint32_t ref_per_sample = 0;
    double floor_level = 0.0;
    double ref_snr = 0.0;
    double ref_level = 0.0;
    uint32_t ref_type = 0, ref_snr_mode = 0;
    int32_t ref_sps = 0;
    uint64_t ref_code_len = 0;
    double ref_samples_per_symbol = 0.0;
    channel::Frontend frontend;  // the receiver's effects, applied after the noise
};

// How a streaming plan makes one cache's samples while it renders, instead of storing them:
// its sources (several, each with its gain, for a background fold) synthesised at their snr.
struct CacheRecipe {
    std::vector<OwnedSource> sources;
    std::vector<float> gains;
    std::vector<double> snrs;
    bool fold = false;
};

// Caches stored in a blob, reused by index when their length matches the scene's.
struct PrebuiltCaches {
    std::vector<uint64_t> lengths;
    std::vector<const unsigned char *> data;  // n cf32 samples each, possibly unaligned
};

struct FreeSamples {
    void operator()(cf32 *samples) const { std::free(samples); }
};
using SampleBuffer = std::unique_ptr<cf32[], FreeSamples>;

// Uninitialised room for n samples, or null when n is absurd or memory runs out.
SampleBuffer allocate_samples(uint64_t n);

// A cache whose own source fades: that source and its waveform before the taps and fading
// (the on part plus the taps' latency), for renders that fade it afresh.
struct RefadeCache {
    OwnedSource source;
    SampleBuffer unfaded;
    uint64_t latency = 0;
};

// Builds a plan; max_threads 0 means every online processor. The result does not depend
// on the thread count. Null on any failure.
Plan *plan_build(const char *spec_json, const PrebuiltCaches *prebuilt, unsigned max_threads);
// A plan that keeps recipes instead of caches: its renders synthesise as they go, in memory
// that does not grow with the scene. Null when the scene cannot be planned (the memory of
// caches aside), a synthesiser cannot be built, or memory runs out.
Plan *plan_build_streaming(const char *spec_json);

}  // namespace qn

struct Plan {
    std::vector<qn::PlanSegment> segments;
    std::vector<qn::SampleBuffer> caches;  // one per cache, its segment's num_samples long
    std::vector<qn::CacheRecipe> recipes;  // a streaming plan's, one per cache (its caches stay null)
    std::vector<float> base_gains;
    std::vector<qn::RefadeCache> refade;  // per cache: filled for a cache of a fading source
    uint32_t fading_base = 0;             // the seed of the scene's first fading source
    double fs = 1.0;
    uint64_t len = 0;
    std::string spec_json;
    // Per segment, the sum of its caches at their base gains: the part of every render without
    // gain, phase or enable overrides (every kettara_at) that never changes, so that a
    // Monte-Carlo render reads one array instead of one per source. Built on the first such
    // render, once, whichever thread gets there first; null for a segment of fewer than two
    // caches, with its own noise, or when memory ran out (renders then sum the caches).
    mutable std::once_flag base_sums_once;
    mutable std::vector<qn::SampleBuffer> base_sums;

    uint64_t n_cached() const { return caches.size(); }
    bool streaming() const { return !recipes.empty(); }
};

// For tests and benchmarks: kettara_prepare on at most max_threads threads (0: all).
extern "C" QN_API Plan *kettara_prepare_threads(const char *spec_json, uint32_t max_threads);
