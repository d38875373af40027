// The window controller without a full run: sections, labels, the grid's keyboard moves, event
// dictionaries, menus, settings, the save options, alerts, failures, exiftool and undo.

#include <gtest/gtest.h>

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSlider>
#include <QAbstractButton>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "DeblurMethods.h"
#include "Dispatch.h"
#include "GUI.h"
#include "ImageIO.h"
#include "ImageMatrix.h"
#include "SplitView.h"
#include "ViewsTestSupport.h"

namespace {

void ExpectRect(const Rect& r, double x, double y, double w, double h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

QStringList MenuTitles(QMenuBar* bar) {
    QStringList titles;
    std::function<void(QMenu*)> walk = [&](QMenu* menu) {
        titles << menu->title();
        for (QAction* item : menu->actions()) {
            if (!item->isSeparator()) titles << item->text();
            if (item->menu()) walk(item->menu());
        }
    };
    for (QAction* item : bar->actions())
        if (item->menu()) walk(item->menu());
    return titles;
}

// A shell script that writes its arguments, one a line, to `record`, and floods its standard
// output (a program whose output nobody reads would block).
QString FakeExiftool(const QString& folder, const QString& record) {
    const QString path = QDir(folder).filePath("exiftool");
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QString("#!/bin/sh\n"
                         "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                         "head -c 300000 /dev/zero\n")
                     .arg(record)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

TEST(Controller, PreviewSectionExamples) {
    ExpectRect(PreviewSection({150, 100}, 300, 200), 0, 0, 300, 200);
    ExpectRect(PreviewSection({299, 0}, 300, 200), 0, 0, 300, 200);
    ExpectRect(PreviewSection({100, 1400}, 2000, 1500), 0, 988, 512, 512);
    ExpectRect(PreviewSection({1000, 700}, 2000, 1500), 744, 444, 512, 512);
}

TEST(Controller, PreviewSectionLiesInsideAndCentresWherePossible) {
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        const int W = 1 + int(random() % 1500), H = 1 + int(random() % 1500);
        const double px = double(random() % W) + 0.5, py = double(random() % H) + 0.5;
        const Rect r = PreviewSection({px, py}, W, H);
        ASSERT_EQ(r.width, std::min(W, 512));
        ASSERT_EQ(r.height, std::min(H, 512));
        ASSERT_GE(r.x, 0);
        ASSERT_GE(r.y, 0);
        ASSERT_LE(r.x + r.width, W);
        ASSERT_LE(r.y + r.height, H);
        // Centred on the point unless an edge of the image is in the way.
        const int cx = int(px - 256), cy = int(py - 256);
        if (W >= 512 && cx >= 0 && cx + 512 < W) {
            ASSERT_EQ(r.x, cx);
        }
        if (H >= 512 && cy >= 0 && cy + 512 < H) {
            ASSERT_EQ(r.y, cy);
        }
    }
}

TEST(Controller, DeblurLabelsAndGridNames) {
    DeblurredEntry entry{DeblurRL40, 5, -1, MaskSettings{1, 3.0f, 0.5f, 0.5f}};
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5\n [B, 50%,\n 3.0, 0.5]");
    entry.maskSettings.opacity = 0.0f;
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5");
    // The percentage is truncated; a tie of "%.1f" rounds to even, as printf does.
    entry.maskSettings = MaskSettings{7, 2.0f, 0.555f, 0.25f};
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5\n [err, 55%,\n 2.0, 0.2]");
    entry.maskSettings.type = -1;
    EXPECT_TRUE(DeblurLabel(entry).contains("[err,"));
    entry.deblurType = DeblurType(22);
    entry.maskSettings.opacity = 0.0f;
    EXPECT_EQ(DeblurLabel(entry), "bad_deblur_type 2.5");

    AppHarness app;
    Controller& c = app.controller();
    EXPECT_EQ(c.nameForRow(1), "0.5");
    EXPECT_EQ(c.nameForRow(5), "2.5");
    EXPECT_EQ(c.nameForRow(30), "15.0");
    const char* names[] = {"USM1", "USM2", "USM3", "USM4", "USM5", "USMF1", "USMF2", "USMF3",
                           "USMF4", "USMF5", "WF2", "WF3", "WI2", "WI3", "RL20", "RL40",
                           "RL80", "RT20", "RT40", "RT80", "LA1", "LA2"};
    for (int column = 0; column < 22; ++column) EXPECT_EQ(c.nameForColumn(column), names[column]);
    EXPECT_EQ(c.nameForColumn(22), "bad_deblur_type");
    EXPECT_EQ(c.nameForColumn(23), "FR");
    EXPECT_EQ(c.nameForColumn(24), "effect");
    EXPECT_EQ(c.nameForColumn(25), "bad_deblur_type");
    EXPECT_EQ(c.nameForColumn(-1), "bad_deblur_type");
    EXPECT_EQ(app.layout().imageMatrix->rows(), 31);
    EXPECT_EQ(app.layout().imageMatrix->columns(), 22);
}

TEST(Controller, EventDictionariesOfOneDeblurCompareEqual) {
    const DeblurredEntry entry{DeblurRL20, 6, -1, MaskSettings{0, 2.0f, 0.5f, 0.25f}};
    QVariantMap started = EventDictionary(SessionEvent{DeblurStarted, entry});
    QVariantMap finished = EventDictionary(SessionEvent{DeblurFinished, entry});
    EXPECT_EQ(started.value("eventType").toInt(), 0);
    EXPECT_EQ(finished.value("eventType").toInt(), 1);
    EXPECT_EQ(started.value("deblurredEntry.radiusStep").toInt(), 6);
    EXPECT_EQ(started.value("deblurredEntry.maskSettings.crudeness").toFloat(), 0.25f);
    EXPECT_NE(started, finished);
    started.remove("eventType");
    finished.remove("eventType");
    EXPECT_EQ(started, finished);

    DeblurredEntry other = entry;
    other.maskSettings.opacity = 0.75f;
    QVariantMap different = EventDictionary(SessionEvent{DeblurFinished, other});
    different.remove("eventType");
    EXPECT_NE(started, different);

    // Without masks the floats do not matter to the key.
    const DeblurredEntry a{DeblurUSM1, 1, -1, MaskSettings{-1, 1.0f, 0.2f, 0.3f}};
    const DeblurredEntry b{DeblurUSM1, 1, -1, MaskSettings{-1, 4.0f, 0.9f, 0.1f}};
    EXPECT_TRUE(DBO(a) == DBO(b));
    EXPECT_FALSE(DBO(entry) == DBO(other));
}

TEST(Controller, MenusCarryTheApplicationName) {
    AppHarness app;
    const QStringList titles = MenuTitles(app.layout().menuBar);
    EXPECT_TRUE(titles.contains("Velkaro"));
    EXPECT_TRUE(titles.contains("About Velkaro"));
    EXPECT_TRUE(titles.contains("Quit Velkaro"));
    EXPECT_TRUE(titles.contains("Velkaro Tutorial"));
    for (const QString& title : titles) EXPECT_FALSE(title.contains("xxxx")) << qPrintable(title);
    EXPECT_EQ(app.layout().mainWindow->windowTitle(), "Velkaro");

    // Submenus, however deep.
    QMenu top("xxxx tools");
    QMenu* sub = top.addMenu("More of xxxx");
    sub->addAction("xxxx and xxxx");
    FixMenu(&top, "Name");
    EXPECT_EQ(top.title(), "Name tools");
    EXPECT_EQ(sub->title(), "More of Name");
    EXPECT_EQ(sub->actions().first()->text(), "Name and Name");
}

TEST(Controller, KeyboardMovesStayInsideTheGrid) {
    AppHarness app;
    Controller& c = app.controller();
    ImageMatrix& grid = *app.layout().imageMatrix;
    grid.setSelectedRow(1, 0);
    c.moveSelection(2);
    EXPECT_EQ(grid.selectedRow(), 1);
    c.moveSelection(0);
    EXPECT_EQ(grid.selectedColumn(), 0);
    grid.setSelectedRow(30, 21);
    c.moveSelection(3);
    EXPECT_EQ(grid.selectedRow(), 30);
    c.moveSelection(1);
    EXPECT_EQ(grid.selectedColumn(), 21);
    c.moveSelection(2);
    c.moveSelection(0);
    EXPECT_EQ(grid.selectedRow(), 29);
    EXPECT_EQ(grid.selectedColumn(), 20);
    // Row 0 holds only two columns.
    grid.setSelectedRow(0, 1);
    c.moveSelection(1);
    EXPECT_EQ(grid.selectedColumn(), 1);
    // Without a photograph a move requests nothing.
    grid.setSelectedRow(4, 4);
    c.moveSelection(3);
    EXPECT_EQ(grid.entryStateforEntryRow(5, 4), IMEntryNothing);
}

TEST(Controller, SettingsRoundTrip) {
    QTemporaryDir folder;
    const QString file = folder.filePath("velkaro.ini");
    {
        AppHarness app(file);
        const WindowLayout& l = app.layout();
        // Nothing stored: the layout's values stay.
        EXPECT_EQ(l.saveOptionFileTypeButton->currentText(), "PNG");
        EXPECT_EQ(l.saveOptionQualitySlider->value(), 90);
        EXPECT_FALSE(l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView));
        EXPECT_EQ(l.saveOptionQualityValue->text(), "90");

        l.allowAnonStats->setChecked(true);
        app.controller().saveDefaults(l.allowAnonStats);
        l.saveOptionTransferMetadata->setChecked(true);
        app.controller().saveDefaults(l.saveOptionTransferMetadata);
        l.saveOptionFileTypeButton->setCurrentText("TIFF");
        app.controller().savePopupChanged(l.saveOptionFileTypeButton);
        l.saveOptionQualitySlider->setValue(37);
        app.controller().saveDefaults(l.saveOptionQualitySlider);
        // A control that is none of the four stores nothing.
        app.controller().saveDefaults(l.maskAmount);
        app.settings().sync();
        EXPECT_EQ(app.settings().allKeys().size(), 4);
    }
    QSettings raw(file, QSettings::IniFormat);
    EXPECT_EQ(raw.value("allowAnonStats").toInt(), 1);
    EXPECT_EQ(raw.value("transferMetadataFromSource").toInt(), 1);
    EXPECT_EQ(raw.value("fileTypeToSave").toString(), "TIFF");
    EXPECT_EQ(raw.value("qualitySliderLastUsedValue").toInt(), 37);

    AppHarness again(file);
    const WindowLayout& l = again.layout();
    EXPECT_TRUE(l.allowAnonStats->isChecked());
    EXPECT_TRUE(l.saveOptionTransferMetadata->isChecked());
    EXPECT_EQ(l.saveOptionFileTypeButton->currentText(), "TIFF");
    EXPECT_EQ(l.saveOptionQualitySlider->value(), 37);
    EXPECT_EQ(l.saveOptionQualityValue->text(), "37");
    // TIFF at start: the quality controls are hidden.
    EXPECT_FALSE(l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView));
    EXPECT_FALSE(l.saveOptionQualityLabel->isVisibleTo(l.saveOptionView));
    EXPECT_EQ(again.controller().currentlyAllowedFileTypes(), QStringList({"tif", "tiff"}));
}

TEST(Controller, SavePanelFollowsTheFileType) {
    AppHarness app;
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    l.saveOptionQualitySlider->setValue(55);
    app.dialogs.whileSavePanelShows = [&] {
        EXPECT_TRUE(c.savePanelIsRunning());
        l.saveOptionFileTypeButton->setCurrentText("JPEG");
        c.savePopupChanged(l.saveOptionFileTypeButton);
        EXPECT_TRUE(l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView));
        EXPECT_TRUE(l.saveOptionQualityValue->isVisibleTo(l.saveOptionView));
        l.saveOptionFileTypeButton->setCurrentText("PNG");
        c.savePopupChanged(l.saveOptionFileTypeButton);
        EXPECT_FALSE(l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView));
        EXPECT_FALSE(l.saveOptionQualityLabel->isVisibleTo(l.saveOptionView));
    };
    c.saveResult();  // cancelled
    ASSERT_TRUE(WaitFor([&] { return !c.savePanelIsRunning(); }));
    ASSERT_EQ(app.dialogs.savePanelTypes.size(), 3);
    EXPECT_EQ(app.dialogs.savePanelTypes[0], QStringList({"png"}));
    EXPECT_EQ(app.dialogs.savePanelTypes[1], QStringList({"jpg", "jpeg"}));
    EXPECT_EQ(app.dialogs.savePanelTypes[2], QStringList({"png"}));
    // A cancelled save still remembers the quality.
    EXPECT_EQ(app.settings().value("qualitySliderLastUsedValue").toInt(), 55);
    EXPECT_EQ(app.settings().value("fileTypeToSave").toString(), "PNG");
    // Changes after the panel has gone reach no panel.
    l.saveOptionFileTypeButton->setCurrentText("TIFF");
    c.savePopupChanged(l.saveOptionFileTypeButton);
    EXPECT_EQ(app.dialogs.savePanelTypes.size(), 3);

    EXPECT_EQ(PathWithAllowedExtension("/a/b.JPG", {"jpg", "jpeg"}), "/a/b.JPG");
    EXPECT_EQ(PathWithAllowedExtension("/a/b.png", {"jpg", "jpeg"}), "/a/b.png.jpg");
    EXPECT_EQ(PathWithAllowedExtension("/a/b", {"tif", "tiff"}), "/a/b.tif");
    EXPECT_EQ(PathWithAllowedExtension("/a/b", {}), "/a/b");
}

