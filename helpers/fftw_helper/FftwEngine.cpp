#include "FftwEngine.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velkaro {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Transform buffers of many megabytes are placed on 2 MiB boundaries and offered huge pages:
// filling a fresh buffer from the pipe then takes a few hundred page faults instead of tens of
// thousands, which matters after every cleanup.
void* AllocateBuffer(std::size_t bytes) {
    if (bytes < 4 * kHugePage)
        return fftw_malloc(bytes);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p)
        madvise(p, rounded, MADV_HUGEPAGE);
    return p;
}

void FreeBuffer(void* p, std::size_t bytes) {
    if (bytes < 4 * kHugePage) {
        fftw_free(p);
    } else {
        std::free(p);
    }
}

// Plans for transforms of fewer values run on one thread: below that, starting the others costs
// more than it saves.
constexpr std::size_t kThreadedValues = std::size_t(1) << 16;

// FFTW's planner is told once how to run on threads; each plan then says how many it uses.
void PlanThreads(std::size_t values) {
    static std::once_flag once;
    static int cores = 1;
    std::call_once(once, [] {
        if (fftw_init_threads() != 0)
            cores = int(std::max(1u, std::thread::hardware_concurrency()));
    });
    fftw_plan_with_nthreads(values >= kThreadedValues ? cores : 1);
}

// The inputs of real transforms are copies the client made for this one transform: FFTW may use
// them as scratch space, which spares it copies of its own.
constexpr unsigned kRealFlags = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;

// Plans of real transforms kept at most; a size beyond them starts the collection afresh.
constexpr std::size_t kMaxRealPlans = 16;

}  // namespace

FftwEngine::FftwEngine(int sharedFd) : mSharedFd(sharedFd) {}

FftwEngine::~FftwEngine() {
    release();
    destroyRealPlans();
}

void FftwEngine::destroyRealPlans() {
    for (auto& [key, plan] : mRealPlans) fftw_destroy_plan(plan);
    mRealPlans.clear();
}

unsigned char* FftwEngine::shared(std::uint64_t bytes) {
    if (mSharedFd < 0)
        return nullptr;
    struct stat st;
    if (fstat(mSharedFd, &st) != 0 || st.st_size < 0 || std::uint64_t(st.st_size) < bytes)
        return nullptr;
    // The client grows the region for larger transforms: the mapping follows its size.
    if (mMapping && mMappedBytes != std::size_t(st.st_size)) {
        munmap(mMapping, mMappedBytes);
        mMapping = nullptr;
    }
    if (!mMapping) {
        void* p = mmap(nullptr, std::size_t(st.st_size), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_POPULATE, mSharedFd, 0);
        if (p == MAP_FAILED)
            return nullptr;
        mMapping = p;
        mMappedBytes = std::size_t(st.st_size);
    }
    return static_cast<unsigned char*>(mMapping);
}

bool FftwEngine::realTransform(int rows, int columns, int direction) {
    if (direction != kRealForward && direction != kRealBackward)
        return false;
    const RealTransformLayout layout(rows, columns);
    unsigned char* base = shared(layout.bytes);
    if (!base)
        return false;
    auto* real = reinterpret_cast<double*>(base);
    auto* spectrum = reinterpret_cast<fftw_complex*>(base + layout.spectrumOffset);
    const auto key = std::make_tuple(rows, columns, direction);
    auto it = mRealPlans.find(key);
    if (it == mRealPlans.end()) {
        if (mRealPlans.size() >= kMaxRealPlans)
            destroyRealPlans();
        // FFTW_ESTIMATE plans without touching the arrays. Both arrays are page aligned in every
        // mapping, so the plan applies to later mappings through the new-array interface.
        PlanThreads(std::size_t(rows) * std::size_t(columns));
        fftw_plan plan = direction == kRealForward
                             ? fftw_plan_dft_r2c_2d(rows, columns, real, spectrum, kRealFlags)
                             : fftw_plan_dft_c2r_2d(rows, columns, spectrum, real, kRealFlags);
        if (!plan)
            return false;
        it = mRealPlans.emplace(key, plan).first;
    }
    if (direction == kRealForward) {
        fftw_execute_dft_r2c(it->second, real, spectrum);
    } else {
        fftw_execute_dft_c2r(it->second, spectrum, real);
    }
    return true;
}

FftwEngine::Size* FftwEngine::find(int rows, int columns) {
    auto it = mSizes.find({rows, columns});
    return it == mSizes.end() ? nullptr : &it->second;
}

std::complex<double>* FftwEngine::buffer(int rows, int columns) {
    Size* size = find(rows, columns);
    if (!size) {
        const std::size_t count = std::size_t(rows) * std::size_t(columns);
        auto* data = static_cast<fftw_complex*>(AllocateBuffer(count * sizeof(fftw_complex)));
        if (!data)
            return nullptr;
        size = &mSizes[{rows, columns}];
        size->data = data;
    }
    // fftw_complex and std::complex<double> share their layout (two doubles, real first).
    return reinterpret_cast<std::complex<double>*>(size->data);
}

bool FftwEngine::transform(int rows, int columns, int direction) {
    Size* size = find(rows, columns);
    if (!size)
        return false;
    fftw_plan& plan = direction > 0 ? size->forward : size->backward;
    if (!plan) {
        // FFTW_ESTIMATE plans without touching the buffer, so the data already read stays.
        PlanThreads(std::size_t(rows) * std::size_t(columns));
        plan = fftw_plan_dft_2d(rows, columns, size->data, size->data,
                                direction > 0 ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (!plan)
        return false;
    fftw_execute(plan);
    return true;
}

void FftwEngine::release() {
    for (auto& [key, size] : mSizes) {
        if (size.forward)
            fftw_destroy_plan(size.forward);
        if (size.backward)
            fftw_destroy_plan(size.backward);
        FreeBuffer(size.data,
                   std::size_t(key.first) * std::size_t(key.second) * sizeof(fftw_complex));
    }
    mSizes.clear();
    if (mMapping)
        munmap(mMapping, mMappedBytes);
    mMapping = nullptr;
    mMappedBytes = 0;
}

}  // namespace velkaro
