// Reads the memory limits that apply to this process; see memory_budget.h.
#include "memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

// limit - usage from two files of one cgroup directory; kUnlimited when
// either is absent or the limit says "max".
uint64_t remaining_in(const std::string& dir, const char* limit_file, const char* usage_file) {
  uint64_t limit = 0, usage = 0;
  if (!read_number(dir + "/" + limit_file, &limit) || !read_number(dir + "/" + usage_file, &usage)) {
    return kUnlimited;
  }
  return limit > usage ? limit - usage : 0;
}

// Whether a version 1 line's controller list ("cpu,memory") names memory.
bool names_memory(const std::string& controllers) {
  std::istringstream list(controllers);
  std::string name;
  while (std::getline(list, name, ',')) {
    if (name == "memory") return true;
  }
  return false;
}

}  // namespace

uint64_t cgroup_remaining(const std::string& membership_file, const std::string& root) {
  // Each line is "ID:CONTROLLERS:PATH": version 2's unified hierarchy has
  // ID 0 and no controllers, version 1's memory hierarchy names "memory".
  // A machine may have both (v1 memory beside an unused unified tree): the
  // least of what either allows counts.
  std::ifstream membership(membership_file);
  std::string line;
  uint64_t remaining = kUnlimited;
  while (std::getline(membership, line)) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (path == "/") path.clear();
    uint64_t here = kUnlimited;
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      here = remaining_in(root + path, "memory.max", "memory.current");
      if (here == kUnlimited) {
        here = remaining_in(root + "/unified" + path, "memory.max", "memory.current");
      }
    } else if (names_memory(controllers)) {
      here = remaining_in(root + "/memory" + path, "memory.limit_in_bytes",
                          "memory.usage_in_bytes");
    }
    remaining = std::min(remaining, here);
  }
  return remaining;
}

namespace {

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
  const uint64_t cgroup = cgroup_remaining("/proc/self/cgroup", "/sys/fs/cgroup");
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
