// Running independent jobs of the plan build on worker threads: POSIX threads sharing
// one atomic job counter, no locks, all joined before the call returns.
#pragma once

#include <atomic>
#include <cstdint>

namespace qn {

struct ParallelJob {
    uint64_t count;
    void (*function)(uint64_t index, void *context);
    void *context;
    std::atomic<uint64_t> next;
};

// Thread body: takes job indices from the shared counter until none are left.
extern "C" void *qn_pf_worker(void *job);

// Runs function(0 .. count-1, context), on up to max_threads threads (the caller counts as
// one; 0 means the online processor count) when there is more than one job and the caches
// are long enough (samples > 4095) to be worth a thread; otherwise in index order.
void run_jobs(uint64_t count, void (*function)(uint64_t, void *), void *context,
              uint64_t samples, unsigned max_threads);

// Calls fn(index) for every index through run_jobs; fn must not throw.
template <typename Fn>
void run_jobs(uint64_t count, uint64_t samples, unsigned max_threads, Fn &fn) {
    run_jobs(
        count, [](uint64_t i, void *ctx) { (*static_cast<Fn *>(ctx))(i); }, &fn, samples,
        max_threads);
}

}  // namespace qn
