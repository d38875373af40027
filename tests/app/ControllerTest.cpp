// The window controller, with stand-ins for the methods where the timing matters.

#include <gtest/gtest.h>

#include <QMenu>
#include <QProcess>
#include <QSpinBox>
#include <QToolButton>
#include <chrono>
#include <cmath>
#include <thread>

#include "../session/SessionTestSupport.h"
#include "AngleView.h"
#include "AppTestSupport.h"
#include "Dispatch.h"
#include "Filter.h"
#include "ImageIO.h"
#include "KernelFile.h"
#include "KernelView.h"
#include "RecipeFile.h"
#include "SyntheticShake.h"

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
        l.brightnessOnly->click();
        app.controller().saveDefaults(l.maskAmount);  // none of those: stores nothing
        app.settings().sync();
        EXPECT_EQ(app.settings().allKeys().size(), 7);
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
    // The blur control as it was left: motion at 30° (the kernel's 150°), the angle's controls
    // enabled.
    EXPECT_EQ(again.controller().currentAngle(), 150);
    EXPECT_EQ(l.angleView->currentAngle(), 30);
    EXPECT_TRUE(l.blurShape->button(1)->isChecked());
    EXPECT_TRUE(l.angleField->isEnabled());
    EXPECT_TRUE(l.brightnessOnly->isChecked());
    EXPECT_TRUE(again.controller().session().brightnessOnly());
}

TEST_F(ControllerTest, FailedOpenAndFailedSaveShowAlertsAndCopyNoMetadata) {
    // A file that cannot be read leaves the photograph, its composite and its results as they
    // were: it is decoded before anything is closed.
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    c.applyAll();
    const QString title = l.mainWindow->windowTitle();
    const qsizetype rows = c.images().size();
    const QString damaged = app.temporaryPath("damaged.jpg");
    ASSERT_TRUE(WriteFile(damaged, "\xff\xd8\xff\xe0 not really a JPEG"));
    const QString unreadable[] = {app.temporaryPath("no such photo.jpg"), damaged,
                                  app.temporaryPath("")};
    for (const QString& path : unreadable) {
        QSignalSpy opened(&c, &Controller::openFinished);
        c.openImageAtPath(path);
        ASSERT_TRUE(opened.wait(30000)) << qPrintable(path);
        EXPECT_FALSE(opened.at(0).at(0).toBool());
        EXPECT_TRUE(c.hasFileOpen()) << qPrintable(path);
        EXPECT_TRUE(c.isModified());
        EXPECT_TRUE(l.splitView->selectedImage());
        EXPECT_EQ(c.images().size(), rows);
        EXPECT_EQ(l.mainWindow->windowTitle(), title);
        EXPECT_EQ(c.openedImagePath(), TestDataPath("chelsea.png"));
        ASSERT_FALSE(app.dialogs.alerts.isEmpty());
        EXPECT_TRUE(app.dialogs.alerts.last().informative.contains(QDir::cleanPath(path)));
        EXPECT_TRUE(app.dialogs.alerts.last().alternateButton.isEmpty());
    }
    const qsizetype alertsBefore = app.dialogs.alerts.size();

    // A stand-in exiftool that records its arguments and whether the file it is given (the last
    // one) is already written, and floods its output (never blocking it).
    c.undo();
    const QString record = app.temporaryPath("arguments.txt");
    c.setExiftoolProgram(
        StandInExiftool(app, QString("for a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                                     "eval last=\\${$#}; [ -s \"$last\" ] && echo written >> '%1'\n"
                                     "head -c 300000 /dev/zero\n")
                                 .arg(record)));
    l.saveOptionTransferMetadata->setChecked(true);
    const QString nowhere = app.temporaryPath("missing folder/out.png");
    EXPECT_FALSE(SaveAndWait(c, nowhere));
    ASSERT_EQ(app.dialogs.alerts.size(), alertsBefore + 1);
    EXPECT_TRUE(app.dialogs.alerts.last().informative.contains(nowhere));
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
    EXPECT_EQ(app.dialogs.alerts.size(), alertsBefore + 1);
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

    // Stop: the waiting steps report their cancellation and go dark, and so do the computing
    // ones (stopped while they compute, they may be unfinished); those handed out that had not
    // started yet may finish.
    l.stopPreviews->click();
    EXPECT_FALSE(l.stopPreviews->isEnabled());
    gBlockedX = -1;
    ASSERT_TRUE(WaitFor([&] {
        return c.session().previewsAreIdle() && grid.entryStateforEntryRow(15, 0) == IMEntryNothing;
    }));
    Spin(20);
    for (int row = 1; row <= 3; ++row)
        EXPECT_NE(grid.entryStateforEntryRow(row, 0), IMEntryProcessing);
    EXPECT_TRUE(ColumnIs(grid, IMEntryNothing, 4, 15));
    EXPECT_LE(c.session().previewCount(), 3u);
    // Cancel: back to the main screen; the computed cells stay for a return to the section.
    const std::size_t kept = c.session().previewCount();
    l.cancelButton->click();
    EXPECT_FALSE(c.showsDeblurView());
    EXPECT_EQ(c.session().previewCount(), kept);
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
    // However the test ends, the pool is given back (or the window's teardown waits for it).
    const std::unique_ptr<std::atomic<bool>, void (*)(std::atomic<bool>*)> release(
        &gate, [](std::atomic<bool>* g) { *g = true; });
    const int threads = int(std::max(2u, std::thread::hardware_concurrency())) * 2 + 2;
    for (int i = 0; i < threads; ++i)
        dispatchAsync(DispatchPriority::Default, [&] {
            ++blockers;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!gate && std::chrono::steady_clock::now() < deadline) QThread::msleep(2);
            --blockers;
        });
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));  // the column's restart
    grid.setSelectedRow(2, 0);
    c.addDeblur();
    EXPECT_EQ(c.queuedDeblurs().size(), 1);
    // Another image: the pool is freed while the window waits (its event loop turns), and the
    // request, still of the first image, must not become a result of the second.
    // Chelsea's own list has three rows too: only the open's end says coffee is in.
    QSignalSpy opened(&c, &Controller::openFinished);
    QTimer::singleShot(40, [&] { gate = true; });
    c.openImageAtPath(TestDataPath("coffee.png"));
    ASSERT_TRUE(WaitFor([&] { return opened.count() == 1 && blockers == 0; }));
    EXPECT_TRUE(opened.first().first().toBool());
    dispatchWaitIdle();
    Spin(50);
    EXPECT_EQ(c.images().size(), 3);
    EXPECT_TRUE(c.queuedDeblurs().isEmpty());
    EXPECT_TRUE(c.session().isIdle());
}