TEST(Controller, OpeningAlertsAnsweredBothWays) {
    AppHarness app;
    Controller& c = app.controller();
    // No image open: the panel comes at once, restricted to what the reader decodes.
    app.dialogs.openAnswers.push_back(TestDataPath("chelsea.png"));
    c.openImage();
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 3; }));
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
    ASSERT_EQ(app.dialogs.openPanels.size(), 1);
    for (const char* extension : {"jpg", "jpeg", "png", "tif", "tiff"})
        EXPECT_TRUE(app.dialogs.openPanels[0].contains(extension)) << extension;
    EXPECT_EQ(c.openedImagePath(), TestDataPath("chelsea.png"));

    // "Cancel" leaves everything as it was.
    app.dialogs.alertAnswers.push_back(AlertButton::Default);
    c.openImage();
    Spin(50);
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_EQ(app.dialogs.alerts[0].message, "About to open a new image...");
    EXPECT_EQ(app.dialogs.alerts[0].defaultButton, "Cancel");
    EXPECT_EQ(app.dialogs.alerts[0].alternateButton, "Proceed");
    EXPECT_EQ(app.dialogs.alerts[0].informative,
              "Are you sure you want to close the current document?");
    EXPECT_EQ(app.dialogs.openPanels.size(), 1);
    EXPECT_TRUE(c.hasFileOpen());
    EXPECT_EQ(c.session().mOriginalImage->width(), 451);

    // "Proceed" shows the panel; the chosen file replaces the image.
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    app.dialogs.openAnswers.push_back(TestDataPath("coffee.png"));
    c.openImage();
    ASSERT_TRUE(WaitFor([&] { return c.hasFileOpen() && c.session().mOriginalImage->width() == 600; }));
    EXPECT_EQ(app.dialogs.openPanels.size(), 2);
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 3; }));

    // The desktop's request to open a file: the same alert, then the file itself.
    app.dialogs.alertAnswers.push_back(AlertButton::Default);
    c.maybeOpenImageAtPath(TestDataPath("rocket.jpg"));
    Spin(50);
    EXPECT_EQ(c.session().mOriginalImage->width(), 600);
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    c.maybeOpenImageAtPath(TestDataPath("rocket.jpg"));
    ASSERT_TRUE(WaitFor([&] { return c.session().mOriginalImage && c.session().mOriginalImage->width() == 640; }));
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 3; }));
    EXPECT_EQ(app.dialogs.alerts.size(), 4);
    EXPECT_EQ(c.images()[0].value("name").toString(), "Original");
    EXPECT_EQ(c.images()[1].value("name").toString(), "Reconstructed");
    EXPECT_EQ(c.images()[2].value("name").toString(), "Original\n vs \nReconstructed");

    // Drops are allowed only while nothing is open.
    EXPECT_FALSE(c.allowDrop());
    c.closeImages();
    EXPECT_TRUE(c.allowDrop());
    EXPECT_TRUE(c.images().isEmpty());
}

