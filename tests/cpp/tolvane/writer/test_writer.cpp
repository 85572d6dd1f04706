#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "capture_files.hpp"
#include "tolvane_core.h"
#include "wfm_keywords.h"
#include "wfm_writer_convert.hpp"
#include "wfm_writer_core.h"

namespace {

enum { kRaw = 0, kCsv = 1, kBlue = 2, kSigmf = 3 };
enum { kCf32 = 0, kCf64 = 1, kCi32 = 2, kCi16 = 3, kCi8 = 4 };
constexpr size_t kElem[] = {4, 8, 4, 2, 1};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

using Bytes = std::vector<unsigned char>;

// One stored component, decoded from the wire independently of the writer.
double component(const unsigned char *p, int stype, bool big_endian) {
    unsigned char b[8];
    const size_t n = kElem[stype];
    for (size_t i = 0; i < n; ++i) b[i] = p[big_endian ? n - 1 - i : i];
    switch (stype) {
        case kCf32: { float v; std::memcpy(&v, b, 4); return v; }
        case kCf64: { double v; std::memcpy(&v, b, 8); return v; }
        case kCi32: { int32_t v; std::memcpy(&v, b, 4); return v; }
        case kCi16: { int16_t v; std::memcpy(&v, b, 2); return v; }
        default: return static_cast<int8_t>(b[0]);
    }
}

std::vector<double> components(const Bytes &bytes, size_t offset, size_t count, int stype, bool big_endian) {
    std::vector<double> out;
    for (size_t i = 0; i < count; ++i) out.push_back(component(&bytes[offset + i * kElem[stype]], stype, big_endian));
    return out;
}

template <typename T>
T field(const Bytes &b, size_t at, bool big_endian) {
    unsigned char tmp[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) tmp[i] = b[at + (big_endian ? sizeof(T) - 1 - i : i)];
    T v;
    std::memcpy(&v, tmp, sizeof v);
    return v;
}

void expect_components(const std::vector<double> &got, const std::vector<double> &want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << i;
        } else {
            EXPECT_EQ(got[i], want[i]) << i;
        }
    }
}

// Components of the samples below as each wire type stores them: clipped at full
// scale, -1 and below at -S (never the most negative code), NaN as 0 for integers.
const cf32 kSamples[] = {{0.5f, -1.0f}, {2.0f, static_cast<float>(kNaN)}, {-3.0f, 0.1f}};
const std::vector<double> kExpected[] = {
    {0.5, -1.0, 2.0, kNaN, -3.0, static_cast<double>(0.1f)},
    {0.5, -1.0, 2.0, kNaN, -3.0, static_cast<double>(0.1f)},
    {1073741823, -2147483647, 2147483647, 0, -2147483647, 214748367},
    {16383, -32767, 32767, 0, -32767, 3276},
    {63, -127, 127, 0, -127, 12},
};

class WriterFiles : public CaptureDir {};

TEST_F(WriterFiles, BinaryCapturesStoreEveryTypeInBothByteOrders) {
    for (int ftype : {kRaw, kBlue, kSigmf}) {
        for (int stype = kCf32; stype <= kCi8; ++stype) {
            for (bool be : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "ftype " << ftype << " stype " << stype << " be " << be);
                const std::string p = path("cap" + std::to_string(stype) + (be ? "be" : "le") + ".sigmf-data");
                Writer *w = wfm_writer_create(p.c_str(), ftype, stype, be, 0, 0, 0.0, 0.0, 0.0, 0.0);
                ASSERT_NE(w, nullptr);
                EXPECT_EQ(wfm_writer_write(w, kSamples, 3), 3u);
                EXPECT_EQ(wfm_writer_peak(w), 3.0);  // the NaN leaves the peak alone
                ASSERT_EQ(wfm_writer_close(w), 0);
                const Bytes file = read_file(p);
                const size_t offset = ftype == kBlue ? 512 : 0;
                ASSERT_EQ(file.size(), offset + 6 * kElem[stype]);
                expect_components(components(file, offset, 6, stype, be), kExpected[stype]);
                if (ftype == kBlue) {
                    EXPECT_EQ(field<double>(file, 40, be), 6.0 * kElem[stype]);
                }
            }
        }
    }
}

