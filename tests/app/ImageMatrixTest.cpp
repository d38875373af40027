#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QTest>

#include "AngleView.h"
#include "ImageMatrix.h"
#include "MainWindow.h"
#include "ViewsTestSupport.h"

namespace {

struct Grid : WithApp {
    QWidget parent;
    QSlider radius{Qt::Horizontal};
    QSlider type{Qt::Horizontal};
    ImageMatrix* matrix;
    RecordingController controller;

    Grid() {
        TestApp();
        matrix = new ImageMatrix(&parent);
        matrix->resize(690, 355);
        matrix->setController(&controller);
        matrix->setSliders(&radius, &type);
        matrix->setRows(31, 22);
        matrix->resetState();
    }
};

QRgb LampCentre(ImageMatrix& matrix, int row, int column) {
    const QImage shown = RenderWidget(matrix);
    const QPointF origin = matrix.lampOrigin(row, column);
    return shown.pixel(int(origin.x()) + 5, int(origin.y()) + 5);
}

}  // namespace

TEST(ImageMatrix, CellGeometryAndHitTesting) {
    Grid g;
    EXPECT_EQ(g.matrix->cellSize(), QSizeF(30, 10));
    EXPECT_EQ(g.matrix->lampOrigin(1, 0), QPointF(40, 10));
    EXPECT_EQ(g.matrix->cellRect(30, 21), QRectF(660, 300, 30, 10));

    g.controller.mCalls.clear();
    QTest::mouseClick(g.matrix, Qt::LeftButton, Qt::NoModifier, QPoint(675, 305));
    EXPECT_EQ(g.matrix->selectedRow(), 30);
    EXPECT_EQ(g.matrix->selectedColumn(), 21);
    QTest::mouseClick(g.matrix, Qt::LeftButton, Qt::NoModifier, QPoint(45, 15));
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    EXPECT_EQ(g.matrix->selectedColumn(), 0);
    EXPECT_EQ(g.controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));

    // The top band (row 0), the label margins and the far edges change nothing.
    g.controller.mCalls.clear();
    for (QPoint p : {QPoint(45, 5), QPoint(10, 100), QPoint(29, 100), QPoint(300, 320),
                     QPoint(300, 354)}) {
        QTest::mouseClick(g.matrix, Qt::LeftButton, Qt::NoModifier, p);
    }
    EXPECT_TRUE(g.controller.mCalls.isEmpty());
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    int row = -1, column = -1;
    EXPECT_TRUE(g.matrix->hitTest(QPointF(30, 10), row, column));  // the cell's own corner
    EXPECT_EQ(row, 1);
    EXPECT_EQ(column, 0);
    EXPECT_FALSE(g.matrix->hitTest(QPointF(690, 100), row, column));
}

TEST(ImageMatrix, ResetClearsStatesAndSelectsTheFirstCandidate) {
    Grid g;
    g.matrix->setEntryState(3, 5, 7);
    g.matrix->setEntryState(2, 30, 21);
    g.matrix->setEntryState(1, 0, 1);
    g.matrix->setSelectedRow(9, 4);
    EXPECT_EQ(g.radius.value(), 9);
    EXPECT_EQ(g.type.value(), 4);
    EXPECT_EQ(g.matrix->entryStateforEntryRow(5, 7), 3);
    g.matrix->resetState();
    for (int r = 0; r < 31; ++r) {
        for (int c = 0; c < (r == 0 ? 2 : 22); ++c) ASSERT_EQ(g.matrix->entryStateforEntryRow(r, c), 0);
    }
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    EXPECT_EQ(g.matrix->selectedColumn(), 0);
    EXPECT_EQ(g.radius.value(), 1);
    EXPECT_EQ(g.type.value(), 0);
    EXPECT_TRUE(g.controller.mCalls.isEmpty());  // setting the selection is not a user's choice
}

TEST(ImageMatrix, SlidersSelectTheCandidate) {
    Grid g;
    EXPECT_EQ(g.radius.minimum(), 1);
    EXPECT_EQ(g.radius.maximum(), 30);
    EXPECT_EQ(g.type.minimum(), 0);
    EXPECT_EQ(g.type.maximum(), 21);
    EXPECT_EQ(g.type.tickInterval(), 1);
    g.type.setValue(15);
    g.radius.setValue(12);
    EXPECT_EQ(g.matrix->selectedRow(), 12);
    EXPECT_EQ(g.matrix->selectedColumn(), 15);
    EXPECT_EQ(g.controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));
}

