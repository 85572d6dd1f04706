#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "wfm_draw.h"
#include "wfm_json.h"
#include "wfm_resolve.h"

namespace {

struct ComposerDeleter {
    void operator()(Composer *c) const { wfm_compose_destroy(c); }
};
using ComposerPtr = std::unique_ptr<Composer, ComposerDeleter>;
struct SynthDeleter {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};
using SynthPtr = std::unique_ptr<Synth, SynthDeleter>;

ComposerPtr compose(const std::string &text) {
    ComposerPtr c(wfm_compose_from_json(text.c_str()));
    EXPECT_NE(c, nullptr) << text;
    return c;
}

// Pulls up to max samples in blocks of `block`, stopping early when the stream ends.
std::vector<cf32> pull(Composer *c, uint64_t max, uint64_t block) {
    std::vector<cf32> out(max);
    uint64_t got = 0;
    while (got < max) {
        const uint64_t want = std::min(block, max - got);
        const uint64_t n = wfm_compose_execute(c, out.data() + got, want);
        got += n;
        if (n < want) break;
    }
    out.resize(got);
    return out;
}

std::vector<cf32> compose_all(const std::string &text, uint64_t max = 1u << 16) {
    ComposerPtr c = compose(text);
    return c ? pull(c.get(), max, max) : std::vector<cf32>{};
}

bool same_bits(const std::vector<cf32> &a, const std::vector<cf32> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0;
}

// A source with the parser's defaults.
SourceSpec make_source(uint32_t type, double snr, uint32_t seed = 1) {
    SourceSpec s{};
    s.type = type;
    s.snr = snr;
    s.seed = seed;
    s.sps = 8;
    s.pn_length = 7;
    s.acq_reps = 1;
    s.crc = WFM_CRC_16;
    return s;
}

std::string template_scene() {
    char *t = wfm_spec_template_json();
    std::string s = t ? t : "";
    cJSON_free(t);
    return s;
}

uint64_t expected_length(const Composer *c) {
    uint64_t n = 0;
    const SegmentSpec *segs = wfm_compose_segments(c, &n, nullptr, nullptr);
    std::vector<ComposeSpan> spans(wfm_compose_spans(segs, n, nullptr, 0));
    wfm_compose_spans(segs, n, spans.data(), spans.size());
    return spans.empty() ? 0 : spans.back().start + spans.back().delay + spans.back().num +
                                   spans.back().off;
}

// Gaps with and without noise, ranged lengths, repeats, sums and shaped sources.
const char *const kBusyScene = R"({"segments": [
  {"type": "bpsk", "snr": 10, "sps": 4, "num_samples": [3000, 9000], "delay_samples": [0, 700],
   "off_samples": 333, "repeats": 2, "freq": 0.01},
  {"fs": 1e6, "num_samples": 5000, "off_samples": [100, 3000], "gap_noise": "off",
   "sum": [{"type": "qpsk", "pulse": "rrc", "snr": 12}, {"type": "tone", "freq": 1e5, "level": -6},
           {"type": "chirp", "freq": -2e5, "f_end": 2e5, "level": -3}]},
  {"type": "noise", "num_samples": 4097, "level": -10},
  {"type": "bits", "pattern": "1101001", "modulation": "qpsk", "sps": 6, "pulse": "rrc",
   "num_samples": 4000, "delay_samples": 50, "snr": 30}]})";

TEST(Compose, BlockSizesDoNotChangeTheSamples) {
    for (const std::string &scene : {template_scene(), std::string(kBusyScene)}) {
        ComposerPtr first = compose(scene);
        ASSERT_NE(first, nullptr);
        const uint64_t total = expected_length(first.get());
        const std::vector<cf32> whole = pull(first.get(), total + 100, total + 100);
        ASSERT_EQ(whole.size(), total);
        cf32 extra;
        EXPECT_EQ(wfm_compose_execute(first.get(), &extra, 1), 0u);
        for (uint64_t block : {1u, 4095u, 4096u, 4097u}) {
            ComposerPtr c = compose(scene);
            EXPECT_TRUE(same_bits(pull(c.get(), total + 100, block), whole)) << "block " << block;
        }
    }
}

