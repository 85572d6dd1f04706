// The capture reader: detection by content, metadata, conversion of every wire type in
// both byte orders, and damaged or lying headers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "blue_fixture.hpp"
#include "capture_files.hpp"
#include "reader_ptr.hpp"

using namespace fixture;

namespace {

ReaderPtr open(const std::string &path, int32_t stype = 0, int32_t endian = 0) {
    return ReaderPtr(tolvane_create(path.c_str(), stype, endian));
}

std::vector<cf32> read_all(Reader *r, size_t chunk = 3) {
    std::vector<cf32> all, buf(chunk);
    while (size_t got = tolvane_read(r, chunk, buf.data(), buf.size())) all.insert(all.end(), buf.begin(), buf.begin() + got);
    return all;
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Components of three samples, in codes of each wire type, and their unit-scale values.
struct WireCase {
    int stype;
    std::vector<double> codes;
    std::vector<float> expected;
};

const std::vector<WireCase> kWireCases = {
    {0, {0.25, -1.5, 3.0e-3, 1.0, -0.0, 7.0}, {0.25f, -1.5f, 3.0e-3f, 1.0f, -0.0f, 7.0f}},
    {1, {0.1, -2.0, 1e-300, 1.0, 0.5, -0.5}, {0.1f, -2.0f, 0.0f, 1.0f, 0.5f, -0.5f}},
    {2, {2147483647, -2147483648.0, 1, 0, -1, 1073741824}, {1.0f, -1.0f, 4.656613e-10f, 0.0f, -4.656613e-10f, 0.5f}},
    {3, {32767, -32768, 16383, 0, -1, 1}, {1.0f, -1.0000305f, 0.49998474f, 0.0f, -3.0518509e-05f, 3.0518509e-05f}},
    {4, {127, -128, 64, 0, -1, 1}, {1.0f, -1.007874f, 0.503937f, 0.0f, -0.007874016f, 0.007874016f}},
};

void expect_samples(const std::vector<cf32> &got, const std::vector<float> &expected) {
    ASSERT_EQ(got.size() * 2, expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_FLOAT_EQ(got[i].re, expected[2 * i]) << "sample " << i;
        EXPECT_FLOAT_EQ(got[i].im, expected[2 * i + 1]) << "sample " << i;
    }
}

class ReaderTest : public CaptureDir {};

TEST_F(ReaderTest, RawFilesOfEveryTypeAndByteOrderConvertToUnitScale) {
    for (const WireCase &c : kWireCases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::to_string(c.stype) + (big ? " be" : " le"));
            Bytes b;
            for (double v : c.codes) put_component(b, c.stype, v, big);
            auto r = open(write_file("x.iq", b), c.stype, big);
            ASSERT_TRUE(r);
            EXPECT_EQ(tolvane_get_file_type(r.get()), TOLVANE_FTYPE_RAW);
            EXPECT_EQ(tolvane_get_endian(r.get()), big ? TOLVANE_ENDIAN_BE : TOLVANE_ENDIAN_LE);
            EXPECT_EQ(tolvane_get_num_samples(r.get()), 3u);
            expect_samples(read_all(r.get(), 2), c.expected);
        }
    }
}

// Long captures of every wire type and byte order, read in calls of irregular sizes across
// the reader's internal blocks: every sample is its code at unit scale, bit for bit (integer
// codes times the unit in double, rounded once to float).
TEST_F(ReaderTest, LongCapturesConvertEverySampleExactlyWhateverTheCallSizes) {
    constexpr size_t kSamples = 150003;
    const double units[] = {1.0, 1.0, 1.0 / 2147483647, 1.0 / 32767, 1.0 / 127};
    const double spans[] = {3.0, 3.0, 2147483647.0, 32767.0, 127.0};
    const size_t calls[] = {1, 70001, 65536, 3, 65537, 99999};
    for (int stype = 0; stype < 5; ++stype) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::to_string(stype) + (big ? " be" : " le"));
            Bytes b;
            std::vector<float> expected;
            for (size_t i = 0; i < 2 * kSamples; ++i) {
                // Codes over the whole range of the type, both signs, from a simple recurrence.
                const double x = std::sin(0.37 * static_cast<double>(i) + stype);
                const double code = stype < 2 ? x * spans[stype] : std::round(x * spans[stype]) + 0.0;  // +0, as on the wire
                put_component(b, stype, code, big);
                expected.push_back(stype == 0   ? static_cast<float>(code)
                                   : stype == 1 ? static_cast<float>(code)
                                                : static_cast<float>(code * units[stype]));
            }
            auto r = open(write_file("long.iq", b), stype, big);
            ASSERT_TRUE(r);
            std::vector<cf32> got(kSamples);
            size_t done = 0;
            for (size_t call = 0; done < kSamples; ++call) {
                const size_t n = calls[call % std::size(calls)];
                const size_t read = tolvane_read(r.get(), n, got.data() + done, kSamples - done);
                ASSERT_EQ(read, std::min(n, kSamples - done));
                done += read;
            }
            EXPECT_EQ(std::memcmp(got.data(), expected.data(), expected.size() * sizeof(float)), 0);
            EXPECT_EQ(tolvane_read(r.get(), 5, got.data(), 5), 0u);
        }
    }
}

