#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wfm_keywords.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes encode(const std::string &tag, char type, const void *values, size_t count, bool big_endian,
             size_t cap = 4096) {
    Bytes out(cap, 0xAA);
    size_t n = wfm_kw_encode(out.data(), cap, tag.c_str(), type, values, count, big_endian);
    out.resize(n);
    return out;
}

struct Decoded {
    int result;
    size_t consumed;
    KeywordEntry entry;
    ~Decoded() { std::free(entry.data); }
};

void decode(const Bytes &rec, bool big_endian, Decoded &d) {
    std::memset(&d.entry, 0, sizeof d.entry);
    d.result = wfm_kw_decode(rec.data(), rec.size(), big_endian, &d.entry, &d.consumed);
}

TEST(Keywords, ElementSizes) {
    const std::pair<char, size_t> table[] = {{'A', 1}, {'B', 1}, {'I', 2}, {'L', 4}, {'T', 4},
                                             {'X', 8}, {'F', 4}, {'D', 8}, {'C', 0}, {'Z', 0},
                                             {'a', 0}, {'\0', 0}, {'@', 0}};
    for (auto [letter, size] : table) EXPECT_EQ(wfm_kw_elem_size(letter), size) << letter;
}

TEST(Keywords, FreqRecordBytesLittleEndian) {
    double fc = 1.2e9;
    Bytes rec = encode("FREQ", 'D', &fc, 1, false);
    Bytes expect = {24, 0, 0, 0, 16, 0, 4, 'D'};
    expect.resize(16);
    std::memcpy(expect.data() + 8, &fc, 8);
    for (char c : std::string("FREQ")) expect.push_back(static_cast<unsigned char>(c));
    expect.insert(expect.end(), 4, 0);
    EXPECT_EQ(rec, expect);
    EXPECT_EQ(wfm_kw_entry_size(4, 8), 24u);
}

TEST(Keywords, BigEndianReversesLengthsAndEachElement) {
    int16_t values[] = {1, 2};
    Bytes rec = encode("AB", 'I', values, 2, true);
    ASSERT_EQ(rec.size(), 16u);
    Bytes head(rec.begin(), rec.begin() + 14);
    EXPECT_EQ(head, (Bytes{0, 0, 0, 16, 0, 12, 2, 'I', 0, 1, 0, 2, 'A', 'B'}));
    Decoded d;
    decode(rec, true, d);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(d.consumed, 16u);
    EXPECT_STREQ(d.entry.tag, "AB");
    EXPECT_EQ(d.entry.type, 'I');
    EXPECT_EQ(d.entry.elem_size, 2u);
    ASSERT_EQ(d.entry.count, 2u);
    EXPECT_EQ(static_cast<int16_t *>(d.entry.data)[0], 1);
    EXPECT_EQ(static_cast<int16_t *>(d.entry.data)[1], 2);
}

