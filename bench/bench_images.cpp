// Encoding and decoding a 12-megapixel photograph: JPEG (quality 90, 4:2:0) through a file and
// PNG (level 3) in memory, in megapixels per second of the calling thread's CPU time. The codecs
// run on that one thread, and CPU time keeps the figures steady on a shared machine.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "ImageIO.h"
#include "Planar.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;

// A sample photograph enlarged to 4000 × 3000, so that the codecs see photographic content.
const ImageRef& photo() {
    static const ImageRef image = [] {
        const ImageRef sample =
            ImageIO::sharedInstance().readFromFile(std::string(VELKARO_SAMPLE_DIR) + "/coffee.png");
        if (!sample) {
            std::fprintf(stderr, "cannot read the sample photograph\n");
            std::exit(1);
        }
        auto big = Image::create(kWidth, kHeight);
        scaleARGB8888(sample->pixels(), sample->width(), sample->height(),
                      std::size_t(sample->width()) * 4, big->pixels(), kWidth, kHeight,
                      std::size_t(kWidth) * 4);
        return big;
    }();
    return image;
}

std::string scratchPath(const char* name) {
    return "/tmp/velkaro-bench-" + std::to_string(getpid()) + "-" + name;
}

void setRate(benchmark::State& state) {
    state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6 * state.iterations(),
                                                benchmark::Counter::kIsRate);
}

void BM_JpegEncode(benchmark::State& state) {
    const ImageRef image = photo();
    const std::string path = scratchPath("encode.jpg");
    for (auto _ : state) {
        if (!ImageIO::sharedInstance().writeJpeg(image, 90, path)) {
            state.SkipWithError("write failed");
        }
    }
    setRate(state);
    std::remove(path.c_str());
}

void BM_JpegDecode(benchmark::State& state) {
    const std::string path = scratchPath("decode.jpg");
    ImageIO::sharedInstance().writeJpeg(photo(), 90, path);
    for (auto _ : state) {
        const ImageRef image = ImageIO::sharedInstance().readFromFileJpeg(path);
        if (!image) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(image.get());
    }
    setRate(state);
    std::remove(path.c_str());
}

void BM_PngEncodeToMemory(benchmark::State& state) {
    const ImageRef image = photo();
    std::size_t bytes = 0;
    for (auto _ : state) {
        ByteBuffer stream;
        if (!ImageIO::sharedInstance().writeImage(image, stream)) state.SkipWithError("failed");
        bytes = stream.size();
    }
    setRate(state);
    state.counters["bytes"] = double(bytes);
}

void BM_PngDecodeFromMemory(benchmark::State& state) {
    ByteBuffer stream;
    ImageIO::sharedInstance().writeImage(photo(), stream);
    for (auto _ : state) {
        const ImageRef image = ImageIO::sharedInstance().readFromMemory(stream);
        if (!image) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(image.get());
    }
    setRate(state);
}

}  // namespace

BENCHMARK(BM_JpegEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngEncodeToMemory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngDecodeFromMemory)->Unit(benchmark::kMillisecond);
