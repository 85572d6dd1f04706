#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "wfm_json.h"
#include "wfm_scene.hpp"

namespace {

wfm::Scene parse_ok(const std::string &text) {
    wfm::Scene scene;
    EXPECT_TRUE(wfm::parse_scene(text.c_str(), scene)) << text;
    return scene;
}

// The first source of a one-segment scene whose segment object is `segment`.
struct OneSource {
    wfm::Scene scene;
    explicit OneSource(const std::string &segment)
        : scene(parse_ok("{\"segments\": [" + segment + "]}")) {}
    const SegmentSpec &seg() const { return scene.segments[0]; }
    const SourceSpec &src() const { return scene.segments[0].sources[0]; }
};

std::string bits_of(const uint8_t *bits, uint64_t n) {
    std::string s;
    for (uint64_t i = 0; i < n; ++i) s += bits[i] ? '1' : '0';
    return s;
}

TEST(SceneParse, MinimalSegmentTakesEveryDefault) {
    OneSource one(R"({"type": "tone", "num_samples": 100})");
    ASSERT_EQ(one.scene.segments.size(), 1u);
    const SegmentSpec &g = one.seg();
    ASSERT_EQ(g.n_sources, 1u);
    EXPECT_EQ(g.fs, 1.0);
    EXPECT_EQ(g.num_samples, 100u);
    EXPECT_EQ(g.off_samples, 0u);
    EXPECT_EQ(g.delay_samples, 0u);
    EXPECT_EQ(g.repeats, 1u);
    EXPECT_EQ(g.range_flags, 0u);
    EXPECT_EQ(g.gap_noise_off, 0u);
    const SourceSpec &s = one.src();
    EXPECT_EQ(s.type, uint32_t{WFM_TYPE_TONE});
    EXPECT_EQ(s.freq, 0.0);
    EXPECT_EQ(s.level, 0.0);
    EXPECT_EQ(s.snr, 100.0);
    EXPECT_EQ(s.seed, 1u);
    EXPECT_EQ(s.sps, 8);
    EXPECT_EQ(s.pn_length, 7);
    EXPECT_EQ(s.acq_reps, 1u);
    EXPECT_EQ(s.crc, uint32_t{WFM_CRC_16});
    EXPECT_EQ(s.modulation, 0u);
    EXPECT_EQ(s.pulse_rrc, 0u);
    EXPECT_EQ(s.rrc_beta, 0.0);
    EXPECT_EQ(s.rrc_span, 0);
    EXPECT_EQ(s.pattern, nullptr);
    EXPECT_EQ(one.scene.repeat, 0);
    EXPECT_EQ(one.scene.continuous, 0);
    EXPECT_EQ(one.scene.seed_advance, uint32_t{WFM_SEED_ADVANCE_NONE});
}

TEST(SceneParse, StructuralErrorsRefuseTheScene) {
    const char *bad[] = {
        "",
        "not json",
        R"({"segments": []})",
        R"({"segments": {"type": "tone"}})",
        R"({"segment": [{"type": "tone"}]})",
        R"({"segments": [{"type": "tone", "sum": [{"type": "tone"}]}]})",
        R"({"segments": [{"sum": []}]})",
        R"({"segments": [{"sum": {"type": "tone"}}]})",
        R"({"segments": [{"num_samples": 5}]})",
        R"({"segments": [{"type": "sine"}]})",
        R"({"segments": [{"type": 3}]})",
        R"({"segments": [{"sum": [{"type": "tone"}, {"type": "Tone"}]}]})",
        R"({"segments": [{"type": "tone"}, 7]})",
        R"([{"type": "tone"}])",
    };
    for (const char *text : bad) {
        wfm::Scene scene;
        EXPECT_FALSE(wfm::parse_scene(text, scene)) << text;
        EXPECT_EQ(wfm_compose_from_json(text), nullptr) << text;
    }
    wfm::Scene scene;
    EXPECT_FALSE(wfm::parse_scene(nullptr, scene));
    EXPECT_EQ(wfm_compose_from_json(nullptr), nullptr);
    EXPECT_EQ(wfm_compose_from_file("/nonexistent/scene.json"), nullptr);
}

// Numbers from users never reach an undefined conversion: counts saturate, 32-bit fields
// clamp, seeds are reduced modulo 2^32 through a 64-bit integer.
TEST(SceneParse, OutOfRangeNumbersSaturateClampOrWrap) {
    struct SeedCase {
        const char *json;
        uint32_t seed;
    } seeds[] = {{"4294967297", 1}, {"-1", 4294967295u}, {"1.9", 1}, {"-1.9", 4294967295u},
                 {"1e400", 4294967295u}, {"-1e400", 0}, {"1e30", 4294967295u},
                 {"\"7\"", 1},
                 // Integers beyond 2^53 are read from their digits, modulo 2^64 as the plan's
                 // seed argument takes them, not through a double that rounds them.
                 {"9007199254740993", 1}, {"-9007199254740993", 4294967295u},
                 {"18446744073709551615", 4294967295u}, {"18446744073709551617", 1},
                 {"12345678901234567891", static_cast<uint32_t>(12345678901234567891ull)}};
    for (const SeedCase &c : seeds) {
        OneSource one(std::string(R"({"type": "tone", "seed": )") + c.json + "}");
        EXPECT_EQ(one.src().seed, c.seed) << c.json;
    }

    struct CountCase {
        const char *json;
        uint64_t value;
    } counts[] = {{"-5", 0}, {"2.7", 2}, {"1e400", UINT64_MAX}, {"-1e400", 0},
                  {"1e19", 10000000000000000000ull}, {"1e20", UINT64_MAX}, {"[-3, 1e400]", 0}};
    for (const CountCase &c : counts) {
        OneSource one(std::string(R"({"type": "bits", "num_samples": )") + c.json +
                      ", \"repeats\": " + c.json + ", \"acq_reps\": " + c.json +
                      ", \"pn_poly\": " + c.json + "}");
        EXPECT_EQ(one.seg().num_samples, c.value) << c.json;
        if (one.seg().range_flags == 0) {
            EXPECT_EQ(one.seg().repeats, c.value) << c.json;
            EXPECT_EQ(one.src().acq_reps, c.value) << c.json;
            EXPECT_EQ(one.src().pn_poly, c.value) << c.json;
        } else {
            EXPECT_EQ(one.seg().num_samples_hi, UINT64_MAX);
        }
    }

    struct IntCase {
        const char *json;
        int32_t value;
    } ints[] = {{"-3.9", -3}, {"1e10", INT32_MAX}, {"-1e10", INT32_MIN},
                {"1e400", INT32_MAX}, {"-1e400", INT32_MIN}};
    for (const IntCase &c : ints) {
        OneSource one(std::string(R"({"type": "bits", "pulse": "rrc", "sps": )") + c.json +
                      ", \"pn_length\": " + c.json + ", \"rs_depth\": " + c.json +
                      ", \"rrc_span\": " + c.json + "}");
        EXPECT_EQ(one.src().sps, c.value) << c.json;
        EXPECT_EQ(one.src().pn_length, c.value) << c.json;
        EXPECT_EQ(one.src().rs_depth, c.value) << c.json;
        EXPECT_EQ(one.src().rrc_span, c.value) << c.json;
    }

    OneSource sym(R"({"type": "symbols", "symbols": [1e39, -1e300]})");
    ASSERT_EQ(sym.src().n_symbols, 1u);
    EXPECT_EQ(sym.src().symbols[0].re, INFINITY);
    EXPECT_EQ(sym.src().symbols[0].im, -INFINITY);
}

TEST(SceneParse, RangesNeedExactlyTwoNumbers) {
    OneSource ranged(
        R"({"type": "chirp", "num_samples": [100, 200], "off_samples": [1, 2],
            "delay_samples": [3, 4], "freq": [0.1, 0.2], "snr": [5, 6], "level": [-2, 2],
            "f_end": [0.3, 0.4]})");
    const SegmentSpec &g = ranged.seg();
    const SourceSpec &s = ranged.src();
    EXPECT_EQ(g.range_flags, 0x70u);
    EXPECT_EQ(g.num_samples, 100u);
    EXPECT_EQ(g.num_samples_hi, 200u);
    EXPECT_EQ(g.off_samples_hi, 2u);
    EXPECT_EQ(g.delay_samples, 3u);
    EXPECT_EQ(g.delay_samples_hi, 4u);
    EXPECT_EQ(s.range_flags, 0x0Fu);
    EXPECT_EQ(s.freq_hi, 0.2);
    EXPECT_EQ(s.snr, 5.0);
    EXPECT_EQ(s.level_hi, 2.0);
    EXPECT_EQ(s.f_end_hi, 0.4);

