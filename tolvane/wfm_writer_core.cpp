// The capture writer: gain, peak and clipping, conversion to the wire type, BLUE
// header patching at close, and the SigMF metadata document.
#include "wfm_writer_core.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "capture_format.hpp"
#include "checked.hpp"
#include "wfm_draw.h"
#include "wfm_keywords.h"
#include "wfm_writer_convert.hpp"
#include "write_blue_header.h"

namespace {

using namespace tolvane;
using writer::integer_code;
using writer::Level;

enum SampleType : int32_t { kCf32 = 0, kCf64 = 1, kCi32 = 2, kCi16 = 3, kCi8 = 4 };

constexpr const char *kSampleTypeNames[kSampleTypeCount] = {"cf32", "cf64", "ci32", "ci16", "ci8"};
constexpr std::string_view kDataSuffix = ".sigmf-data";
constexpr std::string_view kMetaSuffix = ".sigmf-meta";
// Samples converted per file write: bounded memory and a buffer that stays in cache.
constexpr size_t kChunkSamples = size_t{1} << 14;
constexpr size_t kExtHeaderInitialCapacity = 256;

bool is_integer_type(int32_t stype) { return stype >= kCi32; }

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool is_sigmf_data_path(std::string_view path) { return path.size() > 10 && ends_with(path, kDataSuffix); }

}  // namespace

struct Writer {
    FILE *file = nullptr;        // the samples
    FILE *hcb_file = nullptr;    // the BLUE header: the capture itself, or a detached header file
    bool owns_file = false;
    int32_t file_type = TOLVANE_FTYPE_RAW;
    int32_t sample_type = kCf32;
    bool big_endian = false;
    uint64_t samples_written = 0;
    std::unique_ptr<unsigned char[]> buffer;
    size_t buffer_capacity = 0;
    float peak = 0.0f;
    uint64_t clipped = 0;
    bool track_clipping = false;
    float gain = 1.0f;
    std::unique_ptr<unsigned char[]> ext_header;
    size_t ext_length = 0;
    size_t ext_capacity = 0;
    char hcb_keywords[blue::kKeywordAreaSize] = {};
    size_t hcb_used = 0;
    double fs = 0.0;
    double fc = 0.0;
    double t0 = 0.0;
    uint64_t declared_samples = 0;
    std::string sidecar_path;  // the data path when a SigMF sidecar is written at close
    bool write_failed = false; // latched: a short write must not shift later samples

    size_t stride() const { return complex_stride(sample_type); }
};

namespace {

bool grow_buffer(Writer &w, size_t bytes) {
    if (bytes <= w.buffer_capacity) return true;
    std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[bytes]);
    if (!grown) return false;
    w.buffer = std::move(grown);
    w.buffer_capacity = bytes;
    return true;
}

uint64_t write_csv(Writer &w, const cf32 *samples, uint64_t count, Level &level) {
    uint64_t lines = 0;
    for (; lines < count; ++lines) {
        const float re = level.apply(samples[lines].re);
        const float im = level.apply(samples[lines].im);
        int printed;
        if (w.sample_type == kCf32) {
            printed = std::fprintf(w.file, "%0.9f,%0.9f\n", re, im);
        } else if (w.sample_type == kCf64) {
            printed = std::fprintf(w.file, "%0.17g,%0.17g\n", static_cast<double>(re), static_cast<double>(im));
        } else {
            const double scale = SCALE[w.sample_type];
            printed = std::fprintf(w.file, "%ld,%ld\n", integer_code<long>(re, scale), integer_code<long>(im, scale));
        }
        if (printed < 0) {
            w.write_failed = true;
            break;
        }
    }
    return lines;
}