// Reads of a million samples and more are shared between threads; they must give exactly
// what small reads give, stop at a partial last sample or at the declared payload, and leave
// the stream where the next read, small or large, continues.
TEST_F(ReaderTest, LargeReadsEqualSmallReads) {
    constexpr size_t kSamples = (size_t{1} << 21) + 70001;
    struct Case {
        int stype;
        bool big;
        bool blue;  // a BLUE capture with an extended header after its samples
    };
    const Case cases[] = {{0, false, false}, {1, false, false}, {2, false, false}, {3, false, false},
                          {4, false, false}, {3, true, false},  {3, false, true},  {0, false, true}};
    uint32_t x = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.stype) + (c.big ? " be" : " le") + (c.blue ? " blue" : " raw"));
        const size_t stride = complex_stride(c.stype);
        Bytes b = c.blue ? hcb(c.stype, c.big, kSamples, 0.0, 1e9) : Bytes{};
        const size_t payload = b.size();
        b.resize(payload + kSamples * stride + 1);  // and a partial sample
        for (size_t i = payload; i < b.size(); ++i) b[i] = static_cast<unsigned char>((x = x * 1664525u + 1013904223u) >> 24);
        if (c.blue) append_extended_header(b, kw_record("NAME", 'A', "x", 1, c.big), c.big);
        const std::string p = write_file(c.blue ? "large.blue" : "large.iq", b);

        auto small = open(p, c.stype, c.big);
        const std::vector<cf32> expected = read_all(small.get(), 65537);
        ASSERT_EQ(expected.size(), kSamples);

        auto large = open(p, c.stype, c.big);
        std::vector<cf32> got(kSamples + 10);
        size_t done = tolvane_read(large.get(), 3, got.data(), got.size());  // through the stream's buffer
        done += tolvane_read(large.get(), (size_t{1} << 20) + 7, got.data() + done, got.size() - done);
        done += tolvane_read(large.get(), 5, got.data() + done, got.size() - done);
        done += tolvane_read(large.get(), got.size(), got.data() + done, got.size() - done);
        ASSERT_EQ(done, kSamples);
        EXPECT_EQ(std::memcmp(got.data(), expected.data(), kSamples * sizeof(cf32)), 0);
        EXPECT_EQ(tolvane_read(large.get(), got.size(), got.data(), got.size()), 0u);
        tolvane_reset(large.get());
        ASSERT_EQ(tolvane_read(large.get(), got.size(), got.data(), got.size()), kSamples);
        EXPECT_EQ(std::memcmp(got.data(), expected.data(), kSamples * sizeof(cf32)), 0);
    }
}

TEST_F(ReaderTest, BlueCapturesOfEveryTypeAndByteOrderCarryTheirMetadata) {
    for (const WireCase &c : kWireCases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(std::to_string(c.stype) + (big ? " be" : " le"));
            Bytes b = hcb(c.stype, big, 3, 2.4e6, 1.2e9, 1.7e9);
            for (double v : c.codes) put_component(b, c.stype, v, big);
            auto r = open(write_file("x.tmp", b), 0, 0);  // the hints do not matter
            ASSERT_TRUE(r);
            ReaderInfo info;
            tolvane_info(r.get(), &info);
            EXPECT_EQ(info.file_type, TOLVANE_FTYPE_BLUE);
            EXPECT_EQ(info.sample_type, c.stype);
            EXPECT_EQ(info.mode, TOLVANE_MODE_COMPLEX);
            EXPECT_EQ(info.endian, big ? TOLVANE_ENDIAN_BE : TOLVANE_ENDIAN_LE);
            EXPECT_DOUBLE_EQ(info.fs, 2.4e6);
            EXPECT_EQ(info.fs_source, TOLVANE_FS_XDELTA);
            EXPECT_EQ(info.fc, 1.2e9);
            EXPECT_EQ(info.fc_source, TOLVANE_FC_FREQ);
            EXPECT_EQ(info.t0, 1.7e9);
            EXPECT_EQ(info.t0_source, TOLVANE_T0_TIMECODE);
            EXPECT_EQ(info.num_samples, 3u);
            EXPECT_EQ(info.trailing_bytes, 0u);
            expect_samples(read_all(r.get()), c.expected);
            tolvane_reset(r.get());
            expect_samples(read_all(r.get(), 100), c.expected);
        }
    }
}

