// Writing SigMF metadata: the ".sigmf-meta" document of a capture (with one annotation per
// source occurrence of a scene), and the sidecar replaced whole at close.
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

#include "capture_format.hpp"
#include "checked.hpp"
#include "wfm_channel_write.hpp"
#include "wfm_draw.h"
#include "writer.hpp"

using namespace tolvane;
using namespace tolvane::writer;

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

// The band the source occupies over an on part of n samples, its channel's carrier
// excursion (drift, profile, Doppler, clock) included.
void frequency_edges(const SourceSpec &src, double segment_fs, double fc, uint64_t n, double &lower, double &upper) {
    double moved_lo, moved_hi;
    wfm::channel_frequency_span(src.channel, src.freq, segment_fs, n, moved_lo, moved_hi);
    if (src.type == WFM_TYPE_CHIRP) {
        lower = std::min(src.freq, src.f_end) + fc + moved_lo;
        upper = std::max(src.freq, src.f_end) + fc + moved_hi;
        return;
    }
    const bool has_bandwidth = src.type != WFM_TYPE_TONE && src.type != WFM_TYPE_NOISE && src.sps > 0;
    const double half = has_bandwidth ? segment_fs / src.sps / 2.0 : 0.0;
    lower = src.freq + fc - half + moved_lo;
    upper = src.freq + fc + half + moved_hi;
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
    frequency_edges(src, seg.fs, fc, span.num, lower, upper);
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
    // The impairments, as the scene states them.
    wfm::add_channel(a, src.channel, "quennel:channel");
    wfm::add_frontend(a, seg.frontend, "quennel:frontend");
    cJSON_AddItemToArray(annotations, a);
    return true;
}

bool impaired(const SegmentSpec *segments, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (segments[i].frontend) return true;
        for (uint64_t s = 0; s < segments[i].n_sources; ++s)
            if (segments[i].sources[s].channel) return true;
    }
    return false;
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

// Extension namespaces must be declared; "sondrel" and "quennel" are optional so any reader
// accepts the file.
void declare_extensions(cJSON *global, bool with_quennel) {
    cJSON *extensions = cJSON_AddArrayToObject(global, "core:extensions");
    if (!extensions) return;
    for (const char *name : {"sondrel", "quennel"}) {
        if (std::strcmp(name, "quennel") == 0 && !with_quennel) continue;
        cJSON *extension = cJSON_CreateObject();
        if (!extension) return;
        cJSON_AddStringToObject(extension, "name", name);
        cJSON_AddStringToObject(extension, "version", "1.0.0");
        cJSON_AddBoolToObject(extension, "optional", 1);
        cJSON_AddItemToArray(extensions, extension);
    }
}

std::string sidecar_name(const std::string &data_path) {
    if (is_sigmf_data_path(data_path)) return data_path.substr(0, data_path.size() - kSigmfDataSuffix.size()) + std::string(kSigmfMetaSuffix);
    return data_path + std::string(kSigmfMetaSuffix);
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

}  // namespace

namespace tolvane::writer {

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
    if (valid_sample_type(sample_type) && ELEM[sample_type] == 1)  // one byte has no byte order
        std::snprintf(datatype, sizeof datatype, "%s", STYPE_NAME[sample_type]);
    else if (valid_sample_type(sample_type))
        std::snprintf(datatype, sizeof datatype, "%s_%s", STYPE_NAME[sample_type], big_endian ? "be" : "le");
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

    if (scene && add_scene_annotations(annotations, segments, count, fc))
        declare_extensions(global, impaired(segments, count));
    return cJSON_PrintUnformatted(root.get());
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

}  // namespace tolvane::writer

extern "C" char *wfm_sigmf_meta_json(int32_t sample_type, int32_t big_endian, const SegmentSpec *segments,
                                     uint64_t segment_count, double fs, double fc, double t0) {
    if (!segments && segment_count != 0) return nullptr;
    return build_meta_json(sample_type, big_endian != 0, segments, segment_count, fs, fc, t0);
}