uint64_t write_binary(Writer &w, const cf32 *samples, uint64_t count, Level &level) {
    const size_t stride = w.stride();
    if (!grow_buffer(w, static_cast<size_t>(std::min<uint64_t>(count, kChunkSamples)) * stride)) return 0;
    uint64_t stored = 0;
    while (stored < count) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count - stored, kChunkSamples));
        writer::convert_components(w.sample_type, &samples[stored].re, 2 * n, level, w.buffer.get());
        if (w.big_endian) writer::reverse_elements(w.buffer.get(), 2 * n, ELEM[w.sample_type]);
        const size_t bytes = std::fwrite(w.buffer.get(), 1, n * stride, w.file);
        stored += bytes / stride;
        if (bytes != n * stride) {
            w.write_failed = true;
            break;
        }
    }
    return stored;
}

bool is_hcb_ascii_tag(const char *tag) {
    for (const char *name : {"CREATOR", "IO", "PACKET", "PKT_BYTE_COUNT", "TC_PREC", "VER"})
        if (std::strcmp(tag, name) == 0) return true;
    return false;
}

// tag=value and its NUL into the HCB keyword area, when it fits.
bool append_hcb_keyword(Writer &w, const char *tag, const char *value, size_t value_len) {
    const size_t tag_len = std::strlen(tag);
    const size_t room = blue::kKeywordAreaSize - w.hcb_used;
    if (tag_len >= room || value_len >= room || tag_len + value_len + 2 > room) return false;
    char *at = w.hcb_keywords + w.hcb_used;
    std::memcpy(at, tag, tag_len);
    at[tag_len] = '=';
    std::memcpy(at + tag_len + 1, value, value_len);
    at[tag_len + 1 + value_len] = '\0';
    w.hcb_used += tag_len + value_len + 2;
    return true;
}

int append_ext_keyword(Writer &w, const char *tag, char type, const void *values, size_t count) {
    const auto value_bytes = qn::checked_mul(count, wfm_kw_elem_size(type));
    if (!value_bytes) return QN_ERR_INVALID;
    const size_t record = wfm_kw_entry_size(std::strlen(tag), *value_bytes);
    const auto needed = qn::checked_add(w.ext_length, record);
    if (record == 0 || !needed) return QN_ERR_INVALID;
    if (*needed > w.ext_capacity) {
        size_t capacity = w.ext_capacity ? w.ext_capacity : kExtHeaderInitialCapacity;
        while (capacity < *needed) {
            const auto doubled = qn::checked_mul(capacity, size_t{2});
            if (!doubled) return QN_ERR_INVALID;
            capacity = *doubled;
        }
        std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[capacity]);
        if (!grown) return QN_ERR_INVALID;
        if (w.ext_length) std::memcpy(grown.get(), w.ext_header.get(), w.ext_length);
        w.ext_header = std::move(grown);
        w.ext_capacity = capacity;
    }
    const size_t written = wfm_kw_encode(w.ext_header.get() + w.ext_length, w.ext_capacity - w.ext_length, tag,
                                         type, values, count, w.big_endian);
    if (written == 0) return QN_ERR_INVALID;
    w.ext_length += written;
    return QN_OK;
}

bool write_at(FILE *f, off_t offset, const void *bytes, size_t n) {
    return fseeko(f, offset, SEEK_SET) == 0 && std::fwrite(bytes, 1, n, f) == n;
}

template <typename T>
bool write_field_at(Writer &w, off_t offset, T v) {
    unsigned char bytes[sizeof(T)];
    store_field<T>(bytes, v, w.big_endian);
    return write_at(w.hcb_file, offset, bytes, sizeof bytes);
}

