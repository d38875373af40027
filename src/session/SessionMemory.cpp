// Whether a full deblur can be afforded: the least-squares presets hold hundreds of bytes per
// pixel, so a photograph that large is refused before it starts rather than have the process
// killed by the kernel with the user's unsaved composite.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

#include "Session.h"

namespace {

// The memory this process may still take: the kernel's MemAvailable, lowered by the limit of the
// control group the process runs in (cgroup v2) when there is one. -1 when neither can be read.
std::int64_t availableMemoryBytes() {
    std::int64_t available = -1;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::int64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            available = kib * 1024;
            break;
        }
    }
    std::ifstream maxFile("/sys/fs/cgroup/memory.max"), currentFile("/sys/fs/cgroup/memory.current");
    std::string max;
    std::int64_t current = 0;
    if (maxFile >> max && max != "max" && currentFile >> current) {
        const std::int64_t left = std::max<std::int64_t>(0, std::stoll(max) - current);
        available = available < 0 ? left : std::min(available, left);
    }
    return available;
}

double gigabytes(std::int64_t bytes) { return double(bytes) / (1024.0 * 1024.0 * 1024.0); }

}  // namespace

bool Session::fullDeblurFitsInMemory(int radiusStep, DeblurType deblurType, std::string& message) {
    message.clear();
    if (deblurType != DeblurLA1 && deblurType != DeblurLA2) return true;
    if (!mOriginalImage) return true;
    // The estimate counts the solver's arrays; the images around them (original, composite,
    // result, its PNG stream) add about a fifth more: a 24-megapixel LA1 peaked at 6.2 GiB
    // against an estimate of 5.3 GiB.
    const std::int64_t needed = memoryUsageForDeblurType(radiusStep, deblurType) / 4 * 5;
    const std::int64_t available = mAvailableMemory ? mAvailableMemory() : availableMemoryBytes();
    if (available < 0 || needed <= available) return true;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Not enough memory for %s at radius %.1f on this %dx%d photograph: it needs "
                  "about %.1f GiB and %.1f GiB are available.",
                  DeblurTypeName(deblurType), radiusStep * 0.5, mOriginalImage->width(),
                  mOriginalImage->height(), gigabytes(needed), gigabytes(available));
    message = text;
    return false;
}
