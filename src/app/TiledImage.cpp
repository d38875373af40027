#include "TiledImage.h"

#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <vector>

#include "Check.h"
#include "Planar.h"

namespace velkaro {

namespace {

QRectF ToQRect(const Rect& r) {
    return QRectF(r.x, r.y, r.width, r.height);
}

// One row of A, R, G, B bytes into premultiplied 32-bit words (B, G, R, A in memory here).
void SwizzleRow(const std::uint8_t* argb, QRgb* out, int count) {
    for (int i = 0; i < count; ++i, argb += 4) {
        out[i] = qPremultiply(qRgba(argb[1], argb[2], argb[3], argb[0]));
    }
}

// The screen form of a block of tw × th pixels whose rows are rowBytes apart.
QImage ScreenImage(const std::uint8_t* block, int width, int height, std::size_t rowBytes) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    uchar* data = image.bits();
    VK_CHECK(data);
    for (int row = 0; row < height; ++row) {
        SwizzleRow(block + std::size_t(row) * rowBytes,
                   reinterpret_cast<QRgb*>(image.scanLine(row)), width);
    }
    return image;
}

}  // namespace

void TiledImage::setImage(const ImageRef& image) {
    mTiles.clear();
    mSrcImage = image;
}

void TiledImage::setZoomOut(int zoomOut) {
    if (zoomOut < 1)
        zoomOut = 1;
    if (zoomOut == mZoomOut)
        return;
    mZoomOut = zoomOut;
    mTiles.clear();
}

int TiledImage::displayWidth() const {
    return mSrcImage ? mSrcImage->width() / mZoomOut : 0;
}
int TiledImage::displayHeight() const {
    return mSrcImage ? mSrcImage->height() / mZoomOut : 0;
}

Rect TiledImage::displayExtent() const {
    return {0, 0, double(displayWidth()), double(displayHeight())};
}

Rect TiledImage::realExtent() const {
    if (!mSrcImage)
        return {};
    return {0, 0, double(mSrcImage->width()), double(mSrcImage->height())};
}

const TiledImage::Tile* TiledImage::cachedTile(int x, int y) const {
    auto found = mTiles.find(TileKey(x, y));
    return found == mTiles.end() ? nullptr : &found->second;
}

QImage TiledImage::tileAt(int displayX, int displayY) {
    if (!mSrcImage)
        return QImage();
    const std::uint32_t key = TileKey(displayX, displayY);
    if (auto found = mTiles.find(key); found != mTiles.end())
        return found->second.image;

    const int z = mZoomOut;
    const int W = mSrcImage->width();
    const int H = mSrcImage->height();
    const int span = kTileSize * z;  // source pixels under one tile side

    const int x = z * displayX;
    int y = H - span - z * displayY;
    int startHeight = span;
    if (y < 0) {
        startHeight = H - z * displayY;
        y = 0;
    }
    const int tw = W < x + span ? W - x : span;
    const int th = H < y + startHeight ? H - y : startHeight;
    VK_CHECK(x >= 0);
    if (tw < 1 || th < 1)
        return QImage();

    std::size_t rowBytes = std::size_t(W) * 4;
    const std::uint8_t* block = mSrcImage->pixels() + (std::size_t(y) * W + std::size_t(x)) * 4;
    CImage narrowed;
    if (mSrcImage->depth() != 8) {
        // The screen shows 8 bits: the tile's block, rounded, is what is drawn.
        narrowed = CImage(ImageAtDepth(CropImage(CImage(mSrcImage), x, y, tw, th).asImage(), 8));
        block = narrowed.pixels();
        rowBytes = std::size_t(tw) * 4;
    }

    QImage image;
    if (z == 1) {
        image = ScreenImage(block, tw, th, rowBytes);
    } else {
        const int dw = tw / z;
        const int dh = th / z;
        if (dw < 1 || dh < 1)
            return QImage();
        std::vector<std::uint8_t> scaled(std::size_t(dw) * std::size_t(dh) * 4);
        scaleARGB8888(block, tw, th, rowBytes, scaled.data(), dw, dh, std::size_t(dw) * 4);
        image = ScreenImage(scaled.data(), dw, dh, std::size_t(dw) * 4);
    }

    Tile tile;
    tile.image = image;
    tile.displayRect = {double(displayX), double(displayY), double(image.width()),
                        double(image.height())};
    tile.imageRect = {double(x), double(y), double(tw), double(th)};
    mTiles.emplace(key, std::move(tile));
    return image;
}

void TiledImage::drawTilesFromRect(QPainter& painter, const Rect& source, const Rect& destination,
                                   const Rect&) {
    const int dx = int(destination.x - source.x);
    const int dy = int(destination.y - source.y);
    const int x0 = int(source.x);
    const int y0 = int(source.y);
    const int x1 = int(source.x + source.width);
    const int y1 = int(source.y + source.height);
    int rx = x0 % kTileSize;
    int ry = y0 % kTileSize;

    for (int y = y0; y < y1;) {
        rx = x0 % kTileSize;
        const int h = std::min(y1 - y, kTileSize - ry);
        for (int x = x0; x < x1;) {
            const int w = std::min(x1 - x, kTileSize - rx);
            const QImage tile = tileAt(x - rx, y - ry);
            // A part reaching past the picture's edge draws only what the tile holds.
            const int partWidth = std::min(w, tile.width() - rx);
            const int partHeight = std::min(h, tile.height() - ry);
            if (!tile.isNull() && partWidth > 0 && partHeight > 0) {
                // The tile's rows run from its top; the part to draw is given from its bottom.
                const QRectF part(rx, tile.height() - ry - partHeight, partWidth, partHeight);
                painter.save();
                painter.translate(x + dx, y + dy + partHeight);
                painter.scale(1, -1);
                painter.drawImage(QRectF(0, 0, partWidth, partHeight), tile, part);
                painter.restore();
            }
            x += kTileSize - rx;
            rx = 0;
        }
        y += kTileSize - ry;
        ry = 0;
    }
}

void TiledImage::cleanUnusedTiles(const Rect& displayRect) {
    const QRectF visible = ToQRect(displayRect);
    std::erase_if(mTiles, [&](const auto& entry) {
        return !ToQRect(entry.second.displayRect).intersects(visible);
    });
}

void TiledImage::invalidateTiles(const Rect& imageRect) {
    const QRectF changed = ToQRect(imageRect);
    std::erase_if(mTiles, [&](const auto& entry) {
        return ToQRect(entry.second.imageRect).intersects(changed);
    });
}

}  // namespace velkaro
