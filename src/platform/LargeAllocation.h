#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace velkaro {

// Uninitialised storage for numeric arrays; null when memory is exhausted. Arrays of 2 MiB and
// more start on a 2 MiB boundary, are rounded up to whole 2 MiB and are offered transparent huge
// pages: touching such an array for the first time then costs one page fault per 2 MiB instead of
// one per 4 KiB, which on virtual machines is most of the time a solver spends on fresh vectors.
void* AllocateLarge(std::size_t bytes);

// Offers transparent huge pages to the whole 2 MiB pages inside [p, p + bytes) that nothing has
// touched yet, as AllocateLarge does for its arrays: for buffers another allocator made.
void AdviseHugePages(void* p, std::size_t bytes);

// Releases what AllocateLarge returned.
struct LargeAllocationFree {
    void operator()(void* p) const noexcept { std::free(p); }
};

template <typename T>
using LargeArray = std::unique_ptr<T[], LargeAllocationFree>;

}  // namespace velkaro
