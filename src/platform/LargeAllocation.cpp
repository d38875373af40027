#include "LargeAllocation.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

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

void AdviseHugePages(void* p, std::size_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t last = (begin + bytes) / kHugePage * kHugePage;
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace velkaro
