#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Image.h"

namespace velkaro {

// The image data of an 8- or 16-bit RGB or RGBA PNG file, made on every core the way parallel gzip
// tools make one stream: the rows are cut into strips, each strip is filtered and deflated on its
// own on the worker pool, and the raw deflate pieces, each ended on a byte boundary by a sync flush
// (the last one by the final block), join into one zlib stream whose checksum is combined from the
// strips'.
//
// Rows are filtered as libpng filters them when it may choose any filter: per row, the filter
// whose output has the smallest sum of absolute values (bytes as signed). The deflate settings
// are libpng's for image data: 32 KiB window, memory level 8, the "filtered" strategy.

// Fills `chunks` with complete IDAT chunks (length, type, data, CRC), in file order, holding the
// zlib stream of width × height A, R, G, B pixels (rows `rowBytes` apart, samples of `depth` bits,
// 16-bit ones in the machine's order) at compression `level`, stored as R, G, B, A when `alpha`,
// else as R, G, B (alpha dropped), 16-bit samples big-endian as PNG stores them. False only when
// zlib cannot start (out of memory).
bool PngEncodeImageData(std::vector<ByteBuffer>& chunks, int width, int height,
                        const std::uint8_t* pixels, std::size_t rowBytes, int level, bool alpha,
                        int depth = 8);

}  // namespace velkaro
