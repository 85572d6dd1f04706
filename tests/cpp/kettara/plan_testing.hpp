// Helpers shared by the render plan tests: composing a scene, rendering a plan.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kettara.h"
#include "wfm_compose.h"
#include "wfm_json.h"

namespace plan_testing {

using Samples = std::vector<cf32>;

struct PlanFree {
    void operator()(Plan *p) const { kettara_destroy(p); }
};
using PlanPtr = std::unique_ptr<Plan, PlanFree>;

inline PlanPtr prepare(const std::string &scene) { return PlanPtr(kettara_prepare(scene.c_str())); }

// The whole stream of the scene's composer.
inline Samples compose(const std::string &scene) {
    Samples out;
    Composer *c = wfm_compose_from_json(scene.c_str());
    EXPECT_NE(c, nullptr) << scene;
    if (!c) return out;
    cf32 block[1000];
    while (uint64_t n = wfm_compose_execute(c, block, 1000)) out.insert(out.end(), block, block + n);
    wfm_compose_destroy(c);
    return out;
}

inline Samples render(const Plan *p, const char *overrides) {
    Samples out(kettara_len(p));
    out.resize(kettara_render(p, overrides, out.data()));
    return out;
}

inline Samples render(const Plan *p, const std::string &overrides) {
    return render(p, overrides.c_str());
}

inline Samples at(const Plan *p, uint64_t seed, double snr) {
    Samples out(kettara_len(p));
    out.resize(kettara_at(p, seed, out.data(), snr));
    return out;
}

// Equal bit for bit, the sign of zero included.
inline bool identical(const Samples &a, const Samples &b) {
    // (memcmp must not see the null data of empty vectors)
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0);
}

inline double power_db(const Samples &x) {
    double sum = 0.0;
    for (const cf32 &v : x) sum += double(v.re) * v.re + double(v.im) * v.im;
    return 10.0 * std::log10(sum / double(x.size()));
}

}  // namespace plan_testing
