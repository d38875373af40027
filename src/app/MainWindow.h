#pragma once

#include "GUI.h"

namespace velkaro {

class ControllerInterface;
class SplitView;

// The main window: the space bar held down pans the main view, the arrow keys move the
// selection of the candidate grid. The keys count wherever the focus is in this window, except
// in controls that use them themselves (lists, text fields, spin and combo boxes), so that a
// focused radio button or slider does not swallow them.
class MainWindow : public M_Window {
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void setController(ControllerInterface* controller) { mController = controller; }
    void setMainSplitView(SplitView* view) { mMainSplitView = view; }
    bool spaceIsDown() const { return mSpaceIsDown; }

    bool eventFilter(QObject* watched, QEvent* event) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

  private:
    // Both return whether the key was one of the window's.
    bool keyDown(QKeyEvent* event);
    bool keyUp(QKeyEvent* event);

    ControllerInterface* mController = nullptr;
    SplitView* mMainSplitView = nullptr;
    bool mSpaceIsDown = false;
};

}  // namespace velkaro
