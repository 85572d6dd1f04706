#include "wfm_json.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "channel_json.hpp"
#include "wfm_channel_write.hpp"
#include "checked.hpp"
#include "json_integers.hpp"
#include "wfm_scene.hpp"
#include "wfm_synth_bridge.h"

namespace wfm {

struct JsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// ---- record ownership ------------------------------------------------------------------

void free_src_bits(SourceSpec *sources, uint64_t n) {
    if (!sources) return;
    for (uint64_t i = 0; i < n; ++i) {
        SourceSpec &s = sources[i];
        std::free(s.pattern);
        std::free(s.symbols);
        std::free(s.acq_code);
        std::free(s.data_code);
        std::free(s.sync);
        std::free(s.channel);
        s.pattern = s.acq_code = s.data_code = s.sync = nullptr;
        s.symbols = nullptr;
        s.channel = nullptr;
    }
}

void Segments::reset() {
    for (uint64_t i = 0; i < size_; ++i) {
        free_src_bits(data_[i].sources, data_[i].n_sources);
        std::free(data_[i].sources);
        std::free(data_[i].frontend);
    }
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
}

Segments Segments::zeroed(uint64_t n) {
    Segments out;
    if (n == 0) return out;
    out.data_ = static_cast<SegmentSpec *>(std::calloc(n, sizeof(SegmentSpec)));
    if (out.data_) out.size_ = n;
    return out;
}

namespace {

// Copies n elements into *dst, leaving it null when n is 0; false on allocation failure.
template <typename T>
bool copy_array(T *&dst, const T *src, uint64_t n) {
    dst = nullptr;
    if (n == 0 || !src) return true;
    const auto bytes = qn::checked_mul<uint64_t>(n, sizeof(T));
    if (!bytes || *bytes > SIZE_MAX) return false;
    dst = static_cast<T *>(std::malloc(*bytes));
    if (!dst) return false;
    std::memcpy(dst, src, *bytes);
    return true;
}

bool copy_source(SourceSpec &dst, const SourceSpec &src) {
    dst = src;
    dst.pattern = dst.acq_code = dst.data_code = dst.sync = nullptr;
    dst.symbols = nullptr;
    dst.channel = nullptr;
    const bool ok = copy_array(dst.channel, src.channel, src.channel ? 1 : 0) &&
                    copy_array(dst.pattern, src.pattern, src.pattern_len) &&
                    copy_array(dst.symbols, src.symbols, src.n_symbols) &&
                    copy_array(dst.acq_code, src.acq_code, src.acq_code_len) &&
                    copy_array(dst.data_code, src.data_code, src.data_code_len) &&
                    copy_array(dst.sync, src.sync, src.sync_len);
    if (!dst.pattern) dst.pattern_len = 0;
    if (!dst.symbols) dst.n_symbols = 0;
    if (!dst.acq_code) dst.acq_code_len = 0;
    if (!dst.data_code) dst.data_code_len = 0;
    if (!dst.sync) dst.sync_len = 0;
    return ok;
}

}  // namespace

Segments Segments::copy_of(const SegmentSpec *segments, uint64_t n) {
    if (!segments) return {};
    Segments out = zeroed(n);
    for (uint64_t i = 0; i < out.size(); ++i) {
        const SegmentSpec &src = segments[i];
        SegmentSpec &dst = out[i];
        dst = src;
        dst.sources = nullptr;
        dst.n_sources = 0;
        if (!copy_array(dst.frontend, src.frontend, src.frontend ? 1 : 0)) return {};
        if (src.n_sources == 0 || !src.sources) continue;
        dst.sources = static_cast<SourceSpec *>(std::calloc(src.n_sources, sizeof(SourceSpec)));
        if (!dst.sources) return {};
        dst.n_sources = src.n_sources;
        for (uint64_t k = 0; k < src.n_sources; ++k)
            if (!copy_source(dst.sources[k], src.sources[k])) return {};
    }
    return out;
}

// ---- parsing ---------------------------------------------------------------------------

namespace {

const cJSON *item(const cJSON *obj, const char *key) {
    return cJSON_GetObjectItemCaseSensitive(obj, key);
}

double number_or(const cJSON *obj, const char *key, double fallback) {
    const cJSON *v = item(obj, key);
    return cJSON_IsNumber(v) ? v->valuedouble : fallback;
}

bool is_true(const cJSON *obj, const char *key) { return cJSON_IsTrue(item(obj, key)); }

// Index of the string value of key in names, or fallback when absent, not a string or
// not among the names.
template <size_t N>
uint32_t name_code(const cJSON *obj, const char *key, const char *const (&names)[N],
                   uint32_t fallback) {
    const char *s = cJSON_GetStringValue(item(obj, key));
    if (!s) return fallback;
    for (size_t i = 0; i < N; ++i)
        if (std::strcmp(s, names[i]) == 0) return static_cast<uint32_t>(i);
    return fallback;
}

bool string_is(const cJSON *obj, const char *key, const char *expected) {
    const char *s = cJSON_GetStringValue(item(obj, key));
    return s && std::strcmp(s, expected) == 0;
}

// A value or a two-number range [lo, hi]; sets flag in *flags when ranged.
double num_or_range(const cJSON *obj, const char *key, double fallback, double &hi,
                    uint32_t &flags, uint32_t flag) {
    const cJSON *v = item(obj, key);
    if (cJSON_IsArray(v) && cJSON_GetArraySize(v) == 2) {
        const cJSON *lo_item = cJSON_GetArrayItem(v, 0);
        const cJSON *hi_item = cJSON_GetArrayItem(v, 1);
        if (cJSON_IsNumber(lo_item) && cJSON_IsNumber(hi_item)) {
            hi = hi_item->valuedouble;
            flags |= flag;
            return lo_item->valuedouble;
        }
    }
    flags &= ~flag;
    return cJSON_IsNumber(v) ? v->valuedouble : fallback;
}

uint64_t count_or_range(const cJSON *obj, const char *key, uint64_t &hi, uint32_t &flags,
                        uint32_t flag) {
    double hi_value = 0;
    const double lo = num_or_range(obj, key, 0, hi_value, flags, flag);
    hi = qn::saturating_count<uint64_t>(hi_value);
    return qn::saturating_count<uint64_t>(lo);
}

uint64_t count_or(const cJSON *obj, const char *key, uint64_t fallback) {
    const cJSON *v = item(obj, key);
    return cJSON_IsNumber(v) ? qn::saturating_count<uint64_t>(v->valuedouble) : fallback;
}

int32_t int32_or(const cJSON *obj, const char *key, int32_t fallback) {
    const cJSON *v = item(obj, key);
    return cJSON_IsNumber(v) ? qn::clamped_int<int32_t>(v->valuedouble) : fallback;
}

// A bit string: '0' and '1' become bits, every other character is skipped. An absent or
// non-string value leaves the array absent; false only on allocation failure.
bool bit_string(const cJSON *obj, const char *key, uint8_t *&bits, uint64_t &len) {
    const char *s = cJSON_GetStringValue(item(obj, key));
    if (!s) return true;
    const size_t n = std::strlen(s);
    bits = static_cast<uint8_t *>(std::malloc(n > 0 ? n : 1));
    if (!bits) return false;
    len = 0;
    for (const char *p = s; *p; ++p)
        if (*p == '0' || *p == '1') bits[len++] = static_cast<uint8_t>(*p - '0');
    return true;
}

bool parse_symbols(const cJSON *obj, SourceSpec &out) {
    const cJSON *arr = item(obj, "symbols");
    if (!cJSON_IsArray(arr)) return true;
    const uint64_t n = static_cast<uint64_t>(cJSON_GetArraySize(arr)) / 2;
    if (n == 0) return true;
    out.symbols = static_cast<cf32 *>(std::malloc(n * sizeof(cf32)));
    if (!out.symbols) return false;
    out.n_symbols = n;
    uint64_t k = 0;
    const cJSON *el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        if (k == 2 * n) break;
        const float v = cJSON_IsNumber(el) ? qn::to_float(el->valuedouble) : 0.0f;
        if (k % 2 == 0) out.symbols[k / 2].re = v;
        else out.symbols[k / 2].im = v;
        ++k;
    }
    return true;
}

// "apsk_rings": an array of numbers (anything else counts as absent); its count is kept,
// its first two values.
void parse_apsk_rings(const cJSON *obj, SourceSpec &out) {
    const cJSON *arr = item(obj, "apsk_rings");
    if (!cJSON_IsArray(arr) || cJSON_GetArraySize(arr) == 0) return;
    const cJSON *el = nullptr;
    cJSON_ArrayForEach(el, arr) {
        if (!cJSON_IsNumber(el)) return;
    }
    uint32_t k = 0;
    cJSON_ArrayForEach(el, arr) {
        if (k < 2) out.apsk_rings[k] = el->valuedouble;
        ++k;
    }
    out.n_apsk_rings = k;
}

uint32_t randomise_code(const cJSON *obj) {
    const cJSON *v = item(obj, "randomise");
    if (cJSON_IsString(v)) {
        static const char *const kNames[] = {"off", "ccsds", "legacy"};
        return name_code(obj, "randomise", kNames, WFM_RANDOMISE_OFF);
    }
    return cJSON_IsTrue(v) ? WFM_RANDOMISE_CCSDS : WFM_RANDOMISE_OFF;
}

// Fills out (which the caller has zeroed) from one source object; false when the source
// has no valid type or memory runs out. Arrays already stored are freed by the caller.
bool parse_source_obj(const cJSON *obj, SourceSpec &out, const qn::ExactIntegers &exact) {
    const char *type = cJSON_GetStringValue(item(obj, "type"));
    if (!type) return false;
    uint32_t code = WFM_TYPE_COUNT;
    for (uint32_t i = 0; i < WFM_TYPE_COUNT; ++i)
        if (std::strcmp(type, TYPE_NAMES[i]) == 0) code = i;
    if (code == WFM_TYPE_COUNT) return false;

    out.type = code;
    out.snr_mode = name_code(obj, "snr_mode", MODE_NAMES, WFM_MODE_AUTO);
    out.freq = num_or_range(obj, "freq", 0, out.freq_hi, out.range_flags, WFM_RANGE_FREQ);
    out.snr = num_or_range(obj, "snr", 100, out.snr_hi, out.range_flags, WFM_RANGE_SNR);
    out.level = num_or_range(obj, "level", 0, out.level_hi, out.range_flags, WFM_RANGE_LEVEL);
    out.f_end = num_or_range(obj, "f_end", 0, out.f_end_hi, out.range_flags, WFM_RANGE_F_END);
    const cJSON *seed = item(obj, "seed");
    out.seed = cJSON_IsNumber(seed) ? qn::seed_of(seed, exact) : 1;
    out.sps = int32_or(obj, "sps", 8);
    out.pn_length = int32_or(obj, "pn_length", 7);
    out.pn_poly = count_or(obj, "pn_poly", 0);
    out.lfsr = string_is(obj, "lfsr", "fibonacci") ? WFM_LFSR_FIBONACCI : WFM_LFSR_GALOIS;
    out.background = is_true(obj, "background");

    if (code == WFM_TYPE_BITS) {
        out.modulation = name_code(obj, "modulation", BITMOD_NAMES, WFM_BITMOD_BPSK);
        if (!bit_string(obj, "pattern", out.pattern, out.pattern_len)) return false;
    }
    if (!bit_string(obj, "acq_code", out.acq_code, out.acq_code_len) ||
        !bit_string(obj, "sync", out.sync, out.sync_len))
        return false;
    out.acq_reps = count_or(obj, "acq_reps", 1);
    out.crc = string_is(obj, "crc", "none") ? WFM_CRC_NONE : WFM_CRC_16;
    out.rs_depth = int32_or(obj, "rs_depth", 0);
    out.randomise = randomise_code(obj);
    out.asm_ = is_true(obj, "asm");
    out.conv = is_true(obj, "conv");

    if (code == WFM_TYPE_DSSS) {
        if (!bit_string(obj, "data_code", out.data_code, out.data_code_len)) return false;
        const char *payload_key = cJSON_IsString(item(obj, "payload")) ? "payload" : "pattern";
        if (!bit_string(obj, payload_key, out.pattern, out.pattern_len)) return false;
        out.symbol_rate = number_or(obj, "symbol_rate", 0);
        out.data_none = string_is(obj, "data", "none");
    }
    if (code == WFM_TYPE_SYMBOLS && !parse_symbols(obj, out)) return false;

    parse_apsk_rings(obj, out);
    if (string_is(obj, "pulse", "rrc")) {
        out.pulse_rrc = 1;
        out.rrc_beta = number_or(obj, "rrc_beta", 0.35);
        out.rrc_span = int32_or(obj, "rrc_span", 8);
    }
    return parse_channel(obj, out.channel);
}

bool parse_segment(const cJSON *obj, SegmentSpec &seg, const qn::ExactIntegers &exact) {
    const cJSON *sum = item(obj, "sum");
    if (sum && item(obj, "type")) return false;
    const bool is_sum = cJSON_IsArray(sum);
    const uint64_t n = is_sum ? static_cast<uint64_t>(cJSON_GetArraySize(sum)) : 1;
    if (n == 0) return false;
    seg.sources = static_cast<SourceSpec *>(std::calloc(n, sizeof(SourceSpec)));
    if (!seg.sources) return false;
    seg.n_sources = n;
    if (is_sum) {
        uint64_t k = 0;
        const cJSON *el = nullptr;
        cJSON_ArrayForEach(el, sum) {
            if (!parse_source_obj(el, seg.sources[k++], exact)) return false;
        }
    } else if (!parse_source_obj(obj, seg.sources[0], exact)) {
        return false;
    }
    seg.num_samples = count_or_range(obj, "num_samples", seg.num_samples_hi, seg.range_flags,
                                     WFM_RANGE_NUM_SAMPLES);
    seg.off_samples = count_or_range(obj, "off_samples", seg.off_samples_hi, seg.range_flags,
                                     WFM_RANGE_OFF_SAMPLES);
    seg.delay_samples = count_or_range(obj, "delay_samples", seg.delay_samples_hi,
                                       seg.range_flags, WFM_RANGE_DELAY_SAMPLES);
    seg.gap_noise_off = string_is(obj, "gap_noise", "off");
    seg.fs = number_or(obj, "fs", 1.0);
    seg.repeats = count_or(obj, "repeats", 1);
    return parse_frontend(obj, seg.frontend);
}

}  // namespace

