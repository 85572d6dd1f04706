// Keyword records: decode a byte run the way the reader walks an extended header, and
// re-encode every decoded record.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wfm_keywords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int big_endian = data[0] & 1;
    ++data;
    --size;
    size_t at = 0;
    while (size - at >= 8) {
        KeywordEntry entry;
        size_t consumed = 0;
        const int result = wfm_kw_decode(data + at, size - at, big_endian, &entry, &consumed);
        if (result < 0) break;
        if (consumed == 0 || consumed > size - at) abort();
        if (result == 0) {
            if (entry.count == 0 || entry.elem_size != wfm_kw_elem_size(entry.type)) abort();
            // A tag may hold NUL bytes: the entry keeps the text up to the first.
            const size_t tag_len = strlen(entry.tag);
            std::vector<uint8_t> again(wfm_kw_entry_size(tag_len, entry.count * entry.elem_size));
            if (tag_len > 0 && wfm_kw_encode(again.data(), again.size(), entry.tag, entry.type, entry.data,
                                             entry.count, big_endian) != again.size())
                abort();
            free(entry.data);
        }
        at += consumed;
    }
    return 0;
}
