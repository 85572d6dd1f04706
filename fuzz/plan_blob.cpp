// Plan blobs through kettara_restore: a restored plan renders, and saving it gives a blob
// of the size it announces that restores again. Scenes whose caches would be large but
// could exist (between 2^20 and 2^40 samples) are skipped: building them is legitimate,
// only slow; larger ones must be refused without an attempt to allocate them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kettara.h"
#include "wfm_compose.h"
#include "wfm_json.h"

namespace {

bool large_but_possible(const uint8_t *data, size_t size) {
    uint64_t text_len = 0;
    if (size < 24) return false;
    std::memcpy(&text_len, data + 16, 8);
    if (text_len > size - 24) return false;
    const std::string text(reinterpret_cast<const char *>(data + 24), text_len);
    Composer *c = wfm_compose_from_json(text.c_str());
    if (!c) return false;
    uint64_t n = 0;
    int32_t repeat = 0, continuous = 0;
    const SegmentSpec *segs = wfm_compose_segments(c, &n, &repeat, &continuous);
    bool large = false;
    for (uint64_t k = 0; segs && k < n; ++k) {
        const unsigned __int128 samples = static_cast<unsigned __int128>(segs[k].num_samples) * segs[k].n_sources;
        large = large || (samples > (1u << 20) && samples < (uint64_t{1} << 40));
    }
    wfm_compose_destroy(c);
    return large;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (large_but_possible(data, size)) return 0;
    Plan *plan = kettara_restore(data, size);
    if (!plan) return 0;
    const uint64_t len = kettara_len(plan);
    if (len <= (1u << 20)) {
        std::vector<cf32> out(len);
        if (kettara_render(plan, nullptr, out.data()) > len) abort();
    }
    std::vector<uint8_t> blob(kettara_save_bytes(plan));
    if (kettara_save(plan, blob.data()) != blob.size()) abort();
    Plan *again = kettara_restore(blob.data(), blob.size());
    if (!again || kettara_len(again) != len || kettara_n_sources(again) != kettara_n_sources(plan)) abort();
    kettara_destroy(again);
    kettara_destroy(plan);
    return 0;
}
