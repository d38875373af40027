// The window controller, with stand-ins for the methods where the timing matters.

#include <gtest/gtest.h>

#include <QSpinBox>
#include <QToolButton>
#include <chrono>
#include <thread>

#include "../session/SessionTestSupport.h"
#include "AngleView.h"
#include "AppTestSupport.h"
#include "Dispatch.h"

using namespace velkaro;

namespace {

// Unsharp masks of sections starting at column gBlockedX wait until it changes.
std::atomic<int> gBlockedX{-1};

bool BlockingUnsharpMask(const MethodCall& call) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (gBlockedX.load() == call.region.x && std::chrono::steady_clock::now() < deadline)
        QThread::msleep(2);
    return DefaultDeblurMethods()[DeblurMethod::UnsharpMask].run(call);
}

}  // namespace

using ControllerTest = AppTest;

TEST_F(ControllerTest, KeyboardMovesStayInsideTheGrid) {
    // Moves (0 left, 1 right, 2 up, 3 down) from row, column to row, column; row 0 has 2 columns.
    const int cases[][5] = {{1, 0, 2, 1, 0},     {1, 0, 0, 1, 0},     {30, 21, 3, 30, 21},
                            {30, 21, 1, 30, 21}, {30, 21, 2, 29, 21}, {29, 21, 0, 29, 20},
                            {0, 1, 1, 0, 1}};
    for (const auto& m : cases) {
        grid.setSelectedRow(m[0], m[1]);
        c.moveSelection(m[2]);
        EXPECT_EQ(QPoint(grid.selectedColumn(), grid.selectedRow()), QPoint(m[4], m[3])) << m[2];
    }
    // Without a photograph a move requests nothing.
    grid.setSelectedRow(4, 4);
    c.moveSelection(3);
    EXPECT_EQ(grid.entryStateforEntryRow(5, 4), IMEntryNothing);
}

TEST(ControllerSettings, RoundTrip) {
    QTemporaryDir folder;
    const QString file = folder.filePath("velkaro.ini");
    {
        AppHarness app(file);
        const WindowLayout& l = app.layout();
        l.allowAnonStats->setChecked(true);
        app.controller().saveDefaults(l.allowAnonStats);
        l.saveOptionTransferMetadata->setChecked(true);
        app.controller().saveDefaults(l.saveOptionTransferMetadata);
        l.saveOptionFileTypeButton->setCurrentText("TIFF");
        app.controller().savePopupChanged(l.saveOptionFileTypeButton);
        l.saveOptionQualitySlider->setValue(37);
        app.controller().saveDefaults(l.saveOptionQualitySlider);
        l.blurShape->button(1)->click();  // the blur's shape and angle: two keys more
        l.angleField->setValue(30);
        app.controller().saveDefaults(l.maskAmount);  // none of those: stores nothing
        app.settings().sync();
        EXPECT_EQ(app.settings().allKeys().size(), 6);
    }
    // (The other keys' names are checked where they are first written.)
    EXPECT_EQ(QSettings(file, QSettings::IniFormat).value("transferMetadataFromSource").toInt(), 1);

    AppHarness again(file);
    const WindowLayout& l = again.layout();
    EXPECT_TRUE(l.allowAnonStats->isChecked());
    EXPECT_TRUE(l.saveOptionTransferMetadata->isChecked());
    EXPECT_EQ(l.saveOptionFileTypeButton->currentText(), "TIFF");
    EXPECT_EQ(l.saveOptionQualitySlider->value(), 37);
    // TIFF at start: the quality controls are hidden.
    EXPECT_FALSE(l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView) ||
                 l.saveOptionQualityLabel->isVisibleTo(l.saveOptionView));
    EXPECT_EQ(again.controller().currentlyAllowedFileTypes(), QStringList({"tif", "tiff"}));
    // The blur control as it was left: motion at 30°, the angle's controls enabled.
    EXPECT_TRUE(again.controller().currentAngle() == 30);
    EXPECT_TRUE(l.angleView->currentAngle() == 30);
    EXPECT_TRUE(l.blurShape->button(1)->isChecked());
    EXPECT_TRUE(l.angleField->isEnabled());
}

