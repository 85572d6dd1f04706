#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "wfm_writer_core.h"

namespace {

enum { kCf32 = 0, kCf64 = 1, kCi32 = 2, kCi16 = 3, kCi8 = 4 };
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string meta(int stype, bool be, const std::vector<SegmentSpec> &segs, double fs, double fc, double t0) {
    char *text = wfm_sigmf_meta_json(stype, be, segs.empty() ? nullptr : segs.data(), segs.size(), fs, fc, t0);
    EXPECT_NE(text, nullptr);
    std::string s = text ? text : "";
    std::free(text);
    return s;
}

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Json parse(const std::string &text) {
    Json j(cJSON_Parse(text.c_str()), cJSON_Delete);
    EXPECT_NE(j, nullptr) << text;
    return j;
}

SourceSpec source(uint32_t type, double freq, int32_t sps = 8) {
    SourceSpec s{};
    s.type = type;
    s.freq = freq;
    s.snr = 100.0;
    s.seed = 1;
    s.sps = sps;
    s.pn_length = 7;
    return s;
}

SegmentSpec segment(SourceSpec *sources, uint64_t n, double fs, uint64_t num) {
    SegmentSpec g{};
    g.sources = sources;
    g.n_sources = n;
    g.fs = fs;
    g.num_samples = num;
    g.repeats = 1;
    return g;
}

const cJSON *annotation(const Json &doc, int i) {
    return cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(doc.get(), "annotations"), i);
}

double number(const cJSON *object, const char *key) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    EXPECT_TRUE(cJSON_IsNumber(item)) << key;
    return item ? item->valuedouble : kNaN;
}

bool has(const cJSON *object, const char *key) { return cJSON_GetObjectItemCaseSensitive(object, key) != nullptr; }

TEST(SigmfMeta, CaptureWideDocumentExactly) {
    EXPECT_EQ(meta(kCf32, false, {}, 2e6, 1e9, 1700000000.25),
              R"({"global":{"core:datatype":"cf32_le","core:sample_rate":2000000,"core:version":"1.0.0",)"
              R"("core:description":"quennel sondrel","core:author":"quennel sondrel"},)"
              R"("captures":[{"core:sample_start":0,"core:datetime":"2023-11-14T22:13:20.250000Z",)"
              R"("core:frequency":1000000000}],"annotations":[]})");
}

TEST(SigmfMeta, Datatypes) {
    const std::tuple<int, bool, const char *> cases[] = {
        {kCf32, false, "cf32_le"}, {kCf64, true, "cf64_be"}, {kCi32, false, "ci32_le"},
        {kCi16, true, "ci16_be"},  {kCi8, true, "ci8"},      {kCi8, false, "ci8"},
    };
    for (auto [stype, be, name] : cases) {
        Json doc = parse(meta(stype, be, {}, 0, 0, 0));
        const cJSON *global = cJSON_GetObjectItemCaseSensitive(doc.get(), "global");
        EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(global, "core:datatype")->valuestring, name);
    }
}

// Optional members that are zero or cannot be written as JSON numbers are left out.
TEST(SigmfMeta, AbsentAndNonFiniteMembersAreOmitted) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {0.0, kNaN, inf, -inf}) {
        const std::string text = meta(kCf32, false, {}, bad, bad, bad);
        EXPECT_EQ(text.find("null"), std::string::npos) << text;
        EXPECT_EQ(text.find("core:sample_rate"), std::string::npos);
        EXPECT_EQ(text.find("core:datetime"), std::string::npos);
        EXPECT_EQ(text.find("core:frequency"), std::string::npos);
    }
    EXPECT_EQ(meta(kCf32, false, {}, -1e6, 0, 0).find("core:sample_rate"), std::string::npos);
}

