#include "source_channel.hpp"

#include <cmath>
#include <new>

#include "wfm_draw.h"

namespace qn::channel {

const char *source_channel_refusal(const SourceSpec &src, double fs) {
    if (!src.channel) return nullptr;
    const WfmChannelSpec &c = *src.channel;
    if (c.refusal) return c.refusal;
    const double nyquist = (fs > 0.0 && std::isfinite(fs) ? fs : 1.0) * 0.5;
    auto beyond = [&](const WfmChannelValue &v) { return !(v.lo < nyquist) || (v.ranged && !(v.hi < nyquist)); };
    if (c.fading_model != WFM_FADING_NONE && beyond(c.doppler))
        return "\"fading\" \"doppler\" must be below half the sample rate (0.5 fs)";
    if (c.has_phase_noise && !(c.pn_offset < nyquist))
        return "\"phase_noise\" \"offset\" must be below half the sample rate (0.5 fs)";
    return nullptr;
}

const char *frontend_refusal(const SegmentSpec &seg) { return seg.frontend ? seg.frontend->refusal : nullptr; }

bool build_source_channel(const SourceSpec &src, uint32_t pass, int32_t seed_advance, uint64_t instance,
                          uint64_t segment, uint64_t source, double fs, const uint32_t *fading_seed,
                          std::unique_ptr<ChannelStage> &out) {
    out.reset();
    if (!src.channel) return true;
    // The channel follows the synthesiser's seed: with seed advance "all" each pass has its own.
    const uint32_t seed = seed_advance == WFM_SEED_ADVANCE_ALL && pass != 0 ? src.seed + pass : src.seed;
    const ChannelValues values = drawn_values(*src.channel, src.seed, pass, instance, segment, source);
    try {
        out = ChannelStage::create(*src.channel, values, fs, seed, fading_seed ? *fading_seed : seed);
    } catch (const std::bad_alloc &) {
        out.reset();
    }
    return out != nullptr;
}

bool fades(const SourceSpec &src) { return src.channel && src.channel->fading_model != WFM_FADING_NONE; }

uint32_t refading_seed(const SourceSpec &src, uint32_t fading_seed, uint32_t base) {
    return fading_seed + (src.seed - base);  // 32-bit wrap, as seeds wrap everywhere
}

bool build_unfaded_stage(const SourceSpec &src, double fs, std::unique_ptr<ChannelStage> &out) {
    try {
        out = ChannelStage::create(*src.channel, fixed_values(*src.channel), fs, src.seed, src.seed,
                                   ChannelStage::Parts::before_paths);
    } catch (const std::bad_alloc &) {
        out.reset();
    }
    return out != nullptr;
}

std::unique_ptr<ChannelStage> build_refade_stage(const SourceSpec &src, double fs, uint32_t fading_seed) {
    try {
        return ChannelStage::create(*src.channel, fixed_values(*src.channel), fs, src.seed, fading_seed,
                                    ChannelStage::Parts::paths);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void source_steps(ChannelStage *stage, Synth *synth, cf32 *out, std::size_t n) {
    if (stage) stage->steps(synth, out, n);
    else wfm_synth_steps(synth, out, n);
}

Frontend build_frontend(const SegmentSpec &seg, uint32_t pass, uint64_t instance, uint64_t segment) {
    Frontend f;
    if (!seg.frontend) return f;
    const WfmFrontendSpec &spec = *seg.frontend;
    const uint32_t seed = wfm_draw_segment_seed(&seg);
    auto value = [&](const WfmChannelValue &v, uint32_t field) {
        return v.ranged ? wfm_draw_range(seed, pass, instance, segment, UINT64_MAX, field, v.lo, v.hi) : v.lo;
    };
    if (spec.has_iq_imbalance)
        f.set_iq_imbalance(value(spec.iq_gain_db, WFM_DRAW_IQ_GAIN_DB), value(spec.iq_phase_deg, WFM_DRAW_IQ_PHASE_DEG));
    if (spec.has_dc_offset) f.set_dc_offset(spec.dc_re, spec.dc_im);
    return f;
}

const char *ranged_channel_key(const SourceSpec &src) {
    if (!src.channel) return nullptr;
    const WfmChannelSpec &c = *src.channel;
    if (c.freq_drift.ranged) return "freq_drift";
    if (c.clock_ppm.ranged) return "clock_ppm";
    if (c.timing_offset.ranged) return "timing_offset";
    if (c.doppler.ranged) return "doppler";
    if (c.k_db.ranged) return "k_db";
    if (c.pn_dbc_hz.ranged) return "dbc_hz";
    if (c.pa_drive_db.ranged) return "drive_db";
    return nullptr;
}

const char *ranged_frontend_key(const SegmentSpec &seg) {
    if (!seg.frontend) return nullptr;
    if (seg.frontend->iq_gain_db.ranged) return "gain_db";
    if (seg.frontend->iq_phase_deg.ranged) return "phase_deg";
    return nullptr;
}

}  // namespace qn::channel
