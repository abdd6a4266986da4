// Reads the memory limits that apply to this process; see memory_budget.h.
#include "memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace varkel {

namespace {

constexpr uint64_t kUnlimited = std::numeric_limits<uint64_t>::max();

// MemAvailable from /proc/meminfo, in bytes.
uint64_t system_available() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  return kUnlimited;
}

// Reads one number from a file; false when it is absent or says "max".
bool read_number(const std::string& path, uint64_t* value) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || text == "max") return false;
  std::istringstream parse(text);
  return static_cast<bool>(parse >> *value);
}

// memory.max - memory.current of this process's cgroup (version 2).
uint64_t cgroup_remaining() {
  std::ifstream membership("/proc/self/cgroup");
  std::string line;
  std::string path;
  while (std::getline(membership, line)) {
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  }
  if (path.empty()) return kUnlimited;
  const std::string dir = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);
  uint64_t max = 0, current = 0;
  if (!read_number(dir + "/memory.max", &max) || !read_number(dir + "/memory.current", &current)) {
    return kUnlimited;
  }
  return max > current ? max - current : 0;
}

// RLIMIT_AS less the address space already mapped.
uint64_t address_space_remaining() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  if (!(statm >> pages)) return kUnlimited;
  const uint64_t mapped = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0;
}

}  // namespace

MemoryBudget available_memory() {
  MemoryBudget budget{system_available(), "available system memory"};
  const uint64_t cgroup = cgroup_remaining();
  if (cgroup < budget.bytes) budget = {cgroup, "the memory cgroup's remaining limit"};
  const uint64_t address_space = address_space_remaining();
  if (address_space < budget.bytes) budget = {address_space, "the address-space limit (ulimit -v)"};
  return budget;
}

std::string format_bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (uint64_t{1} << 30)) {
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
  } else if (bytes >= (uint64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

}  // namespace varkel
