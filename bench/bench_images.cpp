// Encoding and decoding a 12-megapixel photograph. JPEG (quality 90, 4:2:0) through a file, in
// megapixels per second of the calling thread's CPU time: that codec runs on the one thread, and
// CPU time keeps the figures steady on a shared machine. PNG (level 3) and the result caches'
// packed form spread their work over the worker pool, so they are timed by the wall clock; run
// them a few times on a quiet machine and keep the best. Each has its single-threaded libpng
// counterpart (what the caches and the files used before) measured in the same run.
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "ImageIO.h"
#include "PixelPack.h"
#include "Planar.h"

using namespace velkaro;

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

// The photograph with a little grain of its own, as a deblurred result has: smooth enlarged pixels
// would flatter every compressor.
const ImageRef& grainyPhoto() {
    static const ImageRef image = [] {
        ImageRef grainy = photo()->copy();
        std::mt19937 random(5);
        std::uint8_t* p = grainy->pixels();
        for (std::size_t i = 0; i < std::size_t(kWidth) * kHeight * 4; ++i)
            if (i % 4)
                p[i] = std::uint8_t(std::clamp(int(p[i]) + int(random() % 7) - 3, 0, 255));
        return grainy;
    }();
    return image;
}

// A 512 × 512 preview cell from the middle of the grainy photograph.
const ImageRef& previewCell() {
    static const ImageRef cell = [] {
        ImageRef image = Image::create(512, 512);
        const std::uint8_t* from =
            grainyPhoto()->pixels() + (std::size_t(1244) * kWidth + 1744) * 4;
        for (int y = 0; y < 512; ++y)
            std::copy_n(from + std::size_t(y) * kWidth * 4, 512 * 4,
                        image->pixels() + std::size_t(y) * 512 * 4);
        return image;
    }();
    return cell;
}

const ImageRef& benchImage(std::int64_t which) {
    return which ? grainyPhoto() : previewCell();
}

// Single-threaded libpng at level 3, as every PNG was written before; one function, no C++ object
// inside, so that libpng's jumps skip nothing. With `rgb` the alpha is dropped, as for an opaque
// image.
bool libpngWrite(png_rw_ptr write, void* target, const Image& image, bool rgb = false) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, target, write, nullptr);
    png_set_compression_level(png, 3);
    if (!rgb)
        png_set_swap_alpha(png);
    png_set_IHDR(png, info, png_uint_32(image.width()), png_uint_32(image.height()), 8,
                 rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_ABSOLUTE);
    png_write_info(png, info);
    if (rgb)
        png_set_filler(png, 0, PNG_FILLER_BEFORE);  // needs the header's colour type
    for (int y = 0; y < image.height(); ++y)
        png_write_row(png, image.pixels() + std::size_t(y) * std::size_t(image.width()) * 4);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void appendBytes(png_structp png, png_bytep bytes, png_size_t length) {
    ByteBuffer* out = static_cast<ByteBuffer*>(png_get_io_ptr(png));
    out->insert(out->end(), bytes, bytes + length);
}

void writeBytes(png_structp png, png_bytep bytes, png_size_t length) {
    if (std::fwrite(bytes, 1, length, static_cast<std::FILE*>(png_get_io_ptr(png))) != length)
        png_error(png, "write failed");
}

std::string scratchPath(const char* name) {
    return "/tmp/velkaro-bench-" + std::to_string(getpid()) + "-" + name;
}

// CPU seconds of the whole process, every thread's together.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Reports the CPU time all threads spent per iteration since `start`: the work a wall-clock
// figure would show on a machine of one core, whatever the load of the machine it ran on.
void setAllThreadsCpu(benchmark::State& state, double start) {
    state.counters["cpu_all_threads_ms"] = (processCpuSeconds() - start) * 1000 /
                                           double(std::max<std::int64_t>(state.iterations(), 1));
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
        if (!image)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(image.get());
    }
    setRate(state);
    std::remove(path.c_str());
}

void setLabel(benchmark::State& state, std::size_t bytes) {
    state.SetLabel(state.range(0) ? "12 MP" : "512x512 cell");
    state.counters["MB"] = double(bytes) / 1048576.0;
}