TEST(Compose, TemplateSumGetsOneNoiseFloor) {
    ComposerPtr c = compose(template_scene());
    ASSERT_NE(c, nullptr);
    uint64_t n = 0;
    const SegmentSpec *segs = wfm_compose_segments(c.get(), &n, nullptr, nullptr);
    ASSERT_EQ(n, 3u);
    ASSERT_EQ(segs[2].n_sources, 3u);
    const double floor = 0 - (20 - 10.0 * std::log10(8.0));
    EXPECT_EQ(segs[2].sources[0].snr, 100.0);
    EXPECT_DOUBLE_EQ(segs[2].sources[1].level, 10 + floor);
    EXPECT_EQ(segs[2].sources[2].type, uint32_t{WFM_TYPE_NOISE});
    EXPECT_DOUBLE_EQ(segs[2].sources[2].level, floor);
    EXPECT_EQ(segs[0].n_sources, 1u);
    EXPECT_EQ(segs[0].sources[0].snr, 20.0);
}

TEST(Compose, FromFileReadsTheWholeText) {
    char path[] = "/tmp/scene-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = R"({"segments": [{"type": "tone", "num_samples": 5}]})";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ComposerPtr c(wfm_compose_from_file(path));
    unlink(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(pull(c.get(), 10, 10).size(), 5u);
    EXPECT_EQ(wfm_compose_from_file("/tmp"), nullptr);
    EXPECT_EQ(wfm_compose_from_file(nullptr), nullptr);
}

TEST(Compose, EmptyOnPartGivesSilentGaps) {
    const std::vector<cf32> out = compose_all(
        R"({"segments": [{"type": "bpsk", "snr": 0, "num_samples": 0, "delay_samples": 5,
                          "off_samples": 7, "repeats": 2}]})");
    ASSERT_EQ(out.size(), 24u);
    for (const cf32 &v : out) EXPECT_TRUE(v.re == 0 && v.im == 0);
    EXPECT_EQ(compose_all(R"({"segments": [{"type": "tone", "num_samples": 9, "repeats": 0}]})")
                  .size(),
              9u);
}

// One noise stream runs on through lead-in gap, on part and off gap; gap_noise "off"
// silences the gaps and leaves the noise where it was.
TEST(Compose, GapsCarryTheSourceNoiseUnlessSwitchedOff) {
    const std::string seg = R"("type": "tone", "snr": 0, "seed": 5, "num_samples": 10,
                               "delay_samples": 4, "off_samples": 6)";
    const SourceSpec src = make_source(WFM_TYPE_TONE, 0, 5);
    for (bool gap_noise : {true, false}) {
        const std::vector<cf32> out = compose_all(
            "{\"segments\": [{" + seg + (gap_noise ? "" : ", \"gap_noise\": \"off\"") + "}]}");
        SynthPtr s(wfm_compose_build_synth(&src, 10, 0, 0, 0, 1, 0, 0, 0));
        ASSERT_NE(s, nullptr);
        std::vector<cf32> ref(20, cf32{0, 0});
        if (gap_noise) wfm_synth_noise_steps(s.get(), ref.data(), 4);
        wfm_synth_steps(s.get(), ref.data() + 4, 10);
        if (gap_noise) wfm_synth_noise_steps(s.get(), ref.data() + 14, 6);
        EXPECT_TRUE(same_bits(out, ref)) << "gap noise " << gap_noise;
        EXPECT_EQ(out[0].re != 0, gap_noise);
    }
}

