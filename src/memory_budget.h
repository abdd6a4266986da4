// How much memory this process may still take, read before a search
// allocates its tables, so that a search too large is refused up front.
#ifndef VARKEL_MEMORY_BUDGET_H_
#define VARKEL_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>

namespace varkel {

struct MemoryBudget {
  uint64_t bytes;      // UINT64_MAX when no limit could be read
  std::string limit;   // what sets it, e.g. "available system memory"
};

// The least of: the system's available memory (MemAvailable), the memory
// cgroup's remaining allowance, and the address space left under
// RLIMIT_AS.
MemoryBudget available_memory();

// What this process's memory cgroup still allows, UINT64_MAX when nothing
// limits it: version 2 (memory.max less memory.current) or version 1
// (memory.limit_in_bytes less memory.usage_in_bytes), found through
// `membership_file` (/proc/self/cgroup) under `root` (/sys/fs/cgroup).
uint64_t cgroup_remaining(const std::string& membership_file, const std::string& root);

// "1.5 GiB", "12.0 MiB", "800 bytes".
std::string format_bytes(uint64_t bytes);

}  // namespace varkel

#endif  // VARKEL_MEMORY_BUDGET_H_
