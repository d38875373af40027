#pragma once

#include <QImage>
#include <cstdint>
#include <unordered_map>

#include "Image.h"

class QPainter;

namespace velkaro {

// Draws a large Image at a zoom-out factor without converting the whole picture for the screen.
// The displayed picture (the source scaled down by the factor) is cut into tiles of 256 × 256
// display pixels, each built the first time it is drawn and cached under the display position of
// its lower-left corner.
//
// Display coordinates have their origin at the picture's lower-left corner with y upwards; source
// rows are counted from the top.
class TiledImage {
  public:
    static constexpr int kTileSize = 256;

    struct Tile {
        QImage image;      // the screen form of the tile: premultiplied B, G, R, A in memory
        Rect displayRect;  // (x, y, display width, display height)
        Rect imageRect;    // (sx, sy, tw, th): the source pixels shown, rows from the top
    };

    TiledImage() = default;

    void setImage(const ImageRef& image);
    const ImageRef& sourceImage() const { return mSrcImage; }

    // Values below 1 become 1. A new factor empties the cache.
    void setZoomOut(int zoomOut);
    int zoomOut() const { return mZoomOut; }

    int displayWidth() const;
    int displayHeight() const;
    Rect extent() const { return displayExtent(); }
    Rect displayExtent() const;
    Rect realExtent() const;

    // The tile whose lower-left display corner is (x, y), both multiples of 256: from the cache,
    // else built and cached. A null image when there is no picture or the tile is empty.
    QImage tileAt(int x, int y);

    // Draws the display rectangle `source` with its origin at the origin of `destination`, one
    // display pixel per view unit. The painter works in view coordinates with y upwards.
    void drawTilesFromRect(QPainter& painter, const Rect& source, const Rect& destination,
                           const Rect& bounds);

    // Drops every cached tile whose display rectangle does not intersect `displayRect`.
    void cleanUnusedTiles(const Rect& displayRect);
    // Drops every cached tile whose source rectangle intersects `imageRect` (rows from the top).
    void invalidateTiles(const Rect& imageRect);

    static std::uint32_t TileKey(int x, int y) {
        return (std::uint32_t(x) << 16) | std::uint32_t(y);
    }
    const Tile* cachedTile(int x, int y) const;
    std::size_t cachedTileCount() const { return mTiles.size(); }

  private:
    ImageRef mSrcImage;
    std::unordered_map<std::uint32_t, Tile> mTiles;
    int mZoomOut = 1;
};

}  // namespace velkaro
