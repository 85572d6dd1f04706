// The capture reader's C interface: opening through content detection, reads within the
// payload, metadata and the keywords of the header.
#include "tolvane_core.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "container_readers.hpp"
#include "tolvane_core.hpp"

const char *const _enum_Reader_ftype[4] = {"raw", "csv", "blue", "sigmf"};
const char *const _enum_Reader_stype[14] = {"cf32", "cf64", "ci32", "ci16", "ci8",  "cu8",  "cu16",
                                            "rf32", "rf64", "ri32", "ri16", "ri8", "ru8", "ru16"};
const char *const _enum_Reader_sample_mode[2] = {"complex", "scalar"};
const char *const _enum_Reader_endian[2] = {"le", "be"};
const char *const _enum_Reader_fs_source[3] = {"none", "xdelta", "core:sample_rate"};
const char *const _enum_Reader_fc_source[6] = {"none", "FREQ", "RF_FREQ", "CENTER_FREQ", "F_C", "core:frequency"};
const char *const _enum_Reader_t0_source[2] = {"none", "timecode"};
const char *const _enum_Reader_follow_end[5] = {"none", "eof", "timeout", "interrupted", "truncated"};

using namespace tolvane;

std::optional<uint64_t> Reader::consumed_bytes() const {
    const off_t at = ftello(file.get());
    if (at < 0) return std::nullopt;
    const auto pos = static_cast<uint64_t>(at);
    return pos > payload_start ? pos - payload_start : 0;
}

void Reader::keep_error(int code, uint64_t at) {
    if (error != 0) return;
    error = code;
    error_sample = at;
}

bool Reader::failed_io(int code) {
    error = code != 0 ? code : EIO;
    return false;
}

FilePtr Reader::open_for_reading(const std::string &path) {
    FilePtr f = open_file(path, "rb");
    if (!f) failed_io(errno);
    return f;
}

size_t Reader::read_head(FILE *f, void *dst, size_t len) {
    int failure = 0;
    const size_t got = system_io().read(f, dst, len, failure);
    if (failure != 0) failed_io(failure);
    return got;
}

uint64_t Reader::next_sample() const {
    if (file_type == TOLVANE_FTYPE_CSV) return csv_rows_read;
    return consumed_bytes().value_or(0) / stride();
}

void Reader::add_capture(uint64_t sample_start, double frequency, std::string datetime, int64_t global_index) {
    captures.push_back({sample_start, frequency, nullptr, global_index});
    capture_times.push_back(std::move(datetime));
}

void Reader::link_capture_times() {
    for (size_t i = 0; i < captures.size(); ++i)
        captures[i].datetime = capture_times[i].empty() ? nullptr : capture_times[i].c_str();
}

