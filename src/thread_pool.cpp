// Thread counts and pool construction, shared by both searches.
#include "thread_pool.h"

#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "hwy/contrib/thread_pool/topology.h"

namespace varkel {

uint64_t processors_available() {
  hwy::LogicalProcessorSet processors;
  if (hwy::GetThreadAffinity(processors)) return processors.Count();
  const unsigned hardware = std::thread::hardware_concurrency();
  // Neither source knows the processor count: run on the calling thread
  // alone. Any count gives the same result; one is always safe.
  return hardware != 0 ? hardware : 1;
}

uint64_t resolve_thread_count(uint64_t num_threads) {
  return num_threads != 0 ? num_threads : processors_available();
}

PoolPtr make_pool(uint64_t thread_count, hwy::PoolWaitMode wait_mode) {
  if (thread_count <= 1) return PoolPtr();
  void* memory = hwy::AllocateAlignedBytes(sizeof(hwy::ThreadPool));
  if (memory == nullptr) throw std::bad_alloc();
  hwy::ThreadPool* pool;
  try {
    // Counts above the pool's limit are clamped by the pool itself, with
    // Highway's own warning.
    pool = new (memory) hwy::ThreadPool(static_cast<size_t>(thread_count - 1));
  } catch (const std::system_error& error) {
    // The system refused a worker thread. On this and any other failure of
    // the constructor the memory is kept, not freed: workers already started
    // are detached and still reference it.
    throw std::runtime_error("cannot start " + std::to_string(thread_count - 1) +
                             " worker threads: " + error.what());
  }
  PoolPtr owned(pool);
  owned->SetWaitMode(wait_mode);
  return owned;
}

}  // namespace varkel