    for (const char *value : {R"([100, "x"])", "[100, 200, 300]", "[100]", R"("100")"}) {
        OneSource one(std::string(R"({"type": "tone", "num_samples": )") + value + "}");
        EXPECT_EQ(one.seg().num_samples, 0u) << value;
        EXPECT_EQ(one.seg().range_flags, 0u) << value;
    }
}

TEST(SceneParse, BitStringsAndSymbols) {
    OneSource spaced(R"({"type": "bits", "pattern": "1010 1010", "sync": "1_0x1"})");
    EXPECT_EQ(bits_of(spaced.src().pattern, spaced.src().pattern_len), "10101010");
    EXPECT_EQ(bits_of(spaced.src().sync, spaced.src().sync_len), "101");

    OneSource empty(R"({"type": "bits", "pattern": "xyz", "acq_code": ""})");
    EXPECT_NE(empty.src().pattern, nullptr);
    EXPECT_EQ(empty.src().pattern_len, 0u);
    EXPECT_NE(empty.src().acq_code, nullptr);
    EXPECT_EQ(empty.src().acq_code_len, 0u);

    // Only bits and dsss sources read a payload; only dsss reads a data code.
    OneSource tone(R"({"type": "tone", "pattern": "1", "data_code": "1", "payload": "1"})");
    EXPECT_EQ(tone.src().pattern, nullptr);
    EXPECT_EQ(tone.src().data_code, nullptr);

    OneSource sym(R"({"type": "symbols", "symbols": [1, 0, 0, 1, 5]})");
    ASSERT_EQ(sym.src().n_symbols, 2u);
    EXPECT_EQ(sym.src().symbols[0].re, 1.0f);
    EXPECT_EQ(sym.src().symbols[0].im, 0.0f);
    EXPECT_EQ(sym.src().symbols[1].re, 0.0f);
    EXPECT_EQ(sym.src().symbols[1].im, 1.0f);
    OneSource odd(R"({"type": "symbols", "symbols": [0.5, "x", 3]})");
    ASSERT_EQ(odd.src().n_symbols, 1u);
    EXPECT_EQ(odd.src().symbols[0].im, 0.0f);
    OneSource none(R"({"type": "symbols", "symbols": [1]})");
    EXPECT_EQ(none.src().symbols, nullptr);
    EXPECT_EQ(none.src().n_symbols, 0u);
}

