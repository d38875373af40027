#pragma once

#include <cstdint>
#include <string>

namespace velkaro {

// What the memory control groups of this process (cgroup v2, or v1's memory controller) still
// allow: the least, over the group and its ancestors, of the limit less the usage, the group's
// reclaimable file cache counted as free. -1 when no limit applies or none can be read.
// `root` is the folder that holds proc/ and sys/ ("/" on a live system; tests pass a fake tree).
std::int64_t ControlGroupAvailableMemory(const std::string& root = "/");

// The memory this process may still take: the kernel's MemAvailable, lowered by the limits of the
// control groups the process runs in and by its address-space limit (ulimit -v) less what it
// has mapped. -1 when none can be read.
std::int64_t AvailableMemory();

}  // namespace velkaro
