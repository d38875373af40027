#include "MainWindow.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

#include "ControllerInterface.h"
#include "SplitView.h"

namespace velkaro {

namespace {

bool UsesKeysItself(QObject* widget) {
    return qobject_cast<QAbstractItemView*>(widget) || qobject_cast<QLineEdit*>(widget) ||
           qobject_cast<QTextEdit*>(widget) || qobject_cast<QPlainTextEdit*>(widget) ||
           qobject_cast<QAbstractSpinBox*>(widget) || qobject_cast<QComboBox*>(widget);
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : M_Window(parent) {
    if (qApp)
        qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    if (qApp)
        qApp->removeEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget == this || widget->window() != this || UsesKeysItself(widget)) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    return event->type() == QEvent::KeyPress ? keyDown(key) : keyUp(key);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (!keyDown(event))
        M_Window::keyPressEvent(event);
}

void MainWindow::keyReleaseEvent(QKeyEvent* event) {
    if (!keyUp(event))
        M_Window::keyReleaseEvent(event);
}

bool MainWindow::keyDown(QKeyEvent* event) {
    if (!isVisible())
        return false;
    ControllerInterface& controller = mController ? *mController : ControllerInterface::bare();
    switch (event->key()) {
        case Qt::Key_Up:
            controller.moveSelection(2);
            return true;
        case Qt::Key_Down:
            controller.moveSelection(3);
            return true;
        case Qt::Key_Left:
            controller.moveSelection(0);
            return true;
        case Qt::Key_Right:
            controller.moveSelection(1);
            return true;
        case Qt::Key_Space:
            if (!mSpaceIsDown) {
                mSpaceIsDown = true;
                if (mMainSplitView)
                    mMainSplitView->resetCursor();
            }
            return true;
        default:
            return false;
    }
}

bool MainWindow::keyUp(QKeyEvent* event) {
    if (event->key() != Qt::Key_Space)
        return false;
    // Auto-repeat sends releases while the key is still held: only the real one counts.
    if (!event->isAutoRepeat() && mSpaceIsDown) {
        mSpaceIsDown = false;
        if (mMainSplitView)
            mMainSplitView->resetCursor();
    }
    return true;
}

}  // namespace velkaro
