#include "memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "checked.hpp"

namespace qn {

namespace {

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();
// Sizes below this are tried without a look at the limits: their allocation reports itself.
constexpr uint64_t kLookAbove = uint64_t{256} << 20;

uint64_t physical_memory() {
    static const uint64_t memory = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), page_bytes = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page_bytes <= 0) return kUnbounded;
        const auto total = checked_mul<uint64_t>(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_bytes));
        return total ? *total : kUnbounded;
    }();
    return memory;
}

// The first number in a file ("max" and anything unreadable give nothing).
std::optional<uint64_t> read_number(const std::string &path) {
    std::ifstream in(path);
    unsigned long long v = 0;
    if (!(in >> v)) return std::nullopt;
    return v;
}

// The folder of this process's memory control group: the unified hierarchy's, else the
// memory controller's of the older one; empty when neither is visible.
std::string cgroup_folder() {
    std::ifstream in("/proc/self/cgroup");
    std::string line, v1;
    while (std::getline(in, line)) {
        if (line.rfind("0::", 0) == 0) {
            const std::string dir = "/sys/fs/cgroup" + line.substr(3);
            if (read_number(dir + "/memory.max") || std::ifstream(dir + "/memory.max")) return dir + "/memory.";
        }
        const auto colon = line.find(':');
        if (colon != std::string::npos && line.compare(colon, 8, ":memory:") == 0) v1 = line.substr(colon + 8);
    }
    for (const std::string &dir : {"/sys/fs/cgroup/memory" + v1, std::string("/sys/fs/cgroup/memory")})
        if (read_number(dir + "/memory.limit_in_bytes")) return dir + "/memory.";
    return "";
}

// The page counts of /proc/self/statm: total program size and data (+ stack).
struct Statm {
    uint64_t size = 0, data = 0;
};

Statm statm() {
    Statm s;
    std::ifstream in("/proc/self/statm");
    unsigned long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    if (!(in >> size >> resident >> shared >> text >> lib >> data)) return s;
    const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    s.size = size * page;
    s.data = data * page;
    return s;
}

MemoryBound bound_of(uint64_t limit, uint64_t in_use, const char *name) {
    return MemoryBound{limit > in_use ? limit - in_use : 0, limit, in_use, name};
}

void tighten(MemoryBound &tightest, const MemoryBound &b) {
    if (b.available < tightest.available) tightest = b;
}

uint64_t rlimit_of(int resource) {
    rlimit r{};
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kUnbounded;
    return r.rlim_cur;
}

std::string with_unit(double v, const char *unit) {
    char text[32];
    const bool whole = v >= 10.0 || v == static_cast<double>(static_cast<uint64_t>(v));
    std::snprintf(text, sizeof text, whole ? "%.0f %s" : "%.1f %s", v, unit);
    return text;
}

}  // namespace

MemoryBound memory_bound() {
    MemoryBound tightest = bound_of(physical_memory(), 0, "physical memory");
    const Statm used = statm();
    if (const uint64_t as = rlimit_of(RLIMIT_AS); as != kUnbounded)
        tighten(tightest, bound_of(as, used.size, "address space limit"));
    if (const uint64_t data = rlimit_of(RLIMIT_DATA); data != kUnbounded)
        tighten(tightest, bound_of(data, used.data, "data size limit"));
    static const std::string cgroup = cgroup_folder();
    if (!cgroup.empty()) {
        const bool unified = cgroup.find("/memory/") == std::string::npos;
        const auto max = read_number(cgroup + (unified ? "max" : "limit_in_bytes"));
        const auto current = read_number(cgroup + (unified ? "current" : "usage_in_bytes"));
        if (max && *max < physical_memory()) tighten(tightest, bound_of(*max, current.value_or(0), "cgroup memory limit"));
    }
    return tightest;
}

bool fits_in_memory(uint64_t bytes) { return bytes < kLookAbove || bytes <= memory_bound().available; }

std::string memory_shortfall(uint64_t bytes) {
    if (fits_in_memory(bytes)) return "";
    const MemoryBound b = memory_bound();
    std::string text = "needs " + format_bytes(bytes) + ", " + format_bytes(b.limit) + " " + b.name;
    if (b.in_use > 0) text += " (" + format_bytes(b.in_use) + " in use)";
    return text;
}

std::string format_bytes(uint64_t bytes) {
    static const char *const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024.0;
    std::size_t u = 0;
    while (v >= 1024.0 && u + 1 < std::size(units)) {
        v /= 1024.0;
        ++u;
    }
    return with_unit(v, units[u]);
}

}  // namespace qn
