// The views on their own, with a controller that records what they ask: the split view, the
// candidate grid, the main window's keys and the tiles the views draw.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QWheelEvent>
#include <cmath>

#include "AppTestSupport.h"
#include "TiledImage.h"

using namespace velkaro;

namespace {

// A view with the three tools (brush chosen), the four zoom steps and the brush at size 40,
// opacity 0.5, as the main window has it.
struct ToolView : WithApp {
    QWidget parent;
    QButtonGroup tools, zoom;
    FloatSlider brushSize, brushOpacity;
    SplitView* view = new SplitView(&parent);
    RecordingController controller;

    ToolView(int width, int height, ImageRef picture = nullptr) {
        view->resize(width, height);
        for (int i = 0; i < 3; ++i) tools.addButton(new QRadioButton(&parent), i);
        for (int i = 0; i <= SplitView::ZoomFit; ++i) zoom.addButton(new QRadioButton(&parent), i);
        tools.button(2)->setChecked(true);
        zoom.button(0)->setChecked(true);
        brushSize.setFloatRange(1, 201, 200);
        brushSize.setFloatValue(40);
        brushOpacity.setFloatRange(0, 1, 100);
        brushOpacity.setFloatValue(0.5f);
        view->setController(&controller);
        view->setMouseMode(&tools);
        view->setZoomMode(&zoom);
        view->setBrushControls(&brushSize, &brushOpacity);
        if (picture) {
            view->setSelectedImage(picture, "Original");
            view->setRefocusedImage(picture);
        }
    }
};

// Sends a drag of one file over the view; returns whether the view accepted it.
bool DragEnter(SplitView& view, const QString& path, Qt::DropActions actions,
               Qt::DropAction* action = nullptr) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent event(QPoint(50, 50), actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &event);
    if (action)
        *action = event.dropAction();
    return event.isAccepted();
}

}  // namespace

TEST(SplitView, SplitModeHalvesTheViewAndMapsBothHalves) {
    ImageRef left = PatternImage(2000, 1000);
    ImageRef right = left->copy();
    for (std::size_t i = 0; i < right->data()->size(); i += 4) (*right->data())[i + 1] ^= 0xff;
    ToolView t(1001, 400);
    t.view->setSelectedImage(left, "RL40 2.5");
    t.view->setRefocusedImage(right);
    t.view->changeViewMode(1);
    EXPECT_TRUE(t.view->isSplit());
    // (Where a click lands in either half is ZoomKeepsThePointUnderThePointerOrTheCentre's.)
    // Each half shows the same part of its own picture. The top row shows display row 399
    // (y upwards), that is source row 600 from the top.
    const QImage shown = RenderWidget(*t.view);
    EXPECT_EQ(shown.pixel(10, 0), ScreenPixel(*left, 10, 600));
    EXPECT_EQ(shown.pixel(510, 0), ScreenPixel(*right, 10, 600));

    // The reconstructed picture on both sides (the results row "Reconstructed"): a reloaded
    // rectangle rebuilds only its tile and shows the new pixels on both.
    t.view->setSelectedImage(right, "Reconstructed");
    RenderWidget(*t.view);
    const std::size_t cached = t.view->selectedTiles().cachedTileCount();
    std::uint8_t* p = right->pixels() + (600 * 2000 + 10) * 4;
    p[1] = 11, p[2] = 22, p[3] = 33;
    t.view->reloadRefocusedImageInRect({10, 600, 1, 1});
    EXPECT_EQ(t.view->selectedTiles().cachedTileCount(), cached - 1);
    EXPECT_TRUE(RenderWidget(*t.view).pixel(10, 0) == qRgb(11, 22, 33));
    EXPECT_TRUE(RenderWidget(*t.view).pixel(510, 0) == qRgb(11, 22, 33));
    // Undo puts other pixels in place and hands the same picture over again.
    p[1] = 44;
    t.view->setRefocusedImage(right);
    EXPECT_EQ(RenderWidget(*t.view).pixel(10, 0), qRgb(44, 22, 33));

    // Zoom column 2 shows one pixel for 4 × 4; the picture (500 × 250) is centred vertically and
    // the brush circle shrinks with it.
    t.zoom.button(2)->click();
    EXPECT_EQ(t.view->offset(), QPointF(0, -75));
    EXPECT_EQ(t.view->convertPoint(QPointF(700, 100)), QPointF(800, 900));
    t.view->moveBrushTo(QPointF(100, 100));
    EXPECT_EQ(t.view->brushRect(), QRectF(95, 95, 10, 10));
}