TEST(Controller, AFileThatCannotBeOpenedIsReported) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString missing = app.temporaryPath("no such photo.jpg");
    c.openImageAtPath(missing);
    Spin(20);
    EXPECT_FALSE(c.hasFileOpen());
    EXPECT_TRUE(c.images().isEmpty());
    EXPECT_EQ(c.openedImagePath(), missing);
    EXPECT_FALSE(app.layout().splitView->selectedImage());
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains(missing));
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains("does not exist"));
    EXPECT_TRUE(app.dialogs.alerts[0].alternateButton.isEmpty());

    c.openImageAtPath(TestDataPath("truncated.jpg"));
    Spin(20);
    if (!c.hasFileOpen()) {
        ASSERT_EQ(app.dialogs.alerts.size(), 2);
        EXPECT_TRUE(app.dialogs.alerts[1].informative.contains("truncated.jpg"));
    }
}

TEST(Controller, SavingFailsWithAnAlertAndNoMetadataCopy) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString record = app.temporaryPath("exiftool-arguments.txt");
    c.setExiftoolProgram(FakeExiftool(app.temporaryPath(""), record));
    app.layout().saveOptionTransferMetadata->setChecked(true);

    const QString nowhere = app.temporaryPath("missing folder/out.png");
    EXPECT_FALSE(c.saveResultToPath(nowhere));
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains(nowhere));
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains("folder does not exist"));
    EXPECT_FALSE(QFile::exists(record));
    EXPECT_FALSE(app.layout().sheet->isVisible());

    // A successful save runs exiftool with exactly its four arguments, after the file exists.
    const QString saved = app.temporaryPath("saved.png");
    EXPECT_TRUE(c.saveResultToPath(saved));
    EXPECT_TRUE(QFile::exists(saved));
    EXPECT_EQ(ReadLines(record),
              QStringList({"-tagsFromFile", TestDataPath("chelsea.png"), "-overwrite_original", saved}));
    EXPECT_FALSE(app.layout().sheet->isVisible());

    // Without the check box, no copy.
    QFile::remove(record);
    app.layout().saveOptionTransferMetadata->setChecked(false);
    EXPECT_TRUE(c.saveResultToPath(app.temporaryPath("plain.png")));
    EXPECT_FALSE(QFile::exists(record));

    // A missing program is no failure of the save.
    c.setExiftoolProgram(app.temporaryPath("not-there/exiftool"));
    app.layout().saveOptionTransferMetadata->setChecked(true);
    EXPECT_TRUE(c.saveResultToPath(app.temporaryPath("again.png")));
}

