// Reading BLUE captures: the header control block, its keywords and extended header, and
// the payload attached after the header or detached in a ".det" file beside it.
#include <cerrno>
#include <cmath>

#include "container_readers.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

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
    // One segment, the whole capture, tuned as its keywords say.
    r.add_capture(0, r.fc_source != TOLVANE_FC_NONE ? r.fc : std::nan(""), "", -1);
    r.link_capture_times();
}

bool load_hcb_metadata(Reader &r, const unsigned char *hcb, const HcbSummary &s, FILE *header_file) {
    int failure = 0;
    if (!header_entries(hcb, s.big_endian, r.header) || !hcb_keywords(hcb, s, header_file, r.keywords, failure))
        return failure != 0 ? r.failed_io(failure) : false;
    apply_hcb(r, s);
    return true;
}

// The read limit once the payload file is open: the declared payload, or, when none is
// declared (a writer still running or one that never closed), what the file holds.
// Samples never run into an extended header placed after them in the same file.
void set_blue_limit(Reader &r, const HcbSummary &s, bool ext_in_payload_file) {
    uint64_t limit = s.declared_bytes;
    const auto length = file_length(r.file.get());
    if (limit == 0 && !length) {
        r.readable_bytes = UINT64_MAX;  // a stream: its samples end where the writer stops
        return;
    }
    if (limit == 0) limit = *length > r.payload_start ? *length - r.payload_start : 0;
    if (ext_in_payload_file && s.ext_offset != 0 && s.ext_offset >= r.payload_start) {
        r.payload_cap = s.ext_offset - r.payload_start;
    }
    limit = std::min(limit, r.payload_cap);
    r.readable_bytes = limit;
    // A writer killed before it wrote all it declared leaves fewer: the count is what is there.
    const uint64_t present = length && *length > r.payload_start ? *length - r.payload_start : 0;
    r.num_samples = (length ? std::min(limit, present) : limit) / s.stride();
    r.declared_samples = s.declared_bytes / s.stride();
    compute_trailing(r);
}

bool read_hcb(Reader &r, FILE *f, unsigned char *hcb) { return r.read_head(f, hcb, blue::kHcbSize) == blue::kHcbSize; }

// Header files searched beside a ".det" payload, in this order.
constexpr const char *HDR_EXT[] = {".hdr", ".prm", ".tmp"};

}  // namespace

// A ".det" payload whose header file sits beside it.
bool open_detached_blue(Reader &r, const std::string &path) {
    const std::string base = base_of(path);
    for (const char *ext : HDR_EXT) {
        FilePtr header = open_file(base + ext, "rb");
        if (!header) continue;
        unsigned char hcb[blue::kHcbSize];
        if (!read_hcb(r, header.get(), hcb)) return false;
        const auto s = parse_blue_hcb(hcb);
        if (!s || !load_hcb_metadata(r, hcb, *s, header.get())) return false;
        r.file = r.open_for_reading(path);
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
    if (!s) return false;
    // A stream cannot go back for an extended header or on to a payload elsewhere.
    if (!file_length(file.get()) && (s->detached != 0 || s->ext_offset != 0)) {
        r.refusal = "cannot read this capture from a pipe: it needs seeking (a detached BLUE payload or an extended "
                    "header)";
        return r.failed_io(ESPIPE);
    }
    if (!load_hcb_metadata(r, hcb, *s, file.get())) return false;
    if (s->detached != 0) {
        r.file = r.open_for_reading(base_of(path) + ".det");
        if (!r.file) return false;
        r.marker_path = path;
        set_blue_limit(r, *s, false);
        return true;
    }
    r.file = std::move(file);
    // Without a usable data_start, or when the seek fails, the payload starts where the
    // header control block ends.
    if (!s->data_start || fseeko(r.file.get(), static_cast<off_t>(*s->data_start), SEEK_SET) != 0)
        fseeko(r.file.get(), static_cast<off_t>(blue::kHcbSize), SEEK_SET);
    const off_t at = ftello(r.file.get());
    r.payload_start = at < 0 ? 0 : static_cast<uint64_t>(at);
    set_blue_limit(r, *s, true);
    return true;
}

}  // namespace tolvane