// Zooming by the wheel or by steps about a point keeps the image point under it (the view's
// mapping before and after, and the pixel drawn there); by the zoom group or without a pointer it
// keeps the centre. Fit shows the whole picture; the scroll bars follow and move the view.
TEST(SplitView, ZoomKeepsThePointUnderThePointerOrTheCentre) {
    ImageRef picture = PatternImage(4000, 3000);
    ToolView t(300, 200, picture);
    QScrollBar horizontal(Qt::Horizontal), vertical(Qt::Vertical);
    t.view->setScrollBars(&horizontal, &vertical);
    enum How { WheelUp, CtrlWheelDown, StepIn, StepOut, Column };
    const struct {
        int split;
        How how;
        QPointF at;  // widget position of the pointer; the centre for Column and steps without one
        double scale, expected;
        int column = 0;
    } cases[] = {
        {0, WheelUp, {120, 90}, 1, 2},
        {0, WheelUp, {250, 133}, 2, 4},
        {0, WheelUp, {10, 10}, 4, 4},
        {0, CtrlWheelDown, {233, 71}, 1, 0.5},
        {0, StepIn, {77, 181}, 0.25, 0.5},
        {0, StepOut, {260, 20}, 4, 2},
        {0, StepIn, {-1, -1}, 1, 2},
        {1, WheelUp, {230, 150}, 1, 2},
        {1, StepOut, {120, 50}, 2, 1},
        {0, Column, {-1, -1}, 1, 4, SplitView::ZoomIn4},
        {1, Column, {-1, -1}, 0.5, 0.125, SplitView::ZoomOut8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        t.view->changeViewMode(c.split);
        t.view->setScale(c.scale);
        const bool pointer = c.at.x() >= 0;
        const QPointF widget =
            pointer ? c.at : QPointF(t.view->viewCentre().x(), 200 - t.view->viewCentre().y());
        const QPointF viewPoint = t.view->viewPointFromWidget(widget);
        // The picture's middle under the pointer, so that no zoom reaches an edge.
        const double x = c.split && viewPoint.x() > 150 ? viewPoint.x() - 150 : viewPoint.x();
        t.view->setOffset(QPointF(2000 * c.scale - x, 1500 * c.scale - viewPoint.y()));
        t.view->clampOffset();
        const QPointF before = t.view->convertPoint(viewPoint);
        EXPECT_EQ(before, QPointF(2000, 1500));
        if (c.how == WheelUp || c.how == CtrlWheelDown) {
            QWheelEvent wheel(widget, t.view->mapToGlobal(widget), {},
                              {0, c.how == WheelUp ? 120 : -120}, Qt::NoButton,
                              c.how == WheelUp ? Qt::NoModifier : Qt::ControlModifier,
                              Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(t.view, &wheel);
        } else if (c.how == Column) {
            t.zoom.button(c.column)->click();
        } else if (pointer) {
            t.view->zoomStep(c.how == StepIn ? 1 : -1, viewPoint);
        } else {
            t.view->zoomStep(c.how == StepIn ? 1 : -1);
        }
        EXPECT_EQ(t.view->scale(), c.expected);
        EXPECT_EQ(SplitView::ScaleForZoomColumn(t.zoom.checkedId()), c.expected);
        const QPointF after = t.view->convertPoint(viewPoint);
        EXPECT_LE(std::abs(after.x() - before.x()), 0.5 / c.expected + 1e-9);
        EXPECT_LE(std::abs(after.y() - before.y()), 0.5 / c.expected + 1e-9);
        // The pixel drawn under the pointer is the image pixel the mapping names.
        const QImage shown = RenderWidget(*t.view);
        const QPoint p = (widget + QPointF(0.5, 0.5)).toPoint();
        const QPointF q =
            t.view->convertPoint(t.view->viewPointFromWidget(QPointF(p) + QPointF(0.5, 0.5)));
        if (t.view->zoomOut() == 1) {  // tiles of the picture's own pixels
            EXPECT_EQ(shown.pixel(p), ScreenPixel(*picture, int(q.x()), int(q.y())));
        }
        // The bars show where the view is: the horizontal from the left, the vertical from the top.
        const double top =
            t.view->selectedTiles().displayHeight() * t.view->scale() * t.view->zoomOut();
        EXPECT_EQ(horizontal.value(), int(std::round(t.view->offset().x())));
        EXPECT_NEAR(vertical.value(), top - 200 - t.view->offset().y(), 1);
    }

    // Fit: the whole picture, centred, and still after a resize; a bar moves the view.
    t.view->changeViewMode(0);
    t.zoom.button(SplitView::ZoomFit)->click();
    for (QSize size : {QSize(300, 200), QSize(700, 300)}) {
        t.view->resize(size);
        RenderWidget(*t.view);  // a hidden widget hears of its new size when it is drawn
        const double shownWidth = 4000 * t.view->scale(), shownHeight = 3000 * t.view->scale();
        EXPECT_TRUE(t.view->fits());
        EXPECT_LE(shownWidth, size.width());
        EXPECT_LE(shownHeight, size.height());
        EXPECT_GT(std::max(shownWidth / size.width(), shownHeight / size.height()), 0.98);
        EXPECT_FALSE(horizontal.isEnabled() || vertical.isEnabled());
    }
    t.zoom.button(SplitView::ZoomOut1)->click();
    horizontal.setValue(250);
    vertical.setValue(0);  // the top
    EXPECT_EQ(t.view->offset(), QPointF(250, 3000 - 300));
    EXPECT_EQ(t.view->convertPoint(QPointF(0, 300)), QPointF(250, 0));
}

TEST(SplitView, BrushStrokeClickAndDoubleClickCallTheControllerInOrder) {
    ToolView t(500, 400, PatternImage(800, 600));
    t.view->setOffset(QPointF(10, 20));
    Stroke(*t.view, {{100, 100}, {110, 100}, {120, 105}});
    // Widget y 100 is view y 300; image y = 600 − (300 + 20) = 280.
    EXPECT_EQ(t.controller.mCalls,
              (QStringList{"startBrush", "brush 110.0 280.0 size 40.0 opacity 0.50",
                           "brush 120.0 280.0 size 40.0 opacity 0.50",
                           "brush 130.0 285.0 size 40.0 opacity 0.50", "endBrush"}));
    // The circle stays where the pointer was released, at the brush's size.
    EXPECT_EQ(t.view->brushRect(), QRectF(100, 275, 40, 40));

    // A double click paints one dab with its first press and asks for a deblur with its second,
    // which does no brush work.
    t.controller.mCalls.clear();
    Stroke(*t.view, {{70, 80}});
    Mouse(*t.view, QEvent::MouseButtonDblClick, QPointF(70, 80));
    Mouse(*t.view, QEvent::MouseMove, QPointF(90, 90));
    Mouse(*t.view, QEvent::MouseButtonRelease, QPointF(90, 90));
    EXPECT_EQ(t.controller.mCalls,
              (QStringList{"startBrush", "brush 80.0 260.0 size 40.0 opacity 0.50", "endBrush",
                           "deblur 80.0 260.0"}));

    // Click to deblur asks once per click, and nothing without a reconstructed image.
    t.controller.mCalls.clear();
    t.tools.button(1)->setChecked(true);
    t.view->setOffset(QPointF(0, 0));
    Stroke(*t.view, {{50, 50}, {60, 60}});
    EXPECT_EQ(t.controller.mCalls, QStringList{"deblur 50.0 250.0"});
    t.view->setRefocusedImage(nullptr);
    Stroke(*t.view, {{50, 50}});
    EXPECT_EQ(t.controller.mCalls.size(), 1);
}

TEST(SplitView, DropsAreAcceptedOnlyWithoutAnImageAndByExtension) {
    ToolView t(400, 300);
    t.view->setAllowDrops(true);
    const QImage empty = RenderWidget(*t.view);
    // Upper-case extension: listed once lower-cased; link is preferred to copy.
    Qt::DropAction action = Qt::IgnoreAction;
    EXPECT_TRUE(
        DragEnter(*t.view, "/photos/IMG_0001.JPG", Qt::CopyAction | Qt::LinkAction, &action));
    EXPECT_EQ(action, Qt::LinkAction);
    EXPECT_NE(RenderWidget(*t.view), empty);  // the frame
    // An unlisted extension: no operation; nor for a listed one offered only to move.
    EXPECT_FALSE(DragEnter(*t.view, "/photos/notes.xyz", Qt::CopyAction | Qt::LinkAction));
    EXPECT_TRUE(t.view->isDragAndDropping());
    EXPECT_FALSE(DragEnter(*t.view, "/photos/a.png", Qt::MoveAction));
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(t.view, &leave);
    EXPECT_EQ(RenderWidget(*t.view), empty);

    // Dropping an accepted file opens it.
    ASSERT_TRUE(DragEnter(*t.view, "/photos/IMG_0001.JPG", Qt::CopyAction));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile("/photos/IMG_0001.JPG")});
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(t.view, &drop);
    EXPECT_EQ(t.controller.mCalls, QStringList{"open /photos/IMG_0001.JPG"});
    EXPECT_FALSE(t.view->isDragAndDropping());
    // With an image open every drag is refused: no operation, no frame.
    t.controller.mAllowDrop = false;
    EXPECT_FALSE(DragEnter(*t.view, "/photos/IMG_0001.JPG", Qt::CopyAction | Qt::LinkAction));
    EXPECT_EQ(RenderWidget(*t.view), empty);
}