TEST(Controller, UndoKeepsOneLevel) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const ImageRef reconstructed = c.session().mReconstructedImage->asImage();
    const ImageRef before = reconstructed->copy();
    // Paint the reconstructed image with a picture of its own.
    const ImageRef pattern = PatternImage(451, 300);
    app.layout().splitView->setSelectedImage(pattern, "pattern");
    auto stroke = [&](double x) {
        c.startBrush();
        c.applyBrushAtPoint({x, 150}, 40, 1.0f);
        c.applyBrushAtPoint({x + 20, 150}, 40, 1.0f);
        c.endBrush();
    };
    auto same = [](const ImageRef& a, const ImageRef& b) {
        return std::equal(a->pixels(), a->pixels() + a->width() * a->height() * 4, b->pixels());
    };
    stroke(100);
    const ImageRef afterFirst = reconstructed->copy();
    EXPECT_FALSE(same(afterFirst, before));
    EXPECT_EQ(PixelByte(*reconstructed, 110, 150, 1), PixelByte(*pattern, 110, 150, 1));
    EXPECT_EQ(PixelByte(*reconstructed, 300, 150, 1), PixelByte(*before, 300, 150, 1));
    stroke(300);
    const ImageRef afterSecond = reconstructed->copy();
    EXPECT_TRUE(app.layout().undoAction->isEnabled());
    EXPECT_FALSE(app.layout().redoAction->isEnabled());

    app.layout().undoAction->trigger();
    EXPECT_TRUE(same(reconstructed, afterFirst));
    EXPECT_TRUE(app.layout().redoAction->isEnabled());
    EXPECT_FALSE(app.layout().undoAction->isEnabled());
    app.layout().undoAction->trigger();  // one level only
    EXPECT_TRUE(same(reconstructed, afterFirst));
    app.layout().redoAction->trigger();
    EXPECT_TRUE(same(reconstructed, afterSecond));
    app.layout().undoAction->trigger();
    EXPECT_TRUE(same(reconstructed, afterFirst));
    // The view shows the restored pixels.
    EXPECT_EQ(app.layout().splitView->refocusedImage(), reconstructed);

    // Apply-all without a selected image does nothing and leaves no undo.
    c.undoManager().removeAllActions();
    app.layout().splitView->setSelectedImage(nullptr, QString());
    c.applyAll();
    EXPECT_FALSE(c.undoManager().canUndo());
    EXPECT_TRUE(same(reconstructed, afterFirst));
    // With one, the whole image is replaced, and that can be undone.
    app.layout().splitView->setSelectedImage(pattern, "pattern");
    c.applyAll();
    EXPECT_TRUE(same(reconstructed, pattern));
    c.undoManager().undo();
    EXPECT_TRUE(same(reconstructed, afterFirst));

    // Closing forgets the history.
    c.closeImages();
    EXPECT_FALSE(c.undoManager().canUndo());
    EXPECT_FALSE(c.undoManager().canRedo());
}

