// Building a render plan: the scene is parsed and noise-resolved by the composer, then
// every signal source of every segment is synthesised once into a cache on worker threads.
#include "kettara.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "checked.hpp"
#include "kettara_parallel.hpp"
#include "kettara_plan.hpp"
#include "wfm_compose.h"
#include "wfm_resolve.h"
#include "wfm_scene.hpp"
#include "wfm_synth_core.h"

namespace qn {

OwnedSource::OwnedSource(const SourceSpec &src) : spec_(src) {
    auto own = [](auto *&field, uint64_t n, auto &storage) {
        if (field && n) {
            storage.assign(field, field + n);
            field = storage.data();
        } else {
            field = nullptr;
        }
    };
    own(spec_.pattern, spec_.pattern_len, pattern_);
    own(spec_.acq_code, spec_.acq_code_len, acq_code_);
    own(spec_.data_code, spec_.data_code_len, data_code_);
    own(spec_.sync, spec_.sync_len, sync_);
    own(spec_.symbols, spec_.n_symbols, symbols_);
}

SampleBuffer allocate_samples(uint64_t n) {
    if (!checked_mul<uint64_t>(n, sizeof(cf32)) || n > SIZE_MAX / sizeof(cf32)) return nullptr;
    return SampleBuffer(new (std::nothrow) cf32[n]);
}

namespace {

constexpr uint64_t kFoldScratchBytes = uint64_t{1} << 28;
constexpr uint64_t kFoldChunk = 32768;

bool is_noise(const SourceSpec &s) { return s.type == WFM_TYPE_NOISE; }
// NaN counts as no noise, as in the synthesiser.
bool carries_noise(const SourceSpec &s) { return !is_noise(s) && s.snr < 100.0; }

struct ComposerFree {
    void operator()(Composer *c) const { wfm_compose_destroy(c); }
};

// Everything the plan needs to know about a segment before noise resolution: which source
// it took as the reference of the floor, and whether the floor was given explicitly.
struct SceneReference {
    bool found = false;
    uint64_t index = 0;
    double snr = 0.0;
    bool explicit_floor = false;
};

SceneReference reference_of(const SegmentSpec &seg) {
    SceneReference ref;
    if (seg.n_sources < 2) return ref;
    for (uint64_t i = 0; i < seg.n_sources; ++i) {
        const SourceSpec &s = seg.sources[i];
        if (is_noise(s)) ref.explicit_floor = true;
        if (!ref.found && carries_noise(s)) {
            ref.found = true;
            ref.index = i;
            ref.snr = s.snr;
        }
    }
    return ref;
}

// The scenes a plan can render: one pass, fixed on-part lengths and source values, one
// sample rate, background sources before foreground ones, a noise source only last.
bool plannable(const SegmentSpec *segs, uint64_t n, int32_t repeat, int32_t continuous) {
    if (n == 0 || repeat || continuous) return false;
    for (uint64_t k = 0; k < n; ++k) {
        const SegmentSpec &seg = segs[k];
        if (seg.num_samples == 0 || seg.n_sources == 0 ||
            (seg.range_flags & WFM_RANGE_NUM_SAMPLES) || !(seg.fs == segs[0].fs))
            return false;
        bool foreground_seen = false;
        for (uint64_t i = 0; i < seg.n_sources; ++i) {
            const SourceSpec &s = seg.sources[i];
            if (s.range_flags) return false;
            if (is_noise(s)) {
                if (i + 1 != seg.n_sources) return false;
            } else if (s.background) {
                if (foreground_seen) return false;
            } else {
                foreground_seen = true;
            }
        }
    }
    return true;
}

// Which sources of a segment get a cache: the background fold (first) and the others.
struct CacheLayout {
    std::vector<uint64_t> folded;      // background sources summed into the fold
    std::vector<uint64_t> individual;  // sources with a cache of their own, in scene order
    uint64_t count() const { return (folded.empty() ? 0 : 1) + individual.size(); }
};

CacheLayout cache_layout(const SegmentSpec &seg) {
    CacheLayout layout;
    if (seg.n_sources == 1) {
        const SourceSpec &s = seg.sources[0];
        if (is_noise(s)) return layout;
        (s.background && !(s.snr < 100.0) ? layout.folded : layout.individual).push_back(0);
        return layout;
    }
    for (uint64_t i = 0; i < seg.n_sources; ++i) {
        const SourceSpec &s = seg.sources[i];
        if (!is_noise(s)) (s.background ? layout.folded : layout.individual).push_back(i);
    }
    return layout;
}

uint64_t gap_bound(uint32_t flags, uint32_t bit, uint64_t lo, uint64_t hi) {
    return (flags & bit) ? std::max(lo, hi) : lo;
}

// Length of every instance of the segment with each ranged gap at its larger bound.
std::optional<uint64_t> worst_case_length(const PlanSegment &p) {
    const uint64_t off = gap_bound(p.range_flags, WFM_RANGE_OFF_SAMPLES, p.off_lo, p.off_hi);
    const uint64_t delay = gap_bound(p.range_flags, WFM_RANGE_DELAY_SAMPLES, p.delay_lo, p.delay_hi);
    const auto on_and_off = checked_add(p.num_samples, off);
    const auto instance = on_and_off ? checked_add(*on_and_off, delay) : std::nullopt;
    return instance ? checked_mul(*instance, p.repeats) : std::nullopt;
}

PlanSegment describe_segment(const SegmentSpec &seg, const SceneReference &ref) {
    PlanSegment p;
    p.num_samples = seg.num_samples;
    p.repeats = std::max<uint64_t>(seg.repeats, 1);
    p.range_flags = seg.range_flags & (WFM_RANGE_OFF_SAMPLES | WFM_RANGE_DELAY_SAMPLES);
    p.off_lo = seg.off_samples;
    p.off_hi = seg.off_samples_hi;
    p.delay_lo = seg.delay_samples;
    p.delay_hi = seg.delay_samples_hi;
    p.gap_noise_off = seg.gap_noise_off;
    p.seed = seg.sources[0].seed;
    p.single_source = seg.n_sources == 1;

    const SourceSpec &last = seg.sources[seg.n_sources - 1];
    if (seg.n_sources == 1 && carries_noise(last)) {
        p.has_floor = p.own_noise = 1;
        p.floor_source = OwnedSource(last);
    } else if (is_noise(last)) {
        p.has_floor = 1;
        p.floor_source = OwnedSource(last);
        p.floor_level = last.level;
        if (ref.found) {
            const SourceSpec &r = seg.sources[ref.index];
            p.floor_absolute = 0;
            p.ref_per_sample = ref.explicit_floor;
            p.ref_snr = ref.snr;
            p.ref_level = r.level;
            p.ref_type = r.type;
            p.ref_snr_mode = r.snr_mode;
            p.ref_sps = r.sps;
            p.ref_code_len = r.data_code_len;
            if (r.type == WFM_TYPE_DSSS && seg.fs > 0.0 && r.symbol_rate > 0.0)
                p.ref_samples_per_symbol = seg.fs / r.symbol_rate;
        }
    }
    return p;
}

// A source's waveform without its noise (snr 100), as the composer's first instance makes it.
bool synthesise(const SourceSpec &src, double snr, uint64_t n, double fs, cf32 *out) {
    Synth *synth = wfm_compose_build_synth(&src, n, 0, 0, 0, fs, src.freq, snr, src.f_end);
    if (!synth) return false;
    wfm_synth_steps(synth, out, n);
    wfm_synth_destroy(synth);
    return true;
}

class Builder {
public:
    Builder(Plan &plan, const PrebuiltCaches *prebuilt, unsigned max_threads)
        : plan_(plan), prebuilt_(prebuilt), max_threads_(max_threads) {}

