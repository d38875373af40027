// The window as a user meets it: the history of changes, the file panels, small screens, one
// whole session driven through the widgets, from opening a photograph to saving and undoing, and
// a photograph of 16 bits a sample.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QWheelEvent>
#include <random>

#include "../images/ImageTestSupport.h"
#include "../session/SessionTestSupport.h"
#include "AppTestSupport.h"
#include "History.h"
#include "TiledImage.h"

using namespace velkaro;

// Random rectangles painted one after another: N undos give back the original byte for byte, N
// redos the final composite; beyond the budget the oldest steps go, the newest always stays, and
// the clean (saved) state survives the trimming where its step is kept.
TEST(History, DepthAndMemoryBound) {
    const int W = 40, H = 30, N = 12;
    struct Step {
        int x, y;
        CImage after;
    };
    std::mt19937 random(7);
    std::vector<Step> steps;
    for (int i = 0; i < N; ++i) {
        const int w = 1 + int(random() % W), h = 1 + int(random() % H);
        steps.push_back({int(random() % (W - w + 1)), int(random() % (H - h + 1)),
                         CImage(testsupport::randomImage(w, h, unsigned(i)))});
    }
    auto bytes = [&](int i) {
        return 2 * std::int64_t(steps[i].after.width()) * steps[i].after.height() * 4;
    };
    const std::int64_t lastFour = bytes(N - 4) + bytes(N - 3) + bytes(N - 2) + bytes(N - 1);
    const struct {
        std::int64_t budget;
        int kept;
    } cases[] = {{History::kDefaultBudget, N}, {lastFour, 4}, {lastFour - 1, 3}, {1, 1}};
    for (const auto& test : cases) {
        CImage composite(W, H);
        History history(
            [&](int x, int y, const CImage& pixels) { PasteImage(pixels, composite, x, y); });
        history.setBudget(test.budget);
        std::vector<CImage> states{CropImage(composite, 0, 0, W, H)};
        for (int i = 0; i < N; ++i) {
            const Step& step = steps[i];
            const CImage before =
                CropImage(composite, step.x, step.y, step.after.width(), step.after.height());
            PasteImage(step.after, composite, step.x, step.y);
            states.push_back(CropImage(composite, 0, 0, W, H));
            history.record("step", step.x, step.y, before, step.after);
            if (i == N - 3)  // saved here
                history.stack().setClean();
        }
        const int kept = test.kept;
        ASSERT_EQ(history.stack().count(), kept) << test.budget;
        EXPECT_LE(history.bytes(), std::max(test.budget, bytes(N - 1))) << test.budget;
        EXPECT_FALSE(history.stack().isClean());
        for (int i = 1; i <= kept; ++i) {
            history.stack().undo();
            EXPECT_EQ(history.stack().isClean(), i == 2) << test.budget << " " << i;
        }
        EXPECT_FALSE(history.stack().canUndo());
        EXPECT_TRUE(samePixels(composite.asImage(), states[N - kept].asImage())) << test.budget;
        for (int i = 0; i < kept; ++i) history.stack().redo();
        EXPECT_TRUE(samePixels(composite.asImage(), states[N].asImage())) << test.budget;
    }
}

using Window = AppTest;

