#pragma once

#include "GUI.h"

class ControllerInterface;
class SplitView;

// The main window: the space bar held down pans the main view, the arrow keys move the
// selection of the candidate grid.
class MainWindow : public M_Window {
public:
    explicit MainWindow(QWidget* parent = nullptr);

    void setController(ControllerInterface* controller) { mController = controller; }
    void setMainSplitView(SplitView* view) { mMainSplitView = view; }
    bool spaceIsDown() const { return mSpaceIsDown; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    ControllerInterface* mController = nullptr;
    SplitView* mMainSplitView = nullptr;
    bool mSpaceIsDown = false;
};
