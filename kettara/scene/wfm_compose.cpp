#include "wfm_compose.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "checked.hpp"
#include "source_channel.hpp"
#include "wfm_draw.h"
#include "wfm_frame.h"
#include "wfm_resolve.h"
#include "wfm_scene.hpp"
#include "wfm_synth_bridge.h"

namespace {

enum State : uint32_t { kDelay = 0, kOn = 1, kOff = 2, kDone = 3 };

constexpr uint64_t kBlock = 4096;
// A scene whose lengths are drawn may yield an empty pass by chance (a length ranged
// above zero is zero half the time at most), hardly this many in a row: they end it.
constexpr uint32_t kMaxEmptyPasses = 64;

struct SynthDeleter {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};

uint64_t largest(const SegmentSpec &s, uint32_t flag, uint64_t lo, uint64_t hi) {
    return (s.range_flags & flag) ? std::max(lo, hi) : lo;
}

// True when no instance of the segment can have a gap.
bool gapless(const SegmentSpec &s) {
    return largest(s, WFM_RANGE_OFF_SAMPLES, s.off_samples, s.off_samples_hi) == 0 &&
           largest(s, WFM_RANGE_DELAY_SAMPLES, s.delay_samples, s.delay_samples_hi) == 0;
}

// True when no instance of the segment can have a sample.
bool always_empty(const SegmentSpec &s) {
    return gapless(s) && largest(s, WFM_RANGE_NUM_SAMPLES, s.num_samples, s.num_samples_hi) == 0;
}

// True when some length of the segment is drawn from a range of more than one value.
bool draws_lengths(const SegmentSpec &s) {
    auto varies = [&](uint32_t flag, uint64_t lo, uint64_t hi) {
        return (s.range_flags & flag) && lo != hi;
    };
    return varies(WFM_RANGE_NUM_SAMPLES, s.num_samples, s.num_samples_hi) ||
           varies(WFM_RANGE_OFF_SAMPLES, s.off_samples, s.off_samples_hi) ||
           varies(WFM_RANGE_DELAY_SAMPLES, s.delay_samples, s.delay_samples_hi);
}

// A lone dsss source without a symbol rate plays exactly its frame.
void fit_dsss_frame(SegmentSpec &g) {
    if (g.n_sources != 1) return;
    const SourceSpec &s = g.sources[0];
    if (s.type != WFM_TYPE_DSSS || s.symbol_rate > 0) return;
    const uint64_t chips = wfm_frame_dsss_nchips(s.acq_code_len, s.acq_reps, s.data_code_len,
                                                 s.sync_len, s.pattern_len, s.crc);
    if (chips == 0) return;
    const uint64_t sps = s.sps > 1 ? static_cast<uint64_t>(s.sps) : 1;
    g.num_samples = qn::checked_mul(chips, sps).value_or(UINT64_MAX);
    g.num_samples_hi = 0;
    g.range_flags &= ~uint32_t{WFM_RANGE_NUM_SAMPLES};
}

}  // namespace

struct Composer {
    wfm::Segments segments;
    int32_t repeat = 0;
    int32_t continuous = 0;
    uint32_t seed_advance = WFM_SEED_ADVANCE_NONE;
    uint32_t pass = 0;
    uint64_t instance = 0;
    uint64_t segment_index = 0;
    uint32_t state = kDone;
    uint64_t remaining = 0;
    uint64_t cur_num_samples = 0, cur_off_samples = 0, cur_delay_samples = 0;
    std::unique_ptr<Synth *[]> synths;
    std::unique_ptr<float[]> gains;
    uint64_t n_built = 0;
    uint64_t max_sources = 1;
    std::unique_ptr<cf32[]> scratch;
    std::vector<std::unique_ptr<qn::channel::ChannelStage>> channels;  // per source, null without one
    qn::channel::Frontend frontend;                                    // of the current instance

    bool lengths_vary = false;  // some segment draws a length from several values
    bool pass_produced = false;
    uint32_t empty_passes = 0;

    ~Composer() { destroy_synths(); }

    void destroy_synths() {
        for (uint64_t i = 0; i < n_built; ++i) {
            wfm_synth_destroy(synths[i]);
            channels[i].reset();
        }
        n_built = 0;
    }

    void start_instance();
    bool wrap();
    bool advance();
    bool skip_empty_segment();
    void next_instance();
    uint64_t play(cf32 *out, uint64_t n);
};

