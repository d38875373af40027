// The window controller without a full run: sections, labels, names, event dictionaries, menus,
// keyboard moves, settings, the save options, alerts, failures, exiftool and the preview queue.

#include <gtest/gtest.h>

#include <QMessageBox>
#include <optional>
#include <random>
#include <thread>

#include "AppTestSupport.h"
#include "DeblurMethods.h"
#include "Dispatch.h"

namespace {

using Box = std::array<double, 4>;

// Unsharp masks of sections starting at column gBlockedX wait until it changes.
std::atomic<int> gBlockedX{-1};

void BlockingUnsharpMask(const CImage& in, CImage& out, int fast, int channel, double radius,
                         double amount, int angle, int x, int y, int w, int h) {
    while (gBlockedX.load() == x) QThread::msleep(2);
    DefaultDeblurMethods().unsharpMask(in, out, fast, channel, radius, amount, angle, x, y, w, h);
}

// Whether every lamp of rows first … last of column 0 is in the given state.
bool ColumnIs(const ImageMatrix& grid, int state, int first = 1, int last = 15) {
    for (int row = first; row <= last; ++row)
        if (grid.entryStateforEntryRow(row, 0) != state) return false;
    return true;
}

}  // namespace

TEST(Controller, PreviewSectionExamplesAndBounds) {
    EXPECT_EQ(Values(PreviewSection({150, 100}, 300, 200)), (Box{0, 0, 300, 200}));
    EXPECT_EQ(Values(PreviewSection({299, 0}, 300, 200)), (Box{0, 0, 300, 200}));
    EXPECT_EQ(Values(PreviewSection({100, 1400}, 2000, 1500)), (Box{0, 988, 512, 512}));
    EXPECT_EQ(Values(PreviewSection({1000, 700}, 2000, 1500)), (Box{744, 444, 512, 512}));
    // Always inside the image, centred on the point unless an edge is in the way.
    std::mt19937 random(7);
    for (int i = 0; i < 500; ++i) {
        const int W = 1 + int(random() % 1500), H = 1 + int(random() % 1500);
        const double px = double(random() % W) + 0.5, py = double(random() % H) + 0.5;
        const Rect r = PreviewSection({px, py}, W, H);
        const int cx = int(px - 256), cy = int(py - 256);
        ASSERT_TRUE(r.width == std::min(W, 512) && r.height == std::min(H, 512)) << W << " " << H;
        ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.x + r.width <= W && r.y + r.height <= H);
        ASSERT_TRUE(cx < 0 || cx + 512 >= W || r.x == cx) << W << " " << px;
        ASSERT_TRUE(cy < 0 || cy + 512 >= H || r.y == cy) << H << " " << py;
    }
}

