#include "PixelPack.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>

#include "Check.h"
#include "Dispatch.h"
#include "Log.h"
#include "Timer.h"

namespace velkaro {

namespace {

// About a megabyte of pixels per strip: enough strips to keep every core busy on a photograph,
// and a preview section stays in one.
constexpr std::size_t kStripPixels = std::size_t(1) << 18;
constexpr int kZstdLevel = 1;

// zstd's contexts and the scratch planes of the strips this thread packs or unpacks, kept for
// the thread's life so that a strip allocates nothing but its result.
struct StripScratch {
    ZSTD_CCtx* compressor = nullptr;
    ZSTD_DCtx* decompressor = nullptr;
    ByteBuffer planes;
    std::vector<std::uint16_t> wide;  // 16-bit planes before their bytes are split
    ByteBuffer packed;
    StripScratch() = default;
    StripScratch(const StripScratch&) = delete;
    StripScratch& operator=(const StripScratch&) = delete;
    ~StripScratch() {
        ZSTD_freeCCtx(compressor);
        ZSTD_freeDCtx(decompressor);
    }
};

StripScratch& scratch() {
    thread_local StripScratch instance;
    return instance;
}

// One row of pixels (A, R, G, B) into its four plane rows: each sample minus its left
// neighbour's (the first pixel minus zero), red and blue differences then minus green's, all
// modulo the samples' range.
template <typename Sample>
void filterRow(Sample* __restrict a, Sample* __restrict r, Sample* __restrict g,
               Sample* __restrict b, const Sample* __restrict pixels, int width) {
    Sample pa = 0, pr = 0, pg = 0, pb = 0;
    for (int x = 0; x < width; ++x) {
        const Sample* p = pixels + 4 * std::size_t(x);
        const Sample dg = Sample(p[2] - pg);
        a[x] = Sample(p[0] - pa);
        r[x] = Sample(p[1] - pr - dg);
        g[x] = dg;
        b[x] = Sample(p[3] - pb - dg);
        pa = p[0], pr = p[1], pg = p[2], pb = p[3];
    }
}

// The inverse of filterRow.
template <typename Sample>
void unfilterRow(Sample* __restrict pixels, const Sample* __restrict a, const Sample* __restrict r,
                 const Sample* __restrict g, const Sample* __restrict b, int width) {
    Sample pa = 0, pr = 0, pg = 0, pb = 0;
    for (int x = 0; x < width; ++x) {
        const Sample dg = g[x];
        pa = Sample(pa + a[x]);
        pr = Sample(pr + r[x] + dg);
        pg = Sample(pg + dg);
        pb = Sample(pb + b[x] + dg);
        Sample* p = pixels + 4 * std::size_t(x);
        p[0] = pa, p[1] = pr, p[2] = pg, p[3] = pb;
    }
}

// 16-bit planes are stored as their high bytes, then their low bytes: the high bytes of a
// photograph's differences are mostly zero and compress well apart from the noisy low bytes.
void splitBytes(std::uint8_t* out, const std::uint16_t* words, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = std::uint8_t(words[i] >> 8);
        out[count + i] = std::uint8_t(words[i]);
    }
}

void joinBytes(std::uint16_t* words, const std::uint8_t* in, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) words[i] = std::uint16_t(in[i] << 8 | in[count + i]);
}

// The strip's rows y0 … y0 + rows − 1 filtered into four planes of `Sample`s at `planes`.
template <typename Sample>
void filterStrip(Sample* planes, const std::uint8_t* pixels, int width, int y0, int rows) {
    const std::size_t plane = std::size_t(rows) * std::size_t(width);
    const auto* samples = reinterpret_cast<const Sample*>(pixels);
    for (int y = 0; y < rows; ++y) {
        const std::size_t at = std::size_t(y) * std::size_t(width);
        filterRow(planes + at, planes + plane + at, planes + 2 * plane + at,
                  planes + 3 * plane + at, samples + std::size_t(y0 + y) * std::size_t(width) * 4,
                  width);
    }
}

template <typename Sample>
void unfilterStrip(std::uint8_t* pixels, const Sample* planes, int width, int y0, int rows) {
    const std::size_t plane = std::size_t(rows) * std::size_t(width);
    auto* samples = reinterpret_cast<Sample*>(pixels);
    for (int y = 0; y < rows; ++y) {
        const std::size_t at = std::size_t(y) * std::size_t(width);
        unfilterRow(samples + std::size_t(y0 + y) * std::size_t(width) * 4, planes + at,
                    planes + plane + at, planes + 2 * plane + at, planes + 3 * plane + at, width);
    }
}

}  // namespace

