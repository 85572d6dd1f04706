// The capture writer: gain, peak and clipping, conversion to the wire type and the payload
// writes every container shares, and the C interface that hands each container its part.
#include "wfm_writer_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "capture_format.hpp"
#include "wfm_writer_convert.hpp"
#include "writer.hpp"

using namespace tolvane;
using namespace tolvane::writer;

namespace {

// Samples converted per file write: bounded memory and a buffer that stays in cache.
constexpr size_t kChunkSamples = size_t{1} << 14;

bool is_integer_type(int32_t stype) { return stype >= TOLVANE_STYPE_CI32; }

bool grow_buffer(Writer &w, size_t bytes) {
    if (bytes <= w.buffer_capacity) return true;
    std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[bytes]);
    if (!grown) return false;
    w.buffer = std::move(grown);
    w.buffer_capacity = bytes;
    return true;
}

uint64_t write_binary(Writer &w, const cf32 *samples, uint64_t count, Level &level) {
    const size_t stride = w.stride();
    if (!grow_buffer(w, static_cast<size_t>(std::min<uint64_t>(count, kChunkSamples)) * stride)) return 0;
    uint64_t stored = 0;
    while (stored < count) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count - stored, kChunkSamples));
        convert_components(w.sample_type, &samples[stored].re, 2 * n, level, w.buffer.get());
        if (w.big_endian) reverse_elements(w.buffer.get(), 2 * n, ELEM[w.sample_type]);
        const size_t bytes = std::fwrite(w.buffer.get(), 1, n * stride, w.file);
        stored += bytes / stride;
        if (bytes != n * stride) {
            w.write_failed = true;
            break;
        }
    }
    return stored;
}

bool valid_file_type(int32_t file_type) { return file_type >= TOLVANE_FTYPE_RAW && file_type <= TOLVANE_FTYPE_SIGMF; }

}  // namespace

namespace tolvane::writer {

Writer *open_writer(FILE *file, FILE *hcb_file, int32_t file_type, int32_t sample_type, int32_t big_endian,
                    uint64_t num_samples, double fs, double fc, double t0) {
    if (!file || !writable_sample_type(sample_type, file_type) || !valid_file_type(file_type)) return nullptr;
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
    return start_blue(*w, hcb_file != nullptr) ? w.release() : nullptr;
}

void set_attenuation(Writer &w, double atten_db) {
    if (atten_db != 0.0) w.gain = static_cast<float>(std::exp(atten_db * -0.05 * 2.302585092994046));
}

}  // namespace tolvane::writer

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
    if (!writable_sample_type(sample_type, file_type) || !valid_file_type(file_type)) return nullptr;
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
