#include <gtest/gtest.h>

#include <QPainter>
#include <set>

#include "TiledImage.h"
#include "ViewsTestSupport.h"

namespace {

std::set<std::pair<int, int>> AllTiles(TiledImage& tiles) {
    std::set<std::pair<int, int>> found;
    for (int y = 0; y < 2048; y += 256) {
        for (int x = 0; x < 2048; x += 256) {
            if (!tiles.tileAt(x, y).isNull()) found.insert({x, y});
        }
    }
    return found;
}

// Renders a display rectangle of `tiles` into a view of the given size, y upwards.
QImage DrawIntoView(TiledImage& tiles, const Rect& source, const Rect& destination, int width,
                    int height) {
    QImage view(width, height, QImage::Format_ARGB32_Premultiplied);
    view.fill(QColor(1, 2, 3));
    QPainter painter(&view);
    painter.setTransform(QTransform(1, 0, 0, -1, 0, height));
    tiles.drawTilesFromRect(painter, source, destination, {0, 0, double(width), double(height)});
    return view;
}

}  // namespace

TEST(TiledImage, TilesOfA1000By600PictureAtZoom1) {
    TestApp();
    ImageRef picture = PatternImage(1000, 600);
    TiledImage tiles;
    tiles.setImage(picture);
    EXPECT_EQ(tiles.displayWidth(), 1000);
    EXPECT_EQ(tiles.displayHeight(), 600);

    std::set<std::pair<int, int>> expected;
    for (int x : {0, 256, 512, 768}) {
        for (int y : {0, 256, 512}) expected.insert({x, y});
    }
    EXPECT_EQ(AllTiles(tiles), expected);

    // The top-right tile: 232 × 88, source columns 768 … 999 and rows 0 … 87.
    const QImage corner = tiles.tileAt(768, 512);
    EXPECT_EQ(corner.size(), QSize(232, 88));
    const TiledImage::Tile* entry = tiles.cachedTile(768, 512);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->imageRect.x, 768);
    EXPECT_EQ(entry->imageRect.y, 0);
    EXPECT_EQ(entry->imageRect.width, 232);
    EXPECT_EQ(entry->imageRect.height, 88);
    EXPECT_EQ(entry->displayRect.x, 768);
    EXPECT_EQ(entry->displayRect.y, 512);
    EXPECT_EQ(entry->displayRect.width, 232);
    EXPECT_EQ(entry->displayRect.height, 88);

    // Every tile shows its source pixels unchanged, A, R, G, B as stored; a tile at display y
    // covers the source rows that lie 600 − y − height … below the top.
    for (auto [x, y] : expected) {
        const QImage tile = tiles.tileAt(x, y);
        const int top = 600 - y - tile.height();
        for (int j = 0; j < tile.height(); j += 7) {
            for (int i = 0; i < tile.width(); i += 5) {
                ASSERT_EQ(tile.pixel(i, j), ScreenPixel(*picture, x + i, top + j))
                    << "tile " << x << "," << y << " pixel " << i << "," << j;
            }
        }
    }
}

TEST(TiledImage, ZoomedOutTilesAreAveragedSourceBlocks) {
    TestApp();
    // Smooth content, so the 2 × 2 means are compared within rounding.
    ImageRef picture = Image::create(1000, 600);
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 1000; ++x) {
            std::uint8_t* p = picture->pixels() + (std::size_t(y) * 1000 + x) * 4;
            p[0] = 255;
            p[1] = std::uint8_t(x / 4);
            p[2] = std::uint8_t(y * 255 / 599);
            p[3] = std::uint8_t((x + y) / 7);
        }
    }
    TiledImage tiles;
    tiles.setZoomOut(2);
    tiles.setImage(picture);
    EXPECT_EQ(tiles.displayWidth(), 500);
    EXPECT_EQ(tiles.displayHeight(), 300);

    const QImage tile = tiles.tileAt(256, 256);
    EXPECT_EQ(tile.size(), QSize(244, 44));
    const TiledImage::Tile* entry = tiles.cachedTile(256, 256);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->imageRect.x, 512);
    EXPECT_EQ(entry->imageRect.y, 0);
    EXPECT_EQ(entry->imageRect.width, 488);
    EXPECT_EQ(entry->imageRect.height, 88);

    for (int j = 0; j < tile.height(); j += 3) {
        for (int i = 0; i < tile.width(); i += 3) {
            const QRgb shown = tile.pixel(i, j);
            const int sx = 512 + 2 * i, sy = 2 * j;
            for (int channel = 1; channel <= 3; ++channel) {
                const double mean =
                    (PixelByte(*picture, sx, sy, channel) + PixelByte(*picture, sx + 1, sy, channel) +
                     PixelByte(*picture, sx, sy + 1, channel) +
                     PixelByte(*picture, sx + 1, sy + 1, channel)) / 4.0;
                const int value = channel == 1 ? qRed(shown) : channel == 2 ? qGreen(shown) : qBlue(shown);
                ASSERT_NEAR(value, mean, 1.0) << i << "," << j << " channel " << channel;
            }
        }
    }
}

