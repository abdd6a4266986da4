// Worker threads for the level loop: how many, and the pool that runs them.
#ifndef VARKEL_THREAD_POOL_H_
#define VARKEL_THREAD_POOL_H_

#include <cstdint>
#include <memory>

#include "hwy/aligned_allocator.h"
#include "hwy/contrib/thread_pool/thread_pool.h"

namespace varkel {

// Number of processors the calling thread may run on: its affinity set, else
// the hardware thread count, else 1.
uint64_t processors_available();

// _exhaustive_kernel's rule: 0 means processors_available(); any other count
// is taken as it is.
uint64_t resolve_thread_count(uint64_t num_threads);

using PoolPtr = std::unique_ptr<hwy::ThreadPool, hwy::AlignedDeleter>;

// A pool of thread_count - 1 workers (the calling thread is the last one),
// or none when thread_count <= 1. Workers wait for work in `wait_mode`.
// Throws std::bad_alloc when the pool's memory cannot be had, and
// std::runtime_error when the system refuses a worker thread.
PoolPtr make_pool(uint64_t thread_count, hwy::PoolWaitMode wait_mode);

}  // namespace varkel

#endif  // VARKEL_THREAD_POOL_H_
