// The capture writer's record, and what each container's writer adds to the shared
// path of gain, conversion and payload writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "capture_format.hpp"
#include "wfm_writer_convert.hpp"
#include "wfm_writer_core.h"

struct Writer {
    FILE *file = nullptr;        // the samples
    FILE *hcb_file = nullptr;    // the BLUE header: the capture itself, or a detached header file
    bool owns_file = false;
    int32_t file_type = TOLVANE_FTYPE_RAW;
    int32_t sample_type = TOLVANE_STYPE_CF32;
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
    char hcb_keywords[tolvane::blue::kKeywordAreaSize] = {};
    size_t hcb_used = 0;
    double fs = 0.0;
    double fc = 0.0;
    double t0 = 0.0;
    uint64_t declared_samples = 0;
    std::string sidecar_path;  // the data path when a SigMF sidecar is written at close
    bool write_failed = false; // latched: a short write must not shift later samples

    size_t stride() const { return tolvane::complex_stride(sample_type); }
};


namespace tolvane::writer {

// A writer of samples to file; a BLUE header goes to hcb_file (a detached header file),
// or, when that is null, to the start of file itself.
Writer *open_writer(FILE *file, FILE *hcb_file, int32_t file_type, int32_t sample_type, int32_t big_endian,
                    uint64_t num_samples, double fs, double fc, double t0);
// atten_db attenuates: the gain becomes 10^(-atten_db/20).
void set_attenuation(Writer &w, double atten_db);

// CSV: one text row per sample; the samples written.
uint64_t write_csv(Writer &w, const cf32 *samples, uint64_t count, Level &level);

// BLUE: the header written (and flushed) when the writer opens; false when it cannot be.
bool start_blue(Writer &w, bool detached);
// BLUE: the close-time patches; data_size (the end-of-capture marker) comes first.
bool finish_blue(Writer &w);

// SigMF: the metadata document of a capture, or null; the caller frees it.
char *build_meta_json(int32_t sample_type, bool big_endian, const SegmentSpec *segments, uint64_t count, double fs,
                      double fc, double t0);
// SigMF: the ".sigmf-meta" sidecar of a closed capture, replaced whole.
int write_sigmf_sidecar(const Writer &w);

}  // namespace tolvane::writer
