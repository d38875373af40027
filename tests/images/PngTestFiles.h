#pragma once

// PNG files made byte by byte, independent of the code under test.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Image.h"

using namespace velkaro;

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

}  // namespace testsupport
