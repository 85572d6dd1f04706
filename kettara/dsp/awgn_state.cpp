#include "awgn_core.h"
#include "awgn_generator.hpp"
#include "state_blob.hpp"

namespace {

constexpr std::size_t kStateBytes = 304;
constexpr char kMagic[] = "AWGN";

}  // namespace

extern "C" {

size_t awgn_state_bytes(const Awgn *g) { return g ? kStateBytes : 0; }

void awgn_get_state(const Awgn *g, void *out) {
    if (!g || !out) return;
    auto *bytes = static_cast<unsigned char *>(out);
    qn::blob::write_header(bytes, kMagic, 1, kStateBytes);
    for (int i = 0; i < 4; ++i) qn::blob::put<uint64_t>(bytes + 16 + 8 * i, g->s[i]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) qn::blob::put<uint64_t>(bytes + 48 + 64 * i + 8 * j, g->lanes[i][j]);
}

int awgn_set_state(Awgn *g, const void *blob) {
    if (!g || !blob) return QN_ERR_INVALID;
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!qn::blob::header_matches(bytes, kMagic, 1, kStateBytes)) return QN_ERR_STATE;
    for (int i = 0; i < 4; ++i) g->s[i] = qn::blob::get<uint64_t>(bytes + 16 + 8 * i);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) g->lanes[i][j] = qn::blob::get<uint64_t>(bytes + 48 + 64 * i + 8 * j);
    return QN_OK;
}

}  // extern "C"
