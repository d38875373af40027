// Box-constrained least-squares deconvolution of one channel of a photograph, as the two presets
// run it (tolerances 1e-6 and 1e-12 handed over in single precision), on square regions of
// 64, 128 and 512 pixels at radius steps 2, 4 and 8 (radius = step × 0.5).
//
// Counters: seconds per solve (wall clock, and processor time of all threads), outer iterations,
// products with AᵀA (and the columns multiplied), and the share of the time spent inside those
// products, by wall clock and by processor time (the rest is the solver's own vector work).
//
//   bench_sllsbox --benchmark_filter='Sllsbox/512/4/0'    the 512 × 512 preview cell at step 4
//   bench_sllsbox --benchmark_filter=PreviewColumn/LA:1   the LA1 preview column (steps 1 … 15)
//   bench_sllsbox --benchmark_filter=FullResolutionMemory peak memory of a 24 MP channel solve
//   bench_sllsbox --benchmark_filter=NormalProduct        one AᵀA product, direct or transformed

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>

#include "Deconvolve.h"
#include "Filter.h"
#include "ImageIO.h"
#include "Matrix.h"
#include "MatrixFilter.h"
#include "MatrixMultiply.h"
#include "MatrixTransposedMultiply.h"
#include "Sllsbox.h"

using namespace velkaro;

