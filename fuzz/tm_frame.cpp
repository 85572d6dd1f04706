// Telemetry frame decoding of arbitrary hard bits under every configuration, and a
// decoded payload encoded again must decode to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    static const uint32_t depths[] = {0, 1, 2, 3, 4, 5, 8, 6};
    TmFrameConfig cfg{depths[data[0] & 7], (data[0] >> 3) & 1u, (data[0] >> 4) & 1u, 0};
    const size_t out_cap = data[1] == 0xff ? 1u << 16 : data[1] * 8u;
    data += 2;
    size -= 2;
    // Short inputs stand for the bits of their octets, longer ones hold one bit per byte.
    std::vector<uint8_t> bits;
    if (size < 512) {
        for (size_t i = 0; i < size * 8; ++i) bits.push_back((data[i / 8] >> (7 - i % 8)) & 1);
    } else {
        bits.assign(data, data + size);
    }
    std::vector<uint8_t> payload(out_cap);
    TmDecodeStats stats;
    const size_t n = ccsds_tm_frame_decode(&cfg, bits.data(), bits.size(), payload.data(), out_cap, &stats);
    if (n == 0) return 0;
    if (n > out_cap || stats.payload_octets != n || stats.codewords_ok > stats.codewords) abort();

    // A decoded payload, encoded and decoded again, comes back unchanged.
    std::vector<uint8_t> coded(ccsds_tm_frame_layout(&cfg, n, nullptr));
    if (coded.size() != bits.size()) abort();
    if (ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), n, coded.data(), coded.size()) != coded.size()) abort();
    std::vector<uint8_t> back(n);
    if (ccsds_tm_frame_decode(&cfg, coded.data(), coded.size(), back.data(), n, &stats) != n) abort();
    if (stats.codewords_ok != stats.codewords || stats.codewords_corrected != 0) abort();
    if (memcmp(back.data(), payload.data(), n) != 0) abort();
    return 0;
}