// Clicks, sliders and the program select cells; only a user's choice tells the controller.
TEST(ImageMatrix, ClicksSlidersAndResetSelectTheCandidate) {
    TestApp();  // the grid of the deblur screen: 31 radius steps by 22 types in 690 × 355 points
    QWidget parent;
    QSlider radius{Qt::Horizontal}, type{Qt::Horizontal};
    ImageMatrix* matrix = new ImageMatrix(&parent);
    RecordingController controller;
    matrix->resize(690, 355);
    matrix->setController(&controller);
    matrix->setSliders(&radius, &type);
    matrix->setRows(31, 22);
    matrix->resetState();
    auto click = [&](QPoint p) { QTest::mouseClick(matrix, Qt::LeftButton, Qt::NoModifier, p); };
    auto selected = [&] { return QPoint(matrix->selectedColumn(), matrix->selectedRow()); };
    EXPECT_EQ(matrix->cellRect(30, 21), QRectF(660, 300, 30, 10));
    click(QPoint(675, 305));
    EXPECT_EQ(selected(), QPoint(21, 30));
    click(QPoint(30, 10));  // the top-left corner of cell (1, 0)
    EXPECT_EQ(selected(), QPoint(0, 1));
    EXPECT_EQ(controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));
    // The top band (row 0), the label margins and the far edges change nothing.
    controller.mCalls.clear();
    for (QPoint p :
         {QPoint(45, 5), QPoint(10, 100), QPoint(29, 100), QPoint(300, 320), QPoint(300, 354)})
        click(p);
    EXPECT_TRUE(controller.mCalls.isEmpty());
    EXPECT_EQ(selected(), QPoint(0, 1));

    type.setValue(15);
    radius.setValue(12);
    EXPECT_EQ(selected(), QPoint(15, 12));
    EXPECT_EQ(controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));

    // A selection set by the program moves the sliders but is not a user's choice.
    controller.mCalls.clear();
    matrix->setSelectedRow(9, 4);
    EXPECT_EQ(QPoint(type.value(), radius.value()), QPoint(4, 9));
    matrix->setEntryState(IMEntryReady, 5, 7);
    matrix->setEntryState(IMEntryQueued, 0, 1);
    matrix->resetState();
    EXPECT_EQ(matrix->entryStateforEntryRow(5, 7), IMEntryNothing);
    EXPECT_EQ(matrix->entryStateforEntryRow(0, 1), IMEntryNothing);
    EXPECT_EQ(selected(), QPoint(0, 1));
    EXPECT_EQ(radius.value(), 1);
    EXPECT_TRUE(controller.mCalls.isEmpty());
}