    bool build_segment(const SegmentSpec &seg, const PlanSegment &p, const CacheLayout &layout) {
        uint64_t cache = p.first_cache;
        if (!layout.folded.empty() && !build_fold(seg, layout.folded, cache++)) return false;
        const double noise_free = 100.0;
        auto job = [&](uint64_t k) {
            const SourceSpec &src = seg.sources[layout.individual[k]];
            const uint64_t c = cache + k;
            plan_.base_gains[c] = wfm_level_gain(src.level);
            SampleBuffer buf = allocate_samples(seg.num_samples);
            if (!buf || !(reuse(c, seg.num_samples, buf.get()) ||
                          synthesise(src, p.own_noise ? noise_free : src.snr, seg.num_samples,
                                     plan_.fs, buf.get())))
                return fail();
            plan_.caches[c] = std::move(buf);
        };
        run_jobs(layout.individual.size(), seg.num_samples, max_threads_, job);
        return !failed_.load();
    }

private:
    void fail() { failed_.exchange(true); }

    bool reuse(uint64_t cache, uint64_t n, cf32 *out) const {
        if (!prebuilt_ || cache >= prebuilt_->lengths.size() || prebuilt_->lengths[cache] != n)
            return false;
        std::memcpy(out, prebuilt_->data[cache], n * sizeof(cf32));
        return true;
    }