TEST(Compose, LoneSourceIsItsSynthesiserTimesItsGain) {
    for (double level : {0.0, -6.0}) {
        SourceSpec src = make_source(WFM_TYPE_BPSK, 15, 3);
        src.sps = 4;
        src.level = level;
        SegmentSpec seg{};
        seg.sources = &src;
        seg.n_sources = 1;
        seg.fs = 1;
        seg.num_samples = 1000;
        ComposerPtr c(wfm_compose_create(&seg, 1, 0, 0));
        ASSERT_NE(c, nullptr);
        const std::vector<cf32> out = pull(c.get(), 2000, 2000);
        ASSERT_EQ(out.size(), 1000u);
        SynthPtr s(wfm_compose_build_synth(&src, 1000, 0, 0, 0, 1, 0, 15, 0));
        ASSERT_NE(s, nullptr);
        std::vector<cf32> ref(1000);
        wfm_synth_steps(s.get(), ref.data(), ref.size());
        const float g = wfm_level_gain(level);
        for (cf32 &v : ref) v = {v.re * g, v.im * g};
        EXPECT_TRUE(same_bits(out, ref)) << "level " << level;
    }
}

TEST(Compose, RepeatingSceneWrapsWithItsSeedAdvance) {
    const std::string body = R"("segments": [{"type": "bpsk", "snr": 5, "num_samples": 300,
        "off_samples": 20, "repeats": 2}, {"sum": [{"type": "qpsk", "snr": 8},
        {"type": "tone", "freq": 0.1}], "num_samples": 200, "delay_samples": 10}])";
    const uint64_t pass = 2 * 320 + 210;
    for (const char *advance : {"none", "noise", "all"}) {
        for (const char *flag : {"repeat", "continuous"}) {
            ComposerPtr c = compose(std::string("{\"") + flag + "\": true, \"seed_advance\": \"" +
                                    advance + "\", " + body + "}");
            ASSERT_NE(c, nullptr);
            const std::vector<cf32> out = pull(c.get(), 3 * pass, 1000);
            ASSERT_EQ(out.size(), 3 * pass);
            const bool same = std::memcmp(out.data(), out.data() + pass, pass * sizeof(cf32)) == 0;
            EXPECT_EQ(same, std::strcmp(advance, "none") == 0) << advance << " " << flag;
        }
    }
}

TEST(Compose, RangedLengthsAreDrawnPerPassAndRepeatable) {
    const std::string scene = R"({"repeat": true, "segments": [{"type": "tone", "seed": 9,
        "num_samples": [10, 1000], "off_samples": 1}]})";
    ComposerPtr c = compose(scene);
    ASSERT_NE(c, nullptr);
    // A noiseless tone gives (1, 0) in its on part and zeros in its gap.
    std::vector<uint64_t> lengths;
    const std::vector<cf32> out = pull(c.get(), 20000, 777);
    uint64_t run = 0;
    for (const cf32 &v : out) {
        if (v.re == 0) {
            lengths.push_back(run);
            run = 0;
        } else {
            ++run;
        }
    }
    ASSERT_GE(lengths.size(), 4u);
    for (uint32_t pass = 0; pass < 4; ++pass)
        EXPECT_EQ(lengths[pass], wfm_draw_samples(9, static_cast<int32_t>(pass), 0, 0,
                                                  WFM_RANGE_NUM_SAMPLES, 10, 1000));
    EXPECT_TRUE(same_bits(pull(compose(scene).get(), 20000, 20000), out));
}