// Extended header at the end of the header's file (after the samples of an attached
// capture), padded to a 512-byte block, and its place in the HCB.
bool append_ext_header(Writer &w) {
    FILE *f = w.hcb_file;
    if (fseeko(f, 0, SEEK_END) != 0) return false;
    const off_t end = ftello(f);
    if (end < 0) return false;
    const off_t block = static_cast<off_t>(blue::kHcbSize);
    const off_t padded = (end + block - 1) / block * block;
    if (padded / block > INT32_MAX || w.ext_length > static_cast<size_t>(INT32_MAX)) return false;
    static const unsigned char zeros[blue::kHcbSize] = {};
    const size_t pad = static_cast<size_t>(padded - end);
    if (std::fwrite(zeros, 1, pad, f) != pad) return false;
    if (std::fwrite(w.ext_header.get(), 1, w.ext_length, f) != w.ext_length) return false;
    return write_field_at<int32_t>(w, blue::kExtStart, static_cast<int32_t>(padded / block)) &&
           write_field_at<int32_t>(w, blue::kExtSize, static_cast<int32_t>(w.ext_length)) &&
           fseeko(f, 0, SEEK_END) == 0;
}

// The close-time patches of a BLUE capture; data_size (the end-of-capture marker) comes first.
bool finish_blue(Writer &w) {
    FILE *f = w.hcb_file;
    if (fseeko(f, blue::kDataSize, SEEK_SET) != 0) {
        // An unseekable stream keeps the declared size; that is only right when it was exact.
        return w.declared_samples == w.samples_written;
    }
    const double data_size = static_cast<double>(w.samples_written) * static_cast<double>(w.stride());
    bool ok = write_field_at<double>(w, blue::kDataSize, data_size) && fseeko(f, 0, SEEK_END) == 0;
    if (ok && w.hcb_used > 0) {
        ok = write_field_at<int32_t>(w, blue::kKeylength, static_cast<int32_t>(w.hcb_used)) &&
             write_at(f, blue::kKeywordArea, w.hcb_keywords, w.hcb_used) && fseeko(f, 0, SEEK_END) == 0;
    }
    if (ok && w.ext_length > 0) ok = append_ext_header(w);
    return ok;
}

int write_sigmf_sidecar(const Writer &w);

bool valid_file_type(int32_t file_type) { return file_type >= TOLVANE_FTYPE_RAW && file_type <= TOLVANE_FTYPE_SIGMF; }

// A writer of samples to file; a BLUE header goes to hcb_file (a detached header file),
// or, when that is null, to the start of file itself.
Writer *open_writer(FILE *file, FILE *hcb_file, int32_t file_type, int32_t sample_type, int32_t big_endian,
                    uint64_t num_samples, double fs, double fc, double t0) {
    if (!file || !valid_sample_type(sample_type) || !valid_file_type(file_type)) return nullptr;
    std::unique_ptr<Writer> w(new (std::nothrow) Writer);
    if (!w) return nullptr;
    w->file = file;
    w->hcb_file = hcb_file ? hcb_file : file;
    w->file_type = file_type;
    w->sample_type = sample_type;
    w->big_endian = big_endian != 0;
    w->declared_samples = num_samples;
    w->fs = fs;
    w->fc = fc;
    w->t0 = t0;
    if (file_type != TOLVANE_FTYPE_BLUE) return w.release();

    // The close patches absolute offsets, so the header must start the file (or the
    // stream must be one that cannot seek at all).
    const off_t at = ftello(w->hcb_file);
    if (at > 0 || (at < 0 && errno != ESPIPE)) return nullptr;
    // A detached payload starts its own file; an attached one follows the header.
    const bool detached = hcb_file != nullptr;
    if (wfm_blue_write_hcb(w->hcb_file, sample_type, w->big_endian, num_samples, detached ? 1 : 0, fs, fc,
                           detached ? 0.0 : static_cast<double>(blue::kHcbSize), t0) != QN_OK)
        return nullptr;
    if (std::fflush(w->hcb_file) != 0) return nullptr;  // a follower sees the header at once
    if (fc != 0.0) {
        if (append_ext_keyword(*w, "FREQ", 'D', &fc, 1) != QN_OK) return nullptr;
        const int len = std::snprintf(w->hcb_keywords, sizeof w->hcb_keywords, "FREQ=%.17g", fc);
        w->hcb_used = static_cast<size_t>(len) + 1;
    }
    return w.release();
}

