// Frame layout, assembly with coding units, checking, the CRC-16 and framed DSSS chips.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "pn_core.h"
#include "wfm_frame.h"

namespace {

using Bits = std::vector<uint8_t>;

// Test names from the case descriptions.
template <typename Info>
std::string case_name(const Info &info) {
    std::string name;
    for (const char *p = info.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

std::string str(const uint8_t *b, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('0' + b[i]);
    return s;
}

Bits octets_to_bits(const std::string &text) {
    Bits bits;
    for (unsigned char c : text)
        for (int i = 7; i >= 0; --i) bits.push_back((c >> i) & 1);
    return bits;
}

FrameField explicit_field(const Bits &bits, uint64_t reps = 0) {
    FrameField f{};
    f.kind = WFM_FIELD_BITS;
    f.len = bits.size();
    f.data = bits.data();
    f.reps = reps;
    return f;
}

// The nine-digit check string as a payload, behind a sync word and a PN acquisition code.
struct CheckStringFrame : ::testing::Test {
    Bits sync = {1, 1, 1, 0, 0, 0, 1, 0};
    Bits payload = octets_to_bits("123456789");
    SimpleFrame frame{};

    void SetUp() override {
        frame.acq.kind = WFM_FIELD_PN;
        frame.acq.len = 15;
        frame.acq.degree = 4;
        frame.acq.reps = 2;
        frame.sync.len = sync.size();
        frame.sync.data = sync.data();
        frame.payload.len = payload.size();
        frame.payload.data = payload.data();
        frame.crc = 1;
    }
};

TEST_F(CheckStringFrame, AssemblesAcquisitionSyncPayloadAndCrc) {
    ASSERT_EQ(wfm_frame_nbits(&frame), 30u + 8 + 72 + 16);
    Bits out(126, 7);
    ASSERT_EQ(wfm_frame_bits(&frame, out.data(), out.size()), 126u);
    // The default degree-4 mask, restarted for the repetition.
    EXPECT_EQ(str(out.data(), 30), "111101011001000111101011001000");
    EXPECT_EQ(Bits(out.begin() + 30, out.begin() + 38), sync);
    EXPECT_EQ(Bits(out.begin() + 38, out.begin() + 110), payload);
    EXPECT_EQ(str(out.data() + 110, 16), "0010100110110001");  // 0x29B1

    EXPECT_EQ(wfm_frame_bits(&frame, out.data(), 125), 0u);
    frame.crc = 0;
    EXPECT_EQ(wfm_frame_bits(&frame, out.data(), 125), 110u);
}

TEST_F(CheckStringFrame, CheckCatchesAFlippedPayloadBitOnly) {
    Bits out(126);
    ASSERT_EQ(wfm_frame_bits(&frame, out.data(), out.size()), 126u);
    FrameDesc desc;
    ASSERT_EQ(wfm_frame_describe(&frame, &desc), 0);

    FrameCheckReport report;
    EXPECT_EQ(wfm_frame_check(&desc, nullptr, out.data(), &report), 1);
    EXPECT_EQ(report.nunits, 1u);
    EXPECT_EQ(report.nchecked, 1u);
    EXPECT_EQ(report.units[0].examined, 1u);
    EXPECT_EQ(report.units[0].ok, 1u);
    EXPECT_EQ(report.units[0].valid, 1u);
    EXPECT_EQ(wfm_frame_crc_ok(&frame, out.data()), 1);

    for (size_t at : {size_t{0}, size_t{29}, size_t{33}}) {  // acquisition and sync are not covered
        Bits hit = out;
        hit[at] ^= 1;
        EXPECT_EQ(wfm_frame_check(&desc, nullptr, hit.data(), nullptr), 1) << at;
        EXPECT_EQ(wfm_frame_crc_ok(&frame, hit.data()), 1) << at;
    }
    for (size_t at : {size_t{38}, size_t{100}, size_t{125}}) {
        Bits hit = out;
        hit[at] ^= 1;
        EXPECT_EQ(wfm_frame_check(&desc, nullptr, hit.data(), &report), 0) << at;
        EXPECT_EQ(report.units[0].ok, 0u);
        EXPECT_EQ(wfm_frame_crc_ok(&frame, hit.data()), 0) << at;
    }
}

struct SimpleLayoutCase {
    uint64_t acq_len, acq_reps, sync_len, payload_len;
    uint32_t crc;
    FrameFieldBounds expected;
};

class SimpleLayout : public ::testing::TestWithParam<SimpleLayoutCase> {};

TEST_P(SimpleLayout, Bounds) {
    const SimpleLayoutCase c = GetParam();
    SimpleFrame f{};
    f.acq.kind = WFM_FIELD_ALTERNATING;
    f.acq.len = c.acq_len;
    f.acq.reps = c.acq_reps;
    f.sync.kind = f.payload.kind = WFM_FIELD_ALTERNATING;
    f.sync.len = c.sync_len;
    f.payload.len = c.payload_len;
    f.crc = c.crc;
    FrameFieldBounds b;
    ASSERT_EQ(wfm_frame_layout(&f, &b), 0);
    const FrameSpan *got = &b.acq, *want = &c.expected.acq;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(got[i].offset, want[i].offset) << "field " << i;
        EXPECT_EQ(got[i].len, want[i].len) << "field " << i;
    }
    EXPECT_EQ(b.total_bits, c.expected.total_bits);
    EXPECT_EQ(wfm_frame_nbits(&f), c.expected.total_bits);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SimpleLayout,
    ::testing::Values(
        SimpleLayoutCase{0, 0, 16, 100, 1, {{0, 0}, {0, 16}, {16, 100}, {116, 16}, 132}},
        SimpleLayoutCase{8, 0, 16, 100, 0, {{0, 0}, {0, 16}, {16, 100}, {116, 0}, 116}},  // reps 0: no acquisition
        SimpleLayoutCase{8, 3, 16, 0, 1, {{0, 24}, {24, 16}, {40, 0}, {40, 0}, 40}},      // nothing to protect
        SimpleLayoutCase{0, 0, 0, 0, 1, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, 0}}));

TEST(FrameFields, AlternatingGoldAndRepeatedPn) {
    FrameDesc d{};
    d.nfields = 3;
    d.fields[0].kind = WFM_FIELD_ALTERNATING;
    d.fields[0].len = 5;
    d.fields[1].kind = WFM_FIELD_GOLD;
    d.fields[1].len = 8;
    d.fields[1].degree = 5;
    d.fields[1].gold_poly1 = 0x12;
    d.fields[1].gold_poly2 = 0x1E;
    d.fields[2].kind = WFM_FIELD_PN;
    d.fields[2].len = 7;
    d.fields[2].pn_poly = 0x5;
    d.fields[2].degree = 3;
    d.fields[2].reps = 3;
    Bits out(34);
    ASSERT_EQ(wfm_frame_assemble(&d, nullptr, out.data(), out.size()), 34u);
    EXPECT_EQ(str(out.data(), 34), "10101" "00000001" "111010011101001110100");

    Bits wide = {0xFE, 0x03, 0x10};  // read by the lowest bit
    FrameDesc e{};
    e.nfields = 1;
    e.fields[0] = explicit_field(wide);
    ASSERT_EQ(wfm_frame_assemble(&e, nullptr, out.data(), 3), 3u);
    EXPECT_EQ(str(out.data(), 3), "010");
}

// ---- descriptors the layout refuses ----

FrameDesc payload_with_crc() {
    static const Bits payload(40, 1);
    FrameDesc d{};
    d.nfields = 2;
    d.fields[0] = explicit_field(payload);
    d.fields[1].fixed_size = 16;
    d.fields[1].produced_by = 1;
    d.nunits = 1;
    d.units[0] = {WFM_UNIT_CRC16, 0, 2, 0, 0, 0};
    return d;
}

struct BadDesc {
    const char *what;
    void (*spoil)(FrameDesc &);
};

class RefusedLayout : public ::testing::TestWithParam<BadDesc> {};

TEST_P(RefusedLayout, FailsEverywhere) {
    FrameDesc d = payload_with_crc();
    FrameLayout l;
    ASSERT_EQ(wfm_frame_desc_layout(&d, &l), 0);
    GetParam().spoil(d);
    EXPECT_EQ(wfm_frame_desc_layout(&d, &l), -1);
    Bits out(1024, 5);
    EXPECT_EQ(wfm_frame_assemble(&d, nullptr, out.data(), out.size()), 0u);
    EXPECT_EQ(out, Bits(1024, 5));
    EXPECT_EQ(wfm_frame_check(&d, nullptr, out.data(), nullptr), -1);
    EXPECT_EQ(wfm_frame_desc_crc_ok(&d, out.data()), -1);
}

const uint64_t kHuge = uint64_t{1} << 63;

INSTANTIATE_TEST_SUITE_P(
    Descriptors, RefusedLayout,
    ::testing::Values(
        BadDesc{"nfields above 8", [](FrameDesc &d) { d.nfields = 9; }},
        BadDesc{"nunits above 6", [](FrameDesc &d) { d.nunits = 7; }},
        BadDesc{"unit past the fields", [](FrameDesc &d) { d.units[0].count = 3; }},
        BadDesc{"unit past empty fields", [](FrameDesc &d) {
                    d.units[0] = {WFM_UNIT_CRC16, 5, 1, 0, 0, 0};
                    d.fields[1].produced_by = 0;
                }},
        BadDesc{"first + count wraps in 32 bits", [](FrameDesc &d) {
                    d.nunits = 2;
                    d.units[1] = {WFM_UNIT_RANDOMISER, 0xFFFFFFFFu, 2, 0, 0, 0};
                }},
        BadDesc{"produced field not last of its unit", [](FrameDesc &d) {
                    d.nfields = 3;
                    d.units[0].count = 3;
                }},
        BadDesc{"produced by a unit beyond nunits", [](FrameDesc &d) { d.fields[1].produced_by = 2; }},
        BadDesc{"CRC field not 16 bits", [](FrameDesc &d) { d.fields[1].fixed_size = 8; }},
        BadDesc{"shrinking rate", [](FrameDesc &d) {
                    d.nunits = 2;
                    d.units[1] = {WFM_UNIT_CONV, 0, 2, 0, 1, 2};
                }},
        BadDesc{"len x reps overflows", [](FrameDesc &d) {
                    d.fields[0].len = kHuge;
                    d.fields[0].reps = 2;
                }},
        BadDesc{"running offsets overflow", [](FrameDesc &d) {
                    d.fields[0].len = kHuge;
                    d.fields[0].reps = 1;
                    d.nfields = 3;
                    d.fields[2] = d.fields[0];
                }},
        BadDesc{"rate x span overflows", [](FrameDesc &d) {
                    d.fields[0].len = kHuge / 2;
                    d.nunits = 2;
                    d.units[1] = {WFM_UNIT_CONV, 0, 2, 0, 4, 1};
                }}),
    case_name<::testing::TestParamInfo<BadDesc>>);

// ---- coding units ----

// A rate-2 test code: every raw bit sent twice. It checks it was handed its input where
// assembly promises: right-aligned inside its own output buffer.
const uint8_t *g_expected_raw;
size_t repeat_emit(const FrameUnit *unit, const uint8_t *raw, size_t raw_bits, uint8_t *out,
                   size_t cap, void *context) {
    if (raw != g_expected_raw || cap < 2 * raw_bits || unit->rate_num != 2) return 0;
    ++*static_cast<int *>(context);
    for (size_t i = 0; i < raw_bits; ++i) {
        const uint8_t b = raw[i];
        out[2 * i] = out[2 * i + 1] = b;
    }
    return 2 * raw_bits;
}

int flip_in_unit(const FrameUnit *, uint8_t *bits, size_t n, void *) {
    for (size_t i = 0; i < n; ++i) bits[i] ^= 1;
    return 0;
}

int flip_undo(const FrameUnit *, uint8_t *bits, size_t n, UnitCheck *r, void *) {
    for (size_t i = 0; i < n; ++i) bits[i] ^= 1;
    *r = UnitCheck{1, 1, 0, 0, 1};
    return 0;
}

int failing_undo(const FrameUnit *, uint8_t *, size_t, UnitCheck *, void *) { return -1; }

// Payload + CRC, then a flipping unit over both, then the rate-2 repeater over everything.
struct CodedFrame : ::testing::Test {
    Bits sync = {1, 0, 1, 1};
    Bits payload = octets_to_bits("123456789");
    FrameDesc desc{};
    UnitOps ops[2] = {{WFM_UNIT_RANDOMISER, flip_in_unit, nullptr, flip_undo},
                      {WFM_UNIT_CONV, nullptr, repeat_emit, nullptr}};
    int emits = 0;
    UnitOpsTable table{ops, 2, &emits};