TEST_F(ControllerTest, EstimateSetsTheShapeMarksTheRowAndAnAngleRestartsTheColumn) {
    // Waits guard against a hang only: a sanitized build estimates many times slower.
    constexpr int kEstimateMs = 300000;
    QSignalSpy estimated(&c, &Controller::estimateFinished);
    auto previewDone = [&](int step, int angle) {
        return c.session().deblurredPreviewIsDone({DeblurUSM1, step, angle, {}});
    };

    // A sharp photograph: no blur found, and nothing changes.
    ASSERT_TRUE(app.open(TestDataPath("rocket.jpg")));
    c.deblurAtPoint({300, 200});
    ASSERT_TRUE(estimated.wait(kEstimateMs));
    EXPECT_TRUE(c.lastEstimate().shape == BlurShape::None);
    EXPECT_TRUE(c.currentAngle() == -1);
    EXPECT_TRUE(grid.suggestedRow() == -1);

    // The shaken clock: the click's estimate sets the motion, marks its row and selects it (no
    // cell was chosen yet), and the column is recomputed for that kernel.
    ASSERT_TRUE(app.open(TestDataPath("clock_motion.png")));
    c.deblurAtPoint({200, 150});
    ASSERT_TRUE(estimated.wait(kEstimateMs));
    const BlurEstimate e = c.lastEstimate();
    ASSERT_EQ(e.shape, BlurShape::Motion);
    EXPECT_EQ(c.currentAngle(), e.angle);
    EXPECT_EQ(l.angleView->currentAngle(), ProtractorAngleFromKernel(e.angle));
    EXPECT_EQ(grid.suggestedRow(), e.radiusStep);
    EXPECT_EQ(grid.selectedRow(), e.radiusStep);
    ASSERT_TRUE(
        WaitFor([&] { return previewDone(15, e.angle) && previewDone(e.radiusStep, e.angle); }));
    EXPECT_FALSE(previewDone(1, -1));

    // A cell chosen before the estimate (of the Estimate button) arrives stays chosen.
    c.estimateBlur();
    grid.setSelectedRow(3, 0);
    c.changedEntry();
    ASSERT_TRUE(estimated.wait(kEstimateMs));
    EXPECT_EQ(QPoint(grid.selectedColumn(), grid.selectedRow()), QPoint(0, 3));
    EXPECT_EQ(grid.suggestedRow(), e.radiusStep);

    // Another angle clears the previews and computes the column again, at that angle (a quarter
    // turn in the box is one in the kernel too).
    l.angleField->setValue((ProtractorAngleFromKernel(e.angle) + 90) % 180);
    ASSERT_TRUE(WaitFor([&] {
        return previewDone(15, (e.angle + 90) % 180) &&
               grid.entryStateforEntryRow(15, 0) == IMEntryReady;
    }));
    EXPECT_FALSE(previewDone(1, e.angle));
    EXPECT_EQ(grid.selectedRow(), 3);

    // The disc chosen by hand stays over this photograph's estimates.
    l.blurShape->button(0)->click();
    c.estimateBlur();
    ASSERT_TRUE(estimated.wait(kEstimateMs));
    EXPECT_TRUE(c.lastEstimate().shape == BlurShape::Motion && c.currentAngle() == -1);
    // A motion chosen here is not carried over to the next photograph, sharp or not.
    l.blurShape->button(1)->click();
    c.openImageAtPath(TestDataPath("rocket.jpg"));  // once the column's restart has ended
    ASSERT_TRUE(WaitFor([&] {
        return c.openedImagePath() == TestDataPath("rocket.jpg") && c.images().size() >= 3;
    }));
    EXPECT_EQ(c.currentAngle(), -1);
    c.deblurAtPoint({300, 200});
    ASSERT_TRUE(estimated.wait(kEstimateMs));
    EXPECT_TRUE(c.lastEstimate().shape == BlurShape::None && c.currentAngle() == -1);
}