// atten_db attenuates: the gain becomes 10^(-atten_db/20).
void set_attenuation(Writer &w, double atten_db) {
    if (atten_db != 0.0) w.gain = static_cast<float>(std::exp(atten_db * -0.05 * 2.302585092994046));
}

}  // namespace

extern "C" {

Writer *wfm_writer_open(FILE *file, int32_t file_type, int32_t sample_type, int32_t big_endian,
                        uint64_t num_samples, double fs, double fc, double t0) {
    return open_writer(file, nullptr, file_type, sample_type, big_endian, num_samples, fs, fc, t0);
}

Writer *wfm_writer_create(const char *path, int32_t file_type, int32_t sample_type, int32_t big_endian,
                          uint64_t num_samples, int32_t sigmf_sidecar, double fs, double fc, double atten_db,
                          double t0) {
    if (!path || (file_type == TOLVANE_FTYPE_SIGMF && !is_sigmf_data_path(path))) return nullptr;
    // Checked before the file is created, so a refused call truncates nothing.
    if (!valid_sample_type(sample_type) || !valid_file_type(file_type)) return nullptr;
    FILE *file = std::fopen(path, "wb");
    if (!file) return nullptr;
    Writer *w = open_writer(file, nullptr, file_type, sample_type, big_endian, num_samples, fs, fc, t0);
    if (!w) {
        std::fclose(file);
        return nullptr;
    }
    w->owns_file = true;
    const bool raw_or_csv = file_type == TOLVANE_FTYPE_RAW || file_type == TOLVANE_FTYPE_CSV;
    if (file_type == TOLVANE_FTYPE_SIGMF || ((sigmf_sidecar & 0xFF) != 0 && raw_or_csv)) {
        try {
            w->sidecar_path = path;
        } catch (const std::bad_alloc &) {
            w->sidecar_path.clear();
        }
    }
    set_attenuation(*w, atten_db);
    return w;
}

Writer *wfm_writer_create_detached(const char *header_path, int32_t sample_type, int32_t big_endian,
                                   uint64_t num_samples, double fs, double fc, double atten_db, double t0) {
    if (!header_path || !valid_sample_type(sample_type)) return nullptr;
    std::string payload_path;
    try {
        payload_path = base_of(header_path) + ".det";
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (payload_path == header_path) return nullptr;  // the header cannot also be the payload
    FILE *header = std::fopen(header_path, "wb");
    if (!header) return nullptr;
    FILE *payload = std::fopen(payload_path.c_str(), "wb");
    Writer *w = payload ? open_writer(payload, header, TOLVANE_FTYPE_BLUE, sample_type, big_endian, num_samples, fs, fc, t0)
                        : nullptr;
    if (!w) {
        if (payload) std::fclose(payload);
        std::fclose(header);
        return nullptr;
    }
    w->owns_file = true;  // and the header file, which a detached writer always owns
    set_attenuation(*w, atten_db);
    return w;
}

uint64_t wfm_writer_write(Writer *w, const cf32 *samples, uint64_t count) {
    if (!w || count == 0 || !samples || w->write_failed) return 0;
    Level level{w->gain, w->track_clipping && is_integer_type(w->sample_type), w->peak, w->clipped};
    const uint64_t stored = w->file_type == TOLVANE_FTYPE_CSV ? write_csv(*w, samples, count, level)
                                                 : write_binary(*w, samples, count, level);
    w->peak = level.peak;
    w->clipped = level.clipped;
    w->samples_written += stored;
    return stored;
}

int wfm_writer_add_keyword(Writer *w, const char *tag, char type, const void *values, uint64_t count) {
    if (!w || w->file_type != TOLVANE_FTYPE_BLUE || !tag || !values || count == 0 || wfm_kw_elem_size(type) == 0)
        return QN_ERR_INVALID;
    if (count > SIZE_MAX) return QN_ERR_INVALID;
    if (type == 'A' && is_hcb_ascii_tag(tag) &&
        append_hcb_keyword(*w, tag, static_cast<const char *>(values), static_cast<size_t>(count)))
        return QN_OK;
    return append_ext_keyword(*w, tag, type, values, static_cast<size_t>(count));
}

int wfm_writer_flush(Writer *w) {
    if (!w || !w->file || std::ferror(w->file)) return QN_ERR_INVALID;
    return std::fflush(w->file) == 0 ? QN_OK : QN_ERR_INVALID;
}

void wfm_writer_set_gain(Writer *w, double gain) {
    if (w) w->gain = static_cast<float>(gain);
}

void wfm_writer_track_clipping(Writer *w, int32_t on) {
    if (w) w->track_clipping = on != 0;
}

double wfm_writer_peak(const Writer *w) { return w ? w->peak : 0.0; }

double wfm_writer_get_peak_dbfs(const Writer *w) {
    const double peak = wfm_writer_peak(w);
    return peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
}

int32_t wfm_writer_get_clipped(const Writer *w) {
    return w && w->peak > 1.0f && is_integer_type(w->sample_type) ? 1 : 0;
}

double wfm_writer_clip_fraction(const Writer *w) {
    if (!w || w->samples_written == 0) return 0.0;
    return static_cast<double>(w->clipped) / (2.0 * static_cast<double>(w->samples_written));
}

double wfm_writer_get_clip_fraction(const Writer *w) { return wfm_writer_clip_fraction(w); }

int wfm_writer_close(Writer *writer) {
    if (!writer) return QN_OK;
    std::unique_ptr<Writer> w(writer);
    bool failed = w->write_failed;
    const bool detached = w->hcb_file != w->file;
    // A follower of a detached capture must find every sample once data_size says so.
    if (detached && std::fflush(w->file) != 0) failed = true;
    if (w->file_type == TOLVANE_FTYPE_BLUE && !finish_blue(*w)) failed = true;
    if (detached) {
        if (std::ferror(w->hcb_file)) failed = true;
        if (std::fclose(w->hcb_file) != 0) failed = true;
    }
    if (std::ferror(w->file)) failed = true;
    if ((w->owns_file ? std::fclose(w->file) : std::fflush(w->file)) != 0) failed = true;
    if (!failed && !w->sidecar_path.empty() && write_sigmf_sidecar(*w) != QN_OK) failed = true;
    return failed ? QN_ERR_INVALID : QN_OK;
}

int wfm_writer_destroy(Writer *writer) { return wfm_writer_close(writer); }

}  // extern "C"

// ---- SigMF metadata ----

namespace {

// Numbers that JSON cannot hold (NaN, infinities) are left out, never printed as null.
void add_number(cJSON *object, const char *key, double v) {
    if (std::isfinite(v)) cJSON_AddNumberToObject(object, key, v);
}

// "%Y-%m-%dT%H:%M:%S.uuuuuuZ" of t0, or false when it cannot be converted.
bool format_datetime(double t0, char (&out)[48]) {
    if (!std::isfinite(t0)) return false;
    const double whole = std::floor(t0);
    // Truncated before the check: a fraction just short of a whole second still has
    // 999999999 nanoseconds.
    const double ns = std::trunc((t0 - whole) * 1e9);
    if (!(ns >= 0.0 && ns <= 999999999.0)) return false;
    if (whole < -9.0e15 || whole > 9.0e15) return false;  // far beyond any calendar year gmtime handles
    const time_t seconds = static_cast<time_t>(whole);
    struct tm utc;
    if (!gmtime_r(&seconds, &utc)) return false;
    char date[24];
    if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc) == 0) return false;
    const unsigned long micros = static_cast<unsigned long>(ns) / 1000;
    return std::snprintf(out, sizeof out, "%s.%0*luZ", date, 6, micros) < static_cast<int>(sizeof out);
}