TEST(Keywords, RoundTripEveryTypeBothOrders) {
    const unsigned char raw[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (char type : std::string("ABILTXFD")) {
        size_t elem = wfm_kw_elem_size(type);
        size_t count = 16 / elem;
        for (bool be : {false, true}) {
            Bytes rec = encode("TAG_" + std::string(1, type), type, raw, count, be);
            ASSERT_EQ(rec.size(), wfm_kw_entry_size(5, 16));
            Decoded d;
            decode(rec, be, d);
            ASSERT_EQ(d.result, 0);
            EXPECT_EQ(d.entry.count, count);
            EXPECT_EQ(std::memcmp(d.entry.data, raw, 16), 0) << type << be;
        }
    }
}

TEST(Keywords, EncodeRefusals) {
    double v = 1.0;
    std::string longest(255, 'T');
    EXPECT_EQ(encode(longest, 'D', &v, 1, false).size(), wfm_kw_entry_size(255, 8));
    EXPECT_TRUE(encode(longest + "T", 'D', &v, 1, false).empty());
    EXPECT_TRUE(encode("", 'D', &v, 1, false).empty());
    EXPECT_TRUE(encode("X", 'C', &v, 1, false).empty());
    EXPECT_TRUE(encode("X", 'D', &v, 0, false).empty());
    unsigned char buf[32];
    EXPECT_EQ(wfm_kw_encode(nullptr, 32, "X", 'D', &v, 1, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, 32, nullptr, 'D', &v, 1, 0), 0u);
    EXPECT_EQ(wfm_kw_encode(buf, 32, "X", 'D', nullptr, 1, 0), 0u);
    // One byte short of the record is refused and leaves the destination untouched.
    Bytes dst(23, 0xAA);
    EXPECT_EQ(wfm_kw_encode(dst.data(), 23, "FREQ", 'D', &v, 1, 0), 0u);
    EXPECT_EQ(dst, Bytes(23, 0xAA));
    // Counts whose value bytes do not fit a record are refused, never wrapped.
    EXPECT_EQ(wfm_kw_encode(buf, SIZE_MAX, "X", 'D', &v, SIZE_MAX / 4, 0), 0u);
    EXPECT_EQ(wfm_kw_entry_size(SIZE_MAX, 8), 0u);
    EXPECT_EQ(wfm_kw_entry_size(8, size_t{1} << 31), 0u);
}

TEST(Keywords, UnsupportedOrMisfitRecordsAreSkippedSoTheNextIsReached) {
    double v = 3.5;
    Bytes rec = encode("FREQ", 'D', &v, 1, false);
    Bytes type_c = rec;
    type_c[7] = 'C';
    int32_t three[3] = {1, 2, 3};
    Bytes twelve = encode("TWELVE", 'L', three, 3, false);  // 12 value bytes, then relabelled "D"
    twelve[7] = 'D';
    for (const Bytes &skipped : {type_c, twelve}) {
        Bytes run = skipped;
        run.insert(run.end(), rec.begin(), rec.end());
        Decoded d;
        decode(run, false, d);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.consumed, skipped.size());
        EXPECT_EQ(d.entry.data, nullptr);
        Decoded next;
        Bytes rest(run.begin() + d.consumed, run.end());
        decode(rest, false, next);
        ASSERT_EQ(next.result, 0);
        EXPECT_EQ(*static_cast<double *>(next.entry.data), 3.5);
    }
}

TEST(Keywords, LyingLengthsAreInvalid) {
    double v = 1.0;
    const Bytes good = encode("FREQ", 'D', &v, 1, false);  // record 24, extra 16, tag 4
    auto patched = [&](size_t at, std::initializer_list<unsigned char> bytes) {
        Bytes r = good;
        std::copy(bytes.begin(), bytes.end(), r.begin() + at);
        return r;
    };
    const Bytes cases[] = {
        Bytes(good.begin(), good.begin() + 7),  // shorter than a head
        patched(0, {7, 0, 0, 0}),               // record length below a head
        patched(0, {0xF8, 0xFF, 0xFF, 0xFF}),   // negative record length
        patched(0, {32, 0, 0, 0}),              // runs past the available bytes
        patched(4, {7, 0}),                     // extra length below a head
        patched(4, {0xF0, 0xFF}),               // negative extra length
        patched(4, {26, 0}),                    // extra length above the record length
        patched(6, {9}),                        // tag longer than the extra bytes hold
    };
    for (const Bytes &rec : cases) {
        Decoded d;
        decode(rec, false, d);
        EXPECT_EQ(d.result, -1);
        EXPECT_EQ(d.consumed, 0u);
        EXPECT_EQ(d.entry.data, nullptr);
    }
    KeywordEntry e{};
    size_t consumed = 0;
    EXPECT_EQ(wfm_kw_decode(nullptr, 24, 0, &e, &consumed), -1);
    EXPECT_EQ(wfm_kw_decode(good.data(), good.size(), 0, nullptr, &consumed), -1);
}

TEST(Keywords, StandardKeywords) {
    struct Case {
        const char *tag;
        char type;
        const char *value;
        int expect;
    };
    const Case cases[] = {
        {"ACQTIME", 'A', "12:34:56", 1},  {"ACQTIME", 'A', "12-34-56", -1},
        {"ACQTIME", 'A', "1a:34:56", -1}, {"ACQTIME", 'L', "12:34:56", -1},
        {"ACQDATE", 'A', "20240115", 1},  {"ACQDATE", 'A', "2024-01-15", -1},
        {"ACQDATE", 'A', "15.01.", 1},    {"ACQDATE", 'A', "150124", -1},
        {"ACQDATE", 'A', "2024011x", -1}, {"COMMENT", 'A', "anything", 1},
        {"TIMELINE", 'D', "", -1},        {"SUBREC_DEF", 'A', "x", -1},
        {"SUBREC_DESCRIP", 'A', "x", -1}, {"T4INDEX", 'A', "x", -1},
        {"NAME", 'A', "x", 0},            {"acqtime", 'A', "12:34:56", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(wfm_kw_check_standard(c.tag, c.type, c.value, std::strlen(c.value)), c.expect)
            << c.tag << " " << c.value;
}

}  // namespace