TEST(Controller, ResultsRowsShowTheirImages) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
    const WindowLayout& l = app.layout();
    ASSERT_EQ(l.tableView->model()->rowCount(), 3);
    // Thumbnails of at most 256 pixels, aspect kept.
    EXPECT_EQ(c.images()[0].value("preview").value<QImage>().size(), QSize(256, 170));
    EXPECT_EQ(c.images()[0].value("done").toInt(), 1);

    l.tableView->selectRow(2);
    EXPECT_TRUE(l.splitView->isSplit());
    EXPECT_EQ(l.centerLabel->text(), "Original");
    EXPECT_EQ(l.leftLabel->text(), "Original");
    EXPECT_EQ(l.splitView->selectedImage(), c.session().mOriginalImage->asImage());
    l.tableView->selectRow(1);
    EXPECT_FALSE(l.splitView->isSplit());
    EXPECT_EQ(l.splitView->selectedImage(), c.session().mReconstructedImage->asImage());
    EXPECT_EQ(l.centerLabel->text(), "Reconstructed");
}

namespace {

// Unsharp masks of sections starting at column gBlockedX wait until it changes.
std::atomic<int> gBlockedX{-1};

void BlockingUnsharpMask(const CImage& in, CImage& out, int fast, int channel, double radius,
                         double amount, int angle, int x, int y, int w, int h) {
    while (gBlockedX.load() == x) QThread::msleep(2);
    DefaultDeblurMethods().unsharpMask(in, out, fast, channel, radius, amount, angle, x, y, w, h);
}

}  // namespace