TEST_F(ControllerTest, FailedOpenAndFailedSaveShowAlertsAndCopyNoMetadata) {
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString missing = app.temporaryPath("no such photo.jpg");
    QSignalSpy opened(&c, &Controller::openFinished);
    c.openImageAtPath(missing);
    ASSERT_TRUE(opened.wait(30000));
    EXPECT_FALSE(opened.at(0).at(0).toBool() || c.hasFileOpen() || l.splitView->selectedImage());
    ASSERT_EQ(app.dialogs.alerts.size(), 1);
    EXPECT_TRUE(app.dialogs.alerts[0].informative.contains(missing));
    EXPECT_TRUE(app.dialogs.alerts[0].alternateButton.isEmpty());

    // A stand-in exiftool that records its arguments and whether the file it is given (the last
    // one) is already written, and floods its output (never blocking it).
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const QString record = app.temporaryPath("arguments.txt");
    c.setExiftoolProgram(
        StandInExiftool(app, QString("for a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                                     "eval last=\\${$#}; [ -s \"$last\" ] && echo written >> '%1'\n"
                                     "head -c 300000 /dev/zero\n")
                                 .arg(record)));
    l.saveOptionTransferMetadata->setChecked(true);
    const QString nowhere = app.temporaryPath("missing folder/out.png");
    EXPECT_FALSE(SaveAndWait(c, nowhere));
    ASSERT_EQ(app.dialogs.alerts.size(), 2);
    EXPECT_TRUE(app.dialogs.alerts[1].informative.contains(nowhere));
    EXPECT_FALSE(QFile::exists(record));
    EXPECT_FALSE(l.sheet->isVisible());

    // A successful save runs exiftool with exactly its arguments (the tags and the ICC profile),
    // after the file exists.
    const QString saved = app.temporaryPath("saved.png");
    EXPECT_TRUE(SaveAndWait(c, saved));
    QFile lines(record);
    ASSERT_TRUE(lines.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(lines.readAll()).split('\n', Qt::SkipEmptyParts),
              QStringList({"-tagsFromFile", TestDataPath("chelsea.png"), "-all", "-icc_profile",
                           "-Orientation#=1", "-overwrite_original", saved, "written"}));
    // Without the check box, no copy; a missing program is no failure of the save.
    QFile::remove(record);
    l.saveOptionTransferMetadata->setChecked(false);
    EXPECT_TRUE(SaveAndWait(c, app.temporaryPath("plain.png")));
    EXPECT_FALSE(QFile::exists(record));
    c.setExiftoolProgram(app.temporaryPath("not-there/exiftool"));
    l.saveOptionTransferMetadata->setChecked(true);
    EXPECT_TRUE(SaveAndWait(c, app.temporaryPath("again.png")));
    EXPECT_EQ(app.dialogs.alerts.size(), 2);
}

TEST_F(ControllerTest, ANewClickForgetsTheOldSectionStopAndCancel) {
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));  // 600 × 400
    DeblurMethods methods = DefaultDeblurMethods();
    methods[DeblurMethod::UnsharpMask].run = &BlockingUnsharpMask;
    c.session().setMethods(methods);
    gBlockedX = 0;
    c.deblurAtPoint({100, 100});
    EXPECT_EQ(c.currentSection().x, 0);  // (where sections lie is the session tests')
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(1, 0) == IMEntryProcessing; }));
    // The second click waits for the running steps on a worker behind the sheet, with the event
    // loop turning: this timer fires during the wait, lets the old steps finish and holds the new.
    bool sheetShown = false;
    QTimer::singleShot(30, [&] {
        sheetShown = l.sheet->isVisible();
        gBlockedX = 88;
    });
    c.deblurAtPoint({500, 300});
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
    EXPECT_TRUE(sheetShown);
    EXPECT_TRUE(!l.sheet->isVisible());
    EXPECT_EQ(c.currentSection().x, 88);
    // Three new steps handed out (the pool may start fewer at once), the rest waiting. The old
    // steps' reports came first and were dropped: nothing is lit as finished.
    ASSERT_TRUE(WaitFor([&] {
        return c.session().workCounts().runningPreviews == 3 &&
               grid.entryStateforEntryRow(1, 0) == IMEntryProcessing;
    }));
    for (int row = 1; row <= 15; ++row)
        EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    std::vector<int> computing;
    for (int row = 1; row <= 3; ++row)
        if (grid.entryStateforEntryRow(row, 0) == IMEntryProcessing)
            computing.push_back(row);

    // Stop: the waiting steps report their cancellation and go dark; computing ones finish.
    l.stopPreviews->click();
    EXPECT_FALSE(l.stopPreviews->isEnabled());
    gBlockedX = -1;
    ASSERT_TRUE(WaitFor([&] {
        return c.session().previewsAreIdle() && grid.entryStateforEntryRow(15, 0) == IMEntryNothing;
    }));
    Spin(20);
    for (int row : computing) EXPECT_EQ(grid.entryStateforEntryRow(row, 0), IMEntryReady) << row;
    for (int row = 1; row <= 3; ++row)
        EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryProcessing);
    EXPECT_TRUE(ColumnIs(grid, IMEntryNothing, 4, 15));
    EXPECT_GE(c.session().previewCount(), computing.size());
    EXPECT_LE(c.session().previewCount(), 3u);
    // Cancel: back to the main screen, previews forgotten.
    l.cancelButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    EXPECT_EQ(c.session().previewCount(), 0u);
    // Deblur with row 0 selected only leaves the deblur screen.
    c.deblurAtPoint({10, 10});
    grid.setSelectedRow(0, 1);
    l.deblurButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    Spin(50);
    EXPECT_EQ(c.images().size(), 3);
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
}

