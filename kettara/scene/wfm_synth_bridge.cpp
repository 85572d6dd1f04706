// Source attachments: framing checks, framed bits, DSSS and RRC configuration of a Synth.
#include "wfm_synth_bridge.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>

#include "asm.h"
#include "checked.hpp"
#include "conv.h"
#include "desc.h"
#include "memory_limit.hpp"
#include "wfm_dsp.h"
#include "wfm_classes.hpp"
#include "wfm_frame.h"
#include "wfm_resolve.h"
#include "wfm_synth_core.hpp"

namespace {

constexpr uint64_t kMarkerBits = 32;
constexpr uint64_t kCrcBits = 16;
constexpr uint64_t kParityBitsPerDepth = 256;
constexpr uint64_t kDataBitsPerDepth = 1784;  // 223 octets per interleaved codeword

bool has_payload(const SourceSpec *src) { return src->pattern && src->pattern_len != 0; }
// Samples per symbol (or chip): 0 or less counts as 1, as in the synthesiser.
int32_t samples_per_chip(const SourceSpec &src) { return std::max<int32_t>(src.sps, 1); }
bool has_acquisition(const SourceSpec *src) {
    return src->acq_code && src->acq_code_len != 0 && src->acq_reps != 0;
}
bool rs_depth_valid(int32_t depth) {
    const uint32_t d = static_cast<uint32_t>(depth);
    return d <= 5 || d == 8;
}

FrameField explicit_field(const uint8_t *bits, uint64_t len, uint64_t reps = 0) {
    FrameField f{};
    f.kind = WFM_FIELD_BITS;
    f.data = bits;
    f.len = len;
    f.reps = reps;
    return f;
}

FrameField produced_field(uint64_t size, uint32_t unit_index) {
    FrameField f{};
    f.fixed_size = size;
    f.produced_by = unit_index + 1;
    return f;
}

// The descriptor of a framed bits source: marker, acquisition, sync, payload, CRC, parity
// (each when asked for), with the CRC over the payload, Reed-Solomon over payload, CRC and
// parity, the randomiser from the payload to the end and the convolutional code over all.
FrameDesc describe_bits_frame(const SourceSpec *src, const uint8_t *marker) {
    FrameDesc d{};
    const auto add_field = [&d](const FrameField &f) {
        d.fields[d.nfields] = f;
        return d.nfields++;
    };
    const auto add_unit = [&d](uint32_t kind, uint32_t first, uint32_t count, uint32_t param) {
        FrameUnit &u = d.units[d.nunits];
        u.kind = kind;
        u.first = first;
        u.count = count;
        u.param = param;
        return d.nunits++;
    };
    if (src->asm_) add_field(explicit_field(marker, kMarkerBits));
    if (has_acquisition(src)) add_field(explicit_field(src->acq_code, src->acq_code_len, src->acq_reps));
    if (src->sync && src->sync_len != 0) add_field(explicit_field(src->sync, src->sync_len));
    const uint32_t payload = add_field(explicit_field(src->pattern, src->pattern_len));
    const uint32_t rs_depth = static_cast<uint32_t>(src->rs_depth);
    // Units are numbered in the order added below: CRC first, when present.
    if (src->crc) add_field(produced_field(kCrcBits, 0));
    if (rs_depth) add_field(produced_field(kParityBitsPerDepth * rs_depth, src->crc ? 1 : 0));

    if (src->crc) add_unit(WFM_UNIT_CRC16, payload, 2, 0);
    if (rs_depth) add_unit(WFM_UNIT_RS, payload, src->crc ? 3 : 2, rs_depth);
    if (src->randomise) add_unit(WFM_UNIT_RANDOMISER, payload, d.nfields - payload, src->randomise);
    if (src->conv) {
        const uint32_t u = add_unit(WFM_UNIT_CONV, 0, d.nfields, 0);
        d.units[u].rate_num = 2;
        d.units[u].rate_den = 1;
    }
    return d;
}

// Coded bits at the start of a convolutionally coded stream that still depend on the
// all-zero starting register; from there on the stream of a repeated frame has the frame's
// period, since every later output depends only on the last K bits of the periodic input.
size_t conv_lead_in() { return size_t{CCSDS_TM_CONV.n} * (CCSDS_TM_CONV.K - 1); }

// A repeated coded frame is one continuous code stream: the first frame starts from the
// all-zero register, every repetition from the register the previous one left. The
// synthesiser gets the stream's first n + lead-in bits and loops over all but the lead-in.
int attach_framed_bits(Synth *s, const SourceSpec *src) {
    // A depth the Reed-Solomon unit refuses would only size an absurd parity field.
    if (!rs_depth_valid(src->rs_depth)) return QN_ERR_INVALID;
    uint8_t marker[kMarkerBits];
    ccsds_tm_asm_bits(marker);
    const FrameDesc desc = describe_bits_frame(src, marker);
    FrameLayout layout{};
    if (wfm_frame_desc_layout(&desc, &layout) != QN_OK || layout.coded_bits == 0) return QN_ERR_INVALID;
    const uint64_t lead_in = src->conv ? conv_lead_in() : 0;
    const auto total = qn::checked_add<uint64_t>(layout.coded_bits, lead_in);
    if (!total || *total > SIZE_MAX || !qn::fits_in_memory(*total + layout.coded_bits)) return QN_ERR_INVALID;
    const size_t n = static_cast<size_t>(layout.coded_bits);
    std::unique_ptr<uint8_t[]> stream(new (std::nothrow) uint8_t[*total]);
    if (!stream) return QN_ERR_INVALID;
    uint32_t conv_state = 0;
    UnitOpsTable ops{};
    ccsds_tm_frame_ops(&ops, &conv_state);
    if (wfm_frame_assemble(&desc, &ops, stream.get(), n) != n) return QN_ERR_INVALID;
    if (lead_in != 0) {
        std::unique_ptr<uint8_t[]> next(new (std::nothrow) uint8_t[n]);
        if (!next) return QN_ERR_INVALID;
        for (size_t have = n; have < *total;) {
            if (wfm_frame_assemble(&desc, &ops, next.get(), n) != n) return QN_ERR_INVALID;
            const size_t take = std::min<size_t>(n, static_cast<size_t>(*total) - have);
            std::copy(next.get(), next.get() + take, stream.get() + have);
            have += take;
        }
    }
    return qn::synth_set_looping_bits(s, stream.get(), static_cast<size_t>(*total), static_cast<size_t>(lead_in),
                                      src->modulation);
}

// The mapping a source plays: its modulation for bits, its type's own otherwise.
uint32_t source_bitmod(const SourceSpec *src) {
    if (src->type == WFM_TYPE_BITS) return src->modulation;
    const qn::LinearClass *c = qn::linear_class_of_type(src->type);
    return c ? c->bitmod : static_cast<uint32_t>(WFM_BITMOD_COUNT);
}

// A source that cannot give the synthesiser anything to play.
bool incomplete(const SourceSpec *src) {
    switch (src->type) {
    case WFM_TYPE_BITS:
        return !has_payload(src);
    case WFM_TYPE_SYMBOLS:
        return !src->symbols || src->n_symbols == 0;
    case WFM_TYPE_DSSS:
        if (src->symbol_rate > 0.0) return !src->data_code || src->data_code_len == 0;
        return wfm_frame_dsss_nchips(src->acq_code_len, src->acq_reps, src->data_code_len, src->sync_len,
                                     src->pattern_len, src->crc) == 0;
    default:
        return false;
    }
}

}  // namespace

