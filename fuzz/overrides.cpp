// Render overrides through kettara_render of a fixed plan: three caches (tone, BPSK with
// its own noise, chirp) over two segments with a noise floor.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kettara.h"

namespace {

const Plan *fixed_plan() {
    static Plan *plan = kettara_prepare(R"({"segments": [
        {"sum": [{"type": "tone", "freq": 0.05, "level": -3},
                 {"type": "bpsk", "sps": 4, "snr": 10, "seed": 3}],
         "num_samples": 700, "delay_samples": [10, 40], "off_samples": 20},
        {"type": "chirp", "freq": -0.2, "f_end": 0.2, "snr": 5, "num_samples": 500}]})");
    if (!plan) abort();
    return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Plan *plan = fixed_plan();
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<cf32> out(kettara_len(plan) + 1);
    const cf32 guard{1234.5f, -6789.25f};
    out.back() = guard;
    if (kettara_render(plan, text.c_str(), out.data()) > kettara_len(plan)) abort();
    if (out.back().re != guard.re || out.back().im != guard.im) abort();
    return 0;
}
