// Render plans: building, the baseline render against the composer, overrides, threads.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <fstream>
#include <thread>

#include "kettara.h"
#include "kettara_plan.hpp"
#include "memory_limit.hpp"
#include "plan_testing.hpp"
#include "wfm_resolve.h"

using namespace plan_testing;

namespace {

struct SceneCase {
    const char *name;
    std::string json;
};

// Scenes covering every way a segment's samples are put together.
const SceneCase kScenes[] = {
    {"own_noise_with_gaps",
     R"({"segments": [{"type": "bpsk", "snr": 10, "sps": 8, "level": -3, "num_samples": 3000,
         "delay_samples": 100, "off_samples": 5000, "repeats": 2}]})"},
    {"appended_floor_ranged_off",
     R"({"segments": [{"num_samples": 2500, "off_samples": [10, 3000], "repeats": 3, "sum": [
         {"type": "tone", "freq": 0.05}, {"type": "bpsk", "snr": 10, "sps": 8}]}]})"},
    {"explicit_floor_reversed_range",
     R"({"segments": [{"num_samples": 4100, "delay_samples": [900, 20], "repeats": 2, "sum": [
         {"type": "qpsk", "snr": 6, "sps": 4}, {"type": "noise", "level": -20, "seed": 7}]}]})"},
    {"background_fold",
     R"({"segments": [{"num_samples": 5000, "delay_samples": 50, "sum": [
         {"type": "tone", "freq": 0.01, "background": true},
         {"type": "bpsk", "level": -10, "background": true, "seed": 3},
         {"type": "qpsk", "snr": 15, "sps": 4, "seed": 5},
         {"type": "tone", "freq": 0.1, "level": -6}]}]})"},
    {"several_segments",
     R"({"segments": [
         {"type": "tone", "freq": 0.2, "snr": 20, "num_samples": 1000, "off_samples": 300},
         {"num_samples": 2000, "off_samples": 100, "gap_noise": "off", "sum": [
             {"type": "chirp", "freq": -0.1, "f_end": 0.1}, {"type": "qpsk", "snr": 3, "seed": 9}]},
         {"type": "noise", "level": -10, "num_samples": 700, "delay_samples": 50, "seed": 4},
         {"type": "tone", "freq": 0.3, "background": true, "level": 2, "num_samples": 900},
         {"type": "bits", "pattern": "10110010", "pulse": "rrc", "sps": 4, "snr": 12,
          "num_samples": 1200, "delay_samples": [0, 400], "repeats": 3}]})"},
    // Symbols with negative zeros: the composition keeps -0.0, so must the render.
    {"negative_zeros",
     R"({"segments": [
         {"type": "symbols", "symbols": [1, -0.0, -1, -0.0], "sps": 1, "level": -6, "num_samples": 64},
         {"num_samples": 64, "sum": [
             {"type": "symbols", "symbols": [-0.0, -0.0, 1, -0.0], "sps": 1, "level": -6},
             {"type": "symbols", "symbols": [-0.0, -0.0], "sps": 2}]}]})"},
    // A coded frame repeated within each instance: one code stream, restarted per instance.
    {"coded_frames",
     R"({"segments": [{"type": "bits", "pattern": "1011001110001", "sync": "1101", "conv": true,
         "pulse": "rrc", "sps": 4, "snr": 12, "num_samples": 1500, "delay_samples": 10, "repeats": 2}]})"},
    // An RRC filter too large to build: the source plays unshaped in both paths.
    {"rrc_that_cannot_be_built",
     R"({"segments": [{"type": "bpsk", "sps": 268435456, "pulse": "rrc", "num_samples": 8, "off_samples": 2}]})"},
    // Numbers beyond single precision: an infinite level counts as 0 dB, an infinite noise
    // amplitude as an SNR of 0 dB, a negative roll-off as 0; every sample stays finite.
    {"unusable_levels_and_snrs",
     R"({"segments": [
         {"num_samples": 600, "delay_samples": 30, "off_samples": 70, "repeats": 2, "sum": [
             {"type": "tone", "freq": 0.05, "level": 1e999}, {"type": "tone", "level": -1e999},
             {"type": "bpsk", "snr": 10, "sps": 4}, {"type": "qpsk", "snr": -1e999}]},
         {"type": "bpsk", "snr": -1e999, "sps": 4, "pulse": "rrc", "rrc_beta": -0.5, "num_samples": 500,
          "off_samples": 50}]})"},
};