TEST(MainWindow, ArrowKeysMoveTheGridSelectionEvenFromFocusedButtons) {
    TestApp();
    RecordingController controller;
    MainWindow window;
    window.setController(&controller);
    auto* content = new QWidget;  // the three overlap: the keys go to the focused one
    auto* radio = new QRadioButton("Brush", content);
    auto* table = new QTableWidget(3, 1, content);
    auto* field = new QLineEdit(content);
    window.setCentralWidget(content);
    QTest::keyClick(&window, Qt::Key_Up);  // not shown yet: ignored
    EXPECT_TRUE(controller.mCalls.isEmpty());
    window.show();
    for (Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_Left, Qt::Key_Right, Qt::Key_A})
        QTest::keyClick(&window, key);
    EXPECT_EQ(controller.mCalls, (QStringList{"move 2", "move 3", "move 0", "move 1"}));

    // A focused radio button would take the space bar and the arrows for itself.
    controller.mCalls.clear();
    QTest::keyPress(radio, Qt::Key_Space);
    EXPECT_TRUE(window.spaceIsDown());
    EXPECT_TRUE(!radio->isChecked());
    QTest::keyRelease(radio, Qt::Key_Space);
    EXPECT_FALSE(window.spaceIsDown());
    QTest::keyClick(radio, Qt::Key_Down);
    EXPECT_EQ(controller.mCalls, QStringList{"move 3"});
    // Lists and text fields keep their keys.
    QTest::keyClick(table, Qt::Key_Down);
    QTest::keyClick(field, Qt::Key_Left);
    QTest::keyClick(field, Qt::Key_Space);
    EXPECT_EQ(controller.mCalls.size(), 1);
    EXPECT_EQ(field->text(), " ");
}