// The coffee photograph shaken by a synthetic hand-held path, as a PNG of its own.
QString ShakenPhoto(const AppHarness& app, const KernelImage& kernel,
                    const char* name = "shaken.png") {
    const ImageRef sharp =
        ImageIO::sharedInstance().readFromFile(TestDataPath("coffee.png").toStdString());
    EXPECT_TRUE(sharp);
    const QString path = app.temporaryPath(name);
    EXPECT_TRUE(ImageIO::sharedInstance().writeImage(
        SyntheticBlur(CImage(sharp), kernel, 0.5 / 255, 1).asImage(), path.toStdString()));
    return path;
}

TEST_F(ControllerTest, AShakeIsEstimatedOrLoadedAndDrivesTheGridAndNewDeblurs) {
    const KernelImageRef truth = SyntheticShakeKernel(16, 3);
    ASSERT_TRUE(app.open(ShakenPhoto(app, *truth)));
    QSignalSpy estimated(&c, &Controller::estimateFinished);
    QSignalSpy progress(&c, &Controller::estimateProgress);
    QSignalSpy stopped(&c, &Controller::estimateStopped);
    auto previewDone = [&](int step, const KernelImageRef& kernel, bool brightnessOnly = false) {
        DeblurredEntry e{DeblurUSM1, step, -1, {}, kernel};
        e.brightnessOnly = brightnessOnly;
        return c.session().deblurredPreviewIsDone(e);
    };

    // The disc and the line fit the shake poorly: the blind estimate runs, and a click on another
    // section while it does stops it.
    c.deblurAtPoint({500, 200});
    ASSERT_TRUE(progress.wait(60000));
    c.deblurAtPoint({100, 200});
    ASSERT_TRUE(estimated.wait(300000));  // a hang guard only: sanitized, far slower
    EXPECT_EQ(stopped.count(), 1);
    EXPECT_EQ(estimated.count(), 1);

    // The second section's kernel becomes the Blur box's shake, drawn, its own radius marked.
    const BlurEstimate e = c.lastEstimate();
    ASSERT_EQ(e.shape, BlurShape::Shake) << "confidence " << e.confidence;
    const KernelImageRef found = c.shakeKernel();
    ASSERT_TRUE(found && c.currentKernel().image == found && l.blurShape->button(2)->isChecked());
    EXPECT_EQ(l.kernelView->kernelSize(), found->size());
    const int row = std::clamp(int(std::lround(2 * found->radius())), 1, 30);
    EXPECT_TRUE(grid.suggestedRow() == row && grid.selectedRow() == row) << grid.suggestedRow();
    EXPECT_NEAR(found->radius(), truth->radius(), 1.5);
    ASSERT_TRUE(WaitFor([&] { return previewDone(15, found) && previewDone(row, found); }));
    EXPECT_FALSE(previewDone(1, nullptr));

    // Kernel files: those that are no kernel are refused with their reason and change nothing; a
    // good one becomes the current kernel and the column is computed for it.
    const QString good = app.temporaryPath("psf.png"), text = app.temporaryPath("psf.tif"),
                  large = app.temporaryPath("large.png"), black = app.temporaryPath("black.png");
    ASSERT_TRUE(WriteKernelFile(good.toStdString(), *truth));
    ASSERT_TRUE(WriteFile(text, "not a picture"));
    QImage picture(129, 9, QImage::Format_Grayscale8);
    picture.fill(200);
    ASSERT_TRUE(picture.save(large));
    picture.fill(0);
    ASSERT_TRUE(picture.copy(0, 0, 9, 9).save(black));
    for (const QString& bad : {text, large, black}) {
        const qsizetype alerts = app.dialogs.alerts.size();
        app.dialogs.openAnswers = {bad};
        l.loadKernelAction->trigger();
        ASSERT_TRUE(WaitFor([&] { return app.dialogs.alerts.size() == alerts + 1; }))
            << bad.toStdString();
        EXPECT_TRUE(app.dialogs.alerts.back().informative.startsWith(bad));
        EXPECT_TRUE(c.shakeKernel() == found && c.currentKernel().image == found);
    }
    app.dialogs.openAnswers = {good};
    l.loadKernelButton->click();
    ASSERT_TRUE(WaitFor([&] { return c.shakeKernel() != found; }));
    const KernelImageRef loaded = c.currentKernel().image;
    ASSERT_TRUE(loaded && loaded == c.shakeKernel() && loaded->size() == truth->size());
    double largest = 0;  // 16-bit levels: each weight within one level of the truth
    for (std::size_t i = 0; i < truth->weights().size(); ++i)
        largest = std::max(largest, std::abs(loaded->weights()[i] - truth->weights()[i]));
    EXPECT_LT(largest, 2e-4);
    EXPECT_TRUE(WaitFor([&] { return previewDone(15, loaded); }));

    // Brightness only: the session's setting and the flag of the window's own entries, saved.
    l.brightnessOnly->click();
    EXPECT_TRUE(c.session().brightnessOnly());
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));  // the column's restart
    grid.setSelectedRow(2, 0);
    c.addDeblur();
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4; }));
    const DeblurredEntry full = *c.images().back().entry;
    EXPECT_TRUE(full.brightnessOnly && full.kernel == loaded && full.radiusStep == 2);

    // A shake that a line fits well: the Blur box turns to the line at once, and the search that
    // goes on from it is not stopped by that; the shake it finds replaces the line.
    ASSERT_TRUE(app.open(ShakenPhoto(app, *SyntheticShakeKernel(10, 11100), "curved.png")));
    const int angleBefore = l.angleField->value(), finishedBefore = estimated.count();
    c.deblurAtPoint({300, 200});
    ASSERT_TRUE(estimated.wait(300000));
    EXPECT_EQ(estimated.count(), finishedBefore + 1);
    EXPECT_EQ(c.lastEstimate().shape, BlurShape::Shake);
    EXPECT_NE(l.angleField->value(), angleBefore);
}