class Baseline : public testing::TestWithParam<SceneCase> {};

TEST_P(Baseline, RenderWithoutOverridesIsTheComposition) {
    const PlanPtr plan = prepare(GetParam().json);
    ASSERT_TRUE(plan);
    const Samples composed = compose(GetParam().json);
    ASSERT_FALSE(composed.empty());
    EXPECT_LE(composed.size(), kettara_len(plan.get()));
    for (const char *none : {static_cast<const char *>(nullptr), "", "{}", "{not json", "[1, 2]"})
        EXPECT_TRUE(identical(render(plan.get(), none), composed)) << (none ? none : "null");
    for (const cf32 &v : composed) ASSERT_TRUE(std::isfinite(v.re) && std::isfinite(v.im));
}

INSTANTIATE_TEST_SUITE_P(Scenes, Baseline, testing::ValuesIn(kScenes),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PlanRender, NegativeZerosSurvive) {
    const Samples composed = compose(kScenes[5].json);
    const bool has_negative_zero = std::any_of(composed.begin(), composed.end(), [](cf32 v) {
        return v.im == 0.0f && std::signbit(v.im);
    });
    ASSERT_TRUE(has_negative_zero);  // otherwise the baseline case above proves nothing
}

// at(anchor_seed, the scene's snr) is the composition of a single-segment scene.
TEST(PlanRender, AnchorSeedAndBaseSnrReproduceTheComposition) {
    const struct {
        std::string scene;
        double snr;
    } cases[] = {
        {kScenes[0].json, 10},
        {kScenes[1].json, 10},
        {kScenes[3].json, 15},
        {R"({"segments": [{"num_samples": 3000, "delay_samples": 40, "off_samples": 70, "sum": [
            {"type": "qpsk", "snr": 6}, {"type": "noise", "level": -20}]}]})", 6},
        // Ranged gaps keep their draws when the anchor is another seed than the segment's
        // first source's: an explicit floor of its own seed, or no floor at all (anchor 0).
        {kScenes[2].json, 6},
        {R"({"segments": [{"type": "tone", "num_samples": 100, "delay_samples": [0, 50], "repeats": 5}]})", 0},
    };
    for (const auto &c : cases) {
        const PlanPtr plan = prepare(c.scene);
        ASSERT_TRUE(plan);
        EXPECT_TRUE(identical(at(plan.get(), kettara_anchor_seed(plan.get()), c.snr), compose(c.scene)))
            << c.scene;
    }
}

TEST(PlanRender, AnchorSeedIsTheFirstFloorSeed) {
    EXPECT_EQ(kettara_anchor_seed(prepare(kScenes[2].json).get()), 7u);
    EXPECT_EQ(kettara_anchor_seed(prepare(kScenes[4].json).get()), 1u);
    EXPECT_EQ(kettara_anchor_seed(prepare(R"({"segments": [{"type": "tone", "num_samples": 9}]})").get()),
              0u);
    EXPECT_EQ(kettara_anchor_seed(nullptr), 0u);
}

