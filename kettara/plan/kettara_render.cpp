// Rendering a plan: the cached waveforms are added with their gains (and phases) and the
// noise floor is regenerated from the seed, in the composer's float order, so a render
// without overrides is the composition of the scene bit for bit, the sign of zero included:
// the first contribution to every part is assigned, as the composer assigns its first product.
#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "checked.hpp"
#include "det_math.hpp"
#include "json_integers.hpp"
#include "kettara.h"
#include "kettara_plan.hpp"
#include "source_channel.hpp"
#include "wfm_compose.h"
#include "wfm_draw.h"
#include "wfm_resolve.h"
#include "wfm_synth_core.h"
#include "wfm_synth_core.hpp"

namespace qn {

namespace {

// Noise is generated into a fixed block on the stack: a render never allocates for it. A block
// is long enough for the noise generator's lanes to pay off, short enough that it and the
// output block it is added to stay in the processor's cache.
constexpr uint64_t kBlock = 8192;

struct RenderParams {
    const float *gains = nullptr;      // per cache, linear; null: the base gains
    const float *phases = nullptr;     // per cache, radians; null: no rotation
    const uint8_t *enabled = nullptr;  // per cache; null: all enabled
    bool has_snr = false;
    double snr = 0.0;
    bool has_seed = false;
    uint32_t seed = 0;
    const double *freq_offsets = nullptr;  // per cache, fs units; null: no carrier offsets
    bool has_fading_seed = false;          // fading sources faded afresh from fading_seed
    uint32_t fading_seed = 0;
};

struct SynthFree {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};
using SynthPtr = std::unique_ptr<Synth, SynthFree>;

float cache_gain(const Plan &plan, const RenderParams &r, uint64_t cache) {
    if (r.enabled && !r.enabled[cache]) return 0.0f;
    return r.gains ? r.gains[cache] : plan.base_gains[cache];
}

double floor_level(const PlanSegment &seg, const RenderParams &r) {
    if (!r.has_snr || seg.floor_absolute) return seg.floor_level;
    if (seg.ref_per_sample) return seg.floor_level - (r.snr - seg.ref_snr);
    return seg.ref_level - wfm_snr_over_fs(seg.ref_snr_mode, seg.ref_type, seg.ref_sps,
                                           seg.ref_code_len, seg.ref_samples_per_symbol, r.snr);
}

float noise_gain(const Plan &plan, const PlanSegment &seg, const RenderParams &r) {
    if (!seg.has_floor) return 1.0f;
    if (seg.own_noise) return cache_gain(plan, r, seg.first_cache);
    return wfm_level_gain(floor_level(seg, r));
}

// The synthesiser whose noise generator is in the state of the composer's for this instance.
SynthPtr build_gap_synth(const PlanSegment &seg, bool snr_overridden, uint32_t seed,
                         uint64_t instance, double fs, double snr) {
    if (!seg.has_floor) return nullptr;
    SourceSpec src = seg.floor_source.spec();
    src.seed = seed;
    const double s = seg.own_noise && snr_overridden ? snr : src.snr;
    return SynthPtr(
        wfm_compose_build_synth(&src, seg.num_samples, 0, 0, instance, fs, src.freq, s, src.f_end));
}

// x[k] exp(j 2 pi df (at + k)) for k < m (at most kBlock): a carrier offset of df over the
// on part, its phase taken in double precision from the sample's index.
void turn(const cf32 *x, double df, uint64_t at, uint64_t m, cf32 *out) {
    float angle[kBlock];
    for (uint64_t k = 0; k < m; ++k) {
        const double t = df * static_cast<double>(at + k);
        angle[k] = static_cast<float>(6.283185307179586 * (t - std::nearbyint(t)));
    }
    det_phasors(angle, out, m);
    for (uint64_t k = 0; k < m; ++k)
        out[k] = cf32{x[k].re * out[k].re - x[k].im * out[k].im, x[k].re * out[k].im + x[k].im * out[k].re};
}

// One cache scaled by g (and rotated) into out: assigned when it is the first contribution.
struct CacheTerm {
    float gain;
    bool rotate;
    float c, s;  // gain x cos and gain x sin of the phase