TEST(Compose, ScenesThatCanYieldNothingEnd) {
    const char *empty[] = {
        R"({"repeat": true, "segments": [{"type": "tone"}]})",
        R"({"continuous": true, "segments": [{"type": "tone", "num_samples": [0, 0]},
                                             {"type": "noise", "repeats": 1e30}]})",
        R"({"segments": [{"type": "tone", "repeats": 1e30}]})",
    };
    for (const char *scene : empty) {
        ComposerPtr c = compose(scene);
        ASSERT_NE(c, nullptr);
        cf32 out[4];
        EXPECT_EQ(wfm_compose_execute(c.get(), out, 4), 0u) << scene;
    }
    // A source that cannot be built, in a gapless segment repeated almost for ever.
    {
        ComposerPtr c = compose(R"({"repeat": true, "segments": [{"type": "pn", "pn_length": 65,
            "num_samples": 5, "repeats": 1e30, "delay_samples": [0, 0]}]})");
        ASSERT_NE(c, nullptr);
        cf32 out[4];
        EXPECT_EQ(wfm_compose_execute(c.get(), out, 4), 0u);
    }
    // An empty segment with a huge repeat count is passed over, not walked.
    const std::vector<cf32> out =
        compose_all(R"({"repeat": true, "segments": [{"type": "tone", "repeats": 1e30},
                                                     {"type": "tone", "num_samples": 3}]})",
                    10);
    EXPECT_EQ(out.size(), 10u);
}

TEST(Compose, SourceThatCannotBeBuiltLosesItsOnPart) {
    // No default PN polynomial for a 65-stage register: no synthesiser, silent gaps.
    const std::vector<cf32> out = compose_all(
        R"({"segments": [{"type": "pn", "pn_length": 65, "snr": 0, "num_samples": 10,
                          "delay_samples": 3, "off_samples": 4},
                         {"type": "tone", "num_samples": 2}]})");
    ASSERT_EQ(out.size(), 9u);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(out[k].re, 0.0f);
    EXPECT_EQ(out[7].re, 1.0f);
}

TEST(Compose, CreationRefusals) {
    EXPECT_EQ(wfm_compose_create(nullptr, 1, 0, 0), nullptr);
    SegmentSpec seg{};
    EXPECT_EQ(wfm_compose_create(&seg, 0, 0, 0), nullptr);
    const char *refused[] = {
        // a frame on a waveform without payload
        R"({"segments": [{"type": "qpsk", "sync": "1010"}]})",
        // a second noisy source with a level of its own
        R"({"segments": [{"sum": [{"type": "bpsk", "snr": 10}, {"type": "tone", "snr": 20,
                                   "level": 3}]}]})",
    };
    for (const char *scene : refused) EXPECT_EQ(wfm_compose_from_json(scene), nullptr) << scene;
}

TEST(Compose, ResolvedSegmentsAndSeedAdvance) {
    ComposerPtr c = compose(R"({"repeat": 1, "continuous": true, "seed_advance": "all",
        "segments": [{"sum": [{"type": "tone"}, {"type": "bpsk", "snr": 10, "seed": 4}]},
                     {"type": "dsss", "data_code": "1011", "payload": "10", "crc": "none",
                      "sps": 3, "num_samples": 5}]})");
    ASSERT_NE(c, nullptr);
    uint64_t n = 0;
    int32_t repeat = -1, continuous = -1;
    const SegmentSpec *segs = wfm_compose_segments(c.get(), &n, &repeat, &continuous);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(repeat, 0);  // a number is not JSON true
    EXPECT_EQ(continuous, 1);
    ASSERT_EQ(segs[0].n_sources, 3u);
    EXPECT_EQ(segs[0].sources[2].type, uint32_t{WFM_TYPE_NOISE});
    EXPECT_EQ(segs[0].sources[2].seed, 4u);
    // A lone framed dsss source plays exactly its frame: 2 bits x 4 chips x 3 samples.
    EXPECT_EQ(segs[1].num_samples, 24u);
    EXPECT_EQ(wfm_compose_seed_advance(c.get()), uint32_t{WFM_SEED_ADVANCE_ALL});
    wfm_compose_set_seed_advance(c.get(), 3);
    EXPECT_EQ(wfm_compose_seed_advance(c.get()), uint32_t{WFM_SEED_ADVANCE_ALL});
    wfm_compose_set_seed_advance(c.get(), WFM_SEED_ADVANCE_NONE);
    EXPECT_EQ(wfm_compose_seed_advance(c.get()), uint32_t{WFM_SEED_ADVANCE_NONE});
    EXPECT_EQ(wfm_compose_seed_advance(nullptr), 0u);
    wfm_compose_destroy(nullptr);
}

