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
#include <vector>

#include "checked.hpp"
#include "kettara.h"
#include "kettara_plan.hpp"
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

// One cache scaled by g (and rotated) into out: assigned when it is the first contribution.
struct CacheTerm {
    const cf32 *samples;
    float gain;
    bool rotate;
    float c, s;  // gain x cos and gain x sin of the phase

    CacheTerm(const cf32 *cache, float g, const float *phase) : samples(cache), gain(g) {
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

    void apply(cf32 *out, uint64_t at, uint64_t m, bool assign) const {
        const cf32 *x = samples + at;
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

    // The on part: caches in order, then the noise, block by block so out stays in cache.
    void on_part(Synth *g, cf32 *out, uint64_t n) const {
        if (base_sum_) {  // the noise is laid onto the sum as it is drawn: one pass over memory
            if (g) synth_noise_onto(g, w_, base_sum_, out, n);
            else std::memcpy(out, base_sum_, n * sizeof(cf32));
            return;
        }
        cf32 z[kBlock];
        for (uint64_t at = 0; at < n; at += kBlock) {
            const uint64_t m = std::min(kBlock, n - at);
            cf32 *o = out + at;
            sum_caches(o, at, m);
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

    // The segment's caches over [at, at + m) of its on part, in order, into o.
    void sum_caches(cf32 *o, uint64_t at, uint64_t m) const {
        for (uint64_t j = 0; j < seg_.n_cached; ++j) term(j).apply(o, at, m, j == 0);
    }

private:
    CacheTerm term(uint64_t j) const {
        const uint64_t c = seg_.first_cache + j;
        const float g = seg_.own_noise ? 1.0f : cache_gain(plan_, r_, c);
        return CacheTerm(plan_.caches[c].get(), g, r_.phases ? &r_.phases[c] : nullptr);
    }

    const Plan &plan_;
    const PlanSegment &seg_;
    const RenderParams &r_;
    float w_;
    const cf32 *base_sum_;
};

// A render that takes every cache at its base gain, unrotated, can use the base sums.
bool at_base_gains(const RenderParams &r) { return !r.gains && !r.phases && !r.enabled; }

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
        for (uint64_t at = 0; at < seg.num_samples; at += kBlock)  // in blocks: the sum stays in cache
            part.sum_caches(sum.get() + at, at, std::min(kBlock, seg.num_samples - at));
        sums[k] = std::move(sum);
    }
    plan.base_sums = std::move(sums);
}

// The base sum of segment k, built on first use; null when it has none.
const cf32 *base_sum(const Plan &plan, std::size_t k) {
    std::call_once(plan.base_sums_once, build_base_sums, std::cref(plan));
    return k < plan.base_sums.size() ? plan.base_sums[k].get() : nullptr;
}

uint64_t drawn_gap(const PlanSegment &seg, uint32_t bit, uint32_t seed, uint64_t instance,
                   uint64_t segment, uint64_t lo, uint64_t hi) {
    if (!(seg.range_flags & bit)) return lo;
    return wfm_draw_samples(static_cast<int32_t>(seed), 0, instance, segment,
                            static_cast<int32_t>(bit), lo, hi);
}

uint64_t render(const Plan &plan, const RenderParams &r, cf32 *out) {
    uint64_t pos = 0;
    for (uint64_t k = 0; k < plan.segments.size(); ++k) {
        const PlanSegment &seg = plan.segments[k];
        const SegmentRenderer part(plan, seg, r, at_base_gains(r) ? base_sum(plan, k) : nullptr);
        const uint32_t seed_timing = r.has_seed ? r.seed : seg.seed;
        const uint32_t seed_noise = r.has_seed ? r.seed : seg.floor_source.spec().seed;
        for (uint64_t l = 0; l < seg.repeats; ++l) {
            const uint64_t delay = drawn_gap(seg, WFM_RANGE_DELAY_SAMPLES, seed_timing, l, k,
                                             seg.delay_lo, seg.delay_hi);
            const uint64_t off = drawn_gap(seg, WFM_RANGE_OFF_SAMPLES, seed_timing, l, k,
                                           seg.off_lo, seg.off_hi);
            const SynthPtr g = build_gap_synth(seg, r.has_snr, seed_noise, l, plan.fs, r.snr);
            // Every part is clipped to the room left: a draw never writes past len.
            auto room = [&](uint64_t n) { return std::min(n, plan.len - pos); };
            uint64_t n = room(delay);
            part.gap(g.get(), out + pos, n);
            pos += n;
            n = room(seg.num_samples);
            part.on_part(g.get(), out + pos, n);
            pos += n;
            n = room(off);
            part.gap(g.get(), out + pos, n);
            pos += n;
        }
    }
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
        const cJSON *seed = cJSON_GetObjectItemCaseSensitive(root.get(), "seed");
        if (cJSON_IsNumber(seed)) {
            params_.has_seed = true;
            params_.seed = seed_from_number(seed->valuedouble);
        }
        if (!gains_.empty()) params_.gains = gains_.data();
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
    std::vector<uint8_t> enabled_;
    RenderParams params_;
};

}  // namespace

}  // namespace qn

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