    CacheTerm(float g, const float *phase) : gain(g) {
        // A phase that is not finite has no rotation to give: it counts as 0.
        rotate = phase && *phase != 0.0f && std::isfinite(*phase);
        if (rotate) {
            // Double-precision sine and cosine rounded once: the same bits on every machine.
            double sd, cd;
            sincos(static_cast<double>(*phase), &sd, &cd);
            c = static_cast<float>(cd) * g;
            s = g * static_cast<float>(sd);
        } else {
            c = s = 0.0f;
        }
    }

    void apply(const cf32 *x, cf32 *out, uint64_t m, bool assign) const {
        if (rotate) {
            if (assign) {
                for (uint64_t k = 0; k < m; ++k)
                    out[k] = cf32{c * x[k].re - s * x[k].im, c * x[k].im + s * x[k].re};
            } else {
                for (uint64_t k = 0; k < m; ++k)
                    out[k] = cf32{(c * x[k].re + out[k].re) - s * x[k].im,
                                  (c * x[k].im + out[k].im) + s * x[k].re};
            }
        } else if (assign) {
            for (uint64_t k = 0; k < m; ++k) out[k] = cf32{x[k].re * gain, x[k].im * gain};
        } else {
            for (uint64_t k = 0; k < m; ++k)
                out[k] = cf32{x[k].re * gain + out[k].re, x[k].im * gain + out[k].im};
        }
    }
};

// The samples of a segment's caches over one instance's on part, a block at a time: the
// plan's stored caches, or, for a streaming plan, its recipes played by synthesisers built
// for the instance exactly as the caches were built.
class OnPartSamples {
public:
    OnPartSamples(const Plan &plan, const PlanSegment &seg, const RenderParams &r) : plan_(plan), seg_(seg) {
        if (!plan.streaming()) {
            if (r.has_fading_seed) refade_caches(r.fading_seed);
            return;
        }
        for (uint64_t j = 0; j < seg.n_cached; ++j) {
            const CacheRecipe &recipe = plan.recipes[seg.first_cache + j];
            std::vector<SynthPtr> synths;
            std::vector<std::unique_ptr<channel::ChannelStage>> stages;
            for (std::size_t i = 0; i < recipe.sources.size(); ++i) {
                const SourceSpec &src = recipe.sources[i].spec();
                synths.emplace_back(wfm_compose_build_synth(&src, seg.num_samples, 0, 0, 0, plan.fs, src.freq,
                                                            recipe.snrs[i], src.f_end));
                stages.emplace_back();
                const uint32_t fading = channel::refading_seed(src, r.fading_seed, plan.fading_base);
                // A background fold keeps its fading, as a cached plan's fold does.
                const bool refade = r.has_fading_seed && !recipe.fold;
                if (!synths.back() || !channel::build_source_channel(src, 0, 0, 0, 0, 0, plan.fs,
                                                                     refade ? &fading : nullptr, stages.back())) {
                    built_ = false;
                    return;
                }
            }
            synths_.push_back(std::move(synths));
            stages_.push_back(std::move(stages));
            blocks_.emplace_back(kBlock);
        }
        if (!blocks_.empty()) scratch_.resize(kBlock);
    }

    bool built() const { return built_; }

