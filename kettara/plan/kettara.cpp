// Building a render plan: the scene is parsed and noise-resolved by the composer, then
// every signal source of every segment is synthesised once into a cache on worker threads.
#include "kettara.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "checked.hpp"
#include "kettara_plan.hpp"
#include "memory_limit.hpp"
#include "qn_parallel.hpp"
#include "source_channel.hpp"
#include "wfm_compose.h"
#include "wfm_resolve.h"
#include "wfm_scene.hpp"
#include "wfm_synth_bridge.h"
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
    if (spec_.channel) {
        channel_ = std::make_unique<WfmChannelSpec>(*spec_.channel);
        spec_.channel = channel_.get();
    }
}

// Buffers of several megabytes start on a huge-page boundary and are advised as huge pages:
// filling one then takes a page fault per 2 MiB instead of one per 4 KiB. Those faults took a
// fifth of a plan build, and serialised its threads in the kernel.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

SampleBuffer allocate_samples(uint64_t n) {
    if (n > (SIZE_MAX - kHugePage) / sizeof(cf32)) return nullptr;
    const std::size_t bytes = std::max<std::size_t>(n * sizeof(cf32), 1);
    if (bytes < 2 * kHugePage) return SampleBuffer(static_cast<cf32 *>(std::malloc(bytes)));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *p = std::aligned_alloc(kHugePage, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);  // only advice: a refusal leaves ordinary pages
    return SampleBuffer(static_cast<cf32 *>(p));
}

