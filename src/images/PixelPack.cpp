#include "PixelPack.h"

#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    std::vector<std::uint16_t> wide;  // 16-bit residual planes
    ByteBuffer bits;                  // 16-bit residuals' raw bits
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

// 16-bit samples: a raw developer's noise fills their low bits, which no byte-wise coder
// shrinks, so what pays is a closer prediction and a code that spends raw bits only on what is
// left. Every sample is predicted by the mean of its left and upper neighbours (the left one alone
// on a strip's first row, the upper one in the first column): of the predictors of lossless JPEG
// and JPEG-LS (Weinberger, Seroussi and Sapiro, "The LOCO-I lossless image compression
// algorithm", IEEE Trans. Image Processing 9(8), 2000) it leaves the smallest residuals on
// deblurred, noisy photographs, whose noise the averaging halves. Red and blue residuals keep
// green's subtracted only in strips where that makes them smaller (smooth colour; the noise of
// the channels is independent). Each residual, folded so that small negatives stay small
// (0, −1, 1, −2 … to 0, 1, 2, 3 …), becomes a symbol naming its two leading bits, coded by zstd,
// and the bits below them, stored raw: an Elias-gamma-like split (Elias, "Universal codeword sets
// and representations of the integers", IEEE Trans. Information Theory 21(2), 1975) whose raw
// bits are close to uniform, while zstd's entropy coder adapts to the symbols.
using Word = std::uint16_t;

// Residuals of one row of pixels into its plane rows from channel `first` on; `up` is the row
// above in the same strip, or null on the strip's first row.
void predictRow(Word* __restrict planes, std::size_t plane, const Word* __restrict row,
                const Word* __restrict up, int width, int first) {
    for (int c = first; c < 4; ++c) {
        Word* out = planes + std::size_t(c) * plane;
        if (!up) {
            Word left = 0;
            for (int x = 0; x < width; ++x) {
                const Word s = row[4 * std::size_t(x) + c];
                out[x] = Word(s - left);
                left = s;
            }
            continue;
        }
        out[0] = Word(row[c] - up[c]);
        for (int x = 1; x < width; ++x) {
            const std::size_t at = 4 * std::size_t(x) + c;
            out[x] = Word(row[at] - ((unsigned(row[at - 4]) + up[at]) >> 1));
        }
    }
}

// The inverse of predictRow: the row's pixels from its plane rows; below channel `First` every
// sample is opaque. The channels go side by side, so that their chains of dependent sums overlap.
template <int First>
void unpredictRow(Word* __restrict row, const Word* __restrict planes, std::size_t plane,
                  const Word* __restrict up, int width) {
    if (First > 0)
        for (int x = 0; x < width; ++x) row[4 * std::size_t(x)] = 0xFFFF;
    if (!up) {
        Word left[4] = {};
        for (int x = 0; x < width; ++x)
            for (int c = First; c < 4; ++c)
                row[4 * std::size_t(x) + c] = left[c] = Word(left[c] + planes[c * plane + x]);
        return;
    }
    for (int c = First; c < 4; ++c) row[c] = Word(up[c] + planes[c * plane]);
    for (int x = 1; x < width; ++x)
        for (int c = First; c < 4; ++c) {
            const std::size_t at = 4 * std::size_t(x) + c;
            row[at] = Word(planes[c * plane + x] + ((unsigned(row[at - 4]) + up[at]) >> 1));
        }
}

// A residual modulo 2^16 as a signed value, folded: 0, −1, 1, −2 … to 0, 1, 2, 3 …
Word Fold(Word residual) {
    const int value = std::int16_t(residual);
    return Word((value * 2) ^ (value >> 15));
}

Word Unfold(Word folded) {
    return Word((folded >> 1) ^ -(folded & 1));
}

// Folded values 0 … 3 are their own symbols; a larger one of n bits has symbol 2n − 2 plus its
// second bit (4 … 31) and n − 2 raw bits.
struct SymbolCode {
    Word base[32];
    int rawBits[32];
    constexpr SymbolCode() : base(), rawBits() {
        for (int s = 0; s < 32; ++s) {
            rawBits[s] = s < 4 ? 0 : (s >> 1) - 1;
            base[s] = Word(s < 4 ? s : (2 | (s & 1)) << rawBits[s]);
        }
    }
};
constexpr SymbolCode kSymbolCode;