TEST(ImageMatrix, LampsShowTheirStatesAndProcessingBlinks) {
    Grid g;
    g.matrix->setSelectedRow(20, 20);
    g.matrix->setEntryState(1, 2, 3);
    g.matrix->setEntryState(2, 4, 5);
    g.matrix->setEntryState(3, 6, 7);
    const QRgb off = LampCentre(*g.matrix, 8, 9);
    const QRgb queued = LampCentre(*g.matrix, 2, 3);
    const QRgb ready = LampCentre(*g.matrix, 6, 7);
    EXPECT_NE(off, ready);
    EXPECT_GT(qGray(queued), 200);  // the white dot
    EXPECT_GT(qGreen(ready), qRed(ready));

    const bool phase = g.matrix->flashOn();
    const QRgb first = LampCentre(*g.matrix, 4, 5);
    g.matrix->timerFired();
    EXPECT_NE(g.matrix->flashOn(), phase);
    const QRgb second = LampCentre(*g.matrix, 4, 5);
    EXPECT_NE(first, second);
    g.matrix->timerFired();
    EXPECT_EQ(LampCentre(*g.matrix, 4, 5), first);
    EXPECT_EQ(LampCentre(*g.matrix, 6, 7), ready);  // a finished lamp does not blink

    // An unknown state is reported and drawn as an unlit lamp.
    g.matrix->setEntryState(7, 8, 9);
    testing::internal::CaptureStdout();
    const QRgb invalid = LampCentre(*g.matrix, 8, 9);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("bad IMEntryState 7\n"), std::string::npos);
    EXPECT_EQ(invalid, off);
}

TEST(ImageMatrix, BareControllerLabelsRowsWithNumbers) {
    TestApp();
    ImageMatrix matrix;
    matrix.resize(690, 355);
    matrix.setRows(31, 22);
    const QImage shown = RenderWidget(matrix);
    // Some white text in the label margin of row 1 and under column 0.
    auto brightest = [&](QRect area) {
        int best = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) best = std::max(best, qGray(shown.pixel(x, y)));
        }
        return best;
    };
    EXPECT_GT(brightest(QRect(0, 10, 27, 10)), 150);
    EXPECT_GT(brightest(QRect(30, 312, 30, 40)), 150);
    EXPECT_EQ(brightest(QRect(0, 0, 27, 9)), 0);  // row 0 has no label
}

TEST(ImageMatrixDeathTest, StatesOutsideTheGridStopTheProgram) {
    Grid g;
    EXPECT_DEATH(g.matrix->setEntryState(1, 31, 0), "r < mRows");
    EXPECT_DEATH(g.matrix->setEntryState(1, 3, 22), "type < mColumns");
    EXPECT_DEATH(g.matrix->setEntryState(1, 0, 2), "type < kSpecialImagesCount");
    ImageMatrix empty;
    empty.setEntryState(3, 100, 100);  // no states yet: ignored
    EXPECT_EQ(empty.entryStateforEntryRow(100, 100), 0);
}

TEST(MainWindow, ArrowKeysMoveTheGridSelection) {
    TestApp();
    RecordingController controller;
    MainWindow window;
    window.setController(&controller);
    QTest::keyClick(&window, Qt::Key_Up);  // not shown yet: ignored
    EXPECT_TRUE(controller.mCalls.isEmpty());
    window.show();
    QTest::keyClick(&window, Qt::Key_Up);
    QTest::keyClick(&window, Qt::Key_Down);
    QTest::keyClick(&window, Qt::Key_Left);
    QTest::keyClick(&window, Qt::Key_Right);
    QTest::keyClick(&window, Qt::Key_A);
    EXPECT_EQ(controller.mCalls, (QStringList{"move 2", "move 3", "move 0", "move 1"}));
}

TEST(AngleView, LineThroughTheCentreAtTheAngle) {
    TestApp();
    AngleView view;
    view.resize(41, 41);
    auto dark = [&](int x, int y) { return qGray(RenderWidget(view, Qt::white).pixel(x, y)) < 128; };
    view.setCurrentAngle(0);
    EXPECT_TRUE(dark(2, 20));
    EXPECT_TRUE(dark(38, 20));
    EXPECT_FALSE(dark(20, 2));
    view.setCurrentAngle(90);  // y grows downwards: a vertical line
    EXPECT_EQ(view.currentAngle(), 90);
    EXPECT_TRUE(dark(20, 2));
    EXPECT_TRUE(dark(20, 38));
    EXPECT_FALSE(dark(2, 20));
}

TEST(MainWindow, KeysReachTheWindowThroughFocusedButtonsButNotThroughLists) {
    TestApp();
    RecordingController controller;
    MainWindow window;
    window.setController(&controller);
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    auto* radio = new QRadioButton("Brush");
    auto* table = new QTableWidget(3, 1);
    auto* field = new QLineEdit;
    layout->addWidget(radio);
    layout->addWidget(table);
    layout->addWidget(field);
    window.setCentralWidget(content);
    window.show();

    // A focused radio button would take the space bar and the arrows for itself.
    QTest::keyPress(radio, Qt::Key_Space);
    EXPECT_TRUE(window.spaceIsDown());
    EXPECT_FALSE(radio->isChecked());
    QTest::keyRelease(radio, Qt::Key_Space);
    EXPECT_FALSE(window.spaceIsDown());
    QTest::keyClick(radio, Qt::Key_Down);
    EXPECT_EQ(controller.mCalls, QStringList{"move 3"});

    // Lists and text fields keep their keys.
    controller.mCalls.clear();
    QTest::keyClick(table, Qt::Key_Down);
    QTest::keyClick(field, Qt::Key_Left);
    QTest::keyClick(field, Qt::Key_Space);
    EXPECT_TRUE(controller.mCalls.isEmpty());
    EXPECT_EQ(field->text(), " ");
}