TEST(SigmfMeta, DatetimeBeforeTheEpochAndNearWholeSeconds) {
    const std::pair<double, const char *> cases[] = {
        {-0.5, "1969-12-31T23:59:59.500000Z"},
        {86400.0, "1970-01-02T00:00:00.000000Z"},
        // Nanoseconds are truncated before they are checked: just short of a whole second
        // is still 999999999 of them.
        {0.9999999995, "1970-01-01T00:00:00.999999Z"},
        {12345.99999999995, "1970-01-01T03:25:45.999999Z"},
    };
    for (const auto &[t0, text] : cases) {
        Json doc = parse(meta(kCf32, false, {}, 0, 0, t0));
        const cJSON *capture = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(doc.get(), "captures"), 0);
        const cJSON *datetime = cJSON_GetObjectItemCaseSensitive(capture, "core:datetime");
        ASSERT_TRUE(cJSON_IsString(datetime)) << t0;
        EXPECT_STREQ(datetime->valuestring, text);
    }
}

TEST(SigmfMeta, SampleRateFromTheSceneWhenSegmentsAgree) {
    SourceSpec tone = source(WFM_TYPE_TONE, 0);
    const std::pair<std::vector<double>, bool> cases[] = {
        {{2e6, 2e6}, true}, {{2e6, 1e6}, false}, {{2e6, kNaN}, false}, {{kNaN, kNaN}, false}};
    for (const auto &[rates, present] : cases) {
        std::vector<SegmentSpec> segs;
        for (double fs : rates) segs.push_back(segment(&tone, 1, fs, 10));
        Json doc = parse(meta(kCf32, false, segs, 0, 0, 0));
        const cJSON *global = cJSON_GetObjectItemCaseSensitive(doc.get(), "global");
        EXPECT_EQ(has(global, "core:sample_rate"), present);
        if (present) {
            EXPECT_EQ(number(global, "core:sample_rate"), 2e6);
        }
    }
    // An explicit rate wins over the scene's.
    std::vector<SegmentSpec> segs = {segment(&tone, 1, 2e6, 10)};
    Json doc = parse(meta(kCf32, false, segs, 5e5, 0, 0));
    EXPECT_EQ(number(cJSON_GetObjectItemCaseSensitive(doc.get(), "global"), "core:sample_rate"), 5e5);
}

TEST(SigmfMeta, FrequencyEdges) {
    SourceSpec chirp = source(WFM_TYPE_CHIRP, 2e5);
    chirp.f_end = -1e5;
    SourceSpec bpsk = source(WFM_TYPE_BPSK, 1000);
    SourceSpec tone = source(WFM_TYPE_TONE, 1000);
    SourceSpec no_sps = source(WFM_TYPE_QPSK, 1000, 0);
    struct Case {
        SourceSpec *src;
        double fs, fc, lower, upper;
    };
    const Case cases[] = {
        {&chirp, 8e6, 1e9, 999900000, 1000200000},
        {&bpsk, 8e6, 0, -499000, 501000},
        {&tone, 8e6, 0, 1000, 1000},
        {&no_sps, 8e6, 0, 1000, 1000},
    };
    for (const Case &c : cases) {
        Json doc = parse(meta(kCf32, false, {segment(c.src, 1, c.fs, 10)}, 0, c.fc, 0));
        EXPECT_EQ(number(annotation(doc, 0), "core:freq_lower_edge"), c.lower);
        EXPECT_EQ(number(annotation(doc, 0), "core:freq_upper_edge"), c.upper);
    }
}

TEST(SigmfMeta, OneAnnotationPerSourceOfEveryInstance) {
    SourceSpec sources[2] = {source(WFM_TYPE_BPSK, 0), source(WFM_TYPE_NOISE, 0)};
    SegmentSpec seg = segment(sources, 2, 1e6, 100);
    seg.repeats = 3;
    seg.off_samples = 20;
    seg.delay_samples = 5;
    SegmentSpec empty = segment(nullptr, 0, 1e6, 50);
    SourceSpec tail = source(WFM_TYPE_TONE, 0);
    Json doc = parse(meta(kCf32, false, {seg, empty, segment(&tail, 1, 1e6, 7)}, 0, 0, 0));
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(doc.get(), "annotations");
    ASSERT_EQ(cJSON_GetArraySize(list), 7);
    const double starts[] = {5, 5, 130, 130, 255, 255, 425};
    const char *labels[] = {"bpsk", "noise", "bpsk", "noise", "bpsk", "noise", "tone"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(number(annotation(doc, i), "core:sample_start"), starts[i]);
        EXPECT_EQ(number(annotation(doc, i), "core:sample_count"), i < 6 ? 100 : 7);
        EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(annotation(doc, i), "core:label")->valuestring, labels[i]);
    }
}