TEST_F(ReaderTest, HeaderFieldsAreExposedInHostOrder) {
    for (bool big : {false, true}) {
        Bytes b = hcb(3, big, 0, 1000.0, 0.0, 0.0);
        patch<int16_t>(b, blue::kInlet, -7, big);
        patch<double>(b, blue::kOutbytes + 7 * 8, 2.5, big);
        auto r = open(write_file("h.blue", b));
        ASSERT_TRUE(r);
        ASSERT_EQ(tolvane_num_header_fields(r.get()), 26u);
        const char *names[] = {"version", "head_rep", "data_rep", "detached", "protected", "pipe", "ext_start",
                               "ext_size", "data_start", "data_size", "type", "format", "flagmask", "timecode",
                               "inlet", "outlets", "outmask", "pipeloc", "pipesize", "in_byte", "out_byte",
                               "outbytes", "keylength", "xstart", "xdelta", "xunits"};
        for (size_t i = 0; i < 26; ++i) EXPECT_STREQ(tolvane_header_tag(r.get(), i), names[i]);
        EXPECT_EQ(tolvane_header_field(r.get(), 26), nullptr);
        const KeywordEntry *rep = tolvane_find_header_field(r.get(), "head_rep");
        ASSERT_NE(rep, nullptr);
        EXPECT_EQ(rep->type, 'A');
        EXPECT_EQ(std::memcmp(rep->data, big ? "IEEE" : "EEEI", 4), 0);
        const KeywordEntry *inlet = tolvane_find_header_field(r.get(), "inlet");
        EXPECT_EQ(inlet->type, 'I');
        EXPECT_EQ(*static_cast<const int16_t *>(inlet->data), -7);
        const KeywordEntry *outbytes = tolvane_find_header_field(r.get(), "outbytes");
        EXPECT_EQ(outbytes->count, 8u);
        EXPECT_EQ(static_cast<const double *>(outbytes->data)[7], 2.5);
        EXPECT_EQ(*static_cast<const double *>(tolvane_find_header_field(r.get(), "xdelta")->data), 1e-3);
        EXPECT_EQ(*static_cast<const int32_t *>(tolvane_find_header_field(r.get(), "type")->data), 1000);
        EXPECT_EQ(tolvane_find_header_field(r.get(), "FREQ"), nullptr);
    }
}

TEST_F(ReaderTest, DetectionGoesByContentThenByName) {
    struct Case {
        const char *name;
        std::string content;
        int32_t ftype;
        uint64_t samples;
    };
    const Bytes blue = [] {
        Bytes b = hcb(0, false, 1);
        put<float>(b, 1.0f, false);
        put<float>(b, 2.0f, false);
        return b;
    }();
    const Case cases[] = {
        {"capture.dat", "\r\n0.5,-0.5\n1, 2\n", TOLVANE_FTYPE_CSV, 2},
        {"capture.csv", std::string(blue.begin(), blue.end()), TOLVANE_FTYPE_BLUE, 1},
        {"x.csv", "", TOLVANE_FTYPE_CSV, 0},
        {"x.bin", "", TOLVANE_FTYPE_RAW, 0},
        {"header.csv", "I,Q\n1,2\n", TOLVANE_FTYPE_CSV, 0},
        {"header.dat", "I,Q\n1,2\n", TOLVANE_FTYPE_RAW, 1},
        {"spaced.txt", "  1e-3 \t,\t-2 \n", TOLVANE_FTYPE_CSV, 1},
        {"three.txt", "1,2,3\n", TOLVANE_FTYPE_RAW, 0},
        {"nul.txt", std::string("1,2\n\0\0\0\0", 8), TOLVANE_FTYPE_RAW, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = open(write_text(c.name, c.content));
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_get_file_type(r.get()), c.ftype);
        EXPECT_EQ(tolvane_get_num_samples(r.get()), c.samples);
    }
}

TEST_F(ReaderTest, RawPartialSampleIsTrailingNeverRead) {
    Bytes b;
    put<float>(b, 1.0f, false);
    put<float>(b, 2.0f, false);
    b.push_back(9);
    b.push_back(9);
    auto r = open(write_file("x.bin", b));
    EXPECT_EQ(tolvane_get_num_samples(r.get()), 1u);
    EXPECT_EQ(tolvane_get_trailing_bytes(r.get()), 2u);
    cf32 out[4];
    EXPECT_EQ(tolvane_read(r.get(), 4, out, 4), 1u);
    EXPECT_EQ(tolvane_read(r.get(), 4, out, 4), 0u);
    EXPECT_EQ(tolvane_read(r.get(), 4, out, 0), 0u);
}

TEST_F(ReaderTest, CsvRowsScaleByHintAndStopAtTheFirstBadRow) {
    auto r = open(write_text("x.csv", "32767, -32767\n16384 ,0\n\n  1 , 1\nbad,row\n5,5\n"), 3);
    ASSERT_TRUE(r);
    cf32 out[8];
    ASSERT_EQ(tolvane_read(r.get(), 1, out, 8), 1u);
    EXPECT_EQ(out[0].re, 1.0f);
    EXPECT_EQ(out[0].im, -1.0f);
    // Counting does not move the read position.
    EXPECT_EQ(tolvane_get_num_samples(r.get()), 3u);
    ASSERT_EQ(tolvane_read(r.get(), 8, out, 8), 2u);
    EXPECT_EQ(out[0].re, static_cast<float>(16384 * (1.0 / 32767)));
    EXPECT_EQ(out[1].im, static_cast<float>(1.0 / 32767));
    EXPECT_EQ(tolvane_read(r.get(), 8, out, 8), 0u);
    EXPECT_EQ(tolvane_read(r.get(), 8, out, 8), 0u);
    tolvane_reset(r.get());
    EXPECT_EQ(tolvane_read(r.get(), 8, out, 8), 3u);
}