TEST(Controller, ANewClickForgetsThePreviewsOfTheOldSection) {
    AppHarness app;
    Controller& c = app.controller();
    ImageMatrix& grid = *app.layout().imageMatrix;
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));  // 600 × 400
    c.session().mMethods.unsharpMask = &BlockingUnsharpMask;

    gBlockedX = 0;
    c.deblurAtPoint({100, 100});
    ExpectRect(c.currentSection(), 0, 0, 512, 400);
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(1, 0) == IMEntryProcessing; }));

    // The second click waits for the running steps behind the sheet, with the event loop
    // turning: this timer fires during the wait and lets the old steps finish.
    bool sheetShown = false;
    QTimer::singleShot(30, [&] {
        sheetShown = app.layout().sheet->isVisible() &&
                     app.layout().sheetText->text() == "Stopping previews processing";
        gBlockedX = 88;
    });
    c.deblurAtPoint({500, 300});
    EXPECT_TRUE(sheetShown);
    EXPECT_FALSE(app.layout().sheet->isVisible());
    ExpectRect(c.currentSection(), 88, 0, 512, 400);
    for (int row = 1; row <= 15; ++row) EXPECT_EQ(grid.entryStateforEntryRow(row, 0), IMEntryQueued);

    // The old steps' reports come first and are dropped: nothing lights up before the new
    // steps have even started.
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(1, 0) == IMEntryProcessing; }));
    for (int row = 1; row <= 15; ++row) EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    gBlockedX = -1;
    ASSERT_TRUE(WaitFor([&] {
        for (int row = 1; row <= 15; ++row)
            if (grid.entryStateforEntryRow(row, 0) != IMEntryReady) return false;
        return true;
    }));
    std::lock_guard<Lock> guard(c.session().mLock);
    EXPECT_EQ(c.session().mPreviewSection[0], 88);
    EXPECT_EQ(c.session().mDeblurredPreviews.size(), 15u);
}