// The open panel starts in the photograph's folder, else in the last folder used; Save suggests
// NAME-sharp.EXT beside the photograph in its own format (else the last type chosen); the type
// chosen while the panel shows sets its allowed names and the quality controls.
TEST_F(Window, PanelsStartBesideThePhotographAndSaveSuggestsItsFormat) {
    const QString photos = app.temporaryPath("photos"), out = app.temporaryPath("out");
    QDir().mkpath(photos), QDir().mkpath(out);
    QImage(TestDataPath("chelsea.png")).save(photos + "/cat.bmp");
    QFile::copy(TestDataPath("rocket.jpg"), photos + "/IMG_1.JPG");
    QFile::copy(TestDataPath("chelsea.png"), photos + "/chelsea.png");
    auto choose = [&](const char* type) {  // true when the quality slider shows
        l.saveOptionFileTypeButton->setCurrentText(type);
        c.savePopupChanged(l.saveOptionFileTypeButton);
        return l.saveOptionQualitySlider->isVisibleTo(l.saveOptionView);
    };
    choose("TIFF");
    l.saveOptionQualitySlider->setValue(55);
    const struct {
        const char* file;
        const char* suggested;
        const char* type;
    } cases[] = {
        {"IMG_1.JPG", "IMG_1-sharp.jpg", "JPEG"},
        {"cat.bmp", "cat-sharp.tif", "TIFF"},
        {"chelsea.png", "chelsea-sharp.png", "PNG"},
    };
    for (const auto& test : cases) {
        ASSERT_TRUE(app.open(photos + "/" + test.file)) << test.file;
        c.saveResult();  // cancelled
        ASSERT_TRUE(WaitFor([&] { return !c.savePanelIsRunning(); }));
        EXPECT_EQ(app.dialogs.saveSuggestions.last(), photos + "/" + test.suggested);
        EXPECT_EQ(l.saveOptionFileTypeButton->currentText(), test.type);
        c.openImage();  // nothing changed: straight to the panel, cancelled
        ASSERT_TRUE(WaitFor(
            [&] { return app.dialogs.openFolders.size() == app.dialogs.saveSuggestions.size(); }));
        EXPECT_EQ(app.dialogs.openFolders.last(), photos) << test.file;
    }
    EXPECT_EQ(app.settings().value("fileTypeToSave").toString(), "TIFF");
    EXPECT_EQ(app.settings().value("qualitySliderLastUsedValue").toInt(), 55);  // though cancelled

    // A save elsewhere, as JPEG then PNG chosen in the panel, makes that folder the last used:
    // with nothing open, panels start there. Later type changes reach no panel.
    app.dialogs.saveAnswers.push_back(out + "/mine");
    app.dialogs.savePanelTypes.clear();
    app.dialogs.whileSavePanelShows = [&] {
        EXPECT_TRUE(choose("JPEG"));
        EXPECT_FALSE(choose("PNG"));
    };
    QSignalSpy saved(&c, &Controller::saveFinished);
    c.saveResult();
    ASSERT_TRUE(saved.wait(30000));
    EXPECT_TRUE(QFile::exists(out + "/mine.png"));
    choose("TIFF");
    EXPECT_EQ(app.dialogs.savePanelTypes, (QList<QStringList>{{"png"}, {"jpg", "jpeg"}, {"png"}}));
    c.closeImages();
    c.openImage();
    ASSERT_TRUE(WaitFor([&] { return app.dialogs.openFolders.size() == 4; }));
    EXPECT_EQ(app.dialogs.openFolders.last(), out);

    // The real panel: the suggested name typed in, in the photograph's folder, one type picker.
    choose("JPEG");
    SheetDialogs real;
    real.beginSavePanel(l.mainWindow, l.saveOptionView, {"jpg", "jpeg"},
                        photos + "/IMG_1-sharp.jpg", nullptr);
    QFileDialog* panel = real.runningSavePanel();
    ASSERT_TRUE(panel);
    Spin(30);
    EXPECT_EQ(panel->findChild<QLineEdit*>("fileNameEdit")->text(), "IMG_1-sharp.jpg");
    EXPECT_EQ(QDir(panel->directory()).absolutePath(), photos);
    int pickers = 0;
    for (QComboBox* box : panel->findChildren<QComboBox*>())
        pickers += box->isVisibleTo(panel) && box->findText("JPEG") >= 0;
    EXPECT_EQ(pickers, 1);
    EXPECT_FALSE(panel->findChild<QWidget*>("fileTypeCombo")->isVisibleTo(panel));
    panel->reject();
    Spin(10);
}

