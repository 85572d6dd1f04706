// Impaired scenes end to end: composition in any chunks = plan = restored blob = streamed
// render, the key
// write-back, and the refusals of values a channel cannot take.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <random>
#include <string>
#include <vector>

#include "kettara.h"
#include "plan_testing.hpp"
#include "wfm_compose.h"
#include "wfm_json.h"

using namespace plan_testing;

namespace {

// Every impairment at once, a sum with a noise floor, and a lone impaired source with its
// own snr (its noise then comes apart from it, after the channel).
const char *const kImpaired[] = {
    R"({"segments": [{"type": "qpsk", "sps": 4, "snr": 15, "num_samples": 9000, "off_samples": 300,
        "delay_samples": 40, "repeats": 2, "seed": 7,
        "channel": {"pa": {"model": "rapp", "smoothness": 3, "drive_db": 2},
                    "phase_noise": {"dbc_hz": -70, "offset": 0.001, "floor_dbc_hz": -110},
                    "freq_drift": 0.01, "freq_profile": [[0, 0.001], [4000, -0.002]],
                    "clock_ppm": 40, "timing_offset": 0.3,
                    "multipath": {"delays": [0, 2.5, 7], "gains_db": [0, -4, -9], "phases": [0, 1, -2]},
                    "fading": {"model": "rician", "doppler": 0.002, "k_db": 6}},
        "frontend": {"iq_imbalance": {"gain_db": 0.5, "phase_deg": 3}, "dc_offset": [0.01, -0.02]}}]})",
    R"({"segments": [{"num_samples": 7000, "fs": 1000, "frontend": {"dc_offset": [0.5, 0.25]},
        "sum": [{"type": "tone", "freq": 0.05, "background": true,
                 "channel": {"pa": {"model": "saleh"}}},
                {"type": "bpsk", "snr": 12, "sps": 8,
                 "channel": {"fading": {"model": "rayleigh", "doppler": 0.01, "sinusoids": 8}}},
                {"type": "chirp", "freq": -0.1, "f_end": 0.1, "level": -3,
                 "channel": {"pa": {"model": "cubic", "iip3_db": 5}, "clock_ppm": -25}}]}]})",
};

Samples compose_in_chunks(const std::string &scene, unsigned seed) {
    Samples out;
    Composer *c = wfm_compose_from_json(scene.c_str());
    EXPECT_NE(c, nullptr);
    if (!c) return out;
    std::mt19937 chunks(seed);
    std::vector<cf32> block(5000);
    while (uint64_t n = wfm_compose_execute(c, block.data(), 1 + chunks() % 4999))
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    wfm_compose_destroy(c);
    return out;
}

TEST(ChannelScenes, CompositionInAnyChunksEqualsPlanAndBlob) {
    for (const char *scene : kImpaired) {
        const Samples whole = compose(scene);
        ASSERT_FALSE(whole.empty()) << scene;
        for (unsigned seed : {1u, 2u, 3u}) EXPECT_TRUE(identical(compose_in_chunks(scene, seed), whole)) << scene;
        const PlanPtr plan = prepare(scene);
        ASSERT_NE(plan, nullptr) << scene;
        EXPECT_TRUE(identical(render(plan.get(), ""), whole)) << scene;
        std::vector<unsigned char> blob(kettara_save_bytes(plan.get()));
        kettara_save(plan.get(), blob.data());
        const PlanPtr restored(kettara_restore(blob.data(), blob.size()));
        ASSERT_NE(restored, nullptr);
        EXPECT_TRUE(identical(render(restored.get(), ""), whole)) << scene;

        KettaraStream *stream = kettara_stream_create(scene, "");
        ASSERT_NE(stream, nullptr) << scene;
        Samples streamed(kettara_stream_len(stream));
        std::mt19937 chunks(9);
        for (uint64_t at = 0, n = 1; at < streamed.size() && n > 0; at += n)
            n = kettara_stream_read(stream, streamed.data() + at,
                                    std::min<uint64_t>(1 + chunks() % 7000, streamed.size() - at));
        EXPECT_EQ(kettara_stream_failed(stream), 0);
        kettara_stream_destroy(stream);
        EXPECT_TRUE(identical(streamed, whole)) << scene;
    }
}