TEST_F(ControllerTest, TheSameSectionAgainReusesItsCellsAndTheBadgesSettleWhenTheGridIsFull) {
    // 600 × 48: two sections, each filled quickly by the recording stand-ins.
    const QString photo = app.temporaryPath("strip.png");
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(PatternImage(600, 48), photo.toStdString()));
    ASSERT_TRUE(app.open(photo));
    const RecordingReset reset;
    c.session().setMethods(RecordingDeblurMethods());
    CloseMethodGate(30);  // the last row waits: the grid is not full yet
    c.deblurAtPoint({20, 20});
    const auto gridFull = [&] { return GridIsReady(grid); };
    ASSERT_TRUE(WaitFor([&] {
        return StepsAtGate() >= 1 && grid.rankOf(1, 0) + grid.rankOf(2, 0) + grid.rankOf(3, 0) > 0;
    }));
    const auto best = c.session().bestPreviews(1);
    ASSERT_EQ(best.size(), 1u);
    EXPECT_EQ(grid.rankOf(best[0].radiusStep, best[0].deblurType), 1);
    EXPECT_TRUE(grid.ranksAreProvisional() && !gridFull());
    OpenMethodGate();
    ASSERT_TRUE(WaitFor([&] { return gridFull() && c.session().previewsAreIdle(); }));
    EXPECT_FALSE(grid.ranksAreProvisional());

    // Back from the main screen to the same section: every cell at once, no method runs.
    const std::size_t calls = RecordedMethodCalls().size();
    l.cancelButton->click();
    c.deblurAtPoint({30, 10});
    EXPECT_TRUE(c.showsDeblurView() && gridFull() && !grid.ranksAreProvisional());
    Spin(100);
    dispatchWaitIdle();
    EXPECT_EQ(RecordedMethodCalls().size(), calls);
    // Another section starts again.
    c.deblurAtPoint({590, 10});
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy() && RecordedMethodCalls().size() > calls; }));
    EXPECT_FALSE(gridFull());
}

