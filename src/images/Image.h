#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velkaro {

// Pixel format of the whole system: four samples per pixel, 0 alpha, 1 red, 2 green, 3 blue, not
// premultiplied, rows top to bottom without padding. A sample is a byte (depth 8: 4 bytes a
// pixel, stride width × 4) or, for photographs that come with more tonal depth, a native-order
// 16-bit word (depth 16: 8 bytes a pixel). A `channel` argument is the sample's index inside the
// pixel: 1 red, 2 green, 3 blue, at either depth.

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
    // Takes the buffer over; it must hold width × height pixels of `depth` (8 or 16) bits a sample.
    Image(std::shared_ptr<ByteBuffer> data, int width, int height, int depth = 8);
    // A new zero-filled buffer: every pixel transparent black.
    Image(int width, int height, int depth = 8);

    static ImageRef create(int width, int height, int depth = 8) {
        return std::make_shared<Image>(width, height, depth);
    }

    const std::shared_ptr<ByteBuffer>& data() const { return mData; }
    std::uint8_t* pixels() { return mData->data(); }
    const std::uint8_t* pixels() const { return mData->data(); }
    int width() const { return mWidth; }
    int height() const { return mHeight; }
    int depth() const { return mDepth; }
    int bytesPerPixel() const { return mDepth / 2; }
    Rect extent() const { return {0, 0, double(mWidth), double(mHeight)}; }

    ImageRef copy() const;  // deep copy over a fresh buffer

    // At most 256 × 256 pixels, aspect kept, high-quality resampled, still A, R, G, B, at 8 bits
    // whatever the image's depth (thumbnails are for display).
    ImageRef thumbnail() const;
    ImageRef thumbnailForSection(const Rect& section) const;

    // The pixels reordered to R, G, B, A bytes (for encoders and toolkits that want that order;
    // 16-bit samples rounded to 8 bits).
    ByteBuffer rgbaBytes() const;

  private:
    std::shared_ptr<ByteBuffer> mData;
    int mWidth;
    int mHeight;
    int mDepth;
};

// The largest sample value at `depth` bits: 255 or 65535.
constexpr int MaxSample(int depth) {
    return depth == 16 ? 65535 : 255;
}
// A 16-bit sample rounded to the nearest 8-bit one (v / 257), and an 8-bit one widened exactly.
constexpr std::uint8_t SampleTo8(std::uint16_t v) {
    return std::uint8_t((unsigned(v) * 255u + 32895u) >> 16);
}
constexpr std::uint16_t SampleTo16(std::uint8_t v) {
    return std::uint16_t(v * 257);
}
// `image` at `depth` bits a sample: the image itself when it is at that depth already, else a new
// image (16 to 8 rounds to the nearest level, 8 to 16 widens exactly).
ImageRef ImageAtDepth(const ImageRef& image, int depth);

// Lightweight value view of an Image for the numerical code; keeps its owner alive.
class CImage {
  public:
    CImage() = default;
    CImage(int width, int height, int depth = 8);  // a new opaque white image
    explicit CImage(const ImageRef& image);        // shares the image's memory
    // A width × height image without pixels (pixels() null), for code that reads only the size.
    static CImage sizeOnly(int width, int height);

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    int depth() const { return mDepth; }
    int bytesPerPixel() const { return mDepth / 2; }
    std::uint8_t* pixels() const { return mPixels; }
    // The first byte of pixel x, y.
    std::uint8_t* pixelAt(int x, int y) const {
        return mPixels + (std::size_t(y) * std::size_t(mWidth) + std::size_t(x)) * (mDepth / 2);
    }

    void copyFrom(const CImage& src);
    ImageRef asImage() const;

  private:
    std::uint8_t* mPixels = nullptr;
    int mWidth = 0;
    int mHeight = 0;
    int mDepth = 8;
    ImageRef mImage;
};

// A new image (of the same depth) holding the w × h rectangle of `image` whose top-left pixel is
// x, y (inside it).
CImage CropImage(const CImage& image, int x, int y, int w, int h);
// Copies all of `pixels` into `into` (of the same depth) with its top-left pixel at x, y (wholly
// inside `into`).
void PasteImage(const CImage& pixels, const CImage& into, int x, int y);

// Target size of a thumbnail of a w × h section (single-precision rule, never grows).
void ThumbnailSize(double w, double h, int& outWidth, int& outHeight);

}  // namespace velkaro
