// Streaming renders: the plan's render with overrides, block by block, in bounded memory.
#include <gtest/gtest.h>

#include <malloc.h>

#include <memory>
#include <string>

#include "kettara.h"
#include "plan_testing.hpp"

using namespace plan_testing;

namespace {

struct StreamFree {
    void operator()(KettaraStream *s) const { kettara_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<KettaraStream, StreamFree>;

// The whole stream, read in blocks of the given size.
Samples stream(const std::string &scene, const std::string &overrides, uint64_t block) {
    const StreamPtr s(kettara_stream_create(scene.c_str(), overrides.c_str()));
    EXPECT_TRUE(s) << scene;
    Samples out;
    if (!s) return out;
    Samples buf(block);
    while (uint64_t n = kettara_stream_read(s.get(), buf.data(), block)) out.insert(out.end(), buf.begin(), buf.begin() + n);
    EXPECT_EQ(kettara_stream_failed(s.get()), 0);
    EXPECT_EQ(kettara_stream_len(s.get()), kettara_len(prepare(scene).get()));
    EXPECT_EQ(kettara_stream_n_sources(s.get()), kettara_n_sources(prepare(scene).get()));
    return out;
}

// An override array of one value per cache.
std::string per_cache(uint64_t n, const std::string &value) {
    std::string a = "[";
    for (uint64_t i = 0; i < n; ++i) a += (i ? ", " : "") + value;
    return a + "]";
}

// Every way a plan puts a segment together (a fold, a lone noisy source, an explicit floor,
// ranged gaps, several segments, rrc, frames, negative zeros), under every kind of override.
TEST(PlanStream, EqualsThePlansRenderBitForBit) {
    const std::string scenes[] = {
        R"({"segments": [{"type": "bpsk", "snr": 10, "sps": 8, "level": -3, "num_samples": 3000,
            "delay_samples": 100, "off_samples": 5000, "repeats": 2}]})",
        R"({"segments": [{"num_samples": 9000, "delay_samples": [900, 20], "repeats": 2, "sum": [
            {"type": "qpsk", "snr": 6, "sps": 4}, {"type": "noise", "level": -20, "seed": 7}]}]})",
        R"({"segments": [{"num_samples": 20000, "delay_samples": 50, "off_samples": [10, 3000], "sum": [
            {"type": "tone", "freq": 0.01, "background": true},
            {"type": "bpsk", "level": -10, "background": true, "seed": 3},
            {"type": "qpsk", "snr": 15, "sps": 4, "seed": 5},
            {"type": "tone", "freq": 0.1, "level": -6}]}]})",
        R"({"segments": [
            {"type": "tone", "freq": 0.2, "snr": 20, "num_samples": 1000, "off_samples": 300},
            {"num_samples": 2000, "off_samples": 100, "gap_noise": "off", "sum": [
                {"type": "chirp", "freq": -0.1, "f_end": 0.1}, {"type": "qpsk", "snr": 3, "seed": 9}]},
            {"type": "noise", "level": -10, "num_samples": 700, "delay_samples": 50, "seed": 4},
            {"type": "tone", "freq": 0.3, "background": true, "level": 2, "num_samples": 900},
            {"type": "bits", "pattern": "1011001110001", "sync": "1101", "conv": true, "pulse": "rrc",
             "sps": 6, "snr": 12, "num_samples": 1500, "delay_samples": [0, 400], "repeats": 3},
            {"num_samples": 64, "sum": [
                {"type": "symbols", "symbols": [-0.0, -0.0, 1, -0.0], "sps": 1, "level": -6},
                {"type": "symbols", "symbols": [-0.0, -0.0], "sps": 2}]}]})",
    };
    for (const std::string &scene : scenes) {
        const PlanPtr plan = prepare(scene);
        ASSERT_TRUE(plan) << scene;
        const uint64_t n = kettara_n_sources(plan.get());
        const std::string overrides[] = {
            "",
            R"({"snr": 3, "seed": 11})",
            R"({"gains": )" + per_cache(n, "-2.5") + R"(, "seed": 4294967295})",
            R"({"phases": )" + per_cache(n, "0.7") + R"(, "enable": )" + per_cache(n, "true") + "}",
            R"({"enable": )" + per_cache(n, "0") + R"(, "snr": -4})",
        };
        for (const std::string &o : overrides) {
            const Samples whole = render(plan.get(), o);
            for (uint64_t block : {uint64_t{1}, uint64_t{4095}, uint64_t{8193}, kettara_len(plan.get())})
                ASSERT_TRUE(identical(stream(scene, o, block), whole)) << scene << o << " in blocks of " << block;
        }
    }
}

// A tone of 10^12 samples under a new SNR: its plan would need 8 TB of caches, its stream
// starts at once and holds what a few blocks need.
TEST(PlanStream, MemoryDoesNotGrowWithTheScene) {
    const char *huge = R"({"segments": [{"num_samples": 1e12, "sum": [{"type": "tone", "freq": 0.1},
        {"type": "bpsk", "snr": 6, "sps": 8}]}]})";
    EXPECT_EQ(kettara_prepare(huge), nullptr);
    const size_t before = mallinfo2().uordblks;
    const StreamPtr s(kettara_stream_create(huge, R"({"snr": 5})"));
    ASSERT_TRUE(s);
    EXPECT_EQ(kettara_stream_len(s.get()), uint64_t{1000000000000});
    Samples buf(100000);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(kettara_stream_read(s.get(), buf.data(), buf.size()), buf.size());
    EXPECT_LT(mallinfo2().uordblks - before, size_t{4} << 20);
    // The same scene 10^4 samples long starts with the same samples.
    const std::string small = R"({"segments": [{"num_samples": 1e4, "sum": [{"type": "tone", "freq": 0.1},
        {"type": "bpsk", "snr": 6, "sps": 8}]}]})";
    const Samples head = stream(small, R"({"snr": 5})", 4096);
    ASSERT_EQ(head.size(), 10000u);
    const StreamPtr again(kettara_stream_create(huge, R"({"snr": 5})"));
    Samples first(10000);
    ASSERT_EQ(kettara_stream_read(again.get(), first.data(), first.size()), first.size());
    EXPECT_TRUE(identical(first, head));
}

// A stream refuses what a plan refuses, but not for the memory of caches it does not keep.
TEST(PlanStream, RefusesWhatAPlanCannotRender) {
    for (const char *scene : {R"({"repeat": true, "segments": [{"type": "tone", "num_samples": 10}]})",
                              R"({"segments": [{"type": "tone", "num_samples": [10, 20]}]})",
                              R"({"segments": [{"type": "noise", "num_samples": 10}]})", "not a scene"}) {
        EXPECT_EQ(kettara_stream_create(scene, nullptr), nullptr) << scene;
        char stream_why[512], plan_why[512];
        EXPECT_GT(kettara_stream_refusal(scene, stream_why, sizeof stream_why), 0u);
        kettara_refusal(scene, plan_why, sizeof plan_why);
        EXPECT_STREQ(stream_why, plan_why);
    }
    const char *long_tone = R"({"segments": [{"type": "tone", "num_samples": 1e18}]})";
    EXPECT_GT(kettara_refusal(long_tone, nullptr, 0), 0u);
    EXPECT_EQ(kettara_stream_refusal(long_tone, nullptr, 0), 0u);
}

}  // namespace