// The result caches: store (pack) and fetch (unpack) one result.
void BM_CacheStoreFetch(benchmark::State& state) {
    const ImageRef& image = benchImage(state.range(0));
    std::size_t bytes = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        const PixelPackRef packed = PixelPack::pack(*image);
        const ImageRef back = packed->unpack();
        benchmark::DoNotOptimize(back->pixels());
        bytes = packed->byteSize();
    }
    setAllThreadsCpu(state, cpuStart);
    setLabel(state, bytes);
}

// A detailed 12-megapixel result as a deblur leaves it, at 8 or 16 bits a sample: the astronaut
// enlarged, given a raw developer's grain (about a level of 8 bits, uniform), then sharpened
// hard (the pixel plus twice its difference from its 3 × 3 mean), which amplifies the grain as
// the deblurring presets do.
ImageRef deblurredResult(int depth) {
    const ImageRef sample =
        ImageIO::sharedInstance().readFromFile(std::string(VELKARO_SAMPLE_DIR) + "/astronaut.png");
    if (!sample) {
        std::fprintf(stderr, "cannot read the sample photograph\n");
        std::exit(1);
    }
    const ImageRef big = Image::create(kWidth, kHeight);
    scaleARGB8888(sample->pixels(), sample->width(), sample->height(),
                  std::size_t(sample->width()) * 4, big->pixels(), kWidth, kHeight,
                  std::size_t(kWidth) * 4);
    const ImageRef wide = ImageAtDepth(big, 16);
    const std::size_t samples = std::size_t(kWidth) * kHeight * 4;
    auto* p = reinterpret_cast<std::uint16_t*>(wide->pixels());
    std::mt19937 random(3);
    for (std::size_t i = 0; i < samples; ++i)
        if (i % 4)
            p[i] = std::uint16_t(std::clamp(int(p[i]) + int(random() % 601) - 300, 0, 65535));
    ImageRef sharp = wide->copy();
    auto* q = reinterpret_cast<std::uint16_t*>(sharp->pixels());
    const std::size_t stride = std::size_t(kWidth) * 4;
    for (int y = 1; y + 1 < kHeight; ++y)
        for (std::size_t i = std::size_t(y) * stride + 4; i < std::size_t(y + 1) * stride - 4;
             ++i) {
            if (i % 4 == 0)
                continue;
            int sum = 0;
            for (const std::size_t row : {i - stride, i, i + stride})
                sum += p[row - 4] + p[row] + p[row + 4];
            q[i] = std::uint16_t(std::clamp(p[i] + 2 * (9 * p[i] - sum) / 9, 0, 65535));
        }
    return ImageAtDepth(sharp, depth);
}

// The caches' pack and unpack of that result, by the wall clock, and its packed size (arg: the
// depth). The target at 16 bits is at most 60 MB.
void BM_CachePackDeblurredResult(benchmark::State& state) {
    const ImageRef image = deblurredResult(int(state.range(0)));
    const ImageRef back = Image::create(kWidth, kHeight, image->depth());
    std::size_t bytes = 0;
    double packSeconds = 0, unpackSeconds = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const PixelPackRef packed = PixelPack::pack(*image);
        const auto packedAt = std::chrono::steady_clock::now();
        packed->unpackInto(*back);
        unpackSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - packedAt).count();
        packSeconds += std::chrono::duration<double>(packedAt - start).count();
        bytes = packed->byteSize();
    }
    if (std::memcmp(back->pixels(), image->pixels(),
                    std::size_t(kWidth) * kHeight * image->bytesPerPixel()) != 0)
        state.SkipWithError("the unpacked pixels differ");
    const double iterations = double(std::max<std::int64_t>(state.iterations(), 1));
    state.counters["MB"] = double(bytes) / 1048576.0;
    state.counters["pack_ms"] = packSeconds * 1000 / iterations;
    state.counters["unpack_ms"] = unpackSeconds * 1000 / iterations;
    setAllThreadsCpu(state, cpuStart);
}

// The same as the caches did it before: a PNG stream by single-threaded libpng, decoded back.
void BM_CacheStoreFetchLibpng(benchmark::State& state) {
    const ImageRef& image = benchImage(state.range(0));
    std::size_t bytes = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        ByteBuffer stream;
        if (!libpngWrite(appendBytes, &stream, *image))
            state.SkipWithError("encode failed");
        const ImageRef back = ImageIO::sharedInstance().readFromMemory(stream);
        if (!back)
            state.SkipWithError("decode failed");
        bytes = stream.size();
    }
    setAllThreadsCpu(state, cpuStart);
    setLabel(state, bytes);
}