TEST_F(ControllerTest, ADeblurOfAClosedImageNeverRunsOnTheNextOne) {
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    // Every pool thread busy: the deblur requested now cannot start yet.
    std::atomic<bool> gate{false};
    std::atomic<int> blockers{0};
    const int threads = int(std::max(2u, std::thread::hardware_concurrency())) * 2 + 2;
    for (int i = 0; i < threads; ++i)
        dispatchAsync(DispatchPriority::Default, [&] {
            ++blockers;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!gate && std::chrono::steady_clock::now() < deadline) QThread::msleep(2);
            --blockers;
        });
    grid.setSelectedRow(2, 0);
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
    EXPECT_TRUE(c.session().isIdle());
}

TEST_F(ControllerTest, EstimateSetsTheShapeMarksTheRowAndAnAngleRestartsTheColumn) {
    QSignalSpy estimated(&c, &Controller::estimateFinished);
    auto previewDone = [&](int step, int angle) {
        return c.session().deblurredPreviewIsDone({DeblurUSM1, step, angle, {}});
    };

    // A sharp photograph: no blur found, and nothing changes.
    ASSERT_TRUE(app.open(TestDataPath("rocket.jpg")));
    c.deblurAtPoint({300, 200});
    ASSERT_TRUE(estimated.wait(30000));
    EXPECT_TRUE(c.lastEstimate().shape == BlurShape::None);
    EXPECT_TRUE(c.currentAngle() == -1);
    EXPECT_TRUE(grid.suggestedRow() == -1);

    // The shaken clock: the click's estimate sets the motion, marks its row and selects it (no
    // cell was chosen yet), and the column is recomputed for that kernel.
    ASSERT_TRUE(app.open(TestDataPath("clock_motion.png")));
    c.deblurAtPoint({200, 150});
    ASSERT_TRUE(estimated.wait(30000));
    const BlurEstimate e = c.lastEstimate();
    ASSERT_EQ(e.shape, BlurShape::Motion);
    EXPECT_TRUE(c.currentAngle() == e.angle);
    EXPECT_TRUE(l.angleView->currentAngle() == e.angle);
    EXPECT_TRUE(grid.suggestedRow() == e.radiusStep);
    EXPECT_TRUE(grid.selectedRow() == e.radiusStep);
    ASSERT_TRUE(
        WaitFor([&] { return previewDone(15, e.angle) && previewDone(e.radiusStep, e.angle); }));
    EXPECT_FALSE(previewDone(1, -1));

    // A cell chosen before the estimate arrives stays chosen. (With the grid filling itself, a
    // click first clears behind the sheet, which takes no choice: stop the filling first.)
    l.stopPreviews->click();
    ASSERT_TRUE(WaitFor([&] { return c.session().previewsAreIdle(); }));
    c.deblurAtPoint({100, 100});
    grid.setSelectedRow(3, 0);
    c.changedEntry();
    ASSERT_TRUE(estimated.wait(30000));
    EXPECT_EQ(QPoint(grid.selectedColumn(), grid.selectedRow()), QPoint(0, 3));
    EXPECT_EQ(grid.suggestedRow(), e.radiusStep);

    // Another angle clears the previews and computes the column again, at that angle.
    l.angleField->setValue((e.angle + 90) % 180);
    ASSERT_TRUE(WaitFor([&] {
        return previewDone(15, (e.angle + 90) % 180) &&
               grid.entryStateforEntryRow(15, 0) == IMEntryReady;
    }));
    EXPECT_FALSE(previewDone(1, e.angle));
    EXPECT_EQ(grid.selectedRow(), 3);
}