// The scene's sample rate when every segment agrees on it, else 0.
double scene_sample_rate(const SegmentSpec *segments, uint64_t count) {
    const double fs = segments[0].fs;
    for (uint64_t i = 1; i < count; ++i)
        if (!(segments[i].fs == fs)) return 0.0;
    return fs;
}

void frequency_edges(const SourceSpec &src, double segment_fs, double fc, double &lower, double &upper) {
    if (src.type == WFM_TYPE_CHIRP) {
        lower = std::min(src.freq, src.f_end) + fc;
        upper = std::max(src.freq, src.f_end) + fc;
        return;
    }
    const bool has_bandwidth = src.type != WFM_TYPE_TONE && src.type != WFM_TYPE_NOISE && src.sps > 0;
    const double half = has_bandwidth ? segment_fs / src.sps / 2.0 : 0.0;
    lower = src.freq + fc - half;
    upper = src.freq + fc + half;
}

// One annotation of a source occurrence; true when it carries "sondrel:" keys.
bool add_annotation(cJSON *annotations, const SourceSpec &src, const SegmentSpec &seg, const ComposeSpan &span,
                    double fc) {
    cJSON *a = cJSON_CreateObject();
    if (!a) return false;
    // Starts saturate for scenes longer than any count; the on-part start does too, so
    // annotations stay in order.
    const uint64_t first_on = qn::checked_add(span.start, span.delay).value_or(UINT64_MAX);
    add_number(a, "core:sample_start", static_cast<double>(first_on));
    add_number(a, "core:sample_count", static_cast<double>(span.num));
    double lower, upper;
    frequency_edges(src, seg.fs, fc, lower, upper);
    add_number(a, "core:freq_lower_edge", lower);
    add_number(a, "core:freq_upper_edge", upper);
    if (src.type < WFM_TYPE_COUNT) cJSON_AddStringToObject(a, "core:label", TYPE_NAMES[src.type]);
    add_number(a, "sondrel:snr", src.snr);
    if (src.snr_mode < WFM_MODE_COUNT) cJSON_AddStringToObject(a, "sondrel:snr_mode", MODE_NAMES[src.snr_mode]);
    add_number(a, "sondrel:sps", src.sps);
    add_number(a, "sondrel:seed", src.seed);
    add_number(a, "sondrel:pn_length", src.pn_length);
    add_number(a, "sondrel:pn_poly", static_cast<double>(src.pn_poly));
    if (src.type == WFM_TYPE_DSSS && src.symbol_rate > 0.0) {
        add_number(a, "sondrel:symbol_rate", src.symbol_rate);
        if (src.data_none) cJSON_AddStringToObject(a, "sondrel:data", "none");
    }
    cJSON_AddItemToArray(annotations, a);
    return true;
}

