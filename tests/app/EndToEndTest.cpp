// One whole session of the application, driven through its widgets: open a photograph, click a
// point, watch the first column of candidates fill, choose another candidate, change the mask,
// deblur, paint with the result, apply it to everything and save in the three formats. Each
// screen state is written as a PNG under test-output/screenshots.

#include <gtest/gtest.h>

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <atomic>
#include <cmath>

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

// The mean absolute difference of the colour bytes of two images; infinite for different sizes.
double MeanRgbDifference(const Image& a, const Image& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return INFINITY;
    double sum = 0;
    const std::size_t n = std::size_t(a.width()) * a.height() * 4;
    for (std::size_t i = 0; i < n; ++i)
        if (i % 4 != 0)
            sum += std::abs(int(a.pixels()[i]) - int(b.pixels()[i]));
    return sum / double(n / 4 * 3);
}

bool SameRgb(const Image& a, const Image& b) {
    return MeanRgbDifference(a, b) == 0;
}

}  // namespace

TEST(EndToEnd, OpenPreviewDeblurPaintUndoApplySave) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    Session& session = c.session();
    DeblurMethods methods = DefaultDeblurMethods();
    methods[DeblurMethod::LucyRichard].run = &InvertedChannel;
    session.setMethods(methods);
    l.mainWindow->show();
    ASSERT_TRUE(WaitFor([&] { return l.mainWindow->isVisible(); }));

    // The photograph, with a tag for the metadata copy to carry.
    const QString exiftool = QStandardPaths::findExecutable("exiftool");
    const QString photo = app.temporaryPath("chelsea.png");
    ASSERT_TRUE(QFile::copy(TestDataPath("chelsea.png"), photo));
    QFile::setPermissions(photo, QFile::ReadOwner | QFile::WriteOwner);
    if (!exiftool.isEmpty()) {
        ASSERT_EQ(QProcess::execute(
                      exiftool, {"-q", "-overwrite_original", "-Artist=Velkaro test run", photo}),
                  0);
    }
    ASSERT_TRUE(app.open(photo));
    Spin(20);
    Screenshot(*l.mainWindow, "app_02_photo_loaded");

    // A click with the deblur tool: the deblur screen, the whole small photo as the section, the
    // first column queued.
    l.toolMode->button(1)->click();
    const QPointF centre(l.splitView->width() / 2.0, l.splitView->height() / 2.0);
    Press(*l.splitView, centre);
    Release(*l.splitView, centre);
    EXPECT_TRUE(c.showsDeblurView());
    EXPECT_EQ(c.currentSection().width, 451);
    ImageMatrix& grid = *l.imageMatrix;
    Spin(30);
    Screenshot(*l.mainWindow, "app_03_grid_filling");
    ASSERT_TRUE(WaitFor([&] {
        for (int row = 1; row <= 15; ++row)
            if (grid.entryStateforEntryRow(row, 0) != IMEntryReady)
                return false;
        return true;
    }));

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

    // The mask: type B, shown as the mask itself, then the result with these settings.
    l.maskType->button(1)->click();
    l.maskShow->button(0)->click();
    Spin(20);
    Screenshot(*l.mainWindow, "app_04_candidate_mask_shown");
    l.maskShow->button(1)->click();
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

    // Select the result: side by side with the reconstructed image.
    l.tableView->selectRow(3);
    EXPECT_TRUE(l.splitView->isSplit());
    Spin(20);
    Screenshot(*l.mainWindow, "app_05_results_with_deblur");

    // A brush stroke across the middle of the reconstructed half.
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
    Spin(20);
    Screenshot(*l.mainWindow, "app_06_split_comparison");

    l.applyAllButton->click();
    EXPECT_TRUE(SameRgb(*reconstructed, *result));

    // Save as JPEG, chosen in the panel, with the metadata copied; the panel's name gets the
    // extension.
    app.dialogs.whileSavePanelShows = [&] {
        l.saveOptionFileTypeButton->setCurrentText("JPEG");
        c.savePopupChanged(l.saveOptionFileTypeButton);
    };
    l.saveOptionQualitySlider->setValue(95);
    l.saveOptionTransferMetadata->setChecked(true);
    const QString jpeg = app.temporaryPath("result.jpg");
    app.dialogs.saveAnswers.push_back(app.temporaryPath("result"));
    c.saveResult();
    ASSERT_TRUE(
        WaitFor([&] { return QFile::exists(jpeg) && !c.isBusy() && !l.sheet->isVisible(); }));
    const ImageRef savedJpeg = ImageIO::sharedInstance().readFromFile(jpeg.toStdString());
    ASSERT_TRUE(savedJpeg);
    EXPECT_LT(MeanRgbDifference(*savedJpeg, *result), 3.0);
    if (!exiftool.isEmpty()) {
        QProcess tag;
        tag.start(exiftool, {"-s", "-s", "-s", "-Artist", jpeg});
        tag.waitForFinished(30000);
        EXPECT_EQ(QString::fromUtf8(tag.readAllStandardOutput()).trimmed(), "Velkaro test run");
    }

    // PNG and TIFF keep every pixel.
    l.saveOptionTransferMetadata->setChecked(false);
    for (const char* type : {"PNG", "TIFF"}) {
        l.saveOptionFileTypeButton->setCurrentText(type);
        c.savePopupChanged(l.saveOptionFileTypeButton);
        const QString path =
            app.temporaryPath(QString("result.") + (type[0] == 'P' ? "png" : "tif"));
        ASSERT_TRUE(c.saveResultToPath(path)) << type;
        ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
        const ImageRef saved = ImageIO::sharedInstance().readFromFile(path.toStdString());
        ASSERT_TRUE(saved) << type;
        EXPECT_TRUE(SameRgb(*saved, *result)) << type;
    }
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
}

// Holding Down through the Wiener FIR columns of a large photograph, then Up through the next:
// every cell is computed by the real methods on the pool's threads and the window lives on.
TEST(EndToEnd, HoldingDownThroughTheWienerColumnsOfALargePhoto) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    ImageMatrix& grid = *l.imageMatrix;
    QImage large(4000, 3000, QImage::Format_RGB32);
    {
        QPainter painter(&large);
        painter.fillRect(large.rect(), QBrush(QImage(TestDataPath("coffee.png"))));
    }
    const QString path = app.temporaryPath("large.jpg");
    ASSERT_TRUE(large.save(path, "jpg", 90));
    l.mainWindow->show();
    ASSERT_TRUE(app.open(path));
    c.deblurAtPoint({2500, 1700});
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy() && c.showsDeblurView(); }));
    grid.setSelectedRow(1, DeblurWF2);
    c.changedEntry();
    auto hold = [&](Qt::Key key, int presses) {
        for (int i = 0; i < presses; ++i) {
            QTest::keyClick(l.mainWindow, key);
            Spin(5);  // the keyboard's repeat
        }
    };
    hold(Qt::Key_Down, 29);
    hold(Qt::Key_Right, 1);
    hold(Qt::Key_Up, 29);
    EXPECT_EQ(QPoint(grid.selectedColumn(), grid.selectedRow()), QPoint(DeblurWF3, 1));
    auto computed = [&] {
        for (int column : {DeblurWF2, DeblurWF3})
            for (int row = 1; row <= 30; ++row)
                if (grid.entryStateforEntryRow(row, column) != IMEntryReady)
                    return false;
        return true;
    };
    EXPECT_TRUE(WaitFor(computed, 600000));
    EXPECT_TRUE(l.mainWindow->isVisible());
    EXPECT_TRUE(c.hasFileOpen());
}
