// Building BLUE captures byte by byte for the reader tests: a header control block from
// the header writer, samples in any wire type and byte order, keyword records, and the
// padded extended header a writer appends at close.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture_format.hpp"
#include "wfm_keywords.h"
#include "write_blue_header.h"

namespace fixture {

using Bytes = std::vector<unsigned char>;
using namespace tolvane;

inline Bytes hcb(int stype, bool big, uint64_t declared, double fs = 0.0, double fc = 0.0, double t0 = 0.0,
                 int detached = 0, double data_start = 512.0) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *m = open_memstream(&buf, &len);
    const int r = wfm_blue_write_hcb(m, stype, big, declared, detached, fs, fc, data_start, t0);
    std::fclose(m);
    Bytes out(buf, buf + len);
    std::free(buf);
    return r == 0 ? out : Bytes{};
}

template <typename T>
void put(Bytes &b, T v, bool big) {
    const size_t at = b.size();
    b.resize(at + sizeof v);
    store_field(&b[at], v, big);
}

template <typename T>
void patch(Bytes &b, size_t offset, T v, bool big) {
    store_field(&b[offset], v, big);
}

// Integer codes or float values of one component, as the wire type stores them.
inline void put_component(Bytes &b, int stype, double v, bool big) {
    switch (stype) {
        case 0: return put<float>(b, static_cast<float>(v), big);
        case 1: return put<double>(b, v, big);
        case 2: return put<int32_t>(b, static_cast<int32_t>(v), big);
        case 3: return put<int16_t>(b, static_cast<int16_t>(v), big);
        case 5: return put<uint8_t>(b, static_cast<uint8_t>(v), big);
        case 6: return put<uint16_t>(b, static_cast<uint16_t>(v), big);
        default: return put<int8_t>(b, static_cast<int8_t>(v), big);
    }
}

inline Bytes kw_record(const char *tag, char type, const void *values, size_t count, bool big) {
    Bytes rec(512);
    rec.resize(wfm_kw_encode(rec.data(), rec.size(), tag, type, values, count, big));
    return rec;
}

// Pads the file to a 512-byte boundary, appends the records and points the header at them.
inline void append_extended_header(Bytes &file, const Bytes &records, bool big) {
    file.resize((file.size() + 511) / 512 * 512, 0);
    patch<int32_t>(file, blue::kExtStart, static_cast<int32_t>(file.size() / 512), big);
    patch<int32_t>(file, blue::kExtSize, static_cast<int32_t>(records.size()), big);
    file.insert(file.end(), records.begin(), records.end());
}

inline void set_keyword_area(Bytes &file, const std::string &area, int32_t keylength, bool big) {
    std::copy(area.begin(), area.end(), file.begin() + blue::kKeywordArea);
    patch<int32_t>(file, blue::kKeylength, keylength, big);
}

}  // namespace fixture
