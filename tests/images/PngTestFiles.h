#pragma once

// PNG files made byte by byte or with libpng directly, independent of the code under test.

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Image.h"

namespace testsupport {

inline void putBig32(ByteBuffer& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(v >> shift));
}

// One PNG chunk with its length and CRC.
inline void pngChunk(ByteBuffer& out, const char* type, const ByteBuffer& data) {
    putBig32(out, std::uint32_t(data.size()));
    ByteBuffer typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBig32(out, std::uint32_t(crc32(0, typed.data(), uInt(typed.size()))));
}

// The data of every chunk of the given type in a PNG file, joined in file order.
inline ByteBuffer chunkData(const ByteBuffer& file, const char* type) {
    ByteBuffer joined;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::size_t length = std::size_t(file[at]) << 24 | std::size_t(file[at + 1]) << 16 |
                                   std::size_t(file[at + 2]) << 8 | file[at + 3];
        if (at + 12 + length > file.size())
            break;
        if (std::equal(type, type + 4, file.begin() + at + 4))
            joined.insert(joined.end(), file.begin() + at + 8, file.begin() + at + 8 + length);
        at += 12 + length;
    }
    return joined;
}

// A well-formed PNG header claiming width × height RGBA pixels, followed by a tiny IDAT.
inline ByteBuffer pngClaiming(std::uint32_t width, std::uint32_t height) {
    ByteBuffer out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ByteBuffer ihdr;
    putBig32(ihdr, width);
    putBig32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    pngChunk(out, "IHDR", ihdr);
    const std::uint8_t zeros[64] = {};
    ByteBuffer compressed(128);
    uLongf size = uLongf(compressed.size());
    compress(compressed.data(), &size, zeros, sizeof zeros);
    compressed.resize(size);
    pngChunk(out, "IDAT", compressed);
    pngChunk(out, "IEND", {});
    return out;
}

// Writes rows of the given colour type and bit depth (16-bit samples big-endian, as PNG stores
// them) with libpng. All libpng work sits in this one function, which holds no C++ object.
inline bool writeWithLibpng(const char* path, int width, int height, int colorType, int bitDepth,
                            bool interlaced, const std::uint8_t* rows, std::size_t rowBytes) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bitDepth, colorType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = 0; y < height; ++y) png_write_row(png, rows + std::size_t(y) * rowBytes);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return true;
}

}  // namespace testsupport