TEST(DeblurStatus, TimeLeftFollowsTheRateAndNeverRisesMuchOnceATenthIsDone) {
    // The method's fraction done after t seconds of a 100 s deblur: steady, slowing down (the
    // least-squares solvers), and stalling before a jump.
    const struct {
        const char* name;
        double (*fraction)(double t);
    } paces[] = {
        {"steady", [](double t) { return t / 100; }},
        {"slowing", [](double t) { return std::sqrt(t / 100); }},
        {"stalling",
         [](double t) { return t < 40   ? t / 50
                               : t < 60 ? 0.8
                                        : 0.8 + (t - 60) / 200; }},
    };
    for (const auto& pace : paces) {
        TimeLeft left;
        for (double t = 0.5; t <= 100; t += 0.5) {
            const double f = pace.fraction(t);
            const TimeLeft next = NextTimeLeft(left, f, t);
            const bool early = f < 0.01 || t < 1, settled = f >= kTimeLeftSettled;
            EXPECT_TRUE(!early || next.seconds < 0) << pace.name << " " << t;
            EXPECT_TRUE(!settled || left.seconds < 0 ||
                        next.seconds <= left.seconds * kTimeLeftRise + 1e-9)
                << pace.name << " " << t;
            EXPECT_TRUE(pace.name != std::string("steady") || !settled ||
                        std::abs(next.seconds - (100 - t)) <= 5)
                << t << " " << next.seconds;
            left = next;
        }
        EXPECT_EQ(NextTimeLeft(left, 1.0, 100).seconds, 0) << pace.name;
    }
    const struct {
        double fraction, seconds;
        const char* text;
    } texts[] = {{0.005, -1, "0%"},
                 {0.45, 61.6, "45% · 1 min 02 s left"},
                 {0.1, 3725, "10% · 1 h 02 min left"},
                 {0.9, 4.4, "90% · 4 s left"}};
    for (const auto& t : texts)
        EXPECT_EQ(DeblurStatusText(t.fraction, TimeLeft{t.seconds, 0}), QString::fromUtf8(t.text));
}

