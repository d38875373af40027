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

Image::Image(std::shared_ptr<ByteBuffer> data, int width, int height, int depth)
    : mData(std::move(data)), mWidth(width), mHeight(height), mDepth(depth) {
    VK_CHECK(depth == 8 || depth == 16);
    VK_CHECK(mData && mData->size() >= std::size_t(width) * std::size_t(height) * bytesPerPixel());
}

Image::Image(int width, int height, int depth)
    : Image(NewPixelBuffer(std::size_t(width) * std::size_t(depth / 2) * std::size_t(height)),
            width, height, depth) {}

ImageRef Image::copy() const {
    return std::make_shared<Image>(NewPixelBuffer(mData->data(), mData->size()), mWidth, mHeight,
                                   mDepth);
}

ImageRef ImageAtDepth(const ImageRef& image, int depth) {
    VK_CHECK(image && (depth == 8 || depth == 16));
    if (image->depth() == depth)
        return image;
    const std::size_t samples = std::size_t(image->width()) * std::size_t(image->height()) * 4;
    auto out = std::make_shared<Image>(NewPixelBuffer(samples * std::size_t(depth / 8)),
                                       image->width(), image->height(), depth);
    if (depth == 8) {
        const auto* from = reinterpret_cast<const std::uint16_t*>(image->pixels());
        std::uint8_t* to = out->pixels();
        for (std::size_t i = 0; i < samples; ++i) to[i] = SampleTo8(from[i]);
    } else {
        const std::uint8_t* from = image->pixels();
        auto* to = reinterpret_cast<std::uint16_t*>(out->pixels());
        for (std::size_t i = 0; i < samples; ++i) to[i] = SampleTo16(from[i]);
    }
    return out;
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
    if (mDepth == 16) {
        // Scaled from the section rounded to 8 bits: thumbnails are for display.
        ByteBuffer section8(std::size_t(sw) * std::size_t(sh) * 4);
        for (int row = 0; row < sh; ++row) {
            const auto* from = reinterpret_cast<const std::uint16_t*>(pixels()) +
                               (std::size_t(sy + row) * mWidth + sx) * 4;
            std::uint8_t* to = &section8[std::size_t(row) * sw * 4];
            for (int i = 0; i < sw * 4; ++i) to[i] = SampleTo8(from[i]);
        }
        scaleARGB8888(section8.data(), sw, sh, std::size_t(sw) * 4, result->pixels(), tw, th,
                      std::size_t(tw) * 4);
        return result;
    }
    const std::size_t stride = std::size_t(mWidth) * 4;
    scaleARGB8888(pixels() + std::size_t(sx) * 4 + std::size_t(sy) * stride, sw, sh, stride,
                  result->pixels(), tw, th, std::size_t(tw) * 4);
    return result;
}

ByteBuffer Image::rgbaBytes() const {
    if (mDepth == 16)
        return ImageAtDepth(copy(), 8)->rgbaBytes();
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
    VK_CHECK(pixels.depth() == into.depth());
    const std::size_t rowBytes = std::size_t(w) * pixels.bytesPerPixel();
    for (int row = 0; row < h; ++row)
        std::memcpy(into.pixelAt(x, y + row), pixels.pixelAt(0, row), rowBytes);
}

CImage::CImage(int width, int height, int depth)
    : CImage(std::make_shared<Image>(
          NewPixelBuffer(std::size_t(width) * std::size_t(depth / 2) * std::size_t(height), 255),
          width, height, depth)) {}

CImage CImage::sizeOnly(int width, int height) {
    CImage image;
    image.mWidth = width;
    image.mHeight = height;
    return image;
}

CImage::CImage(const ImageRef& image)
    : mPixels(image->pixels()),
      mWidth(image->width()),
      mHeight(image->height()),
      mDepth(image->depth()),
      mImage(image) {}

void CImage::copyFrom(const CImage& src) {
    VK_CHECK(src.width() == width());
    VK_CHECK(src.height() == height());
    VK_CHECK(src.depth() == depth());
    std::memcpy(mPixels, src.mPixels,
                std::size_t(width()) * std::size_t(height()) * bytesPerPixel());
}

ImageRef CImage::asImage() const {
    VK_CHECK(mImage);
    return mImage;
}

CImage CropImage(const CImage& image, int x, int y, int w, int h) {
    VK_CHECK(x >= 0 && y >= 0 && w > 0 && h > 0 && x + w <= image.width() &&
             y + h <= image.height());
    CImage out(w, h, image.depth());
    const std::size_t rowBytes = std::size_t(w) * image.bytesPerPixel();
    for (int row = 0; row < h; ++row)
        std::memcpy(out.pixelAt(0, row), image.pixelAt(x, y + row), rowBytes);
    return out;
}

}  // namespace velkaro
