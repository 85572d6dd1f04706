// Scene text through wfm_compose_from_json, then a few thousand samples pulled from the
// composer in uneven calls.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "wfm_compose.h"
#include "wfm_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    wfm_spec_headroom(text.c_str());
    Composer *c = wfm_compose_from_json(text.c_str());
    if (!c) return 0;
    std::vector<cf32> out(1500);
    for (uint64_t n : {1u, 1500u, 7u, 1000u, 509u}) {
        const uint64_t got = wfm_compose_execute(c, out.data(), n);
        if (got > n) abort();
        if (got < n) break;
    }
    wfm_compose_destroy(c);
    return 0;
}
