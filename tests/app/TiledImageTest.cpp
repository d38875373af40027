#include <gtest/gtest.h>

#include <set>

#include "TiledImage.h"
#include "ViewsTestSupport.h"

namespace {

using TileSet = std::set<std::pair<int, int>>;

// Builds every tile the picture has (lower-left corners up to 2048) and lists them.
TileSet AllTiles(TiledImage& tiles) {
    TileSet found;
    for (int y = 0; y < 2048; y += 256)
        for (int x = 0; x < 2048; x += 256)
            if (!tiles.tileAt(x, y).isNull())
                found.insert({x, y});
    return found;
}

}  // namespace

TEST(TiledImage, TilesOfA1000By600PictureAtZoom1) {
    TestApp();
    ImageRef picture = PatternImage(1000, 600);
    TiledImage tiles;
    tiles.setImage(picture);
    EXPECT_EQ(tiles.displayWidth(), 1000);
    EXPECT_EQ(tiles.displayHeight(), 600);
    TileSet expected;
    for (int x : {0, 256, 512, 768})
        for (int y : {0, 256, 512}) expected.insert({x, y});
    EXPECT_EQ(AllTiles(tiles), expected);

    // The top-right tile: 232 × 88, source columns 768 … 999 and rows 0 … 87.
    EXPECT_EQ(tiles.tileAt(768, 512).size(), QSize(232, 88));
    const TiledImage::Tile* corner = tiles.cachedTile(768, 512);
    ASSERT_NE(corner, nullptr);
    EXPECT_EQ(Values(corner->imageRect), (std::array<double, 4>{768, 0, 232, 88}));
    EXPECT_EQ(Values(corner->displayRect), (std::array<double, 4>{768, 512, 232, 88}));

    // Every tile shows its source pixels A, R, G, B as stored; a tile at display y covers the
    // source rows from 600 − y − height below the top.
    for (auto [x, y] : expected) {
        const QImage tile = tiles.tileAt(x, y);
        const int top = 600 - y - tile.height();
        for (int j = 0; j < tile.height(); j += 7)
            for (int i = 0; i < tile.width(); i += 5)
                ASSERT_EQ(tile.pixel(i, j), ScreenPixel(*picture, x + i, top + j)) << x << "," << y;
    }

    EXPECT_EQ(TiledImage::TileKey(768, 512), (768u << 16) | 512u);
    EXPECT_EQ(TiledImage::TileKey(0, 256), 256u);
}

TEST(TiledImage, ZoomedOutTilesAreAveragedSourceBlocks) {
    TestApp();
    // Smooth content, so the 2 × 2 means are compared within rounding.
    ImageRef picture = Image::create(1000, 600);
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 1000; ++x) {
            std::uint8_t* p = picture->pixels() + (std::size_t(y) * 1000 + x) * 4;
            p[0] = 255, p[1] = std::uint8_t(x / 4), p[2] = std::uint8_t(y * 255 / 599);
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
    ASSERT_NE(tiles.cachedTile(256, 256), nullptr);
    EXPECT_EQ(Values(tiles.cachedTile(256, 256)->imageRect),
              (std::array<double, 4>{512, 0, 488, 88}));
    for (int j = 0; j < tile.height(); j += 3) {
        for (int i = 0; i < tile.width(); i += 3) {
            const QRgb shown = tile.pixel(i, j);
            const int sx = 512 + 2 * i, sy = 2 * j,
                      value[4] = {0, qRed(shown), qGreen(shown), qBlue(shown)};
            for (int c = 1; c <= 3; ++c) {
                const int sum =
                    PixelByte(*picture, sx, sy, c) + PixelByte(*picture, sx + 1, sy, c) +
                    PixelByte(*picture, sx, sy + 1, c) + PixelByte(*picture, sx + 1, sy + 1, c);
                ASSERT_NEAR(value[c], sum / 4.0, 1.0) << i << "," << j << " channel " << c;
            }
        }
    }

    // Odd sizes at zoom 2 drop the last column and row; the tiles add up to the display size.
    tiles.setImage(PatternImage(1001, 601));
    EXPECT_EQ(tiles.displayWidth(), 500);
    EXPECT_EQ(tiles.displayHeight(), 300);
    EXPECT_EQ(tiles.tileAt(0, 0).width() + tiles.tileAt(256, 0).width(), 500);
    EXPECT_EQ(tiles.tileAt(0, 0).height() + tiles.tileAt(0, 256).height(), 300);
    EXPECT_TRUE(tiles.tileAt(512, 0).isNull());
    EXPECT_TRUE(tiles.tileAt(0, 512).isNull());
}

TEST(TiledImage, CacheFollowsZoomInvalidationAndCleaning) {
    TestApp();
    TiledImage tiles;
    EXPECT_TRUE(tiles.tileAt(0, 0).isNull());  // no picture
    tiles.setImage(PatternImage(1000, 600));
    const TileSet all = AllTiles(tiles);
    tiles.setZoomOut(0);  // below 1 means 1: unchanged, the cache stays
    EXPECT_EQ(tiles.cachedTileCount(), 12u);
    // A source rectangle straddling four tiles drops exactly the tiles whose own source
    // rectangles it meets.
    tiles.invalidateTiles({250, 340, 20, 20});  // source rows 340 … 359: display y 240 … 259
    const TileSet hit{{0, 0}, {256, 0}, {0, 256}, {256, 256}};
    for (auto [x, y] : all) EXPECT_EQ(tiles.cachedTile(x, y) == nullptr, hit.count({x, y}) == 1);
    // Only the tiles meeting the visible display rectangle stay; touching edges do not count.
    AllTiles(tiles);
    tiles.cleanUnusedTiles({0, 0, 256, 300});
    EXPECT_TRUE(tiles.cachedTile(0, 0) && tiles.cachedTile(0, 256) && tiles.cachedTileCount() == 2);
    tiles.setZoomOut(4);  // a new factor empties the cache
    EXPECT_EQ(tiles.cachedTileCount(), 0u);
    EXPECT_EQ(tiles.displayWidth(), 250);
    tiles.tileAt(0, 0);
    tiles.setImage(PatternImage(10, 10));  // so does a new picture
    EXPECT_EQ(tiles.cachedTileCount(), 0u);
}

TEST(TiledImage, DrawingPutsEverySourcePixelInPlace) {
    TestApp();
    ImageRef picture = PatternImage(1000, 600);
    TiledImage tiles;
    tiles.setImage(picture);
    // A part crossing tile seams, drawn at (10, 20) of a 400 × 300 view with y upwards.
    const Rect source{200, 230, 300, 200};
    QImage view(400, 300, QImage::Format_ARGB32_Premultiplied);
    view.fill(QColor(1, 2, 3));
    {
        QPainter painter(&view);
        painter.setTransform(QTransform(1, 0, 0, -1, 0, 300));
        tiles.drawTilesFromRect(painter, source, {10, 20, 300, 200}, {0, 0, 400, 300});
    }
    for (int row = 0; row < 300; ++row) {
        for (int x = 0; x < 400; ++x) {
            const int viewY = 300 - 1 - row;
            const bool inside = x >= 10 && x < 310 && viewY >= 20 && viewY < 220;
            const QRgb expected = inside ? ScreenPixel(*picture, int(source.x) + x - 10,
                                                       600 - 1 - (int(source.y) + viewY - 20))
                                         : qRgb(1, 2, 3);
            ASSERT_EQ(view.pixel(x, row), expected) << x << "," << row;
        }
    }
}