TEST_F(ControllerTest, OpenRecentKeepsTheLastTenMostRecentFirstAndDropsMissingFiles) {
    QStringList paths;
    for (int i = 0; i < 12; ++i) {
        paths << app.temporaryPath(QString("photo%1.png").arg(i));
        ASSERT_TRUE(WriteFile(paths.back(), {}));
        c.addRecentFile(paths.back());
    }
    QStringList expected;
    for (int i = 11; i >= 2; --i) expected << paths[i];
    EXPECT_EQ(c.recentFiles(), expected);
    // Again: it moves to the top. Gone: it leaves the list.
    c.addRecentFile(paths[5]);
    QFile::remove(paths[11]);
    expected.removeAll(paths[5]);
    expected.removeAll(paths[11]);
    expected.prepend(paths[5]);
    EXPECT_EQ(c.recentFiles(), expected);

    // Opened photographs go on top; the menu opens what it names.
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    emit l.openRecentMenu->aboutToShow();
    const QList<QAction*> actions = l.openRecentMenu->actions();
    ASSERT_EQ(actions.size(), Controller::kRecentFiles);
    EXPECT_EQ(actions[0]->data().toString(), TestDataPath("chelsea.png"));
    QSignalSpy opened(&c, &Controller::openFinished);
    actions[1]->trigger();
    ASSERT_TRUE(opened.wait(30000));
    EXPECT_EQ(c.session().original()->width(), 600);
    EXPECT_EQ(c.recentFiles().first(), TestDataPath("coffee.png"));
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
    // Each cancel button lies inside the list's viewport, at the default size and at 1024 × 640.
    l.mainWindow->show();
    for (const QSize size : {l.mainWindow->size(), QSize(1024, 640)})
        for (int i = 3; i < 6; ++i) {
            l.mainWindow->resize(size);
            l.tableView->scrollTo(l.tableView->model()->index(i, 2));
            Spin(20);
            QWidget* button = l.tableView->indexWidget(l.tableView->model()->index(i, 2));
            const QRect area(button->mapTo(l.tableView->viewport(), QPoint()), button->size());
            EXPECT_TRUE(button->isVisible() && l.tableView->viewport()->rect().contains(area) &&
                        button->toolTip().contains("Esc"))
                << size.width() << " row " << i;
        }
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
    ASSERT_TRUE(WaitFor([&] { return AllRowsDone(c); }));
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

    // The held cell, then the whole grid in the background. The best cell is the ramp itself
    // (WF2 at step 4 adds nothing) and re-blurring the ramp gives it back, so no cell scores above
    // the section as it is: once the grid is full no cell is marked, and Best keeps the choice.
    OpenMethodGate();
    ASSERT_TRUE(WaitFor([&] { return GridIsReady(grid); }));
    ASSERT_TRUE(WaitFor([&] { return Ranked(grid)[0] == std::pair(0, 0); }));
    EXPECT_FALSE(l.stopPreviews->isEnabled());
    grid.setSelectedRow(9, 0);
    l.bestCandidateAction->trigger();
    EXPECT_EQ(std::pair(grid.selectedRow(), grid.selectedColumn()), std::pair(9, 0));

    // The artefact map view mode shows the selected cell's map, and back.
    const DeblurredEntry best{DeblurUSM1, 9, -1, {}};
    l.artefactMapAction->trigger();
    EXPECT_TRUE(
        samePixels(l.previewSplitView->selectedImage(), c.session().previewArtefactMap(best)));
    l.artefactMapAction->trigger();
    EXPECT_FALSE(
        pixelsEqual(l.previewSplitView->selectedImage(), c.session().previewArtefactMap(best)));
}