    // Makes the next m (at most kBlock) samples of every cache ready.
    void advance(uint64_t m) {
        for (Refaded &f : refaded_) {  // a cached plan's fading sources, faded afresh
            std::copy_n(f.unfaded + f.at, m, f.block.begin());
            f.block.resize(m);
            f.paths->fade(f.block);
            f.at += m;
        }
        for (std::size_t j = 0; j < synths_.size(); ++j) {
            const CacheRecipe &recipe = plan_.recipes[seg_.first_cache + j];
            cf32 *block = blocks_[j].data();
            if (!recipe.fold) {
                channel::source_steps(stages_[j][0].get(), synths_[j][0].get(), block, m);
                continue;
            }
            for (std::size_t i = 0; i < synths_[j].size(); ++i) {  // the fold's order of sums
                channel::source_steps(stages_[j][i].get(), synths_[j][i].get(), scratch_.data(), m);
                const float g = recipe.gains[i];
                const cf32 *x = scratch_.data();
                if (i == 0) {
                    for (uint64_t k = 0; k < m; ++k) block[k] = cf32{x[k].re * g, x[k].im * g};
                } else {
                    for (uint64_t k = 0; k < m; ++k)
                        block[k] = cf32{x[k].re * g + block[k].re, x[k].im * g + block[k].im};
                }
            }
        }
    }

    // Cache j of the segment from on-part offset at, as far as the last advance reached.
    const cf32 *samples(uint64_t j, uint64_t at) const {
        for (const Refaded &f : refaded_)
            if (f.cache == j) return f.block.data();
        return plan_.streaming() ? blocks_[j].data() : plan_.caches[seg_.first_cache + j].get() + at;
    }

private:
    // A fading cache faded afresh: its unfaded waveform through new taps and fading.
    struct Refaded {
        uint64_t cache;  // within the segment
        const cf32 *unfaded;
        uint64_t at;     // the next unfaded sample
        std::unique_ptr<channel::ChannelStage> paths;
        std::vector<cf32> block;
    };

    void refade_caches(uint32_t fading_seed) {
        for (uint64_t j = 0; j < seg_.n_cached; ++j) {
            const uint64_t c = seg_.first_cache + j;
            if (c >= plan_.refade.size() || !plan_.refade[c].unfaded) continue;
            const RefadeCache &r = plan_.refade[c];
            const SourceSpec &src = r.source.spec();
            Refaded f{j, r.unfaded.get(), r.latency,
                      channel::build_refade_stage(src, plan_.fs, channel::refading_seed(src, fading_seed, plan_.fading_base)),
                      {}};
            if (!f.paths) {
                built_ = false;
                return;
            }
            // The taps' latency: outputs that belong to no sample of the on part.
            f.block.assign(r.unfaded.get(), r.unfaded.get() + r.latency);
            f.paths->fade(f.block);
            f.block.assign(kBlock, cf32{});
            refaded_.push_back(std::move(f));
        }
    }

    std::vector<Refaded> refaded_;
    const Plan &plan_;
    const PlanSegment &seg_;
    bool built_ = true;
    std::vector<std::vector<SynthPtr>> synths_;
    std::vector<std::vector<std::unique_ptr<channel::ChannelStage>>> stages_;  // null without a channel
    std::vector<std::vector<cf32>> blocks_;
    std::vector<cf32> scratch_;
};

class SegmentRenderer {
public:
    // base_sum: the segment's caches summed at their base gains, or null to sum them here.
    SegmentRenderer(const Plan &plan, const PlanSegment &seg, const RenderParams &r, const cf32 *base_sum)
        : plan_(plan), seg_(seg), r_(r), w_(noise_gain(plan, seg, r)), base_sum_(base_sum) {}

    // A gap: the floor's noise, or silence. In a segment of several sources the composer
    // adds the noise to the (zero) noise of the others, which turns -0 into +0.
    void gap(Synth *g, cf32 *out, uint64_t n) const {
        if (!g || seg_.gap_noise_off) {
            std::memset(out, 0, n * sizeof(cf32));
            return;
        }
        const float zero = seg_.single_source ? -0.0f : 0.0f;  // x + -0 is x for every x
        cf32 z[kBlock];
        for (uint64_t at = 0; at < n; at += kBlock) {
            const uint64_t m = std::min(kBlock, n - at);
            wfm_synth_noise_steps(g, z, m);
            for (uint64_t k = 0; k < m; ++k)
                out[at + k] = cf32{z[k].re * w_ + zero, z[k].im * w_ + zero};
        }
    }