TEST(Controller, LabelsNamesMenusAndKeyboardMoves) {
    DeblurredEntry entry{DeblurRL40, 5, -1, MaskSettings{1, 3.0f, 0.5f, 0.5f}};
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5\n [B, 50%,\n 3.0, 0.5]");
    // The percentage is truncated; a tie of "%.1f" rounds to even, as printf does.
    entry.maskSettings = MaskSettings{7, 2.0f, 0.555f, 0.25f};
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5\n [err, 55%,\n 2.0, 0.2]");
    entry.maskSettings.opacity = 0.0f;
    EXPECT_EQ(DeblurLabel(entry), "RL40 2.5");
    entry.deblurType = DeblurType(22);
    EXPECT_EQ(DeblurLabel(entry), "bad_deblur_type 2.5");

    // The dictionaries of one deblur's events differ only in "eventType"; without a mask the
    // mask's floats are no part of the key.
    const DeblurredEntry rl{DeblurRL20, 6, -1, MaskSettings{0, 2.0f, 0.5f, 0.25f}};
    QVariantMap started = EventDictionary(SessionEvent{DeblurStarted, rl});
    QVariantMap finished = EventDictionary(SessionEvent{DeblurFinished, rl});
    EXPECT_EQ(finished.take("eventType").toInt() - started.take("eventType").toInt(), 1);
    EXPECT_EQ(started, finished);
    EXPECT_EQ(started.value("deblurredEntry.maskSettings.crudeness").toFloat(), 0.25f);
    EXPECT_FALSE(DBO(rl) ==
                 DBO(DeblurredEntry{DeblurRL20, 6, -1, MaskSettings{0, 2.0f, 0.75f, 0.25f}}));
    EXPECT_TRUE(DBO(DeblurredEntry{DeblurUSM1, 1, -1, MaskSettings{-1, 1.0f, 0.2f, 0.3f}}) ==
                DBO(DeblurredEntry{DeblurUSM1, 1, -1, MaskSettings{-1, 4.0f, 0.9f, 0.1f}}));

    AppHarness app;
    Controller& c = app.controller();
    ImageMatrix& grid = *app.layout().imageMatrix;
    EXPECT_EQ(c.nameForRow(1), "0.5");
    EXPECT_EQ(c.nameForRow(30), "15.0");
    const QStringList names{"USM1", "USMF5", "LA2", "bad_deblur_type", "FR", "effect"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(c.nameForColumn(QList{0, 9, 21, 22, 23, 24}[i]), names[i]);
    EXPECT_EQ(c.nameForColumn(-1), "bad_deblur_type");
    EXPECT_EQ(QSize(grid.columns(), grid.rows()), QSize(22, 31));

    // "xxxx" becomes the application's name in every menu and submenu.
    QStringList titles;
    std::function<void(QMenu*)> walk = [&](QMenu* menu) {
        titles << menu->title();
        for (QAction* item : menu->actions()) {
            titles << item->text();
            if (item->menu()) walk(item->menu());
        }
    };
    for (QAction* item : app.layout().menuBar->actions())
        if (item->menu()) walk(item->menu());
    for (const char* title : {"Velkaro", "About Velkaro", "Quit Velkaro", "Velkaro Tutorial"})
        EXPECT_TRUE(titles.contains(title)) << title;
    EXPECT_FALSE(titles.join(' ').contains("xxxx"));

    // Keyboard moves (0 left, 1 right, 2 up, 3 down) stay inside the grid; row 0 has 2 columns.
    auto move = [&](int direction) {
        c.moveSelection(direction);
        return QPoint(grid.selectedColumn(), grid.selectedRow());
    };
    grid.setSelectedRow(1, 0);
    EXPECT_EQ(move(2), QPoint(0, 1));
    EXPECT_EQ(move(0), QPoint(0, 1));
    grid.setSelectedRow(30, 21);
    EXPECT_EQ(move(3), QPoint(21, 30));
    EXPECT_EQ(move(1), QPoint(21, 30));
    EXPECT_EQ(move(2), QPoint(21, 29));
    EXPECT_EQ(move(0), QPoint(20, 29));
    grid.setSelectedRow(0, 1);
    EXPECT_EQ(move(1), QPoint(1, 0));
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
        EXPECT_EQ(l.saveOptionQualitySlider->value(), 90);  // nothing stored yet
        l.allowAnonStats->setChecked(true);
        app.controller().saveDefaults(l.allowAnonStats);
        l.saveOptionTransferMetadata->setChecked(true);
        app.controller().saveDefaults(l.saveOptionTransferMetadata);
        l.saveOptionFileTypeButton->setCurrentText("TIFF");
        app.controller().savePopupChanged(l.saveOptionFileTypeButton);
        l.saveOptionQualitySlider->setValue(37);
        app.controller().saveDefaults(l.saveOptionQualitySlider);
        app.controller().saveDefaults(l.maskAmount);  // none of the four: stores nothing
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
    EXPECT_TRUE(l.allowAnonStats->isChecked() && l.saveOptionTransferMetadata->isChecked());
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
    auto choose = [&](const char* type) {  // true when the quality slider shows
        l.saveOptionFileTypeButton->setCurrentText(type);
        c.savePopupChanged(l.saveOptionFileTypeButton);
        return l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView);
    };
    app.dialogs.whileSavePanelShows = [&] {
        EXPECT_TRUE(c.savePanelIsRunning());
        EXPECT_TRUE(choose("JPEG"));
        EXPECT_FALSE(choose("PNG"));
    };
    c.saveResult();  // cancelled
    ASSERT_TRUE(WaitFor([&] { return !c.savePanelIsRunning(); }));
    EXPECT_EQ(app.dialogs.savePanelTypes, (QList<QStringList>{{"png"}, {"jpg", "jpeg"}, {"png"}}));
    // A cancelled save still remembers the quality; later changes reach no panel.
    EXPECT_EQ(app.settings().value("qualitySliderLastUsedValue").toInt(), 55);
    choose("TIFF");
    EXPECT_EQ(app.dialogs.savePanelTypes.size(), 3);
    EXPECT_EQ(PathWithAllowedExtension("/a/b.JPG", {"jpg", "jpeg"}), "/a/b.JPG");
    EXPECT_EQ(PathWithAllowedExtension("/a/b.png", {"jpg", "jpeg"}), "/a/b.png.jpg");
    EXPECT_EQ(PathWithAllowedExtension("/a/b", {}), "/a/b");
}

