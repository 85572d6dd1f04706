#include "awgn_generator.hpp"
#include "splitmix.hpp"

namespace qn {

void seed_generator(Awgn *g) {
    for (uint64_t i = 0; i < 4; ++i) g->s[i] = splitmix_finish(g->seed + (i + 1) * kSplitMixGamma);
    for (uint64_t i = 0; i < 4; ++i)
        for (uint64_t j = 0; j < 8; ++j) g->lanes[i][j] = splitmix_finish(g->seed + (i + j + 1) * kSplitMixGamma);
}

}  // namespace qn
