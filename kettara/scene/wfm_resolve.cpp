#include "wfm_resolve.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "det_math.hpp"
#include "wfm_classes.hpp"

namespace {

constexpr double kNoNoiseSnr = 100.0;
constexpr double kTenLog10Of2 = 3.010299956639812;

double ten_log10(double d) { return std::log10(d) * 10.0; }

bool is_noisy(const SourceSpec &s) { return s.type != WFM_TYPE_NOISE && s.snr < kNoNoiseSnr; }

}  // namespace

extern "C" {

double wfm_snr_over_fs(uint32_t snr_mode, uint32_t type, int32_t sps, uint64_t code_len,
                       double samples_per_symbol, double snr) {
    const double s = sps > 1 ? sps : 1;
    double d = s;
    if (type == WFM_TYPE_DSSS) {
        if (samples_per_symbol > 0.0) d = samples_per_symbol;
        else if (code_len != 0) d = s * static_cast<double>(code_len);
        if (!(d > 0.0)) d = 1.0;
    }
    const qn::LinearClass *per_symbol = qn::symbol_rate_class_of_type(type);
    switch (snr_mode) {
    case WFM_MODE_AUTO:
        if (type == WFM_TYPE_BPSK || type == WFM_TYPE_QPSK || type == WFM_TYPE_DSSS || per_symbol)
            return snr - ten_log10(d);
        return snr;
    case WFM_MODE_EBNO: {
        const double bits = type == WFM_TYPE_QPSK ? kTenLog10Of2 : per_symbol ? qn::ebno_offset_db(*per_symbol) : 0.0;
        return (snr + bits) - ten_log10(d);
    }
    case WFM_MODE_ESNO:
        return snr - ten_log10(d);
    default:
        return snr;
    }
}

double wfm_source_create_snr(const SourceSpec *src, uint32_t *mode_out, double fs, double snr) {
    if (!src) return 0.0;
    uint32_t mode = src->snr_mode;
    if (src->type == WFM_TYPE_DSSS && snr < kNoNoiseSnr) {
        const double sps_data =
            fs > 0.0 && src->symbol_rate > 0.0 ? fs / src->symbol_rate : 0.0;
        snr = wfm_snr_over_fs(src->snr_mode, WFM_TYPE_DSSS, src->sps, src->data_code_len,
                              sps_data, snr);
        mode = WFM_MODE_FS;
    }
    if (mode_out) *mode_out = mode;
    return snr;
}

float wfm_level_gain(double level_db) {
    const float gain = static_cast<float>(qn::det_exp(2.302585092994046 * (level_db * 0.05)));
    // A level whose gain single precision cannot hold (NaN, +inf, beyond about +770 dB)
    // counts as 0 dB, the default level, so that no level turns samples infinite or NaN.
    return std::isfinite(gain) ? gain : 1.0f;
}

}  // extern "C"

namespace {

// Makes every noisy source other than `except` a level above floor; QN_ERR_INVALID when one of them
// already has a level of its own.
int place_above_floor(SegmentSpec &seg, double floor, const SourceSpec *except) {
    for (uint64_t i = 0; i < seg.n_sources; ++i) {
        SourceSpec &s = seg.sources[i];
        if (!is_noisy(s)) continue;
        if (&s != except) {
            if (s.level != 0.0) return QN_ERR_INVALID;
            s.level = s.snr + floor;
        }
        s.snr = kNoNoiseSnr;
    }
    return QN_OK;
}

int resolve_segment(SegmentSpec &seg) {
    // A lone source keeps its own noise, unless a channel stands between it and the noise.
    if (seg.n_sources == 0 || !seg.sources || (seg.n_sources == 1 && !seg.sources[0].channel)) return QN_OK;
    SourceSpec *const begin = seg.sources;
    SourceSpec *const end = begin + seg.n_sources;
    for (SourceSpec *s = begin; s != end; ++s)
        if (s->type == WFM_TYPE_NOISE) return place_above_floor(seg, s->level, nullptr);

    SourceSpec *ref = begin;
    while (ref != end && !is_noisy(*ref)) ++ref;
    if (ref == end) return QN_OK;
    const double sps_data = ref->type == WFM_TYPE_DSSS && ref->symbol_rate > 0.0 && seg.fs > 0.0
                                ? seg.fs / ref->symbol_rate
                                : 0.0;
    const double floor = ref->level - wfm_snr_over_fs(ref->snr_mode, ref->type, ref->sps,
                                                      ref->data_code_len, sps_data, ref->snr);
    const uint32_t seed = ref->seed;
    if (place_above_floor(seg, floor, ref) != QN_OK) return QN_ERR_INVALID;

    void *grown = std::realloc(seg.sources, (seg.n_sources + 1) * sizeof(SourceSpec));
    if (!grown) return QN_ERR_INVALID;
    seg.sources = static_cast<SourceSpec *>(grown);
    SourceSpec &noise = seg.sources[seg.n_sources++];
    std::memset(&noise, 0, sizeof noise);
    noise.type = WFM_TYPE_NOISE;
    noise.seed = seed;
    noise.level = floor;
    return QN_OK;
}

}  // namespace

extern "C" int32_t wfm_resolve_noise(SegmentSpec *segments, uint64_t n) {
    if (!segments && n != 0) return QN_ERR_INVALID;
    for (uint64_t i = 0; i < n; ++i)
        if (resolve_segment(segments[i]) != QN_OK) return QN_ERR_INVALID;
    return QN_OK;
}
