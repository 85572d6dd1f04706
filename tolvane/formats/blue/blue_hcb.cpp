// Interpreting a BLUE header control block: the summary the reader runs on, the header
// fields as entries, the keywords of the keyword area and extended header, and the
// centre frequency they carry. Every number in a header is untrusted.
#include <cmath>
#include <cstring>
#include <new>

#include "checked.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

using namespace blue;

constexpr double kTwoTo62 = 4611686018427387904.0;

// The result of element_stype for a letter no wire sample type has.
constexpr int kNoSampleType = -1;

int element_stype(unsigned char letter) {
    switch (letter) {
        case 'F': return TOLVANE_STYPE_CF32;
        case 'D': return TOLVANE_STYPE_CF64;
        case 'L': return TOLVANE_STYPE_CI32;
        case 'I': return TOLVANE_STYPE_CI16;
        case 'B': return TOLVANE_STYPE_CI8;
        default: return kNoSampleType;
    }
}

// A byte count declared as a double: only finite positive values in range count.
uint64_t declared_count(double v) { return v > 0.0 && v < kTwoTo62 ? static_cast<uint64_t>(v) : 0; }

// An entry owning a malloc'd copy of len value bytes; false when allocation fails.
bool make_entry(const char *tag, size_t tag_len, char type, size_t elem_size, const void *value, size_t len,
                Entries &out) {
    KeywordEntry e{};
    tag_len = std::min<size_t>(tag_len, sizeof e.tag - 1);
    std::memcpy(e.tag, tag, tag_len);
    e.type = type;
    e.elem_size = elem_size;
    e.count = len / elem_size;
    e.data = std::malloc(len);
    if (e.data == nullptr) return false;
    std::memcpy(e.data, value, len);
    out.emplace_back(e);
    return true;
}

struct FieldLayout {
    const char *name;
    char type;
    uint8_t count;
    uint16_t offset;
};

constexpr FieldLayout kHeaderFields[] = {
    {"version", 'A', 4, kVersion},    {"head_rep", 'A', 4, kHeadRep},     {"data_rep", 'A', 4, kDataRep},
    {"detached", 'L', 1, kDetached},  {"protected", 'L', 1, kProtected},  {"pipe", 'L', 1, kPipe},
    {"ext_start", 'L', 1, kExtStart}, {"ext_size", 'L', 1, kExtSize},     {"data_start", 'D', 1, kDataStart},
    {"data_size", 'D', 1, kDataSize}, {"type", 'L', 1, kType},            {"format", 'A', 2, kFormat},
    {"flagmask", 'I', 1, kFlagmask},  {"timecode", 'D', 1, kTimecode},    {"inlet", 'I', 1, kInlet},
    {"outlets", 'I', 1, kOutlets},    {"outmask", 'L', 1, kOutmask},      {"pipeloc", 'L', 1, kPipeloc},
    {"pipesize", 'L', 1, kPipesize},  {"in_byte", 'D', 1, kInByte},       {"out_byte", 'D', 1, kOutByte},
    {"outbytes", 'D', 8, kOutbytes},  {"keylength", 'L', 1, kKeylength},  {"xstart", 'D', 1, kXstart},
    {"xdelta", 'D', 1, kXdelta},      {"xunits", 'L', 1, kXunits},
};

// "tag=value" entries of the keyword area. The area is copied and NUL-terminated first,
// so an entry that runs to the end of the area never reads past it.
bool keyword_area(const unsigned char *hcb, bool big, Entries &out) {
    const int32_t keylength = load_field<int32_t>(hcb + kKeylength, big);
    if (keylength <= 0) return true;
    const size_t used = std::min<size_t>(static_cast<size_t>(keylength), kKeywordAreaSize);
    char area[kKeywordAreaSize + 1] = {};
    std::memcpy(area, hcb + kKeywordArea, used);
    for (size_t at = 0; at < used;) {
        const char *entry = area + at;
        const size_t len = std::strlen(entry);
        at += len + 1;
        const char *eq = static_cast<const char *>(std::memchr(entry, '=', len));
        if (eq == nullptr || eq == entry) continue;
        const char *value = eq + 1;
        // An empty value is kept as the single NUL that ends it.
        const size_t value_len = std::max<size_t>(std::strlen(value), 1);
        if (!make_entry(entry, static_cast<size_t>(eq - entry), 'A', 1, value, value_len, out)) return false;
    }
    return true;
}

// Keyword records of the extended header, read without moving the stream. Its length is
// capped at what the file holds past its start; a record that does not validate ends it.
bool extended_header(FILE *f, const HcbSummary &s, Entries &out, int &error) {
    if (s.ext_offset == 0 || s.ext_length <= 7) return true;
    const auto length = file_length(f);
    if (!length || *length <= s.ext_offset) return true;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(s.ext_length, *length - s.ext_offset));
    std::vector<unsigned char> buf(want);
    const size_t got = read_at(f, s.ext_offset, buf.data(), want, &error);
    if (error != 0) return false;
    for (size_t at = 0; got - at >= 8;) {
        KeywordEntry e{};
        size_t consumed = 0;
        const int r = wfm_kw_decode(buf.data() + at, got - at, s.big_endian, &e, &consumed);
        if (r == QN_ERR_INVALID || consumed == 0) break;
        if (r == WFM_KW_DECODED) out.emplace_back(e);
        at += consumed;
    }
    return true;
}