// One annotation per source of every instance; true when any was added.
bool add_scene_annotations(cJSON *annotations, const SegmentSpec *segments, uint64_t count, double fc) {
    const uint64_t n_spans = wfm_compose_spans(segments, count, nullptr, 0);
    const auto bytes = qn::checked_mul<uint64_t>(n_spans, sizeof(ComposeSpan));
    if (n_spans == 0 || !bytes || *bytes > SIZE_MAX) return false;
    std::unique_ptr<ComposeSpan[]> spans(new (std::nothrow) ComposeSpan[n_spans]);
    if (!spans) return false;
    wfm_compose_spans(segments, count, spans.get(), n_spans);
    bool any = false;
    for (uint64_t i = 0; i < n_spans; ++i) {
        const SegmentSpec &seg = segments[spans[i].segment];
        for (uint64_t s = 0; s < seg.n_sources; ++s) any |= add_annotation(annotations, seg.sources[s], seg, spans[i], fc);
    }
    return any;
}

// Extension namespaces must be declared; "sondrel" is optional so any reader accepts the file.
void declare_sondrel_extension(cJSON *global) {
    cJSON *extensions = cJSON_AddArrayToObject(global, "core:extensions");
    cJSON *sondrel = cJSON_CreateObject();
    if (!extensions || !sondrel) {
        cJSON_Delete(sondrel);
        return;
    }
    cJSON_AddStringToObject(sondrel, "name", "sondrel");
    cJSON_AddStringToObject(sondrel, "version", "1.0.0");
    cJSON_AddBoolToObject(sondrel, "optional", 1);
    cJSON_AddItemToArray(extensions, sondrel);
}

