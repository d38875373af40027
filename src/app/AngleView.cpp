#include "AngleView.h"

#include <QPainter>
#include <cmath>
#include <numbers>

void AngleView::setCurrentAngle(int angle) {
    mCurrentAngle = angle;
    update();
}

void AngleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double a = mCurrentAngle / 180.0 * std::numbers::pi;
    const double h = 0.5 * width();
    const QPointF d(std::cos(a) * h, std::sin(a) * h);
    painter.setPen(QPen(Qt::black, 1));
    painter.drawLine(QPointF(h + d.x(), h + d.y()), QPointF(h - d.x(), h - d.y()));
}