namespace {

constexpr uint64_t kFoldScratchBytes = uint64_t{1} << 28;
constexpr uint64_t kFoldChunk = 32768;
// Below this cache length a thread costs more than the synthesis it would take over.
constexpr uint64_t kMinParallelSamples = 4096;

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
    // Noise resolution gives a lone source behind a channel a floor of its own.
    if (seg.n_sources == 0 || (seg.n_sources == 1 && !seg.sources[0].channel)) return ref;
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

// Formats a refusal reason.
template <typename... Args>
std::string reason(const char *format, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

constexpr const char *kRenderInstead = "or render the scene with quennel render, which streams it";

// The key of a source's first ranged value.
const char *ranged_key(uint32_t flags) {
    if (flags & WFM_RANGE_FREQ) return "freq";
    if (flags & WFM_RANGE_SNR) return "snr";
    if (flags & WFM_RANGE_LEVEL) return "level";
    return "f_end";
}

// Why a plan cannot render the scene, or nothing. A plan renders one pass, fixed on-part
// lengths and source values, one sample rate, background sources before foreground ones
// and a noise source only last. Segments and sources are counted from 1.
std::optional<std::string> unplannable(const SegmentSpec *segs, uint64_t n, int32_t repeat, int32_t continuous) {
    if (repeat || continuous) {
        return reason("the scene repeats (\"repeat\" or \"continuous\") and a plan renders one pass: render "
                      "it with quennel render --samples N, or drop \"repeat\" and \"continuous\"");
    }
    for (uint64_t k = 0; k < n; ++k) {
        const SegmentSpec &seg = segs[k];
        const unsigned long long segment = k + 1;
        if (seg.range_flags & WFM_RANGE_NUM_SAMPLES) {
            return reason("segment %llu has a ranged on-part length (\"num_samples\" [lo, hi]) and a plan caches "
                          "fixed lengths: give it one length, %s", segment, kRenderInstead);
        }
        if (seg.num_samples == 0 || seg.n_sources == 0) {
            return reason("segment %llu has an empty on-part (\"num_samples\" 0) and a plan caches on-parts: "
                          "give it a length, %s", segment, kRenderInstead);
        }
        if (const char *key = channel::ranged_frontend_key(seg)) {
            return reason("segment %llu has a ranged front-end \"%s\" ([lo, hi]) and a plan caches fixed values: "
                          "give it one value, %s", segment, key, kRenderInstead);
        }
        if (!(seg.fs == segs[0].fs)) {
            return reason("segment %llu has another sample rate (\"fs\") than segment 1 and a plan has one rate: "
                          "give every segment the same fs, %s", segment, kRenderInstead);
        }
        bool foreground_seen = false;
        for (uint64_t i = 0; i < seg.n_sources; ++i) {
            const SourceSpec &s = seg.sources[i];
            const unsigned long long source = i + 1;
            if (s.range_flags) {
                return reason("segment %llu, source %llu has a ranged \"%s\" ([lo, hi]) and a plan caches fixed "
                              "values: give it one value, %s", segment, source, ranged_key(s.range_flags),
                              kRenderInstead);
            }
            if (const char *key = channel::ranged_channel_key(s)) {
                return reason("segment %llu, source %llu has a ranged channel \"%s\" ([lo, hi]) and a plan caches "
                              "fixed values: give it one value, %s", segment, source, key, kRenderInstead);
            }
            const double chips_per_bit = seg.fs / (s.symbol_rate * std::max<int32_t>(s.sps, 1));
            if (s.type == WFM_TYPE_DSSS && s.symbol_rate > 0.0 && !(chips_per_bit >= 1.0)) {
                return reason("segment %llu, source %llu is continuous DSSS at a \"symbol_rate\" of %g, above fs / sps "
                              "(%g) and so shorter than one chip a bit: lower its symbol_rate or its sps", segment,
                              source, s.symbol_rate, seg.fs / std::max<int32_t>(s.sps, 1));
            }
            if (is_noise(s)) {
                if (i + 1 != seg.n_sources) {
                    return reason("segment %llu, source %llu is a noise source before other sources and a plan "
                                  "takes the noise floor last: move it to the end of the sum", segment, source);
                }
            } else if (s.background) {
                if (foreground_seen) {
                    return reason("segment %llu, source %llu is a background source after a foreground one and a "
                                  "plan folds the background first: list the background sources first",
                                  segment, source);
                }
            } else {
                foreground_seen = true;
            }
        }
    }
    return std::nullopt;
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

// A source's waveform without its noise (snr 100), through its channel, as the composer's
// first instance makes it.
// (A plan takes fixed channel values only, so the draw key of the channel does not matter.)
bool synthesise(const SourceSpec &src, double snr, uint64_t n, double fs, cf32 *out) {
    Synth *synth = wfm_compose_build_synth(&src, n, 0, 0, 0, fs, src.freq, snr, src.f_end);
    if (!synth) return false;
    std::unique_ptr<channel::ChannelStage> stage;
    const bool built = channel::build_source_channel(src, 0, 0, 0, 0, 0, fs, nullptr, stage);
    if (built) channel::source_steps(stage.get(), synth, out, n);
    wfm_synth_destroy(synth);
    return built;
}

// The snr a cache's own source is synthesised at: without its noise when the noise is the
// source's own (the render adds it), else its resolved snr (100 or more in a sum).
double cache_snr(const SourceSpec &src, const PlanSegment &p) { return p.own_noise ? 100.0 : src.snr; }

// Whether the source's synthesiser can be built, as a render will build it.
bool buildable(const SourceSpec &src, double snr, uint64_t n, double fs) {
    Synth *synth = wfm_compose_build_synth(&src, n, 0, 0, 0, fs, src.freq, snr, src.f_end);
    wfm_synth_destroy(synth);
    return synth != nullptr;
}

// The seed of the scene's first fading source: what "fading_seed" takes to fade as the scene does.
uint32_t first_fading_seed(const SegmentSpec *segs, uint64_t n) {
    for (uint64_t k = 0; k < n; ++k)
        for (uint64_t i = 0; i < segs[k].n_sources; ++i)
            if (channel::fades(segs[k].sources[i])) return segs[k].sources[i].seed;
    return 0;
}

class Builder {
public:
    Builder(Plan &plan, const PrebuiltCaches *prebuilt, unsigned max_threads)
        : plan_(plan), prebuilt_(prebuilt), max_threads_(max_threads) {}

    bool build_segment(const SegmentSpec &seg, const PlanSegment &p, const CacheLayout &layout) {
        uint64_t cache = p.first_cache;
        if (!layout.folded.empty() && !build_fold(seg, layout.folded, cache++)) return false;
        auto job = [&](uint64_t k) {
            const SourceSpec &src = seg.sources[layout.individual[k]];
            const uint64_t c = cache + k;
            plan_.base_gains[c] = wfm_level_gain(src.level);
            SampleBuffer buf = allocate_samples(seg.num_samples);
            if (!buf || !(reuse(c, seg.num_samples, buf.get()) ||
                          synthesise(src, cache_snr(src, p), seg.num_samples, plan_.fs, buf.get())))
                return fail();
            plan_.caches[c] = std::move(buf);
            if (channel::fades(src) && !keep_unfaded(src, cache_snr(src, p), seg.num_samples, c)) return fail();
        };
        run_jobs(layout.individual.size(), threads_for(seg.num_samples), job);
        return !failed_.load();
    }

    // The recipes of a segment's caches, each source checked to build.
    bool record_segment(const SegmentSpec &seg, const PlanSegment &p, const CacheLayout &layout) {
        uint64_t cache = p.first_cache;
        auto add = [&](uint64_t c, uint64_t i, double snr) {
            const SourceSpec &src = seg.sources[i];
            if (!buildable(src, snr, seg.num_samples, plan_.fs)) return false;
            CacheRecipe &recipe = plan_.recipes[c];
            recipe.sources.emplace_back(src);
            recipe.gains.push_back(wfm_level_gain(src.level));
            recipe.snrs.push_back(snr);
            return true;
        };
        if (!layout.folded.empty()) {
            plan_.base_gains[cache] = 1.0f;
            plan_.recipes[cache].fold = true;
            for (uint64_t i : layout.folded)
                if (!add(cache, i, seg.sources[i].snr)) return false;
            ++cache;
        }
        for (uint64_t i : layout.individual) {
            plan_.base_gains[cache] = wfm_level_gain(seg.sources[i].level);
            if (!add(cache++, i, cache_snr(seg.sources[i], p))) return false;
        }
        return true;
    }

private:
    void fail() { failed_.exchange(true); }

    // A fading source's waveform before its taps and fading, for renders that fade it afresh:
    // synthesised even from a blob, which keeps only the faded cache.
    bool keep_unfaded(const SourceSpec &src, double snr, uint64_t n, uint64_t c) {
        std::unique_ptr<channel::ChannelStage> before;
        if (!channel::build_unfaded_stage(src, plan_.fs, before)) return false;
        const std::unique_ptr<channel::ChannelStage> paths = channel::build_refade_stage(src, plan_.fs, src.seed);
        if (!paths) return false;
        const uint64_t latency = paths->path_latency();
        SampleBuffer unfaded = allocate_samples(n + latency);
        Synth *synth = wfm_compose_build_synth(&src, n, 0, 0, 0, plan_.fs, src.freq, snr, src.f_end);
        const bool made = unfaded && synth;
        if (made) before->steps(synth, unfaded.get(), n + latency);
        wfm_synth_destroy(synth);
        if (!made) return false;
        try {
            plan_.refade[c].source = OwnedSource(src);
        } catch (const std::bad_alloc &) {
            return false;
        }
        plan_.refade[c].unfaded = std::move(unfaded);
        plan_.refade[c].latency = latency;
        return true;
    }

    // Threads for jobs over caches of n samples: the online processors, at most max_threads_
    // unless that is 0; a single one for short caches.
    unsigned threads_for(uint64_t n) const {
        if (n < kMinParallelSamples) return 1;
        const unsigned online = online_processors();
        return max_threads_ != 0 ? std::min(online, max_threads_) : online;
    }

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
            run_jobs(m, threads_for(n), make);
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
            run_jobs((n + kFoldChunk - 1) / kFoldChunk, threads_for(n), combine);
        }
        plan_.caches[cache] = std::move(fold);
        return true;
    }

    Plan &plan_;
    const PrebuiltCaches *prebuilt_;
    unsigned max_threads_;
    std::atomic<bool> failed_{false};
};

// Why the composer refuses the scene, in the terms of its own checks.
std::string uncomposable(const wfm::Scene &scene) {
    for (uint64_t k = 0; k < scene.segments.size(); ++k) {
        const SegmentSpec &seg = scene.segments[k];
        if (const char *message = channel::frontend_refusal(seg))
            return reason("segment %llu, \"frontend\": %s", k + 1ull, message);
        for (uint64_t i = 0; i < seg.n_sources; ++i) {
            if (const char *message = wfm_source_error(&seg.sources[i]))
                return reason("segment %llu, source %llu: %s", k + 1ull, i + 1ull, message);
            if (const char *message = channel::source_channel_refusal(seg.sources[i], seg.fs))
                return reason("segment %llu, source %llu, \"channel\": %s", k + 1ull, i + 1ull, message);
        }
        wfm::Segments copy = wfm::Segments::copy_of(&seg, 1);
        if (!copy.empty() && wfm_resolve_noise(copy.data(), 1) != 0) {
            return reason("segment %llu: in a sum only the reference source (the first with an snr, or none when "
                          "the sum has a noise source) may have a level other than 0; the others stand their snr "
                          "above the noise floor", k + 1ull);
        }
    }
    return "the scene cannot be composed: memory ran out";
}

// Everything a plan build checks before it synthesises anything: the scene as the
// composer resolved it and the caches of each segment, or why there can be no plan.
struct Outline {
    wfm::Scene scene;
    std::unique_ptr<Composer, ComposerFree> composer;
    const SegmentSpec *segs = nullptr;
    uint64_t n = 0;
    std::vector<CacheLayout> layouts;
    uint64_t n_cached = 0;
    std::string refusal;  // empty when the scene can be planned
};

// A streaming plan keeps no caches, so their memory does not count against it.
std::unique_ptr<Outline> outline(const char *spec_json, bool streaming) {
    auto o = std::make_unique<Outline>();
    if (!wfm::parse_scene(spec_json, o->scene)) {
        o->refusal = "the text is not a scene: it needs JSON with a non-empty \"segments\" array, each segment "
                     "one source or a \"sum\" of sources of a known \"type\"";
        return o;
    }
    const wfm::Scene &scene = o->scene;
    o->composer.reset(wfm_compose_create(scene.segments.data(), scene.segments.size(), scene.repeat,
                                         scene.continuous));
    if (!o->composer) {
        o->refusal = uncomposable(scene);
        return o;
    }
    int32_t repeat = 0, continuous = 0;
    o->segs = wfm_compose_segments(o->composer.get(), &o->n, &repeat, &continuous);
    if (auto why = unplannable(o->segs, o->n, repeat, continuous)) {
        o->refusal = std::move(*why);
        return o;
    }
    std::optional<uint64_t> cache_bytes = 0;
    for (uint64_t k = 0; k < o->n; ++k) {
        o->layouts.push_back(cache_layout(o->segs[k]));
        o->n_cached += o->layouts.back().count();
        // A fading source's cache keeps its unfaded waveform beside it (its taps' latency aside).
        uint64_t kept = o->layouts.back().count();
        for (uint64_t i : o->layouts.back().individual) kept += channel::fades(o->segs[k].sources[i]) ? 1 : 0;
        const auto samples = checked_mul<uint64_t>(kept, o->segs[k].num_samples);
        const auto bytes = samples ? checked_mul<uint64_t>(*samples, sizeof(cf32)) : std::nullopt;
        cache_bytes = cache_bytes && bytes ? checked_add(*cache_bytes, *bytes) : std::nullopt;
    }
    if (o->n_cached == 0) {
        o->refusal = reason("the scene is noise only and a plan caches signal sources: add a signal source, %s",
                            kRenderInstead);
    } else if (!streaming && !cache_bytes) {
        o->refusal = reason("the plan's caches would need more memory than any machine has: shorten the "
                            "segments, %s", kRenderInstead);
    } else if (!streaming) {
        // Caches beyond what the process may hold are refused before any allocation is tried.
        const std::string shortfall = memory_shortfall(*cache_bytes);
        if (!shortfall.empty()) {
            o->refusal = reason("the plan's caches do not fit in memory (%s): shorten the segments, %s", shortfall.c_str(),
                                kRenderInstead);
        }
    }
    return o;
}

Plan *build(const char *spec_json, const PrebuiltCaches *prebuilt, unsigned max_threads, bool streaming) {
    const std::unique_ptr<Outline> o = outline(spec_json, streaming);
    if (!o->refusal.empty()) return nullptr;

    auto plan = std::make_unique<Plan>();
    plan->spec_json = spec_json;
    plan->fs = o->segs[0].fs;
    plan->caches.resize(o->n_cached);
    plan->base_gains.resize(o->n_cached);
    if (streaming) plan->recipes.resize(o->n_cached);
    else plan->refade.resize(o->n_cached);
    plan->fading_base = first_fading_seed(o->segs, o->n);
    Builder builder(*plan, prebuilt, max_threads);
    uint64_t first_cache = 0;
    for (uint64_t k = 0; k < o->n; ++k) {
        PlanSegment p = describe_segment(o->segs[k], reference_of(o->scene.segments[k]));
        p.first_cache = first_cache;
        p.n_cached = o->layouts[k].count();
        first_cache += p.n_cached;
        const auto segment_len = worst_case_length(p);
        const auto total = segment_len ? checked_add(plan->len, *segment_len) : std::nullopt;
        if (!total) return nullptr;
        plan->len = *total;
        p.frontend = channel::build_frontend(o->segs[k], 0, 0, k);
        const bool built = streaming ? builder.record_segment(o->segs[k], p, o->layouts[k])
                                     : builder.build_segment(o->segs[k], p, o->layouts[k]);
        if (!built) return nullptr;
        plan->segments.push_back(std::move(p));
    }
    return plan.release();
}

// Why a plan (streaming or not) refuses the scene, into out as kettara_refusal describes.
size_t refusal_text(const char *spec_json, bool streaming, char *out, size_t out_cap) {
    if (!spec_json) return 0;
    try {
        const std::string why = outline(spec_json, streaming)->refusal;
        if (out && out_cap > 0) {
            const size_t n = std::min(why.size(), out_cap - 1);
            std::memcpy(out, why.data(), n);
            out[n] = '\0';
        }
        return why.size();
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

}  // namespace

Plan *plan_build(const char *spec_json, const PrebuiltCaches *prebuilt, unsigned max_threads) {
    try {
        return build(spec_json, prebuilt, max_threads, false);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Plan *plan_build_streaming(const char *spec_json) {
    try {
        return build(spec_json, nullptr, 1, true);
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

size_t kettara_refusal(const char *spec_json, char *out, size_t out_cap) {
    return qn::refusal_text(spec_json, false, out, out_cap);
}

size_t kettara_stream_refusal(const char *spec_json, char *out, size_t out_cap) {
    return qn::refusal_text(spec_json, true, out, out_cap);
}

void kettara_destroy(Plan *plan) { delete plan; }

uint64_t kettara_len(const Plan *plan) { return plan ? plan->len : 0; }

uint64_t kettara_n_sources(const Plan *plan) { return plan ? plan->n_cached() : 0; }

}  // extern "C"