char *build_meta_json(int32_t sample_type, bool big_endian, const SegmentSpec *segments, uint64_t count, double fs,
                      double fc, double t0) {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_CreateObject(), cJSON_Delete);
    if (!root) return nullptr;
    cJSON *global = cJSON_AddObjectToObject(root.get(), "global");
    cJSON *captures = cJSON_AddArrayToObject(root.get(), "captures");
    cJSON *annotations = cJSON_AddArrayToObject(root.get(), "annotations");
    cJSON *capture = cJSON_CreateObject();
    if (!global || !captures || !annotations || !capture) {
        cJSON_Delete(capture);
        return nullptr;
    }
    cJSON_AddItemToArray(captures, capture);
    const bool scene = segments && count > 0;

    char datatype[16] = "ci8";
    if (sample_type != kCi8 && valid_sample_type(sample_type))
        std::snprintf(datatype, sizeof datatype, "%s_%s", kSampleTypeNames[sample_type], big_endian ? "be" : "le");
    cJSON_AddStringToObject(global, "core:datatype", datatype);
    if (fs == 0.0 && scene) fs = scene_sample_rate(segments, count);
    if (fs > 0.0) add_number(global, "core:sample_rate", fs);  // SigMF rates are positive
    cJSON_AddStringToObject(global, "core:version", "1.0.0");
    cJSON_AddStringToObject(global, "core:description", "quennel sondrel");
    cJSON_AddStringToObject(global, "core:author", "quennel sondrel");

    cJSON_AddNumberToObject(capture, "core:sample_start", 0);
    char datetime[48];
    if (t0 != 0.0 && format_datetime(t0, datetime)) cJSON_AddStringToObject(capture, "core:datetime", datetime);
    if (fc != 0.0) add_number(capture, "core:frequency", fc);

    if (scene && add_scene_annotations(annotations, segments, count, fc)) declare_sondrel_extension(global);
    return cJSON_PrintUnformatted(root.get());
}

std::string sidecar_name(const std::string &data_path) {
    if (is_sigmf_data_path(data_path)) return data_path.substr(0, data_path.size() - kDataSuffix.size()) + std::string(kMetaSuffix);
    return data_path + std::string(kMetaSuffix);
}

// Writes text to a fresh temporary file beside `name` and renames it into place, so
// the sidecar is either the previous one or the whole new document.
bool replace_file(const std::string &name, const char *text) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = name + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    FILE *f = fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    const size_t len = std::strlen(text);
    bool ok = std::fwrite(text, 1, len, f) == len && !std::ferror(f);
    ok = std::fclose(f) == 0 && ok;
    ok = ok && std::rename(temp.c_str(), name.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

int write_sigmf_sidecar(const Writer &w) {
    try {
        std::unique_ptr<char, decltype(&std::free)> text(
            build_meta_json(w.sample_type, w.big_endian, nullptr, 0, w.fs, w.fc, w.t0), std::free);
        if (!text) return QN_ERR_INVALID;
        return replace_file(sidecar_name(w.sidecar_path), text.get()) ? QN_OK : QN_ERR_INVALID;
    } catch (const std::bad_alloc &) {
        return QN_ERR_INVALID;
    }
}

}  // namespace

extern "C" char *wfm_sigmf_meta_json(int32_t sample_type, int32_t big_endian, const SegmentSpec *segments,
                                     uint64_t segment_count, double fs, double fc, double t0) {
    if (!segments && segment_count != 0) return nullptr;
    return build_meta_json(sample_type, big_endian != 0, segments, segment_count, fs, fc, t0);
}
