#include "PngImageData.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "Dispatch.h"

namespace velkaro {

namespace {

// About a megabyte of filtered rows per strip: a few dozen strips for a photograph keep both
// cores busy to the end, and a strip's fresh start costs the stream well under one per cent.
constexpr std::size_t kStripBytes = std::size_t(1) << 20;

enum : unsigned { kNone = 1, kSub = 2, kUp = 4, kAverage = 8, kPaeth = 16 };

// A filtered byte's contribution to libpng's choice: its distance from zero as a signed byte.
inline unsigned cost(std::uint8_t v) {
    return v < 128 ? v : 256u - v;
}

// The Paeth predictor without branches, so that the compiler runs a row of it in vector lanes.
inline int paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    const int bOrC = pb <= pc ? b : c;
    return pa <= pb && pa <= pc ? a : bOrC;
}

// Each filter writes its type byte and the n filtered bytes of `raw` (prior: the row above, zeros
// above the first row) to `out` and returns the cost of the filtered bytes. Every loop reads only
// the unfiltered rows, so none carries a dependency from one byte to the next.
std::size_t filterNone(std::uint8_t* __restrict out, const std::uint8_t* __restrict raw,
                       const std::uint8_t*, std::size_t n, std::size_t) {
    out[0] = 0;
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += cost(out[i + 1] = raw[i]);
    return sum;
}

std::size_t filterSub(std::uint8_t* __restrict out, const std::uint8_t* __restrict raw,
                      const std::uint8_t*, std::size_t n, std::size_t bpp) {
    out[0] = 1;
    unsigned sum = 0;
    for (std::size_t i = 0; i < bpp; ++i) sum += cost(out[i + 1] = raw[i]);
    for (std::size_t i = bpp; i < n; ++i)
        sum += cost(out[i + 1] = std::uint8_t(raw[i] - raw[i - bpp]));
    return sum;
}

std::size_t filterUp(std::uint8_t* __restrict out, const std::uint8_t* __restrict raw,
                     const std::uint8_t* __restrict prior, std::size_t n, std::size_t) {
    out[0] = 2;
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += cost(out[i + 1] = std::uint8_t(raw[i] - prior[i]));
    return sum;
}

std::size_t filterAverage(std::uint8_t* __restrict out, const std::uint8_t* __restrict raw,
                          const std::uint8_t* __restrict prior, std::size_t n, std::size_t bpp) {
    out[0] = 3;
    unsigned sum = 0;
    for (std::size_t i = 0; i < bpp; ++i)
        sum += cost(out[i + 1] = std::uint8_t(raw[i] - (prior[i] >> 1)));
    for (std::size_t i = bpp; i < n; ++i)
        sum += cost(out[i + 1] = std::uint8_t(raw[i] - ((raw[i - bpp] + prior[i]) >> 1)));
    return sum;
}

std::size_t filterPaeth(std::uint8_t* __restrict out, const std::uint8_t* __restrict raw,
                        const std::uint8_t* __restrict prior, std::size_t n, std::size_t bpp) {
    out[0] = 4;
    unsigned sum = 0;
    for (std::size_t i = 0; i < bpp; ++i) sum += cost(out[i + 1] = std::uint8_t(raw[i] - prior[i]));
    for (std::size_t i = bpp; i < n; ++i)
        sum +=
            cost(out[i + 1] = std::uint8_t(raw[i] - paeth(raw[i - bpp], prior[i], prior[i - bpp])));
    return sum;
}

// Writes the row of `bpp`-byte pixels through the cheapest allowed filter to `out` (1 + n bytes);
// ties go to the filter with the lower type number. `trial` is scratch of the same size.
void filterRow(std::uint8_t* out, std::uint8_t* trial, const std::uint8_t* raw,
               const std::uint8_t* prior, std::size_t n, std::size_t bpp, unsigned allowed) {
    using Filter = std::size_t (*)(std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                                   std::size_t, std::size_t);
    static constexpr struct {
        unsigned flag;
        Filter apply;
    } kFilters[] = {{kNone, filterNone},
                    {kSub, filterSub},
                    {kUp, filterUp},
                    {kAverage, filterAverage},
                    {kPaeth, filterPaeth}};
    std::size_t best = SIZE_MAX;
    std::uint8_t* bestRow = out;
    std::uint8_t* spare = trial;
    for (const auto& filter : kFilters) {
        if (!(allowed & filter.flag))
            continue;
        const std::size_t sum = filter.apply(spare, raw, prior, n, bpp);
        if (sum < best) {
            best = sum;
            std::swap(bestRow, spare);
        }
    }
    if (bestRow != out)
        std::memcpy(out, bestRow, n + 1);
}

// A row of A, R, G, B pixels as the file's R, G, B, A, or R, G, B when `bpp` is 3.
void toFileOrder(std::uint8_t* out, const std::uint8_t* argb, int width, std::size_t bpp) {
    if (bpp == 3) {
        for (int x = 0; x < width; ++x, out += 3, argb += 4) {
            out[0] = argb[1];
            out[1] = argb[2];
            out[2] = argb[3];
        }
        return;
    }
    for (int x = 0; x < width; ++x, out += 4, argb += 4) {
        out[0] = argb[1];
        out[1] = argb[2];
        out[2] = argb[3];
        out[3] = argb[0];
    }
}

// The same for native-order 16-bit samples: the file's big-endian words, 6 or 8 bytes a pixel.
void toFileOrder16(std::uint8_t* out, const std::uint8_t* argbBytes, int width, std::size_t bpp) {
    const auto* argb = reinterpret_cast<const std::uint16_t*>(argbBytes);
    auto put = [](std::uint8_t* to, std::uint16_t v) {
        to[0] = std::uint8_t(v >> 8);
        to[1] = std::uint8_t(v);
    };
    for (int x = 0; x < width; ++x, out += bpp, argb += 4) {
        put(out, argb[1]);
        put(out + 2, argb[2]);
        put(out + 4, argb[3]);
        if (bpp == 8)
            put(out + 6, argb[0]);
    }
}

void putBigEndian(std::uint8_t* out, std::uint32_t value) {
    out[0] = std::uint8_t(value >> 24);
    out[1] = std::uint8_t(value >> 16);
    out[2] = std::uint8_t(value >> 8);
    out[3] = std::uint8_t(value);
}

// Ends a chunk whose length and type fields open `chunk`: fills in the length, appends the CRC.
void closeChunk(ByteBuffer& chunk) {
    const std::size_t dataLength = chunk.size() - 8;
    putBigEndian(chunk.data(), std::uint32_t(dataLength));
    const std::uint32_t crc = std::uint32_t(crc32(0, chunk.data() + 4, uInt(dataLength + 4)));
    chunk.resize(chunk.size() + 4);
    putBigEndian(chunk.data() + chunk.size() - 4, crc);
}

ByteBuffer openChunk() {
    return ByteBuffer{0, 0, 0, 0, 'I', 'D', 'A', 'T'};
}

// Deflates `length` bytes onto the end of `out`, finishing with `flush`. False on a zlib error.
bool deflateInto(ByteBuffer& out, z_stream& stream, const std::uint8_t* data, std::size_t length,
                 int flush) {
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = uInt(length);
    std::size_t used = out.size();
    out.resize(used + deflateBound(&stream, uLong(length)) + 64);
    for (;;) {
        stream.next_out = out.data() + used;
        stream.avail_out = uInt(out.size() - used);
        const int result = deflate(&stream, flush);
        used = out.size() - stream.avail_out;
        if (result == Z_STREAM_ERROR)
            return false;
        const bool done = flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_out != 0;
        if (done)
            break;
        out.resize(out.size() + out.size() / 2 + 64);
    }
    out.resize(used);
    return true;
}

}  // namespace

