// Impairment records written as scene JSON: the "channel" of a source and the "frontend" of a
// segment, so that parsing the text gives the same record. Both libraries write them: the
// scene writer and the capture metadata. Also the frequencies a channel moves a source over.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>

#include "wfm_channel_spec.h"

namespace wfm {

// Adds "channel" (or "frontend") to obj under key, nothing when the record is null.
void add_channel(cJSON *obj, const WfmChannelSpec *channel, const char *key = "channel");
void add_frontend(cJSON *obj, const WfmFrontendSpec *frontend, const char *key = "frontend");

// The piecewise-linear profile of n points (times t, offsets df) at time: linear between its
// points, held at its ends; 0 without points.
double profile_offset(const double *t, const double *df, uint64_t n, double time);

// The lowest and highest carrier offset (in the unit of fs) the channel gives a source over
// an on part of n samples at rate fs: its drift and profile, widened by its Doppler spread
// and the clock offset's scaling of freq. Both 0 without a channel.
void channel_frequency_span(const WfmChannelSpec *channel, double freq, double fs, uint64_t n, double &lo,
                            double &hi);

}  // namespace wfm