PixelPack::PixelPack(int width, int height, int depth, int stripRows)
    : mWidth(width), mHeight(height), mDepth(depth), mStripRows(stripRows) {
    mStrips.resize(std::size_t((height + stripRows - 1) / stripRows));
}

PixelPackRef PixelPack::pack(const Image& image) {
    Timer timer;
    timer.start();
    const int width = image.width(), height = image.height();
    const int stripRows = int(std::clamp<std::size_t>(
        kStripPixels / std::size_t(std::max(width, 1)), 1, std::size_t(std::max(height, 1))));
    const int depth = image.depth();
    std::shared_ptr<PixelPack> result(new PixelPack(width, height, depth, stripRows));
    const std::uint8_t* pixels = image.pixels();
    dispatchApply(result->mStrips.size(), [&](std::size_t s) {
        const int y0 = int(s) * stripRows, rows = std::min(stripRows, height - y0);
        const std::size_t planeSamples = std::size_t(rows) * std::size_t(width);
        const std::size_t planeBytes = planeSamples * std::size_t(depth / 8);
        StripScratch& local = scratch();
        local.planes.resize(4 * planeBytes);
        std::uint8_t* planes = local.planes.data();
        if (depth == 16) {
            local.wide.resize(4 * planeSamples);
            filterStrip(local.wide.data(), pixels, width, y0, rows);
            splitBytes(planes, local.wide.data(), 4 * planeSamples);
        } else {
            filterStrip(planes, pixels, width, y0, rows);
        }
        if (!local.compressor)
            local.compressor = ZSTD_createCCtx();
        VK_CHECK(local.compressor);
        local.packed.resize(ZSTD_compressBound(4 * planeBytes));
        const std::size_t length =
            ZSTD_compressCCtx(local.compressor, local.packed.data(), local.packed.size(), planes,
                              4 * planeBytes, kZstdLevel);
        VK_CHECK(!ZSTD_isError(length));
        result->mStrips[s].assign(local.packed.begin(), local.packed.begin() + length);
    });
    for (const ByteBuffer& strip : result->mStrips) result->mByteSize += strip.size();

    const double bytes = double(result->mByteSize), pixelCount = double(width) * double(height);
    LogInfo(
        "packed %dx%d image (%.1f MP) in %zu bytes (%.1f MB), %.1f%% of its raw size, "
        "took %.3f seconds\n",
        width, height, pixelCount / 1e6, result->mByteSize, bytes / 1048576,
        pixelCount > 0 ? bytes * 100 / (pixelCount * image.bytesPerPixel()) : 0.0, timer.elapsed());
    return result;
}

ImageRef PixelPack::unpack() const {
    ImageRef image = Image::create(mWidth, mHeight, mDepth);
    unpackInto(*image);
    return image;
}

void PixelPack::unpackInto(Image& image) const {
    VK_CHECK(image.width() == mWidth && image.height() == mHeight && image.depth() == mDepth);
    std::uint8_t* pixels = image.pixels();
    dispatchApply(mStrips.size(), [&](std::size_t s) {
        const int y0 = int(s) * mStripRows, rows = std::min(mStripRows, mHeight - y0);
        const std::size_t planeSamples = std::size_t(rows) * std::size_t(mWidth);
        const std::size_t planeBytes = planeSamples * std::size_t(mDepth / 8);
        StripScratch& local = scratch();
        local.planes.resize(4 * planeBytes);
        if (!local.decompressor)
            local.decompressor = ZSTD_createDCtx();
        VK_CHECK(local.decompressor);
        const std::size_t length =
            ZSTD_decompressDCtx(local.decompressor, local.planes.data(), local.planes.size(),
                                mStrips[s].data(), mStrips[s].size());
        VK_CHECK(length == 4 * planeBytes);
        if (mDepth == 16) {
            local.wide.resize(4 * planeSamples);
            joinBytes(local.wide.data(), local.planes.data(), 4 * planeSamples);
            unfilterStrip(pixels, local.wide.data(), mWidth, y0, rows);
        } else {
            unfilterStrip(pixels, local.planes.data(), mWidth, y0, rows);
        }
    });
}

}  // namespace velkaro
