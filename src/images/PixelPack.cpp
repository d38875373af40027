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

// One row of pixels (A, R, G, B) into its four plane rows: each byte minus its left neighbour's
// (the first pixel minus zero), red and blue differences then minus green's.
void filterRow(std::uint8_t* __restrict a, std::uint8_t* __restrict r, std::uint8_t* __restrict g,
               std::uint8_t* __restrict b, const std::uint8_t* __restrict pixels, int width) {
    std::uint8_t pa = 0, pr = 0, pg = 0, pb = 0;
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = pixels + 4 * std::size_t(x);
        const std::uint8_t dg = std::uint8_t(p[2] - pg);
        a[x] = std::uint8_t(p[0] - pa);
        r[x] = std::uint8_t(p[1] - pr - dg);
        g[x] = dg;
        b[x] = std::uint8_t(p[3] - pb - dg);
        pa = p[0], pr = p[1], pg = p[2], pb = p[3];
    }
}

// The inverse of filterRow.
void unfilterRow(std::uint8_t* __restrict pixels, const std::uint8_t* __restrict a,
                 const std::uint8_t* __restrict r, const std::uint8_t* __restrict g,
                 const std::uint8_t* __restrict b, int width) {
    std::uint8_t pa = 0, pr = 0, pg = 0, pb = 0;
    for (int x = 0; x < width; ++x) {
        const std::uint8_t dg = g[x];
        pa = std::uint8_t(pa + a[x]);
        pr = std::uint8_t(pr + r[x] + dg);
        pg = std::uint8_t(pg + dg);
        pb = std::uint8_t(pb + b[x] + dg);
        std::uint8_t* p = pixels + 4 * std::size_t(x);
        p[0] = pa, p[1] = pr, p[2] = pg, p[3] = pb;
    }
}

}  // namespace

PixelPack::PixelPack(int width, int height, int stripRows)
    : mWidth(width), mHeight(height), mStripRows(stripRows) {
    mStrips.resize(std::size_t((height + stripRows - 1) / stripRows));
}

PixelPackRef PixelPack::pack(const Image& image) {
    Timer timer;
    timer.start();
    const int width = image.width(), height = image.height();
    const int stripRows = int(std::clamp<std::size_t>(
        kStripPixels / std::size_t(std::max(width, 1)), 1, std::size_t(std::max(height, 1))));
    std::shared_ptr<PixelPack> result(new PixelPack(width, height, stripRows));
    const std::uint8_t* pixels = image.pixels();
    dispatchApply(result->mStrips.size(), [&](std::size_t s) {
        const int y0 = int(s) * stripRows, rows = std::min(stripRows, height - y0);
        const std::size_t planeBytes = std::size_t(rows) * std::size_t(width);
        StripScratch& local = scratch();
        local.planes.resize(4 * planeBytes);
        std::uint8_t* planes = local.planes.data();
        for (int y = 0; y < rows; ++y) {
            const std::size_t at = std::size_t(y) * std::size_t(width);
            filterRow(planes + at, planes + planeBytes + at, planes + 2 * planeBytes + at,
                      planes + 3 * planeBytes + at,
                      pixels + std::size_t(y0 + y) * std::size_t(width) * 4, width);
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
        pixelCount > 0 ? bytes * 100 / (pixelCount * 4) : 0.0, timer.elapsed());
    return result;
}

ImageRef PixelPack::unpack() const {
    ImageRef image = Image::create(mWidth, mHeight);
    unpackInto(*image);
    return image;
}

void PixelPack::unpackInto(Image& image) const {
    VK_CHECK(image.width() == mWidth && image.height() == mHeight);
    std::uint8_t* pixels = image.pixels();
    dispatchApply(mStrips.size(), [&](std::size_t s) {
        const int y0 = int(s) * mStripRows, rows = std::min(mStripRows, mHeight - y0);
        const std::size_t planeBytes = std::size_t(rows) * std::size_t(mWidth);
        StripScratch& local = scratch();
        local.planes.resize(4 * planeBytes);
        if (!local.decompressor)
            local.decompressor = ZSTD_createDCtx();
        VK_CHECK(local.decompressor);
        const std::size_t length =
            ZSTD_decompressDCtx(local.decompressor, local.planes.data(), local.planes.size(),
                                mStrips[s].data(), mStrips[s].size());
        VK_CHECK(length == 4 * planeBytes);
        const std::uint8_t* planes = local.planes.data();
        for (int y = 0; y < rows; ++y) {
            const std::size_t at = std::size_t(y) * std::size_t(mWidth);
            unfilterRow(pixels + std::size_t(y0 + y) * std::size_t(mWidth) * 4, planes + at,
                        planes + planeBytes + at, planes + 2 * planeBytes + at,
                        planes + 3 * planeBytes + at, mWidth);
        }
    });
}

}  // namespace velkaro
