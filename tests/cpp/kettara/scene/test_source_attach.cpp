// Source attachments: framing checks and messages, framed bits, DSSS, RRC and whole sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "asm.h"
#include "conv.h"
#include "frame.h"
#include "wfm_frame.h"
#include "wfm_spec.h"
#include "wfm_synth_bridge.h"
#include "wfm_synth_core.h"

namespace {

struct SynthDeleter {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};
using SynthPtr = std::unique_ptr<Synth, SynthDeleter>;

const char *const kWaveformMessage =
    "--acq-code/--sync frame a waveform, and a frame needs an explicit payload: use --type bits with --bits "
    "(--modulation bpsk|qpsk), or --type dsss to spread it";
const char *const kPayloadMessage = "a frame needs a payload: --type bits with --acq-code/--sync also needs --bits";
const char *const kDepthMessage = "--rs-depth must be 1, 2, 3, 4, 5 or 8 (CCSDS 131.0-B-3 4.3.5.1)";
const char *const kFillMessage =
    "--rs-depth needs the payload (plus its CRC, if any) to be exactly 223*depth octets — virtual fill is not "
    "implemented, so a short frame is refused rather than padded";

// A scene source with its bit arrays held by the fixture.
struct Source {
    SourceSpec spec{};
    std::vector<uint8_t> pattern, sync, acq, code;
    std::vector<cf32> symbols;

    explicit Source(uint32_t type) {
        spec.type = type;
        spec.snr = 100.0;
        spec.seed = 3;
        spec.sps = 1;
        spec.pn_length = 7;
        spec.crc = WFM_CRC_16;
        spec.modulation = WFM_BITMOD_BPSK;
    }
    Source &with_pattern(std::vector<uint8_t> bits) {
        pattern = std::move(bits);
        spec.pattern = pattern.data();
        spec.pattern_len = pattern.size();
        return *this;
    }
    Source &with_sync(std::vector<uint8_t> bits) {
        sync = std::move(bits);
        spec.sync = sync.data();
        spec.sync_len = sync.size();
        return *this;
    }
    Source &with_acq(std::vector<uint8_t> bits, uint64_t reps) {
        acq = std::move(bits);
        spec.acq_code = acq.data();
        spec.acq_code_len = acq.size();
        spec.acq_reps = reps;
        return *this;
    }
    Source &with_code(std::vector<uint8_t> bits) {
        code = std::move(bits);
        spec.data_code = code.data();
        spec.data_code_len = code.size();
        return *this;
    }
};

std::vector<uint8_t> alternating(size_t n, size_t period = 3) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (i % period) == 0;
    return v;
}

std::vector<cf32> run(Synth *s, size_t n) {
    std::vector<cf32> out(n);
    wfm_synth_steps(s, out.data(), n);
    return out;
}

// BPSK playback at one sample per bit: 0 -> +1, 1 -> -1.
std::vector<uint8_t> played_bits(Synth *s, size_t n) {
    std::vector<uint8_t> bits;
    for (cf32 v : run(s, n)) bits.push_back(v.re < 0.0f);
    return bits;
}

// ---------------------------------------------------------------------------------------
// Frame detection and messages

TEST(SourceFrame, OnlyFramingOptionsMakeAFrame) {
    Source s(WFM_TYPE_BITS);
    s.with_pattern({1, 0});
    EXPECT_EQ(wfm_source_has_frame(&s.spec), 0);  // crc alone
    s.with_acq({1, 1}, 0);
    EXPECT_EQ(wfm_source_has_frame(&s.spec), 0);  // acquisition without repetitions
    EXPECT_EQ(wfm_source_has_frame(nullptr), 0);

    const auto framed = [](auto set) {
        Source t(WFM_TYPE_BITS);
        set(t);
        return wfm_source_has_frame(&t.spec);
    };
    EXPECT_EQ(framed([](Source &t) { t.with_acq({1}, 1); }), 1);
    EXPECT_EQ(framed([](Source &t) { t.with_sync({1}); }), 1);
    EXPECT_EQ(framed([](Source &t) { t.spec.asm_ = 1; }), 1);
    EXPECT_EQ(framed([](Source &t) { t.spec.rs_depth = -1; }), 1);
    EXPECT_EQ(framed([](Source &t) { t.spec.randomise = 2; }), 1);
    EXPECT_EQ(framed([](Source &t) { t.spec.conv = 1; }), 1);
}