TEST(Controller, StopAndCancelPreviews) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    ImageMatrix& grid = *l.imageMatrix;
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
    c.session().mMethods.unsharpMask = &BlockingUnsharpMask;
    gBlockedX = 0;
    c.deblurAtPoint({10, 10});
    EXPECT_TRUE(l.stopPreviews->isEnabled());
    // Three steps handed out (the pool may start fewer at once), the rest waiting in the queue;
    // at least the first is computing.
    ASSERT_TRUE(WaitFor([&] {
        return c.session().mRunningPreviews.load() == 3 &&
               grid.entryStateforEntryRow(1, 0) == IMEntryProcessing;
    }));
    std::vector<int> computing;
    for (int row = 1; row <= 3; ++row)
        if (grid.entryStateforEntryRow(row, 0) == IMEntryProcessing) computing.push_back(row);
    // Stop: the steps still waiting report their cancellation and go dark; computing ones finish.
    l.stopPreviews->click();
    EXPECT_FALSE(l.stopPreviews->isEnabled());
    gBlockedX = -1;
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(15, 0) == IMEntryNothing; }));
    ASSERT_TRUE(WaitFor([&] {
        return c.session().mRunningPreviews.load() == 0 && c.session().mPreviewBatches.load() == 0;
    }));
    Spin(20);
    for (int row : computing) EXPECT_EQ(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    // A step handed out but not started may or may not have seen the stop; none is left running.
    for (int row = 1; row <= 3; ++row) EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryProcessing);
    for (int row = 4; row <= 15; ++row) EXPECT_EQ(grid.entryStateforEntryRow(row, 0), IMEntryNothing) << row;
    // Cancel: back to the main screen, previews forgotten, nothing deblurred.
    l.cancelButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    EXPECT_TRUE(c.session().mDeblurredPreviews.empty());
    Spin(20);
    EXPECT_EQ(c.images().size(), 3);
    // Deblur with row 0 selected only leaves the deblur screen.
    c.deblurAtPoint({10, 10});
    grid.setSelectedRow(0, 1);
    l.deblurButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    Spin(50);
    EXPECT_EQ(c.images().size(), 3);
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
}