// A name typed with the extension of a writable format is saved in that format and the type box
// follows it, whatever the box said; any other name gets the box's extension.
TEST_F(Window, TheTypedExtensionWinsOverTheTypeBox) {
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    l.saveOptionTransferMetadata->setChecked(false);
    // Each type: its title in the box, its extension and its files' signature.
    const char* types[][3] = {
        {"PNG", "png", "\x89PNG"}, {"JPEG", "jpg", "\xFF\xD8"}, {"TIFF", "tif", "II"}};
    const std::pair<const char*, int> names[] = {{"a.png", 0},  {"b.JPG", 1}, {"c.jpeg", 1},
                                                 {"d.tiff", 2}, {"e.v2", -1}, {"f", -1}};
    for (const auto& box : types)
        for (const auto& [name, type] : names) {
            const QString typed = app.temporaryPath(QString(box[0]) + "-" + name);
            app.dialogs.saveAnswers.push_back(typed);
            app.dialogs.whileSavePanelShows = [&] {
                l.saveOptionFileTypeButton->setCurrentText(box[0]);
                c.savePopupChanged(l.saveOptionFileTypeButton);
            };
            QSignalSpy saved(&c, &Controller::saveFinished);
            c.saveResult();
            ASSERT_TRUE(saved.wait(30000)) << qPrintable(typed);
            const auto& expected = type >= 0 ? types[type] : box;
            QFile file(type >= 0 ? typed : typed + "." + box[1]);
            EXPECT_TRUE(file.open(QIODevice::ReadOnly) &&
                        file.read(2) == QByteArray(expected[2], 2))
                << qPrintable(file.fileName());
            EXPECT_EQ(l.saveOptionFileTypeButton->currentText(), expected[0]);
        }
}

// At 1024 × 640 and 1280 × 720 the window keeps its size, neither screen scrolls sideways, every
// visible control of both screens lies inside the window without overlapping another, the Deblur
// button and the grid's row labels included, and the grid's rows are not cramped.
TEST_F(Window, SmallScreens) {
    l.mainWindow->show();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));
    const struct {
        QSize size;
        double minimumRowPitch;
    } cases[] = {{{1024, 640}, 12}, {{1280, 720}, 14}};
    for (const auto& test : cases) {
        l.mainWindow->resize(test.size);
        for (bool deblur : {false, true}) {
            deblur ? c.switchToDeblurView() : c.switchToMainView();
            Spin(30);
            SCOPED_TRACE(std::to_string(test.size.width()) + (deblur ? " deblur" : " main"));
            EXPECT_EQ(l.mainWindow->size(), test.size);
            // The screen fits the window's width: nothing lies beyond a scroll to the side.
            auto* screens = qobject_cast<QScrollArea*>(l.screens->parentWidget()->parentWidget());
            ASSERT_TRUE(screens);
            EXPECT_EQ(screens->horizontalScrollBar()->maximum(), 0);
            const QRect window = l.mainWindow->rect();
            // The visible leaves of the screen: controls, labels, views.
            QList<QWidget*> leaves;
            QWidget* screen = deblur ? l.deblurView : l.mainView;
            for (QWidget* w : screen->findChildren<QWidget*>())
                if (w->isVisibleTo(l.mainWindow) && w->findChildren<QWidget*>().isEmpty() &&
                    !qobject_cast<QScrollBar*>(w))
                    leaves << w;
            auto area = [&](QWidget* w) {
                return QRect(w->mapTo(l.mainWindow, QPoint(0, 0)), w->size());
            };
            for (QWidget* a : leaves) {
                EXPECT_TRUE(window.contains(area(a))) << a->metaObject()->className();
                for (QWidget* b : leaves)
                    EXPECT_TRUE(a >= b || !area(a).intersects(area(b)))
                        << a->metaObject()->className() << " " << b->metaObject()->className();
            }
            if (!deblur)
                continue;
            EXPECT_TRUE(leaves.contains(l.deblurButton));
            EXPECT_GE(grid.cellSize().height(), test.minimumRowPitch);
            for (int row : {1, 30}) {
                const QRectF cell = grid.cellRect(row, 0);
                const QRect label(grid.mapTo(l.mainWindow, QPoint(0, int(cell.top()))),
                                  QSize(int(ImageMatrix::kLeftMargin), int(cell.height())));
                EXPECT_TRUE(window.contains(label)) << " row " << row;
            }
        }
    }
}