    // The background sources summed in scene order with their gains, as the composer sums
    // them; synthesised in batches whose scratch memory stays under kFoldScratchBytes.
    bool build_fold(const SegmentSpec &seg, const std::vector<uint64_t> &sources, uint64_t cache) {
        const uint64_t n = seg.num_samples;
        plan_.base_gains[cache] = 1.0f;
        SampleBuffer fold = allocate_samples(n);
        if (!fold) return false;
        if (reuse(cache, n, fold.get())) {
            plan_.caches[cache] = std::move(fold);
            return true;
        }
        const auto bytes = checked_mul<uint64_t>(n, sizeof(cf32));
        if (!bytes) return false;
        const uint64_t batch = *bytes > kFoldScratchBytes
                                   ? 1
                                   : std::min<uint64_t>(kFoldScratchBytes / *bytes, sources.size());
        std::vector<SampleBuffer> scratch(batch);
        std::vector<float> gains(batch);
        for (auto &s : scratch)
            if (!(s = allocate_samples(n))) return false;

        for (uint64_t first = 0; first < sources.size(); first += batch) {
            const uint64_t m = std::min<uint64_t>(batch, sources.size() - first);
            auto make = [&](uint64_t j) {
                const SourceSpec &src = seg.sources[sources[first + j]];
                gains[j] = wfm_level_gain(src.level);
                if (!synthesise(src, src.snr, n, plan_.fs, scratch[j].get())) fail();
            };
            run_jobs(m, n, max_threads_, make);
            if (failed_.load()) return false;
            const bool assign_first = first == 0;
            auto combine = [&](uint64_t chunk) {
                const uint64_t begin = chunk * kFoldChunk;
                const uint64_t end = std::min(n, begin + kFoldChunk);
                cf32 *f = fold.get();
                for (uint64_t j = 0; j < m; ++j) {
                    const cf32 *s = scratch[j].get();
                    const float g = gains[j];
                    if (assign_first && j == 0) {
                        for (uint64_t k = begin; k < end; ++k)
                            f[k] = cf32{s[k].re * g, s[k].im * g};
                    } else {
                        for (uint64_t k = begin; k < end; ++k)
                            f[k] = cf32{s[k].re * g + f[k].re, s[k].im * g + f[k].im};
                    }
                }
            };
            run_jobs((n + kFoldChunk - 1) / kFoldChunk, n, max_threads_, combine);
        }
        plan_.caches[cache] = std::move(fold);
        return true;
    }

    Plan &plan_;
    const PrebuiltCaches *prebuilt_;
    unsigned max_threads_;
    std::atomic<bool> failed_{false};
};

Plan *build(const char *spec_json, const PrebuiltCaches *prebuilt, unsigned max_threads) {
    wfm::Scene scene;
    if (!spec_json || !wfm::parse_scene(spec_json, scene)) return nullptr;
    std::unique_ptr<Composer, ComposerFree> composer(wfm_compose_create(
        scene.segments.data(), scene.segments.size(), scene.repeat, scene.continuous));
    if (!composer) return nullptr;
    uint64_t n = 0;
    int32_t repeat = 0, continuous = 0;
    const SegmentSpec *segs = wfm_compose_segments(composer.get(), &n, &repeat, &continuous);
    if (!segs || !plannable(segs, n, repeat, continuous)) return nullptr;

    std::vector<CacheLayout> layouts;
    uint64_t n_cached = 0;
    std::optional<uint64_t> cache_bytes = 0;
    for (uint64_t k = 0; k < n; ++k) {
        layouts.push_back(cache_layout(segs[k]));
        n_cached += layouts.back().count();
        const auto samples = checked_mul<uint64_t>(layouts.back().count(), segs[k].num_samples);
        const auto bytes = samples ? checked_mul<uint64_t>(*samples, sizeof(cf32)) : std::nullopt;
        cache_bytes = cache_bytes && bytes ? checked_add(*cache_bytes, *bytes) : std::nullopt;
    }
    // Caches beyond the machine's memory are refused before any allocation is tried.
    if (n_cached == 0 || !cache_bytes || !fits_in_memory(*cache_bytes)) return nullptr;

    auto plan = std::make_unique<Plan>();
    plan->spec_json = spec_json;
    plan->fs = segs[0].fs;
    plan->caches.resize(n_cached);
    plan->base_gains.resize(n_cached);
    Builder builder(*plan, prebuilt, max_threads);
    uint64_t first_cache = 0;
    for (uint64_t k = 0; k < n; ++k) {
        PlanSegment p = describe_segment(segs[k], reference_of(scene.segments[k]));
        p.first_cache = first_cache;
        p.n_cached = layouts[k].count();
        first_cache += p.n_cached;
        const auto segment_len = worst_case_length(p);
        const auto total = segment_len ? checked_add(plan->len, *segment_len) : std::nullopt;
        if (!total) return nullptr;
        plan->len = *total;
        if (!builder.build_segment(segs[k], p, layouts[k])) return nullptr;
        plan->segments.push_back(std::move(p));
    }
    return plan.release();
}

}  // namespace

Plan *plan_build(const char *spec_json, const PrebuiltCaches *prebuilt, unsigned max_threads) {
    try {
        return build(spec_json, prebuilt, max_threads);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

}  // namespace qn

extern "C" {

Plan *kettara_prepare_threads(const char *spec_json, uint32_t max_threads) {
    return qn::plan_build(spec_json, nullptr, max_threads);
}

Plan *kettara_prepare(const char *spec_json) { return qn::plan_build(spec_json, nullptr, 0); }

void kettara_destroy(Plan *plan) { delete plan; }

uint64_t kettara_len(const Plan *plan) { return plan ? plan->len : 0; }

uint64_t kettara_n_sources(const Plan *plan) { return plan ? plan->n_cached() : 0; }

}  // extern "C"