TEST_F(ReaderTest, BlueDeclaredSizeBoundsReading) {
    Bytes b = hcb(3, false, 0);
    for (int i = 0; i < 10; ++i) put<int16_t>(b, static_cast<int16_t>(i), false);
    patch<double>(b, blue::kDataSize, 9.0, false);  // two whole samples and a byte
    auto r = open(write_file("x.blue", b));
    EXPECT_EQ(tolvane_get_num_samples(r.get()), 2u);
    EXPECT_EQ(tolvane_get_trailing_bytes(r.get()), 1u);
    EXPECT_EQ(read_all(r.get()).size(), 2u);
}

TEST_F(ReaderTest, ScalarBlueHasZeroImaginaryParts) {
    Bytes b = hcb(3, true, 0);
    b[blue::kFormat] = 'S';
    for (int16_t v : {32767, -16384, 0}) put<int16_t>(b, v, true);
    patch<double>(b, blue::kDataSize, 6.0, true);
    auto r = open(write_file("s.blue", b));
    ASSERT_TRUE(r);
    EXPECT_EQ(tolvane_get_mode(r.get()), TOLVANE_MODE_SCALAR);
    EXPECT_EQ(tolvane_get_num_samples(r.get()), 3u);
    const auto got = read_all(r.get());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].re, 1.0f);
    EXPECT_EQ(got[1].re, static_cast<float>(-16384 * (1.0 / 32767)));
    for (const cf32 &s : got) EXPECT_EQ(s.im, 0.0f);
}

// A header whose data_size is missing, damaged or 0 still gives the samples the file
// holds, stopping before an extended header; a data_start that is no file offset leaves
// the payload where the header control block ends.
TEST_F(ReaderTest, UntrustedHeaderNumbers) {
    struct Case {
        const char *what;
        double data_size, data_start, timecode, xdelta;
        uint64_t samples, reads;
        int32_t t0_source, fs_source;
    };
    const Case cases[] = {
        {"zero size", 0.0, 512, 0, 0, 128, 128, 0, 0},
        {"NaN size", kNan, 512, 0, 0, 128, 128, 0, 0},
        {"negative size", -8.0, 512, 0, 0, 128, 128, 0, 0},
        {"infinite size", kInf, 512, 0, 0, 128, 128, 0, 0},
        {"huge size", 1e300, 512, 0, 0, 128, 128, 0, 0},
        {"size running into the extended header", 1e6, 512, 0, 0, 128, 128, 0, 0},
        {"timecode of 1970", 8.0, 512, 631152000.0, 0, 2, 2, 1, 0},
        {"NaN timecode", 8.0, 512, kNan, kNan, 2, 2, 0, 0},
        {"infinite timecode", 8.0, 512, -kInf, 1e-320, 2, 2, 0, 0},
        {"NaN data_start", 8.0, kNan, 0, 0, 2, 2, 0, 0},
        {"negative data_start", 8.0, -512.0, 0, 0, 2, 2, 0, 0},
        {"infinite data_start", 8.0, kInf, 0, 0, 2, 2, 0, 0},
        {"huge data_start", 8.0, 1e30, 0, 0, 2, 2, 0, 0},
        {"data_start past the end", 8.0, 4096.0, 0, 0, 0, 0, 0, 0},  // declares 2, holds none
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = hcb(3, false, 0);
        patch<double>(b, blue::kDataSize, c.data_size, false);
        patch<double>(b, blue::kDataStart, c.data_start, false);
        patch<double>(b, blue::kTimecode, c.timecode, false);
        patch<double>(b, blue::kXdelta, c.xdelta, false);
        for (int i = 0; i < 256; ++i) put<int16_t>(b, 100, false);  // up to the extended header
        append_extended_header(b, kw_record("NOTE", 'A', "ext bytes", 9, false), false);
        auto r = open(write_file("u.blue", b));
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_get_num_samples(r.get()), c.samples);
        EXPECT_EQ(tolvane_get_t0_source(r.get()), c.t0_source);
        EXPECT_EQ(tolvane_get_t0(r.get()), 0.0);
        EXPECT_EQ(tolvane_get_fs_source(r.get()), c.fs_source);
        EXPECT_EQ(tolvane_get_fs(r.get()), 0.0);
        const auto got = read_all(r.get());
        EXPECT_EQ(got.size(), c.reads);
        for (const cf32 &s : got) EXPECT_EQ(s.re, static_cast<float>(100 * (1.0 / 32767)));
    }
}