// Appends bits least significant first. Every put stores eight bytes at the current byte, so
// the buffer needs eight bytes of room past the last bit.
class BitWriter {
  public:
    explicit BitWriter(std::uint8_t* out) : mOut(out) {}
    void put(std::uint64_t bits, int count) {
        mBits |= bits << mCount;
        mCount += count;
        std::memcpy(mOut, &mBits, 8);
        mOut += mCount >> 3;
        mBits >>= mCount & ~7;
        mCount &= 7;
    }
    // The bytes written, the last partial one included.
    std::size_t finish(const std::uint8_t* start) const {
        return std::size_t(mOut - start) + (mCount > 0);
    }

  private:
    std::uint8_t* mOut;
    std::uint64_t mBits = 0;
    int mCount = 0;
};

// Reads what BitWriter wrote; every get loads eight bytes at the current byte, so the stored bits
// are followed by eight bytes of padding.
class BitReader {
  public:
    explicit BitReader(const std::uint8_t* in) : mIn(in) {}
    std::uint32_t get(int count) {
        std::uint64_t word;
        std::memcpy(&word, mIn + (mPosition >> 3), 8);
        mPosition += std::size_t(count);
        return std::uint32_t(word >> ((mPosition - std::size_t(count)) & 7)) &
               ((std::uint32_t(1) << count) - 1);
    }
    std::size_t bytesRead() const { return (mPosition + 7) >> 3; }

  private:
    const std::uint8_t* mIn;
    std::size_t mPosition = 0;  // in bits
};

// A strip of 16-bit pixels as its flags, the size of its compressed symbols, the symbols, then
// the raw bits and eight bytes of padding for BitReader. An opaque strip (a photograph's) codes
// no alpha plane.
constexpr std::size_t kWideHeader = 5, kBitPadding = 8;
constexpr std::uint8_t kMinusGreen = 1, kOpaque = 2;

void packWideStrip(ByteBuffer& result, StripScratch& local, const std::uint8_t* pixels, int width,
                   int y0, int rows) {
    const std::size_t plane = std::size_t(rows) * std::size_t(width);
    const auto* samples = reinterpret_cast<const Word*>(pixels);
    const std::size_t stride = 4 * std::size_t(width);
    const Word* strip = samples + std::size_t(y0) * stride;
    bool opaque = true;
    for (std::size_t i = 0; i < 4 * plane; i += 4) opaque &= strip[i] == 0xFFFF;
    const int first = opaque ? 1 : 0;
    const std::size_t count = std::size_t(4 - first) * plane;
    local.wide.resize(4 * plane);
    Word* planes = local.wide.data();
    for (int y = 0; y < rows; ++y) {
        const Word* row = strip + std::size_t(y) * stride;
        predictRow(planes + std::size_t(y) * width, plane, row, y ? row - stride : nullptr, width,
                   first);
    }
    // Green subtracted from red and blue only where that shrinks them.
    std::uint64_t apart = 0, minusGreen = 0;
    for (std::size_t i = 0; i < plane; ++i) {
        const int r = std::int16_t(planes[plane + i]), g = std::int16_t(planes[2 * plane + i]),
                  b = std::int16_t(planes[3 * plane + i]);
        apart += unsigned(std::abs(r) + std::abs(b));
        minusGreen += unsigned(std::abs(std::int16_t(r - g)) + std::abs(std::int16_t(b - g)));
    }
    const bool colour = minusGreen < apart;
    if (colour)
        for (std::size_t i = 0; i < plane; ++i) {
            planes[plane + i] = Word(planes[plane + i] - planes[2 * plane + i]);
            planes[3 * plane + i] = Word(planes[3 * plane + i] - planes[2 * plane + i]);
        }

    local.planes.resize(count);
    local.bits.resize(count * 2 + kBitPadding);
    std::uint8_t* symbols = local.planes.data();
    BitWriter raw(local.bits.data());
    const Word* coded = planes + std::size_t(first) * plane;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned folded = Fold(coded[i]);
        const int rawBits = std::max(30 - __builtin_clz(folded | 1), 0);
        symbols[i] =
            std::uint8_t(folded < 2 ? folded : 2 * rawBits + 2 + ((folded >> rawBits) & 1));
        raw.put(folded & ((1u << rawBits) - 1), rawBits);
    }
    const std::size_t bitBytes = raw.finish(local.bits.data());
    std::memset(local.bits.data() + bitBytes, 0, kBitPadding);
    const std::size_t rawBytes = bitBytes + kBitPadding;

    local.packed.resize(kWideHeader + ZSTD_compressBound(count) + rawBytes);
    const std::size_t length = ZSTD_compressCCtx(
        local.compressor, local.packed.data() + kWideHeader, local.packed.size() - kWideHeader,
        local.planes.data(), count, kZstdLevel);
    VK_CHECK(!ZSTD_isError(length));
    local.packed[0] = std::uint8_t((colour ? kMinusGreen : 0) | (opaque ? kOpaque : 0));
    const auto symbolBytes = std::uint32_t(length);
    std::memcpy(local.packed.data() + 1, &symbolBytes, 4);
    std::memcpy(local.packed.data() + kWideHeader + length, local.bits.data(), rawBytes);
    result.assign(local.packed.begin(), local.packed.begin() + kWideHeader + length + rawBytes);
}

