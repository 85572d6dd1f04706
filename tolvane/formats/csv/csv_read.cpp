// Reading CSV captures: one "re,im" row per sample, integer types at their full scale.
#include <cerrno>
#include <cstring>

#include "container_readers.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

// One row of the read pattern; false at the first row that is not two numbers.
bool scan_csv_row(FILE *f, double &a, double &b) { return std::fscanf(f, " %lf , %lf", &a, &b) == 2; }

}  // namespace

std::optional<std::pair<double, double>> parse_csv_row(const char *line) {
    char *end = nullptr;
    const double first = std::strtod(line, &end);
    if (end == line) return std::nullopt;
    const char *p = end + std::strspn(end, " \t");
    if (*p != ',') return std::nullopt;
    ++p;
    const double second = std::strtod(p, &end);
    if (end == p) return std::nullopt;
    if (end[std::strspn(end, " \t\r")] != '\0') return std::nullopt;
    return std::pair{first, second};
}

void open_csv(Reader &r, FilePtr file) {
    r.file = std::move(file);
    r.file_type = TOLVANE_FTYPE_CSV;
}

uint64_t count_csv_rows(Reader &r) {
    if (r.csv_counted) return r.num_samples;
    FILE *f = r.file.get();
    const off_t at = ftello(f);
    if (at < 0 || fseeko(f, static_cast<off_t>(r.payload_start), SEEK_SET) != 0) return r.num_samples;
    uint64_t rows = 0;
    for (double a, b; scan_csv_row(f, a, b);) ++rows;
    std::clearerr(f);
    if (fseeko(f, at, SEEK_SET) != 0) return r.num_samples;
    r.num_samples = rows;
    r.csv_counted = true;
    return rows;
}

}  // namespace tolvane

using namespace tolvane;

// Float types take the numbers as they are, signed integer types as codes at their full
// scale, offset-binary types as codes about their half range. A real type reads both numbers
// the same way: a CSV row always has two.
cf32 Reader::csv_sample(double re, double im) const {
    const int type = component_type(sample_type);
    if (is_float_type(type)) return {static_cast<float>(re), static_cast<float>(im)};
    const double scale = SCALE[type];
    if (is_offset_binary(type))
        return {static_cast<float>((re - scale) / scale), static_cast<float>((im - scale) / scale)};
    const double unit = 1.0 / scale;
    return {static_cast<float>(re * unit), static_cast<float>(im * unit)};
}

size_t Reader::read_csv_rows(size_t n, cf32 *out) {
    FILE *f = file.get();
    size_t i = 0;
    for (double a, b; i < n; ++i) {
        // A row that does not parse is put back whole: later calls stop at it as well,
        // instead of resuming in the middle of it.
        const off_t row_start = ftello(f);
        errno = 0;
        if (!scan_csv_row(f, a, b)) {
            if (std::ferror(f)) keep_error(errno != 0 ? errno : EIO, csv_rows_read + i);
            if (row_start >= 0) fseeko(f, row_start, SEEK_SET);
            break;
        }
        out[i] = csv_sample(a, b);
    }
    csv_rows_read += i;
    return i;
}
