#include "PlanarFft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Check.h"
#include "Dispatch.h"
#include "FftPlans.h"

namespace velkaro {

namespace {

using PlanPair = FftPlansF;

std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}

// Plans of one precision, keyed by size and by whether they split their loops over the pool;
// callers hold the planner's lock.
template <typename Plans, typename Make>
Plans cachedPlans(int rows, int columns, bool parallel, Make make) {
    static auto* cache = new std::map<std::tuple<int, int, bool>, Plans>;
    auto it = cache->find({rows, columns, parallel});
    if (it != cache->end())
        return it->second;
    const Plans plans = make();
    cache->emplace(std::make_tuple(rows, columns, parallel), plans);
    return plans;
}

PlanPair plansFor(int rows, int columns) {
    return realFftPlansF(rows, columns);
}

int goodSize(int n) {
    return fftGoodSize(n);
}

// Sum of a row in double precision, over four independent partial sums so that the additions
// need not wait for one another.
double RowSum(const float* v, int n) {
    double a[4] = {0, 0, 0, 0};
    int i = 0;
    for (; i + 4 <= n; i += 4)
        for (int j = 0; j < 4; ++j) a[j] += double(v[i + j]);
    for (; i < n; ++i) a[0] += double(v[i]);
    return (a[0] + a[1]) + (a[2] + a[3]);
}

// Transform size along one dimension: the whole extent when it is small, else tiles of about
// 512 (transforms of that size stay in the caches and split the work across threads).
int tileTransformSize(int destExtent, int kernelExtent) {
    const int need = destExtent + kernelExtent - 1;
    if (need <= 640)
        return goodSize(need);
    return goodSize(std::max(512, 4 * (kernelExtent - 1)));
}

// Transform buffers are recycled through a small process-wide pool: fresh pages cost more than
// the transforms themselves at preview sizes.
struct FftwFree {
    void operator()(void* p) const { fftwf_free(p); }
};
using RawBuffer = std::unique_ptr<void, FftwFree>;

class BufferPool {
  public:
    RawBuffer take(std::size_t bytes) {
        {
            std::lock_guard<std::mutex> guard(mMutex);
            auto it = mIdle.find(bytes);
            if (it != mIdle.end() && !it->second.empty()) {
                RawBuffer b = std::move(it->second.back());
                it->second.pop_back();
                mIdleBytes -= bytes;
                return b;
            }
        }
        RawBuffer b(fftwf_malloc(bytes));
        VK_CHECK(b);
        return b;
    }
    void give(RawBuffer b, std::size_t bytes) {
        std::lock_guard<std::mutex> guard(mMutex);
        if (mIdleBytes + bytes > kMaxIdleBytes)
            return;  // freed on return
        mIdle[bytes].push_back(std::move(b));
        mIdleBytes += bytes;
    }

  private:
    static constexpr std::size_t kMaxIdleBytes = std::size_t(64) << 20;
    std::mutex mMutex;
    std::map<std::size_t, std::vector<RawBuffer>> mIdle;
    std::size_t mIdleBytes = 0;
};

BufferPool& bufferPool() {
    static BufferPool* pool = new BufferPool;  // lives as long as the process
    return *pool;
}

// A pooled buffer of `count` elements of T, returned to the pool when it goes.
template <typename T>
class PooledBuffer {
  public:
    PooledBuffer() = default;
    explicit PooledBuffer(std::size_t count)
        : mBytes(count * sizeof(T)), mBuffer(bufferPool().take(mBytes)) {}
    PooledBuffer(PooledBuffer&&) = default;
    PooledBuffer& operator=(PooledBuffer&&) = default;
    ~PooledBuffer() {
        if (mBuffer)
            bufferPool().give(std::move(mBuffer), mBytes);
    }
    T* get() const { return static_cast<T*>(mBuffer.get()); }

  private:
    std::size_t mBytes = 0;
    RawBuffer mBuffer;
};

}  // namespace

struct PlanarFftConvolution::Engine {
    int kh, kw;  // kernel rows and columns
    int destWidth, destHeight;
    int rows, columns;          // transform size of one tile
    int tileRows, tileColumns;  // destination pixels per tile
    PlanPair plans;
    PooledBuffer<fftwf_complex> kernelSpectrum;
    double kernelSum;  // sum of the kernel's elements

    std::size_t complexCount() const { return std::size_t(rows) * (columns / 2 + 1); }
};

