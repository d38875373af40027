#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velkaro {

// TIFF writing with libtiff, into memory, and reading of TIFFs of 16 bits a sample at their full
// depth. (8-bit TIFF files are read through the platform's decoders.)
//
// Encodes width × height pixels in the system's A, R, G, B order (rows `rowBytes` apart; samples
// of `depth` bits, 16-bit ones in the machine's order) as one top-down, contiguous TIFF image of
// that depth: R, G, B when every pixel is opaque, else R, G, B and unassociated alpha. With
// `compress` the strips are Deflate-compressed after horizontal differencing (predictor 2), else
// stored as they are. False, with a log line, when libtiff fails.
bool TiffWrite(std::vector<std::uint8_t>& out, int width, int height, const std::uint8_t* pixels,
               std::size_t rowBytes, bool compress, int depth = 8);

// What TiffRead16 made of a file.
enum class TiffRead16Result {
    NotSixteenBit,  // not a TIFF, or one whose samples are not 16-bit unsigned grey or RGB
    TooLarge,       // more than the pixel limit, refused from its header
    Failed,         // a 16-bit TIFF that cannot be decoded (truncated, damaged): logged
    Decoded,
};
// Decodes the first image of a TIFF file of 16-bit unsigned samples, grey (1 sample, or 2 with
// alpha or another extra sample) or RGB (3, or more with extra samples), contiguous or planar,
// in strips or tiles, with any compression libtiff knows (none, LZW, Deflate, ...), into
// width × height native-order 16-bit A, R, G, B pixels, opaque, rows top to bottom as stored.
// `orientation` receives the file's orientation tag (1 to 8; 1 when absent).
TiffRead16Result TiffRead16(const std::string& path, long long maxPixels,
                            std::shared_ptr<std::vector<std::uint8_t>>& pixels, int& width,
                            int& height, int& orientation);

}  // namespace velkaro