extern "C" {

Reader *tolvane_open_with(const char *path, const TolvaneOpenOptions *options, int32_t *error, char *why,
                          size_t why_size) {
    if (error != nullptr) *error = 0;
    if (why != nullptr && why_size > 0) why[0] = '\0';
    if (path == nullptr || options == nullptr || !valid_sample_type(options->sample_type)) return nullptr;
    try {
        auto r = std::make_unique<Reader>();
        r->sample_type = options->sample_type;
        r->mode = is_real_type(options->sample_type) ? TOLVANE_MODE_SCALAR : TOLVANE_MODE_COMPLEX;
        r->endian = options->endian != 0 ? TOLVANE_ENDIAN_BE : TOLVANE_ENDIAN_LE;
        r->wanted_channel = options->channel;
        bool opened = open_reader(*r, path);
        if (opened && r->wanted_channel >= static_cast<int64_t>(r->channels)) {
            r->refusal = "channel " + std::to_string(r->wanted_channel) + " is beyond the " +
                         std::to_string(r->channels) + (r->channels == 1 ? " channel" : " channels") +
                         " of this capture (0 to " + std::to_string(r->channels - 1) + ")";
            opened = false;
        }
        if (!opened) {
            if (error != nullptr) *error = r->error;
            if (why != nullptr && why_size > 0) std::snprintf(why, why_size, "%s", r->refusal.c_str());
            return nullptr;
        }
        r->error = 0;
        return r.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

Reader *tolvane_open(const char *path, int32_t sample_type, int32_t endian, int32_t *error) {
    const TolvaneOpenOptions options{sample_type, endian, -1};
    return tolvane_open_with(path, &options, error, nullptr, 0);
}

Reader *tolvane_create(const char *path, int32_t sample_type, int32_t endian) {
    return tolvane_open(path, sample_type, endian, nullptr);
}

void tolvane_destroy(Reader *reader) { delete reader; }

size_t tolvane_read(Reader *r, size_t count, cf32 *out, size_t capacity) {
    size_t n = std::min(count, capacity);
    if (r == nullptr || n == 0 || out == nullptr || r->error != 0) return 0;
    if (r->file_type == TOLVANE_FTYPE_CSV) return r->read_csv_rows(n, out);
    if (r->payload_limited) {
        const auto consumed = r->consumed_bytes();
        if (!consumed || *consumed >= r->readable_bytes) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, (r->readable_bytes - *consumed) / r->stride()));
        if (n == 0) return 0;
    }
    return r->read_block(n, out);
}

size_t tolvane_read_max_out(const Reader *r, size_t n) { return r ? n : 0; }

void tolvane_reset(Reader *r) {
    if (r == nullptr || !r->file || r->pipe != nullptr) return;  // a pipe cannot be rewound
    r->error = 0;
    r->error_sample = 0;
    r->csv_rows_read = 0;
    std::clearerr(r->file.get());
    fseeko(r->file.get(), static_cast<off_t>(r->payload_start), SEEK_SET);
}

int32_t tolvane_get_file_type(const Reader *r) { return r ? r->file_type : 0; }
int32_t tolvane_get_sample_type(const Reader *r) { return r ? r->sample_type : 0; }
int32_t tolvane_get_mode(const Reader *r) { return r ? r->mode : 0; }
int32_t tolvane_get_endian(const Reader *r) { return r ? r->endian : 0; }
double tolvane_get_fs(const Reader *r) { return r ? r->fs : 0; }
double tolvane_get_fc(const Reader *r) { return r ? r->fc : 0; }
double tolvane_get_t0(const Reader *r) { return r ? r->t0 : 0; }
int32_t tolvane_get_fs_source(const Reader *r) { return r ? r->fs_source : 0; }
int32_t tolvane_get_fc_source(const Reader *r) { return r ? r->fc_source : 0; }
int32_t tolvane_get_t0_source(const Reader *r) { return r ? r->t0_source : 0; }
uint32_t tolvane_get_num_channels(const Reader *r) { return r ? r->channels : 0; }
size_t tolvane_num_captures(const Reader *r) { return r ? r->captures.size() : 0; }
const CaptureSegment *tolvane_capture(const Reader *r, size_t index) {
    return r && index < r->captures.size() ? &r->captures[index] : nullptr;
}
uint32_t tolvane_get_channel(const Reader *r) { return r ? r->channel : 0; }
uint64_t tolvane_get_trailing_bytes(const Reader *r) { return r ? r->trailing_bytes : 0; }
int32_t tolvane_get_error(const Reader *r) { return r ? r->error : 0; }
uint64_t tolvane_get_error_sample(const Reader *r) { return r ? r->error_sample : 0; }

uint64_t tolvane_get_declared_samples(Reader *r) {
    if (r == nullptr) return 0;
    return r->declared_samples != 0 ? r->declared_samples : tolvane_get_num_samples(r);
}

uint64_t tolvane_get_num_samples(Reader *r) {
    if (r == nullptr) return 0;
    return r->file_type == TOLVANE_FTYPE_CSV ? count_csv_rows(*r) : r->num_samples;
}

void tolvane_info(Reader *r, ReaderInfo *info) {
    if (r == nullptr || info == nullptr) return;
    const uint64_t num_samples = tolvane_get_num_samples(r);
    *info = ReaderInfo{r->file_type, r->sample_type, r->mode,      r->endian,          r->fs,
                       r->fc,        num_samples,    r->fc_source, r->trailing_bytes, r->fs_source,
                       r->t0,        r->t0_source};
}

}  // extern "C"

namespace {

const KeywordEntry *entry_at(const Entries &entries, size_t index) {
    return index < entries.size() ? &entries[index].get() : nullptr;
}

const KeywordEntry *find_entry(const Entries &entries, const char *tag) {
    if (tag == nullptr) return nullptr;
    for (const OwnedEntry &e : entries)
        if (std::strcmp(e.get().tag, tag) == 0) return &e.get();
    return nullptr;
}

const char *tag_at(const Entries &entries, size_t index) {
    const KeywordEntry *e = entry_at(entries, index);
    return e != nullptr ? e->tag : nullptr;
}

}  // namespace

extern "C" {

size_t tolvane_num_keywords(const Reader *r) { return r ? r->keywords.size() : 0; }
size_t tolvane_num_header_fields(const Reader *r) { return r ? r->header.size() : 0; }
const KeywordEntry *tolvane_keyword(const Reader *r, size_t index) {
    return r ? entry_at(r->keywords, index) : nullptr;
}
const KeywordEntry *tolvane_header_field(const Reader *r, size_t index) {
    return r ? entry_at(r->header, index) : nullptr;
}
const char *tolvane_keyword_tag(const Reader *r, size_t index) { return r ? tag_at(r->keywords, index) : nullptr; }
const char *tolvane_header_tag(const Reader *r, size_t index) { return r ? tag_at(r->header, index) : nullptr; }
const KeywordEntry *tolvane_find_keyword(const Reader *r, const char *tag) {
    return r ? find_entry(r->keywords, tag) : nullptr;
}
const KeywordEntry *tolvane_find_header_field(const Reader *r, const char *tag) {
    return r ? find_entry(r->header, tag) : nullptr;
}

}  // extern "C"