PlanarFftConvolution::PlanarFftConvolution(const float* kernel, int kernelHeight, int kernelWidth,
                                           int destWidth, int destHeight)
    : mEngine(std::make_unique<Engine>()) {
    VK_CHECK(kernelHeight % 2 == 1);
    VK_CHECK(kernelWidth % 2 == 1);
    Engine& e = *mEngine;
    e.kh = kernelHeight;
    e.kw = kernelWidth;
    e.destWidth = destWidth;
    e.destHeight = destHeight;
    e.rows = tileTransformSize(destHeight, kernelHeight);
    e.columns = tileTransformSize(destWidth, kernelWidth);
    e.tileRows = e.rows - kernelHeight + 1;
    e.tileColumns = e.columns - kernelWidth + 1;
    e.plans = plansFor(e.rows, e.columns);

    // The kernel mirrored into the corner, so that the circular convolution of a tile gives the
    // kernel-weighted sums, shifted by the kernel's size less one; the transform's scale is
    // folded in.
    PooledBuffer<float> real(std::size_t(e.rows) * e.columns);
    std::fill(real.get(), real.get() + std::size_t(e.rows) * e.columns, 0.0f);
    const float scale = 1.0f / (float(e.rows) * float(e.columns));
    for (int i = 0; i < kernelHeight; ++i)
        for (int j = 0; j < kernelWidth; ++j)
            real.get()[std::size_t(kernelHeight - 1 - i) * e.columns + (kernelWidth - 1 - j)] =
                kernel[std::size_t(i) * kernelWidth + j] * scale;
    e.kernelSum = 0;
    for (int i = 0; i < kernelHeight * kernelWidth; ++i) e.kernelSum += kernel[i];
    e.kernelSpectrum = PooledBuffer<fftwf_complex>(e.complexCount());
    fftwf_execute_dft_r2c(e.plans.forward, real.get(), e.kernelSpectrum.get());
}

PlanarFftConvolution::~PlanarFftConvolution() = default;

void PlanarFftConvolution::apply(const PlanarF& src, const PlanarF& dest, int offsetX,
                                 int offsetY) {
    const Engine& e = *mEngine;
    VK_CHECK(dest.width == e.destWidth);
    VK_CHECK(dest.height == e.destHeight);
    VK_CHECK(src.width >= 1 && src.height >= 1);
    const int tilesX = (e.destWidth + e.tileColumns - 1) / e.tileColumns;
    const int tilesY = (e.destHeight + e.tileRows - 1) / e.tileRows;
    const std::size_t halfColumns = std::size_t(e.columns / 2 + 1);

    dispatchApply(std::size_t(tilesX) * tilesY, [&](std::size_t tile) {
        const int tx0 = int(tile % tilesX) * e.tileColumns;
        const int ty0 = int(tile / tilesX) * e.tileRows;
        const int outColumns = std::min(e.tileColumns, e.destWidth - tx0);
        const int outRows = std::min(e.tileRows, e.destHeight - ty0);
        const int inColumns = outColumns + e.kw - 1;
        const int inRows = outRows + e.kh - 1;
        PooledBuffer<float> real(std::size_t(e.rows) * e.columns);
        PooledBuffer<fftwf_complex> spectrum(e.complexCount());
        float* in = real.get();
        fftwf_complex* x = spectrum.get();

        // Source columns of the tile, clamped into the source (edge extension): `lead` columns
        // repeat the first source column, those from `end` on the last, the ones between are a
        // plain copy. The tile's sum is taken while its rows are copied in.
        const int firstColumn = tx0 + offsetX - e.kw / 2;
        const int lead = std::clamp(-firstColumn, 0, inColumns);
        const int end = std::max(lead, std::min(inColumns, src.width - firstColumn));
        double total = 0;
        for (int r = 0; r < e.rows; ++r) {
            float* line = in + std::size_t(r) * e.columns;
            if (r >= inRows) {
                std::fill(line, line + e.columns, 0.0f);
                continue;
            }
            const int sy = std::clamp(ty0 + offsetY - e.kh / 2 + r, 0, src.height - 1);
            const float* s = reinterpret_cast<const float*>(
                reinterpret_cast<const char*>(src.data) + std::size_t(sy) * src.rowBytes);
            std::fill(line, line + lead, s[0]);
            if (end > lead)
                std::memcpy(line + lead, s + firstColumn + lead,
                            std::size_t(end - lead) * sizeof(float));
            std::fill(line + end, line + inColumns, s[src.width - 1]);
            std::fill(line + inColumns, line + e.columns, 0.0f);
            total += RowSum(line, inColumns);
        }

        // The tile's mean goes around the transforms and comes back as mean × kernel sum: the
        // rounding of the transforms then scales with the detail only, and a flat tile gives
        // exactly the same value at every pixel, as the spatial sum does.
        const float mean = float(total / (double(inRows) * inColumns));
        for (int r = 0; r < inRows; ++r) {
            float* line = in + std::size_t(r) * e.columns;
            for (int c = 0; c < inColumns; ++c) line[c] -= mean;
        }
        const float level = float(double(mean) * e.kernelSum);

        fftwf_execute_dft_r2c(e.plans.forward, in, x);
        const fftwf_complex* k = e.kernelSpectrum.get();
        MultiplySpectrum(x, k, std::size_t(e.rows) * halfColumns);
        fftwf_execute_dft_c2r(e.plans.inverse, x, in);

        for (int r = 0; r < outRows; ++r) {
            float* d = reinterpret_cast<float*>(reinterpret_cast<char*>(dest.data) +
                                                std::size_t(ty0 + r) * dest.rowBytes) +
                       tx0;
            const float* t = in + std::size_t(r + e.kh - 1) * e.columns + (e.kw - 1);
            for (int c = 0; c < outColumns; ++c) d[c] = t[c] + level;
        }
    });
}