namespace {

// Where an image pixel of the right half of a split view at zoom 1 is, in widget coordinates.
QPointF RightHalfWidgetPoint(const SplitView& view, double x, double y) {
    const double H = view.refocusedTiles().displayHeight();
    return QPointF(x - view.offset().x() + view.width() / 2,
                   view.height() - (H - y - view.offset().y()));
}

// The 16-bit samples of an image, A, R, G, B.
std::vector<std::uint16_t> Samples(const Image& image) {
    const auto* p = reinterpret_cast<const std::uint16_t*>(image.pixels());
    return {p, p + std::size_t(image.width()) * image.height() * 4};
}

}  // namespace

TEST_F(Window, EndToEndOpenPreviewDeblurPaintApplySave) {
    // Stand-ins for the methods: Richardson-Lucy inverts each channel, so the result is known.
    Session& session = c.session();
    const RecordingReset reset;
    session.setMethods(RecordingDeblurMethods());
    recording().value = [](DeblurMethod m, const MethodCall&, int v) {
        return m == DeblurMethod::LucyRichard ? 255 - v : v + 1;
    };
    auto rl20Calls = [] {  // of RL20 at step 4, the cell the test follows
        const auto calls = RecordedMethodCalls();
        return std::count_if(calls.begin(), calls.end(), [](const RecordedCall& call) {
            return call.method == DeblurMethod::LucyRichard && call.radius == 2.0 &&
                   call.parameter == 20;
        });
    };
    l.mainWindow->show();
    ASSERT_TRUE(app.open(TestDataPath("chelsea.png")));

    // A click with the deblur tool: the deblur screen, the whole small photo as the section, the
    // first column queued.
    l.toolMode->button(1)->click();
    const QPointF centre(l.splitView->width() / 2.0, l.splitView->height() / 2.0);
    Stroke(*l.splitView, {centre});
    EXPECT_TRUE(c.showsDeblurView());
    EXPECT_EQ(c.currentSection().width, 451);
    ASSERT_TRUE(WaitFor([&] { return ColumnIs(grid, IMEntryReady); }));

    // Another cell, chosen twice while its preview is still computing (held at the gate):
    // computed once.
    CloseMethodGate(4);
    const auto callsBefore = rl20Calls();
    const QPointF cell = grid.cellRect(4, DeblurRL20).center();
    Mouse(grid, QEvent::MouseButtonPress, cell);
    EXPECT_EQ(grid.selectedRow(), 4);
    ASSERT_TRUE(
        WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryProcessing; }));
    Mouse(grid, QEvent::MouseButtonPress, cell);
    c.changedEntry();
    OpenMethodGate();
    ASSERT_TRUE(WaitFor([&] { return grid.entryStateforEntryRow(4, DeblurRL20) == IMEntryReady; }));
    Spin(50);
    EXPECT_EQ(rl20Calls() - callsBefore, 3);  // three channels, one computation
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
    auto stroke = [&](double y) {
        std::vector<QPointF> points;
        for (int x = 150; x <= 250; x += 10)
            points.push_back(RightHalfWidgetPoint(*l.splitView, x, y));
        Stroke(*l.splitView, points);
    };
    stroke(150);
    EXPECT_NEAR(PixelByte(*reconstructed, 200, 150, 1), PixelByte(*result, 200, 150, 1), 1);
    EXPECT_EQ(PixelByte(*reconstructed, 20, 20, 1), PixelByte(*original, 20, 20, 1));
    EXPECT_EQ(PixelByte(*reconstructed, 200, 250, 2), PixelByte(*original, 200, 250, 2));
    const ImageRef painted = reconstructed->copy();

    // While the "Saving image" sheet shows, nothing the user does reaches the composite, the file
    // being written or the history; Esc and the close box leave the sheet up. A stand-in exiftool
    // that waits until `gate` exists makes the save, and so its sheet, last as long as needed.
    const QString gate = app.temporaryPath("gate"), saved = app.temporaryPath("saved.png");
    c.setExiftoolProgram(
        StandInExiftool(app, QString("while [ ! -e '%1' ]; do sleep 0.01; done\n").arg(gate)));
    l.saveOptionTransferMetadata->setChecked(true);
    QSignalSpy finished(&c, &Controller::saveFinished);
    ASSERT_TRUE(c.saveResultToPath(saved));
    ASSERT_TRUE(l.sheet->isVisible());
    const struct {
        const char* input;
        std::function<void()> act;
    } inputs[] = {
        {"mouse stroke", [&] { stroke(250); }},
        {"stroke left open",
         [&] {
             c.startBrush();
             c.applyBrushAtPoint({60, 60}, 40, 1.0f);
         }},
        {"apply to all", [&] { l.applyAllButton->click(); }},
        {"Ctrl+Z", [&] { QTest::keyClick(l.mainWindow, Qt::Key_Z, Qt::ControlModifier); }},
        {"Esc on the sheet", [&] { QTest::keyClick(l.sheet, Qt::Key_Escape); }},
        {"close box of the sheet", [&] { l.sheet->close(); }},
        {"arrow key", [&] { QTest::keyClick(l.mainWindow, Qt::Key_Down); }},
        {"save again", [&] { EXPECT_FALSE(c.saveResultToPath(saved + ".png")); }},
        {"quit", [&] { l.quitAction->trigger(); }},
    };
    for (const auto& input : inputs) {
        input.act();
        EXPECT_TRUE(l.sheet->isVisible()) << input.input;
        EXPECT_TRUE(samePixels(reconstructed, painted)) << input.input;
        EXPECT_FALSE(l.undoAction->isEnabled() || l.openAction->isEnabled()) << input.input;
    }
    WriteFile(gate, {});
    ASSERT_TRUE(finished.wait(30000));
    ASSERT_TRUE(WaitFor([&] { return !c.isBusy(); }));
    EXPECT_TRUE(samePixels(reconstructed, painted));
    EXPECT_TRUE(samePixels(ImageIO::sharedInstance().readFromFile(saved.toStdString()), painted));
    EXPECT_EQ(app.terminations, 0);
    EXPECT_EQ(c.history().stack().count(), 1);
    EXPECT_FALSE(l.mainWindow->isWindowModified());

    l.applyAllButton->click();
    EXPECT_EQ(testsupport::compare(*reconstructed, *result).maxAbs, 0);

    EXPECT_TRUE(app.dialogs.alerts.isEmpty());
    EXPECT_TRUE(app.dialogs.openFolders.isEmpty());

    // Back through the Edit menu past the saved state to the original, forward again; opening
    // another photograph forgets the history.
    for (int i = 0; i < 2; ++i) l.undoAction->trigger();
    EXPECT_TRUE(samePixels(reconstructed, original));
    EXPECT_FALSE(l.undoAction->isEnabled());
    l.redoAction->trigger();
    EXPECT_TRUE(samePixels(reconstructed, painted));
    ASSERT_TRUE(app.open(TestDataPath("coffee.png")));
    EXPECT_FALSE(l.undoAction->isEnabled() || l.redoAction->isEnabled());
    EXPECT_EQ(c.history().stack().count(), 0);
}