void Composer::start_instance() {
    const SegmentSpec &s = segments[segment_index];
    const WfmInstanceLengths len = wfm_draw_instance_lengths(&s, pass, instance, segment_index);
    cur_num_samples = len.num;
    cur_off_samples = len.off;
    cur_delay_samples = len.delay;
    n_built = 0;
    frontend = qn::channel::build_frontend(s, pass, instance, segment_index);
    state = kOff;
    remaining = qn::saturating_add(cur_delay_samples, cur_off_samples);
    if (cur_num_samples == 0 || s.n_sources == 0) return;

    for (uint64_t i = 0; i < s.n_sources; ++i) {
        const SourceSpec &src = s.sources[i];
        const WfmSourceValues v = wfm_draw_source_values(&src, pass, instance, segment_index, i);
        gains[i] = wfm_level_gain(v.level);
        synths[i] = wfm_compose_build_synth(&src, cur_num_samples, pass,
                                            static_cast<int32_t>(seed_advance), instance, s.fs,
                                            v.freq, v.snr, v.f_end);
        if (synths[i] && !qn::channel::build_source_channel(src, pass, static_cast<int32_t>(seed_advance), instance,
                                                            segment_index, i, s.fs, nullptr, channels[i])) {
            wfm_synth_destroy(synths[i]);
            synths[i] = nullptr;
        }
        if (!synths[i]) {
            destroy_synths();  // this instance has no on part and silent gaps
            // Built from the same sources, the segment's later instances would fail alike;
            // without gaps they hold no sample and are passed over.
            if (gapless(s)) instance = std::max<uint64_t>(s.repeats, 1) - 1;
            return;
        }
        n_built = i + 1;
    }
    state = cur_delay_samples > 0 ? kDelay : kOn;
    remaining = cur_delay_samples > 0 ? cur_delay_samples : cur_num_samples;
}

bool Composer::wrap() {
    if (!pass_produced && (!lengths_vary || ++empty_passes >= kMaxEmptyPasses))
        return false;  // every further pass would be as empty as this one
    if (pass_produced) empty_passes = 0;
    pass_produced = false;
    ++pass;
    segment_index = 0;
    return true;
}

bool Composer::advance() {
    if (++instance < std::max<uint64_t>(segments[segment_index].repeats, 1)) return true;
    instance = 0;
    if (++segment_index < segments.size()) return true;
    return (repeat || continuous) && wrap();
}

bool Composer::skip_empty_segment() {
    const SegmentSpec &s = segments[segment_index];
    if (!always_empty(s)) return false;
    instance = std::max<uint64_t>(s.repeats, 1) - 1;  // its instances hold no sample
    return true;
}

void Composer::next_instance() {
    destroy_synths();
    do {
        if (!advance()) {
            state = kDone;
            return;
        }
    } while (skip_empty_segment());
    start_instance();
}

namespace {

// A source's samples: through its channel in the on part; its own noise alone in the gaps.
void step(Synth *s, qn::channel::ChannelStage *channel, cf32 *out, uint64_t n, bool on) {
    if (on && channel) channel->steps(s, out, n);
    else if (on) wfm_synth_steps(s, out, n);
    else wfm_synth_noise_steps(s, out, n);
}

}  // namespace

// Plays the next chunk of the current delay, on or off part (remaining > 0).
uint64_t Composer::play(cf32 *out, uint64_t n) {
    const bool on = state == kOn;
    uint64_t chunk = std::min(remaining, n);
    if (!on && (n_built == 0 || segments[segment_index].gap_noise_off)) {
        std::memset(out, 0, chunk * sizeof(cf32));
    } else if (n_built == 1) {
        step(synths[0], channels[0].get(), out, chunk, on);
        const float g = gains[0];
        if (g != 1.0f) {
            for (uint64_t k = 0; k < chunk; ++k) {
                out[k].re = out[k].re * g;
                out[k].im = out[k].im * g;
            }
        }
    } else {
        // Sum in source order, one multiply and one add per component.
        chunk = std::min(chunk, kBlock);
        cf32 *const tmp = scratch.get();
        step(synths[0], channels[0].get(), tmp, chunk, on);
        const float g0 = gains[0];
        for (uint64_t k = 0; k < chunk; ++k) {
            out[k].re = tmp[k].re * g0;
            out[k].im = tmp[k].im * g0;
        }
        for (uint64_t j = 1; j < n_built; ++j) {
            step(synths[j], channels[j].get(), tmp, chunk, on);
            const float g = gains[j];
            for (uint64_t k = 0; k < chunk; ++k) {
                out[k].re = tmp[k].re * g + out[k].re;
                out[k].im = tmp[k].im * g + out[k].im;
            }
        }
    }
    frontend.steps(out, chunk);
    remaining -= chunk;
    pass_produced = true;
    return chunk;
}

