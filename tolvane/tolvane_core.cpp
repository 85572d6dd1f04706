// The capture reader: file-type detection, metadata, sample conversion and the C interface.
#include "tolvane_core.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <new>

#include "checked.hpp"
#include "tolvane_core.hpp"

const char *const _enum_Reader_ftype[4] = {"raw", "csv", "blue", "sigmf"};
const char *const _enum_Reader_stype[5] = {"cf32", "cf64", "ci32", "ci16", "ci8"};
const char *const _enum_Reader_sample_mode[2] = {"complex", "scalar"};
const char *const _enum_Reader_endian[2] = {"le", "be"};
const char *const _enum_Reader_fs_source[3] = {"none", "xdelta", "core:sample_rate"};
const char *const _enum_Reader_fc_source[6] = {"none", "FREQ", "RF_FREQ", "CENTER_FREQ", "F_C", "core:frequency"};
const char *const _enum_Reader_t0_source[2] = {"none", "timecode"};
const char *const _enum_Reader_follow_end[4] = {"none", "eof", "timeout", "interrupted"};

namespace tolvane {

std::optional<uint64_t> file_length(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

size_t read_at(FILE *f, uint64_t offset, void *dst, size_t len) {
    size_t got = 0;
    while (got < len) {
        const ssize_t r = pread(fileno(f), static_cast<char *>(dst) + got, len - got, static_cast<off_t>(offset + got));
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

namespace {

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool is_sigmf_data(const std::string &path) { return path.size() > 10 && ends_with(path, ".sigmf-data"); }

// Bytes of a partial last sample, once the payload file is open at payload_start.
void compute_trailing(Reader &r) {
    const auto length = file_length(r.file.get());
    if (!length || *length < r.payload_start) return;
    uint64_t available = *length - r.payload_start;
    if (r.payload_limited) available = std::min(available, r.readable_bytes);
    r.trailing_bytes = available % r.stride();
}

uint64_t samples_in_file(Reader &r) {
    const auto length = file_length(r.file.get());
    return length && *length > r.payload_start ? (*length - r.payload_start) / r.stride() : 0;
}

// ---- BLUE ----

void apply_hcb(Reader &r, const HcbSummary &s) {
    r.file_type = TOLVANE_FTYPE_BLUE;
    r.sample_type = s.stype;
    r.mode = s.mode;
    r.endian = s.big_endian ? TOLVANE_ENDIAN_BE : TOLVANE_ENDIAN_LE;
    r.fs = s.fs;
    r.fs_source = s.fs != 0.0 ? TOLVANE_FS_XDELTA : TOLVANE_FS_NONE;
    if (s.t0) {
        r.t0 = *s.t0;
        r.t0_source = TOLVANE_T0_TIMECODE;
    }
    r.payload_bytes = s.declared_bytes;
    r.payload_limited = true;
    if (auto fc = keyword_fc(r.keywords)) std::tie(r.fc, r.fc_source) = *fc;
}

bool load_hcb_metadata(Reader &r, const unsigned char *hcb, const HcbSummary &s, FILE *header_file) {
    if (!header_entries(hcb, s.big_endian, r.header) || !hcb_keywords(hcb, s, header_file, r.keywords)) return false;
    apply_hcb(r, s);
    return true;
}

// The read limit once the payload file is open: the declared payload, or, when none is
// declared (a writer still running or one that never closed), what the file holds.
// Samples never run into an extended header placed after them in the same file.
void set_blue_limit(Reader &r, const HcbSummary &s, bool ext_in_payload_file) {
    uint64_t limit = s.declared_bytes;
    if (limit == 0) {
        const auto length = file_length(r.file.get());
        limit = length && *length > r.payload_start ? *length - r.payload_start : 0;
    }
    if (ext_in_payload_file && s.ext_offset != 0 && s.ext_offset >= r.payload_start) {
        r.payload_cap = s.ext_offset - r.payload_start;
    }
    limit = std::min(limit, r.payload_cap);
    r.readable_bytes = limit;
    r.num_samples = limit / s.stride();
    compute_trailing(r);
}

bool read_hcb(FILE *f, unsigned char *hcb) { return std::fread(hcb, 1, blue::kHcbSize, f) == blue::kHcbSize; }

// Header files searched beside a ".det" payload, in this order.
constexpr const char *HDR_EXT[] = {".hdr", ".prm", ".tmp"};

// A ".det" payload whose header file sits beside it.
bool open_detached(Reader &r, const std::string &path) {
    const std::string base = base_of(path);
    for (const char *ext : HDR_EXT) {
        FilePtr header = open_file(base + ext, "rb");
        if (!header) continue;
        unsigned char hcb[blue::kHcbSize];
        if (!read_hcb(header.get(), hcb)) return false;
        const auto s = parse_blue_hcb(hcb);
        if (!s || !load_hcb_metadata(r, hcb, *s, header.get())) return false;
        r.file = open_file(path, "rb");
        if (!r.file) return false;
        r.marker_path = base + ext;
        set_blue_limit(r, *s, false);
        return true;
    }
    return false;
}

// An attached capture, or the header of a detached one opened by its header file.
bool open_blue(Reader &r, const std::string &path, FilePtr file, const unsigned char *hcb) {
    const auto s = parse_blue_hcb(hcb);
    if (!s || !load_hcb_metadata(r, hcb, *s, file.get())) return false;
    if (s->detached != 0) {
        r.file = open_file(base_of(path) + ".det", "rb");
        if (!r.file) return false;
        r.marker_path = path;
        set_blue_limit(r, *s, false);
        return true;
    }
    r.file = std::move(file);
    // Without a usable data_start, or when the seek fails, the payload starts where the
    // header control block ends.
    if (s->data_start) fseeko(r.file.get(), static_cast<off_t>(*s->data_start), SEEK_SET);
    const off_t at = ftello(r.file.get());
    r.payload_start = at < 0 ? 0 : static_cast<uint64_t>(at);
    set_blue_limit(r, *s, true);
    return true;
}

// ---- SigMF ----

struct JsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

std::optional<std::pair<int, bool>> sigmf_datatype(const char *t) {
    static constexpr const char *prefixes[] = {"cf32", "cf64", "ci32", "ci16", "ci8"};
    for (int stype = 0; stype < kSampleTypeCount; ++stype) {
        const size_t n = std::strlen(prefixes[stype]);
        if (std::strncmp(t, prefixes[stype], n) == 0) return std::pair{stype, std::strstr(t + n, "be") != nullptr};
    }
    return std::nullopt;
}

bool open_sigmf(Reader &r, const std::string &path) {
    FilePtr meta_file = open_file(base_of(path) + ".sigmf-meta", "rb");
    if (!meta_file) return false;
    const auto length = file_length(meta_file.get());
    if (!length || *length == 0) return false;
    std::string text(static_cast<size_t>(*length), '\0');
    if (std::fread(text.data(), 1, text.size(), meta_file.get()) != text.size()) return false;
    std::unique_ptr<cJSON, JsonDeleter> meta(cJSON_ParseWithLength(text.data(), text.size()));
    const cJSON *global = cJSON_GetObjectItemCaseSensitive(meta.get(), "global");
    const cJSON *datatype = cJSON_GetObjectItemCaseSensitive(global, "core:datatype");
    if (!cJSON_IsString(datatype)) return false;
    const auto type = sigmf_datatype(datatype->valuestring);
    if (!type) return false;
    r.file_type = TOLVANE_FTYPE_SIGMF;
    r.mode = TOLVANE_MODE_COMPLEX;
    std::tie(r.sample_type, r.endian) = std::pair{type->first, type->second ? 1 : 0};

    const cJSON *rate = cJSON_GetObjectItemCaseSensitive(global, "core:sample_rate");
    if (cJSON_IsNumber(rate) && std::isfinite(rate->valuedouble)) r.fs = rate->valuedouble;
    r.fs_source = r.fs != 0.0 ? TOLVANE_FS_SIGMF : TOLVANE_FS_NONE;
    const cJSON *captures = cJSON_GetObjectItemCaseSensitive(meta.get(), "captures");
    const cJSON *freq = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(captures, 0), "core:frequency");
    if (cJSON_IsArray(captures) && cJSON_IsNumber(freq) && std::isfinite(freq->valuedouble)) {
        r.fc = freq->valuedouble;
        r.fc_source = TOLVANE_FC_SIGMF;
    }
    r.file = open_file(path, "rb");
    if (!r.file) return false;
    r.num_samples = samples_in_file(r);
    compute_trailing(r);
    return true;
}

// ---- content detection ----

// The first line of a text capture must be a CSV row.
bool looks_like_csv(const unsigned char *head, size_t n) {
    if (std::memchr(head, 0, n) != nullptr) return false;
    size_t at = 0;
    while (at < n && (head[at] == '\r' || head[at] == '\n')) ++at;
    size_t end = at;
    while (end < n && head[end] != '\r' && head[end] != '\n') ++end;
    if (end - at >= 255) return false;
    char line[256] = {};
    std::memcpy(line, head + at, end - at);
    return parse_csv_row(line).has_value();
}

void open_csv(Reader &r, FilePtr file) {
    std::rewind(file.get());
    r.file = std::move(file);
    r.file_type = TOLVANE_FTYPE_CSV;
}

void open_raw(Reader &r, FilePtr file) {
    std::rewind(file.get());
    r.file = std::move(file);
    r.file_type = TOLVANE_FTYPE_RAW;
    r.num_samples = samples_in_file(r);
    compute_trailing(r);
}

bool open_by_content(Reader &r, const std::string &path) {
    FilePtr file = open_file(path, "rb");
    if (!file) return false;
    unsigned char head[blue::kHcbSize];
    const size_t n = std::fread(head, 1, sizeof head, file.get());
    if (std::ferror(file.get())) return false;  // a directory, or a device that fails
    if (n >= 4 && std::memcmp(head, "BLUE", 4) == 0)
        return n == blue::kHcbSize && open_blue(r, path, std::move(file), head);
    if ((n > 0 && looks_like_csv(head, n)) || ends_with(path, ".csv")) {
        open_csv(r, std::move(file));
    } else {
        open_raw(r, std::move(file));
    }
    return true;
}

bool open_reader(Reader &r, const std::string &path) {
    if (is_sigmf_data(path)) return open_sigmf(r, path);
    if (ends_with(path, ".det")) return open_detached(r, path);
    return open_by_content(r, path);
}

// One row of the read pattern; false at the first row that is not two numbers.
bool scan_csv_row(FILE *f, double &a, double &b) { return std::fscanf(f, " %lf , %lf", &a, &b) == 2; }

}  // namespace
}  // namespace tolvane

using namespace tolvane;

std::optional<uint64_t> Reader::consumed_bytes() const {
    const off_t at = ftello(file.get());
    if (at < 0) return std::nullopt;
    const auto pos = static_cast<uint64_t>(at);
    return pos > payload_start ? pos - payload_start : 0;
}

double Reader::csv_scale() const {
    return sample_type >= TOLVANE_STYPE_CI32 ? 1.0 / SCALE[sample_type] : 1.0;
}

size_t Reader::read_csv_rows(size_t n, cf32 *out) {
    const double s = csv_scale();
    FILE *f = file.get();
    size_t i = 0;
    for (double a, b; i < n; ++i) {
        // A row that does not parse is put back whole: later calls stop at it as well,
        // instead of resuming in the middle of it.
        const off_t row_start = ftello(f);
        if (!scan_csv_row(f, a, b)) {
            if (row_start >= 0) fseeko(f, row_start, SEEK_SET);
            break;
        }
        out[i] = {static_cast<float>(a * s), static_cast<float>(b * s)};
    }
    return i;
}

extern "C" {

Reader *tolvane_create(const char *path, int32_t sample_type, int32_t endian) {
    if (path == nullptr || !valid_sample_type(sample_type)) return nullptr;
    try {
        auto r = std::make_unique<Reader>();
        r->sample_type = sample_type;
        r->endian = endian != 0 ? TOLVANE_ENDIAN_BE : TOLVANE_ENDIAN_LE;
        if (!open_reader(*r, path)) return nullptr;
        return r.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void tolvane_destroy(Reader *reader) { delete reader; }

size_t tolvane_read(Reader *r, size_t count, cf32 *out, size_t capacity) {
    size_t n = std::min(count, capacity);
    if (r == nullptr || n == 0 || out == nullptr) return 0;
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
    if (r == nullptr || !r->file) return;
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
uint64_t tolvane_get_trailing_bytes(const Reader *r) { return r ? r->trailing_bytes : 0; }

uint64_t tolvane_get_num_samples(Reader *r) {
    if (r == nullptr) return 0;
    if (r->file_type != TOLVANE_FTYPE_CSV || r->csv_counted) return r->num_samples;
    FILE *f = r->file.get();
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, static_cast<off_t>(r->payload_start), SEEK_SET) != 0) return r->num_samples;
    uint64_t rows = 0;
    for (double a, b; scan_csv_row(f, a, b);) ++rows;
    std::clearerr(f);
    if (fseeko(f, at, SEEK_SET) != 0) return r->num_samples;
    r->num_samples = rows;
    r->csv_counted = true;
    return rows;
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