bool parse_scene(const char *text, Scene &out) {
    if (!text) return false;
    const JsonPtr root(cJSON_Parse(text));
    if (!root) return false;
    const cJSON *list = item(root.get(), "segments");
    if (!cJSON_IsArray(list) || cJSON_GetArraySize(list) < 1) return false;

    Scene scene;
    scene.repeat = is_true(root.get(), "repeat");
    scene.continuous = is_true(root.get(), "continuous");
    scene.seed_advance = name_code(root.get(), "seed_advance", SEED_ADVANCE_NAMES,
                                   WFM_SEED_ADVANCE_NONE);
    scene.segments = Segments::zeroed(static_cast<uint64_t>(cJSON_GetArraySize(list)));
    if (scene.segments.empty()) return false;
    const qn::ExactIntegers exact(text, root.get());
    uint64_t i = 0;
    const cJSON *el = nullptr;
    cJSON_ArrayForEach(el, list) {
        if (!parse_segment(el, scene.segments[i++], exact)) return false;
    }
    out = std::move(scene);
    return true;
}

}  // namespace wfm

// ---- entry points ----------------------------------------------------------------------

extern "C" {

Composer *wfm_compose_from_json(const char *json) {
    wfm::Scene scene;
    if (!wfm::parse_scene(json, scene)) return nullptr;
    Composer *c = wfm_compose_create(scene.segments.data(), scene.segments.size(), scene.repeat,
                                     scene.continuous);
    wfm_compose_set_seed_advance(c, scene.seed_advance);
    return c;
}

Composer *wfm_compose_from_file(const char *path) {
    if (!path) return nullptr;
    std::FILE *f = std::fopen(path, "rb");
    if (!f) return nullptr;
    char *text = nullptr;
    long len = -1;
    // A directory opens, but its "length" is no text length.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && std::fseek(f, 0, SEEK_END) == 0)
        len = std::ftell(f);
    if (len >= 0 && std::fseek(f, 0, SEEK_SET) == 0)
        text = static_cast<char *>(std::malloc(static_cast<size_t>(len) + 1));
    if (text) text[std::fread(text, 1, static_cast<size_t>(len), f)] = '\0';
    std::fclose(f);
    if (!text) return nullptr;
    Composer *c = wfm_compose_from_json(text);
    std::free(text);
    return c;
}

}  // extern "C"

