// Writing BLUE captures: the header control block at creation, keywords in the header's
// keyword area or its extended header, the close-time patches, and detached payloads.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "capture_format.hpp"
#include "checked.hpp"
#include "wfm_keywords.h"
#include "write_blue_header.h"
#include "writer.hpp"

using namespace tolvane;
using namespace tolvane::writer;

namespace {

constexpr size_t kExtHeaderInitialCapacity = 256;

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

// A file opened for writing without truncating it, and whether the open created it.
struct Untruncated {
    int fd = -1;
    bool created = false;
};

Untruncated open_untruncated(const char *path) {
    Untruncated f;
    f.fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    f.created = f.fd >= 0;
    if (f.fd < 0 && errno == EEXIST) f.fd = ::open(path, O_WRONLY | O_CLOEXEC);
    return f;
}

// Both files of a detached capture, truncated only once both are open: a refused one
// leaves every file that was there as it was, and none that was not.
bool create_both(const char *header_path, const char *payload_path, FILE *&header, FILE *&payload) {
    const Untruncated h = open_untruncated(header_path);
    const Untruncated p = h.fd >= 0 ? open_untruncated(payload_path) : Untruncated{};
    if (h.fd >= 0 && p.fd >= 0 && ftruncate(h.fd, 0) == 0 && ftruncate(p.fd, 0) == 0) {
        header = fdopen(h.fd, "wb");
        payload = header ? fdopen(p.fd, "wb") : nullptr;
        if (payload) return true;
        if (header) std::fclose(header);
        else ::close(h.fd);
        ::close(p.fd);
        return false;
    }
    for (const auto &[f, path] : {std::pair{h, header_path}, std::pair{p, payload_path}}) {
        if (f.fd < 0) continue;
        ::close(f.fd);
        if (f.created) ::unlink(path);
    }
    return false;
}

}  // namespace

namespace tolvane::writer {

bool start_blue(Writer &w, bool detached) {
    // The close patches absolute offsets, so the header must start the file (or the
    // stream must be one that cannot seek at all).
    const off_t at = ftello(w.hcb_file);
    if (at > 0 || (at < 0 && errno != ESPIPE)) return false;
    // A detached payload starts its own file; an attached one follows the header.
    if (wfm_blue_write_hcb(w.hcb_file, w.sample_type, w.big_endian, w.declared_samples, detached ? 1 : 0, w.fs, w.fc,
                           detached ? 0.0 : static_cast<double>(blue::kHcbSize), w.t0) != QN_OK)
        return false;
    if (std::fflush(w.hcb_file) != 0) return false;  // a follower sees the header at once
    if (w.fc != 0.0) {
        // FREQ as X-Midas reads it, RF_FREQ as the SigMF converters do.
        if (append_ext_keyword(w, "FREQ", 'D', &w.fc, 1) != QN_OK) return false;
        if (append_ext_keyword(w, "RF_FREQ", 'D', &w.fc, 1) != QN_OK) return false;
        const int len = std::snprintf(w.hcb_keywords, sizeof w.hcb_keywords, "FREQ=%.17g", w.fc);
        w.hcb_used = static_cast<size_t>(len) + 1;
    }
    return true;
}

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

}  // namespace tolvane::writer

extern "C" {

Writer *wfm_writer_create_detached(const char *header_path, int32_t sample_type, int32_t big_endian,
                                   uint64_t num_samples, double fs, double fc, double atten_db, double t0) {
    if (!header_path || !writable_sample_type(sample_type, TOLVANE_FTYPE_BLUE)) return nullptr;
    std::string payload_path;
    try {
        payload_path = base_of(header_path) + ".det";
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (payload_path == header_path) return nullptr;  // the header cannot also be the payload
    FILE *header = nullptr, *payload = nullptr;
    if (!create_both(header_path, payload_path.c_str(), header, payload)) return nullptr;
    Writer *w = open_writer(payload, header, TOLVANE_FTYPE_BLUE, sample_type, big_endian, num_samples, fs, fc, t0);
    if (!w) {
        std::fclose(payload);
        std::fclose(header);
        return nullptr;
    }
    w->owns_file = true;  // and the header file, which a detached writer always owns
    set_attenuation(*w, atten_db);
    return w;
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

}  // extern "C"