TEST(ChannelScenes, ScenesWithoutImpairmentsKeepTheirSamples) {
    // An empty front end and a channel with nothing in it change no sample of a noiseless source.
    const std::string plain = R"({"segments": [{"type": "tone", "freq": 0.1, "num_samples": 3000}]})";
    const std::string empty = R"({"segments": [{"type": "tone", "freq": 0.1, "num_samples": 3000,
                                   "channel": {}, "frontend": {}}]})";
    EXPECT_TRUE(identical(compose(empty), compose(plain)));
}

TEST(ChannelScenes, WrittenBackTheyParseToTheSameText) {
    for (const char *scene : kImpaired) {
        char *once = wfm_spec_normalise(scene);
        ASSERT_NE(once, nullptr);
        char *twice = wfm_spec_normalise(once);
        ASSERT_NE(twice, nullptr);
        EXPECT_STREQ(once, twice);
        EXPECT_NE(std::string(once).find("\"channel\""), std::string::npos);
        EXPECT_TRUE(identical(compose(once), compose(scene)));
        cJSON_free(once);
        cJSON_free(twice);
    }
}

std::string refusal(const std::string &scene) {
    std::string why(kettara_refusal(scene.c_str(), nullptr, 0), '\0');
    kettara_refusal(scene.c_str(), why.data(), why.size() + 1);
    return why;
}

TEST(ChannelScenes, ValuesOutOfRangeAreRefusedWithTheirReason) {
    struct Case {
        const char *channel;
        const char *reason;
    };
    const Case cases[] = {
        {R"("channel": {"pa": {"model": "rapp", "saturation": -1}})", "\"saturation\" must be a positive number"},
        {R"("channel": {"pa": {"model": "rapp", "smoothness": 0}})", "\"smoothness\" must be a number in"},
        {R"("channel": {"pa": {"model": "tube"}})", "\"model\" must be \"rapp\", \"saleh\" or \"cubic\""},
        {R"("channel": {"pa": {"model": "cubic"}})", "needs \"iip3_db\""},
        {R"("channel": {"freq_profile": [[0, 0.1], [0, 0.2]]})", "the times increasing"},
        {R"("channel": {"fading": {"model": "rayleigh", "doppler": 0.5}})", "\"doppler\" must be below half the sample rate"},
        {R"("fs": 100, "channel": {"fading": {"model": "rayleigh", "doppler": [10, 60]}})", "below half the sample rate"},
        {R"("channel": {"fading": {"model": "rayleigh", "doppler": -0.1}})", "\"doppler\" must be a number of 0 or more"},
        {R"("channel": {"multipath": {"delays": [0, 1], "gains_db": [0]}})", "must have the same length"},
        {R"("channel": {"timing_offset": 1})", "\"timing_offset\" must be a number in [0, 1)"},
        {R"("channel": {"timing_offset": -0.1})", "\"timing_offset\" must be a number in [0, 1)"},
        {R"("channel": {"clock_ppm": 1e999})", "\"clock_ppm\" must be a number in"},
        {R"("channel": {"phase_noise": {"dbc_hz": -80}})", "needs \"dbc_hz\" and \"offset\""},
        {R"("frontend": {"dc_offset": [0.1]})", "\"dc_offset\" must be [re, im]"},
        {R"("frontend": {"iq_imbalance": {"phase_deg": 90}})", "\"phase_deg\" must be a number in"},
    };
    for (const Case &c : cases) {
        const std::string scene =
            std::string(R"({"segments": [{"type": "tone", "num_samples": 100, )") + c.channel + "}]}";
        EXPECT_EQ(wfm_compose_from_json(scene.c_str()), nullptr) << scene;
        EXPECT_EQ(kettara_prepare(scene.c_str()), nullptr) << scene;
        EXPECT_NE(refusal(scene).find(c.reason), std::string::npos) << refusal(scene);
    }
}

TEST(ChannelScenes, RangedValuesComposeButArePlannedOnlyFixed) {
    const std::string scene = R"({"segments": [{"type": "tone", "num_samples": 2000, "repeats": 3,
        "channel": {"clock_ppm": [-50, 50]}, "frontend": {"iq_imbalance": {"gain_db": [0, 1]}}}]})";
    const Samples out = compose(scene);
    EXPECT_EQ(out.size(), 6000u);
    EXPECT_NE(refusal(scene).find("ranged front-end \"gain_db\""), std::string::npos) << refusal(scene);
    // Each instance draws its own value: the instances differ.
    EXPECT_FALSE(std::equal(out.begin(), out.begin() + 2000, out.begin() + 2000,
                            [](cf32 a, cf32 b) { return a.re == b.re && a.im == b.im; }));
}

}  // namespace