    void SetUp() override {
        desc.nfields = 3;
        desc.fields[0] = explicit_field(sync);
        desc.fields[1] = explicit_field(payload);
        desc.fields[2].fixed_size = 16;
        desc.fields[2].produced_by = 1;
        desc.nunits = 3;
        desc.units[0] = {WFM_UNIT_CRC16, 1, 2, 0, 0, 0};
        desc.units[1] = {WFM_UNIT_RANDOMISER, 1, 2, 0, 0, 0};
        desc.units[2] = {WFM_UNIT_CONV, 0, 3, 0, 2, 1};
    }
};

TEST_F(CodedFrame, LayoutSpansAndExpansion) {
    FrameLayout l;
    ASSERT_EQ(wfm_frame_desc_layout(&desc, &l), 0);
    EXPECT_EQ(l.raw_bits, 92u);
    EXPECT_EQ(l.coded_bits, 184u);
    EXPECT_EQ(l.span[0].offset, 4u);
    EXPECT_EQ(l.span[0].len, 88u);
    EXPECT_EQ(l.span[2].offset, 0u);
    EXPECT_EQ(l.span[2].len, 92u);
    EXPECT_EQ(l.span[3].len, 0u);
}

TEST_F(CodedFrame, EmitReadsTheRightAlignedRawFrame) {
    Bits out(200, 9);
    g_expected_raw = out.data() + 92;
    ASSERT_EQ(wfm_frame_assemble(&desc, &table, out.data(), out.size()), 184u);
    EXPECT_EQ(emits, 1);
    Bits raw(92);
    for (size_t i = 0; i < 92; ++i) {
        ASSERT_EQ(out[2 * i], out[2 * i + 1]) << i;
        raw[i] = out[2 * i];
    }
    EXPECT_EQ(Bits(raw.begin(), raw.begin() + 4), sync);
    for (size_t i = 0; i < 72; ++i) EXPECT_EQ(raw[4 + i], payload[i] ^ 1) << i;
    EXPECT_EQ(str(raw.data() + 76, 16), "1101011001001110");  // 0x29B1, flipped

    // The check runs the units backwards on the raw frame: flip back, then the CRC.
    FrameCheckReport report;
    EXPECT_EQ(wfm_frame_check(&desc, &table, raw.data(), &report), 1);
    EXPECT_EQ(report.nchecked, 2u);
    EXPECT_EQ(report.units[0].valid, 1u);
    EXPECT_EQ(report.units[1].valid, 1u);
    EXPECT_EQ(report.units[2].valid, 0u);
    EXPECT_EQ(Bits(raw.begin() + 4, raw.begin() + 76), payload);
    EXPECT_EQ(wfm_frame_desc_crc_ok(&desc, raw.data()), 1);
    raw[50] ^= 1;
    EXPECT_EQ(wfm_frame_desc_crc_ok(&desc, raw.data()), 0);
}

struct BadAssembly {
    const char *what;
    void (*spoil)(FrameDesc &, UnitOps *, UnitOpsTable &, size_t &cap);
};

class RefusedAssembly : public CodedFrame, public ::testing::WithParamInterface<BadAssembly> {};

TEST_P(RefusedAssembly, WritesNothing) {
    size_t cap = 200;
    Bits out(200, 9);
    g_expected_raw = out.data() + 92;
    GetParam().spoil(desc, ops, table, cap);
    EXPECT_EQ(wfm_frame_assemble(&desc, &table, out.data(), cap), 0u);
    EXPECT_EQ(emits, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Units, RefusedAssembly,
    ::testing::Values(
        BadAssembly{"capacity short of coded bits", [](FrameDesc &, UnitOps *, UnitOpsTable &, size_t &cap) { cap = 183; }},
        BadAssembly{"entry with in_unit and emit", [](FrameDesc &, UnitOps *ops, UnitOpsTable &, size_t &) {
                        ops[0].emit = repeat_emit;
                    }},
        BadAssembly{"entry with neither", [](FrameDesc &, UnitOps *ops, UnitOpsTable &, size_t &) {
                        ops[0].in_unit = nullptr;
                    }},
        BadAssembly{"kind missing from the table", [](FrameDesc &, UnitOps *, UnitOpsTable &t, size_t &) {
                        t.count = 1;
                    }},
        BadAssembly{"entries missing behind a count", [](FrameDesc &, UnitOps *, UnitOpsTable &t, size_t &) {
                        t.entries = nullptr;
                    }},
        BadAssembly{"emit for a unit that does not expand", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.units[2].rate_num = 0;
                    }},
        BadAssembly{"expanding unit without emit", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.units[1].rate_num = d.units[1].rate_den = 1;
                    }},
        BadAssembly{"two emits", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.nunits = 4;
                        d.units[3] = d.units[2];
                    }},
        BadAssembly{"explicit field without data", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.fields[0].data = nullptr;
                    }},
        BadAssembly{"unknown field kind", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.fields[0].kind = 4;
                    }},
        BadAssembly{"PN field of degree 65", [](FrameDesc &d, UnitOps *, UnitOpsTable &, size_t &) {
                        d.fields[0].kind = WFM_FIELD_PN;
                        d.fields[0].degree = 65;
                    }}),
    case_name<::testing::TestParamInfo<BadAssembly>>);