TEST(TiledImage, DrawingPutsEveryPixelInPlaceAndZoomedOutTilesShowTheirSourceBlocks) {
    TestApp();
    const ImageRef picture = PatternImage(1000, 600);
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
    for (int row = 0; row < 300; ++row)
        for (int x = 0; x < 400; ++x) {
            const int viewY = 300 - 1 - row;
            const bool inside = x >= 10 && x < 310 && viewY >= 20 && viewY < 220;
            const QRgb expected = inside ? ScreenPixel(*picture, int(source.x) + x - 10,
                                                       600 - 1 - (int(source.y) + viewY - 20))
                                         : qRgb(1, 2, 3);
            ASSERT_EQ(view.pixel(x, row), expected) << x << "," << row;
        }

    // At zoom 2 display (256, 256) is source (512, 0), 488 × 88: each tile pixel the mean of its
    // 2 × 2 block (the means themselves are the image tests' thumbnail's), here of columns (red)
    // and rows (green).
    tiles.setZoomOut(2);
    const QImage tile = tiles.tileAt(256, 256);
    EXPECT_EQ(tile.size(), QSize(244, 44));
    for (int j = 0; j < tile.height(); j += 3)
        for (int i = 0; i < tile.width(); i += 3) {
            ASSERT_NEAR(qRed(tile.pixel(i, j)), (512 + 2 * i) % 256 + 0.5, 0.5) << i << "," << j;
            ASSERT_NEAR(qGreen(tile.pixel(i, j)), 2 * j + 0.5, 0.5) << i << "," << j;
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
