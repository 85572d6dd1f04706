// Internals of the capture reader shared by its units: the Reader record, the
// interpretation of a BLUE header, sample conversion and file helpers.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_format.hpp"
#include "pipe_stream.hpp"
#include "sample_convert.hpp"
#include "tolvane_core.h"

namespace tolvane {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

inline FilePtr open_file(const std::string &path, const char *mode) { return FilePtr(std::fopen(path.c_str(), mode)); }

// Length of an open file, or nothing when it has none (pipes, errors).
std::optional<uint64_t> file_length(FILE *f);
// Reads up to len bytes at offset without moving the stream; bytes read. A read that
// fails (rather than reaching the end) leaves its errno in *error when that is given.
size_t read_at(FILE *f, uint64_t offset, void *dst, size_t len, int *error = nullptr);

// The reads of the payload: from the stream position, moving it, and at an offset, not
// moving it. Each returns the bytes read and sets error to the errno of a read that
// failed (left alone when it stopped at the end). A reader uses the system's; tests hand
// it one that fails where they want.
struct ReaderIo {
    size_t (*read)(FILE *f, void *dst, size_t len, int &error);
    size_t (*read_at)(FILE *f, uint64_t offset, void *dst, size_t len, int &error);
};
const ReaderIo &system_io();

// A KeywordEntry that frees its value buffer.
class OwnedEntry {
public:
    explicit OwnedEntry(const KeywordEntry &taken) : e_(taken) {}
    OwnedEntry(OwnedEntry &&o) noexcept : e_(o.e_) { o.e_.data = nullptr; }
    OwnedEntry &operator=(OwnedEntry &&) = delete;
    ~OwnedEntry() { std::free(e_.data); }
    const KeywordEntry &get() const { return e_; }

private:
    KeywordEntry e_;
};
using Entries = std::vector<OwnedEntry>;

// The header control block, interpreted, with every number checked.
struct HcbSummary {
    int stype = 0;
    int mode = TOLVANE_MODE_COMPLEX;
    bool big_endian = false;
    double fs = 0.0;
    std::optional<double> t0;  // UNIX seconds, when a finite timecode is set
    std::optional<uint64_t> data_start;  // when finite and a usable file offset
    uint64_t declared_samples = 0;
    uint64_t declared_bytes = 0;  // 0 when no size is declared
    int32_t detached = 0;
    uint64_t ext_offset = 0;  // 0 when there is no extended header
    uint64_t ext_length = 0;
    uint32_t stride() const { return ELEM[stype] * (mode == TOLVANE_MODE_COMPLEX ? 2 : 1); }
};

std::optional<HcbSummary> parse_blue_hcb(const unsigned char *hcb);
// The 26 header fields as entries; false when an allocation fails.
bool header_entries(const unsigned char *hcb, bool big_endian, Entries &out);
// Keywords of the keyword area, then of the extended header read from f; false when an
// allocation fails or the read fails (its errno then in error).
bool hcb_keywords(const unsigned char *hcb, const HcbSummary &s, FILE *f, Entries &out, int &error);
// Centre frequency from the keywords: value and source, or nothing.
std::optional<std::pair<double, int32_t>> keyword_fc(const Entries &keywords);

// A CSV row: a number, optional blanks, ",", a number, only blanks after.
std::optional<std::pair<double, double>> parse_csv_row(const char *line);

}  // namespace tolvane