namespace {

const CImage& photograph() {
    static const CImage image = [] {
        ImageRef ref = ImageIO::sharedInstance().readFromFile(std::string(VELKARO_SAMPLE_DIR) +
                                                              "/astronaut.png");
        return ref ? CImage(ref) : CImage(512, 512);
    }();
    return image;
}

void Sllsbox(benchmark::State& state) {
    const int size = int(state.range(0));
    const int step = int(state.range(1));
    const double tolerance = state.range(2) == 0 ? double(1e-6f) : double(1e-12f);
    const CImage& in = photograph();
    const int x = (in.width() - size) / 2, y = (in.height() - size) / 2;
    CImage out(size, size);
    std::atomic<bool> stop{false};
    deconvolve_detail::SllsboxStats stats;
    // The solver logs every solve; keep the benchmark's own table readable.
    std::fflush(stdout);
    for (auto _ : state) {
        deconvolve_detail::SetSllsboxStatsSink(&stats);
        deconvolve_sllsbox(in, out, 2, step * 0.5, tolerance, 0, -1, x, y, size, size, nullptr,
                           &stop);
        deconvolve_detail::SetSllsboxStatsSink(nullptr);
    }
    const double solves = double(stats.solves);
    state.counters["seconds"] = stats.seconds / solves;
    state.counters["iterations"] = double(stats.iterations) / solves;
    state.counters["AtA_products"] = double(stats.ataProducts.load()) / solves;
    state.counters["AtA_columns"] = double(stats.ataColumns) / solves;
    state.counters["AtA_share"] = stats.ataSeconds / stats.seconds;
    state.counters["AtA_cpu_share"] = stats.ataCpuSeconds / stats.cpuSeconds;
    state.counters["cpu_seconds"] = stats.cpuSeconds / solves;
    state.counters["ms_per_product"] = 1e3 * stats.ataSeconds / double(stats.ataColumns);
}

// One product with AᵀA on a size × size region at a radius step, by the direct filter products
// (engine 0) or through the whole-image transforms (engine 1); `pays` tells which one the solver
// picks.
void NormalProduct(benchmark::State& state) {
    const int size = int(state.range(0));
    const double radius = double(state.range(1)) * 0.5;
    const bool transform = state.range(2) != 0;
    const int n = SizeForFilter(radius, -1);
    Matrix K(n, n);
    GenerateFilter(K, radius, -1);
    const int count = size * size;
    Matrix A(count, count, K.rwData(), n, n, size, size);
    Matrix x(count, 1), t(count, 1), y(count, 1);
    for (int i = 0; i < count; ++i) x.rwData()[i] = double((i * 7919) % 256) / 255.0;
    FilterNormalTransform engine(A);
    for (auto _ : state) {
        if (transform) {
            engine.apply(y.rwData(), x.roData(), 1);
        } else {
            MatrixMultiply(t, A, x);
            MatrixTransposedMultiply(y, A, t);
        }
        benchmark::DoNotOptimize(y.rwData());
    }
    state.counters["pays"] = FilterNormalTransform::pays(A) ? 1 : 0;
}

// The preview column of one preset: the 512 × 512 cell at radius steps 1 … 15, three channels
// each, as the preview grid computes it (tolerance 1e-6 for LA1, 1e-12 for LA2). Process time
// covers the worker threads.
void PreviewColumn(benchmark::State& state) {
    const double tolerance = state.range(0) == 1 ? double(1e-6f) : double(1e-12f);
    const CImage& in = photograph();
    const int size = std::min({512, in.width(), in.height()});
    const int x = (in.width() - size) / 2, y = (in.height() - size) / 2;
    CImage out(size, size);
    std::atomic<bool> stop{false};
    std::fflush(stdout);
    for (auto _ : state)
        for (int step = 1; step <= 15; ++step)
            for (int channel = 1; channel <= 3; ++channel)
                deconvolve_sllsbox(in, out, channel, step * 0.5, tolerance, 0, -1, x, y, size, size,
                                   nullptr, &stop);
}

// Peak memory of a full-resolution solve: one channel of a megapixels-sized photograph (the
// sample scaled up) at radius step 6, as LA1 runs it. Reports the process's peak resident size
// and the method's own estimate, in GB. Minutes per run.
void FullResolutionMemory(benchmark::State& state) {
    const int megapixels = int(state.range(0));
    const int w = megapixels == 24 ? 6000 : int(std::sqrt(megapixels * 1.5e6));
    const int h = int(std::int64_t(megapixels) * 1000000 / w);
    const CImage& sample = photograph();
    CImage in(w, h);
    for (int yy = 0; yy < h; ++yy)
        for (int xx = 0; xx < w; ++xx)
            for (int c = 0; c < 4; ++c)
                in.pixels()[(std::size_t(yy) * w + xx) * 4 + c] =
                    sample.pixels()[(std::size_t(yy * sample.height() / h) * sample.width() +
                                     xx * sample.width() / w) *
                                        4 +
                                    c];
    CImage out(w, h);
    std::atomic<bool> stop{false};
    std::fflush(stdout);
    for (auto _ : state)
        deconvolve_sllsbox(in, out, 1, 3.0, double(1e-6f), 0, -1, 0, 0, w, h, nullptr, &stop);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_GB"] = double(usage.ru_maxrss) * 1024 / 1e9;
    state.counters["estimate_GB"] =
        double(deconvolve_sllsbox_mem_usage(in, out, 1, 3.0, 1e-4, 0, -1, 0, 0, w, h, nullptr)) /
        1e9;
}

}  // namespace

BENCHMARK(PreviewColumn)
    ->ArgNames({"LA"})
    ->Arg(1)
    ->Arg(2)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

BENCHMARK(FullResolutionMemory)
    ->ArgNames({"megapixels"})
    ->Arg(24)
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

BENCHMARK(NormalProduct)
    ->ArgNames({"size", "step", "fft"})
    ->ArgsProduct({{512}, {2, 4, 6, 8, 10, 12, 15, 20}, {0, 1}})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(Sllsbox)
    ->ArgNames({"size", "step", "tight"})
    ->ArgsProduct({{64, 128}, {2, 4, 8}, {0, 1}})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

// The 512 × 512 regions: one solve each (minutes at the tight tolerance).
BENCHMARK(Sllsbox)
    ->ArgNames({"size", "step", "tight"})
    ->ArgsProduct({{512}, {2, 4, 8}, {0, 1}})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);
