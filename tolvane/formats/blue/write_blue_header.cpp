// Builds and writes the BLUE header control block.
#include "write_blue_header.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <optional>

#include "capture_format.hpp"
#include "checked.hpp"

namespace tolvane::blue {
namespace {

using Hcb = std::array<unsigned char, kHcbSize>;

// The whole block, or nothing when an argument cannot be represented faithfully.
std::optional<Hcb> make_hcb(int32_t stype, bool big, uint64_t num_samples, int detached, double fs, double fc,
                            double data_start, double t0) {
    if (!writable_sample_type(stype, TOLVANE_FTYPE_BLUE)) return std::nullopt;
    // A reader refuses a data_start that is not a finite offset, so never write one.
    if (!std::isfinite(data_start) || data_start < 0.0) return std::nullopt;
    const auto data_bytes = qn::checked_mul<uint64_t>(num_samples, complex_stride(stype));
    if (!data_bytes) return std::nullopt;

    Hcb h{};
    std::memcpy(&h[kVersion], "BLUE", 4);
    const char *rep = big ? "IEEE" : "EEEI";
    std::memcpy(&h[kHeadRep], rep, 4);
    std::memcpy(&h[kDataRep], rep, 4);
    store_field<int32_t>(&h[kDetached], detached != 0 ? 1 : 0, big);
    store_field<double>(&h[kDataStart], data_start, big);
    store_field<double>(&h[kDataSize], static_cast<double>(*data_bytes), big);
    store_field<int32_t>(&h[kType], kFileType1000, big);
    std::memcpy(&h[kFormat], STYPE_FMT[stype], 2);
    if (t0 != 0.0) store_field<double>(&h[kTimecode], t0 + kEpoch1950To1970, big);
    if (fc != 0.0) {
        char *area = reinterpret_cast<char *>(&h[kKeywordArea]);
        const int len = std::snprintf(area, kKeywordAreaSize, "FREQ=%.17g", fc);
        store_field<int32_t>(&h[kKeylength], len + 1, big);
    }
    store_field<double>(&h[kXstart], 0.0, big);
    store_field<double>(&h[kXdelta], fs != 0.0 ? 1.0 / fs : 0.0, big);
    store_field<int32_t>(&h[kXunits], 1, big);
    return h;
}

}  // namespace
}  // namespace tolvane::blue

extern "C" int wfm_blue_write_hcb(FILE *file, int32_t stype, int big_endian, uint64_t num_samples, int detached,
                                  double fs, double fc, double data_start, double t0) {
    if (file == nullptr) return QN_ERR_INVALID;
    const auto hcb =
        tolvane::blue::make_hcb(stype, big_endian != 0, num_samples, detached, fs, fc, data_start, t0);
    if (!hcb) return QN_ERR_INVALID;
    return std::fwrite(hcb->data(), 1, hcb->size(), file) == hcb->size() ? QN_OK : QN_ERR_INVALID;
}

extern "C" int write_blue_header(const char *path, int32_t stype, int big_endian, uint64_t num_samples,
                                 int detached, double fs, double fc, double data_start, double t0) {
    if (path == nullptr) return QN_ERR_INVALID;
    FILE *file = std::fopen(path, "wb");
    if (file == nullptr) return QN_ERR_INVALID;
    const int written = wfm_blue_write_hcb(file, stype, big_endian, num_samples, detached, fs, fc, data_start, t0);
    const int closed = std::fclose(file);
    return written == QN_OK && closed == 0 ? QN_OK : QN_ERR_INVALID;
}