void unpackWideStrip(std::uint8_t* pixels, const ByteBuffer& strip, StripScratch& local, int width,
                     int y0, int rows) {
    VK_CHECK(strip.size() >= kWideHeader);
    const int first = strip[0] & kOpaque ? 1 : 0;
    const std::size_t plane = std::size_t(rows) * std::size_t(width);
    const std::size_t count = std::size_t(4 - first) * plane;
    std::uint32_t symbolBytes = 0;
    std::memcpy(&symbolBytes, strip.data() + 1, 4);
    VK_CHECK(kWideHeader + symbolBytes <= strip.size());
    local.planes.resize(count);
    const std::size_t length = ZSTD_decompressDCtx(local.decompressor, local.planes.data(), count,
                                                   strip.data() + kWideHeader, symbolBytes);
    VK_CHECK(length == count);

    local.wide.resize(4 * plane);
    Word* planes = local.wide.data();
    Word* coded = planes + std::size_t(first) * plane;
    VK_CHECK(kWideHeader + symbolBytes + kBitPadding <= strip.size());
    BitReader raw(strip.data() + kWideHeader + symbolBytes);
    const std::uint8_t* symbols = local.planes.data();
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned symbol = symbols[i] & 31;
        coded[i] = Unfold(Word(kSymbolCode.base[symbol] | raw.get(kSymbolCode.rawBits[symbol])));
    }
    VK_CHECK(kWideHeader + symbolBytes + raw.bytesRead() + kBitPadding == strip.size());
    if (strip[0] & kMinusGreen)
        for (std::size_t i = 0; i < plane; ++i) {
            planes[plane + i] = Word(planes[plane + i] + planes[2 * plane + i]);
            planes[3 * plane + i] = Word(planes[3 * plane + i] + planes[2 * plane + i]);
        }
    auto* samples = reinterpret_cast<Word*>(pixels);
    const std::size_t stride = 4 * std::size_t(width);
    for (int y = 0; y < rows; ++y) {
        Word* row = samples + std::size_t(y0 + y) * stride;
        (first ? unpredictRow<1> : unpredictRow<0>)(row, planes + std::size_t(y) * width, plane,
                                                    y ? row - stride : nullptr, width);
    }
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
        StripScratch& local = scratch();
        if (!local.compressor)
            local.compressor = ZSTD_createCCtx();
        VK_CHECK(local.compressor);
        if (depth == 16) {
            packWideStrip(result->mStrips[s], local, pixels, width, y0, rows);
            return;
        }
        const std::size_t planeBytes = std::size_t(rows) * std::size_t(width);
        local.planes.resize(4 * planeBytes);
        filterStrip(local.planes.data(), pixels, width, y0, rows);
        local.packed.resize(ZSTD_compressBound(4 * planeBytes));
        const std::size_t length =
            ZSTD_compressCCtx(local.compressor, local.packed.data(), local.packed.size(),
                              local.planes.data(), 4 * planeBytes, kZstdLevel);
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
        StripScratch& local = scratch();
        if (!local.decompressor)
            local.decompressor = ZSTD_createDCtx();
        VK_CHECK(local.decompressor);
        if (mDepth == 16) {
            unpackWideStrip(pixels, mStrips[s], local, mWidth, y0, rows);
            return;
        }
        const std::size_t planeBytes = std::size_t(rows) * std::size_t(mWidth);
        local.planes.resize(4 * planeBytes);
        const std::size_t length =
            ZSTD_decompressDCtx(local.decompressor, local.planes.data(), local.planes.size(),
                                mStrips[s].data(), mStrips[s].size());
        VK_CHECK(length == 4 * planeBytes);
        unfilterStrip(pixels, local.planes.data(), mWidth, y0, rows);
    });
}

}  // namespace velkaro