extern "C" {

int wfm_source_has_frame(const SourceSpec *src) {
    if (!src) return 0;
    return has_acquisition(src) || (src->sync && src->sync_len != 0) || src->asm_ || src->rs_depth != 0 ||
           src->randomise != 0 || src->conv;
}

const char *wfm_source_frame_error(const SourceSpec *src) {
    if (!wfm_source_has_frame(src) || src->type == WFM_TYPE_DSSS) return nullptr;
    if (src->type != WFM_TYPE_BITS) {
        return "--acq-code/--sync frame a waveform, and a frame needs an explicit payload: use --type bits "
               "with --bits (--modulation bpsk|qpsk), or --type dsss to spread it";
    }
    if (!has_payload(src)) {
        return "a frame needs a payload: --type bits with --acq-code/--sync also needs --bits";
    }
    if (!rs_depth_valid(src->rs_depth)) return "--rs-depth must be 1, 2, 3, 4, 5 or 8 (CCSDS 131.0-B-3 4.3.5.1)";
    if (src->rs_depth != 0) {
        const uint64_t protected_bits = src->pattern_len + (src->crc ? kCrcBits : 0);
        if (protected_bits != kDataBitsPerDepth * static_cast<uint64_t>(src->rs_depth)) {
            return "--rs-depth needs the payload (plus its CRC, if any) to be exactly 223*depth octets — "
                   "virtual fill is not implemented, so a short frame is refused rather than padded";
        }
    }
    return nullptr;
}

const char *wfm_source_error(const SourceSpec *src) {
    if (const char *framing = wfm_source_frame_error(src)) return framing;
    if (!src) return nullptr;
    const bool offset_qpsk = src->type == WFM_TYPE_OQPSK || (src->type == WFM_TYPE_BITS && src->modulation == WFM_BITMOD_OQPSK);
    if (offset_qpsk && src->sps % 2 != 0) {
        return "oqpsk needs an even sps: its quadrature rail runs half a symbol (sps / 2 samples) late";
    }
    if (src->n_apsk_rings != 0) return qn::apsk_rings_error(source_bitmod(src), src->apsk_rings, src->n_apsk_rings);
    return nullptr;
}

int wfm_source_attach_frame(Synth *s, const SourceSpec *src) {
    if (!s || !src) return QN_ERR_INVALID;
    if (src->type != WFM_TYPE_BITS || !has_payload(src)) return QN_OK;
    if (!wfm_source_has_frame(src)) return wfm_synth_set_bits(s, src->pattern, src->pattern_len, src->modulation);
    return attach_framed_bits(s, src);
}

int wfm_source_attach_dsss(Synth *s, const SourceSpec *src, double fs) {
    if (!s || !src) return QN_ERR_INVALID;
    if (src->type != WFM_TYPE_DSSS) return QN_OK;
    if (src->symbol_rate > 0.0) {
        const uint32_t mode = src->data_none      ? WFM_DSSS_DATA_ZEROS
                              : has_payload(src) ? WFM_DSSS_DATA_GIVEN
                                                 : WFM_DSSS_DATA_PN;
        const double chips_per_bit = fs / (src->symbol_rate * samples_per_chip(*src));
        return wfm_synth_set_dsss_cont(s, src->data_code, src->data_code_len, mode, src->pattern, src->pattern_len,
                                       chips_per_bit);
    }
    return wfm_synth_set_dsss(s, src->acq_code, src->acq_code_len, src->acq_reps, src->data_code,
                              src->data_code_len, src->sync, src->sync_len, src->pattern, src->pattern_len,
                              src->crc);
}

int wfm_source_attach_apsk(Synth *s, const SourceSpec *src) {
    if (!s || !src) return QN_ERR_INVALID;
    if (src->n_apsk_rings == 0 || src->n_apsk_rings > 2) return QN_OK;
    return wfm_synth_set_apsk_rings(s, src->apsk_rings, src->n_apsk_rings);
}

int wfm_source_attach_rrc(Synth *s, const SourceSpec *src) {
    if (!s || !src) return QN_ERR_INVALID;
    if (!src->pulse_rrc || !qn::is_symbol_type(src->type) || src->rrc_span < 1) return QN_OK;
    // Taps that cannot be had leave the source playing unshaped. The tap designer counts
    // sps * span in an int.
    const int32_t sps = samples_per_chip(*src);
    const auto half = qn::checked_mul<int32_t>(sps, src->rrc_span);
    if (!half) return QN_OK;
    const size_t n = 2 * static_cast<size_t>(*half) + 1;
    // Installed, a tap costs about eight floats (the taps, their scaled copy, the filter's
    // taps, its history and scratch): a filter that could never fit is not even tried.
    if (!qn::fits_in_memory(uint64_t{n} * 8 * sizeof(float))) return QN_OK;
    std::unique_ptr<float[]> taps(new (std::nothrow) float[n]);
    if (!taps) return QN_OK;
    wfm_rrc_taps(sps, src->rrc_span, taps.get(), src->rrc_beta);
    // A filter that cannot be built keeps the synthesiser as it was: unshaped.
    wfm_synth_set_rrc(s, taps.get(), n);
    return QN_OK;
}

Synth *wfm_source_to_synth(const SourceSpec *src, double fs) {
    if (!src || incomplete(src) || wfm_source_error(src)) return nullptr;
    uint32_t mode = WFM_MODE_AUTO;
    const double snr = wfm_source_create_snr(src, &mode, fs, src->snr);
    Synth *s = wfm_synth_create(src->type, static_cast<int>(mode), src->seed, src->sps,
                                static_cast<uint32_t>(src->pn_length), src->pn_poly, fs, src->freq, snr,
                                src->f_end, static_cast<int>(src->lfsr));
    if (!s) return nullptr;
    bool ok = wfm_source_attach_frame(s, src) == QN_OK;
    if (ok && src->type == WFM_TYPE_SYMBOLS) {
        ok = wfm_synth_set_symbols(s, src->symbols, static_cast<size_t>(src->n_symbols)) == QN_OK;
    }
    ok = ok && wfm_source_attach_dsss(s, src, fs) == QN_OK && wfm_source_attach_apsk(s, src) == QN_OK &&
         wfm_source_attach_rrc(s, src) == QN_OK;
    if (!ok) {
        wfm_synth_destroy(s);
        return nullptr;
    }
    return s;
}

}  // extern "C"
