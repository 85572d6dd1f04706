// The plan blob "PLN0": the scene text and every cache in native byte order.
//
//   0  magic "PLN0"      4  uint16 version 1    6  byte 1    7  byte 0 (ignored)
//   8  uint64 cache stamp                       16 uint64 L, scene text length
//   24 scene text (L bytes, no terminator)      24+L uint64 N, cache count
//   32+L N entries: uint64 n_i, then n_i cf32 samples
//
// The stamp licenses reuse of the stored caches; without it (or when the cache table does
// not fit the blob) the caches are synthesised again from the text.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "checked.hpp"
#include "kettara.h"
#include "kettara_plan.hpp"

namespace qn {

namespace {

constexpr unsigned char kMagic[4] = {'P', 'L', 'N', '0'};
constexpr uint16_t kVersion = 1;
constexpr uint64_t kCacheStamp = 0x4C2CF47801CD1ECBull;
constexpr uint64_t kHeaderBytes = 24;  // up to the scene text
constexpr uint64_t kCountBytes = 8;    // N, and each entry's n_i

template <typename T>
T read_at(const unsigned char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
unsigned char *write(unsigned char *p, const T &v) {
    std::memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

// Calls fn(n_samples, samples) for every cache in order.
template <typename Fn>
void for_each_cache(const Plan &plan, Fn fn) {
    for (const PlanSegment &seg : plan.segments)
        for (uint64_t c = seg.first_cache; c < seg.first_cache + seg.n_cached; ++c)
            fn(seg.num_samples, plan.caches[c].get());
}

// The cache table of a blob, when it fits: every length checked against what remains.
bool read_caches(const unsigned char *p, uint64_t remaining, PrebuiltCaches &out) {
    if (remaining < kCountBytes) return false;
    const uint64_t n = read_at<uint64_t>(p);
    p += kCountBytes;
    remaining -= kCountBytes;
    if (n == 0 || n > remaining / kCountBytes) return false;
    out.lengths.reserve(n);
    out.data.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        if (remaining < kCountBytes) return false;
        const uint64_t samples = read_at<uint64_t>(p);
        p += kCountBytes;
        remaining -= kCountBytes;
        if (samples > remaining / sizeof(cf32)) return false;
        out.lengths.push_back(samples);
        out.data.push_back(p);
        p += samples * sizeof(cf32);
        remaining -= samples * sizeof(cf32);
    }
    return true;
}

Plan *restore(const unsigned char *b, uint64_t size) {
    if (!b || size < kHeaderBytes || std::memcmp(b, kMagic, sizeof kMagic) != 0 ||
        read_at<uint16_t>(b + 4) != kVersion || b[6] != 1)
        return nullptr;
    const uint64_t text_len = read_at<uint64_t>(b + 16);
    if (size < kHeaderBytes + kCountBytes || text_len > size - kHeaderBytes - kCountBytes)
        return nullptr;
    const std::string text(reinterpret_cast<const char *>(b + kHeaderBytes), text_len);
    const uint64_t table = kHeaderBytes + text_len;
    PrebuiltCaches caches;
    const bool licensed = read_at<uint64_t>(b + 8) == kCacheStamp &&
                          read_caches(b + table, size - table, caches);
    return plan_build(text.c_str(), licensed ? &caches : nullptr, 0);
}

}  // namespace

}  // namespace qn

extern "C" {

uint64_t kettara_save_bytes(const Plan *plan) {
    if (!plan) return 0;
    std::optional<uint64_t> total =
        qn::checked_add<uint64_t>(qn::kHeaderBytes + qn::kCountBytes, plan->spec_json.size());
    qn::for_each_cache(*plan, [&](uint64_t n, const cf32 *) {
        const auto bytes = qn::checked_mul<uint64_t>(n, sizeof(cf32));
        const auto entry = bytes ? qn::checked_add<uint64_t>(*bytes, qn::kCountBytes) : std::nullopt;
        total = total && entry ? qn::checked_add(*total, *entry) : std::nullopt;
    });
    return total.value_or(0);
}

uint64_t kettara_save(const Plan *plan, void *out) {
    if (!plan || !out) return 0;
    const uint64_t size = kettara_save_bytes(plan);
    if (size == 0) return 0;
    unsigned char *p = static_cast<unsigned char *>(out);
    std::memcpy(p, qn::kMagic, sizeof qn::kMagic);
    p += sizeof qn::kMagic;
    p = qn::write(p, qn::kVersion);
    *p++ = 1;
    *p++ = 0;
    p = qn::write(p, qn::kCacheStamp);
    p = qn::write<uint64_t>(p, plan->spec_json.size());
    std::memcpy(p, plan->spec_json.data(), plan->spec_json.size());
    p += plan->spec_json.size();
    p = qn::write<uint64_t>(p, plan->n_cached());
    qn::for_each_cache(*plan, [&](uint64_t n, const cf32 *samples) {
        p = qn::write(p, n);
        std::memcpy(p, samples, n * sizeof(cf32));
        p += n * sizeof(cf32);
    });
    return size;
}

Plan *kettara_restore(const void *blob, uint64_t size) {
    try {
        return qn::restore(static_cast<const unsigned char *>(blob), size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int32_t kettara_dump(const Plan *plan, const char *path) {
    if (!plan || !path) return QN_ERR_INVALID;
    const uint64_t size = kettara_save_bytes(plan);
    if (size == 0 || size > SIZE_MAX) return QN_ERR_INVALID;
    std::unique_ptr<unsigned char[]> blob(new (std::nothrow) unsigned char[size]);
    if (!blob) return QN_ERR_INVALID;
    kettara_save(plan, blob.get());
    FILE *f = std::fopen(path, "wb");
    if (!f) return QN_ERR_INVALID;
    const bool written = std::fwrite(blob.get(), 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    return written && closed ? QN_OK : QN_ERR_INVALID;
}

Plan *kettara_load(const char *path) {
    if (!path) return nullptr;
    FILE *f = std::fopen(path, "rb");
    if (!f) return nullptr;
    std::unique_ptr<FILE, int (*)(FILE *)> file(f, std::fclose);
    if (fseeko(f, 0, SEEK_END) != 0) return nullptr;
    const off_t end = ftello(f);
    if (end <= 0 || fseeko(f, 0, SEEK_SET) != 0) return nullptr;
    const uint64_t size = static_cast<uint64_t>(end);
    std::unique_ptr<unsigned char[]> blob(new (std::nothrow) unsigned char[size]);
    if (!blob || std::fread(blob.get(), 1, size, f) != size) return nullptr;
    file.reset();
    return kettara_restore(blob.get(), size);
}

}  // extern "C"