// A PNG file of the 12-megapixel photograph, written safely (temporary file, sync, rename).
void BM_PngFileWrite(benchmark::State& state) {
    const std::string path = scratchPath("write.png");
    const ImageRef& image = grainyPhoto();  // made before the clock starts
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        if (!ImageIO::sharedInstance().writeImage(image, path))
            state.SkipWithError("write failed");
    }
    setAllThreadsCpu(state, cpuStart);
    setRate(state);
    std::remove(path.c_str());
}

// The same file by single-threaded libpng at the same level, synced as well.
void BM_PngFileWriteLibpng(benchmark::State& state) {
    const std::string path = scratchPath("write-libpng.png");
    const ImageRef& image = grainyPhoto();  // made before the clock starts
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || !libpngWrite(writeBytes, file, *image) || std::fflush(file) != 0 ||
            fsync(fileno(file)) != 0)
            state.SkipWithError("write failed");
        if (file)
            std::fclose(file);
    }
    setAllThreadsCpu(state, cpuStart);
    setRate(state);
    std::remove(path.c_str());
}

// Encoding alone, into memory: ours and single-threaded libpng's.
void BM_PngEncodeToMemory(benchmark::State& state) {
    std::size_t bytes = 0;
    const ImageRef& image = grainyPhoto();  // made before the clock starts
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        ByteBuffer stream;
        if (state.range(0)) {
            if (!ImageIO::sharedInstance().writeImage(image, stream))
                state.SkipWithError("failed");
        } else if (!libpngWrite(appendBytes, &stream, *image)) {
            state.SkipWithError("failed");
        }
        bytes = stream.size();
    }
    setAllThreadsCpu(state, cpuStart);
    setRate(state);
    state.SetLabel(state.range(0) ? "worker pool" : "libpng, one thread");
    state.counters["MB"] = double(bytes) / 1048576.0;
}

// A pass-through result from JPEG file to PNG file, as a full FR deblur does it: decode, the
// result copied into the composite (the newest result is kept as computed, not packed), write the
// file (arg 1). Arg 0 is the work OpenCV does for the same file (decode, then single-threaded
// libpng at level 3 with every filter), timed in the same run: the target is arg 1 no slower than
// arg 0, by the wall clock and in CPU time of all threads.
void BM_JpegToPng(benchmark::State& state) {
    const std::string in = scratchPath("pass.jpg"), out = scratchPath("pass.png");
    ImageIO::sharedInstance().writeJpeg(grainyPhoto(), 92, in);
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        const ImageRef image = ImageIO::sharedInstance().readFromFileJpeg(in);
        bool written = false;
        if (state.range(0)) {
            written = image && ImageIO::sharedInstance().writeImage(image->copy(), out);
        } else if (std::FILE* file = std::fopen(out.c_str(), "wb")) {
            written =
                image && libpngWrite(writeBytes, file, *image, true) && std::fflush(file) == 0;
            std::fclose(file);
        }
        if (!written)
            state.SkipWithError("failed");
    }
    setAllThreadsCpu(state, cpuStart);
    setRate(state);
    state.SetLabel(state.range(0) ? "decode, copy, PNG on the pool" : "decode, libpng, one thread");
    std::remove(in.c_str());
    std::remove(out.c_str());
}

void BM_PngDecodeFromMemory(benchmark::State& state) {
    ByteBuffer stream;
    ImageIO::sharedInstance().writeImage(grainyPhoto(), stream);
    for (auto _ : state) {
        const ImageRef image = ImageIO::sharedInstance().readFromMemory(stream);
        if (!image)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(image.get());
    }
    setRate(state);
}

}  // namespace

BENCHMARK(BM_JpegEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheStoreFetch)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CachePackDeblurredResult)
    ->Arg(8)
    ->Arg(16)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheStoreFetchLibpng)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngFileWrite)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngFileWriteLibpng)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngEncodeToMemory)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegToPng)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngDecodeFromMemory)->UseRealTime()->Unit(benchmark::kMillisecond);
