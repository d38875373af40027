#include "TiffCodec.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Image.h"
#include "Log.h"

namespace velkaro {

namespace {

// The memory "file" libtiff writes into and may seek back over (it rewrites the directory offset).
struct MemoryFile {
    std::vector<std::uint8_t>* bytes;
    std::size_t position = 0;
};

tmsize_t readNothing(thandle_t, void*, tmsize_t) {
    return 0;
}

tmsize_t writeBytes(thandle_t handle, void* data, tmsize_t size) {
    auto* file = static_cast<MemoryFile*>(handle);
    const std::size_t end = file->position + std::size_t(size);
    try {
        if (end > file->bytes->size())
            file->bytes->resize(end);
    } catch (...) {
        return 0;  // out of memory: the encode fails
    }
    std::memcpy(file->bytes->data() + file->position, data, std::size_t(size));
    file->position = end;
    return size;
}

toff_t seekTo(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    const std::size_t base = whence == SEEK_SET   ? 0
                             : whence == SEEK_CUR ? file->position
                                                  : file->bytes->size();
    file->position = base + std::size_t(offset);
    return toff_t(file->position);
}

int closeNothing(thandle_t) {
    return 0;
}
toff_t sizeOf(thandle_t handle) {
    return toff_t(static_cast<MemoryFile*>(handle)->bytes->size());
}
int mapNothing(thandle_t, void**, toff_t*) {
    return 0;
}
void unmapNothing(thandle_t, void*, toff_t) {}

}  // namespace

bool TiffWrite(std::vector<std::uint8_t>& out, int width, int height, const std::uint8_t* pixels,
               std::size_t rowBytes, bool compress, int depth) {
    out.clear();
    if (width < 1 || height < 1) {
        std::fprintf(stderr, "[write_tiff_file] an image of %dx%d pixels cannot be written\n",
                     width, height);
        return false;
    }
    const bool wide = depth == 16;
    auto sample = [&](int x, int y, int c) -> unsigned {
        const std::uint8_t* row = pixels + std::size_t(y) * rowBytes;
        return wide ? reinterpret_cast<const std::uint16_t*>(row)[std::size_t(x) * 4 + c]
                    : row[std::size_t(x) * 4 + c];
    };
    const unsigned opaqueAlpha = wide ? 65535 : 255;
    bool opaque = true;
    for (int y = 0; y < height && opaque; ++y)
        for (int x = 0; x < width && opaque; ++x) opaque = sample(x, y, 0) == opaqueAlpha;
    const int samples = opaque ? 3 : 4;
    const std::size_t sampleBytes = wide ? 2 : 1;

    MemoryFile file{&out};
    TIFF* tiff = TIFFClientOpen("memory", "w", &file, readNothing, writeBytes, seekTo, closeNothing,
                                sizeOf, mapNothing, unmapNothing);
    if (!tiff) {
        std::fprintf(stderr, "[write_tiff_file] libtiff could not start\n");
        return false;
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, wide ? 16 : 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (!opaque) {
        const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (compress) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 6);
    } else {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    }
    // Strips of about 64 KiB of pixels.
    const std::uint32_t stripRows =
        std::max<std::uint32_t>(1, std::uint32_t(65536 / (std::size_t(width) * samples)));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, std::min<std::uint32_t>(stripRows, height));

    std::vector<std::uint8_t> row(std::size_t(width) * samples * sampleBytes);
    auto* row16 = reinterpret_cast<std::uint16_t*>(row.data());
    bool ok = true;
    for (int y = 0; y < height && ok; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < samples; ++c) {
                // R, G, B, then alpha: the pixel's samples 1, 2, 3, 0.
                const unsigned v = sample(x, y, (c + 1) % 4);
                const std::size_t at = std::size_t(x) * samples + c;
                if (wide)
                    row16[at] = std::uint16_t(v);
                else
                    row[at] = std::uint8_t(v);
            }
        }
        ok = TIFFWriteScanline(tiff, row.data(), std::uint32_t(y), 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(tiff) == 1;
    TIFFClose(tiff);
    if (!ok) {
        std::fprintf(stderr, "[write_tiff_file] libtiff could not encode the image\n");
        out.clear();
    }
    return ok;
}

namespace {

// libtiff's first error on a file, kept to say why it could not be read; warnings are dropped.
struct TiffErrors {
    char first[256] = "";
};

int keepFirstError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* errors = static_cast<TiffErrors*>(user);
    if (errors && !errors->first[0]) {
        char message[200];
        std::vsnprintf(message, sizeof message, format, args);
        std::snprintf(errors->first, sizeof errors->first, "%s: %s", module ? module : "libtiff",
                      message);
    }
    return 1;
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// Whether the file starts as a classic or big TIFF does, in either byte order.
bool hasTiffSignature(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    std::uint8_t head[4] = {};
    const bool read = std::fread(head, 1, 4, file) == 4;
    std::fclose(file);
    const bool little =
        head[0] == 'I' && head[1] == 'I' && (head[2] == 42 || head[2] == 43) && head[3] == 0;
    const bool big =
        head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43);
    return read && (little || big);
}