TEST_F(CodedFrame, EmitReturningTheWrongCountFails) {
    desc.units[2].rate_num = 3;  // the repeater writes 2 x raw, not 3 x raw
    Bits out(300);
    g_expected_raw = out.data() + 184;
    EXPECT_EQ(wfm_frame_assemble(&desc, &table, out.data(), out.size()), 0u);
}

TEST(FrameUnits, CrcSpanOfSixteenBitsOrLess) {
    const Bits sixteen(16, 1);
    FrameDesc d{};
    d.nfields = 1;
    d.fields[0] = explicit_field(sixteen);
    d.nunits = 1;
    d.units[0] = {WFM_UNIT_CRC16, 0, 1, 0, 0, 0};
    Bits out(16);
    EXPECT_EQ(wfm_frame_assemble(&d, nullptr, out.data(), out.size()), 0u);
    EXPECT_EQ(wfm_frame_check(&d, nullptr, out.data(), nullptr), -1);
    EXPECT_EQ(wfm_frame_desc_crc_ok(&d, out.data()), -1);
    EXPECT_EQ(crc16_in_unit(&d.units[0], out.data(), 16, nullptr), -1);
}

TEST_F(CodedFrame, CheckWithNothingCheckableOrAFailingUndo) {
    Bits raw(92, 0);
    // Only units of kinds the table does not know: nothing examined.
    desc.units[0].kind = WFM_UNIT_RS;
    FrameCheckReport report{};
    report.nchecked = 77;
    EXPECT_EQ(wfm_frame_check(&desc, nullptr, raw.data(), &report), -1);
    EXPECT_EQ(report.nchecked, 0u);
    EXPECT_EQ(wfm_frame_desc_crc_ok(&desc, raw.data()), -1);

    ops[0].undo = failing_undo;
    report.nchecked = 77;
    EXPECT_EQ(wfm_frame_check(&desc, &table, raw.data(), &report), -1);
    EXPECT_EQ(report.nchecked, 77u);  // not written after an undo failed

    EXPECT_EQ(wfm_frame_check(nullptr, &table, raw.data(), nullptr), -1);
    EXPECT_EQ(wfm_frame_check(&desc, &table, nullptr, nullptr), -1);
}