// The floor an snr override puts under the reference source, measured on the noise alone.
TEST(PlanRender, SnrOverrideMovesTheFloorAsNoiseResolutionPlacesIt) {
    const double per_sample_8 = 10.0 * std::log10(8.0);
    const struct {
        const char *scene;
        double snr;
        double floor_db;
    } cases[] = {
        // A tone, then bpsk at snr 10: the bpsk source is the reference, its snr per symbol.
        {R"({"segments": [{"num_samples": 200000, "sum": [{"type": "tone"},
             {"type": "bpsk", "snr": 10, "sps": 8}]}]})", 10, -(10 - per_sample_8)},
        {R"({"segments": [{"num_samples": 200000, "sum": [{"type": "tone"},
             {"type": "bpsk", "snr": 10, "sps": 8}]}]})", 25, -(25 - per_sample_8)},
        // An explicit floor at -20 under qpsk at snr 6: per sample relative to the floor.
        {R"({"segments": [{"num_samples": 200000, "sum": [{"type": "qpsk", "snr": 6},
             {"type": "noise", "level": -20}]}]})", 6, -20},
        {R"({"segments": [{"num_samples": 200000, "sum": [{"type": "qpsk", "snr": 6},
             {"type": "noise", "level": -20}]}]})", 0, -14},
        // No noisy source beside the explicit floor: the snr does not move it.
        {R"({"segments": [{"num_samples": 200000, "sum": [{"type": "tone"},
             {"type": "noise", "level": -20}]}]})", 40, -20},
    };
    for (const auto &c : cases) {
        const PlanPtr plan = prepare(c.scene);
        ASSERT_TRUE(plan);
        const std::string muted = kettara_n_sources(plan.get()) == 2 ? "[0, 0]" : "[0]";
        const Samples noise = render(plan.get(), R"({"enable": )" + muted +
                                                     R"(, "snr": )" + std::to_string(c.snr) + "}");
        EXPECT_NEAR(power_db(noise), c.floor_db, 0.05) << c.scene << " snr " << c.snr;
    }
}

TEST(PlanRender, SnrOverrideOfALoneSourceSetsItsOwnNoise) {
    const PlanPtr plan = prepare(R"({"segments": [{"type": "bpsk", "snr": 10, "sps": 8,
        "num_samples": 200000}]})");
    ASSERT_TRUE(plan);
    const Samples clean = render(plan.get(), R"({"snr": 100})");
    for (double snr : {0.0, 10.0, 30.0}) {
        Samples noise = render(plan.get(), R"({"snr": )" + std::to_string(snr) + "}");
        for (size_t k = 0; k < noise.size(); ++k)
            noise[k] = cf32{noise[k].re - clean[k].re, noise[k].im - clean[k].im};
        EXPECT_NEAR(power_db(noise), -(snr - 10.0 * std::log10(8.0)), 0.05) << snr;
    }
}

TEST(PlanRender, SnrWithoutFloorChangesNothing) {
    const PlanPtr plan = prepare(R"({"segments": [{"num_samples": 500, "sum": [
        {"type": "tone", "freq": 0.1}, {"type": "tone", "freq": 0.2, "level": -3}]}]})");
    ASSERT_TRUE(plan);
    EXPECT_TRUE(identical(render(plan.get(), R"({"snr": -5, "seed": 3})"), render(plan.get(), "")));
}

const char *const kTwoTones = R"({"segments": [{"num_samples": 300, "off_samples": 20, "sum": [
    {"type": "tone", "freq": 0.1}, {"type": "tone", "freq": 0.23, "level": -6}]}]})";

TEST(PlanOverrides, ArraysOfTheWrongShapeAreIgnored) {
    const PlanPtr plan = prepare(kTwoTones);
    const Samples base = render(plan.get(), "");
    for (const char *o : {R"({"gains": [3]})", R"({"gains": [3, 4, 5]})", R"({"gains": [3, "4"]})",
                          R"({"phases": [1]})", R"({"phases": [1, null]})", R"({"enable": [0]})",
                          R"({"gains": 3, "enable": "no"})"})
        EXPECT_TRUE(identical(render(plan.get(), o), base)) << o;
}

