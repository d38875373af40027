// Draws the application's icon, velkaro.png (256 × 256): a dark rounded tile with a lens whose
// left half is blurred and whose right half is sharp.
// Usage: velkaro_make_icon <folder>

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

void DrawIcon(QPainter& p, int size) {
    const double s = size / 256.0;
    p.setRenderHint(QPainter::Antialiasing);

    QPainterPath tile;
    tile.addRoundedRect(QRectF(8 * s, 8 * s, 240 * s, 240 * s), 44 * s, 44 * s);
    QLinearGradient back(0, 0, 0, size);
    back.setColorAt(0, QColor(58, 74, 99));
    back.setColorAt(1, QColor(26, 31, 41));
    p.fillPath(tile, back);
    p.setPen(QPen(QColor(255, 255, 255, 40), 2 * s));
    p.drawPath(tile);

    const QPointF centre(128 * s, 128 * s);
    const double r = 78 * s;

    // Left half: the blurred photograph, a soft glow.
    p.save();
    p.setClipRect(QRectF(0, 0, 128 * s, size));
    QRadialGradient blur(centre, r * 1.25);
    blur.setColorAt(0.0, QColor(255, 196, 92, 230));
    blur.setColorAt(0.55, QColor(236, 150, 70, 170));
    blur.setColorAt(1.0, QColor(236, 150, 70, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(blur);
    p.drawEllipse(centre, r * 1.25, r * 1.25);
    p.restore();

    // Right half: the same disc, sharp.
    p.save();
    p.setClipRect(QRectF(128 * s, 0, 128 * s, size));
    QRadialGradient sharp(centre - QPointF(20 * s, 24 * s), r * 1.3);
    sharp.setColorAt(0.0, QColor(255, 214, 120));
    sharp.setColorAt(1.0, QColor(232, 128, 52));
    p.setPen(QPen(QColor(255, 255, 255), 5 * s));
    p.setBrush(sharp);
    p.drawEllipse(centre, r, r);
    p.restore();

    // The split line.
    p.setPen(QPen(QColor(255, 255, 255, 210), 4 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(128 * s, 34 * s), QPointF(128 * s, 222 * s));

    // A glint on the sharp side.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    QPainterPath star;
    const QPointF g(176 * s, 92 * s);
    const double a = 16 * s, b = 3.5 * s;
    star.moveTo(g + QPointF(0, -a));
    star.quadTo(g + QPointF(b, -b), g + QPointF(a, 0));
    star.quadTo(g + QPointF(b, b), g + QPointF(0, a));
    star.quadTo(g + QPointF(-b, b), g + QPointF(-a, 0));
    star.quadTo(g + QPointF(-b, -b), g + QPointF(0, -a));
    p.drawPath(star);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: velkaro_make_icon <folder>\n");
        return 2;
    }
    QImage icon(256, 256, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    DrawIcon(painter, 256);
    painter.end();
    const QString path = QString::fromLocal8Bit(argv[1]) + "/velkaro.png";
    if (!icon.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}
