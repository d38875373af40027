#include "Image.h"

#include <cstring>

#include "Check.h"
#include "LargeAllocation.h"
#include "Planar.h"

namespace velkaro {
namespace {

std::shared_ptr<ByteBuffer> reservedPixelBuffer(std::size_t bytes) {
    auto buffer = std::make_shared<ByteBuffer>();
    buffer->reserve(bytes);
    AdviseHugePages(buffer->data(), bytes);
    return buffer;
}

}  // namespace

std::shared_ptr<ByteBuffer> NewPixelBuffer(std::size_t bytes, std::uint8_t fill) {
    auto buffer = reservedPixelBuffer(bytes);
    buffer->resize(bytes, fill);
    return buffer;
}

std::shared_ptr<ByteBuffer> NewPixelBuffer(const std::uint8_t* from, std::size_t bytes) {
    auto buffer = reservedPixelBuffer(bytes);
    buffer->assign(from, from + bytes);
    return buffer;
}

Image::Image(std::shared_ptr<ByteBuffer> data, int width, int height)
    : mData(std::move(data)), mWidth(width), mHeight(height) {
    VK_CHECK(mData && mData->size() >= std::size_t(width) * std::size_t(height) * 4);
}

Image::Image(int width, int height)
    : Image(NewPixelBuffer(std::size_t(width) * 4 * std::size_t(height)), width, height) {}

ImageRef Image::copy() const {
    return std::make_shared<Image>(NewPixelBuffer(mData->data(), mData->size()), mWidth, mHeight);
}

void ThumbnailSize(double w, double h, int& outWidth, int& outHeight) {
    float tw = float(w), th = float(h);
    if (tw > 256) {
        th = th * (256 / tw);
        tw = 256;
    }
    if (th > 256) {
        tw = tw * (256 / th);
        th = 256;
    }
    outWidth = int(tw);
    outHeight = int(th);
}

ImageRef Image::thumbnail() const {
    return thumbnailForSection(extent());
}

ImageRef Image::thumbnailForSection(const Rect& section) const {
    int tw, th;
    ThumbnailSize(section.width, section.height, tw, th);
    const int sx = int(section.x), sy = int(section.y);
    const int sw = int(section.width), sh = int(section.height);
    VK_CHECK(sx >= 0 && sy >= 0 && sx + sw <= mWidth && sy + sh <= mHeight);
    auto result = Image::create(std::max(tw, 1), std::max(th, 1));
    if (tw < 1 || th < 1 || sw < 1 || sh < 1)
        return result;
    const std::size_t stride = std::size_t(mWidth) * 4;
    scaleARGB8888(pixels() + std::size_t(sx) * 4 + std::size_t(sy) * stride, sw, sh, stride,
                  result->pixels(), tw, th, std::size_t(tw) * 4);
    return result;
}

ByteBuffer Image::rgbaBytes() const {
    const std::size_t n = std::size_t(mWidth) * std::size_t(mHeight);
    ByteBuffer out(n * 4);
    const std::uint8_t* p = pixels();
    for (std::size_t i = 0; i < n; ++i) {
        out[4 * i + 0] = p[4 * i + 1];
        out[4 * i + 1] = p[4 * i + 2];
        out[4 * i + 2] = p[4 * i + 3];
        out[4 * i + 3] = p[4 * i + 0];
    }
    return out;
}

void PasteImage(const CImage& pixels, const CImage& into, int x, int y) {
    const int w = pixels.width(), h = pixels.height();
    VK_CHECK(x >= 0 && y >= 0 && x + w <= into.width() && y + h <= into.height());
    for (int row = 0; row < h; ++row)
        std::memcpy(into.pixels() + (std::size_t(y + row) * into.width() + x) * 4,
                    pixels.pixels() + std::size_t(row) * w * 4, std::size_t(w) * 4);
}

CImage::CImage(int width, int height)
    : CImage(std::make_shared<Image>(
          NewPixelBuffer(std::size_t(width) * 4 * std::size_t(height), 255), width, height)) {}

CImage CImage::sizeOnly(int width, int height) {
    CImage image;
    image.mWidth = width;
    image.mHeight = height;
    return image;
}

CImage::CImage(const ImageRef& image)
    : mPixels(image->pixels()), mWidth(image->width()), mHeight(image->height()), mImage(image) {}

void CImage::copyFrom(const CImage& src) {
    VK_CHECK(src.width() == width());
    VK_CHECK(src.height() == height());
    std::memcpy(mPixels, src.mPixels, std::size_t(width()) * std::size_t(height()) * 4);
}

ImageRef CImage::asImage() const {
    VK_CHECK(mImage);
    return mImage;
}

CImage CropImage(const CImage& image, int x, int y, int w, int h) {
    VK_CHECK(x >= 0 && y >= 0 && w > 0 && h > 0 && x + w <= image.width() &&
             y + h <= image.height());
    CImage out(w, h);
    for (int row = 0; row < h; ++row)
        std::memcpy(out.pixels() + std::size_t(row) * w * 4,
                    image.pixels() + (std::size_t(y + row) * image.width() + x) * 4,
                    std::size_t(w) * 4);
    return out;
}

}  // namespace velkaro