TEST_F(ReaderTest, DamagedHeadersAreRefused) {
    Bytes good = hcb(0, false, 0);
    Bytes short_header(good.begin(), good.begin() + 511);
    Bytes bad_mode = good, bad_element = good;
    bad_mode[blue::kFormat] = 'X';
    bad_element[blue::kFormat + 1] = 'X';
    EXPECT_FALSE(open(write_file("a.blue", short_header)));
    EXPECT_FALSE(open(write_file("b.blue", bad_mode)));
    EXPECT_FALSE(open(write_file("c.blue", bad_element)));
    EXPECT_FALSE(open(path("missing.blue")));
    EXPECT_FALSE(open(dir_));
    EXPECT_FALSE(tolvane_create(nullptr, 0, 0));
    EXPECT_FALSE(open(write_file("d.bin", {1, 2, 3}), 14));
    EXPECT_TRUE(open(write_file("e.blue", good)));
}

TEST_F(ReaderTest, KeywordAreaEntries) {
    struct Case {
        const char *what;
        std::string area;
        int32_t keylength;
        std::vector<std::pair<std::string, std::string>> keywords;
    };
    const std::string full(92, 'Z');
    const Case cases[] = {
        {"text and empty value", std::string("FREQ=1e9\0NAME=\0", 15), 15, {{"FREQ", "1e9"}, {"NAME", std::string(1, '\0')}}},
        {"entries without = or tag", std::string("=x\0JUNK\0\0A=b=c\0", 15), 15, {{"A", "b=c"}}},
        {"negative length", std::string("FREQ=1\0", 7), -5, {}},
        {"length capped at the area", "K=" + full.substr(2), 200, {{"K", full.substr(2)}}},
        {"empty value at the end of a full area", full.substr(0, 91) + "=", 92, {{full.substr(0, 91), std::string(1, '\0')}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = hcb(0, true, 0);
        std::fill(b.begin() + blue::kXstart, b.begin() + blue::kXstart + 8, 'Y');  // must never leak in
        set_keyword_area(b, c.area, c.keylength, true);
        auto r = open(write_file("k.blue", b));
        ASSERT_TRUE(r);
        ASSERT_EQ(tolvane_num_keywords(r.get()), c.keywords.size());
        for (size_t i = 0; i < c.keywords.size(); ++i) {
            const KeywordEntry *e = tolvane_keyword(r.get(), i);
            EXPECT_EQ(e->tag, c.keywords[i].first);
            EXPECT_EQ(e->type, 'A');
            EXPECT_EQ(std::string(static_cast<const char *>(e->data), e->count), c.keywords[i].second);
        }
    }
}

TEST_F(ReaderTest, CentreFrequencyFromKeywords) {
    struct Case {
        const char *what;
        std::string area;
        bool typed_freq;
        double fc;
        int32_t source;
    };
    const Case cases[] = {
        {"typed keyword beats text", std::string("FREQ=1e9\0", 9), true, 2e9, TOLVANE_FC_FREQ},
        {"text only", std::string("FREQ=1e9\0", 9), false, 1e9, TOLVANE_FC_FREQ},
        {"later tag", std::string("RF_FREQ=5\0", 10), false, 5.0, TOLVANE_FC_RF_FREQ},
        {"text that is no number", std::string("FREQ=abc\0F_C=7 \0", 16), false, 7.0, TOLVANE_FC_F_C},
        {"number with junk", std::string("FREQ=1e9x\0", 10), false, 0.0, TOLVANE_FC_NONE},
        {"last text wins", std::string("CENTER_FREQ=1\0CENTER_FREQ=2\r\n\0", 30), false, 2.0, TOLVANE_FC_CENTER_FREQ},
    };
    for (bool big : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            Bytes b = hcb(0, big, 0);
            set_keyword_area(b, c.area, static_cast<int32_t>(c.area.size()), big);
            if (c.typed_freq) {
                const double v = 2e9;
                append_extended_header(b, kw_record("FREQ", 'D', &v, 1, big), big);
            }
            auto r = open(write_file("f.blue", b));
            ASSERT_TRUE(r);
            EXPECT_EQ(tolvane_get_fc(r.get()), c.fc);
            EXPECT_EQ(tolvane_get_fc_source(r.get()), c.source);
        }
    }
}

TEST_F(ReaderTest, ExtendedHeaderRecordsAndLyingLengths) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "be" : "le");
        const int16_t pair[] = {1, 2};
        const int32_t one = 7;
        Bytes records = kw_record("PAIR", 'I', pair, 2, big);
        Bytes skipped = kw_record("ODD", 'L', &one, 1, big);
        skipped[7] = 'C';  // unsupported type: stepped over
        records.insert(records.end(), skipped.begin(), skipped.end());
        Bytes last = kw_record("LAST", 'L', &one, 1, big);
        records.insert(records.end(), last.begin(), last.end());
        Bytes liar = kw_record("LIAR", 'L', &one, 1, big);
        store_field<int32_t>(liar.data(), 4096, big);  // runs past the extended header
        records.insert(records.end(), liar.begin(), liar.end());

        Bytes b = hcb(2, big, 1);
        put<int32_t>(b, 5, big);
        put<int32_t>(b, 6, big);
        append_extended_header(b, records, big);
        auto r = open(write_file("e.blue", b));
        ASSERT_TRUE(r);
        ASSERT_EQ(tolvane_num_keywords(r.get()), 2u);
        const KeywordEntry *p = tolvane_find_keyword(r.get(), "PAIR");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->count, 2u);
        EXPECT_EQ(static_cast<const int16_t *>(p->data)[1], 2);
        EXPECT_STREQ(tolvane_keyword_tag(r.get(), 1), "LAST");
        EXPECT_EQ(tolvane_keyword_tag(r.get(), 2), nullptr);
        EXPECT_EQ(read_all(r.get()).size(), 1u);
    }
}

