#include "wfm_keywords.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "capture_format.hpp"
#include "checked.hpp"

namespace {

constexpr size_t kHeadBytes = 8;
constexpr size_t kMaxTag = 255;
constexpr size_t kMaxRecord = static_cast<size_t>(std::numeric_limits<int32_t>::max());

// Copies count elements of elem bytes, reversing each element when asked.
void copy_elements(unsigned char *dst, const unsigned char *src, size_t count, size_t elem, bool reverse) {
    if (!reverse || elem == 1) {
        std::memcpy(dst, src, count * elem);
        return;
    }
    for (size_t i = 0; i < count; ++i, dst += elem, src += elem)
        for (size_t b = 0; b < elem; ++b) dst[b] = src[elem - 1 - b];
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int check_acqdate(const char *v, size_t len) {
    if (len != 8 && !(len == 6 && v[2] == '.')) return WFM_KW_WRONG_FORM;
    for (size_t i = 0; i < len; ++i)
        if (!is_digit(v[i]) && v[i] != '.') return WFM_KW_WRONG_FORM;
    return WFM_KW_STANDARD;
}

int check_acqtime(const char *v, size_t len) {
    if (len != 8 || v[2] != ':' || v[5] != ':') return WFM_KW_WRONG_FORM;
    for (size_t i : {0, 1, 3, 4, 6, 7})
        if (!is_digit(v[i])) return WFM_KW_WRONG_FORM;
    return WFM_KW_STANDARD;
}

}  // namespace

extern "C" {

size_t wfm_kw_elem_size(char type) {
    switch (type) {
        case 'A': case 'B': return 1;
        case 'I': return 2;
        case 'L': case 'T': case 'F': return 4;
        case 'X': case 'D': return 8;
        default: return 0;
    }
}

size_t wfm_kw_entry_size(size_t tag_len, size_t value_bytes) {
    auto body = qn::checked_add(tag_len, value_bytes);
    auto padded = body ? qn::checked_add(*body, size_t{7}) : std::nullopt;
    if (!padded) return 0;
    size_t record = kHeadBytes + (*padded & ~size_t{7});
    if (record < *padded || record > kMaxRecord) return 0;
    return record;
}

size_t wfm_kw_encode(void *dst, size_t cap, const char *tag, char type, const void *values, size_t count,
                     int big_endian) {
    if (!dst || !tag || !values || count == 0) return 0;
    size_t elem = wfm_kw_elem_size(type);
    size_t tag_len = std::strlen(tag);
    if (elem == 0 || tag_len == 0 || tag_len > kMaxTag) return 0;
    auto value_bytes = qn::checked_mul(count, elem);
    if (!value_bytes) return 0;
    size_t record = wfm_kw_entry_size(tag_len, *value_bytes);
    if (record == 0 || record > (cap < kMaxRecord ? cap : kMaxRecord)) return 0;

    bool be = big_endian != 0;
    auto *out = static_cast<unsigned char *>(dst);
    std::memset(out, 0, record);
    tolvane::store_field<int32_t>(out, static_cast<int32_t>(record), be);
    tolvane::store_field<int16_t>(out + 4, static_cast<int16_t>(record - *value_bytes), be);
    out[6] = static_cast<unsigned char>(tag_len);
    out[7] = static_cast<unsigned char>(type);
    copy_elements(out + kHeadBytes, static_cast<const unsigned char *>(values), count, elem, be);
    std::memcpy(out + kHeadBytes + *value_bytes, tag, tag_len);
    return record;
}

int wfm_kw_decode(const void *src, size_t avail, int big_endian, KeywordEntry *entry, size_t *consumed) {
    if (!src || !entry || !consumed) return QN_ERR_INVALID;
    *consumed = 0;
    if (avail < kHeadBytes) return QN_ERR_INVALID;
    bool be = big_endian != 0;
    const auto *in = static_cast<const unsigned char *>(src);
    int32_t record = tolvane::load_field<int32_t>(in, be);
    int16_t extra = tolvane::load_field<int16_t>(in + 4, be);
    size_t tag_len = in[6];
    char type = static_cast<char>(in[7]);
    if (record <= 7 || extra <= 7 || static_cast<size_t>(record) > avail || record < extra) return QN_ERR_INVALID;
    size_t value_bytes = static_cast<size_t>(record - extra);
    if (static_cast<size_t>(extra) < kHeadBytes + tag_len) return QN_ERR_INVALID;
    *consumed = static_cast<size_t>(record);

    size_t elem = wfm_kw_elem_size(type);
    if (elem == 0 || value_bytes == 0 || value_bytes % elem != 0) return WFM_KW_SKIPPED;
    void *data = std::malloc(value_bytes);
    if (!data) return QN_ERR_INVALID;
    size_t count = value_bytes / elem;
    copy_elements(static_cast<unsigned char *>(data), in + kHeadBytes, count, elem, be);
    std::memcpy(entry->tag, in + kHeadBytes + value_bytes, tag_len);
    entry->tag[tag_len] = '\0';
    entry->type = type;
    entry->elem_size = elem;
    entry->count = count;
    entry->data = data;
    return WFM_KW_DECODED;
}

int wfm_kw_check_standard(const char *tag, char type, const char *value, size_t len) {
    if (!tag) return QN_ERR_INVALID;
    auto is = [tag](const char *name) { return std::strcmp(tag, name) == 0; };
    bool ascii = type == 'A' && (value || len == 0);
    if (is("ACQDATE")) return ascii ? check_acqdate(value, len) : -1;
    if (is("ACQTIME")) return ascii ? check_acqtime(value, len) : -1;
    if (is("COMMENT") || is("TIMELINE")) return type == 'A' ? 1 : -1;
    if (is("SUBREC_DEF") || is("SUBREC_DESCRIP") || is("T4INDEX")) return QN_ERR_INVALID;
    return 0;
}

}  // extern "C"
