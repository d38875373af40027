#pragma once

#include <QWidget>
#include <functional>

namespace velkaro {

// A line through the view's centre at the current motion angle, in degrees as a protractor reads
// it (0 … 179: 0 horizontal, growing counter-clockwise on the screen; see
// KernelAngleFromProtractor).
// Pressing or dragging in the view points the line at the mouse and reports the new angle.
class AngleView : public QWidget {
  public:
    explicit AngleView(QWidget* parent = nullptr) : QWidget(parent) {}

    void setCurrentAngle(int angle);
    int currentAngle() const { return mCurrentAngle; }
    // Called with the angle the user chose by pressing or dragging.
    void setAngleChanged(std::function<void(int)> changed) { mChanged = std::move(changed); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    void pointAt(QPointF position);

    int mCurrentAngle = 0;
    std::function<void(int)> mChanged;
};

}  // namespace velkaro
