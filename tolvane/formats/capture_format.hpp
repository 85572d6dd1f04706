// Wire sample types, byte order, capture file names and the layout of the BLUE header control block,
// shared by the capture reader and the capture writer.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tolvane_core.h"

static_assert(std::endian::native == std::endian::little, "captures assume a little-endian host");

namespace tolvane {

// Wire sample types, indexed by stype: the complex types cf32, cf64, ci32, ci16, ci8, cu8,
// cu16, then the real types rf32, rf64, ri32, ri16, ri8, ru8, ru16 (read with imaginary part 0).
inline constexpr int kSampleTypeCount = 14;
inline constexpr int kComplexTypeCount = 7;  // the complex types come first
// Bytes of one component.
inline constexpr uint32_t ELEM[kSampleTypeCount] = {4, 8, 4, 2, 1, 1, 2, 4, 8, 4, 2, 1, 1, 2};
// Signed integer full scale, and for the unsigned (offset binary) types the half range
// 2^(n-1) - 0.5 that is also their offset; 0 for the float types.
inline constexpr double SCALE[kSampleTypeCount] = {0.0, 0.0, 2147483647.0, 32767.0, 127.0, 127.5, 32767.5,
                                                   0.0, 0.0, 2147483647.0, 32767.0, 127.0, 127.5, 32767.5};
// The BLUE format pair written for each stype; null where BLUE has no such type.
inline constexpr const char *STYPE_FMT[kSampleTypeCount] = {"CF", "CD", "CL", "CI", "CB", nullptr, nullptr,
                                                            "SF", "SD", "SL", "SI", "SB", nullptr, nullptr};
// The name of each stype, as SigMF datatypes begin with it.
inline constexpr const char *STYPE_NAME[kSampleTypeCount] = {"cf32", "cf64", "ci32", "ci16", "ci8",  "cu8",  "cu16",
                                                             "rf32", "rf64", "ri32", "ri16", "ri8", "ru8", "ru16"};

inline constexpr bool is_real_type(int stype) { return stype >= kComplexTypeCount; }
// The complex type whose components a type stores: ri16 stores ci16 components.
inline constexpr int component_type(int stype) { return is_real_type(stype) ? stype - kComplexTypeCount : stype; }
inline constexpr bool is_offset_binary(int stype) {
    return component_type(stype) == TOLVANE_STYPE_CU8 || component_type(stype) == TOLVANE_STYPE_CU16;
}
inline constexpr bool is_float_type(int stype) { return component_type(stype) <= TOLVANE_STYPE_CF64; }

inline constexpr std::string_view kSigmfDataSuffix = ".sigmf-data";
inline constexpr std::string_view kSigmfMetaSuffix = ".sigmf-meta";

inline bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

inline bool is_sigmf_data_path(std::string_view path) { return ends_with(path, kSigmfDataSuffix); }

// The path up to its last "." when that comes after the last "/", else the whole path:
// a detached BLUE payload is base + ".det" beside its header file.
inline std::string base_of(const std::string &path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

inline constexpr bool valid_sample_type(int64_t stype) { return stype >= 0 && stype < kSampleTypeCount; }
// The types a capture of a file type is written in: the complex ones that it can express
// (BLUE has no offset-binary types).
inline constexpr bool writable_sample_type(int64_t stype, int32_t file_type) {
    return stype >= 0 && stype < kComplexTypeCount && (file_type != TOLVANE_FTYPE_BLUE || STYPE_FMT[stype] != nullptr);
}
inline constexpr uint32_t complex_stride(int stype) { return 2 * ELEM[stype]; }

template <typename T>
T byte_swapped(T v) {
    if constexpr (sizeof(T) == 1) {
        return v;
    } else if constexpr (sizeof(T) == 2) {
        return std::bit_cast<T>(__builtin_bswap16(std::bit_cast<uint16_t>(v)));
    } else if constexpr (sizeof(T) == 4) {
        return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<uint32_t>(v)));
    } else {
        static_assert(sizeof(T) == 8);
        return std::bit_cast<T>(__builtin_bswap64(std::bit_cast<uint64_t>(v)));
    }
}

// Loads and stores of one numeric field in a chosen byte order.
template <typename T>
T load_field(const unsigned char *p, bool big_endian) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return big_endian ? byte_swapped(v) : v;
}

template <typename T>
void store_field(unsigned char *p, T v, bool big_endian) {
    if (big_endian) v = byte_swapped(v);
    std::memcpy(p, &v, sizeof v);
}

namespace blue {

inline constexpr size_t kHcbSize = 512;
inline constexpr size_t kKeywordAreaSize = 92;
// BLUE time counts from 1950-01-01 00:00:00 UTC; UNIX time from 1970.
inline constexpr double kEpoch1950To1970 = 631152000.0;
inline constexpr int32_t kFileType1000 = 1000;

// Byte offsets of the header control block fields.
enum Offset : size_t {
    kVersion = 0,
    kHeadRep = 4,
    kDataRep = 8,
    kDetached = 12,
    kProtected = 16,
    kPipe = 20,
    kExtStart = 24,
    kExtSize = 28,
    kDataStart = 32,
    kDataSize = 40,  // the end-of-capture marker patched at close
    kType = 48,
    kFormat = 52,
    kFlagmask = 54,
    kTimecode = 56,
    kInlet = 64,
    kOutlets = 66,
    kOutmask = 68,
    kPipeloc = 72,
    kPipesize = 76,
    kInByte = 80,
    kOutByte = 88,
    kOutbytes = 96,
    kKeylength = 160,
    kKeywordArea = 164,
    kXstart = 256,
    kXdelta = 264,
    kXunits = 272,
};

inline bool is_big_endian_rep(const unsigned char *rep) { return std::memcmp(rep, "IEEE", 4) == 0; }

}  // namespace blue
}  // namespace tolvane
