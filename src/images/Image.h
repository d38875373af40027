#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velkaro {

// Pixel format of the whole system: 4 bytes per pixel, byte 0 alpha, 1 red, 2 green, 3 blue, not
// premultiplied, rows top to bottom without padding (stride width × 4). A `channel` argument is
// the byte offset inside the pixel: 1 red, 2 green, 3 blue.

class Image;
using ImageRef = std::shared_ptr<Image>;
using ByteBuffer = std::vector<std::uint8_t>;

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// A rectangle of whole pixels of an image: the one shape in which regions travel between the
// numerical helpers.
struct Region {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Region&) const = default;
};
// The whole pixels of a rectangle given in pixels (its coordinates truncated).
inline Region RegionOf(const Rect& r) {
    return Region{int(r.x), int(r.y), int(r.width), int(r.height)};
}

// A buffer of `bytes` for pixels, every byte `fill`; a photograph-sized one is laid out on huge
// pages where the system offers them, so that filling it costs a few page faults instead of
// thousands.
std::shared_ptr<ByteBuffer> NewPixelBuffer(std::size_t bytes, std::uint8_t fill = 0);
// The same holding a copy of `bytes` bytes from `from`, written once.
std::shared_ptr<ByteBuffer> NewPixelBuffer(const std::uint8_t* from, std::size_t bytes);

// Reference-counted owner of a pixel buffer. Copying is explicit and deep (`copy()`).
class Image {
  public:
    // Takes the buffer over; it must hold width × height × 4 bytes.
    Image(std::shared_ptr<ByteBuffer> data, int width, int height);
    // A new zero-filled buffer: every pixel transparent black.
    Image(int width, int height);

    static ImageRef create(int width, int height) { return std::make_shared<Image>(width, height); }

    const std::shared_ptr<ByteBuffer>& data() const { return mData; }
    std::uint8_t* pixels() { return mData->data(); }
    const std::uint8_t* pixels() const { return mData->data(); }
    int width() const { return mWidth; }
    int height() const { return mHeight; }
    Rect extent() const { return {0, 0, double(mWidth), double(mHeight)}; }

    ImageRef copy() const;  // deep copy over a fresh buffer

    // At most 256 × 256 pixels, aspect kept, high-quality resampled, still A, R, G, B.
    ImageRef thumbnail() const;
    ImageRef thumbnailForSection(const Rect& section) const;

    // The pixels reordered to R, G, B, A (for encoders and toolkits that want that order).
    ByteBuffer rgbaBytes() const;

  private:
    std::shared_ptr<ByteBuffer> mData;
    int mWidth;
    int mHeight;
};

// Lightweight value view of an Image for the numerical code; keeps its owner alive.
class CImage {
  public:
    CImage() = default;
    CImage(int width, int height);           // a new opaque white image
    explicit CImage(const ImageRef& image);  // shares the image's memory
    // A width × height image without pixels (pixels() null), for code that reads only the size.
    static CImage sizeOnly(int width, int height);

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    std::uint8_t* pixels() const { return mPixels; }

    void copyFrom(const CImage& src);
    ImageRef asImage() const;

  private:
    std::uint8_t* mPixels = nullptr;
    int mWidth = 0;
    int mHeight = 0;
    ImageRef mImage;
};

// A new image holding the w × h rectangle of `image` whose top-left pixel is x, y (inside it).
CImage CropImage(const CImage& image, int x, int y, int w, int h);
// Copies all of `pixels` into `into` with its top-left pixel at x, y (wholly inside `into`).
void PasteImage(const CImage& pixels, const CImage& into, int x, int y);

// Target size of a thumbnail of a w × h section (single-precision rule, never grows).
void ThumbnailSize(double w, double h, int& outWidth, int& outHeight);

}  // namespace velkaro
