// The bridge from scene records to impairment stages, shared by the composer and the plan so
// that both build exactly the same ones.
#pragma once

#include <cstdint>
#include <memory>

#include "channel_stage.hpp"
#include "frontend.hpp"
#include "wfm_spec.h"

namespace qn::channel {

// Why a source's channel (at the segment's rate fs) or a segment's front end cannot be built
// as written (static text), or null.
const char *source_channel_refusal(const SourceSpec &src, double fs);
const char *frontend_refusal(const SegmentSpec &seg);

// The channel of source `source` of segment `segment` for one instance, its ranged values
// drawn as the composer draws them; null in out when the source has none. False when a part
// cannot be allocated. fading_seed, when given, replaces the scene's fading seed.
bool build_source_channel(const SourceSpec &src, uint32_t pass, int32_t seed_advance, uint64_t instance,
                          uint64_t segment, uint64_t source, double fs, const uint32_t *fading_seed,
                          std::unique_ptr<ChannelStage> &out);

// True when the source's channel fades it.
bool fades(const SourceSpec &src);
// The source's fading seed under a plan's "fading_seed" override: the override plus the
// source's seed less `base`, the seed of the scene's first fading source, so that the
// override base gives every source its own seed back.
uint32_t refading_seed(const SourceSpec &src, uint32_t fading_seed, uint32_t base);
// The waveform of a fading source before its taps and fading: n samples plus the taps'
// latency (so that fading it gives n), into out; false when a part cannot be built.
bool build_unfaded_stage(const SourceSpec &src, double fs, std::unique_ptr<ChannelStage> &out);
// The taps and fading alone, faded from fading_seed; null when a part cannot be allocated.
std::unique_ptr<ChannelStage> build_refade_stage(const SourceSpec &src, double fs, uint32_t fading_seed);

// The next n samples of a source: through its stage when it has one.
void source_steps(ChannelStage *stage, Synth *synth, cf32 *out, std::size_t n);

// The front end of one instance of segment `segment` (empty when it has none).
Frontend build_frontend(const SegmentSpec &seg, uint32_t pass, uint64_t instance, uint64_t segment);

// True when any channel key of the source or front-end key of the segment is ranged.
const char *ranged_channel_key(const SourceSpec &src);
const char *ranged_frontend_key(const SegmentSpec &seg);

}  // namespace qn::channel
