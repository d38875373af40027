#include <gtest/gtest.h>

#include "TiledImage.h"
#include "ViewsTestSupport.h"

using namespace velkaro;

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