// ---- framed DSSS ----

struct ChipCountCase {
    size_t acq_len, acq_reps, code_len, sync_len, payload_len;
    uint32_t crc;
    size_t chips;
};

class DsssChipCount : public ::testing::TestWithParam<ChipCountCase> {};

TEST_P(DsssChipCount, Count) {
    const auto c = GetParam();
    EXPECT_EQ(wfm_frame_dsss_nchips(c.acq_len, c.acq_reps, c.code_len, c.sync_len, c.payload_len, c.crc), c.chips);
}

const size_t kMax = SIZE_MAX;

INSTANTIATE_TEST_SUITE_P(
    Frames, DsssChipCount,
    ::testing::Values(ChipCountCase{4, 2, 8, 0, 10, 1, 216}, ChipCountCase{4, 2, 8, 0, 10, 0, 88},
                      ChipCountCase{4, 2, 0, 0, 0, 1, 8}, ChipCountCase{4, 2, 0, 0, 10, 1, 0},
                      ChipCountCase{4, 2, 8, 3, 0, 1, 32},
                      ChipCountCase{0, 0, kMax / 8, 0, 10, 0, 0},         // code_len x F overflows
                      ChipCountCase{kMax / 2, 3, 1, 0, 10, 0, 0},         // acq_len x acq_reps overflows
                      ChipCountCase{kMax / 2, 2, kMax / 20, 0, 10, 0, 0},  // their sum overflows
                      ChipCountCase{0, 0, 1, kMax, 10, 0, 0}));           // sync + payload overflows

