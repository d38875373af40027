#include "LargeAllocation.h"

#include <sys/mman.h>

#include <algorithm>

namespace velkaro {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kSmallAlignment = 64;  // a cache line: vector loads never straddle two

}  // namespace

void* AllocateLarge(std::size_t bytes) {
    const bool huge = bytes >= kHugePage;
    const std::size_t alignment = huge ? kHugePage : kSmallAlignment;
    const std::size_t rounded =
        (std::max<std::size_t>(bytes, 1) + alignment - 1) / alignment * alignment;
    void* p = std::aligned_alloc(alignment, rounded);
    if (p && huge)
        madvise(p, rounded, MADV_HUGEPAGE);  // advice only: without huge pages nothing changes
    return p;
}

}  // namespace velkaro
