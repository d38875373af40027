#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Image.h"

namespace velkaro {

// The compact, lossless form in which the session keeps computed results: fast to make and to
// undo, about half the size of the raw pixels for a photograph, and exact to the bit.
//
// The image is cut into strips of rows, each packed on its own on the worker pool. An 8-bit
// strip's pixels are split into four planes (alpha, red minus green, green, blue minus green, all
// modulo 256), every row of a plane is replaced by the differences between neighbouring samples,
// and the strip is compressed with zstd at level 1. A 16-bit strip, whose low bits hold noise,
// predicts every sample from its left and upper neighbours and codes the residuals as symbols
// compressed with zstd plus raw low bits (PixelPack.cpp). Unpacking undoes the steps; both depths
// pack exactly.
class PixelPack;
using PixelPackRef = std::shared_ptr<const PixelPack>;

class PixelPack {
  public:
    // Packs every pixel of `image` and prints one statistics line.
    static PixelPackRef pack(const Image& image);

    // A new image holding exactly the pixels that were packed.
    ImageRef unpack() const;
    // The same pixels written over `image`, which has the packed size.
    void unpackInto(Image& image) const;

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    int depth() const { return mDepth; }
    // The bytes the packed strips take.
    std::size_t byteSize() const { return mByteSize; }

  private:
    PixelPack(int width, int height, int depth, int stripRows);

    int mWidth;
    int mHeight;
    int mDepth;
    int mStripRows;  // rows per strip; the last strip may have fewer
    std::vector<ByteBuffer> mStrips;
    std::size_t mByteSize = 0;
};

}  // namespace velkaro
