#include "qn_parallel.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

namespace qn {

namespace {

// Below this cache length a thread costs more than the synthesis it would take over.
constexpr uint64_t kMinParallelSamples = 4096;

unsigned online_processors() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 1 ? static_cast<unsigned>(std::min<long>(n, 1 << 16)) : 1;
}

}  // namespace

extern "C" void *qn_pf_worker(void *arg) {
    auto *job = static_cast<ParallelJob *>(arg);
    for (;;) {
        const uint64_t i = job->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job->count) return nullptr;
        job->function(i, job->context);
    }
}

void run_jobs(uint64_t count, void (*function)(uint64_t, void *), void *context,
              uint64_t samples, unsigned max_threads) {
    ParallelJob job{count, function, context, {0}};
    unsigned processors = online_processors();
    if (max_threads != 0) processors = std::min(processors, max_threads);
    const uint64_t workers = std::min<uint64_t>(count, processors);
    if (count > 1 && samples >= kMinParallelSamples && workers > 1) {
        std::unique_ptr<pthread_t[]> threads(new (std::nothrow) pthread_t[workers - 1]);
        uint64_t started = 0;
        if (threads) {
            while (started < workers - 1 &&
                   pthread_create(&threads[started], nullptr, qn_pf_worker, &job) == 0)
                ++started;
        }
        qn_pf_worker(&job);
        for (uint64_t t = 0; t < started; ++t) pthread_join(threads[t], nullptr);
        return;
    }
    qn_pf_worker(&job);
}

}  // namespace qn