TEST(PlanOverrides, GainsEnablesAndPhasesActPerCache) {
    const PlanPtr plan = prepare(kTwoTones);
    const PlanPtr first = prepare(R"({"segments": [{"type": "tone", "freq": 0.1,
        "num_samples": 300, "off_samples": 20}]})");
    const PlanPtr second = prepare(R"({"segments": [{"type": "tone", "freq": 0.23,
        "num_samples": 300, "off_samples": 20}]})");
    const Samples a = render(first.get(), ""), b = render(second.get(), "");
    const float g = wfm_level_gain(-6);

    const Samples only_second = render(plan.get(), R"({"enable": [false, 1]})");
    const Samples first_gained = render(plan.get(), R"({"enable": [true, 0], "gains": [6, 0]})");
    const Samples rotated = render(plan.get(), R"({"enable": [1, 0], "phases": [1.5707963267948966, 0]})");
    const Samples full_turn = render(plan.get(), R"({"phases": [6.283185307179586, 0]})");
    const Samples no_turn = render(plan.get(), R"({"phases": [0, 0]})");
    ASSERT_EQ(only_second.size(), a.size());
    for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(only_second[k].re, b[k].re * g);
        EXPECT_EQ(first_gained[k].re, a[k].re * wfm_level_gain(6));
        EXPECT_NEAR(rotated[k].re, -a[k].im, 1e-6);
        EXPECT_NEAR(rotated[k].im, a[k].re, 1e-6);
    }
    const Samples base = render(plan.get(), "");
    EXPECT_TRUE(identical(no_turn, base));
    for (size_t k = 0; k < base.size(); ++k) EXPECT_NEAR(full_turn[k].re, base[k].re, 1e-5);
    // Overrides beyond single precision: a gain as the level rule says (0 dB), a phase as 0.
    EXPECT_TRUE(identical(render(plan.get(), R"({"gains": [1e999, -6], "phases": [1e999, 0]})"),
                          render(plan.get(), R"({"gains": [0, -6]})")));
    for (const cf32 &v : render(plan.get(), R"({"snr": -1e999, "gains": [-1e999, 1e999]})"))
        ASSERT_TRUE(std::isfinite(v.re) && std::isfinite(v.im));
}

TEST(PlanOverrides, DisablingALoneNoisySourceSilencesItsNoiseToo) {
    const PlanPtr plan = prepare(kScenes[0].json);
    for (const cf32 &v : render(plan.get(), R"({"enable": [0]})")) {
        EXPECT_EQ(v.re, 0.0f);
        EXPECT_EQ(v.im, 0.0f);
    }
}

TEST(PlanOverrides, SeedRedrawsNoiseAndGapsWithinTheLength) {
    const PlanPtr plan = prepare(kScenes[1].json);
    const uint64_t len = kettara_len(plan.get());
    EXPECT_EQ(len, (2500u + 3000u) * 3u);
    std::set<size_t> lengths;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        const Samples r = render(plan.get(), R"({"seed": )" + std::to_string(seed) + "}");
        EXPECT_LE(r.size(), len);
        EXPECT_TRUE(identical(r, at(plan.get(), seed, 10))) << seed;
        lengths.insert(r.size());
    }
    EXPECT_GT(lengths.size(), 6u);
    // Seeds are read modulo 2^32, negative ones included.
    EXPECT_TRUE(identical(render(plan.get(), R"({"seed": -1})"),
                          render(plan.get(), R"({"seed": 4294967295})")));
    EXPECT_TRUE(identical(at(plan.get(), (uint64_t{5} << 32) | 3, 10), at(plan.get(), 3, 10)));
    // Seeds beyond 2^53 mean what the plan's seed argument makes of them, in overrides and
    // in scenes alike.
    const uint64_t big = (uint64_t{1} << 53) + 3;
    EXPECT_TRUE(identical(render(plan.get(), R"({"seed": 9007199254740995, "snr": 10})"), at(plan.get(), big, 10)));
    EXPECT_FALSE(identical(at(plan.get(), big, 10), at(plan.get(), big - 1, 10)));
    const std::string bpsk = R"("sps": 8})";
    std::string scene_big = kScenes[1].json, scene_3 = kScenes[1].json;
    scene_big.replace(scene_big.find(bpsk), bpsk.size(), R"("sps": 8, "seed": 9007199254740995})");
    scene_3.replace(scene_3.find(bpsk), bpsk.size(), R"("sps": 8, "seed": 3})");
    EXPECT_TRUE(identical(compose(scene_big), compose(scene_3)));
    EXPECT_FALSE(identical(compose(scene_3), compose(kScenes[1].json)));
    // The same scene noise with another seed differs everywhere but in length.
    const Samples one = at(plan.get(), 1, 10), two = at(plan.get(), 2, 10);
    EXPECT_FALSE(identical(one, two));
}

