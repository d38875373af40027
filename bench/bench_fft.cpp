// The frequency-domain Wiener method, with the time of its exchanges with the helper split into
// the transforms and the transfer of the data, beside the same transforms done in this process
// with FFTW.
//
// Counters of the Wiener runs, per iteration (seconds): method_s the whole method over three
// channels; transform_s the time the client waits between sending a request and the answer (the
// helper transforming); transfer_s copying the data into and out of the shared region and sending
// the requests; rest_s everything else (conversions, taper, spectra products); inprocess_fft_s the
// same sequence of real transforms, plans and cleanups done here with FFTW.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Deconvolve_wnr.h"
#include "FftwEngine.h"
#include "Filter.h"
#include "HelperProtocol.h"
#include "Image.h"
#include "fftw_process.h"

using namespace velkaro;

namespace {

constexpr double kRadius = 3.0;
constexpr double kNoise = 0.009999999776482582;

// A photograph-like test image: smooth gradients, some edges and a little noise.
CImage MakeImage(int width, int height) {
    CImage image(width, height);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-6, 6);
    std::uint8_t* p = image.pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, p += 4) {
            const bool square = ((x / 64) + (y / 64)) % 2 == 0;
            for (int c = 1; c <= 3; ++c) {
                int v = 60 + (x * 97 / width) + (y * 53 / height) + (square ? 40 * c : 0) +
                        noise(random);
                p[c] = std::uint8_t(std::clamp(v, 0, 255));
            }
        }
    return image;
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The real transforms that one channel of the method asks for (taper: two 1-D pairs, the kernel,
// the image and one backward; deconvolution: the image and one backward), then the cleanup, done
// in process on a shared region of the helper's layout. Returns the seconds spent in FFTW,
// planning included.
double InProcessChannel(int rows, int columns) {
    struct Step {
        int rows, columns, direction;
    };
    const Step steps[] = {{rows - 1, 1, kRealForward},    {rows - 1, 1, kRealBackward},
                          {columns - 1, 1, kRealForward}, {columns - 1, 1, kRealBackward},
                          {rows, columns, kRealForward},  {rows, columns, kRealForward},
                          {rows, columns, kRealBackward}, {rows, columns, kRealForward},
                          {rows, columns, kRealBackward}};
    const RealTransformLayout layout(rows, columns);
    const int fd = memfd_create("bench-fft", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(layout.bytes)) != 0)
        return 0;
    auto* base = static_cast<unsigned char*>(
        mmap(nullptr, layout.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    auto* real = reinterpret_cast<double*>(base);
    auto* spectrum = reinterpret_cast<std::complex<double>*>(base + layout.spectrumOffset);
    FftwEngine engine(fd);
    double seconds = 0;
    for (const Step& s : steps) {
        const size_t count = size_t(s.rows) * size_t(s.columns);
        if (s.direction == kRealForward) {
            for (size_t k = 0; k < count; ++k) real[k] = double(k % 251) / 251.0;
        } else {
            const size_t half = size_t(s.rows) * size_t(s.columns / 2 + 1);
            for (size_t k = 0; k < half; ++k) spectrum[k] = {k == 0 ? 1.0 : 0.0, 0.0};
        }
        auto start = std::chrono::steady_clock::now();
        engine.realTransform(s.rows, s.columns, s.direction);
        seconds += Seconds(start);
    }
    auto start = std::chrono::steady_clock::now();
    engine.release();
    seconds += Seconds(start);
    munmap(base, layout.bytes);
    close(fd);
    return seconds;
}

void RunWiener(benchmark::State& state, int imageWidth, int imageHeight, int x, int y, int w,
               int h) {
    const CImage in = MakeImage(imageWidth, imageHeight);
    CImage out(w, h);
    // Start the helper outside the measurement.
    std::complex<double> warm[4] = {};
    fft_forward(warm, 2, 2);
    fft_cleanup();

    double method = 0, transform = 0, transfer = 0, inProcess = 0;
    double megabytes = 0;
    for (auto _ : state) {
        fft_reset_statistics();
        auto start = std::chrono::steady_clock::now();
        for (int channel = 1; channel <= 3; ++channel)
            deconvolve_wnr_iir(in, out, channel, kRadius, kNoise, -1, x, y, w, h);
        method += Seconds(start);
        const FftExchangeStatistics s = fft_statistics();
        transform += s.waitSeconds;
        transfer += s.sendSeconds + s.receiveSeconds;
        megabytes += s.bytes / 1e6;

        state.PauseTiming();
        for (int channel = 1; channel <= 3; ++channel) inProcess += InProcessChannel(h, w);
        state.ResumeTiming();
    }
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["method_s"] = benchmark::Counter(method, average);
    state.counters["transform_s"] = benchmark::Counter(transform, average);
    state.counters["transfer_s"] = benchmark::Counter(transfer, average);
    state.counters["rest_s"] = benchmark::Counter(method - transform - transfer, average);
    state.counters["inprocess_fft_s"] = benchmark::Counter(inProcess, average);
    state.counters["transfer_MB"] = benchmark::Counter(megabytes, average);
}

void BM_WienerSection512(benchmark::State& state) {
    RunWiener(state, 1200, 900, 300, 200, 512, 512);
}
BENCHMARK(BM_WienerSection512)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_WienerImage4000x3000(benchmark::State& state) {
    RunWiener(state, 4000, 3000, 0, 0, 4000, 3000);
}
BENCHMARK(BM_WienerImage4000x3000)->Unit(benchmark::kMillisecond)->Iterations(1);

// One forward and one backward transform of a rows × columns buffer, through the helper and in
// process: the bare cost of the pipe against the transforms.
void BM_HelperExchange(benchmark::State& state) {
    const int rows = int(state.range(0)), columns = int(state.range(1));
    std::vector<std::complex<double>> data(size_t(rows) * size_t(columns));
    for (size_t k = 0; k < data.size(); ++k) data[k] = {double(k % 251) / 251.0, 0.0};
    fft_forward(data.data(), rows, columns);  // starts the helper and makes its plans
    fft_backward(data.data(), rows, columns);
    FftwEngine engine;
    std::complex<double>* local = engine.buffer(rows, columns);
    std::copy(data.begin(), data.end(), local);
    engine.transform(rows, columns, 1);
    engine.transform(rows, columns, -1);

    double helper = 0, pipe = 0, inProcess = 0;
    for (auto _ : state) {
        fft_reset_statistics();
        fft_forward(data.data(), rows, columns);
        fft_backward(data.data(), rows, columns);
        const FftExchangeStatistics s = fft_statistics();
        helper += s.waitSeconds;
        pipe += s.sendSeconds + s.receiveSeconds;
        auto start = std::chrono::steady_clock::now();
        engine.transform(rows, columns, 1);
        engine.transform(rows, columns, -1);
        inProcess += Seconds(start);
    }
    fft_cleanup();
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["helper_fft_s"] = benchmark::Counter(helper, average);
    state.counters["pipe_s"] = benchmark::Counter(pipe, average);
    state.counters["inprocess_fft_s"] = benchmark::Counter(inProcess, average);
}
BENCHMARK(BM_HelperExchange)
    ->Args({512, 512})
    ->Args({3000, 4000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
