// Scenes and blobs that ask for sizes no machine holds: composition streams them without
// allocating their length, plans and restores refuse them before allocating anything.
// (Under make check-asan an attempt to allocate such a size is itself reported.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kettara.h"
#include "wfm_compose.h"
#include "wfm_json.h"

namespace {

struct AbsurdScene {
    const char *what;
    const char *json;
    bool small_caches;  // only the length or a per-symbol size is large
};

const AbsurdScene kScenes[] = {
    {"10^15 samples of a tone", R"({"segments": [{"type": "tone", "num_samples": 1e15}]})", false},
    {"10^12 samples of QPSK", R"({"segments": [{"type": "qpsk", "snr": 3, "num_samples": 1e12}]})", false},
    {"2^64 samples", R"({"segments": [{"type": "bpsk", "num_samples": 1.8446744073709552e19}]})", false},
    {"10^15 samples over three sources",
     R"({"segments": [{"sum": [{"type": "tone"}, {"type": "bpsk"}, {"type": "noise", "background": true}],
                      "num_samples": 3.3e14}]})",
     false},
    {"10^15 off samples", R"({"segments": [{"type": "tone", "num_samples": 64, "off_samples": 1e15}]})", true},
    {"10^15 repeats", R"({"segments": [{"type": "tone", "num_samples": 64, "repeats": 1e15}]})", true},
    {"huge symbol length",
     R"({"segments": [{"type": "bpsk", "sps": 2147483647, "pulse": "rrc", "rrc_span": 2147483647,
                      "num_samples": 100}]})",
     true},
    // Skipped, so the source plays unshaped. (A framed DSSS source of this chip length
    // would have a segment of its frame's length, some 10^9 samples, and a plan to match.)
    {"RRC filter of billions of taps",
     R"({"segments": [{"type": "bpsk", "sps": 227937088, "pulse": "rrc", "num_samples": 100}]})", true},
    {"long PN register", R"({"segments": [{"type": "pn", "pn_length": 2147483647, "num_samples": 100}]})", true},
    {"many acquisition repetitions",
     R"({"segments": [{"type": "bits", "pattern": "1011", "acq_code": "1100", "acq_reps": 1e15,
                      "num_samples": 100}]})",
     true},
    {"DSSS with many acquisition repetitions",
     R"({"segments": [{"type": "dsss", "data_code": "1011", "payload": "10", "acq_code": "11",
                      "acq_reps": 1e15, "num_samples": 100}]})",
     true},
    {"continuous DSSS at a vanishing symbol rate",
     R"({"segments": [{"type": "dsss", "data_code": "1011", "symbol_rate": 1e-300, "num_samples": 100}]})",
     true},
    {"Reed-Solomon depth 2^31", R"({"segments": [{"type": "bits", "pattern": "1", "rs_depth": 2147483647,
                                  "num_samples": 100}]})",
     true},
};

TEST(AbsurdSizes, CompositionStreamsWithoutAllocatingTheLength) {
    std::vector<cf32> out(4096);
    for (const AbsurdScene &s : kScenes) {
        SCOPED_TRACE(s.what);
        Composer *c = wfm_compose_from_json(s.json);
        if (!c) continue;  // refused cleanly is fine too
        EXPECT_LE(wfm_compose_execute(c, out.data(), out.size()), out.size());
        wfm_compose_destroy(c);
    }
}

TEST(AbsurdSizes, PlansAreRefusedBeforeAllocatingTheirCaches) {
    for (const AbsurdScene &s : kScenes) {
        SCOPED_TRACE(s.what);
        Plan *plan = kettara_prepare(s.json);
        if (!s.small_caches) {
            EXPECT_EQ(plan, nullptr);
            continue;
        }
        if (!plan) continue;
        // The length may be huge; the blob holds only the caches.
        EXPECT_GE(kettara_len(plan), 64u);
        EXPECT_LT(kettara_save_bytes(plan), uint64_t{1} << 24);
        kettara_destroy(plan);
    }
}

// A blob whose scene text asks for 10^15 samples and whose cache table claims them.
TEST(AbsurdSizes, BlobsOfAbsurdScenesAreRefused) {
    const std::string text = R"({"segments": [{"type": "tone", "num_samples": 1e15}]})";
    std::vector<unsigned char> blob(32 + text.size() + 8 + 64);
    const uint16_t version = 1;
    const uint64_t stamp = 0x4C2CF47801CD1ECBull, length = text.size(), caches = 1, samples = 1000000000000000ull;
    std::memcpy(blob.data(), "PLN0", 4);
    std::memcpy(blob.data() + 4, &version, 2);
    blob[6] = 1;
    std::memcpy(blob.data() + 8, &stamp, 8);
    std::memcpy(blob.data() + 16, &length, 8);
    std::memcpy(blob.data() + 24, text.data(), text.size());
    std::memcpy(blob.data() + 24 + text.size(), &caches, 8);
    std::memcpy(blob.data() + 32 + text.size(), &samples, 8);
    EXPECT_EQ(kettara_restore(blob.data(), blob.size()), nullptr);

    // A text length near 2^64 must not wrap the bounds check.
    for (uint64_t lie : {~uint64_t{0}, ~uint64_t{0} - 31, uint64_t{1} << 63}) {
        std::memcpy(blob.data() + 16, &lie, 8);
        EXPECT_EQ(kettara_restore(blob.data(), blob.size()), nullptr) << lie;
    }
}

}  // namespace