TEST(PlanRender, ThreadsRenderOnePlanAtOnce) {
    const PlanPtr plan = prepare(kScenes[3].json);
    ASSERT_TRUE(plan);
    std::vector<Samples> serial, parallel(4);
    for (uint64_t seed = 0; seed < 4; ++seed) serial.push_back(at(plan.get(), seed, 15));
    std::vector<std::thread> threads;
    for (uint64_t seed = 0; seed < 4; ++seed)
        threads.emplace_back([&, seed] { parallel[seed] = at(plan.get(), seed, 15); });
    for (auto &t : threads) t.join();
    for (size_t i = 0; i < serial.size(); ++i) EXPECT_TRUE(identical(parallel[i], serial[i])) << i;
}

// The first renders at base gains build the plan's sums of caches while others render too:
// every thread gets the samples of a plan rendered alone.
TEST(PlanRender, FirstFillOfTheBaseSumsAcrossThreads) {
    for (const SceneCase &scene : {kScenes[3], kScenes[4]}) {
        const PlanPtr alone = prepare(scene.json), shared = prepare(scene.json);
        ASSERT_TRUE(alone && shared);
        std::vector<Samples> parallel(4);
        std::vector<std::thread> threads;
        for (uint64_t seed = 0; seed < 4; ++seed)
            threads.emplace_back([&, seed] { parallel[seed] = at(shared.get(), seed, 15); });
        for (auto &t : threads) t.join();
        for (uint64_t seed = 0; seed < 4; ++seed)
            EXPECT_TRUE(identical(parallel[seed], at(alone.get(), seed, 15))) << scene.name << " " << seed;
    }
}

TEST(PlanBuild, RefusesScenesItCannotRender) {
    for (const char *scene : {
             R"({"repeat": true, "segments": [{"type": "tone", "num_samples": 10}]})",
             R"({"continuous": true, "segments": [{"type": "tone", "num_samples": 10}]})",
             R"({"segments": [{"type": "tone", "num_samples": [10, 20]}]})",
             R"({"segments": [{"type": "tone", "freq": [0.1, 0.2], "num_samples": 10}]})",
             R"({"segments": [{"type": "tone", "num_samples": 10},
                              {"type": "tone", "num_samples": 10, "fs": 2}]})",
             R"({"segments": [{"num_samples": 10, "sum": [{"type": "tone"},
                              {"type": "bpsk", "background": true}]}]})",
             R"({"segments": [{"num_samples": 10, "sum": [{"type": "noise"}, {"type": "tone"}]}]})",
             R"({"segments": [{"type": "noise", "num_samples": 10}]})",
             R"({"segments": [{"type": "tone", "num_samples": 0, "off_samples": 5}]})",
             R"({"segments": [{"type": "tone", "num_samples": 100, "repeats": 4,
                              "off_samples": 4.611686018427388e18}]})",
             R"({"segments": []})",
             "not a scene",
             // Caches no memory holds, or whose byte counts overflow.
             R"({"segments": [{"type": "tone", "num_samples": 1e18}]})",
             R"({"segments": [{"type": "tone", "num_samples": 3e18}]})",
             R"({"segments": [{"num_samples": 3e18, "sum": [{"type": "tone", "background": true},
                              {"type": "pn", "background": true}]}]})",
         })
        EXPECT_EQ(kettara_prepare(scene), nullptr) << scene;
    EXPECT_EQ(kettara_prepare(nullptr), nullptr);
    EXPECT_EQ(kettara_len(nullptr), 0u);
    EXPECT_EQ(kettara_n_sources(nullptr), 0u);
    EXPECT_EQ(kettara_render(nullptr, "{}", nullptr), 0u);
    EXPECT_EQ(kettara_at(nullptr, 1, nullptr, 0), 0u);
}