    // The on part from offset at, n samples: caches in order, then the noise, block by block
    // so out stays in cache.
    void on_part(Synth *g, OnPartSamples &caches, cf32 *out, uint64_t at, uint64_t n) const {
        if (base_sum_) {  // the noise is laid onto the sum as it is drawn: one pass over memory
            if (g) synth_noise_onto(g, w_, base_sum_ + at, out, n);
            else std::memcpy(out, base_sum_ + at, n * sizeof(cf32));
            return;
        }
        cf32 z[kBlock];
        for (uint64_t done = 0; done < n; done += kBlock) {
            const uint64_t m = std::min(kBlock, n - done);
            cf32 *o = out + done;
            caches.advance(m);
            sum_caches(caches, o, at + done, m);
            if (g) wfm_synth_noise_steps(g, z, m);
            if (seg_.own_noise) {
                // The lone source's output is its signal plus its own noise, then its gain.
                if (g)
                    for (uint64_t k = 0; k < m; ++k)
                        o[k] = cf32{z[k].re + o[k].re, z[k].im + o[k].im};
                if (w_ != 1.0f)
                    for (uint64_t k = 0; k < m; ++k) o[k] = cf32{o[k].re * w_, o[k].im * w_};
            } else if (g && seg_.n_cached == 0) {
                for (uint64_t k = 0; k < m; ++k) o[k] = cf32{z[k].re * w_, z[k].im * w_};
            } else if (g) {
                for (uint64_t k = 0; k < m; ++k)
                    o[k] = cf32{z[k].re * w_ + o[k].re, z[k].im * w_ + o[k].im};
            } else if (seg_.n_cached == 0) {
                std::memset(o, 0, m * sizeof(cf32));
            }
        }
    }

    // The segment's caches over [at, at + m) of its on part (m at most kBlock), in order, into
    // o; each turned by its carrier offset first, when it has one.
    void sum_caches(const OnPartSamples &caches, cf32 *o, uint64_t at, uint64_t m) const {
        cf32 turned[kBlock];
        for (uint64_t j = 0; j < seg_.n_cached; ++j) {
            const cf32 *x = caches.samples(j, at);
            const double df = r_.freq_offsets ? r_.freq_offsets[seg_.first_cache + j] / plan_.fs : 0.0;
            if (df != 0.0 && std::isfinite(df)) {
                turn(x, df, at, m, turned);
                x = turned;
            }
            term(j).apply(x, o, m, j == 0);
        }
    }

private:
    CacheTerm term(uint64_t j) const {
        const uint64_t c = seg_.first_cache + j;
        const float g = seg_.own_noise ? 1.0f : cache_gain(plan_, r_, c);
        return CacheTerm(g, r_.phases ? &r_.phases[c] : nullptr);
    }