TEST(SceneParse, NamesMapLenientlyToCodes) {
    struct Case {
        const char *keys;
        uint32_t SourceSpec::*field;
        uint32_t value;
    } cases[] = {
        {R"("type": "bits")", &SourceSpec::modulation, WFM_BITMOD_BPSK},
        {R"("type": "bits", "modulation": "qpsk")", &SourceSpec::modulation, WFM_BITMOD_QPSK},
        {R"("type": "bits", "modulation": "none")", &SourceSpec::modulation, WFM_BITMOD_NONE},
        {R"("type": "bits", "modulation": "9psk")", &SourceSpec::modulation, WFM_BITMOD_BPSK},
        {R"("type": "qpsk", "modulation": "qpsk")", &SourceSpec::modulation, 0},
        {R"("type": "tone", "randomise": true)", &SourceSpec::randomise, WFM_RANDOMISE_CCSDS},
        {R"("type": "tone", "randomise": "legacy")", &SourceSpec::randomise, WFM_RANDOMISE_LEGACY},
        {R"("type": "tone", "randomise": "on")", &SourceSpec::randomise, WFM_RANDOMISE_OFF},
        {R"("type": "tone", "randomise": 1)", &SourceSpec::randomise, WFM_RANDOMISE_OFF},
        {R"("type": "tone", "crc": "crc32")", &SourceSpec::crc, WFM_CRC_16},
        {R"("type": "tone", "crc": "none")", &SourceSpec::crc, WFM_CRC_NONE},
        {R"("type": "tone", "crc": 0)", &SourceSpec::crc, WFM_CRC_16},
        {R"("type": "tone", "snr_mode": "ebno")", &SourceSpec::snr_mode, WFM_MODE_EBNO},
        {R"("type": "tone", "snr_mode": "EsNo")", &SourceSpec::snr_mode, WFM_MODE_AUTO},
        {R"("type": "pn", "lfsr": "fibonacci")", &SourceSpec::lfsr, WFM_LFSR_FIBONACCI},
        {R"("type": "pn", "lfsr": "other")", &SourceSpec::lfsr, WFM_LFSR_GALOIS},
        {R"("type": "tone", "pulse": "RRC")", &SourceSpec::pulse_rrc, 0},
        {R"("type": "tone", "background": 1)", &SourceSpec::background, 0},
        {R"("type": "tone", "background": true)", &SourceSpec::background, 1},
        {R"("type": "tone", "asm": true, "conv": "yes")", &SourceSpec::asm_, 1},
        {R"("type": "tone", "asm": true, "conv": "yes")", &SourceSpec::conv, 0},
        {R"("type": "dsss", "data": "none")", &SourceSpec::data_none, 1},
        {R"("type": "bits", "data": "none")", &SourceSpec::data_none, 0},
    };
    for (const Case &c : cases) {
        OneSource one(std::string("{") + c.keys + "}");
        EXPECT_EQ(one.src().*c.field, c.value) << c.keys;
    }

    OneSource rrc(R"({"type": "qpsk", "pulse": "rrc"})");
    EXPECT_EQ(rrc.src().rrc_beta, 0.35);
    EXPECT_EQ(rrc.src().rrc_span, 8);
    OneSource rect(R"({"type": "qpsk", "pulse": "rect", "rrc_beta": 0.5, "rrc_span": 4})");
    EXPECT_EQ(rect.src().rrc_beta, 0.0);
    EXPECT_EQ(rect.src().rrc_span, 0);

    const wfm::Scene top = parse_ok(
        R"({"repeat": true, "continuous": 1, "seed_advance": "all",
            "segments": [{"type": "tone", "gap_noise": "off"}]})");
    EXPECT_EQ(top.repeat, 1);
    EXPECT_EQ(top.continuous, 0);
    EXPECT_EQ(top.seed_advance, uint32_t{WFM_SEED_ADVANCE_ALL});
    EXPECT_EQ(top.segments[0].gap_noise_off, 1u);
}

