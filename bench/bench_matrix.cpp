// Filter-matrix products and the planar convolution against OpenCV's filter2D on the same data.
// Each product benchmark also times filter2D (double precision, the same kernel, mirrored
// borders without repeating the edge) and reports the ratio of the two times as "ratio".

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "Filter.h"
#include "Matrix.h"
#include "MatrixMultiply.h"
#include "MatrixTransposedMultiply.h"
#include "Planar.h"

using namespace velkaro;

namespace {

// A disc kernel of the given odd size (the blur model of the application).
std::vector<double> DiscKernel(int size) {
    const double radius = (size - 1) / 2;
    Matrix f(size, size);
    GenerateFilter(f, radius, -1);
    return std::vector<double>(f.roData(), f.roData() + f.count());
}

void Randomize(double* d, std::size_t n) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0, 1);
    for (std::size_t k = 0; k < n; ++k) d[k] = u(rng);
}

// Seconds per call of `f`, best of a few runs.
template <typename F>
double BestSeconds(F f, int runs) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

enum class Product { Multiply, TransposedMultiply };

void FilterProduct(benchmark::State& state, Product product, int columns) {
    const int w = int(state.range(0)), h = int(state.range(1)), size = int(state.range(2));
    std::vector<double> kernel = DiscKernel(size);
    const int n = w * h;
    Matrix f(n, n, kernel.data(), size, size, h, w);
    Matrix b(n, columns), c(n, columns);
    Randomize(b.rwData(), std::size_t(n) * columns);
    auto run = [&] {
        if (product == Product::Multiply)
            MatrixMultiply(c, f, b);
        else
            MatrixTransposedMultiply(c, f, b);
    };
    run();  // first touch of the result's pages, outside the measurement
    double ours = 1e30;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        ours = std::min(ours, took.count());
        benchmark::DoNotOptimize(c.rwData());
    }
    // The same correlation by filter2D; the transposed product is, inside the image, the
    // correlation with the kernel turned by 180 degrees.
    cv::Mat kernelMat(size, size, CV_64F, kernel.data());
    if (product == Product::TransposedMultiply)
        cv::flip(kernelMat.clone(), kernelMat, -1);
    const cv::Mat src(h, w, CV_64FC(columns), b.rwData());
    cv::Mat dst(h, w, CV_64FC(columns));
    const double reference = BestSeconds(
        [&] {
            cv::filter2D(src, dst, CV_64F, kernelMat, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
        },
        int(std::clamp<benchmark::IterationCount>(state.iterations(), 3, 20)));
    state.counters["filter2D_ms"] = reference * 1e3;
    state.counters["ours_ms"] = ours * 1e3;
    state.counters["ratio"] = ours / reference;
    state.counters["ns_per_pixel"] = ours * 1e9 / n;
}

void BM_FilterMultiply1(benchmark::State& state) {
    FilterProduct(state, Product::Multiply, 1);
}
void BM_FilterMultiply2(benchmark::State& state) {
    FilterProduct(state, Product::Multiply, 2);
}
void BM_FilterTransposedMultiply1(benchmark::State& state) {
    FilterProduct(state, Product::TransposedMultiply, 1);
}

void BM_PlanarConvolution(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1)), size = int(state.range(2));
    const std::vector<double> kd = DiscKernel(size);
    const std::vector<float> kernel(kd.begin(), kd.end());
    // The source is the region plus a border of real pixels, as for a section of a photograph.
    const int border = 64;
    const int sw = w + 2 * border, sh = h + 2 * border;
    std::vector<double> srcD(std::size_t(sw) * sh);
    Randomize(srcD.data(), srcD.size());
    std::vector<float> srcF(srcD.begin(), srcD.end());
    std::vector<float> destF(std::size_t(w) * h);
    const PlanarF src{srcF.data(), sw, sh, std::size_t(sw) * sizeof(float)};
    const PlanarF dest{destF.data(), w, h, std::size_t(w) * sizeof(float)};
    double ours = 1e30;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        convolvePlanarF(src, dest, border, border, kernel.data(), size, size);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        ours = std::min(ours, took.count());
        benchmark::DoNotOptimize(destF.data());
    }
    // OpenCV alone on the same window: filter2D in single precision, edge replicated.
    const cv::Mat whole(sh, sw, CV_32F, srcF.data());
    const cv::Mat window = whole(cv::Rect(border, border, w, h));
    const cv::Mat kernelMat(size, size, CV_32F, const_cast<float*>(kernel.data()));
    cv::Mat out(h, w, CV_32F);
    const double reference = BestSeconds(
        [&] {
            cv::filter2D(window, out, CV_32F, kernelMat, cv::Point(-1, -1), 0,
                         cv::BORDER_REPLICATE);
        },
        int(std::clamp<benchmark::IterationCount>(state.iterations(), 3, 20)));
    state.counters["filter2D_ms"] = reference * 1e3;
    state.counters["ours_ms"] = ours * 1e3;
    state.counters["ratio"] = ours / reference;
    state.counters["ns_per_pixel"] = ours * 1e9 / (double(w) * h);
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (auto [w, h] : {std::pair{512, 512}, std::pair{2000, 1500}})
        for (int k : {3, 7, 15, 31}) b->Args({w, h, k});
    b->ArgNames({"w", "h", "k"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_FilterMultiply1)->Apply(Sizes);
BENCHMARK(BM_FilterMultiply2)->Apply(Sizes);
BENCHMARK(BM_FilterTransposedMultiply1)->Apply(Sizes);
BENCHMARK(BM_PlanarConvolution)->Apply(Sizes);