    const Plan &plan_;
    const PlanSegment &seg_;
    const RenderParams &r_;
    float w_;
    const cf32 *base_sum_;
};

// A render that takes every cache at its base gain, unrotated, can use the base sums.
bool at_base_gains(const RenderParams &r) {
    return !r.gains && !r.phases && !r.enabled && !r.freq_offsets && !r.has_fading_seed;
}

// Never throws: an exception leaving std::call_once can leave the flag unusable in some
// runtimes. Without the room for the list, no segment has a sum.
void build_base_sums(const Plan &plan) noexcept {
    std::vector<SampleBuffer> sums;
    try {
        sums.resize(plan.segments.size());
    } catch (const std::bad_alloc &) {
        return;
    }
    const RenderParams base;
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const PlanSegment &seg = plan.segments[k];
        if (seg.own_noise || seg.n_cached < 2) continue;
        SampleBuffer sum = allocate_samples(seg.num_samples);
        if (!sum) continue;
        const SegmentRenderer part(plan, seg, base, nullptr);
        const OnPartSamples caches(plan, seg, base);
        for (uint64_t at = 0; at < seg.num_samples; at += kBlock)  // in blocks: the sum stays in cache
            part.sum_caches(caches, sum.get() + at, at, std::min(kBlock, seg.num_samples - at));
        sums[k] = std::move(sum);
    }
    plan.base_sums = std::move(sums);
}

// The base sum of segment k, built on first use; null when it has none (and for a
// streaming plan, which keeps nothing that grows with the scene).
const cf32 *base_sum(const Plan &plan, std::size_t k) {
    if (plan.streaming()) return nullptr;
    std::call_once(plan.base_sums_once, build_base_sums, std::cref(plan));
    return k < plan.base_sums.size() ? plan.base_sums[k].get() : nullptr;
}

uint64_t drawn_gap(const PlanSegment &seg, uint32_t bit, uint32_t seed, uint64_t instance,
                   uint64_t segment, uint64_t lo, uint64_t hi) {
    if (!(seg.range_flags & bit)) return lo;
    return wfm_draw_samples(static_cast<int32_t>(seed), 0, instance, segment,
                            static_cast<int32_t>(bit), lo, hi);
}

// Where a render stands: which segment, instance and part, and how much of that part is
// left; reads continue exactly where the previous one stopped, whatever their sizes.
class RenderCursor {
public:
    RenderCursor(const Plan &plan, const RenderParams &r)
        : plan_(plan), r_(r), anchor_(static_cast<uint32_t>(kettara_anchor_seed(&plan))) {
        start_instance();
    }

    // The next samples of the render, at most n; fewer only at its end, or when a streaming
    // plan's synthesiser could not be built (failed()).
    uint64_t read(cf32 *out, uint64_t n) {
        uint64_t written = 0;
        while (written < n && part_ != Part::done) {
            if (left_ == 0) {
                next_part();
                continue;
            }
            const PlanSegment &seg = plan_.segments[segment_];
            const SegmentRenderer renderer(plan_, seg, r_, at_base_gains(r_) ? base_sum(plan_, segment_) : nullptr);
            const uint64_t m = std::min(left_, n - written);
            if (part_ == Part::on) {
                renderer.on_part(gap_synth_.get(), *caches_, out + written, at_, m);
                at_ += m;
            } else {
                renderer.gap(gap_synth_.get(), out + written, m);
            }
            seg.frontend.steps(out + written, m);  // the receiver's own, after the noise
            left_ -= m;
            written += m;
            pos_ += m;
        }
        return written;
    }

    bool failed() const { return failed_; }
    // Ends the render early: a synthesiser or its memory could not be had.
    void fail() {
        failed_ = true;
        part_ = Part::done;
    }

private:
    enum class Part { delay, on, off, done };

    // Every part is clipped to the room left: a draw never takes a render past len.
    void enter(Part part, uint64_t n) {
        part_ = part;
        left_ = std::min(n, plan_.len - pos_);
    }

    void start_instance() {
        if (segment_ >= plan_.segments.size()) {
            part_ = Part::done;
            return;
        }
        const PlanSegment &seg = plan_.segments[segment_];
        // A seed override moves the timing draws by its distance from the anchor seed, so that
        // the anchor keeps the scene's own timing and other seeds draw other gaps.
        const uint32_t seed_timing = r_.has_seed ? seg.seed + (r_.seed - anchor_) : seg.seed;
        const uint32_t seed_noise = r_.has_seed ? r_.seed : seg.floor_source.spec().seed;
        delay_ = drawn_gap(seg, WFM_RANGE_DELAY_SAMPLES, seed_timing, instance_, segment_, seg.delay_lo,
                           seg.delay_hi);
        off_ = drawn_gap(seg, WFM_RANGE_OFF_SAMPLES, seed_timing, instance_, segment_, seg.off_lo, seg.off_hi);
        gap_synth_ = build_gap_synth(seg, r_.has_snr, seed_noise, instance_, plan_.fs, r_.snr);
        enter(Part::delay, delay_);
    }