TEST(SceneParse, DsssPayloadFallsBackToPattern) {
    OneSource payload(R"({"type": "dsss", "payload": "11", "pattern": "000", "data_code": "1101",
                          "symbol_rate": 1000})");
    EXPECT_EQ(bits_of(payload.src().pattern, payload.src().pattern_len), "11");
    EXPECT_EQ(bits_of(payload.src().data_code, payload.src().data_code_len), "1101");
    EXPECT_EQ(payload.src().symbol_rate, 1000.0);
    OneSource pattern(R"({"type": "dsss", "payload": 5, "pattern": "000"})");
    EXPECT_EQ(bits_of(pattern.src().pattern, pattern.src().pattern_len), "000");
}

// ---- writing ----------------------------------------------------------------------------

struct Text {
    char *p;
    explicit Text(char *text) : p(text) {}
    ~Text() { cJSON_free(p); }
    std::string str() const { return p ? p : ""; }
};

std::string write(const wfm::Scene &scene, double headroom = 0) {
    return Text(wfm_spec_to_json(scene.segments.data(), scene.segments.size(), scene.repeat,
                                 scene.continuous, static_cast<int32_t>(scene.seed_advance),
                                 headroom))
        .str();
}

void expect_same_bits(const uint8_t *a, uint64_t na, const uint8_t *b, uint64_t nb,
                      const char *what) {
    EXPECT_EQ(na, nb) << what;
    EXPECT_EQ((a == nullptr), (b == nullptr)) << what;
    if (a && b && na == nb) {
        EXPECT_EQ(std::memcmp(a, b, na), 0) << what;
    }
}

