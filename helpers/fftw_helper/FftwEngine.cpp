#include "FftwEngine.h"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Transform buffers of many megabytes are placed on 2 MiB boundaries and offered huge pages:
// filling a fresh buffer from the pipe then takes a few hundred page faults instead of tens of
// thousands, which matters after every cleanup.
void* AllocateBuffer(std::size_t bytes) {
    if (bytes < 4 * kHugePage) return fftw_malloc(bytes);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

void FreeBuffer(void* p, std::size_t bytes) {
    if (bytes < 4 * kHugePage) {
        fftw_free(p);
    } else {
        std::free(p);
    }
}

}  // namespace

FftwEngine::~FftwEngine() { release(); }

FftwEngine::Size* FftwEngine::find(int rows, int columns) {
    auto it = mSizes.find({rows, columns});
    return it == mSizes.end() ? nullptr : &it->second;
}

std::complex<double>* FftwEngine::buffer(int rows, int columns) {
    Size* size = find(rows, columns);
    if (!size) {
        const std::size_t count = std::size_t(rows) * std::size_t(columns);
        auto* data = static_cast<fftw_complex*>(AllocateBuffer(count * sizeof(fftw_complex)));
        if (!data) return nullptr;
        size = &mSizes[{rows, columns}];
        size->data = data;
    }
    // fftw_complex and std::complex<double> share their layout (two doubles, real first).
    return reinterpret_cast<std::complex<double>*>(size->data);
}

bool FftwEngine::transform(int rows, int columns, int direction) {
    Size* size = find(rows, columns);
    if (!size) return false;
    fftw_plan& plan = direction > 0 ? size->forward : size->backward;
    if (!plan) {
        // FFTW_ESTIMATE plans without touching the buffer, so the data already read stays.
        plan = fftw_plan_dft_2d(rows, columns, size->data, size->data,
                                direction > 0 ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (!plan) return false;
    fftw_execute(plan);
    return true;
}

void FftwEngine::release() {
    for (auto& [key, size] : mSizes) {
        if (size.forward) fftw_destroy_plan(size.forward);
        if (size.backward) fftw_destroy_plan(size.backward);
        FreeBuffer(size.data, std::size_t(key.first) * std::size_t(key.second) * sizeof(fftw_complex));
    }
    mSizes.clear();
    fftw_cleanup();
}