    void next_part() {
        const PlanSegment &seg = plan_.segments[segment_];
        switch (part_) {
        case Part::delay:
            caches_.emplace(plan_, seg, r_);
            if (!caches_->built()) return fail();
            at_ = 0;
            enter(Part::on, seg.num_samples);
            return;
        case Part::on:
            caches_.reset();
            enter(Part::off, off_);
            return;
        case Part::off:
            gap_synth_.reset();
            if (++instance_ >= seg.repeats) {
                instance_ = 0;
                ++segment_;
            }
            start_instance();
            return;
        case Part::done:
            return;
        }
    }

    const Plan &plan_;
    const RenderParams &r_;
    uint32_t anchor_;
    uint64_t segment_ = 0, instance_ = 0;
    Part part_ = Part::delay;
    uint64_t left_ = 0;  // samples left in the current part
    uint64_t at_ = 0;    // on part: the offset reached
    uint64_t delay_ = 0, off_ = 0;
    uint64_t pos_ = 0;   // samples rendered so far
    SynthPtr gap_synth_;
    std::optional<OnPartSamples> caches_;  // held in place: a cached plan's render allocates nothing
    bool failed_ = false;
};

uint64_t render(const Plan &plan, const RenderParams &r, cf32 *out) {
    RenderCursor cursor(plan, r);
    const uint64_t pos = cursor.read(out, plan.len);
    std::memset(out + pos, 0, (plan.len - pos) * sizeof(cf32));
    return pos;
}

// The overrides of a render, read from JSON; arrays of the wrong length or type are ignored.
class Overrides {
public:
    Overrides(const Plan &plan, const char *json) {
        if (!json || !*json) return;
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(json), cJSON_Delete);
        if (!root) return;
        const uint64_t n = plan.n_cached();
        std::vector<double> values;
        if (read_numbers(root.get(), "gains", n, values))
            for (double db : values) gains_.push_back(wfm_level_gain(db));
        if (read_numbers(root.get(), "phases", n, values))
            phases_.assign(values.begin(), values.end());
        read_enable(root.get(), n);
        const cJSON *snr = cJSON_GetObjectItemCaseSensitive(root.get(), "snr");
        if (cJSON_IsNumber(snr)) {
            params_.has_snr = true;
            params_.snr = snr->valuedouble;
        }
        const ExactIntegers exact(json, root.get());
        const cJSON *fading_seed = cJSON_GetObjectItemCaseSensitive(root.get(), "fading_seed");
        if (cJSON_IsNumber(fading_seed)) {
            params_.has_fading_seed = true;
            params_.fading_seed = seed_of(fading_seed, exact);
        }
        const cJSON *seed = cJSON_GetObjectItemCaseSensitive(root.get(), "seed");
        if (cJSON_IsNumber(seed)) {
            params_.has_seed = true;
            params_.seed = seed_of(seed, exact);
        }
        // All zeros turn nothing: such a render stays the default one, fast path included.
        if (read_numbers(root.get(), "freq_offsets", n, values) &&
            std::any_of(values.begin(), values.end(), [](double df) { return df != 0.0; }))
            freq_offsets_.assign(values.begin(), values.end());
        if (!gains_.empty()) params_.gains = gains_.data();
        if (!freq_offsets_.empty()) params_.freq_offsets = freq_offsets_.data();
        if (!phases_.empty()) params_.phases = phases_.data();
        if (!enabled_.empty()) params_.enabled = enabled_.data();
    }