// An RRC filter whose taps cannot be had is skipped: the source is built, unshaped.
TEST(ComposeBuildSynth, AbsurdRrcSizesLeaveTheSourceUnshaped) {
    SourceSpec src = make_source(WFM_TYPE_BPSK, 100);
    src.pulse_rrc = 1;
    src.rrc_beta = 0.35;
    src.sps = INT32_MAX;
    src.rrc_span = INT32_MAX;
    SynthPtr unshaped(wfm_compose_build_synth(&src, 10, 0, 0, 0, 1, 0, 100, 0));
    ASSERT_NE(unshaped, nullptr);
    src.sps = 4;
    src.rrc_span = 4;
    SynthPtr shaped(wfm_compose_build_synth(&src, 10, 0, 0, 0, 1, 0, 100, 0));
    ASSERT_NE(shaped, nullptr);
    EXPECT_GT(wfm_synth_state_bytes(shaped.get()), wfm_synth_state_bytes(unshaped.get()));
    EXPECT_EQ(wfm_compose_build_synth(nullptr, 10, 0, 0, 0, 1, 0, 100, 0), nullptr);
}

// ---- measured SNR ---------------------------------------------------------------------

double power_db(const std::vector<cf32> &a, const std::vector<cf32> *minus = nullptr) {
    double sum = 0;
    for (size_t k = 0; k < a.size(); ++k) {
        double re = a[k].re, im = a[k].im;
        if (minus) {
            re -= (*minus)[k].re;
            im -= (*minus)[k].im;
        }
        sum += re * re + im * im;
    }
    return 10.0 * std::log10(sum / static_cast<double>(a.size()));
}

constexpr uint64_t kMeasure = 1u << 20;

// The same scene with and without noise: the difference is the noise alone.
struct Measured {
    double signal_db, noise_db;
};
Measured measure(const std::string &with_noise, const std::string &without) {
    const std::vector<cf32> x = compose_all(with_noise, kMeasure);
    const std::vector<cf32> s = compose_all(without, kMeasure);
    EXPECT_EQ(x.size(), kMeasure);
    EXPECT_EQ(s.size(), kMeasure);
    return {power_db(s), power_db(x, &s)};
}

TEST(ComposeSnr, LoneBpskInEveryMode) {
    const double ten_log8 = 10.0 * std::log10(8.0);
    struct Case {
        const char *mode;
        double per_sample;
    } cases[] = {{"auto", 10 - ten_log8}, {"fs", 10}, {"ebno", 10 - ten_log8},
                 {"esno", 10 - ten_log8}};
    for (const Case &c : cases) {
        const std::string seg = R"({"segments": [{"type": "bpsk", "sps": 8, "snr_mode": ")" +
                                std::string(c.mode) + R"(", "num_samples": 1048576, "snr": )";
        const Measured m = measure(seg + "10}]}", seg + "100}]}");
        EXPECT_NEAR(m.signal_db - m.noise_db, c.per_sample, 0.1) << c.mode;
    }
}

TEST(ComposeSnr, SumWithAppendedFloor) {
    const std::string head = R"({"segments": [{"num_samples": 1048576, "sum": [
        {"type": "tone", "freq": 0.05, "level": -3}, {"type": "bpsk", "sps": 8, "snr": )";
    const Measured m = measure(head + "10}]}]}", head + "100}]}]}");
    const double floor = 0 - (10 - 10.0 * std::log10(8.0));
    EXPECT_NEAR(m.noise_db, floor, 0.1);
    // tone at -3 dB plus bpsk at 0 dB, independent
    EXPECT_NEAR(m.signal_db, 10.0 * std::log10(1.0 + std::pow(10.0, -0.3)), 0.1);
}

}  // namespace
