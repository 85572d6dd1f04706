#include "wfm_draw.h"

#include "checked.hpp"
#include "splitmix.hpp"

namespace {

uint64_t draw_length(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment_index,
                     uint32_t flags, uint32_t field, uint64_t lo, uint64_t hi) {
    if (!(flags & field)) return lo;
    return wfm_draw_samples(static_cast<int32_t>(seed), static_cast<int32_t>(pass), instance,
                            segment_index, static_cast<int32_t>(field), lo, hi);
}

double draw_value(const SourceSpec &s, uint32_t pass, uint64_t instance, uint64_t segment,
                  uint64_t source, uint32_t field, double lo, double hi) {
    if (!(s.range_flags & field)) return lo;
    return wfm_draw_range(s.seed, pass, instance, segment, source, field, lo, hi);
}

}  // namespace

extern "C" {

double wfm_draw_range(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment,
                      uint64_t source, uint32_t field, double lo, double hi) {
    // Every component is widened to 64 bits before it is shifted.
    uint64_t x = (source << 16) ^ (uint64_t{field} << 8) ^ (segment << 40) ^ (instance << 48) ^
                 (uint64_t{pass} << 32) ^ (uint64_t{seed} * 0xD1B54A32D192ED03ULL);
    x += qn::kSplitMixGamma;
    const uint64_t u = qn::splitmix_finish(x) >> 11;
    const double d = hi - lo;
    const double step = d * 0x1p-53;
    return lo + static_cast<double>(u) * step;
}

uint64_t wfm_draw_samples(int32_t seed, int32_t pass, uint64_t instance, uint64_t segment,
                          int32_t field, uint64_t lo, uint64_t hi) {
    const double v = wfm_draw_range(static_cast<uint32_t>(seed), static_cast<uint32_t>(pass),
                                    instance, segment, 0, static_cast<uint32_t>(field),
                                    static_cast<double>(lo), static_cast<double>(hi)) +
                     0.5;
    // hi near 2^64 rounds up to 2^64 as a double: saturate rather than overflow.
    return qn::saturating_count<uint64_t>(v);
}

uint32_t wfm_draw_segment_seed(const SegmentSpec *segment) {
    if (!segment) return 0;
    if (segment->n_sources == 0 || !segment->sources) return 1;
    return segment->sources[0].seed;
}

WfmInstanceLengths wfm_draw_instance_lengths(const SegmentSpec *s, uint32_t pass,
                                             uint64_t instance, uint64_t segment_index) {
    WfmInstanceLengths len{};
    if (!s) return len;
    const uint32_t seed = wfm_draw_segment_seed(s);
    len.num = draw_length(seed, pass, instance, segment_index, s->range_flags,
                          WFM_RANGE_NUM_SAMPLES, s->num_samples, s->num_samples_hi);
    len.off = draw_length(seed, pass, instance, segment_index, s->range_flags,
                          WFM_RANGE_OFF_SAMPLES, s->off_samples, s->off_samples_hi);
    len.delay = draw_length(seed, pass, instance, segment_index, s->range_flags,
                            WFM_RANGE_DELAY_SAMPLES, s->delay_samples, s->delay_samples_hi);
    return len;
}

WfmSourceValues wfm_draw_source_values(const SourceSpec *src, uint32_t pass, uint64_t instance,
                                       uint64_t segment_index, uint64_t source) {
    WfmSourceValues v{};
    if (!src) return v;
    const SourceSpec &s = *src;
    v.freq = draw_value(s, pass, instance, segment_index, source, WFM_RANGE_FREQ, s.freq,
                        s.freq_hi);
    v.snr = draw_value(s, pass, instance, segment_index, source, WFM_RANGE_SNR, s.snr, s.snr_hi);
    v.level = draw_value(s, pass, instance, segment_index, source, WFM_RANGE_LEVEL, s.level,
                         s.level_hi);
    v.f_end = draw_value(s, pass, instance, segment_index, source, WFM_RANGE_F_END, s.f_end,
                         s.f_end_hi);
    return v;
}

uint64_t wfm_compose_spans(const SegmentSpec *segments, uint64_t n, ComposeSpan *out,
                           uint64_t max_out) {
    if (!segments) return 0;
    uint64_t count = 0;
    uint64_t start = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const SegmentSpec &s = segments[i];
        const uint64_t reps = s.repeats > 1 ? s.repeats : 1;
        // Only written records need their lengths drawn; the rest are merely counted,
        // so a huge repeat count costs nothing.
        uint64_t j = 0;
        for (; j < reps && out && count < max_out; ++j, ++count) {
            const WfmInstanceLengths len = wfm_draw_instance_lengths(&s, 0, j, i);
            out[count] = {i, j, start, len.delay, len.num, len.off};
            start = qn::saturating_add(start, qn::saturating_add(len.delay,
                                                                 qn::saturating_add(len.num, len.off)));
        }
        count = qn::saturating_add(count, reps - j);
    }
    return count;
}

}  // extern "C"