struct Reader {
    tolvane::FilePtr file;
    int32_t file_type = TOLVANE_FTYPE_RAW;
    int32_t sample_type = TOLVANE_STYPE_CF32;
    int32_t mode = TOLVANE_MODE_COMPLEX;
    int32_t endian = TOLVANE_ENDIAN_LE;
    double fs = 0.0;
    double fc = 0.0;
    uint64_t num_samples = 0;
    uint64_t declared_samples = 0;  // BLUE: the count its header declares, 0 when none
    std::vector<unsigned char> conv;
    tolvane::Entries keywords;
    tolvane::Entries header;
    // BLUE: reads stop readable_bytes after payload_start. That is the declared payload,
    // or when none is declared the samples the file held at open (before an extended header).
    bool payload_limited = false;
    uint64_t readable_bytes = 0;
    uint64_t payload_start = 0;
    uint64_t payload_bytes = 0;  // declared payload size, 0 when none
    uint64_t payload_cap = UINT64_MAX;  // an extended header placed after the samples
    int32_t fc_source = TOLVANE_FC_NONE;
    uint64_t trailing_bytes = 0;
    bool csv_counted = false;
    int32_t fs_source = TOLVANE_FS_NONE;
    uint32_t follow_timeout_ms = 0;
    uint32_t follow_grace_ms = 0;
    int32_t ending = TOLVANE_END_NONE;
    bool end_known = false;
    tolvane_stop_fn stop_fn = nullptr;
    double t0 = 0.0;
    int32_t t0_source = TOLVANE_T0_NONE;
    std::string marker_path;  // detached BLUE: the header file holding the end-of-capture marker
    const tolvane::ReaderIo *io = &tolvane::system_io();
    // The errno of the read error that stopped reading, and the sample it stopped at. Kept
    // until a reset: reads return nothing meanwhile, so no sample after the gap is taken
    // for the one that follows the last returned.
    int error = 0;
    uint64_t error_sample = 0;
    uint64_t csv_rows_read = 0;  // CSV: rows read since the last reset
    tolvane::PipeStream *pipe = nullptr;  // the state of file when it is a pipe stream (owned by file)
    // Interleaved channels: each frame holds one sample of every channel; `channel` is read.
    uint32_t channels = 1;
    uint32_t channel = 0;
    int64_t wanted_channel = -1;  // the caller's choice at open, -1 for none
    std::string refusal;          // why an open failed, when there is more to say than "no"
    std::vector<CaptureSegment> captures;  // their datetime texts point into capture_times
    std::vector<std::string> capture_times;
    // Adds a segment; datetime empty for none. Call link_capture_times once all are added.
    void add_capture(uint64_t sample_start, double frequency, std::string datetime, int64_t global_index);
    void link_capture_times();

    // Bytes of one sample of one channel, and of one frame (a sample of every channel).
    uint32_t sample_bytes() const { return tolvane::ELEM[sample_type] * (mode == TOLVANE_MODE_COMPLEX ? 2 : 1); }
    uint32_t stride() const { return sample_bytes() * channels; }
    // Wire bytes go through the conversion buffer, not the tail of the output.
    bool reads_through_buffer() const { return stride() > sizeof(cf32) || channels > 1; }
    // Bytes of the payload consumed so far, or nothing when the position is unknown.
    std::optional<uint64_t> consumed_bytes() const;
    tolvane::WireLayout wire_layout() const {
        return {tolvane::component_type(sample_type), endian == TOLVANE_ENDIAN_BE, mode == TOLVANE_MODE_COMPLEX};
    }
    // Reads and converts up to n whole samples; a partial sample stays in the file.
    size_t read_block(size_t n, cf32 *out);
    // Whole samples of wire bytes from the stream; a partial sample stays in the file.
    size_t read_wire(void *dst, size_t n);
    std::optional<size_t> read_shared(size_t n, cf32 *out);
    unsigned char *wire_slot(cf32 *out, size_t n, unsigned char *scratch) const;
    void convert_wire(unsigned char *wire, size_t n, cf32 *out) const;
    size_t read_csv_rows(size_t n, cf32 *out);
    // A CSV row as a sample: each number read by the component rule of the sample type.
    cf32 csv_sample(double re, double im) const;
    // Keeps the read error code that stopped reading at sample `at`.
    void keep_error(int code, uint64_t at);
    // Keeps the errno of a failure to open or read a file while opening; false.
    bool failed_io(int code);
    // The file at path opened for reading, or null with the failure kept.
    tolvane::FilePtr open_for_reading(const std::string &path);
    // Up to len bytes of f from its position, while opening; a failed read is kept.
    size_t read_head(FILE *f, void *dst, size_t len);
    // The index of the next binary sample, from the stream position.
    uint64_t next_sample() const;
};