TEST_F(ReaderTest, ExtendedHeaderPlacementIsCheckedAgainstTheFile) {
    struct Case {
        const char *what;
        int32_t ext_start, ext_size;
        size_t keywords;
    };
    const Case cases[] = {
        {"size beyond the file", 2, 1 << 30, 1},
        {"start beyond 4 GiB", 0x7fffffff, 24, 0},
        {"negative start", -1, 24, 0},
        {"size of 7", 2, 7, 0},
        {"negative size", 2, -24, 0},
        {"zero start", 0, 24, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const double v = 3.0;
        Bytes b = hcb(0, false, 1);
        put<float>(b, 1.0f, false);
        put<float>(b, 1.0f, false);
        append_extended_header(b, kw_record("FREQ", 'D', &v, 1, false), false);
        patch<int32_t>(b, blue::kExtStart, c.ext_start, false);
        patch<int32_t>(b, blue::kExtSize, c.ext_size, false);
        auto r = open(write_file("p.blue", b));
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_num_keywords(r.get()), c.keywords);
    }
}

TEST_F(ReaderTest, DetachedCapturesByPayloadOrByHeader) {
    Bytes det;
    for (int16_t v : {32767, 0, 0, -32767}) put<int16_t>(det, v, true);
    write_file("cap.det", det);
    ASSERT_EQ(write_blue_header(path("cap.prm").c_str(), 3, 1, 2, 1, 1e3, 5e6, 0.0, 0.0), 0);
    const std::vector<float> expected = {1, 0, 0, -1};
    for (const char *name : {"cap.det", "cap.prm"}) {
        SCOPED_TRACE(name);
        auto r = open(path(name));
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_get_file_type(r.get()), TOLVANE_FTYPE_BLUE);
        EXPECT_EQ(tolvane_get_fc(r.get()), 5e6);
        EXPECT_EQ(tolvane_get_num_samples(r.get()), 2u);
        expect_samples(read_all(r.get()), expected);
    }
    // .hdr is preferred over .prm
    ASSERT_EQ(write_blue_header(path("cap.hdr").c_str(), 3, 1, 1, 1, 1e3, 0.0, 0.0, 0.0), 0);
    EXPECT_EQ(tolvane_get_num_samples(open(path("cap.det")).get()), 1u);
    // A detached capture never consults data_start: a NaN there refuses nothing.
    write_file("nan.det", det);
    Bytes nan_header = hcb(3, true, 2, 1e3, 0.0, 0.0, 1);
    patch<double>(nan_header, blue::kDataStart, kNan, true);
    write_file("nan.hdr", nan_header);
    for (const char *name : {"nan.det", "nan.hdr"}) {
        SCOPED_TRACE(name);
        auto r = open(path(name));
        ASSERT_TRUE(r);
        expect_samples(read_all(r.get()), expected);
    }
    EXPECT_FALSE(open(write_file("lonely.det", det)));
    write_file("short.hdr", Bytes(100, 0));
    EXPECT_FALSE(open(write_file("short.det", det)));
}

// A capture whose writer died before writing all it declared counts what is present, and
// tells the declared count apart; attached and detached alike.
TEST_F(ReaderTest, CutBlueCapturesCountWhatIsPresent) {
    struct Case {
        const char *name;
        bool detached;
        uint64_t declared;  // in the header; 0 declares none
        size_t present;     // whole ci16 samples in the file, then one byte of the next
        uint64_t num_samples, declared_samples;
    };
    const Case cases[] = {
        {"cut attached", false, 1000, 400, 400, 1000},  {"cut detached", true, 1000, 300, 300, 1000},
        {"whole attached", false, 400, 400, 400, 400},  {"longer than declared", false, 300, 400, 300, 300},
        {"nothing declared", false, 0, 250, 250, 250},  {"cut to nothing", true, 1000, 0, 0, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes samples;
        for (size_t i = 0; i < 2 * c.present; ++i) put<int16_t>(samples, static_cast<int16_t>(i), false);
        samples.push_back(7);
        std::string opened;
        if (c.detached) {
            write_file("cut.det", samples);
            opened = write_file("cut.hdr", hcb(3, false, c.declared, 0.0, 0.0, 0.0, 1, 0.0));
        } else {
            Bytes b = hcb(3, false, c.declared);
            b.insert(b.end(), samples.begin(), samples.end());
            opened = write_file("cut.blue", b);
        }
        auto r = open(opened);
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_get_num_samples(r.get()), c.num_samples);
        EXPECT_EQ(tolvane_get_declared_samples(r.get()), c.declared_samples);
        EXPECT_EQ(read_all(r.get(), 64).size(), c.num_samples);
        EXPECT_EQ(tolvane_get_error(r.get()), 0);
    }
}