TEST(Controller, OpeningAlertsAnsweredBothWaysAndResultsRows) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    // No image open: the panel comes at once, restricted to what the reader decodes.
    app.dialogs.openAnswers.push_back(TestDataPath("chelsea.png"));
    c.openImage();
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 3; }));
    ASSERT_EQ(app.dialogs.openPanels.size(), 1);
    for (const char* extension : {"jpg", "jpeg", "png", "tif", "tiff"})
        EXPECT_TRUE(app.dialogs.openPanels[0].contains(extension)) << extension;
    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
    EXPECT_FALSE(c.allowDrop());

    // "Cancel" leaves everything as it was.
    app.dialogs.alertAnswers.push_back(AlertButton::Default);
    c.openImage();
    Spin(50);
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    const AlertText& alert = app.dialogs.alerts[0];
    EXPECT_EQ(alert.message, "About to open a new image...");
    EXPECT_EQ(alert.defaultButton, "Cancel");
    EXPECT_EQ(alert.alternateButton, "Proceed");
    EXPECT_EQ(alert.informative, "Are you sure you want to close the current document?");
    EXPECT_EQ(app.dialogs.openPanels.size(), 1);
    EXPECT_EQ(c.session().mOriginalImage->width(), 451);
    // "Proceed" shows the panel; the chosen file replaces the image.
    app.dialogs.alertAnswers.push_back(AlertButton::Alternate);
    app.dialogs.openAnswers.push_back(TestDataPath("coffee.png"));
    c.openImage();
    ASSERT_TRUE(WaitFor(
        [&] { return c.session().mOriginalImage->width() == 600 && c.images().size() == 3; }));
    // The desktop's request to open a file asks the same.
    app.dialogs.alertAnswers.push_back(AlertButton::Default);
    c.maybeOpenImageAtPath(TestDataPath("rocket.jpg"));
    Spin(50);
    EXPECT_EQ(c.session().mOriginalImage->width(), 600);
    EXPECT_EQ(app.dialogs.alerts.size(), 3);

    // The rows: original, reconstructed and the two side by side, with thumbnails of at most 256.
    EXPECT_EQ(c.images()[0].value("preview").value<QImage>().size(), QSize(256, 170));
    l.tableView->selectRow(2);
    EXPECT_TRUE(l.splitView->isSplit());
    EXPECT_EQ(l.splitView->selectedImage(), c.session().mOriginalImage->asImage());
    l.tableView->selectRow(1);
    EXPECT_EQ(l.splitView->selectedImage(), c.session().mReconstructedImage->asImage());
    EXPECT_EQ(l.centerLabel->text(), "Reconstructed");
    c.closeImages();
    EXPECT_TRUE(c.allowDrop() && c.images().isEmpty());
}

TEST(Controller, FailedOpenAndFailedSaveShowAlertsAndCopyNoMetadata) {
    AppHarness app;
    Controller& c = app.controller();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString missing = app.temporaryPath("no such photo.jpg");
    c.openImageAtPath(missing);
    Spin(20);
    EXPECT_FALSE(c.hasFileOpen());
    EXPECT_FALSE(app.layout().splitView->selectedImage());
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains(missing));
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains("does not exist"));
    EXPECT_TRUE(app.dialogs.alerts[0].alternateButton.isEmpty());

    // A stand-in exiftool that records its arguments and floods its output (which must be read).
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString record = app.temporaryPath("arguments.txt"),
                  program = app.temporaryPath("exiftool");
    QFile script(program);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QString("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                         "head -c 300000 /dev/zero\n").arg(record).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    c.setExiftoolProgram(program);
    app.layout().saveOptionTransferMetadata->setChecked(true);
    const QString nowhere = app.temporaryPath("missing folder/out.png");
    EXPECT_FALSE(c.saveResultToPath(nowhere));
    ASSERT_EQ(app.dialogs.alerts.size(), 2);
    EXPECT_TRUE(app.dialogs.alerts[1].informative.contains(nowhere));
    EXPECT_TRUE(app.dialogs.alerts[1].informative.contains("folder does not exist"));
    EXPECT_FALSE(QFile::exists(record));
    EXPECT_FALSE(app.layout().sheet->isVisible());

    // A successful save runs exiftool with exactly its arguments (the tags and the ICC profile),
    // after the file exists.
    const QString saved = app.temporaryPath("saved.png");
    EXPECT_TRUE(c.saveResultToPath(saved));
    QFile lines(record);
    ASSERT_TRUE(lines.open(QIODevice::ReadOnly));
    EXPECT_EQ(
        QString::fromUtf8(lines.readAll()).split('\n', Qt::SkipEmptyParts),
        QStringList({"-tagsFromFile", TestDataPath("chelsea.png"), "-all", "-icc_profile",
                     "-overwrite_original", saved}));
    // Without the check box, no copy; a missing program is no failure of the save.
    QFile::remove(record);
    app.layout().saveOptionTransferMetadata->setChecked(false);
    EXPECT_TRUE(c.saveResultToPath(app.temporaryPath("plain.png")));
    EXPECT_FALSE(QFile::exists(record));
    c.setExiftoolProgram(app.temporaryPath("not-there/exiftool"));
    app.layout().saveOptionTransferMetadata->setChecked(true);
    EXPECT_TRUE(c.saveResultToPath(app.temporaryPath("again.png")));
    EXPECT_EQ(app.dialogs.alerts.size(), 2);
}

