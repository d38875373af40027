// One whole session of the application, driven through its widgets: open a photograph, click a
// point, watch the first column of candidates fill, choose another candidate, change the mask,
// deblur, paint with the result, undo and redo, apply it to everything and save in the three
// formats. Each screen state is written as a PNG under test-output/screenshots.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QImageReader>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableView>
#include <atomic>
#include <map>
#include <mutex>

#include "AppTestSupport.h"
#include "GUI.h"
#include "ImageIO.h"
#include "ImageMatrix.h"
#include "SplitView.h"
#include "TiledImage.h"
#include "ViewsTestSupport.h"

namespace {

// The Richardson-Lucy presets are replaced by a method whose result is known (each channel
// inverted) and which waits while the gate is closed, so that the test can hold a preview in the
// middle of its computation.
std::atomic<bool> gGateOpen{true};
std::atomic<int> gInvertCalls{0};

void InvertedChannel(const CImage& in, CImage& out, int channel, double, int, int, int x, int y,
                     int w, int h) {
    ++gInvertCalls;
    while (!gGateOpen) QThread::msleep(2);
    if (channel < 1 || channel > 3) return;
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* s = in.pixels() + (std::size_t(y + row) * in.width() + x) * 4;
        std::uint8_t* d = out.pixels() + std::size_t(row) * out.width() * 4;
        for (int col = 0; col < w; ++col) d[col * 4 + channel] = std::uint8_t(255 - s[col * 4 + channel]);
    }
}

// Events as the session sends them, counted per type and entry.
struct EventCounter {
    SessionEventCallback forward = nullptr;
    void* context = nullptr;
    std::mutex mutex;
    std::map<std::tuple<int, int, int>, int> counts;  // type, step, deblur type

    int count(int type, int step, int deblurType) {
        std::lock_guard<std::mutex> guard(mutex);
        return counts[{type, step, deblurType}];
    }
    static void Callback(Session* session, SessionEvent event, void* context) {
        auto* self = static_cast<EventCounter*>(context);
        {
            std::lock_guard<std::mutex> guard(self->mutex);
            ++self->counts[{event.eventType, event.deblurredEntry.radiusStep,
                            int(event.deblurredEntry.deblurType)}];
        }
        self->forward(session, event, self->context);
    }
};