std::string refusal(const char *scene) {
    std::string text(kettara_refusal(scene, nullptr, 0), '\0');
    kettara_refusal(scene, text.data(), text.size() + 1);
    return text;
}

// The reason comes from the build's own checks and names the rule, the segment and source
// (counted from 1) and what to do instead.
TEST(PlanBuild, RefusalNamesTheRuleAndWhere) {
    struct Case {
        const char *scene, *reason;
    } cases[] = {
        {R"({"repeat": true, "segments": [{"type": "tone", "num_samples": 10}]})",
         "the scene repeats (\"repeat\" or \"continuous\") and a plan renders one pass: render it with quennel "
         "render --samples N, or drop \"repeat\" and \"continuous\""},
        {R"({"segments": [{"type": "tone", "num_samples": 10}, {"type": "tone", "num_samples": [10, 20]}]})",
         "segment 2 has a ranged on-part length (\"num_samples\" [lo, hi]) and a plan caches fixed lengths: give "
         "it one length, or render the scene with quennel render, which streams it"},
        {R"({"segments": [{"num_samples": 10, "sum": [{"type": "tone"}, {"type": "tone", "level": [-3, 0]}]}]})",
         "segment 1, source 2 has a ranged \"level\" ([lo, hi])"},
        {R"({"segments": [{"type": "tone", "num_samples": 10}, {"type": "tone", "num_samples": 10, "fs": 2}]})",
         "segment 2 has another sample rate (\"fs\") than segment 1"},
        {R"({"segments": [{"num_samples": 10, "sum": [{"type": "tone"}, {"type": "bpsk", "background": true}]}]})",
         "segment 1, source 2 is a background source after a foreground one"},
        {R"({"segments": [{"num_samples": 10, "sum": [{"type": "noise"}, {"type": "tone"}]}]})",
         "segment 1, source 1 is a noise source before other sources"},
        {R"({"segments": [{"type": "noise", "num_samples": 10}]})", "the scene is noise only"},
        {R"({"segments": [{"type": "tone", "num_samples": 0, "off_samples": 5}]})",
         "segment 1 has an empty on-part"},
        {R"({"segments": [{"type": "dsss", "symbol_rate": 300, "sps": 4, "data_code": "1101", "fs": 1000,
                           "num_samples": 100}]})",
         "segment 1, source 1 is continuous DSSS at a \"symbol_rate\" of 300, above fs / sps (250) and so "
         "shorter than one chip a bit: lower its symbol_rate or its sps"},
        {R"({"segments": [{"type": "tone", "num_samples": 1e18}]})",
         "the plan's caches do not fit in memory (needs 6.9 EB, "},
        {"not a scene", "the text is not a scene"},
        {R"({"segments": [{"type": "bits", "pattern": "1", "rs_depth": 6, "num_samples": 10}]})",
         "segment 1, source 1: --rs-depth must be 1, 2, 3, 4, 5 or 8"},
        {R"({"segments": [{"num_samples": 10, "sum": [{"type": "bpsk", "snr": 10},
                                                    {"type": "qpsk", "snr": 6, "level": -3}]}]})",
         "segment 1: in a sum only the reference source"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(kettara_prepare(c.scene), nullptr) << c.scene;
        EXPECT_EQ(refusal(c.scene).rfind(c.reason, 0), 0u) << refusal(c.scene);
    }
    // A scene that can be planned has no reason; a short buffer gets the start of one.
    char out[8] = "xxxxxxx";
    EXPECT_EQ(kettara_refusal(kScenes[0].json.c_str(), out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(kettara_refusal("not a scene", out, 5), refusal("not a scene").size());
    EXPECT_STREQ(out, "the ");
}

// The refusal of a 2.2 GB plan in a child process whose limit leaves it 1 GB more than it holds.
std::string refusal_under_limit(int resource) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::ifstream statm("/proc/self/statm");
        unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
        statm >> size >> resident >> shared >> text >> lib >> data;
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t held = (resource == RLIMIT_AS ? size : data) * page;
        const rlimit limit{held + (uint64_t{1} << 30), held + (uint64_t{1} << 30)};
        setrlimit(resource, &limit);
        const std::string why = refusal(R"({"segments": [{"type": "tone", "num_samples": 3e8}]})");
        (void)!write(fds[1], why.data(), why.size());
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return text;
}