// Copies the samples of one decoded block (a strip's row or a tile: `rows` × `columns` pixels at
// x, y of the image, `step` samples a pixel, starting with sample `first` of the pixel for planar
// files) into the A, R, G, B pixels; `grey` repeats the one colour sample.
struct BlockCopy {
    std::uint16_t* pixels;
    int width, height;
    int step;     // samples a pixel in the block: all of them (contiguous) or 1 (planar)
    int colours;  // 1 (grey) or 3 (RGB)
    bool invert;  // white is zero
    void put(const std::uint16_t* block, int blockWidth, int x, int y, int columns, int rows,
             int plane) const {
        for (int r = 0; r < rows && y + r < height; ++r) {
            const std::uint16_t* in = block + std::size_t(r) * blockWidth * step;
            std::uint16_t* out = pixels + (std::size_t(y + r) * width + x) * 4;
            for (int c = 0; c < columns && x + c < width; ++c, in += step, out += 4) {
                for (int k = 0; k < (plane < 0 ? colours : 1); ++k) {
                    const int sample = plane < 0 ? k : plane;
                    if (sample >= colours)
                        continue;
                    std::uint16_t v = in[plane < 0 ? k : 0];
                    if (invert)
                        v = std::uint16_t(65535 - v);
                    if (colours == 1)
                        out[1] = out[2] = out[3] = v;
                    else
                        out[1 + sample] = v;
                }
            }
        }
    }
};

}  // namespace

TiffRead16Result TiffRead16(const std::string& path, long long maxPixels,
                            std::shared_ptr<std::vector<std::uint8_t>>& pixels, int& width,
                            int& height, int& orientation) {
    pixels.reset();
    if (!hasTiffSignature(path))
        return TiffRead16Result::NotSixteenBit;
    TiffErrors errors;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return TiffRead16Result::NotSixteenBit;
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepFirstError, &errors);
    TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpenExt(path.c_str(), "r", options));
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return TiffRead16Result::NotSixteenBit;  // Qt's reader says what it makes of it

    std::uint16_t bits = 0, samples = 1, format = SAMPLEFORMAT_UINT, photometric = 0;
    std::uint16_t planar = PLANARCONFIG_CONTIG, tagOrientation = ORIENTATION_TOPLEFT;
    std::uint32_t w = 0, h = 0;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &tagOrientation);
    const bool hasPhotometric = TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &h);
    const bool grey =
        photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
    const bool rgb = photometric == PHOTOMETRIC_RGB;
    if (bits != 16 || format != SAMPLEFORMAT_UINT || !hasPhotometric || !(grey || rgb))
        return TiffRead16Result::NotSixteenBit;
    const int colours = rgb ? 3 : 1;
    if (samples < colours || w < 1 || h < 1) {
        LogWarning("%s: a 16-bit TIFF of %ux%u pixels and %u samples a pixel cannot be read\n",
                   path.c_str(), unsigned(w), unsigned(h), unsigned(samples));
        return TiffRead16Result::Failed;
    }
    if ((long long)w * (long long)h > maxPixels) {
        LogWarning("%s: image of %ux%u pixels exceeds the limit of %lld pixels\n", path.c_str(),
                   unsigned(w), unsigned(h), maxPixels);
        return TiffRead16Result::TooLarge;
    }
    width = int(w), height = int(h);
    orientation = tagOrientation >= 1 && tagOrientation <= 8 ? tagOrientation : 1;
    // Opaque white until decoded: every sample 65535.
    pixels = NewPixelBuffer(std::size_t(w) * std::size_t(h) * 8, 0xff);
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const BlockCopy copy{reinterpret_cast<std::uint16_t*>(pixels->data()),
                         width,
                         height,
                         separate ? 1 : int(samples),
                         colours,
                         photometric == PHOTOMETRIC_MINISWHITE};
    const int planes = separate ? colours : 1;
    bool ok = true;
    if (TIFFIsTiled(tiff.get())) {
        std::uint32_t tw = 0, th = 0;
        TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &th);
        const tmsize_t tileBytes = TIFFTileSize(tiff.get());
        ok = tw > 0 && th > 0 && tileBytes >= tmsize_t(std::size_t(tw) * th * copy.step * 2);
        std::vector<std::uint16_t> tile(ok ? std::size_t(tileBytes) / 2 + 1 : 0);
        for (int plane = 0; ok && plane < planes; ++plane)
            for (std::uint32_t ty = 0; ok && ty < h; ty += th)
                for (std::uint32_t tx = 0; ok && tx < w; tx += tw) {
                    ok =
                        TIFFReadTile(tiff.get(), tile.data(), tx, ty, 0, std::uint16_t(plane)) >= 0;
                    if (ok)
                        copy.put(tile.data(), int(tw), int(tx), int(ty), int(tw), int(th),
                                 separate ? plane : -1);
                }
    } else {
        const tmsize_t lineBytes = TIFFScanlineSize(tiff.get());
        ok = lineBytes >= tmsize_t(std::size_t(w) * copy.step * 2);
        std::vector<std::uint16_t> line(ok ? std::size_t(lineBytes) / 2 + 1 : 0);
        for (int plane = 0; ok && plane < planes; ++plane)
            for (std::uint32_t y = 0; ok && y < h; ++y) {
                ok = TIFFReadScanline(tiff.get(), line.data(), y, std::uint16_t(plane)) == 1;
                if (ok)
                    copy.put(line.data(), width, 0, int(y), width, 1, separate ? plane : -1);
            }
    }
    if (!ok) {
        pixels.reset();
        LogWarning("%s: the 16-bit TIFF cannot be decoded (%s)\n", path.c_str(),
                   errors.first[0] ? errors.first : "its samples do not fit its header");
        return TiffRead16Result::Failed;
    }
    return TiffRead16Result::Decoded;
}

}  // namespace velkaro
