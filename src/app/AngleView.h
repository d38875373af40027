#pragma once

#include <QWidget>

// A line through the view's centre at the current motion angle, in degrees.
class AngleView : public QWidget {
  public:
    explicit AngleView(QWidget* parent = nullptr) : QWidget(parent) {}

    void setCurrentAngle(int angle);
    int currentAngle() const { return mCurrentAngle; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int mCurrentAngle = 0;
};
