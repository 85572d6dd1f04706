// The "channel" object of a source and the "frontend" object of a segment in scene text,
// parsed strictly: a value out of its range is refused with the reason, never clamped.
#pragma once

#include <cjson/cJSON.h>

#include "wfm_channel_spec.h"

namespace wfm {

// The record of a "channel" object (absent: null); a value it cannot take leaves the reason in
// its refusal. Null only when memory runs out, which the caller reports as a failed parse.
// The second form tells the two apart: false on allocation failure.
bool parse_channel(const cJSON *source, WfmChannelSpec *&out);
bool parse_frontend(const cJSON *segment, WfmFrontendSpec *&out);


}  // namespace wfm
