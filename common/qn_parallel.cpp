#include "qn_parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

namespace qn {

namespace {

// Starts up to wanted threads running qn_pf_worker on job, with every signal blocked (they
// inherit the mask of the thread that starts them); gives how many started.
uint64_t start_workers(pthread_t *threads, uint64_t wanted, ParallelJob &job) {
    sigset_t all, callers;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &callers);
    uint64_t started = 0;
    while (started < wanted && pthread_create(&threads[started], nullptr, qn_pf_worker, &job) == 0)
        ++started;
    pthread_sigmask(SIG_SETMASK, &callers, nullptr);
    return started;
}

}  // namespace

unsigned online_processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 1 ? static_cast<unsigned>(std::min<long>(n, 1 << 16)) : 1;
}

unsigned usable_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
}

extern "C" void *qn_pf_worker(void *arg) {
    auto *job = static_cast<ParallelJob *>(arg);
    for (;;) {
        const uint64_t i = job->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job->count) return nullptr;
        job->function(i, job->context);
    }
}

void run_jobs(uint64_t count, unsigned threads, void (*function)(uint64_t, void *), void *context) {
    ParallelJob job{count, function, context, {0}};
    const uint64_t workers = std::min<uint64_t>(count, threads);
    std::unique_ptr<pthread_t[]> handles;
    if (workers > 1) handles.reset(new (std::nothrow) pthread_t[workers - 1]);
    const uint64_t started = handles ? start_workers(handles.get(), workers - 1, job) : 0;
    qn_pf_worker(&job);
    for (uint64_t t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
}

}  // namespace qn
