// The memory left to this process, read from /proc and the control-group file system.

#include "MemoryLimits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace velkaro {

namespace {

// The first whitespace-separated number in `path`, or -1 (missing file, "max", not a number).
std::int64_t readNumber(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text) || text.empty() ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

// The value of `key` in a "key value" file such as memory.stat, or 0.
std::int64_t readKey(const std::string& path, const std::string& wanted) {
    std::ifstream file(path);
    std::string key;
    std::int64_t value = 0;
    while (file >> key >> value)
        if (key == wanted)
            return value;
    return 0;
}

}  // namespace

std::int64_t ControlGroupAvailableMemory(const std::string& root) {
    const std::string top = root.empty() || root.back() != '/' ? root + "/" : root;
    std::ifstream self(top + "proc/self/cgroup");
    std::string line;
    std::int64_t available = -1;
    while (std::getline(self, line)) {
        // "0::/path" (v2) or "N:controllers:/path" (v1).
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string group = line.substr(second + 1);
        std::string mount, limitFile, usageFile, cacheKey;
        if (controllers.empty()) {
            mount = top + "sys/fs/cgroup", limitFile = "memory.max", usageFile = "memory.current";
            cacheKey = "inactive_file";
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            mount = top + "sys/fs/cgroup/memory", limitFile = "memory.limit_in_bytes";
            usageFile = "memory.usage_in_bytes", cacheKey = "total_inactive_file";
        } else {
            continue;
        }
        for (;;) {
            const std::string dir = mount + (group == "/" ? "" : group) + "/";
            const std::int64_t limit = readNumber(dir + limitFile);
            // v1 writes "no limit" as a number near 2^63.
            if (limit >= 0 && limit < (std::int64_t(1) << 60)) {
                const std::int64_t used = readNumber(dir + usageFile);
                if (used >= 0) {
                    const std::int64_t left = std::max<std::int64_t>(
                        0, limit - used + readKey(dir + "memory.stat", cacheKey));
                    available = available < 0 ? left : std::min(available, left);
                }
            }
            if (group.empty() || group == "/")
                break;
            const std::size_t slash = group.rfind('/');
            group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
        }
    }
    return available;
}

std::int64_t AvailableMemory() {
    std::int64_t available = -1;
    auto lower = [&](std::int64_t bytes) {
        if (bytes >= 0)
            available = available < 0 ? bytes : std::min(available, bytes);
    };
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    std::int64_t kib = 0;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            lower(kib * 1024);
            break;
        }
    }
    lower(ControlGroupAvailableMemory());
    rlimit addressSpace{};
    if (getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY) {
        const std::int64_t pages = readNumber("/proc/self/statm");
        if (pages >= 0)
            lower(std::max<std::int64_t>(
                0, std::int64_t(addressSpace.rlim_cur) - pages * sysconf(_SC_PAGESIZE)));
    }
    return available;
}

}  // namespace velkaro