// "A" values must hold a number and nothing but line blanks after it.
std::optional<double> text_number(const KeywordEntry &e) {
    char text[64] = {};
    std::memcpy(text, e.data, std::min<uint64_t>(e.count, sizeof text - 1));
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text) return std::nullopt;
    if (end[std::strspn(end, " \t\r\n")] != '\0') return std::nullopt;
    return v;
}

std::optional<double> numeric_value(const KeywordEntry &e) {
    if (e.elem_size != wfm_kw_elem_size(e.type)) return std::nullopt;
    const void *p = e.data;
    switch (e.type) {
        case 'B': return *static_cast<const int8_t *>(p);
        case 'I': return load_field<int16_t>(static_cast<const unsigned char *>(p), false);
        case 'L':
        case 'T': return load_field<int32_t>(static_cast<const unsigned char *>(p), false);
        case 'X': return static_cast<double>(load_field<int64_t>(static_cast<const unsigned char *>(p), false));
        case 'F': return load_field<float>(static_cast<const unsigned char *>(p), false);
        case 'D': return load_field<double>(static_cast<const unsigned char *>(p), false);
        default: return std::nullopt;
    }
}

constexpr const char *FC_TAGS[] = {"FREQ", "RF_FREQ", "CENTER_FREQ", "F_C"};

}  // namespace

std::optional<HcbSummary> parse_blue_hcb(const unsigned char *hcb) {
    if (std::memcmp(hcb + kVersion, "BLUE", 4) != 0) return std::nullopt;
    HcbSummary s;
    s.big_endian = is_big_endian_rep(hcb + kHeadRep);
    const unsigned char mode = hcb[kFormat], element = hcb[kFormat + 1];
    if (mode != 'C' && mode != 'S') return std::nullopt;
    s.mode = mode == 'C' ? TOLVANE_MODE_COMPLEX : TOLVANE_MODE_SCALAR;
    s.stype = element_stype(element);
    if (s.stype == kNoSampleType) return std::nullopt;

    const bool big = s.big_endian;
    // Only an attached capture consults data_start, and falls back when it is unusable.
    const double data_start = load_field<double>(hcb + kDataStart, big);
    if (data_start >= 0.0 && data_start < kTwoTo62) s.data_start = static_cast<uint64_t>(data_start);

    s.declared_bytes = declared_count(load_field<double>(hcb + kDataSize, big));
    s.declared_samples = s.declared_bytes / s.stride();

    const double xdelta = load_field<double>(hcb + kXdelta, big);
    const double fs = 1.0 / xdelta;
    if (xdelta != 0.0 && std::isfinite(fs)) s.fs = fs;

    const double timecode = load_field<double>(hcb + kTimecode, big);
    if (timecode != 0.0 && std::isfinite(timecode)) s.t0 = timecode - kEpoch1950To1970;

    s.detached = load_field<int32_t>(hcb + kDetached, big);
    const int32_t ext_start = load_field<int32_t>(hcb + kExtStart, big);
    const int32_t ext_size = load_field<int32_t>(hcb + kExtSize, big);
    s.ext_offset = ext_start > 0 ? static_cast<uint64_t>(ext_start) * 512u : 0;
    s.ext_length = ext_size > 0 ? static_cast<uint64_t>(ext_size) : 0;
    return s;
}

bool header_entries(const unsigned char *hcb, bool big_endian, Entries &out) {
    for (const FieldLayout &f : kHeaderFields) {
        const size_t size = wfm_kw_elem_size(f.type);
        unsigned char value[64];
        std::memcpy(value, hcb + f.offset, size * f.count);
        if (big_endian && size > 1)
            for (size_t i = 0; i < f.count; ++i) std::reverse(value + i * size, value + (i + 1) * size);
        if (!make_entry(f.name, std::strlen(f.name), f.type, size, value, size * f.count, out)) return false;
    }
    return true;
}

bool hcb_keywords(const unsigned char *hcb, const HcbSummary &s, FILE *f, Entries &out, int &error) {
    return keyword_area(hcb, s.big_endian, out) && extended_header(f, s, out, error);
}

std::optional<std::pair<double, int32_t>> keyword_fc(const Entries &keywords) {
    for (size_t t = 0; t < std::size(FC_TAGS); ++t) {
        std::optional<double> numeric, text;
        for (const OwnedEntry &owned : keywords) {
            const KeywordEntry &e = owned.get();
            if (std::strcmp(e.tag, FC_TAGS[t]) != 0) continue;
            if (e.type == 'A') {
                if (auto v = text_number(e)) text = v;
            } else if (auto v = numeric_value(e)) {
                numeric = v;
            }
        }
        if (auto v = numeric ? numeric : text) return std::pair{*v, static_cast<int32_t>(TOLVANE_FC_FREQ + t)};
    }
    return std::nullopt;
}

}  // namespace tolvane