    const RenderParams &params() const { return params_; }

private:
    static const cJSON *array_of(const cJSON *root, const char *key, uint64_t n) {
        const cJSON *a = cJSON_GetObjectItemCaseSensitive(root, key);
        if (!cJSON_IsArray(a) || static_cast<uint64_t>(cJSON_GetArraySize(a)) != n) return nullptr;
        return a;
    }

    static bool read_numbers(const cJSON *root, const char *key, uint64_t n,
                             std::vector<double> &out) {
        out.clear();
        const cJSON *a = array_of(root, key, n);
        if (!a) return false;
        const cJSON *item = nullptr;
        cJSON_ArrayForEach(item, a) {
            if (!cJSON_IsNumber(item)) return false;
            out.push_back(item->valuedouble);
        }
        return true;
    }

    void read_enable(const cJSON *root, uint64_t n) {
        const cJSON *a = array_of(root, "enable", n);
        if (!a) return;
        const cJSON *item = nullptr;
        cJSON_ArrayForEach(item, a) {
            const bool on = cJSON_IsTrue(item) || (cJSON_IsNumber(item) && !(item->valuedouble == 0.0));
            enabled_.push_back(on);
        }
    }

    std::vector<float> gains_, phases_;
    std::vector<double> freq_offsets_;
    std::vector<uint8_t> enabled_;
    RenderParams params_;
};

}  // namespace

}  // namespace qn

// A streaming plan with its overrides and where its render stands.
struct KettaraStream {
    using PlanPtr = std::unique_ptr<Plan, decltype(&kettara_destroy)>;

    KettaraStream(PlanPtr &&p, const char *overrides_json)
        : plan(std::move(p)), overrides(*plan, overrides_json), cursor(*plan, overrides.params()) {}

    PlanPtr plan;
    qn::Overrides overrides;
    qn::RenderCursor cursor;
};

extern "C" {

uint64_t kettara_render(const Plan *plan, const char *overrides_json, cf32 *out) {
    if (!plan || !out) return 0;
    try {
        const qn::Overrides overrides(*plan, overrides_json);
        return qn::render(*plan, overrides.params(), out);
    } catch (const std::bad_alloc &) {
        return qn::render(*plan, qn::RenderParams{}, out);
    }
}

uint64_t kettara_at(const Plan *plan, uint64_t seed, cf32 *out, double snr) {
    if (!plan || !out) return 0;
    qn::RenderParams r;
    r.has_snr = true;
    r.snr = snr;
    r.has_seed = true;
    r.seed = static_cast<uint32_t>(seed);
    return qn::render(*plan, r, out);
}

uint64_t kettara_anchor_seed(const Plan *plan) {
    if (!plan) return 0;
    for (const qn::PlanSegment &seg : plan->segments)
        if (seg.has_floor) return seg.floor_source.spec().seed;
    return 0;
}

}  // extern "C"

extern "C" {

KettaraStream *kettara_stream_create(const char *spec_json, const char *overrides_json) {
    if (!spec_json) return nullptr;
    KettaraStream::PlanPtr plan(qn::plan_build_streaming(spec_json), kettara_destroy);
    if (!plan) return nullptr;
    try {
        return new KettaraStream(std::move(plan), overrides_json);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

uint64_t kettara_stream_read(KettaraStream *stream, cf32 *out, uint64_t n) {
    if (!stream || !out || n == 0) return 0;
    try {
        return stream->cursor.read(out, n);
    } catch (const std::bad_alloc &) {
        stream->cursor.fail();
        return 0;
    }
}

int32_t kettara_stream_failed(const KettaraStream *stream) { return stream && stream->cursor.failed() ? 1 : 0; }

uint64_t kettara_stream_len(const KettaraStream *stream) { return stream ? stream->plan->len : 0; }

uint64_t kettara_stream_n_sources(const KettaraStream *stream) {
    return stream ? kettara_n_sources(stream->plan.get()) : 0;
}

void kettara_stream_destroy(KettaraStream *stream) { delete stream; }

}  // extern "C"