// (Whether opening asks at all, and "Cancel", are AppDelegateTest's.)
TEST_F(ControllerTest, DontSaveOpensThePanelAndResultRowsShowProgressCancelAndFollowTheirDeblurs) {
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    EXPECT_FALSE(c.allowDrop());
    // With a change, "Don't Save" shows the panel; the chosen file replaces the image.
    c.applyAll();
    app.dialogs.alertAnswers.push_back(AlertButton::Other);
    app.dialogs.openAnswers.push_back(TestDataPath("coffee.png"));
    c.openImage();
    ASSERT_TRUE(WaitFor([&] {
        return c.hasFileOpen() && c.session().original()->width() == 600 && !c.isBusy() &&
               c.images().size() == 3;
    }));
    // The rows: original, reconstructed and the two side by side, with thumbnails of at most 256.
    EXPECT_EQ(c.images()[0].preview.size(), QSize(256, 170));
    l.tableView->selectRow(2);
    EXPECT_TRUE(l.splitView->isSplit());
    EXPECT_EQ(l.splitView->selectedImage(), c.session().original()->asImage());
    l.tableView->selectRow(1);
    EXPECT_EQ(l.splitView->selectedImage(), c.session().reconstructed()->asImage());

    const RecordingReset reset;
    c.session().setMethods(RecordingDeblurMethods());
    recording().delayMicroseconds = 600'000'000;  // until stopped or let go
    auto cancelButtons = [&] {
        int n = 0;
        for (int i = 0; i < c.images().size(); ++i)
            n += qobject_cast<QToolButton*>(
                     l.tableView->indexWidget(l.tableView->model()->index(i, 2))) != nullptr;
        return n;
    };
    // Two identical requests, then a third: three rows, each with its progress and its cancel.
    for (int i = 0; i < 3; ++i) {
        grid.setSelectedRow(4, DeblurRL20);
        c.addDeblur();
    }
    ASSERT_TRUE(
        WaitFor([&] { return c.images().size() == 6 && c.images()[4].status.contains("%"); }));
    EXPECT_EQ(cancelButtons(), 3);
    // A row still computing shows the original in the result's place, whole, beside the composite.
    l.tableView->selectRow(3);
    EXPECT_TRUE(l.splitView->isSplit());
    EXPECT_EQ(l.splitView->selectedImage()->extent().width, 600);
    // Esc cancels the selected row, its button the other; both rows go at once.
    QTest::keyClick(l.tableView, Qt::Key_Escape);
    EXPECT_EQ(c.images().size(), 5);
    qobject_cast<QToolButton*>(l.tableView->indexWidget(l.tableView->model()->index(4, 2)))
        ->click();
    EXPECT_EQ(c.images().size(), 4);
    ASSERT_TRUE(WaitFor([&] { return c.session().workCounts().pendingDeblurs == 1; }));
    Spin(50);
    EXPECT_EQ(c.images().size(), 4);  // their cancellations arrive and change nothing more
    // The one left, selected while it computes, shows its result once it is done.
    l.tableView->selectRow(3);
    recording().delayMicroseconds = 0;
    ASSERT_TRUE(WaitFor([&] {
        return std::all_of(c.images().begin(), c.images().end(),
                           [](auto& row) { return row.done; });
    }));
    EXPECT_EQ(cancelButtons(), 0);
    EXPECT_NE(l.splitView->selectedImage(), c.session().original()->asImage());
    // Applied to the composite: the "Reconstructed" row's picture follows.
    const QImage before = c.images()[1].preview;
    c.applyAll();
    EXPECT_NE(c.images()[1].preview, before);
    // Closed while nothing is shown: no label stays on the empty view, and drops are welcome.
    c.closeImages();
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
    EXPECT_TRUE(l.leftLabel->isHidden());
    EXPECT_TRUE(l.rightLabel->isHidden());
    EXPECT_TRUE(l.centerLabel->isHidden());
    EXPECT_TRUE(c.allowDrop());
    EXPECT_TRUE(c.images().isEmpty());
}