TEST(SigmfMeta, StartsBeyondAnyCountStayInOrder) {
    SourceSpec tone = source(WFM_TYPE_TONE, 0);
    SegmentSpec late = segment(&tone, 1, 1e6, 10);
    late.delay_samples = 100;
    Json doc = parse(meta(kCf32, false, {segment(&tone, 1, 1e6, UINT64_MAX - 10), late}, 0, 0, 0));
    EXPECT_EQ(number(annotation(doc, 0), "core:sample_start"), 0.0);
    EXPECT_EQ(number(annotation(doc, 1), "core:sample_start"), static_cast<double>(UINT64_MAX));
}

TEST(SigmfMeta, GeneratorParametersAndTheirNamespace) {
    SourceSpec dsss = source(WFM_TYPE_DSSS, 0, 4);
    dsss.snr = 12.5;
    dsss.snr_mode = WFM_MODE_EBNO;
    dsss.seed = 4000000000u;
    dsss.pn_length = 10;
    dsss.pn_poly = 0x409;
    dsss.symbol_rate = 1000;
    dsss.data_none = 1;
    SourceSpec slow = dsss;
    slow.symbol_rate = 0;
    SourceSpec odd = source(42, 0);
    odd.snr_mode = 9;
    odd.snr = kNaN;
    SourceSpec sources[] = {dsss, slow, odd};
    const std::string text = meta(kCf32, false, {segment(sources, 3, 1e6, 10)}, 0, 0, 0);
    EXPECT_EQ(text.find("null"), std::string::npos);
    Json doc = parse(text);
    const cJSON *a = annotation(doc, 0);
    EXPECT_EQ(number(a, "sondrel:snr"), 12.5);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(a, "sondrel:snr_mode")->valuestring, "ebno");
    EXPECT_EQ(number(a, "sondrel:sps"), 4);
    EXPECT_EQ(number(a, "sondrel:seed"), 4000000000.0);
    EXPECT_EQ(number(a, "sondrel:pn_length"), 10);
    EXPECT_EQ(number(a, "sondrel:pn_poly"), 0x409);
    EXPECT_EQ(number(a, "sondrel:symbol_rate"), 1000);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(a, "sondrel:data")->valuestring, "none");
    EXPECT_FALSE(has(annotation(doc, 1), "sondrel:symbol_rate"));
    EXPECT_FALSE(has(annotation(doc, 1), "sondrel:data"));
    // Codes outside the name tables get no name; a NaN snr is left out.
    EXPECT_FALSE(has(annotation(doc, 2), "core:label"));
    EXPECT_FALSE(has(annotation(doc, 2), "sondrel:snr_mode"));
    EXPECT_FALSE(has(annotation(doc, 2), "sondrel:snr"));

    // The namespace is declared last in "global", once, as an optional extension.
    const cJSON *global = cJSON_GetObjectItemCaseSensitive(doc.get(), "global");
    const cJSON *last = global->child;
    while (last->next) last = last->next;
    EXPECT_STREQ(last->string, "core:extensions");
    char *ext = cJSON_PrintUnformatted(last);
    EXPECT_STREQ(ext, R"([{"name":"sondrel","version":"1.0.0","optional":true}])");
    std::free(ext);
}

TEST(SigmfMeta, NoNamespaceWithoutAnnotations) {
    SegmentSpec empty = segment(nullptr, 0, 1e6, 50);
    for (const std::string &text : {meta(kCf32, false, {}, 0, 0, 0), meta(kCf32, false, {empty}, 0, 0, 0)}) {
        EXPECT_EQ(text.find("core:extensions"), std::string::npos);
        EXPECT_NE(text.find(R"("annotations":[])"), std::string::npos);
    }
}

}  // namespace