bool planarFftPays(int destWidth, int destHeight, int kernelHeight, int kernelWidth) {
    // Measured on this class of machine: the spatial engine spends about 0.13 ns per pixel and
    // kernel element, a tile transform pair with its product about 16 ns per transform element.
    const int rows = tileTransformSize(destHeight, kernelHeight);
    const int columns = tileTransformSize(destWidth, kernelWidth);
    const std::int64_t tiles =
        std::int64_t((destHeight + rows - kernelHeight) / (rows - kernelHeight + 1)) *
        ((destWidth + columns - kernelWidth) / (columns - kernelWidth + 1));
    const double spatial = double(destWidth) * destHeight * kernelHeight * kernelWidth * 0.13;
    const double transform = double(tiles) * rows * columns * 16.0;
    return transform < spatial;
}

namespace {

// Evenly spread origins of `block`-long tiles overlapping by about half over `extent`.
std::vector<int> tileOrigins(int extent, int block) {
    const int count = 1 + (extent - block + block / 2 - 1) / (block / 2);
    std::vector<int> origins(count, 0);
    for (int i = 1; i < count; ++i)
        origins[i] = int((std::int64_t(extent - block) * i + (count - 1) / 2) / (count - 1));
    return origins;
}

}  // namespace

int planarPowerSpectrum(const PlanarF& src, int block, std::vector<float>& out) {
    VK_CHECK(block >= 4 && block % 2 == 0);
    out.clear();
    if (src.width < block || src.height < block)
        return 0;
    const PlanPair plans = plansFor(block, block);
    const std::size_t halfColumns = std::size_t(block / 2 + 1);
    PooledBuffer<float> real(std::size_t(block) * block);
    PooledBuffer<fftwf_complex> spectrum(std::size_t(block) * halfColumns);
    std::vector<float> window(block);
    for (int i = 0; i < block; ++i)
        window[i] = float(0.5 - 0.5 * std::cos(2 * 3.141592653589793 * (i + 0.5) / block));
    std::vector<double> sum(std::size_t(block) * halfColumns, 0.0);
    const std::vector<int> xs = tileOrigins(src.width, block), ys = tileOrigins(src.height, block);
    for (int y0 : ys)
        for (int x0 : xs) {
            double total = 0;
            for (int r = 0; r < block; ++r) {
                const float* s =
                    reinterpret_cast<const float*>(reinterpret_cast<const char*>(src.data) +
                                                   std::size_t(y0 + r) * src.rowBytes) +
                    x0;
                for (int c = 0; c < block; ++c) total += s[c];
            }
            const float mean = float(total / (double(block) * block));
            float* in = real.get();
            for (int r = 0; r < block; ++r) {
                const float* s =
                    reinterpret_cast<const float*>(reinterpret_cast<const char*>(src.data) +
                                                   std::size_t(y0 + r) * src.rowBytes) +
                    x0;
                for (int c = 0; c < block; ++c)
                    in[std::size_t(r) * block + c] = (s[c] - mean) * window[r] * window[c];
            }
            fftwf_execute_dft_r2c(plans.forward, in, spectrum.get());
            const fftwf_complex* x = spectrum.get();
            for (std::size_t i = 0; i < sum.size(); ++i)
                sum[i] += double(x[i][0]) * x[i][0] + double(x[i][1]) * x[i][1];
        }
    const int tiles = int(xs.size() * ys.size());
    out.resize(sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) out[i] = float(sum[i] / tiles);
    return tiles;
}