// The loupe on a candidate of a known photograph: at 1:1, 2:1 and 4:1 (a notch of the wheel) the
// pixel under the pointer is the candidate's at the point the view maps the pointer to, and
// flipped, the photograph's own pixel there; a drag pans, and the place survives a "processing"
// sign between two candidates. The main screen flips a full result the same way.
TEST_F(Window, LoupeMapsThePointerAndFlipsToTheOriginalInPlace) {
    const RecordingReset reset;
    c.session().setMethods(RecordingDeblurMethods());
    recording().value = [](DeblurMethod, const MethodCall&, int v) { return 255 - v; };
    const ImageRef photo = PatternImage(900, 700);
    const QString path = app.temporaryPath("pattern.png");
    ASSERT_TRUE(ToQImage(*photo).save(path));
    l.mainWindow->show();
    ASSERT_TRUE(app.open(path));
    c.deblurAtPoint({450, 350});
    ASSERT_TRUE(WaitFor([&] { return ColumnIs(grid, IMEntryReady); }));
    grid.setSelectedRow(5, 0);
    c.changedEntry();
    SplitView& loupe = *l.previewSplitView;
    const QPointF section(c.currentSection().x, c.currentSection().y);
    // Whether the pixel under `p` is the picture's and, flipped, the photograph's (offset by
    // `origin`), the two being different.
    auto drawsBoth = [&](SplitView& view, QPoint p, QPointF origin) {
        const QPointF at = view.convertPoint(view.viewPointFromWidget(p + QPointF(0.5, 0.5)));
        const QRgb after = RenderWidget(view).pixel(p);
        l.beforeAfterAction->toggle();
        const QRgb before = RenderWidget(view).pixel(p);
        l.beforeAfterAction->toggle();
        return after != before && after == ScreenPixel(*view.selectedImage(), at.x(), at.y()) &&
               before == ScreenPixel(*photo, at.x() + origin.x(), at.y() + origin.y());
    };
    const QPoint pointer(loupe.width() / 3, loupe.height() / 3);
    for (const int zoom : {SplitView::ZoomOut1, SplitView::ZoomIn2, SplitView::ZoomIn4}) {
        if (zoom != SplitView::ZoomIn4) {
            l.previewZoom->button(zoom)->click();
        } else {  // one notch of the wheel from 2:1
            QWheelEvent wheel(pointer, loupe.mapToGlobal(QPointF(pointer)), {}, {0, 120},
                              Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&loupe, &wheel);
        }
        const double scale = SplitView::ScaleForZoomColumn(zoom);
        EXPECT_EQ(loupe.scale(), scale);
        EXPECT_EQ(l.previewZoomPercent->text(), QString("%1 %").arg(scale * 100));
        EXPECT_TRUE(drawsBoth(loupe, pointer, section)) << scale;
    }
    // A drag carries the picture along.
    const QPointF under = loupe.convertPoint(loupe.viewPointFromWidget(pointer));
    const QPoint moved = pointer - QPoint(40, 30);
    Stroke(loupe, {QPointF(pointer), QPointF(moved)});
    const QPointF after = loupe.convertPoint(loupe.viewPointFromWidget(moved));
    EXPECT_LT((after - under).manhattanLength(), 1);
    const QPointF place = loupe.offset();
    for (int row : {9, 6}) {  // row 9 of RL20 is not computed: the "processing" sign
        grid.setSelectedRow(row, row == 9 ? DeblurRL20 : 0);
        c.changedEntry();
    }
    EXPECT_EQ(loupe.offset(), place);

    // The full result beside the composite, at 1:1.
    l.deblurButton->click();
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4 && c.images()[3].done; }));
    l.tableView->selectRow(3);
    l.zoomMode->button(SplitView::ZoomOut1)->click();
    EXPECT_TRUE(drawsBoth(*l.splitView, QPoint(100, 100), {}));
}

// A photograph of 16 bits a sample through the window: named in the title, deblurred, brushed,
// undone and saved at full depth (or at 8 bits when the save panel says so).
using DepthTest = AppTest;

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
    ASSERT_TRUE(WaitFor([&] { return c.images().size() == 4 && AllRowsDone(c); }));
    l.tableView->selectRow(3);
    ASSERT_TRUE(WaitFor([&] {
        const ImageRef shown = l.splitView->selectedImage();
        return shown && shown != c.session().original()->asImage();
    }));
    Paint(c, {{80, 60}}, 40, 1.0f);
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