// A limited process is told which limit its plan does not fit under, and by how much.
TEST(PlanBuild, MemoryRefusalNamesTheTightestLimit) {
    const struct {
        int resource;
        const char *name;
    } cases[] = {{RLIMIT_AS, "address space limit"}, {RLIMIT_DATA, "data size limit"}};
    for (const auto &c : cases) {
        const std::string why = refusal_under_limit(c.resource);
        EXPECT_EQ(why.rfind("the plan's caches do not fit in memory (needs 2.2 GB, ", 0), 0u) << why;
        EXPECT_NE(why.find(std::string(" ") + c.name + " ("), std::string::npos) << why;
        EXPECT_NE(why.find(" in use)): shorten the segments"), std::string::npos) << why;
    }
    EXPECT_EQ(refusal(R"({"segments": [{"type": "tone", "num_samples": 3e8}]})"), "");
}

TEST(MemoryBound, FormatsBytesForPeople) {
    const struct {
        uint64_t bytes;
        const char *text;
    } cases[] = {{0, "0 B"}, {1023, "1023 B"}, {1024, "1 kB"}, {1536, "1.5 kB"},
                 {uint64_t{4} << 30, "4 GB"}, {uint64_t{2400} << 20, "2.3 GB"}, {uint64_t{77} << 30, "77 GB"},
                 {uint64_t{8} << 40, "8 TB"}, {UINT64_MAX, "16 EB"}};
    for (const auto &c : cases) EXPECT_EQ(qn::format_bytes(c.bytes), c.text) << c.bytes;
}

TEST(PlanBuild, CountsCachesAndTheWorstCaseLength) {
    const PlanPtr five = prepare(R"({"segments": [{"num_samples": 100, "sum": [
        {"type": "tone", "background": true}, {"type": "pn", "background": true},
        {"type": "tone", "freq": 0.1}, {"type": "bpsk"}, {"type": "qpsk"}]},
        {"type": "noise", "num_samples": 10},
        {"type": "tone", "num_samples": 100, "off_samples": [10, 50], "repeats": 3},
        {"type": "tone", "num_samples": 100, "off_samples": [50, 10], "repeats": 3}]})");
    ASSERT_TRUE(five);
    EXPECT_EQ(kettara_n_sources(five.get()), 4u + 0u + 1u + 1u);
    EXPECT_EQ(kettara_len(five.get()), 100u + 10u + 450u + 450u);
}

// The caches and renders do not depend on how many threads built them.
TEST(PlanBuild, ThreadCountDoesNotChangeTheCaches) {
    const std::string scene = R"({"segments": [{"num_samples": 40000, "delay_samples": 10, "sum": [
        {"type": "tone", "freq": 0.01, "background": true},
        {"type": "bpsk", "level": -10, "background": true, "seed": 3},
        {"type": "qpsk", "background": true, "pulse": "rrc", "sps": 8, "seed": 4},
        {"type": "qpsk", "snr": 15, "sps": 4, "seed": 5},
        {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -3},
        {"type": "tone", "freq": 0.1, "level": -6}]}]})";
    const PlanPtr one(kettara_prepare_threads(scene.c_str(), 1));
    const PlanPtr many(kettara_prepare_threads(scene.c_str(), 8));
    ASSERT_TRUE(one && many);
    std::vector<unsigned char> a(kettara_save_bytes(one.get())), b(kettara_save_bytes(many.get()));
    ASSERT_EQ(a.size(), b.size());
    kettara_save(one.get(), a.data());
    kettara_save(many.get(), b.data());
    EXPECT_EQ(a, b);
    EXPECT_TRUE(identical(render(many.get(), ""), compose(scene)));
}

}  // namespace