namespace {

// What the stand-ins add to the section: a few grey levels, fewer for the cells meant to rank
// high (a candidate further from the original scores lower).
int Offset(DeblurMethod method, const MethodCall& call) {
    const double parameter = call.parameter;
    const int step = int(call.radius * 2 + 0.5);
    const bool usm1 = method == DeblurMethod::UnsharpMask && parameter == 1;
    if (method == DeblurMethod::WienerFir && parameter == 0.01f && step == 4)
        return 0;
    if (usm1 && step == 15)
        return 1;
    return usm1 && step == 5 ? 2 : usm1 && step == 7 ? 3 : usm1 && step == 9 ? 4 : 8;
}

// The cells with badges 1, 2, 3.
std::vector<std::pair<int, int>> Ranked(const ImageMatrix& grid) {
    std::vector<std::pair<int, int>> cells(3);
    for (int row = 1; row < grid.rows(); ++row)
        for (int column = 0; column < grid.columns(); ++column)
            if (const int rank = grid.rankOf(row, column))
                cells.at(rank - 1) = {row, column};
    return cells;
}

}  // namespace

TEST_F(ControllerTest, TheGridFillsItselfAndMarksTheBestCellsAsTheyFinish) {
    // Gentle coloured ramps: whatever the kernel, re-blurring gives them back, and only the
    // offsets tell the candidates apart.
    QImage ramps(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ramps.setPixel(x, y, qRgb(60 + x, 90 + y, 120));
    const QString path = app.temporaryPath("square.png");
    ASSERT_TRUE(ramps.save(path));
    ASSERT_TRUE(app.open(path));
    const RecordingReset reset;
    c.session().setMethods(RecordingDeblurMethods());
    recording().value = [](DeblurMethod m, const MethodCall& call, int v) {
        return v + Offset(m, call);
    };

    // The first column but its last cell (step 15 held): the best three of those are marked, and
    // B selects the best, its score in words below the grid.
    CloseMethodGate(15);
    c.deblurAtPoint({32, 32});
    ASSERT_TRUE(WaitFor([&] { return ColumnIs(grid, IMEntryReady, 1, 14); }));
    Spin(50);
    EXPECT_EQ(grid.entryStateforEntryRow(15, 0), IMEntryProcessing);
    EXPECT_EQ(Ranked(grid), (std::vector<std::pair<int, int>>{{5, 0}, {7, 0}, {9, 0}}));
    l.bestCandidateAction->trigger();
    EXPECT_EQ(std::pair(grid.selectedRow(), grid.selectedColumn()), std::pair(5, 0));
    const auto score = c.session().previewScore(DeblurredEntry{DeblurUSM1, 5, -1, {}});
    ASSERT_TRUE(score);
    EXPECT_TRUE(l.scoreLabel->text().contains(QString::fromStdString(DescribeScore(*score))));

    // The held cell, then the whole grid in the background: the marks follow.
    OpenMethodGate();
    ASSERT_TRUE(WaitFor([&] {
        for (int column = 0; column < kGridDeblurTypes; ++column)
            if (!ColumnIs(grid, IMEntryReady, 1, 30, column))
                return false;
        return true;
    }));
    EXPECT_EQ(Ranked(grid), (std::vector<std::pair<int, int>>{{4, DeblurWF2}, {15, 0}, {5, 0}}));
    l.bestCandidateAction->trigger();
    EXPECT_EQ(std::pair(grid.selectedRow(), grid.selectedColumn()), std::pair(4, int(DeblurWF2)));

    // The artefact map view mode shows the selected cell's map, and back.
    const DeblurredEntry best{DeblurWF2, 4, -1, {}};
    l.artefactMapAction->trigger();
    EXPECT_TRUE(
        samePixels(l.previewSplitView->selectedImage(), c.session().previewArtefactMap(best)));
    l.artefactMapAction->trigger();
    EXPECT_FALSE(
        pixelsEqual(l.previewSplitView->selectedImage(), c.session().previewArtefactMap(best)));
}