// Any split of the samples into write calls gives the file of one call, across the
// writer's internal conversion chunks.
TEST_F(WriterFiles, ChunkedWritesEqualOneShot) {
    std::vector<cf32> samples(70001);
    uint32_t x = 7;
    for (cf32 &s : samples) {
        x = x * 1664525u + 1013904223u;
        s = {static_cast<float>(x >> 8) / 4194304.0f - 2.0f, static_cast<float>(x & 0xFFFF) / 32768.0f - 1.0f};
    }
    for (int stype : {kCf64, kCi16}) {
        const std::string one = path("one.blue"), split = path("split.blue");
        Writer *a = wfm_writer_create(one.c_str(), kBlue, stype, 1, 0, 0, 1e6, 0, 0, 0);
        ASSERT_EQ(wfm_writer_write(a, samples.data(), samples.size()), samples.size());
        Writer *b = wfm_writer_create(split.c_str(), kBlue, stype, 1, 0, 0, 1e6, 0, 0, 0);
        size_t done = 0;
        for (size_t step = 1; done < samples.size(); step = step * 7 % 40009 + 1) {
            const size_t n = std::min(step, samples.size() - done);
            ASSERT_EQ(wfm_writer_write(b, samples.data() + done, n), n);
            done += n;
        }
        EXPECT_EQ(wfm_writer_peak(a), wfm_writer_peak(b));
        ASSERT_EQ(wfm_writer_close(a), 0);
        ASSERT_EQ(wfm_writer_close(b), 0);
        const Bytes file = read_file(one);
        EXPECT_EQ(file, read_file(split));
        ASSERT_EQ(file.size(), 512 + samples.size() * 2 * kElem[stype]);
    }
    // The last sample sits where it belongs, after every chunk.
    const Bytes file = read_file(path("one.blue"));
    const size_t last = file.size() - 2 * kElem[kCi16];
    EXPECT_EQ(components(file, last, 2, kCi16, true),
              (std::vector<double>{std::trunc(std::clamp(samples.back().re, -1.0f, 1.0f) * 32767.0),
                                   std::trunc(std::clamp(samples.back().im, -1.0f, 1.0f) * 32767.0)}));
}

TEST_F(WriterFiles, BigEndianCi16HalfScale) {
    const std::string p = path("half.iq");
    Writer *w = wfm_writer_create(p.c_str(), kRaw, kCi16, 1, 0, 0, 0.0, 0.0, 0.0, 0.0);
    const cf32 s = {0.5f, -0.5f};
    wfm_writer_write(w, &s, 1);
    ASSERT_EQ(wfm_writer_close(w), 0);
    EXPECT_EQ(read_file(p), (Bytes{0x3F, 0xFF, 0xC0, 0x01}));
}

TEST_F(WriterFiles, CsvLinesPerTypeAndSidecarName) {
    const cf32 s[] = {{1.0f, -1.0f}, {0.25f, 2.0f}};
    const std::pair<int, std::string> cases[] = {
        {kCf32, "1.000000000,-1.000000000\n0.250000000,2.000000000\n"},
        {kCf64, "1,-1\n0.25,2\n"},
        {kCi32, "2147483647,-2147483647\n536870911,2147483647\n"},
        {kCi16, "32767,-32767\n8191,32767\n"},
        {kCi8, "127,-127\n31,127\n"},
    };
    for (const auto &[stype, text] : cases) {
        const std::string p = path("cap" + std::to_string(stype) + ".csv");
        Writer *w = wfm_writer_create(p.c_str(), kCsv, stype, 0, 0, 1, 1e6, 0.0, 0.0, 0.0);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(wfm_writer_write(w, s, 2), 2u);
        ASSERT_EQ(wfm_writer_close(w), 0);
        const Bytes file = read_file(p);
        EXPECT_EQ(std::string(file.begin(), file.end()), text);
        EXPECT_TRUE(std::filesystem::exists(p + ".sigmf-meta"));
    }
}