// ---- writing ---------------------------------------------------------------------------

namespace {

const char *name_or_first(const char *const *names, uint32_t count, uint32_t code,
                          uint32_t fallback) {
    return names[code < count ? code : fallback];
}

void add_value_or_range(cJSON *obj, const char *key, double lo, double hi, bool ranged) {
    if (!ranged) {
        cJSON_AddNumberToObject(obj, key, lo);
        return;
    }
    cJSON *pair = cJSON_AddArrayToObject(obj, key);
    cJSON_AddItemToArray(pair, cJSON_CreateNumber(lo));
    cJSON_AddItemToArray(pair, cJSON_CreateNumber(hi));
}

void add_count(cJSON *obj, const char *key, uint64_t v) {
    cJSON_AddNumberToObject(obj, key, static_cast<double>(v));
}

// Absent arrays write nothing; a buffer that cannot be allocated omits the key.
void add_bits(cJSON *obj, const char *key, const uint8_t *bits, uint64_t n) {
    if (!bits || n >= SIZE_MAX) return;
    char *text = static_cast<char *>(std::malloc(n + 1));
    if (!text) return;
    for (uint64_t i = 0; i < n; ++i) text[i] = bits[i] ? '1' : '0';
    text[n] = '\0';
    cJSON_AddStringToObject(obj, key, text);
    std::free(text);
}

void add_frame_keys(cJSON *obj, const SourceSpec &s) {
    if (!wfm_source_has_frame(&s)) return;
    add_bits(obj, "acq_code", s.acq_code, s.acq_code_len);
    add_count(obj, "acq_reps", s.acq_reps);
    add_bits(obj, "sync", s.sync, s.sync_len);
    cJSON_AddStringToObject(obj, "crc", s.crc ? "crc16" : "none");
}

void add_type_keys(cJSON *obj, const SourceSpec &s) {
    switch (s.type) {
    case WFM_TYPE_BITS:
        cJSON_AddStringToObject(obj, "modulation",
                                name_or_first(BITMOD_NAMES, WFM_BITMOD_COUNT, s.modulation,
                                              WFM_BITMOD_BPSK));
        if (s.rs_depth != 0) cJSON_AddNumberToObject(obj, "rs_depth", s.rs_depth);
        if (s.randomise != 0)
            cJSON_AddStringToObject(obj, "randomise",
                                    s.randomise == WFM_RANDOMISE_LEGACY ? "legacy" : "ccsds");
        if (s.asm_) cJSON_AddBoolToObject(obj, "asm", 1);
        if (s.conv) cJSON_AddBoolToObject(obj, "conv", 1);
        if (s.pattern_len != 0) add_bits(obj, "pattern", s.pattern, s.pattern_len);
        add_frame_keys(obj, s);
        break;
    case WFM_TYPE_SYMBOLS:
        if (s.symbols && s.n_symbols != 0) {
            cJSON *arr = cJSON_AddArrayToObject(obj, "symbols");
            for (uint64_t k = 0; arr && k < s.n_symbols; ++k) {
                cJSON_AddItemToArray(arr, cJSON_CreateNumber(s.symbols[k].re));
                cJSON_AddItemToArray(arr, cJSON_CreateNumber(s.symbols[k].im));
            }
        }
        add_frame_keys(obj, s);
        break;
    case WFM_TYPE_DSSS:
        if (s.symbol_rate > 0) {
            add_bits(obj, "data_code", s.data_code, s.data_code_len);
            add_bits(obj, "payload", s.pattern, s.pattern_len);
            cJSON_AddNumberToObject(obj, "symbol_rate", s.symbol_rate);
            if (s.data_none) cJSON_AddStringToObject(obj, "data", "none");
        } else {
            add_bits(obj, "acq_code", s.acq_code, s.acq_code_len);
            add_count(obj, "acq_reps", s.acq_reps);
            add_bits(obj, "data_code", s.data_code, s.data_code_len);
            add_bits(obj, "sync", s.sync, s.sync_len);
            add_bits(obj, "payload", s.pattern, s.pattern_len);
            cJSON_AddStringToObject(obj, "crc", s.crc ? "crc16" : "none");
        }
        break;
    default:
        add_frame_keys(obj, s);
        break;
    }
}

// "type" to "lfsr"; fs (flat segments only) follows "type".
void add_source_head(cJSON *obj, const SourceSpec &s, const double *fs) {
    cJSON_AddStringToObject(obj, "type",
                            name_or_first(TYPE_NAMES, WFM_TYPE_COUNT, s.type, WFM_TYPE_TONE));
    if (fs) cJSON_AddNumberToObject(obj, "fs", *fs);
    add_value_or_range(obj, "freq", s.freq, s.freq_hi, s.range_flags & WFM_RANGE_FREQ);
    if (s.type == WFM_TYPE_CHIRP)
        add_value_or_range(obj, "f_end", s.f_end, s.f_end_hi, s.range_flags & WFM_RANGE_F_END);
    add_value_or_range(obj, "snr", s.snr, s.snr_hi, s.range_flags & WFM_RANGE_SNR);
    cJSON_AddStringToObject(obj, "snr_mode",
                            name_or_first(MODE_NAMES, WFM_MODE_COUNT, s.snr_mode, WFM_MODE_AUTO));
    cJSON_AddNumberToObject(obj, "seed", s.seed);
    cJSON_AddNumberToObject(obj, "sps", s.sps);
    cJSON_AddNumberToObject(obj, "pn_length", s.pn_length);
    add_count(obj, "pn_poly", s.pn_poly);
    cJSON_AddStringToObject(obj, "lfsr", s.lfsr == WFM_LFSR_FIBONACCI ? "fibonacci" : "galois");
}

// "level" to the pulse keys.
void add_source_tail(cJSON *obj, const SourceSpec &s) {
    if (s.level != 0 || (s.range_flags & WFM_RANGE_LEVEL))
        add_value_or_range(obj, "level", s.level, s.level_hi, s.range_flags & WFM_RANGE_LEVEL);
    if (s.background) cJSON_AddBoolToObject(obj, "background", 1);
    add_type_keys(obj, s);
    if (s.n_apsk_rings != 0) {
        cJSON *rings = cJSON_AddArrayToObject(obj, "apsk_rings");
        for (uint32_t k = 0; rings && k < s.n_apsk_rings && k < 2; ++k)
            cJSON_AddItemToArray(rings, cJSON_CreateNumber(s.apsk_rings[k]));
    }
    if (s.pulse_rrc) {
        cJSON_AddStringToObject(obj, "pulse", "rrc");
        cJSON_AddNumberToObject(obj, "rrc_beta", s.rrc_beta);
        cJSON_AddNumberToObject(obj, "rrc_span", s.rrc_span);
    }
    wfm::add_channel(obj, s.channel);
}

void add_segment_timing(cJSON *obj, const SegmentSpec &g) {
    add_value_or_range(obj, "num_samples", static_cast<double>(g.num_samples),
                       static_cast<double>(g.num_samples_hi),
                       g.range_flags & WFM_RANGE_NUM_SAMPLES);
    add_value_or_range(obj, "off_samples", static_cast<double>(g.off_samples),
                       static_cast<double>(g.off_samples_hi),
                       g.range_flags & WFM_RANGE_OFF_SAMPLES);
    if (g.repeats > 1) add_count(obj, "repeats", g.repeats);
    if (g.delay_samples != 0 || (g.range_flags & WFM_RANGE_DELAY_SAMPLES))
        add_value_or_range(obj, "delay_samples", static_cast<double>(g.delay_samples),
                           static_cast<double>(g.delay_samples_hi),
                           g.range_flags & WFM_RANGE_DELAY_SAMPLES);
    if (g.gap_noise_off) cJSON_AddStringToObject(obj, "gap_noise", "off");
    wfm::add_frontend(obj, g.frontend);
}

cJSON *segment_object(const SegmentSpec &g) {
    cJSON *obj = cJSON_CreateObject();
    if (!obj) return nullptr;
    if (g.n_sources == 1 && g.sources) {
        add_source_head(obj, g.sources[0], &g.fs);
        add_segment_timing(obj, g);
        add_source_tail(obj, g.sources[0]);
        return obj;
    }
    cJSON_AddNumberToObject(obj, "fs", g.fs);
    add_segment_timing(obj, g);
    cJSON *sum = cJSON_AddArrayToObject(obj, "sum");
    for (uint64_t k = 0; sum && g.sources && k < g.n_sources; ++k) {
        cJSON *src = cJSON_CreateObject();
        if (!src) continue;
        add_source_head(src, g.sources[k], nullptr);
        add_source_tail(src, g.sources[k]);
        cJSON_AddItemToArray(sum, src);
    }
    return obj;
}

}  // namespace

