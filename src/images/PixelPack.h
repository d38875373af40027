#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Image.h"

namespace velkaro {

// The compact, lossless form in which the session keeps computed results: fast to make and to
// undo, about half the size of the raw pixels for a photograph, and exact to the bit.
//
// The image is cut into strips of rows, each packed on its own on the worker pool. A strip's
// pixels are split into four planes (alpha, red minus green, green, blue minus green, all modulo
// the samples' range), every row of a plane is replaced by the differences between neighbouring
// samples, 16-bit planes are stored as their high bytes then their low bytes, and the strip is
// compressed with zstd at level 1. Unpacking undoes the steps. Both depths pack exactly.
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