TEST(Dsss, ChipsOfAFramedStream) {
    const Bits acq = {1, 0, 1}, code = {1, 1, 0, 0}, sync = {1, 0};
    Bits payload = octets_to_bits("123456789");
    ASSERT_EQ(wfm_frame_dsss_nchips(3, 2, 4, 2, 72, 1), 6u + 4 * 90);
    Bits out(6 + 4 * 90, 9);
    ASSERT_EQ(wfm_frame_dsss_chips(acq.data(), 3, 2, code.data(), 4, sync.data(), 2, payload.data(), 72, 1, out.data()),
              out.size());
    EXPECT_EQ(str(out.data(), 14), "101101" "0011" "1100");
    Bits frame = sync;
    frame.insert(frame.end(), payload.begin(), payload.end());
    for (char c : std::string("0010100110110001")) frame.push_back(c - '0');
    for (size_t i = 0; i < frame.size(); ++i)
        EXPECT_EQ(str(out.data() + 6 + 4 * i, 4), frame[i] ? "0011" : "1100") << "bit " << i;

    // One chip per bit: the frame itself, built where it is spread.
    Bits one(90, 9);
    const uint8_t zero = 0;
    ASSERT_EQ(wfm_frame_dsss_chips(nullptr, 0, 0, &zero, 1, sync.data(), 2, payload.data(), 72, 1, one.data()), 90u);
    EXPECT_EQ(one, frame);
}

TEST(Dsss, RefusesMissingInputs) {
    const Bits code = {1, 0}, payload = {1, 1, 0};
    Bits out(64);
    EXPECT_EQ(wfm_frame_dsss_chips(nullptr, 0, 0, code.data(), 2, nullptr, 2, payload.data(), 3, 0, out.data()), 0u);
    EXPECT_EQ(wfm_frame_dsss_chips(nullptr, 4, 1, code.data(), 2, nullptr, 0, payload.data(), 3, 0, out.data()), 0u);
    EXPECT_EQ(wfm_frame_dsss_chips(nullptr, 0, 0, nullptr, 2, nullptr, 0, payload.data(), 3, 0, out.data()), 0u);
    EXPECT_EQ(wfm_frame_dsss_chips(nullptr, 0, 0, code.data(), 0, nullptr, 0, payload.data(), 3, 0, out.data()), 0u);
    EXPECT_EQ(wfm_frame_dsss_chips(nullptr, 0, 0, code.data(), 2, nullptr, 0, payload.data(), 3, 0, nullptr), 0u);
    EXPECT_EQ(wfm_frame_dsss_chips(code.data(), 2, 3, nullptr, 0, nullptr, 0, nullptr, 0, 1, out.data()), 6u);
}

}  // namespace
