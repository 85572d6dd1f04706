// Writing CSV captures: one "re,im" text row per sample, integer types as their codes.
#include <cstdio>

#include "capture_format.hpp"
#include "writer.hpp"

namespace tolvane::writer {

uint64_t write_csv(Writer &w, const cf32 *samples, uint64_t count, Level &level) {
    uint64_t lines = 0;
    for (; lines < count; ++lines) {
        const float re = level.apply(samples[lines].re);
        const float im = level.apply(samples[lines].im);
        int printed;
        if (w.sample_type == TOLVANE_STYPE_CF32) {
            printed = std::fprintf(w.file, "%0.9f,%0.9f\n", re, im);
        } else if (w.sample_type == TOLVANE_STYPE_CF64) {
            printed = std::fprintf(w.file, "%0.17g,%0.17g\n", static_cast<double>(re), static_cast<double>(im));
        } else if (is_offset_binary(w.sample_type)) {
            const double half = SCALE[w.sample_type];
            printed = std::fprintf(w.file, "%ld,%ld\n", offset_code<long>(re, half), offset_code<long>(im, half));
        } else {
            const double scale = SCALE[w.sample_type];
            printed = std::fprintf(w.file, "%ld,%ld\n", integer_code<long>(re, scale), integer_code<long>(im, scale));
        }
        if (printed < 0) {
            w.write_failed = true;
            break;
        }
    }
    return lines;
}

}  // namespace tolvane::writer
