#include "AngleView.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>
#include <numbers>

namespace velkaro {

void AngleView::setCurrentAngle(int angle) {
    mCurrentAngle = angle;
    update();
}

void AngleView::pointAt(QPointF position) {
    const QPointF d = position - QPointF(0.5 * width(), 0.5 * height());
    if (d.manhattanLength() < 2)
        return;
    const int angle =
        (int(std::lround(std::atan2(-d.y(), d.x()) * 180 / std::numbers::pi)) + 360) % 180;
    if (angle == mCurrentAngle)
        return;
    setCurrentAngle(angle);
    if (mChanged)
        mChanged(angle);
}

void AngleView::mousePressEvent(QMouseEvent* event) {
    if (isEnabled())
        pointAt(event->position());
}

void AngleView::mouseMoveEvent(QMouseEvent* event) {
    if (isEnabled() && (event->buttons() & Qt::LeftButton))
        pointAt(event->position());
}

void AngleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double a = mCurrentAngle / 180.0 * std::numbers::pi;
    const double h = 0.5 * std::min(width(), height());
    const QPointF centre(0.5 * width(), 0.5 * height());
    const QPointF d(std::cos(a) * (h - 3), -std::sin(a) * (h - 3));  // screen rows grow down
    const QColor ink =
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText);
    painter.setPen(QPen(ink, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, h - 1, h - 1);
    painter.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(centre + d, centre - d);
}

}  // namespace velkaro