// Interleaved channels: each chosen channel reads its own samples, whole frames only, and the
// choices that cannot be read are refused saying why.
TEST_F(ReaderTest, SigmfChannelsAreReadOneAtATime) {
    write_text("ch.sigmf-meta", R"({"global":{"core:datatype":"ci8","core:num_channels":3}})");
    Bytes frames;
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c) frames.insert(frames.end(), {static_cast<unsigned char>(10 * c + k), 127});
    frames.push_back(1);  // a partial frame
    const std::string data = write_file("ch.sigmf-data", frames);
    for (int64_t channel = 0; channel < 3; ++channel) {
        SCOPED_TRACE(channel);
        const TolvaneOpenOptions options{0, 0, channel};
        ReaderPtr r(tolvane_open_with(data.c_str(), &options, nullptr, nullptr, 0));
        ASSERT_TRUE(r);
        EXPECT_EQ(tolvane_get_num_channels(r.get()), 3u);
        EXPECT_EQ(tolvane_get_channel(r.get()), static_cast<uint32_t>(channel));
        EXPECT_EQ(tolvane_get_num_samples(r.get()), 4u);
        EXPECT_EQ(tolvane_get_trailing_bytes(r.get()), 1u);
        const auto got = read_all(r.get());
        ASSERT_EQ(got.size(), 4u);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(got[k].re, static_cast<float>((10 * channel + k) * (1.0 / 127)));
            EXPECT_EQ(got[k].im, 1.0f);
        }
    }
    struct Refusal {
        const char *meta;
        int64_t channel;
        const char *why;
    };
    const Refusal refusals[] = {
        {R"({"global":{"core:datatype":"ci8","core:num_channels":3}})", -1,
         "this SigMF recording interleaves 3 channels: choose one with channel=K (0 to 2)"},
        {R"({"global":{"core:datatype":"ci8","core:num_channels":3}})", 3,
         "channel 3 is beyond the 3 channels of this capture (0 to 2)"},
        {R"({"global":{"core:datatype":"ci8"}})", 1, "channel 1 is beyond the 1 channel of this capture (0 to 0)"},
        {R"({"global":{"core:datatype":"ci8","core:num_channels":0}})", -1,
         "core:num_channels must be a whole number from 1 to 65536"},
        {R"({"global":{"core:datatype":"ci8","core:num_channels":2.5}})", 0,
         "core:num_channels must be a whole number from 1 to 65536"},
    };
    for (const Refusal &c : refusals) {
        SCOPED_TRACE(c.meta);
        write_text("ch.sigmf-meta", c.meta);
        const TolvaneOpenOptions options{0, 0, c.channel};
        char why[128] = "stale";
        EXPECT_FALSE(ReaderPtr(tolvane_open_with(data.c_str(), &options, nullptr, why, sizeof why)));
        EXPECT_STREQ(why, c.why);
        char cut[8];
        EXPECT_FALSE(ReaderPtr(tolvane_open_with(data.c_str(), &options, nullptr, cut, sizeof cut)));
        EXPECT_EQ(std::string(cut), std::string(c.why).substr(0, 7));
    }
}

// Every captures entry is a segment; members it lacks or gives wrongly are absent.
TEST_F(ReaderTest, SigmfCapturesAreListedAsSegments) {
    write_text("seg.sigmf-meta", R"({"global":{"core:datatype":"ci8"},"captures":[
        {"core:sample_start":0,"core:frequency":1e9,"core:datetime":"2024-01-02T03:04:05Z","core:global_index":7},
        {"core:sample_start":40000,"core:frequency":1.1e9},
        {"core:sample_start":-5,"core:frequency":"fast","core:global_index":1.5e30},
        "not an object"]})");
    auto r = open(write_file("seg.sigmf-data", Bytes(8, 0)));
    ASSERT_TRUE(r);
    ASSERT_EQ(tolvane_num_captures(r.get()), 3u);
    const CaptureSegment *first = tolvane_capture(r.get(), 0), *second = tolvane_capture(r.get(), 1),
                         *third = tolvane_capture(r.get(), 2);
    EXPECT_EQ(tolvane_capture(r.get(), 3), nullptr);
    EXPECT_EQ(first->sample_start, 0u);
    EXPECT_EQ(first->frequency, 1e9);
    EXPECT_STREQ(first->datetime, "2024-01-02T03:04:05Z");
    EXPECT_EQ(first->global_index, 7);
    EXPECT_EQ(second->sample_start, 40000u);
    EXPECT_EQ(second->frequency, 1.1e9);
    EXPECT_EQ(second->datetime, nullptr);
    EXPECT_EQ(second->global_index, -1);
    EXPECT_EQ(third->sample_start, 0u);
    EXPECT_TRUE(std::isnan(third->frequency));
    EXPECT_EQ(third->global_index, -1);
    // A BLUE capture is one segment, tuned as its keywords say; a raw one has none.
    auto blue = open(write_file("one.blue", hcb(0, false, 0)));
    ASSERT_TRUE(blue);
    ASSERT_EQ(tolvane_num_captures(blue.get()), 1u);
    EXPECT_TRUE(std::isnan(tolvane_capture(blue.get(), 0)->frequency));
    auto tuned = open(write_file("tuned.blue", hcb(0, false, 0, 0.0, 5e8)));
    ASSERT_TRUE(tuned);
    EXPECT_EQ(tolvane_capture(tuned.get(), 0)->frequency, 5e8);
    EXPECT_EQ(tolvane_num_captures(open(write_file("x.bin", Bytes(8, 0))).get()), 0u);
}

