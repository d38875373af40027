#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velkaro {

// TIFF writing with libtiff, into memory. (TIFF files are read through the platform's decoders.)
//
// Encodes width × height pixels in the system's A, R, G, B byte order (rows `rowBytes` apart) as
// one 8-bit, top-down, contiguous TIFF image: R, G, B when every pixel is opaque, else R, G, B
// and unassociated alpha. With `compress` the strips are Deflate-compressed after horizontal
// differencing (predictor 2), else stored as they are. False, with a log line, when libtiff fails.
bool TiffWrite(std::vector<std::uint8_t>& out, int width, int height, const std::uint8_t* pixels,
               std::size_t rowBytes, bool compress);

}  // namespace velkaro