void Screenshot(QWidget& window, const char* name) {
    const QString path = AppScreenshotDir() + "/" + name + ".png";
    QImage picture(window.size(), QImage::Format_ARGB32_Premultiplied);
    picture.fill(QColor(24, 24, 24));
    window.render(&picture, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    ASSERT_TRUE(picture.save(path)) << qPrintable(path);
}

// Where an image pixel of the reconstructed (right) half of a split view is, in widget
// coordinates; zoom 1.
QPointF RightHalfWidgetPoint(const SplitView& view, double x, double y) {
    const double H = view.refocusedTiles().displayHeight();
    const double viewX = x - view.offset().x() + view.width() / 2;
    const double viewY = H - y - view.offset().y();
    return QPointF(viewX, view.height() - viewY);
}

QPointF CentreOfCell(const ImageMatrix& grid, int row, int column) {
    return grid.cellRect(row, column).center();
}

bool SameRgb(const Image& a, const Image& b, int tolerance) {
    if (a.width() != b.width() || a.height() != b.height()) return false;
    const std::uint8_t* p = a.pixels();
    const std::uint8_t* q = b.pixels();
    for (std::size_t i = 0; i < std::size_t(a.width()) * a.height() * 4; ++i) {
        if (i % 4 == 0) continue;
        if (std::abs(int(p[i]) - int(q[i])) > tolerance) return false;
    }
    return true;
}

double MeanRgbDifference(const Image& a, const Image& b) {
    double sum = 0;
    const std::size_t n = std::size_t(a.width()) * a.height();
    for (std::size_t i = 0; i < n * 4; ++i)
        if (i % 4 != 0) sum += std::abs(int(a.pixels()[i]) - int(b.pixels()[i]));
    return sum / double(n * 3);
}

QString ExiftoolTag(const QString& file, const QString& tag) {
    QProcess process;
    process.start(QStandardPaths::findExecutable("exiftool"), {"-s", "-s", "-s", "-" + tag, file});
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

}  // namespace

TEST(EndToEnd, OpenPreviewDeblurPaintUndoApplySave) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    Session& session = c.session();
    session.mMethods.lucyRichard = &InvertedChannel;
    EventCounter counter;
    counter.forward = session.mCallback;
    counter.context = session.mCallbackContext;
    session.mCallback = &EventCounter::Callback;
    session.mCallbackContext = &counter;

    l.mainWindow->show();
    ASSERT_TRUE(WaitFor([&] { return l.mainWindow->isVisible(); }));
    Spin(20);
    Screenshot(*l.mainWindow, "app_01_empty_window");
    // The progress sheet and the preferences window, as they look.
    c.startModal("Opening image");
    Spin(20);
    EXPECT_TRUE(l.sheet->isVisible());
    Screenshot(*l.sheet, "app_08_progress_sheet");
    c.doneModal();
    EXPECT_FALSE(l.sheet->isVisible());
    l.preferencesAction->trigger();
    EXPECT_TRUE(l.preferencesWindow->isVisible());
    Spin(20);
    Screenshot(*l.preferencesWindow, "app_09_preferences");
    l.preferencesWindow->hide();

    // The photograph, with a tag for the metadata copy to carry.
    const QString exiftool = QStandardPaths::findExecutable("exiftool");
    const QString photo = app.temporaryPath("chelsea.png");
    ASSERT_TRUE(QFile::copy(TestDataPath("chelsea.png"), photo));
    QFile::setPermissions(photo, QFile::ReadOwner | QFile::WriteOwner);
    if (!exiftool.isEmpty()) {
        ASSERT_EQ(QProcess::execute(exiftool, {"-q", "-overwrite_original",
                                               "-Artist=Velkaro test run", photo}), 0);
    }
    ASSERT_TRUE(app.open(photo));
    EXPECT_TRUE(c.hasFileOpen());
    EXPECT_EQ(l.splitView->selectedImage(), session.mOriginalImage->asImage());
    Spin(20);
    Screenshot(*l.mainWindow, "app_02_photo_loaded");

    // A click with the deblur tool: the deblur screen, the whole small photo as the section.
    l.toolMode->button(1)->click();
    const QPointF centre(l.splitView->width() / 2.0, l.splitView->height() / 2.0);
    Press(*l.splitView, centre);
    Release(*l.splitView, centre);
    EXPECT_TRUE(c.showsDeblurView());
    EXPECT_EQ(c.currentSection().width, 451);
    EXPECT_EQ(c.currentSection().height, 300);
    ImageMatrix& grid = *l.imageMatrix;
    for (int row = 1; row <= 15; ++row) EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryNothing);
    EXPECT_EQ(grid.entryStateforEntryRow(16, 0), IMEntryNothing);
    EXPECT_EQ(grid.entryStateforEntryRow(1, 1), IMEntryNothing);
    Spin(30);
    Screenshot(*l.mainWindow, "app_03_grid_filling");

    ASSERT_TRUE(WaitFor([&] {
        for (int row = 1; row <= 15; ++row)
            if (grid.entryStateforEntryRow(row, 0) != IMEntryReady) return false;
        return true;
    }));
    // Every step of the batch ran once; the selected cell's preview replaced the placeholder.
    for (int row = 1; row <= 15; ++row) EXPECT_EQ(counter.count(PreviewFinished, row, 0), 1) << row;
    EXPECT_EQ(grid.selectedRow(), 1);
    EXPECT_EQ(grid.selectedColumn(), 0);
    ASSERT_TRUE(l.previewSplitView->selectedImage());
    EXPECT_EQ(l.previewSplitView->selectedImage()->width(), 451);
    EXPECT_EQ(l.previewLabel->text(), "USM1 0.5");

    // Another cell, chosen twice while its preview is still computing: requested once.
    gGateOpen = false;
    const int callsBefore = gInvertCalls;
    Press(grid, CentreOfCell(grid, 4, DeblurRL20));
    EXPECT_EQ(grid.selectedRow(), 4);
    EXPECT_EQ(grid.selectedColumn(), int(DeblurRL20));
    EXPECT_EQ(grid.entryStateforEntryRow(4, DeblurRL20), IMEntryQueued);
    EXPECT_EQ(l.previewLabel->text(), "RL20 2.0");
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryProcessing; }));
    Press(grid, CentreOfCell(grid, 4, DeblurRL20));
    c.changedEntry();
    gGateOpen = true;
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryReady; }));
    Spin(50);
    EXPECT_EQ(counter.count(PreviewStarted, 4, DeblurRL20), 1);
    EXPECT_EQ(gInvertCalls - callsBefore, 3);  // three channels, one computation
    const ImageRef preview = l.previewSplitView->selectedImage();
    ASSERT_TRUE(preview);
    EXPECT_EQ(PixelByte(*preview, 200, 100, 1),
              255 - PixelByte(*session.mOriginalImage->asImage(), 200, 100, 1));

    // The mask: type B, shown as the mask itself, then the result at half strength.
    l.maskType->button(1)->click();
    l.maskShow->button(0)->click();
    const ImageRef maskPicture = l.previewSplitView->selectedImage();
    ASSERT_TRUE(maskPicture);
    EXPECT_EQ(PixelByte(*maskPicture, 200, 100, 1), PixelByte(*maskPicture, 200, 100, 2));
    Spin(20);
    Screenshot(*l.mainWindow, "app_04_candidate_mask_shown");
    l.maskShow->button(1)->click();
    l.maskAmount->setFloatValue(0.5f);
    l.maskRadius->setFloatValue(3.0f);
    l.maskCrude->setFloatValue(0.5f);

    // Deblur: back to the main screen, a "processing" row, then the result with its thumbnail.
    l.deblurButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    // The task took the controls' values when the button was pressed.
    l.maskAmount->setFloatValue(0.9f);
    l.maskAmount->setFloatValue(0.5f);
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4; }));
    EXPECT_EQ(c.images()[3].value("name").toString(), "RL20 2.0\n [B, 50%,\n 3.0, 0.5]");
    ASSERT_TRUE(WaitFor([&] { return c.images()[3].value("done").toInt() == 1; }));
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
    EXPECT_EQ(counter.count(DeblurStarted, 4, DeblurRL20), 1);
    const QImage thumbnail = c.images()[3].value("preview").value<QImage>();
    EXPECT_EQ(thumbnail.size(), QSize(256, 170));
    const DeblurredEntry entry{DeblurRL20, 4, -1, MaskSettings{1, 3.0f, 0.5f, 0.5f}};
    const ImageRef result = session.deblurredImage(entry);
    ASSERT_TRUE(result);
    // The thumbnail shows the result, not the original.
    const ImageRef expectedThumbnail = result->thumbnailForSection(c.currentSection());
    EXPECT_EQ(qRed(thumbnail.pixel(128, 85)), PixelByte(*expectedThumbnail, 128, 85, 1));

    // Select the result: side by side with the reconstructed image.
    l.tableView->selectRow(3);
    EXPECT_TRUE(l.splitView->isSplit());
    EXPECT_EQ(l.leftLabel->text(), "RL20 2.0 [B, 50%, 3.0, 0.5]");
    Spin(20);
    Screenshot(*l.mainWindow, "app_05_results_with_deblur");

    // A brush stroke across the middle of the reconstructed half.
    const ImageRef reconstructed = session.mReconstructedImage->asImage();
    const ImageRef original = session.mOriginalImage->asImage()->copy();
    l.toolMode->button(2)->click();
    l.brushSize->setFloatValue(40);
    l.brushOpacity->setFloatValue(1.0f);
    Press(*l.splitView, RightHalfWidgetPoint(*l.splitView, 150, 150));
    for (int x = 160; x <= 250; x += 10) Drag(*l.splitView, RightHalfWidgetPoint(*l.splitView, x, 150));
    Release(*l.splitView, RightHalfWidgetPoint(*l.splitView, 250, 150));
    EXPECT_NEAR(PixelByte(*reconstructed, 200, 150, 1), PixelByte(*result, 200, 150, 1), 1);
    EXPECT_EQ(PixelByte(*reconstructed, 20, 20, 1), PixelByte(*original, 20, 20, 1));
    EXPECT_EQ(PixelByte(*reconstructed, 200, 250, 2), PixelByte(*original, 200, 250, 2));
    const ImageRef painted = reconstructed->copy();
    Spin(20);
    Screenshot(*l.mainWindow, "app_06_split_comparison");

    // Undo and redo through the Edit menu.
    l.undoAction->trigger();
    EXPECT_TRUE(SameRgb(*reconstructed, *original, 0));
    l.redoAction->trigger();
    EXPECT_TRUE(SameRgb(*reconstructed, *painted, 0));

    // Apply to all.
    l.applyAllButton->click();
    EXPECT_TRUE(SameRgb(*reconstructed, *result, 0));
    l.undoAction->trigger();
    EXPECT_TRUE(SameRgb(*reconstructed, *painted, 0));
    l.redoAction->trigger();
    EXPECT_TRUE(SameRgb(*reconstructed, *result, 0));

    // Save as JPEG with the metadata copied; the panel's screenshot is of the real one.
    {
        SheetDialogs real;
        real.beginSavePanel(l.mainWindow, l.saveOptionView, {"jpg", "jpeg"}, nullptr);
        ASSERT_TRUE(real.runningSavePanel());
        l.saveOptionFileTypeButton->setCurrentText("JPEG");
        c.savePopupChanged(nullptr);
        real.runningSavePanel()->resize(900, 560);
        Spin(30);
        Screenshot(*real.runningSavePanel(), "app_07_save_dialog");
        real.runningSavePanel()->reject();
        Spin(10);
        EXPECT_EQ(l.saveOptionView->parentWidget(), l.mainWindow);
    }
    l.saveOptionFileTypeButton->setCurrentText("JPEG");
    c.savePopupChanged(l.saveOptionFileTypeButton);
    l.saveOptionQualitySlider->setValue(95);
    l.saveOptionTransferMetadata->setChecked(true);
    const QString jpeg = app.temporaryPath("result.jpg");
    app.dialogs.saveAnswers.push_back(app.temporaryPath("result"));  // the extension is added
    c.saveResult();
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(jpeg) && !c.isBusy() && !l.sheet->isVisible(); }));
    const ImageRef savedJpeg = ImageIO::sharedInstance().readFromFile(jpeg.toStdString());
    ASSERT_TRUE(savedJpeg);
    EXPECT_EQ(savedJpeg->width(), 451);
    EXPECT_LT(MeanRgbDifference(*savedJpeg, *result), 3.0);
    if (!exiftool.isEmpty()) {
        EXPECT_EQ(ExiftoolTag(jpeg, "Artist"), "Velkaro test run");
    }
    EXPECT_EQ(app.settings().value("qualitySliderLastUsedValue").toInt(), 95);

    // PNG and TIFF keep every pixel.
    l.saveOptionTransferMetadata->setChecked(false);
    for (const char* type : {"PNG", "TIFF"}) {
        l.saveOptionFileTypeButton->setCurrentText(type);
        c.savePopupChanged(l.saveOptionFileTypeButton);
        const QString path = app.temporaryPath(QString("result.") + (type[0] == 'P' ? "png" : "tif"));
        ASSERT_TRUE(c.saveResultToPath(path)) << type;
        const ImageRef saved = ImageIO::sharedInstance().readFromFile(path.toStdString());
        ASSERT_TRUE(saved) << type;
        EXPECT_TRUE(SameRgb(*saved, *result, 0)) << type;
        EXPECT_EQ(QString(QImageReader::imageFormat(path)), type[0] == 'P' ? "png" : "tiff");
    }
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
}