TEST_F(ControllerTest, ASavedRecipeReplaysToTheSavedPixelsAndReopensWithItsStepsToUndo) {
    const QString photo = app.temporaryPath("cat.png");
    const CImage cat(ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png")));
    ImageIO::sharedInstance().writeImage(CropImage(cat, 150, 60, 160, 120).asImage(),
                                         photo.toStdString());
    ASSERT_TRUE(app.open(photo));
    // Two full deblurs: RL20 at radius 2 through mask B, USMF3 at 1.5 along a 30° line.
    l.maskType->button(1)->click();
    l.maskAmount->setFloatValue(0.6f);
    grid.setSelectedRow(4, DeblurRL20);
    c.addDeblur();
    // Each finished before the next: the results list them in the order they finish.
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4 && AllRowsDone(c); }, 120000));
    l.blurShape->button(1)->click();
    l.angleField->setValue(30);
    grid.setSelectedRow(3, DeblurUSMF3);
    c.addDeblur();
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 5 && AllRowsDone(c); }, 120000));
    const ImageRef original = c.session().original()->asImage()->copy();

    // Strokes from both results and from the original (a dab again in place and one off the
    // photograph among them), an Apply to all, and a last stroke undone: it leaves the recipe.
    const auto paint = [&](int row, std::vector<QPointF> points, float size, float opacity) {
        l.tableView->selectRow(row);
        Paint(c, points, size, opacity);
    };
    paint(3, {{20, 20}, {30, 24}, {45, 30}, {45, 30}, {-30, -30}}, 24, 0.9f);
    l.tableView->selectRow(4);
    c.applyAll();
    paint(3, {{100, 80}, {120, 90}}, 40, 0.5f);
    paint(0, {{80, 60}}, 30, 1.0f);
    paint(4, {{10, 100}}, 16, 1.0f);
    c.undo();
    const ImageRef composite = c.session().reconstructed()->asImage()->copy();
    const QString saved = app.temporaryPath("cat-sharp.png");
    ASSERT_TRUE(SaveAndWait(c, saved));
    const QString recipe = app.temporaryPath("cat-sharp.velkaro.json");
    Recipe r;
    RecipeError error;
    ASSERT_TRUE(ReadRecipeFile(r, recipe.toStdString(), error)) << error.text();
    EXPECT_EQ(r.operations.size(), 4u);
    EXPECT_EQ(r.deblurs.size(), 2u);
    EXPECT_EQ(r.operations[0].points.size(), 3u);
    EXPECT_EQ(r.deblurs[1].entry.angle, KernelAngleFromProtractor(30));

    // The command line replays it to the pixels saved.
    QProcess cli;
    const QString replayed = app.temporaryPath("replayed.png");
    cli.start(QString(VELKARO_RUNTIME_DIR) + "/velkaro-cli", {"replay", recipe, replayed});
    ASSERT_TRUE(cli.waitForFinished(120000));
    EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
    EXPECT_TRUE(
        samePixels(ImageIO::sharedInstance().readFromFile(replayed.toStdString()), composite));
    EXPECT_TRUE(samePixels(ImageIO::sharedInstance().readFromFile(saved.toStdString()), composite));

    // Open Recipe: the photograph again with its two results, the composite as saved and four
    // steps that undo back to the original.
    QSignalSpy replays(&c, &Controller::recipeReplayed);
    app.dialogs.openAnswers.push_back(recipe);
    l.openRecipeAction->trigger();
    ASSERT_TRUE(replays.wait(120000));
    EXPECT_TRUE(replays.at(0).at(0).toBool());
    EXPECT_TRUE(samePixels(c.session().reconstructed()->asImage(), composite));
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 5 && c.images()[4].done; }));
    EXPECT_EQ(c.history().stack().count(), 4);
    for (int i = 0; i < 4; ++i) c.undo();
    EXPECT_TRUE(samePixels(c.session().reconstructed()->asImage(), original));
    for (int i = 0; i < 4; ++i) c.redo();
    EXPECT_TRUE(samePixels(c.session().reconstructed()->asImage(), composite));

    // With the preference off, a save writes no recipe.
    l.writeRecipe->click();
    ASSERT_TRUE(SaveAndWait(c, app.temporaryPath("plain.png")));
    EXPECT_FALSE(QFileInfo::exists(app.temporaryPath("plain.velkaro.json")));
    EXPECT_TRUE(app.dialogs.alerts.size() <= 1);  // at most the question before reopening
}
