// Running independent jobs on worker threads: POSIX threads sharing one atomic job counter,
// no locks, all joined before the call returns. Used by the plan build and by large capture
// reads; each caller decides how many threads its work is worth.
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

// Processors this process may run on: online ones, or those of its affinity mask; at least 1.
unsigned online_processors();
unsigned usable_processors();

// Runs function(0 .. count-1, context) on up to `threads` threads, the caller counting as
// one, when there is more than one job; otherwise in index order on the caller. When a
// thread cannot be started, the caller and those already running share the jobs. The
// workers start with every signal blocked, so that signals reach the caller's own threads
// as they would without them.
void run_jobs(uint64_t count, unsigned threads, void (*function)(uint64_t, void *), void *context);

// Calls fn(index) for every index through run_jobs; fn must not throw.
template <typename Fn>
void run_jobs(uint64_t count, unsigned threads, Fn &fn) {
    run_jobs(count, threads, [](uint64_t i, void *ctx) { (*static_cast<Fn *>(ctx))(i); }, &fn);
}

}  // namespace qn
