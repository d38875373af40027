// One whole session of the application, driven through its widgets: open a photograph, click a
// point, watch the first column of candidates fill, choose another candidate, change the mask,
// deblur, paint with the result, apply it to everything and save in the three formats.

#include <gtest/gtest.h>

#include <atomic>

#include "../images/ImageTestSupport.h"
#include "AppTestSupport.h"
#include "ImageIO.h"
#include "TiledImage.h"

using namespace velkaro;

namespace {

// Stands in for the Richardson-Lucy presets: each channel inverted, so the result is known, and
// held while the gate is closed, so that a preview can be caught in the middle of its work.
std::atomic<bool> gGateOpen{true};
std::atomic<int> gInvertCalls{0};

bool InvertedChannel(const MethodCall& call) {
    const CImage& in = call.in;
    CImage& out = call.out;
    const int channel = call.channel, x = call.region.x, y = call.region.y, w = call.region.w,
              h = call.region.h;
    if (call.radius == 2.0 && call.parameter == 20)  // RL20 at step 4, the cell the test follows
        ++gInvertCalls;
    while (!gGateOpen) QThread::msleep(2);
    if (channel < 1 || channel > 3)
        return true;
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* s = in.pixels() + (std::size_t(y + row) * in.width() + x) * 4;
        std::uint8_t* d = out.pixels() + std::size_t(row) * out.width() * 4;
        for (int col = 0; col < w; ++col)
            d[col * 4 + channel] = std::uint8_t(255 - s[col * 4 + channel]);
    }
    return true;
}

// Where an image pixel of the right half of a split view at zoom 1 is, in widget coordinates.
QPointF RightHalfWidgetPoint(const SplitView& view, double x, double y) {
    const double H = view.refocusedTiles().displayHeight();
    return QPointF(x - view.offset().x() + view.width() / 2,
                   view.height() - (H - y - view.offset().y()));
}

}  // namespace

using EndToEnd = AppTest;

TEST_F(EndToEnd, OpenPreviewDeblurPaintUndoApplySave) {
    Session& session = c.session();
    DeblurMethods methods = DefaultDeblurMethods();
    methods[DeblurMethod::LucyRichard].run = &InvertedChannel;
    session.setMethods(methods);
    l.mainWindow->show();
    ASSERT_TRUE(WaitFor([&] { return l.mainWindow->isVisible(); }));
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));

    // A click with the deblur tool: the deblur screen, the whole small photo as the section, the
    // first column queued.
    l.toolMode->button(1)->click();
    const QPointF centre(l.splitView->width() / 2.0, l.splitView->height() / 2.0);
    Press(*l.splitView, centre);
    Release(*l.splitView, centre);
    EXPECT_TRUE(c.showsDeblurView());
    EXPECT_EQ(c.currentSection().width, 451);
    ASSERT_TRUE(WaitFor([&] { return ColumnIs(grid, IMEntryReady); }));

    // Another cell, chosen twice while its preview is still computing: computed once.
    gGateOpen = false;
    const int callsBefore = gInvertCalls;
    const QPointF cell = grid.cellRect(4, DeblurRL20).center();
    Press(grid, cell);
    EXPECT_EQ(grid.selectedRow(), 4);
    ASSERT_TRUE(
        WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryProcessing; }));
    Press(grid, cell);
    c.changedEntry();
    gGateOpen = true;
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryReady; }));
    Spin(50);
    EXPECT_EQ(gInvertCalls - callsBefore, 3);  // three channels, one computation
    const ImageRef preview = l.previewSplitView->selectedImage();
    ASSERT_TRUE(preview);
    EXPECT_EQ(PixelByte(*preview, 200, 100, 1),
              255 - PixelByte(*session.original()->asImage(), 200, 100, 1));

    // The mask: type B with these settings.
    l.maskType->button(1)->click();
    l.maskAmount->setFloatValue(0.5f);
    l.maskRadius->setFloatValue(3.0f);
    l.maskCrude->setFloatValue(0.5f);

    // Deblur: back to the main screen; the task took the controls' values when the button was
    // pressed, whatever they are later. Then the result row with its thumbnail.
    l.deblurButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    l.maskAmount->setFloatValue(0.9f);
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4 && c.images()[3].done; }));
    l.maskAmount->setFloatValue(0.5f);
    const ImageRef result =
        session.deblurredImage({DeblurRL20, 4, -1, MaskSettings{1, 3.0f, 0.5f, 0.5f}});
    ASSERT_TRUE(result);
    // The thumbnail shows the result, not the original.
    EXPECT_EQ(qRed(c.images()[3].preview.pixel(128, 85)),
              PixelByte(*result->thumbnailForSection(c.currentSection()), 128, 85, 1));

    // Select the result, side by side with the reconstructed image, and paint across the middle
    // of the reconstructed half.
    l.tableView->selectRow(3);
    const ImageRef reconstructed = session.reconstructed()->asImage();
    const ImageRef original = session.original()->asImage()->copy();
    l.toolMode->button(2)->click();
    l.zoomMode->button(SplitView::ZoomOut1)->click();
    l.brushSize->setFloatValue(40);
    l.brushOpacity->setFloatValue(1.0f);
    Press(*l.splitView, RightHalfWidgetPoint(*l.splitView, 150, 150));
    for (int x = 160; x <= 250; x += 10)
        Drag(*l.splitView, RightHalfWidgetPoint(*l.splitView, x, 150));
    Release(*l.splitView, RightHalfWidgetPoint(*l.splitView, 250, 150));
    EXPECT_NEAR(PixelByte(*reconstructed, 200, 150, 1), PixelByte(*result, 200, 150, 1), 1);
    EXPECT_EQ(PixelByte(*reconstructed, 20, 20, 1), PixelByte(*original, 20, 20, 1));
    EXPECT_EQ(PixelByte(*reconstructed, 200, 250, 2), PixelByte(*original, 200, 250, 2));

    l.applyAllButton->click();
    EXPECT_EQ(testsupport::compare(*reconstructed, *result).maxAbs, 0);

    // Saved in each type (the type chosen in the panel is WindowTest's): the JPEG close at quality
    // 95, PNG and TIFF with every pixel.
    l.saveOptionQualitySlider->setValue(95);
    for (const char* type : {"JPEG", "PNG", "TIFF"}) {
        l.saveOptionFileTypeButton->setCurrentText(type);
        c.savePopupChanged(l.saveOptionFileTypeButton);
        const QString path = app.temporaryPath("result.") + QString(type).toLower();
        ASSERT_TRUE(SaveAndWait(c, path)) << type;
        const ImageRef saved = ImageIO::sharedInstance().readFromFile(path.toStdString());
        ASSERT_TRUE(saved) << type;
        const testsupport::Difference difference = testsupport::compare(*saved, *result);
        EXPECT_TRUE(type[0] == 'J' ? difference.meanAbs < 3 : difference.maxAbs == 0) << type;
    }
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
}