TEST_F(WriterFiles, SidecarNamesAndNoTemporaryLeftBehind) {
    Writer *raw = wfm_writer_create(path("x.iq").c_str(), kRaw, kCf32, 0, 0, 1, 0.0, 0.0, 0.0, 0.0);
    Writer *sigmf = wfm_writer_create(path("y.sigmf-data").c_str(), kSigmf, kCf32, 0, 0, 0, 0.0, 0.0, 0.0, 0.0);
    Writer *blue = wfm_writer_create(path("z.blue").c_str(), kBlue, kCf32, 0, 0, 1, 0.0, 0.0, 0.0, 0.0);
    Writer *plain = wfm_writer_create(path("w.iq").c_str(), kRaw, kCf32, 0, 0, 0x100, 0.0, 0.0, 0.0, 0.0);
    for (Writer *w : {raw, sigmf, blue, plain}) ASSERT_EQ(wfm_writer_close(w), 0);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"w.iq", "x.iq", "x.iq.sigmf-meta", "y.sigmf-data", "y.sigmf-meta",
                                                "z.blue"}));
}

TEST_F(WriterFiles, RefusedCreationsLeaveNoFile) {
    EXPECT_EQ(wfm_writer_create(path("a.sigmf").c_str(), kSigmf, kCf32, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(wfm_writer_create(path("b.iq").c_str(), kRaw, TOLVANE_STYPE_RF32, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(wfm_writer_create(path("b.blue").c_str(), kBlue, TOLVANE_STYPE_CU8, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(wfm_writer_create(path("c.iq").c_str(), 4, kCf32, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(wfm_writer_create(nullptr, kRaw, kCf32, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(wfm_writer_create(path("no/such/dir.iq").c_str(), kRaw, kCf32, 0, 0, 0, 0, 0, 0, 0), nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
    EXPECT_EQ(wfm_writer_open(nullptr, kRaw, kCf32, 0, 0, 0, 0, 0), nullptr);
}

TEST(WriterLevels, PeakClippingAndGain) {
    FILE *sink = std::fopen("/dev/null", "wb");
    ASSERT_NE(sink, nullptr);
    const cf32 loud = {2.0f, -3.0f};
    const cf32 quiet[] = {{0.5f, 0.5f}, {0.25f, -0.25f}, {0.1f, 0.0f}};

    Writer *ci8 = wfm_writer_open(sink, kRaw, kCi8, 0, 0, 0, 0, 0);
    wfm_writer_track_clipping(ci8, 1);
    wfm_writer_write(ci8, &loud, 1);
    wfm_writer_write(ci8, quiet, 3);
    EXPECT_EQ(wfm_writer_peak(ci8), 3.0);
    EXPECT_EQ(wfm_writer_get_clipped(ci8), 1);
    EXPECT_NEAR(wfm_writer_get_peak_dbfs(ci8), 9.5424, 1e-4);
    EXPECT_DOUBLE_EQ(wfm_writer_clip_fraction(ci8), 2.0 / 8.0);
    EXPECT_DOUBLE_EQ(wfm_writer_get_clip_fraction(ci8), 2.0 / 8.0);

    Writer *untracked = wfm_writer_open(sink, kRaw, kCi16, 0, 0, 0, 0, 0);
    wfm_writer_write(untracked, &loud, 1);
    EXPECT_EQ(wfm_writer_clip_fraction(untracked), 0.0);
    EXPECT_EQ(wfm_writer_get_clipped(untracked), 1);

    Writer *cf32w = wfm_writer_open(sink, kRaw, kCf32, 0, 0, 0, 0, 0);
    wfm_writer_track_clipping(cf32w, 1);
    wfm_writer_write(cf32w, &loud, 1);
    EXPECT_EQ(wfm_writer_get_clipped(cf32w), 0);
    EXPECT_EQ(wfm_writer_clip_fraction(cf32w), 0.0);

    Writer *silent = wfm_writer_open(sink, kRaw, kCi16, 0, 0, 0, 0, 0);
    wfm_writer_set_gain(silent, 0.0);
    wfm_writer_write(silent, &loud, 1);
    EXPECT_EQ(wfm_writer_peak(silent), 0.0);
    EXPECT_EQ(wfm_writer_get_peak_dbfs(silent), -HUGE_VAL);

    for (Writer *w : {ci8, untracked, cf32w, silent}) EXPECT_EQ(wfm_writer_close(w), 0);
    EXPECT_EQ(wfm_writer_peak(nullptr), 0.0);
    EXPECT_EQ(wfm_writer_clip_fraction(nullptr), 0.0);
    EXPECT_EQ(wfm_writer_close(nullptr), 0);
    EXPECT_EQ(wfm_writer_write(nullptr, &loud, 1), 0u);
    std::fclose(sink);
}

TEST_F(WriterFiles, AttenuationAndGainScaleTheCodes) {
    const std::string p = path("atten.iq");
    Writer *w = wfm_writer_create(p.c_str(), kRaw, kCi16, 0, 0, 0, 0, 0, 6.0206, 0);
    const cf32 s = {1.0f, -1.0f};
    wfm_writer_write(w, &s, 1);
    wfm_writer_set_gain(w, 0.25);
    wfm_writer_write(w, &s, 1);
    EXPECT_NEAR(wfm_writer_peak(w), 0.5, 1e-5);
    ASSERT_EQ(wfm_writer_close(w), 0);
    expect_components(components(read_file(p), 0, 4, kCi16, false), {16383, -16383, 8191, -8191});
}

// The BLUE layout after close: header, samples, padding, extended header.
TEST_F(WriterFiles, BlueCloseWritesMarkerKeywordAreaAndExtendedHeader) {
    for (bool be : {false, true}) {
        const std::string p = path(be ? "be.blue" : "le.blue");
        Writer *w = wfm_writer_create(p.c_str(), kBlue, kCi16, be, 0, 0, 2.4e6, 1.2e9, 0.0, 1700000000.0);
        ASSERT_NE(w, nullptr);
        // The header is on disk before any sample, for a follower; data_size says 0 until close.
        Bytes early = read_file(p);
        ASSERT_EQ(early.size(), 512u);
        EXPECT_EQ(field<double>(early, 40, be), 0.0);
        std::vector<cf32> samples(300, cf32{0.5f, -0.5f});
        ASSERT_EQ(wfm_writer_write(w, samples.data(), samples.size()), 300u);
        const char creator[] = "quennel";
        ASSERT_EQ(wfm_writer_add_keyword(w, "CREATOR", 'A', creator, 7), 0);
        const int32_t gains[] = {3, -4};
        ASSERT_EQ(wfm_writer_add_keyword(w, "GAINS", 'L', gains, 2), 0);
        ASSERT_EQ(wfm_writer_close(w), 0);

        const Bytes file = read_file(p);
        const size_t data_end = 512 + 300 * 4;
        const size_t ext_at = (data_end + 511) / 512 * 512;
        EXPECT_EQ(std::string(file.begin(), file.begin() + 12), be ? "BLUEIEEEIEEE" : "BLUEEEEIEEEI");
        EXPECT_EQ(field<double>(file, 40, be), 1200.0);
        EXPECT_EQ(field<double>(file, 32, be), 512.0);
        EXPECT_EQ(field<int32_t>(file, 24, be), static_cast<int32_t>(ext_at / 512));
        const std::string area(file.begin() + 164, file.begin() + 164 + field<int32_t>(file, 160, be));
        EXPECT_EQ(area, std::string("FREQ=1200000000\0CREATOR=quennel\0", 32));
        EXPECT_EQ(std::vector<unsigned char>(file.begin() + data_end, file.begin() + ext_at),
                  Bytes(ext_at - data_end, 0));
        const int32_t ext_size = field<int32_t>(file, 28, be);
        ASSERT_EQ(file.size(), ext_at + ext_size);

        std::vector<std::string> tags;
        for (size_t at = ext_at; at < file.size();) {
            KeywordEntry e{};
            size_t used = 0;
            ASSERT_EQ(wfm_kw_decode(&file[at], file.size() - at, be, &e, &used), 0);
            tags.push_back(e.tag);
            if (tags.back() == "FREQ" || tags.back() == "RF_FREQ") {
                EXPECT_EQ(*static_cast<double *>(e.data), 1.2e9);
            } else {
                EXPECT_EQ(static_cast<int32_t *>(e.data)[1], -4);
            }
            std::free(e.data);
            at += used;
        }
        EXPECT_EQ(tags, (std::vector<std::string>{"FREQ", "RF_FREQ", "GAINS"}));
    }
}

// A detached create refused because one of its two files cannot be made truncates
// neither: what was there stays, and nothing new is left behind.
TEST_F(WriterFiles, RefusedDetachedCreateLeavesEveryFileAsItWas) {
    enum State { absent, kept, folder };
    const struct {
        State header, payload;
    } cases[] = {{kept, folder}, {absent, folder}, {folder, kept}, {folder, absent}};
    const std::vector<unsigned char> keep = {'k', 'e', 'e', 'p'};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.header) + " " + std::to_string(c.payload));
        const std::pair<const char *, State> files[] = {{"d.blue", c.header}, {"d.det", c.payload}};
        for (const auto &[name, state] : files) {
            std::filesystem::remove_all(path(name));
            if (state == folder) std::filesystem::create_directory(path(name));
            if (state == kept) write_text(name, "keep");
        }
        EXPECT_EQ(wfm_writer_create_detached(path("d.blue").c_str(), kCi16, 0, 0, 1e6, 0.0, 0.0, 0.0), nullptr);
        for (const auto &[name, state] : files) {
            EXPECT_EQ(std::filesystem::exists(path(name)), state != absent) << name;
            if (state == kept) {
                EXPECT_EQ(read_file(path(name)), keep) << name;
            }
        }
    }
}

TEST_F(WriterFiles, DetachedBlueKeepsHeaderAndKeywordsBesideThePayload) {
    const std::string note(3000, 'n');  // far beyond the keyword area: the extended header
    for (bool be : {false, true}) {
        const std::string header = path(be ? "be.hdr" : "le.hdr");
        const std::string payload = path(be ? "be.det" : "le.det");
        Writer *w = wfm_writer_create_detached(header.c_str(), kCi16, be, 0, 2.4e6, 1.2e9, 0.0, 0.0);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(read_file(header).size(), 512u);  // on disk at once, for a follower
        std::vector<cf32> samples(300, cf32{0.5f, -0.5f});
        ASSERT_EQ(wfm_writer_write(w, samples.data(), samples.size()), 300u);
        ASSERT_EQ(wfm_writer_add_keyword(w, "NOTE", 'A', note.data(), note.size()), 0);
        ASSERT_EQ(wfm_writer_close(w), 0);

        const Bytes hcb = read_file(header);
        EXPECT_EQ(field<int32_t>(hcb, 12, be), 1);
        EXPECT_EQ(field<double>(hcb, 32, be), 0.0);
        EXPECT_EQ(field<double>(hcb, 40, be), 1200.0);
        EXPECT_EQ(field<int32_t>(hcb, 24, be), 1);  // right after the header block
        EXPECT_EQ(hcb.size(), 512u + static_cast<size_t>(field<int32_t>(hcb, 28, be)));
        const Bytes data = read_file(payload);
        ASSERT_EQ(data.size(), 1200u);
        expect_components(components(data, 0, 2, kCi16, be), {16383, -16383});

        Reader *r = tolvane_create(header.c_str(), 0, 0);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(tolvane_get_num_samples(r), 300u);
        EXPECT_EQ(tolvane_get_fc(r), 1.2e9);
        std::vector<cf32> back(400);
        EXPECT_EQ(tolvane_read(r, back.size(), back.data(), back.size()), 300u);
        EXPECT_EQ(back[299].re, 16383.0f / 32767.0f);
        std::string found;
        for (size_t i = 0; i < tolvane_num_keywords(r); ++i) {
            const KeywordEntry *e = tolvane_keyword(r, i);
            if (std::string(e->tag) == "NOTE") found.assign(static_cast<const char *>(e->data), e->count);
        }
        EXPECT_EQ(found, note);
        tolvane_destroy(r);
    }
    // The header cannot be the payload itself.
    EXPECT_EQ(wfm_writer_create_detached(path("x.det").c_str(), kCf32, 0, 0, 1.0, 0.0, 0.0, 0.0), nullptr);
    EXPECT_EQ(wfm_writer_create_detached(nullptr, kCf32, 0, 0, 1.0, 0.0, 0.0, 0.0), nullptr);
    EXPECT_EQ(wfm_writer_create_detached(path("y.hdr").c_str(), 5, 0, 0, 1.0, 0.0, 0.0, 0.0), nullptr);
}

TEST_F(WriterFiles, EmptyBlueCloseLeavesZeroDataSize) {
    const std::string p = path("empty.blue");
    Writer *w = wfm_writer_create(p.c_str(), kBlue, kCf32, 0, 1000, 0, 1e6, 0.0, 0.0, 0.0);
    ASSERT_EQ(field<double>(read_file(p), 40, false), 8000.0);  // declared at open
    ASSERT_EQ(wfm_writer_close(w), 0);
    const Bytes file = read_file(p);
    EXPECT_EQ(file.size(), 512u);
    EXPECT_EQ(field<double>(file, 40, false), 0.0);
    EXPECT_EQ(field<int32_t>(file, 160, false), 0);
    EXPECT_EQ(field<int32_t>(file, 24, false), 0);
}

TEST_F(WriterFiles, FullKeywordAreaMovesAsciiKeywordsToTheExtendedHeader) {
    const std::string p = path("kw.blue");
    Writer *w = wfm_writer_create(p.c_str(), kBlue, kCf32, 0, 0, 0, 0, 0, 0, 0);
    const std::string value(20, 'v');  // CREATOR=vvv...v plus NUL: 29 bytes, three fit in 92
    for (int i = 0; i < 4; ++i) ASSERT_EQ(wfm_writer_add_keyword(w, "CREATOR", 'A', value.data(), 20), 0);
    ASSERT_EQ(wfm_writer_close(w), 0);
    const Bytes file = read_file(p);
    EXPECT_EQ(field<int32_t>(file, 160, false), 87);
    const size_t ext_at = 512 * field<int32_t>(file, 24, false);
    KeywordEntry e{};
    size_t used = 0;
    ASSERT_EQ(wfm_kw_decode(&file[ext_at], file.size() - ext_at, 0, &e, &used), 0);
    EXPECT_STREQ(e.tag, "CREATOR");
    EXPECT_EQ(e.count, 20u);
    std::free(e.data);
    EXPECT_EQ(ext_at + used, file.size());
}

TEST(WriterKeywords, Refusals) {
    FILE *sink = std::fopen("/dev/null", "wb");
    Writer *raw = wfm_writer_open(sink, kRaw, kCf32, 0, 0, 0, 0, 0);
    const double v = 1.0;
    EXPECT_EQ(wfm_writer_add_keyword(raw, "NAME", 'D', &v, 1), -1);
    EXPECT_EQ(wfm_writer_add_keyword(nullptr, "NAME", 'D', &v, 1), -1);
    EXPECT_EQ(wfm_writer_close(raw), 0);

    FILE *blue_file = std::tmpfile();
    Writer *blue = wfm_writer_open(blue_file, kBlue, kCf32, 0, 0, 0, 0, 0);
    ASSERT_NE(blue, nullptr);
    EXPECT_EQ(wfm_writer_add_keyword(blue, "NAME", 'C', &v, 1), -1);
    EXPECT_EQ(wfm_writer_add_keyword(blue, "NAME", 'D', &v, 0), -1);
    EXPECT_EQ(wfm_writer_add_keyword(blue, "NAME", 'D', nullptr, 1), -1);
    EXPECT_EQ(wfm_writer_add_keyword(blue, nullptr, 'D', &v, 1), -1);
    // Counts whose byte size wraps or exceeds a record are refused before anything is read.
    EXPECT_EQ(wfm_writer_add_keyword(blue, "NAME", 'D', &v, UINT64_MAX / 4), -1);
    EXPECT_EQ(wfm_writer_add_keyword(blue, "CREATOR", 'A', "x", UINT64_MAX - 1), -1);
    EXPECT_EQ(wfm_writer_add_keyword(blue, "NAME", 'B', &v, uint64_t{1} << 31), -1);
    EXPECT_EQ(wfm_writer_close(blue), 0);
    std::fclose(blue_file);
    std::fclose(sink);
}

TEST(WriterBlueHeader, MustStartTheFile) {
    FILE *f = std::tmpfile();
    std::fputc('x', f);
    EXPECT_EQ(wfm_writer_open(f, kBlue, kCf32, 0, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(std::ftell(f), 1);  // nothing written
    std::fclose(f);
}

// A short write stores the whole samples it could and then nothing more, so no later
// sample lands shifted behind a partial one; close reports the failure.
TEST(WriterFailures, ShortWriteLatches) {
    char memory[20];
    FILE *f = fmemopen(memory, sizeof memory, "wb");
    ASSERT_NE(f, nullptr);
    setvbuf(f, nullptr, _IONBF, 0);
    Writer *w = wfm_writer_open(f, kRaw, kCf32, 0, 0, 0, 0, 0);
    const cf32 s[3] = {{1, 2}, {3, 4}, {5, 6}};
    EXPECT_EQ(wfm_writer_write(w, s, 3), 2u);
    EXPECT_EQ(wfm_writer_write(w, s, 1), 0u);
    EXPECT_EQ(wfm_writer_close(w), -1);
    std::fclose(f);
}

TEST(WriterFailures, UnpatchableBlueReportsOnlyAWrongDeclaredSize) {
    for (uint64_t declared : {2u, 0u}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        FILE *out = fdopen(fds[1], "wb");
        Writer *w = wfm_writer_open(out, kBlue, kCi16, 0, declared, 0, 0, 0);
        ASSERT_NE(w, nullptr);
        const cf32 s[2] = {{0.1f, 0.2f}, {0.3f, 0.4f}};
        EXPECT_EQ(wfm_writer_write(w, s, 2), 2u);
        EXPECT_EQ(wfm_writer_close(w), declared == 2 ? 0 : -1);
        std::fclose(out);
        unsigned char got[1024];
        EXPECT_EQ(read(fds[0], got, sizeof got), 512 + 8);
        close(fds[0]);
    }
}

}  // namespace

namespace {

// The vector kernel gives the scalar kernel's bytes, peak and clip count for every wire type.
TEST(WriterKernels, VectorMatchesScalar) {
    using tolvane::writer::Level;
    std::vector<float> values = {0.0f, -0.0f, 1.0f, -1.0f, std::nextafter(1.0f, 2.0f), std::nextafter(-1.0f, -2.0f),
                                 std::nextafter(1.0f, 0.0f), 0.5f, -0.5f, 1e-40f, -1e-40f,
                                 std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(), 1e30f, -1e30f};
    for (double scale : {127.0, 32767.0, 2147483647.0})  // just around every code boundary
        for (int k = -3; k <= 3; ++k)
            for (float d : {-1e-7f, 0.0f, 1e-7f}) values.push_back(static_cast<float>(k / scale) + d);
    uint32_t x = 12345;
    for (int i = 0; i < 1000; ++i) {
        x = x * 1664525u + 1013904223u;
        values.push_back(static_cast<float>(x) / 2147483648.0f - 1.0f);  // [-1, 1)
        values.push_back((static_cast<float>(x >> 8) / 8388608.0f - 1.0f) * 2.5f);
    }
    for (int stype = kCf32; stype <= kCi8; ++stype) {
        for (float gain : {1.0f, 0.7f, 3.0f}) {
            for (size_t n : {values.size(), values.size() - 1, size_t{3}}) {
                const size_t bytes = n * kElem[stype];
                Bytes fast(bytes), reference(bytes);
                Level a{gain, stype >= kCi32, 0.0f, 0}, b = a;
                tolvane::writer::convert_components(stype, values.data(), n, a, fast.data());
                tolvane::writer::convert_components_scalar(stype, values.data(), n, b, reference.data());
                EXPECT_EQ(fast, reference) << "stype " << stype << " gain " << gain << " n " << n;
                EXPECT_EQ(a.peak, b.peak);
                EXPECT_EQ(a.clipped, b.clipped);
            }
        }
    }
}

// Offset binary: v h + h rounded to the nearest code (halves up), clipped at both ends, and
// every code read back by (c - h) / h writes the same code again.
TEST(WriterKernels, OffsetBinaryCodesRoundAndClip) {
    using tolvane::writer::offset_code;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float v;
        unsigned cu8, cu16;
    };
    const Case cases[] = {
        {0.0f, 128, 32768},   {-0.0f, 128, 32768},       {1.0f, 255, 65535},       {-1.0f, 0, 0},
        {2.0f, 255, 65535},   {-1e30f, 0, 0},            {nan, 128, 32768},        {0.5f, 191, 49151},
        {-0.5f, 64, 16384},   {1.0f / 255, 128, 32896},  {-1.0f / 255, 127, 32639}, {0.25f / 127.5f, 128, 32832},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(offset_code<uint8_t>(c.v, 127.5), c.cu8) << c.v;
        EXPECT_EQ(offset_code<uint16_t>(c.v, 32767.5), c.cu16) << c.v;
    }
    for (unsigned code = 0; code < 65536; ++code) {
        const auto back = [code](double half) {
            return static_cast<float>((static_cast<double>(code) - half) / half);
        };
        if (code < 256) {
            ASSERT_EQ(offset_code<uint8_t>(back(127.5), 127.5), code);
        }
        ASSERT_EQ(offset_code<uint16_t>(back(32767.5), 32767.5), code);
    }
}

}  // namespace