extern "C" {

Synth *wfm_compose_build_synth(const SourceSpec *src, uint64_t chirp_span, uint32_t pass,
                               int32_t seed_advance, uint64_t instance, double fs, double freq,
                               double snr, double f_end) {
    if (!src) return nullptr;
    // Seed arithmetic wraps on 32 bits.
    const uint32_t synth_seed =
        seed_advance == WFM_SEED_ADVANCE_ALL && pass != 0 ? src->seed + pass : src->seed;
    uint32_t mode = WFM_MODE_AUTO;
    const double synth_snr = wfm_source_create_snr(src, &mode, fs, snr);
    std::unique_ptr<Synth, SynthDeleter> s(wfm_synth_create(
        src->type, static_cast<int>(mode), synth_seed, src->sps,
        static_cast<uint32_t>(src->pn_length), src->pn_poly, fs, freq, synth_snr, f_end,
        src->lfsr == WFM_LFSR_FIBONACCI ? 1 : 0));
    if (!s) return nullptr;
    wfm_synth_set_chirp_span(s.get(), chirp_span);
    if (wfm_source_attach_frame(s.get(), src) != QN_OK) return nullptr;
    if (src->type == WFM_TYPE_SYMBOLS && src->symbols && src->n_symbols != 0 &&
        wfm_synth_set_symbols(s.get(), src->symbols, src->n_symbols) != QN_OK)
        return nullptr;
    if (wfm_source_attach_dsss(s.get(), src, fs) != QN_OK) return nullptr;
    if (wfm_source_attach_apsk(s.get(), src) != QN_OK) return nullptr;
    if (wfm_source_attach_rrc(s.get(), src) != QN_OK) return nullptr;

    // Every instance has its own noise; with seed advance "noise" every pass too.
    const uint32_t k = static_cast<uint32_t>(instance * 0x9E3779B9u);
    if (seed_advance == WFM_SEED_ADVANCE_NOISE && pass != 0)
        wfm_synth_reseed_noise(s.get(), (src->seed + pass) ^ k);
    else if (instance != 0)
        wfm_synth_reseed_noise(s.get(), synth_seed ^ k);
    return s.release();
}

Composer *wfm_compose_create(const SegmentSpec *segments, uint64_t n, int32_t repeat,
                             int32_t continuous) {
    if (!segments || n == 0) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        const SegmentSpec &g = segments[i];
        if (qn::channel::frontend_refusal(g)) return nullptr;
        for (uint64_t k = 0; g.sources && k < g.n_sources; ++k)
            if (wfm_source_error(&g.sources[k]) || qn::channel::source_channel_refusal(g.sources[k], g.fs))
                return nullptr;
    }
    std::unique_ptr<Composer> c(new (std::nothrow) Composer);
    if (!c) return nullptr;
    c->segments = wfm::Segments::copy_of(segments, n);
    if (c->segments.empty()) return nullptr;
    for (uint64_t i = 0; i < n; ++i) fit_dsss_frame(c->segments[i]);
    if (wfm_resolve_noise(c->segments.data(), n) != QN_OK) return nullptr;

    for (uint64_t i = 0; i < n; ++i) {
        c->max_sources = std::max(c->max_sources, c->segments[i].n_sources);
        c->lengths_vary = c->lengths_vary || draws_lengths(c->segments[i]);
    }
    c->synths.reset(new (std::nothrow) Synth *[c->max_sources]());
    c->gains.reset(new (std::nothrow) float[c->max_sources]());
    c->scratch.reset(new (std::nothrow) cf32[kBlock]);
    if (!c->synths || !c->gains || !c->scratch) return nullptr;
    try {
        c->channels.resize(c->max_sources);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }

    c->repeat = repeat;
    c->continuous = continuous != 0;
    if (c->skip_empty_segment()) c->next_instance();
    else c->start_instance();
    return c.release();
}

uint64_t wfm_compose_execute(Composer *c, cf32 *out, uint64_t n) {
    if (!c || !out) return 0;
    uint64_t written = 0;
    while (written < n && c->state != kDone) {
        if (c->remaining > 0) {
            written += c->play(out + written, n - written);
        } else if (c->state == kOn) {
            c->state = kOff;
            c->remaining = c->cur_off_samples;
        } else if (c->state == kDelay) {
            c->state = kOn;
            c->remaining = c->cur_num_samples;
        } else {
            c->next_instance();
        }
    }
    return written;
}

void wfm_compose_destroy(Composer *c) { delete c; }

const SegmentSpec *wfm_compose_segments(const Composer *c, uint64_t *n_out,
                                        int32_t *repeat_out, int32_t *continuous_out) {
    if (n_out) *n_out = c ? c->segments.size() : 0;
    if (repeat_out) *repeat_out = c ? c->repeat : 0;
    if (continuous_out) *continuous_out = c ? c->continuous : 0;
    return c ? c->segments.data() : nullptr;
}

void wfm_compose_set_seed_advance(Composer *c, uint32_t mode) {
    if (c && mode < WFM_SEED_ADVANCE_COUNT) c->seed_advance = mode;
}

uint32_t wfm_compose_seed_advance(const Composer *c) { return c ? c->seed_advance : 0; }

}  // extern "C"