void expect_same_records(const wfm::Scene &x, const wfm::Scene &y) {
    ASSERT_EQ(x.segments.size(), y.segments.size());
    EXPECT_EQ(x.repeat, y.repeat);
    EXPECT_EQ(x.continuous, y.continuous);
    EXPECT_EQ(x.seed_advance, y.seed_advance);
    for (uint64_t i = 0; i < x.segments.size(); ++i) {
        const SegmentSpec &g = x.segments[i], &h = y.segments[i];
        SegmentSpec g0 = g, h0 = h;
        g0.sources = h0.sources = nullptr;
        EXPECT_EQ(std::memcmp(&g0, &h0, sizeof g0), 0) << "segment " << i;
        ASSERT_EQ(g.n_sources, h.n_sources);
        for (uint64_t k = 0; k < g.n_sources; ++k) {
            const SourceSpec &a = g.sources[k], &b = h.sources[k];
            expect_same_bits(a.pattern, a.pattern_len, b.pattern, b.pattern_len, "pattern");
            expect_same_bits(a.acq_code, a.acq_code_len, b.acq_code, b.acq_code_len, "acq");
            expect_same_bits(a.data_code, a.data_code_len, b.data_code, b.data_code_len, "code");
            expect_same_bits(a.sync, a.sync_len, b.sync, b.sync_len, "sync");
            ASSERT_EQ(a.n_symbols, b.n_symbols);
            if (a.n_symbols) {
                EXPECT_EQ(std::memcmp(a.symbols, b.symbols, a.n_symbols * sizeof(cf32)), 0);
            }
            SourceSpec a0 = a, b0 = b;
            a0.pattern = a0.acq_code = a0.data_code = a0.sync = nullptr;
            b0.pattern = b0.acq_code = b0.data_code = b0.sync = nullptr;
            a0.symbols = b0.symbols = nullptr;
            EXPECT_EQ(std::memcmp(&a0, &b0, sizeof a0), 0) << "segment " << i << " source " << k;
        }
    }
}

// Every kind of source with the keys its type writes back.
const char *const kRichScene = R"({
  "repeat": true, "seed_advance": "noise",
  "segments": [
    {"type": "chirp", "fs": 2e6, "freq": [-1000, 1000], "f_end": 5e5, "snr": [10, 20],
     "snr_mode": "fs", "seed": 4294967295, "num_samples": [100, 200], "off_samples": 0,
     "delay_samples": [0, 9], "repeats": 3, "gap_noise": "off", "level": -3},
    {"type": "bits", "modulation": "qpsk", "pattern": "1100101", "sync": "1110",
     "acq_code": "10", "acq_reps": 4, "crc": "none", "asm": true, "conv": true,
     "randomise": "legacy", "rs_depth": 2, "pulse": "rrc", "rrc_beta": 0.25, "rrc_span": 6,
     "num_samples": 64, "background": true, "pn_poly": 137, "lfsr": "fibonacci"},
    {"fs": 8, "num_samples": 10, "delay_samples": 2,
     "sum": [{"type": "symbols", "symbols": [0.5, -0.5, 1, 0], "sync": "01", "level": [-1, 1]},
             {"type": "dsss", "data_code": "1011", "payload": "01", "symbol_rate": 0.25,
              "data": "none", "snr": 3, "snr_mode": "esno", "sps": 2},
             {"type": "dsss", "acq_code": "111", "acq_reps": 2, "data_code": "10",
              "sync": "0", "payload": "1", "crc": "none"},
             {"type": "noise", "level": -20}]}
  ]})";

