#include "MainWindow.h"

#include <QKeyEvent>

#include "ControllerInterface.h"
#include "SplitView.h"

MainWindow::MainWindow(QWidget* parent) : M_Window(parent) {}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (!isVisible()) return;
    ControllerInterface& controller = mController ? *mController : ControllerInterface::bare();
    switch (event->key()) {
        case Qt::Key_Up: controller.moveSelection(2); return;
        case Qt::Key_Down: controller.moveSelection(3); return;
        case Qt::Key_Left: controller.moveSelection(0); return;
        case Qt::Key_Right: controller.moveSelection(1); return;
        case Qt::Key_Space:
            if (!mSpaceIsDown) {
                mSpaceIsDown = true;
                if (mMainSplitView) mMainSplitView->resetCursor();
            }
            return;
        default: M_Window::keyPressEvent(event);
    }
}

void MainWindow::keyReleaseEvent(QKeyEvent* event) {
    // Auto-repeat sends releases while the key is still held: only the real one counts.
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
        if (mSpaceIsDown) {
            mSpaceIsDown = false;
            if (mMainSplitView) mMainSplitView->resetCursor();
        }
        return;
    }
    M_Window::keyReleaseEvent(event);
}
