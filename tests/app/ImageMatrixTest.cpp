#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ImageMatrix.h"
#include "MainWindow.h"
#include "ViewsTestSupport.h"

using namespace velkaro;

namespace {

// The grid of the deblur screen: 31 radius steps by 22 types in 690 × 355 points.
struct Grid : WithApp {
    QWidget parent;
    QSlider radius{Qt::Horizontal}, type{Qt::Horizontal};
    ImageMatrix* matrix = new ImageMatrix(&parent);
    RecordingController controller;

    Grid() {
        matrix->resize(690, 355);
        matrix->setController(&controller);
        matrix->setSliders(&radius, &type);
        matrix->setRows(31, 22);
        matrix->resetState();
    }
    void click(QPoint p) { QTest::mouseClick(matrix, Qt::LeftButton, Qt::NoModifier, p); }
};

}  // namespace

// Clicks, sliders and the program select cells; only a user's choice tells the controller.
TEST(ImageMatrix, ClicksSlidersAndResetSelectTheCandidate) {
    Grid g;
    EXPECT_EQ(g.matrix->cellRect(30, 21), QRectF(660, 300, 30, 10));
    g.click(QPoint(675, 305));
    EXPECT_EQ(g.matrix->selectedRow(), 30);
    EXPECT_EQ(g.matrix->selectedColumn(), 21);
    g.click(QPoint(45, 15));
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    EXPECT_EQ(g.matrix->selectedColumn(), 0);
    EXPECT_EQ(g.controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));
    // The top band (row 0), the label margins and the far edges change nothing.
    g.controller.mCalls.clear();
    for (QPoint p :
         {QPoint(45, 5), QPoint(10, 100), QPoint(29, 100), QPoint(300, 320), QPoint(300, 354)})
        g.click(p);
    EXPECT_TRUE(g.controller.mCalls.isEmpty());
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    int row = -1, column = -1;
    EXPECT_TRUE(g.matrix->hitTest(QPointF(30, 10), row, column) && row == 1 && column == 0);
    EXPECT_FALSE(g.matrix->hitTest(QPointF(690, 100), row, column));

    EXPECT_TRUE(g.radius.minimum() == 1 && g.radius.maximum() == 30 && g.type.maximum() == 21);
    g.controller.mCalls.clear();
    g.type.setValue(15);
    g.radius.setValue(12);
    EXPECT_EQ(g.matrix->selectedRow(), 12);
    EXPECT_EQ(g.matrix->selectedColumn(), 15);
    EXPECT_EQ(g.controller.mCalls, (QStringList{"changedEntry", "changedEntry"}));

    // A selection set by the program moves the sliders but is not a user's choice.
    g.controller.mCalls.clear();
    g.matrix->setSelectedRow(9, 4);
    EXPECT_EQ(g.radius.value(), 9);
    EXPECT_EQ(g.type.value(), 4);
    g.matrix->setEntryState(IMEntryReady, 5, 7);
    g.matrix->setEntryState(IMEntryQueued, 0, 1);
    g.matrix->resetState();
    EXPECT_EQ(g.matrix->entryStateforEntryRow(5, 7), IMEntryNothing);
    EXPECT_EQ(g.matrix->entryStateforEntryRow(0, 1), IMEntryNothing);
    EXPECT_EQ(g.matrix->selectedRow(), 1);
    EXPECT_EQ(g.matrix->selectedColumn(), 0);
    EXPECT_EQ(g.radius.value(), 1);
    EXPECT_TRUE(g.controller.mCalls.isEmpty());
}

TEST(MainWindow, ArrowKeysMoveTheGridSelectionEvenFromFocusedButtons) {
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
    EXPECT_FALSE(radio->isChecked());
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
