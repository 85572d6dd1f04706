// How much memory this process can still have: the tightest of the machine's physical
// memory, its address-space and data-size limits and its control group's memory limit.
// Buffers sized by untrusted counts are checked against it before any allocation is tried,
// and a refusal names the bound that applies.
#pragma once

#include <cstdint>
#include <string>

namespace qn {

struct MemoryBound {
    uint64_t available = UINT64_MAX;  // what may still be allocated under this bound
    uint64_t limit = UINT64_MAX;      // the bound itself
    uint64_t in_use = 0;              // what the process already holds of it
    const char *name = "";            // "physical memory", "address space limit", ...
};

// The tightest bound on what can still be allocated now.
MemoryBound memory_bound();

// Whether a buffer of this many bytes could be held now. Below a few hundred megabytes
// the answer is yes without a look: such sizes are simply tried.
bool fits_in_memory(uint64_t bytes);

// Why bytes cannot be held, e.g. "needs 2.4 GB, 4 GB address space limit (1.2 GB in use)";
// empty when they fit.
std::string memory_shortfall(uint64_t bytes);

// A byte count for people: "2.4 GB", "77 GB", "512 B" (units of 1024).
std::string format_bytes(uint64_t bytes);

}  // namespace qn