TEST(Controller, ANewClickForgetsTheOldSectionStopAndCancel) {
    AppHarness app;
    Controller& c = app.controller();
    const WindowLayout& l = app.layout();
    ImageMatrix& grid = *l.imageMatrix;
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));  // 600 × 400
    c.session().mMethods.unsharpMask = &BlockingUnsharpMask;
    gBlockedX = 0;
    c.deblurAtPoint({100, 100});
    EXPECT_EQ(Values(c.currentSection()), (Box{0, 0, 512, 400}));
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(1, 0) == IMEntryProcessing; }));
    // The second click waits for the running steps behind the sheet, with the event loop
    // turning: this timer fires during the wait, lets the old steps finish and holds the new.
    bool sheetShown = false;
    QTimer::singleShot(30, [&] {
        sheetShown = l.sheet->isVisible() && l.sheetText->text() == "Stopping previews processing";
        gBlockedX = 88;
    });
    c.deblurAtPoint({500, 300});
    EXPECT_TRUE(sheetShown);
    EXPECT_FALSE(l.sheet->isVisible());
    EXPECT_EQ(Values(c.currentSection()), (Box{88, 0, 512, 400}));
    EXPECT_TRUE(ColumnIs(grid, IMEntryQueued));
    // Three new steps handed out (the pool may start fewer at once), the rest waiting. The old
    // steps' reports came first and were dropped: nothing is lit as finished.
    ASSERT_TRUE(WaitFor([&] {
        return c.session().mRunningPreviews.load() == 3 &&
               grid.entryStateforEntryRow(1, 0) == IMEntryProcessing;
    }));
    for (int row = 1; row <= 15; ++row)
        EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    std::vector<int> computing;
    for (int row = 1; row <= 3; ++row)
        if (grid.entryStateforEntryRow(row, 0) == IMEntryProcessing) computing.push_back(row);

    // Stop: the waiting steps report their cancellation and go dark; computing ones finish.
    l.stopPreviews->click();
    EXPECT_FALSE(l.stopPreviews->isEnabled());
    gBlockedX = -1;
    ASSERT_TRUE(WaitFor([&] {
        return c.session().mRunningPreviews.load() == 0 &&
               c.session().mPreviewBatches.load() == 0 &&
               grid.entryStateforEntryRow(15, 0) == IMEntryNothing;
    }));
    Spin(20);
    for (int row : computing) EXPECT_EQ(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    for (int row = 1; row <= 3; ++row)
        EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryProcessing);
    EXPECT_TRUE(ColumnIs(grid, IMEntryNothing, 4, 15));
    {
        std::lock_guard<Lock> guard(c.session().mLock);
        EXPECT_EQ(c.session().mPreviewSection[0], 88);
        EXPECT_GE(c.session().mDeblurredPreviews.size(), computing.size());
        EXPECT_LE(c.session().mDeblurredPreviews.size(), 3u);
    }
    // Cancel: back to the main screen, previews forgotten.
    l.cancelButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    EXPECT_TRUE(c.session().mDeblurredPreviews.empty());
    // Deblur with row 0 selected only leaves the deblur screen.
    c.deblurAtPoint({10, 10});
    grid.setSelectedRow(0, 1);
    l.deblurButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    Spin(50);
    EXPECT_EQ(c.images().size(), 3);
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
}

TEST(Controller, SheetAlertsReportWhichButtonEndedThem) {
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
        EXPECT_EQ(box->defaultButton()->text(), "Cancel");
        for (QAbstractButton* button : box->buttons())
            if (button->text() == (wanted == AlertButton::Default ? "Cancel" : "Proceed"))
                button->click();
        ASSERT_TRUE(WaitFor([&] { return answer.has_value(); }, 5000));
        EXPECT_EQ(*answer, wanted);
        Spin(10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
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
