// A photograph of 16 bits a sample through the window: named in the title, deblurred, brushed,
// undone and saved at full depth (or at 8 bits when the save panel says so).

#include <gtest/gtest.h>

#include <QComboBox>
#include <random>

#include "AppTestSupport.h"
#include "ImageIO.h"

using namespace velkaro;

using DepthTest = AppTest;

namespace {

std::vector<std::uint16_t> Samples(const Image& image) {
    const auto* p = reinterpret_cast<const std::uint16_t*>(image.pixels());
    return {p, p + std::size_t(image.width()) * image.height() * 4};
}

}  // namespace

TEST_F(DepthTest, SixteenBitsThroughBrushUndoAndSave) {
    // Smooth colours with a little noise below 8 bits' reach.
    const int W = 160, H = 120;
    auto photo = Image::create(W, H, 16);
    std::mt19937 random(3);
    auto* p = reinterpret_cast<std::uint16_t*>(photo->pixels());
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x, p += 4) {
            p[0] = 65535;
            p[1] = std::uint16_t(9000 + 200 * x + random() % 64);
            p[2] = std::uint16_t(5000 + 300 * y + random() % 64);
            p[3] = std::uint16_t(30000 + 100 * (x + y) % 20000 + random() % 64);
        }
    const QString path = app.temporaryPath("deep.png");
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(photo, path.toStdString()));
    ASSERT_TRUE(app.open(path));
    EXPECT_TRUE(l.mainWindow->windowTitle().contains("16-bit RGB"));
    EXPECT_EQ(l.saveOptionDepthButton->currentIndex(), 1);
    const std::vector<std::uint16_t> original = Samples(*c.session().reconstructed()->asImage());
    ASSERT_EQ(original, Samples(*photo));

    // A deblur (USM1, the 8-bit unsharp mask, at 16 bits), painted in with one stroke.
    grid.setSelectedRow(4, 0);
    c.addDeblur();
    ASSERT_TRUE(WaitFor([&] {
        return c.images().size() == 4 && std::all_of(c.images().begin(), c.images().end(),
                                                     [](auto& row) { return row.done; });
    }));
    l.tableView->selectRow(3);
    ASSERT_TRUE(WaitFor([&] {
        const ImageRef shown = l.splitView->selectedImage();
        return shown && shown != c.session().original()->asImage();
    }));
    c.startBrush();
    c.applyBrushAtPoint({80, 60}, 40, 1.0f);
    c.endBrush();
    const CImage* composite = c.session().reconstructed();
    ASSERT_EQ(composite->depth(), 16);
    const std::vector<std::uint16_t> brushed = Samples(*composite->asImage());
    ASSERT_NE(brushed, original);
    // The painted samples keep levels between those of 8 bits.
    EXPECT_TRUE(std::any_of(brushed.begin(), brushed.end(), [](int v) { return v % 257 != 0; }));

    l.undoAction->trigger();
    EXPECT_EQ(Samples(*c.session().reconstructed()->asImage()), original);
    l.redoAction->trigger();
    EXPECT_EQ(Samples(*c.session().reconstructed()->asImage()), brushed);

    // Saved as deep as it was read, in both lossless formats; 8 bits when chosen.
    for (const char* name : {"saved.png", "saved.tif"}) {
        const QString saved = app.temporaryPath(name);
        l.saveOptionFileTypeButton->setCurrentText(QString(name).endsWith("png") ? "PNG" : "TIFF");
        ASSERT_TRUE(SaveAndWait(c, saved));
        const ImageRef read = ImageIO::sharedInstance().readFromFile(saved.toStdString());
        ASSERT_TRUE(read && read->depth() == 16) << name;
        EXPECT_EQ(Samples(*read), brushed) << name;
    }
    l.saveOptionDepthButton->setCurrentIndex(0);
    l.saveOptionFileTypeButton->setCurrentText("PNG");
    ASSERT_TRUE(SaveAndWait(c, app.temporaryPath("narrow.png")));
    const ImageRef narrow =
        ImageIO::sharedInstance().readFromFile(app.temporaryPath("narrow.png").toStdString());
    ASSERT_TRUE(narrow && narrow->depth() == 8);
    EXPECT_EQ(*narrow->data(), *ImageAtDepth(c.session().reconstructed()->asImage(), 8)->data());
}