TEST_F(ReaderTest, SigmfDatatypeRateAndFrequency) {
    struct Case {
        const char *meta;
        bool opens;
        int32_t stype, endian;
        double fs, fc;
        int32_t fc_source;
        uint64_t stride = 0;
    };
    const Case cases[] = {
        {R"({"global":{"core:datatype":"cf32_be","core:sample_rate":48000},"captures":[{"core:frequency":0}]})",
         true, 0, 1, 48000, 0, TOLVANE_FC_SIGMF},
        {R"({"global":{"core:datatype":"ci8"},"captures":[{"core:frequency":1.5e9}]})", true, 4, 0, 0, 1.5e9,
         TOLVANE_FC_SIGMF},
        {R"({"global":{"core:datatype":"ci16_le"},"captures":[]})", true, 3, 0, 0, 0, TOLVANE_FC_NONE},
        {R"({"global":{"core:datatype":"rf32_le"}})", true, TOLVANE_STYPE_RF32, 0, 0, 0, 0, 4},
        {R"({"global":{"core:datatype":"ru16_be"}})", true, TOLVANE_STYPE_RU16, 1, 0, 0, 0, 2},
        {R"({"global":{"core:datatype":"cu8"}})", true, TOLVANE_STYPE_CU8, 0, 0, 0, 0, 2},
        {R"({"global":{"core:datatype":"cu16_le"}})", true, TOLVANE_STYPE_CU16, 0, 0, 0, 0, 4},
        {R"({"global":{"core:datatype":"cf16_le"}})", false, 0, 0, 0, 0, 0},
        {R"({"global":{}})", false, 0, 0, 0, 0, 0},
        {R"({"global":{"core:datatype":"cf32_le")", false, 0, 0, 0, 0, 0},
        {"not json at all", false, 0, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.meta);
        write_text("rec.sigmf-meta", c.meta);
        auto r = open(write_file("rec.sigmf-data", Bytes(17, 0)), 2, 1);
        ASSERT_EQ(static_cast<bool>(r), c.opens);
        if (!r) continue;
        EXPECT_EQ(tolvane_get_file_type(r.get()), TOLVANE_FTYPE_SIGMF);
        EXPECT_EQ(tolvane_get_sample_type(r.get()), c.stype);
        EXPECT_EQ(tolvane_get_endian(r.get()), c.endian);
        EXPECT_EQ(tolvane_get_fs(r.get()), c.fs);
        EXPECT_EQ(tolvane_get_fs_source(r.get()), c.fs != 0 ? TOLVANE_FS_SIGMF : TOLVANE_FS_NONE);
        EXPECT_EQ(tolvane_get_fc(r.get()), c.fc);
        EXPECT_EQ(tolvane_get_fc_source(r.get()), c.fc_source);
        const uint64_t stride = c.stride != 0 ? c.stride : c.stype == 4 ? 2 : c.stype == 3 ? 4 : 8;
        EXPECT_EQ(tolvane_get_mode(r.get()), c.stype >= TOLVANE_STYPE_RF32 ? TOLVANE_MODE_SCALAR : TOLVANE_MODE_COMPLEX);
        EXPECT_EQ(tolvane_get_num_samples(r.get()), 17 / stride);
        EXPECT_EQ(tolvane_get_trailing_bytes(r.get()), 17 % stride);
    }
    std::remove(path("rec.sigmf-meta").c_str());
    EXPECT_FALSE(open(path("rec.sigmf-data")));
}

TEST_F(ReaderTest, ResetReplaysEveryFileType) {
    Bytes blue = hcb(0, false, 2);
    for (float v : {1.f, 2.f, 3.f, 4.f}) put<float>(blue, v, false);
    Bytes raw(blue.begin() + 512, blue.end());
    write_text("s.sigmf-meta", R"({"global":{"core:datatype":"cf32_le"}})");
    const std::string paths[] = {write_file("a.blue", blue), write_file("a.raw", raw),
                                 write_file("s.sigmf-data", raw), write_text("a.csv", "1,2\n3,4\n")};
    for (const std::string &p : paths) {
        SCOPED_TRACE(p);
        auto r = open(p);
        ASSERT_TRUE(r);
        const auto first = read_all(r.get());
        ASSERT_EQ(first.size(), 2u);
        tolvane_reset(r.get());
        const auto again = read_all(r.get());
        ASSERT_EQ(again.size(), 2u);
        EXPECT_EQ(again[1].im, 4.0f);
    }
    tolvane_reset(nullptr);
    tolvane_destroy(nullptr);
}

}  // namespace