extern "C" {

char *wfm_spec_to_json(const SegmentSpec *segments, uint64_t n, int32_t repeat,
                       int32_t continuous, int32_t seed_advance, double headroom) {
    if (!segments && n != 0) return nullptr;
    const wfm::JsonPtr root(cJSON_CreateObject());
    if (!root) return nullptr;
    cJSON *r = root.get();
    cJSON_AddNumberToObject(r, "version", 1);
    cJSON_AddBoolToObject(r, "repeat", repeat != 0);
    cJSON_AddBoolToObject(r, "continuous", continuous != 0);
    if (seed_advance == WFM_SEED_ADVANCE_NOISE || seed_advance == WFM_SEED_ADVANCE_ALL)
        cJSON_AddStringToObject(r, "seed_advance", SEED_ADVANCE_NAMES[seed_advance]);
    if (headroom != 0) cJSON_AddNumberToObject(r, "headroom", headroom);
    cJSON *list = cJSON_AddArrayToObject(r, "segments");
    for (uint64_t i = 0; list && i < n; ++i) {
        cJSON *seg = segment_object(segments[i]);
        if (seg) cJSON_AddItemToArray(list, seg);
    }
    return cJSON_Print(r);
}

char *wfm_spec_template_json(void) {
    uint8_t pattern[] = {1, 0, 1, 1, 0, 0, 0, 1, 1, 0};
    auto source = [](uint32_t type, double freq, double snr) {
        SourceSpec s{};
        s.type = type;
        s.freq = freq;
        s.snr = snr;
        s.seed = 1;
        s.sps = 8;
        s.pn_length = 7;
        s.acq_reps = 1;
        s.crc = WFM_CRC_16;
        return s;
    };
    auto rrc = [](SourceSpec s) {
        s.pulse_rrc = 1;
        s.rrc_beta = 0.35;
        s.rrc_span = 8;
        return s;
    };
    SourceSpec tone = source(WFM_TYPE_TONE, 100000, 20);
    SourceSpec bits = rrc(source(WFM_TYPE_BITS, 0, 30));
    bits.modulation = WFM_BITMOD_QPSK;
    bits.pattern = pattern;
    bits.pattern_len = sizeof pattern;
    SourceSpec sum[2] = {rrc(source(WFM_TYPE_BPSK, 0, 20)), source(WFM_TYPE_TONE, 200000, 10)};
    sum[1].seed = 2;

    SegmentSpec segs[3]{};
    for (SegmentSpec &g : segs) {
        g.fs = 1e6;
        g.repeats = 1;
        g.num_samples = 10000;
        g.n_sources = 1;
    }
    segs[0].sources = &tone;
    segs[1].sources = &bits;
    segs[1].num_samples = 8000;
    segs[1].off_samples = 2000;
    segs[2].sources = sum;
    segs[2].n_sources = 2;
    return wfm_spec_to_json(segs, 3, 0, 0, WFM_SEED_ADVANCE_NONE, 0);
}

const char *wfm_spec_frame_error(const char *json) {
    wfm::Scene scene;
    if (!wfm::parse_scene(json, scene)) return nullptr;
    for (uint64_t i = 0; i < scene.segments.size(); ++i) {
        const SegmentSpec &segment = scene.segments[i];
        for (uint64_t k = 0; k < segment.n_sources; ++k)
            if (const char *message = wfm_source_error(&segment.sources[k])) return message;
    }
    return nullptr;
}

char *wfm_spec_normalise(const char *json) {
    wfm::Scene scene;
    if (!wfm::parse_scene(json, scene)) return nullptr;
    return wfm_spec_to_json(scene.segments.data(), scene.segments.size(), scene.repeat, scene.continuous,
                            static_cast<int32_t>(scene.seed_advance), wfm_spec_headroom(json));
}

double wfm_spec_headroom(const char *json) {
    if (!json) return 0;
    const wfm::JsonPtr root(cJSON_Parse(json));
    if (!root) return 0;
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(root.get(), "headroom");
    return cJSON_IsNumber(v) ? v->valuedouble : 0;
}

}  // extern "C"