bool PngEncodeImageData(std::vector<ByteBuffer>& chunks, int width, int height,
                        const std::uint8_t* pixels, std::size_t rowBytes, int level, bool alpha,
                        int depth) {
    const std::size_t bpp = (alpha ? 4 : 3) * std::size_t(depth / 8);
    const auto rowToFile = depth == 16 ? toFileOrder16 : toFileOrder;
    const std::size_t n = std::size_t(width) * bpp;
    const std::size_t stripRows =
        std::clamp<std::size_t>(kStripBytes / (n + 1), 1, std::size_t(std::max(height, 1)));
    const std::size_t strips = (std::size_t(height) + stripRows - 1) / stripRows;
    // libpng's choice of filters when it may use any: none that looks at a missing neighbour.
    unsigned allowed = kNone | kSub | kUp | kAverage | kPaeth;
    if (height == 1)
        allowed &= ~(kUp | kAverage | kPaeth);
    if (width == 1)
        allowed &= ~(kSub | kAverage | kPaeth);

    chunks.assign(strips + 1, ByteBuffer());
    std::vector<uLong> checksums(strips);
    std::vector<std::size_t> lengths(strips);
    std::atomic<bool> failed{false};
    dispatchApply(strips, [&](std::size_t s) {
        const std::size_t y0 = s * stripRows;
        const std::size_t rows = std::min(stripRows, std::size_t(height) - y0);
        ByteBuffer filtered(rows * (n + 1)), trial(n + 1), prior(n, 0), current(n);
        if (y0 > 0)
            rowToFile(prior.data(), pixels + (y0 - 1) * rowBytes, width, bpp);
        for (std::size_t y = 0; y < rows; ++y) {
            rowToFile(current.data(), pixels + (y0 + y) * rowBytes, width, bpp);
            filterRow(filtered.data() + y * (n + 1), trial.data(), current.data(), prior.data(), n,
                      bpp, allowed);
            std::swap(prior, current);
        }
        lengths[s] = filtered.size();
        checksums[s] = adler32(adler32(0, nullptr, 0), filtered.data(), uInt(filtered.size()));

        z_stream stream{};
        if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_FILTERED) != Z_OK) {
            failed = true;
            return;
        }
        ByteBuffer& chunk = chunks[s];
        chunk = openChunk();
        if (s == 0) {
            // The zlib header: deflate with a 32 KiB window, the level's class, the check bits.
            const unsigned cmf = 0x78;
            const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
            unsigned flg = levelClass << 6;
            flg += 31 - (cmf * 256 + flg) % 31;
            chunk.push_back(std::uint8_t(cmf));
            chunk.push_back(std::uint8_t(flg));
        }
        const bool ok = deflateInto(chunk, stream, filtered.data(), filtered.size(),
                                    s + 1 == strips ? Z_FINISH : Z_SYNC_FLUSH);
        deflateEnd(&stream);
        if (!ok) {
            failed = true;
            return;
        }
        closeChunk(chunk);
    });
    if (failed) {
        chunks.clear();
        return false;
    }
    // The stream's checksum, combined from the strips', closes it in a chunk of its own.
    uLong checksum = adler32(0, nullptr, 0);
    for (std::size_t s = 0; s < strips; ++s)
        checksum = adler32_combine(checksum, checksums[s], z_off_t(lengths[s]));
    ByteBuffer& last = chunks[strips];
    last = openChunk();
    last.resize(12);
    putBigEndian(last.data() + 8, std::uint32_t(checksum));
    closeChunk(last);
    return true;
}

}  // namespace velkaro