TEST(TiledImage, OddWidthAtZoom2DropsTheLastColumn) {
    TestApp();
    TiledImage tiles;
    tiles.setImage(PatternImage(1001, 601));
    tiles.setZoomOut(2);
    EXPECT_EQ(tiles.displayWidth(), 500);
    EXPECT_EQ(tiles.displayHeight(), 300);
    // The tiles side by side make up exactly the display width and height.
    EXPECT_EQ(tiles.tileAt(0, 0).width() + tiles.tileAt(256, 0).width(), 500);
    EXPECT_EQ(tiles.tileAt(0, 0).height() + tiles.tileAt(0, 256).height(), 300);
    EXPECT_TRUE(tiles.tileAt(512, 0).isNull());
    EXPECT_TRUE(tiles.tileAt(0, 512).isNull());
}

TEST(TiledImage, KeysZoomAndCacheLifetime) {
    TestApp();
    EXPECT_EQ(TiledImage::TileKey(768, 512), (768u << 16) | 512u);
    EXPECT_EQ(TiledImage::TileKey(0, 256), 256u);

    TiledImage tiles;
    EXPECT_TRUE(tiles.tileAt(0, 0).isNull());  // no picture
    EXPECT_EQ(tiles.displayWidth(), 0);
    tiles.setImage(PatternImage(600, 300));
    tiles.tileAt(0, 0);
    tiles.tileAt(256, 0);
    EXPECT_EQ(tiles.cachedTileCount(), 2u);
    tiles.setZoomOut(1);  // unchanged: the cache stays
    EXPECT_EQ(tiles.cachedTileCount(), 2u);
    tiles.setZoomOut(0);  // below 1 means 1
    EXPECT_EQ(tiles.zoomOut(), 1);
    EXPECT_EQ(tiles.cachedTileCount(), 2u);
    tiles.setZoomOut(-4);
    EXPECT_EQ(tiles.zoomOut(), 1);
    tiles.setZoomOut(4);
    EXPECT_EQ(tiles.cachedTileCount(), 0u);
    EXPECT_EQ(tiles.displayWidth(), 150);
    tiles.tileAt(0, 0);
    tiles.setImage(PatternImage(10, 10));
    EXPECT_EQ(tiles.cachedTileCount(), 0u);
    tiles.setImage(nullptr);
    EXPECT_TRUE(tiles.tileAt(0, 0).isNull());
}

TEST(TiledImage, InvalidateAndCleanDropExactlyTheTilesConcerned) {
    TestApp();
    TiledImage tiles;
    tiles.setImage(PatternImage(1000, 600));
    const auto all = AllTiles(tiles);
    ASSERT_EQ(all.size(), 12u);

    // Source rectangle near the top, columns 700 … 709: only the tile at display (512, 512).
    tiles.invalidateTiles({700, 10, 10, 10});
    EXPECT_EQ(tiles.cachedTileCount(), 11u);
    EXPECT_EQ(tiles.cachedTile(512, 512), nullptr);

    // A rectangle straddling four tiles, checked against the tiles' own source rectangles.
    AllTiles(tiles);
    const Rect changed{250, 340, 20, 20};
    std::set<std::pair<int, int>> hit;
    for (auto [x, y] : all) {
        const Rect r = tiles.cachedTile(x, y)->imageRect;
        if (r.x < changed.x + changed.width && changed.x < r.x + r.width &&
            r.y < changed.y + changed.height && changed.y < r.y + r.height) {
            hit.insert({x, y});
        }
    }
    EXPECT_EQ(hit.size(), 4u);
    tiles.invalidateTiles(changed);
    for (auto [x, y] : all) EXPECT_EQ(tiles.cachedTile(x, y) == nullptr, hit.count({x, y}) == 1);

    // Only the tiles meeting the visible display rectangle remain; touching edges do not count.
    AllTiles(tiles);
    tiles.cleanUnusedTiles({0, 0, 256, 300});
    EXPECT_EQ(tiles.cachedTileCount(), 2u);
    EXPECT_NE(tiles.cachedTile(0, 0), nullptr);
    EXPECT_NE(tiles.cachedTile(0, 256), nullptr);
}

TEST(TiledImage, DrawingPutsEverySourcePixelInPlace) {
    TestApp();
    ImageRef picture = PatternImage(1000, 600);
    TiledImage tiles;
    tiles.setImage(picture);

    // The whole picture at the view's origin: the view shows the picture exactly.
    const QImage whole = DrawIntoView(tiles, {0, 0, 1000, 600}, {0, 0, 1000, 600}, 1000, 600);
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 1000; ++x) {
            ASSERT_EQ(whole.pixel(x, y), ScreenPixel(*picture, x, y)) << x << "," << y;
        }
    }

    // A part crossing tile seams, drawn at (10, 20) of a 400 × 300 view with y upwards.
    const Rect source{200, 230, 300, 200};
    const QImage part = DrawIntoView(tiles, source, {10, 20, 300, 200}, 400, 300);
    for (int row = 0; row < 300; ++row) {
        for (int x = 0; x < 400; ++x) {
            const int viewY = 300 - 1 - row;  // y upwards
            const bool inside = x >= 10 && x < 310 && viewY >= 20 && viewY < 220;
            if (!inside) {
                ASSERT_EQ(part.pixel(x, row), qRgb(1, 2, 3)) << x << "," << row;
                continue;
            }
            const int displayX = int(source.x) + x - 10;
            const int displayY = int(source.y) + viewY - 20;
            ASSERT_EQ(part.pixel(x, row), ScreenPixel(*picture, displayX, 600 - 1 - displayY))
                << x << "," << row;
        }
    }
}