TEST(SceneWrite, RecordsRoundTripAndTextIsStable) {
    const wfm::Scene scene = parse_ok(kRichScene);
    const std::string text = write(scene, 1.5);
    const wfm::Scene again = parse_ok(text);
    expect_same_records(scene, again);
    EXPECT_EQ(write(again, 1.5), text);
    EXPECT_EQ(wfm_spec_headroom(text.c_str()), 1.5);
}

TEST(SceneWrite, OmittedAndAlwaysWrittenKeys) {
    const std::string text = write(parse_ok(R"({"segments": [
        {"type": "tone", "num_samples": 5, "level": -3},
        {"type": "tone", "num_samples": 5, "delay_samples": 1, "level": [0, 1]},
        {"sum": [{"type": "bpsk", "f_end": 9}, {"type": "tone", "level": 2}]}]})"));
    cJSON *root = cJSON_Parse(text.c_str());
    ASSERT_NE(root, nullptr);
    const cJSON *segs = cJSON_GetObjectItem(root, "segments");
    const cJSON *a = cJSON_GetArrayItem(segs, 0), *b = cJSON_GetArrayItem(segs, 1);
    const cJSON *c = cJSON_GetArrayItem(segs, 2);
    EXPECT_EQ(cJSON_GetObjectItem(root, "version")->valuedouble, 1.0);
    EXPECT_EQ(cJSON_GetObjectItem(root, "seed_advance"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(root, "headroom"), nullptr);
    EXPECT_NE(cJSON_GetObjectItem(a, "off_samples"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(a, "delay_samples"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(a, "repeats"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(a, "level")->valuedouble, -3.0);
    EXPECT_EQ(cJSON_GetObjectItem(b, "delay_samples")->valuedouble, 1.0);
    EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItem(b, "level")));
    EXPECT_EQ(cJSON_GetObjectItem(c, "type"), nullptr);
    const cJSON *bpsk = cJSON_GetArrayItem(cJSON_GetObjectItem(c, "sum"), 0);
    const cJSON *tone = cJSON_GetArrayItem(cJSON_GetObjectItem(c, "sum"), 1);
    EXPECT_EQ(cJSON_GetObjectItem(bpsk, "fs"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(bpsk, "f_end"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(bpsk, "level"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(bpsk, "crc"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(tone, "level")->valuedouble, 2.0);
    cJSON_Delete(root);
}

TEST(SceneWrite, EveryTypeAndModulationNameRoundTrips) {
    for (uint32_t t = 0; t < WFM_TYPE_COUNT; ++t) {
        const OneSource one(std::string(R"({"type": ")") + TYPE_NAMES[t] + R"(", "num_samples": 8})");
        const std::string text = write(one.scene);
        EXPECT_NE(text.find(std::string(R"("type":	")") + TYPE_NAMES[t] + "\""), std::string::npos) << text;
        EXPECT_EQ(parse_ok(text).segments[0].sources[0].type, t);
    }
    for (uint32_t m = 0; m < WFM_BITMOD_COUNT; ++m) {
        const OneSource one(std::string(R"({"type": "bits", "pattern": "1", "modulation": ")") + BITMOD_NAMES[m] +
                            R"(", "num_samples": 8})");
        const std::string text = write(one.scene);
        EXPECT_NE(text.find(std::string(R"("modulation":	")") + BITMOD_NAMES[m] + "\""), std::string::npos) << text;
        EXPECT_EQ(parse_ok(text).segments[0].sources[0].modulation, m);
    }
}

TEST(SceneWrite, ApskRingsRoundTripAsGiven) {
    const OneSource given(R"({"type": "32apsk", "apsk_rings": [2.5, 4.25], "num_samples": 8})");
    EXPECT_EQ(given.src().n_apsk_rings, 2u);
    EXPECT_EQ(given.src().apsk_rings[1], 4.25);
    const std::string text = write(given.scene);
    EXPECT_NE(text.find("\"apsk_rings\":\t[2.5, 4.25]"), std::string::npos) << text;
    expect_same_records(given.scene, parse_ok(text));
    const OneSource wrong(R"({"type": "16apsk", "apsk_rings": [2, "x"], "num_samples": 8})");
    EXPECT_EQ(wrong.src().n_apsk_rings, 0u);
    EXPECT_EQ(write(wrong.scene).find("apsk_rings"), std::string::npos);
}

TEST(SceneWrite, OutOfTableCodesWriteTheFirstSensibleName) {
    SourceSpec s{};
    s.type = 42;
    s.snr_mode = 9;
    s.lfsr = 5;
    SourceSpec bits{};
    bits.type = WFM_TYPE_BITS;
    bits.modulation = WFM_BITMOD_COUNT;
    bits.randomise = 9;
    SegmentSpec g[2]{};
    g[0].sources = &s;
    g[0].n_sources = 1;
    g[1].sources = &bits;
    g[1].n_sources = 1;
    const std::string text = Text(wfm_spec_to_json(g, 2, 0, 0, 0, 0)).str();
    for (const char *expected : {R"("type":	"tone")", R"("snr_mode":	"auto")",
                                 R"("lfsr":	"galois")", R"("modulation":	"bpsk")",
                                 R"("randomise":	"ccsds")"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

TEST(SceneWrite, TemplateRoundTripsToIdenticalText) {
    const std::string text = Text(wfm_spec_template_json()).str();
    const wfm::Scene scene = parse_ok(text);
    ASSERT_EQ(scene.segments.size(), 3u);
    EXPECT_EQ(scene.segments[1].sources[0].modulation, uint32_t{WFM_BITMOD_QPSK});
    EXPECT_EQ(bits_of(scene.segments[1].sources[0].pattern,
                      scene.segments[1].sources[0].pattern_len),
              "1011000110");
    EXPECT_EQ(scene.segments[1].off_samples, 2000u);
    EXPECT_EQ(scene.segments[2].n_sources, 2u);
    EXPECT_EQ(scene.segments[2].sources[1].seed, 2u);
    EXPECT_EQ(write(scene), text);
}

TEST(SceneWrite, HeadroomOnlyFromANumber) {
    EXPECT_EQ(wfm_spec_headroom(R"({"headroom": -6.5, "segments": []})"), -6.5);
    EXPECT_EQ(wfm_spec_headroom(R"({"headroom": "6"})"), 0.0);
    EXPECT_EQ(wfm_spec_headroom(R"({"segments": []})"), 0.0);
    EXPECT_EQ(wfm_spec_headroom("{"), 0.0);
    EXPECT_EQ(wfm_spec_headroom(nullptr), 0.0);
}

// The framing check and the written-back form of scene text use the library's own parser.
TEST(SceneText, FramingCheckAndNormalisedFormFollowTheParser) {
    EXPECT_EQ(wfm_spec_frame_error(R"({"segments": [{"type": "tone", "num_samples": 4}]})"), nullptr);
    EXPECT_EQ(wfm_spec_frame_error("not json"), nullptr);
    const char *bad_depth = R"({"segments": [{"type": "tone", "num_samples": 4},
        {"type": "bits", "pattern": "1010", "rs_depth": 6}]})";
    EXPECT_STREQ(wfm_spec_frame_error(bad_depth), "--rs-depth must be 1, 2, 3, 4, 5 or 8 (CCSDS 131.0-B-3 4.3.5.1)");

    EXPECT_EQ(wfm_spec_normalise("{}"), nullptr);
    char *template_text = wfm_spec_template_json();
    char *again = wfm_spec_normalise(template_text);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again, template_text);
    cJSON_free(again);
    cJSON_free(template_text);
}

}  // namespace