struct MessageCase {
    std::string name;
    uint32_t type;
    size_t payload_bits;
    bool sync;
    int32_t rs_depth;
    uint32_t crc;
    const char *message;
};

class SourceFrameError : public ::testing::TestWithParam<MessageCase> {};

TEST_P(SourceFrameError, ReturnsTheMessageVerbatim) {
    const MessageCase &c = GetParam();
    Source s(c.type);
    if (c.payload_bits) s.with_pattern(alternating(c.payload_bits));
    if (c.sync) s.with_sync({1, 0, 1, 1});
    s.spec.rs_depth = c.rs_depth;
    s.spec.crc = c.crc;
    const char *got = wfm_source_frame_error(&s.spec);
    if (c.message) {
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.message);
    } else {
        EXPECT_EQ(got, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, SourceFrameError,
    ::testing::Values(MessageCase{"no_frame", WFM_TYPE_QPSK, 0, false, 0, 1, nullptr},
                      MessageCase{"qpsk_with_sync", WFM_TYPE_QPSK, 0, true, 0, 1, kWaveformMessage},
                      MessageCase{"tone_with_depth_6", WFM_TYPE_TONE, 0, true, 6, 1, kWaveformMessage},
                      MessageCase{"dsss_ignores_ccsds", WFM_TYPE_DSSS, 10, true, 3, 1, nullptr},
                      MessageCase{"bits_without_payload", WFM_TYPE_BITS, 0, true, 0, 1, kPayloadMessage},
                      MessageCase{"depth_6", WFM_TYPE_BITS, 1768, false, 6, 1, kDepthMessage},
                      MessageCase{"depth_negative", WFM_TYPE_BITS, 1768, false, -1, 1, kDepthMessage},
                      MessageCase{"depth_1_with_crc", WFM_TYPE_BITS, 1768, false, 1, 1, nullptr},
                      MessageCase{"depth_1_crc_overfull", WFM_TYPE_BITS, 1784, false, 1, 1, kFillMessage},
                      MessageCase{"depth_1_without_crc", WFM_TYPE_BITS, 1784, false, 1, 0, nullptr},
                      MessageCase{"depth_8", WFM_TYPE_BITS, 8 * 1784, false, 8, 0, nullptr}),
    [](const auto &info) { return info.param.name; });

// Parameters a type does not support: refused with their reason, framing first.
struct ParameterCase {
    std::string name;
    uint32_t type;
    uint32_t modulation;
    int32_t sps;
    bool sync;
    const char *message;
};

const char *const kOddSpsMessage = "oqpsk needs an even sps: its quadrature rail runs half a symbol (sps / 2 samples) late";

const char *const kRingsOrderMessage = "apsk_rings must be finite ring radius ratios greater than 1 and increasing outwards";
const char *const kRingsCountMessage =
    "apsk_rings takes one ratio per ring beyond the inner one: one for 16apsk, two for 32apsk";

class SourceParameterError : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(SourceParameterError, ReturnsTheMessageVerbatim) {
    const ParameterCase &c = GetParam();
    Source s(c.type);
    s.spec.modulation = c.modulation;
    s.spec.sps = c.sps;
    s.with_pattern({1, 0, 1, 1});
    if (c.sync) s.with_sync({1, 0, 1, 1});
    // Two ratios, decreasing: too many for 16APSK, out of order for 32APSK.
    s.spec.apsk_rings[0] = 5.0;
    s.spec.apsk_rings[1] = 3.0;
    s.spec.n_apsk_rings = c.type == WFM_TYPE_16APSK ? 1 : 2;
    const char *got = wfm_source_error(&s.spec);
    if (c.message) {
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.message);
        EXPECT_EQ(wfm_source_to_synth(&s.spec, 1.0), nullptr);
    } else {
        EXPECT_EQ(got, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, SourceParameterError,
    ::testing::Values(ParameterCase{"oqpsk_odd", WFM_TYPE_OQPSK, 0, 7, false, kOddSpsMessage},
                      ParameterCase{"oqpsk_even", WFM_TYPE_OQPSK, 0, 8, false, nullptr},
                      ParameterCase{"bits_oqpsk_odd", WFM_TYPE_BITS, WFM_BITMOD_OQPSK, 3, false, kOddSpsMessage},
                      ParameterCase{"bits_16qam_odd", WFM_TYPE_BITS, WFM_BITMOD_16QAM, 3, false, nullptr},
                      ParameterCase{"framed_16qam_type", WFM_TYPE_16QAM, 0, 4, true, kWaveformMessage},
                      ParameterCase{"framing_before_sps", WFM_TYPE_OQPSK, 0, 7, true, kWaveformMessage},
                      ParameterCase{"rings_not_increasing", WFM_TYPE_32APSK, 0, 4, false, kRingsOrderMessage},
                      ParameterCase{"rings_count", WFM_TYPE_BITS, WFM_BITMOD_16APSK, 4, false, kRingsCountMessage},
                      ParameterCase{"rings_fit", WFM_TYPE_16APSK, 0, 4, false, nullptr},
                      ParameterCase{"rings_ignored_off_apsk", WFM_TYPE_16QAM, 0, 4, false, nullptr}),
    [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// Framed bits

TEST(SourceAttachFrame, UnframedBitsPlayTheBarePayload) {
    Source s(WFM_TYPE_BITS);
    s.with_pattern(alternating(20));
    SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(synth);
    EXPECT_EQ(played_bits(synth.get(), 40), [&] {
        std::vector<uint8_t> twice = s.pattern;
        twice.insert(twice.end(), s.pattern.begin(), s.pattern.end());
        return twice;
    }());
}

TEST(SourceAttachFrame, MarkerSyncPayloadAndCrcInTransmissionOrder) {
    Source s(WFM_TYPE_BITS);
    s.with_pattern(alternating(100)).with_sync(alternating(16, 5));
    s.spec.asm_ = 1;
    SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(synth);

    std::vector<uint8_t> want(32);
    ccsds_tm_asm_bits(want.data());
    SimpleFrame frame{};
    frame.sync.len = 16;
    frame.sync.data = s.sync.data();
    frame.payload.len = 100;
    frame.payload.data = s.pattern.data();
    frame.crc = 1;
    std::vector<uint8_t> body(132);
    ASSERT_EQ(wfm_frame_bits(&frame, body.data(), body.size()), 132u);
    want.insert(want.end(), body.begin(), body.end());
    ASSERT_EQ(want.size(), 164u);
    EXPECT_EQ(played_bits(synth.get(), 164), want);
    EXPECT_EQ(played_bits(synth.get(), 32), std::vector<uint8_t>(want.begin(), want.begin() + 32));  // repeats

    s.spec.conv = 1;
    SynthPtr coded(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(coded);
    const std::vector<uint8_t> first = played_bits(coded.get(), 328);
    // The coded frame is 328 bits long; its repetition continues the code from the register
    // the first frame left, so only the first six bit pairs may differ.
    const std::vector<uint8_t> second = played_bits(coded.get(), 328);
    EXPECT_TRUE(std::equal(first.begin() + 12, first.end(), second.begin() + 12));
    EXPECT_NE(std::vector<uint8_t>(first.begin(), first.begin() + 164),
              std::vector<uint8_t>(first.begin() + 164, first.end()));
}

struct CodedFrameCase {
    const char *name;
    size_t payload_bits;
    int32_t rs_depth;
};

class SourceCodedRepetitions : public ::testing::TestWithParam<CodedFrameCase> {
protected:
    // The source with and without the convolutional code.
    Source source(bool conv) const {
        const CodedFrameCase &c = GetParam();
        Source s(WFM_TYPE_BITS);
        s.with_pattern(alternating(c.payload_bits, 7));
        s.spec.crc = WFM_CRC_NONE;
        s.spec.asm_ = c.rs_depth != 0;
        s.spec.rs_depth = c.rs_depth;
        s.spec.randomise = c.rs_depth != 0 ? 1 : 0;
        s.spec.conv = conv;
        return s;
    }
    size_t raw_bits() const {
        const CodedFrameCase &c = GetParam();
        return c.rs_depth != 0 ? 32 + 2040 * static_cast<size_t>(c.rs_depth) : c.payload_bits;
    }
};

// N repetitions of a coded frame are the N raw frames, concatenated and encoded with one
// register: a receiver sees one continuous code stream.
TEST_P(SourceCodedRepetitions, AreOneContinuousCodeStream) {
    const size_t reps = 4;
    const size_t n_raw = raw_bits();
    Source plain = source(false);
    SynthPtr raw_synth(wfm_source_to_synth(&plain.spec, 1.0));
    ASSERT_TRUE(raw_synth);
    const std::vector<uint8_t> raw = played_bits(raw_synth.get(), reps * n_raw);
    // The register is not empty at the end of the frame, so a restart would show.
    const size_t tail = std::min<size_t>(n_raw, 6);
    ASSERT_NE(std::count(raw.end() - static_cast<std::ptrdiff_t>(tail), raw.end(), 1), 0);

    std::vector<uint8_t> want(2 * reps * n_raw);
    uint32_t state = 0;
    ASSERT_EQ(conv_encode(&state, &CCSDS_TM_CONV, raw.data(), raw.size(), want.data(), want.size()), want.size());

    Source coded = source(true);
    SynthPtr synth(wfm_source_to_synth(&coded.spec, 1.0));
    ASSERT_TRUE(synth);
    std::vector<uint8_t> got = played_bits(synth.get(), 5);  // uneven call sizes
    for (const uint8_t b : played_bits(synth.get(), want.size() - 5)) got.push_back(b);
    EXPECT_EQ(got, want);
}

// A state taken in the middle of the second repetition continues the same stream in a
// freshly built synthesiser.
TEST_P(SourceCodedRepetitions, StateBlobContinuesTheCodeStream) {
    Source coded = source(true);
    const size_t n_coded = 2 * raw_bits();
    SynthPtr synth(wfm_source_to_synth(&coded.spec, 1.0));
    ASSERT_TRUE(synth);
    played_bits(synth.get(), n_coded + n_coded / 2 + 1);
    std::vector<uint8_t> blob(wfm_synth_state_bytes(synth.get()));
    wfm_synth_get_state(synth.get(), blob.data());

    SynthPtr restored(wfm_source_to_synth(&coded.spec, 1.0));
    ASSERT_TRUE(restored);
    ASSERT_EQ(wfm_synth_set_state(restored.get(), blob.data()), 0);
    EXPECT_EQ(played_bits(restored.get(), 2 * n_coded), played_bits(synth.get(), 2 * n_coded));
    wfm_synth_reset(restored.get());  // back to the first frame, from the all-zero register
    SynthPtr fresh(wfm_source_to_synth(&coded.spec, 1.0));
    EXPECT_EQ(played_bits(restored.get(), 2 * n_coded), played_bits(fresh.get(), 2 * n_coded));
}

INSTANTIATE_TEST_SUITE_P(Frames, SourceCodedRepetitions,
                         ::testing::Values(CodedFrameCase{"depth_1", 1784, 1}, CodedFrameCase{"depth_2", 2 * 1784, 2},
                                           CodedFrameCase{"shorter_than_the_register", 3, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// The scene's framed bits equal the telemetry chain's channel bits for the same payload.
TEST(SourceAttachFrame, CcsdsChainMatchesTheTelemetryEncoder) {
    for (uint32_t randomise : {1u, 2u}) {
        Source s(WFM_TYPE_BITS);
        s.with_pattern(alternating(1784, 7));
        s.spec.crc = WFM_CRC_NONE;
        s.spec.asm_ = 1;
        s.spec.rs_depth = 1;
        s.spec.randomise = randomise;
        s.spec.conv = 1;
        SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
        ASSERT_TRUE(synth);

        std::vector<uint8_t> payload(223, 0);
        for (size_t i = 0; i < 1784; ++i) payload[i / 8] |= s.pattern[i] << (7 - i % 8);
        const TmFrameConfig cfg{1, 1, 1, 1};
        std::vector<uint8_t> want(4144);
        ASSERT_EQ(ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), payload.size(), want.data(), want.size()),
                  4144u);
        const std::vector<uint8_t> got = played_bits(synth.get(), 4144);
        if (randomise == 1) {
            EXPECT_EQ(got, want);
        } else {
            EXPECT_NE(got, want);  // the legacy randomiser
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + 64, want.begin()));  // marker only
        }
    }
}

TEST(SourceAttachFrame, InvalidOptionsFailWithoutChangingTheSynthesiser) {
    Source s(WFM_TYPE_BITS);
    s.with_pattern(alternating(100));
    s.spec.rs_depth = 1;  // 100 bits cannot fill a codeword
    SynthPtr synth(wfm_synth_create(WFM_TYPE_BITS, 0, 1, 1, 0, 0, 1.0, 0.0, 100.0, 0.0, 0));
    const uint8_t one = 1;
    ASSERT_EQ(wfm_synth_set_bits(synth.get(), &one, 1, 1), 0);
    EXPECT_EQ(wfm_source_attach_frame(synth.get(), &s.spec), -1);
    s.spec.rs_depth = 6;
    EXPECT_EQ(wfm_source_attach_frame(synth.get(), &s.spec), -1);
    EXPECT_EQ(played_bits(synth.get(), 3), (std::vector<uint8_t>{1, 1, 1}));
}

// ---------------------------------------------------------------------------------------
// DSSS and RRC

TEST(SourceAttachDsss, ContinuousDataBitsLastFsOverSymbolRateChips) {
    Source s(WFM_TYPE_DSSS);
    s.with_code({0}).with_pattern({1, 0});
    s.spec.symbol_rate = 1000.0;
    s.spec.sps = 4;
    SynthPtr synth(wfm_source_to_synth(&s.spec, 1e6));  // 250 chips of 4 samples per data bit
    ASSERT_TRUE(synth);
    const std::vector<cf32> v = run(synth.get(), 2000);
    for (size_t k = 0; k < 2000; ++k) ASSERT_EQ(v[k].re, k < 1000 ? -1.0f : 1.0f) << k;
}

TEST(SourceAttachDsss, DataModeFollowsTheSource) {
    Source s(WFM_TYPE_DSSS);
    s.with_code({0, 0});
    s.spec.symbol_rate = 0.5;  // two chips per data bit at fs 1
    SynthPtr from_pn(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(from_pn);
    EXPECT_NE(played_bits(from_pn.get(), 64), std::vector<uint8_t>(64, 0));
    s.spec.data_none = 1;
    SynthPtr none(wfm_source_to_synth(&s.spec, 1.0));
    EXPECT_EQ(played_bits(none.get(), 64), std::vector<uint8_t>(64, 0));
}

// sps 0 or less counts as 1, for continuous spreading and for RRC shaping alike: the source
// plays exactly as with sps 1 (and a shaped one not as its unshaped self).
TEST(SourceAttach, SpsOfZeroOrLessCountsAsOne) {
    Source dsss(WFM_TYPE_DSSS);
    dsss.with_code({0, 1, 1}).with_pattern({1, 0, 0});
    dsss.spec.symbol_rate = 0.25;
    Source rrc(WFM_TYPE_BPSK);
    rrc.spec.pulse_rrc = 1;
    rrc.spec.rrc_beta = 0.35;
    rrc.spec.rrc_span = 4;
    for (Source *s : {&dsss, &rrc}) {
        s->spec.sps = 1;
        SynthPtr one(wfm_source_to_synth(&s->spec, 1.0));
        ASSERT_TRUE(one);
        const std::vector<cf32> want = run(one.get(), 64);
        for (int32_t sps : {0, -3}) {
            s->spec.sps = sps;
            SynthPtr synth(wfm_source_to_synth(&s->spec, 1.0));
            ASSERT_TRUE(synth) << sps;
            const std::vector<cf32> got = run(synth.get(), 64);
            EXPECT_EQ(std::memcmp(got.data(), want.data(), sizeof(cf32) * 64), 0) << sps;
        }
    }
    rrc.spec.pulse_rrc = 0;
    SynthPtr unshaped(wfm_source_to_synth(&rrc.spec, 1.0));
    rrc.spec.pulse_rrc = 1;
    SynthPtr shaped(wfm_source_to_synth(&rrc.spec, 1.0));
    EXPECT_NE(run(unshaped.get(), 64)[3].re, run(shaped.get(), 64)[3].re);
}

TEST(SourceAttachDsss, FramedChipsAreTheFramedSpreading) {
    Source s(WFM_TYPE_DSSS);
    s.with_code({0, 1, 1}).with_acq({1, 0}, 2).with_sync({1, 0}).with_pattern(alternating(10));
    SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(synth);
    const size_t n = wfm_frame_dsss_nchips(2, 2, 3, 2, 10, 1);
    std::vector<uint8_t> want(n);
    ASSERT_EQ(wfm_frame_dsss_chips(s.acq.data(), 2, 2, s.code.data(), 3, s.sync.data(), 2, s.pattern.data(), 10, 1,
                                   want.data()),
              n);
    EXPECT_EQ(played_bits(synth.get(), n), want);
}

TEST(SourceAttachRrc, ShapesOnlyWithUsableSymbolLengthAndSpan) {
    Source s(WFM_TYPE_BPSK);
    s.spec.pulse_rrc = 1;
    s.spec.rrc_beta = 0.35;
    s.spec.sps = 4;
    s.spec.rrc_span = 0;
    SynthPtr unshaped(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(unshaped);
    EXPECT_EQ(wfm_synth_state_bytes(unshaped.get()), 83u + 24u);
    s.spec.rrc_span = 4;
    SynthPtr shaped(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(shaped);
    EXPECT_GT(wfm_synth_state_bytes(shaped.get()), 83u + 24u);
}

// Taps that cannot be had (a count beyond an int, a filter beyond any memory) are never
// allocated, and the source plays unshaped: each chip held for sps samples.
TEST(SourceAttachRrc, FilterThatCannotBeBuiltLeavesTheSourceUnshaped) {
    const std::pair<int32_t, int32_t> sizes[] = {{1 << 20, 1 << 12}, {1 << 28, 8}, {227937088, 8}};
    for (const auto &[sps, span] : sizes) {
        SCOPED_TRACE(sps);
        Source s(WFM_TYPE_BPSK);
        s.spec.pulse_rrc = 1;
        s.spec.rrc_beta = 0.35;
        s.spec.sps = sps;
        s.spec.rrc_span = span;
        SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
        ASSERT_TRUE(synth);
        EXPECT_EQ(wfm_synth_state_bytes(synth.get()), 83u + 24u);  // no filter installed
        const std::vector<cf32> v = run(synth.get(), 8);
        for (const cf32 &x : v) {
            EXPECT_EQ(x.re, v[0].re);
            EXPECT_EQ(std::fabs(x.re), 1.0f);
        }
        EXPECT_EQ(wfm_source_attach_rrc(synth.get(), &s.spec), 0);
    }
}

// ---------------------------------------------------------------------------------------
// Whole sources

TEST(SourceToSynth, RefusesSourcesWithNothingToPlay) {
    EXPECT_FALSE(wfm_source_to_synth(nullptr, 1.0));
    Source bits(WFM_TYPE_BITS);
    EXPECT_FALSE(wfm_source_to_synth(&bits.spec, 1.0));
    Source symbols(WFM_TYPE_SYMBOLS);
    EXPECT_FALSE(wfm_source_to_synth(&symbols.spec, 1.0));
    Source framed(WFM_TYPE_DSSS);
    framed.with_pattern(alternating(10));  // no data code
    EXPECT_FALSE(wfm_source_to_synth(&framed.spec, 1.0));
    Source continuous(WFM_TYPE_DSSS);
    continuous.spec.symbol_rate = 10.0;
    EXPECT_FALSE(wfm_source_to_synth(&continuous.spec, 100.0));
    Source refused(WFM_TYPE_QPSK);
    refused.with_sync({1, 1});
    EXPECT_FALSE(wfm_source_to_synth(&refused.spec, 1.0));
}

TEST(SourceToSynth, SymbolsSourcePlaysItsSymbols) {
    Source s(WFM_TYPE_SYMBOLS);
    s.symbols = {{0.5f, 0.5f}, {-1.0f, 0.0f}};
    s.spec.symbols = s.symbols.data();
    s.spec.n_symbols = 2;
    s.spec.sps = 2;
    SynthPtr synth(wfm_source_to_synth(&s.spec, 1.0));
    ASSERT_TRUE(synth);
    const std::vector<cf32> v = run(synth.get(), 8);
    for (size_t k = 0; k < 8; ++k) EXPECT_EQ(v[k].re, s.symbols[(k / 2) % 2].re) << k;
}

}  // namespace