namespace {

// FFTW's parallel loops, run on the worker pool.
void parallelLoop(void* (*work)(char*), char* jobs, std::size_t size, int count, void*) {
    dispatchApply(std::size_t(count), [&](std::size_t k) { work(jobs + k * size); });
}

// Plans of at least this many values split their loops over the pool (double-precision ones
// always, single-precision ones when asked to): smaller ones would spend more on the split.
constexpr std::int64_t kThreadedValues = std::int64_t(1) << 16;

}  // namespace

FftPlansF realFftPlansF(int rows, int columns, bool parallel) {
    parallel = parallel && std::int64_t(rows) * columns >= kThreadedValues;
    std::lock_guard<std::mutex> guard(plannerMutex());
    // Estimated plans of the sizes the methods use most run markedly slower than the ones FFTW
    // finds by measuring (a 576 × 576 pair a third slower). Measuring at run time would make the
    // plans, and so the last bits of every result, depend on the machine's load; the shipped
    // wisdom gives the measured plans to every process alike, before its first plan, so results
    // stay the same from run to run. A library that cannot use it ignores it.
    static const bool wisdom = [] {
        static const char kWisdom[] =
#include "FftWisdom.inc"
            ;
        return fftwf_import_wisdom_from_string(kWisdom) != 0;
    }();
    (void)wisdom;
    // FFTW's threads are set up on the first parallel plan only: until then every plan is made
    // exactly as by the plain library.
    static int cores = 0;
    if (parallel && cores == 0) {
        cores = 1;
        if (fftwf_init_threads() != 0) {
            fftwf_threads_set_callback(parallelLoop, nullptr);
            cores = int(std::max(1u, std::thread::hardware_concurrency()));
            // Measured plans for the blind kernel estimate's levels on two threads (a 576 × 576
            // pair about 30 % faster than the estimated one). FFTW takes it only from a planner
            // set up as bench/fft_wisdom's was: the plain wisdom first, then the threads. On
            // another count of cores it matches no plan.
            static const char kThreadedWisdom[] =
#include "FftWisdomThreaded.inc"
                ;
            fftwf_import_wisdom_from_string(kThreadedWisdom);
        }
    }
    if (cores > 0)
        fftwf_plan_with_nthreads(parallel ? cores : 1);
    return cachedPlans<FftPlansF>(rows, columns, parallel, [&] {
        const std::size_t realCount = std::size_t(rows) * columns;
        const std::size_t complexCount = std::size_t(rows) * (columns / 2 + 1);
        float* real = fftwf_alloc_real(realCount);
        fftwf_complex* spectrum = fftwf_alloc_complex(complexCount);
        VK_CHECK(real && spectrum);
        FftPlansF plans;
        plans.forward = fftwf_plan_dft_r2c_2d(rows, columns, real, spectrum, FFTW_ESTIMATE);
        plans.inverse = fftwf_plan_dft_c2r_2d(rows, columns, spectrum, real, FFTW_ESTIMATE);
        VK_CHECK(plans.forward && plans.inverse);
        fftwf_free(real);
        fftwf_free(spectrum);
        return plans;
    });
}

FftPlansD realFftPlansD(int rows, int columns) {
    std::lock_guard<std::mutex> guard(plannerMutex());
    static const int cores = [] {
        if (fftw_init_threads() == 0)
            return 1;
        fftw_threads_set_callback(parallelLoop, nullptr);
        return int(std::max(1u, std::thread::hardware_concurrency()));
    }();
    const bool parallel = std::int64_t(rows) * columns >= kThreadedValues;
    fftw_plan_with_nthreads(parallel ? cores : 1);
    return cachedPlans<FftPlansD>(rows, columns, parallel, [&] {
        // In place: the real plane's rows are padded to 2 · (columns / 2 + 1) values.
        const std::size_t complexCount = std::size_t(rows) * (columns / 2 + 1);
        fftw_complex* spectrum = fftw_alloc_complex(complexCount);
        VK_CHECK(spectrum);
        double* real = reinterpret_cast<double*>(spectrum);
        FftPlansD plans;
        plans.forward = fftw_plan_dft_r2c_2d(rows, columns, real, spectrum, FFTW_ESTIMATE);
        plans.inverse = fftw_plan_dft_c2r_2d(rows, columns, spectrum, real, FFTW_ESTIMATE);
        VK_CHECK(plans.forward && plans.inverse);
        fftw_free(spectrum);
        return plans;
    });
}

int fftGoodSize(int n) {
    int best = 0;
    for (int m : {1, 3, 5, 9}) {
        int size = 2 * m;
        while (size < n) size *= 2;
        if (best == 0 || size < best)
            best = size;
    }
    return best;
}

}  // namespace velkaro