TEST(Controller, SheetDialogsReportWhichButtonEndedThem) {
    TestApp();
    QWidget window;
    window.show();
    SheetDialogs dialogs;
    for (AlertButton wanted : {AlertButton::Default, AlertButton::Alternate}) {
        std::optional<AlertButton> answer;
        dialogs.beginAlert(&window, {"About to open a new image...", "Cancel", "Proceed", "Sure?"},
                           [&](AlertButton button) { answer = button; });
        QMessageBox* box = window.findChild<QMessageBox*>();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        EXPECT_EQ(box->text(), "About to open a new image...");
        EXPECT_EQ(box->defaultButton()->text(), "Cancel");
        for (QAbstractButton* button : box->buttons())
            if (button->text() == (wanted == AlertButton::Default ? "Cancel" : "Proceed")) button->click();
        ASSERT_TRUE(WaitFor([&] { return answer.has_value(); }, 5000));
        EXPECT_EQ(*answer, wanted);
        Spin(10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The open panel hands back the chosen file; cancelling hands back nothing.
    std::optional<QString> chosen;
    dialogs.beginOpenPanel(&window, {"png", "jpg"}, [&](const QString& path) { chosen = path; });
    QFileDialog* panel = window.findChild<QFileDialog*>();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->fileMode(), QFileDialog::ExistingFile);
    EXPECT_TRUE(panel->nameFilters().join(' ').contains("*.png *.jpg"));
    panel->selectFile(TestDataPath("chelsea.png"));
    QMetaObject::invokeMethod(panel, "accept");
    ASSERT_TRUE(WaitFor([&] { return chosen.has_value(); }, 5000));
    EXPECT_EQ(QFileInfo(*chosen).canonicalFilePath(), QFileInfo(TestDataPath("chelsea.png")).canonicalFilePath());
}

TEST(Controller, ADeblurOfAClosedImageNeverRunsOnTheNextOne) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    // Every pool thread busy: the deblur requested now cannot start yet.
    std::atomic<bool> gate{false};
    std::atomic<int> blockers{0};
    const int threads = int(std::max(2u, std::thread::hardware_concurrency())) * 2 + 2;
    for (int i = 0; i < threads; ++i)
        dispatchAsync(DispatchPriority::Default, [&] {
            ++blockers;
            while (!gate) QThread::msleep(2);
            --blockers;
        });
    app.layout().imageMatrix->setSelectedRow(2, 0);
    c.addDeblur();
    EXPECT_EQ(c.queuedDeblurs().size(), 1);

    // Another image: the pool is freed while the window waits (its event loop turns), and the
    // request, still of the first image, must not become a result of the second.
    QTimer::singleShot(40, [&] { gate = true; });
    c.openImageAtPath(TestDataPath("coffee.png"));
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 3 && blockers == 0; }));
    dispatchWaitIdle();
    Spin(50);
    EXPECT_EQ(c.images().size(), 3);
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
    EXPECT_EQ(c.session().mRunningDeblurs.load(), 0);
    std::lock_guard<Lock> guard(c.session().mLock);
    EXPECT_TRUE(c.session().mDeblurredImages.empty());
}
