// Draws the application's pictures: the lamps of the candidate grid, the picture of an empty
// view that accepts drops and the placeholder shown while a preview is computed. Shapes are
// drawn four times larger and averaged down, so edges are smooth yet crisp at their real size;
// text is drawn at the real size so that it keeps the font's hinting.
//
//   velkaro_make_pictures OUTPUT_FOLDER

#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>

namespace {

constexpr int kOversample = 4;

QImage Draw(int width, int height, const std::function<void(QPainter&)>& shapes) {
    QImage big(width * kOversample, height * kOversample, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter painter(&big);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(kOversample, kOversample);
        shapes(painter);
    }
    return big.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

bool Save(const QImage& image, const QDir& folder, const char* name) {
    const QString path = folder.filePath(QString(name) + ".png");
    // Straight 8-bit RGBA: the form every PNG reader of the application takes.
    if (!image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

// A glass lamp in a dark bezel, 20 × 20 pixels (drawn at 10 × 10 points).
QImage Lamp(QColor centre, QColor middle, QColor edge, bool glowing) {
    return Draw(20, 20, [&](QPainter& p) {
        const QPointF c(10, 10);
        // Bezel: a dark ring with a faint lower rim catching the light.
        QLinearGradient bezel(0, 1, 0, 19);
        bezel.setColorAt(0, QColor(10, 10, 10));
        bezel.setColorAt(1, QColor(70, 70, 70));
        p.setPen(Qt::NoPen);
        p.setBrush(bezel);
        p.drawEllipse(c, 9.2, 9.2);
        // Body.
        QRadialGradient body(c, 7.8, QPointF(8.6, 8.0));
        body.setColorAt(0.0, centre);
        body.setColorAt(0.55, middle);
        body.setColorAt(1.0, edge);
        p.setBrush(body);
        p.drawEllipse(c, 7.8, 7.8);
        if (glowing) {
            QRadialGradient core(c, 5.0);
            QColor hot = centre;
            hot.setAlphaF(0.55);
            core.setColorAt(0, hot);
            core.setColorAt(1, Qt::transparent);
            p.setBrush(core);
            p.drawEllipse(c, 5.0, 5.0);
        }
        // Glint of light, upper left.
        QRadialGradient shine(QPointF(8.0, 6.6), 4.0);
        shine.setColorAt(0, QColor(255, 255, 255, glowing ? 210 : 120));
        shine.setColorAt(1, QColor(255, 255, 255, 0));
        p.setBrush(shine);
        p.drawEllipse(QPointF(8.0, 6.6), 4.0, 3.0);
    });
}

QImage DropPicture() {
    const int W = 240, H = 180;
    QImage image = Draw(W, H, [&](QPainter& p) {
        // Dashed, rounded outline of the drop area.
        QPen dashes(QColor(255, 255, 255, 110), 2.0, Qt::CustomDashLine, Qt::RoundCap);
        dashes.setDashPattern({4, 3});
        p.setPen(dashes);
        p.setBrush(QColor(255, 255, 255, 14));
        p.drawRoundedRect(QRectF(4, 4, W - 8, H - 8), 16, 16);

        // A photograph: rounded frame, sun and two hills.
        const QRectF photo(W / 2.0 - 34, 26, 68, 52);
        p.setPen(QPen(QColor(255, 255, 255, 200), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(QColor(255, 255, 255, 20));
        p.drawRoundedRect(photo, 6, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 214, 102, 230));
        p.drawEllipse(QPointF(photo.right() - 16, photo.top() + 15), 6, 6);
        QPainterPath hills;
        hills.moveTo(photo.left() + 4, photo.bottom() - 4);
        hills.lineTo(photo.left() + 24, photo.top() + 22);
        hills.lineTo(photo.left() + 38, photo.bottom() - 18);
        hills.lineTo(photo.left() + 48, photo.top() + 30);
        hills.lineTo(photo.right() - 4, photo.bottom() - 4);
        hills.closeSubpath();
        p.setBrush(QColor(255, 255, 255, 170));
        p.drawPath(hills);

        // An arrow pointing down into the photograph.
        const double ax = W / 2.0;
        QPainterPath arrow;
        arrow.moveTo(ax - 5, 6);
        arrow.lineTo(ax + 5, 6);
        arrow.lineTo(ax + 5, 16);
        arrow.lineTo(ax + 11, 16);
        arrow.lineTo(ax, 27);
        arrow.lineTo(ax - 11, 16);
        arrow.lineTo(ax - 5, 16);
        arrow.closeSubpath();
        p.setBrush(QColor(120, 200, 110, 240));
        p.drawPath(arrow);
    });
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont title("DejaVu Sans");
    title.setPixelSize(17);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(255, 255, 255, 235));
    p.drawText(QRectF(0, 96, W, 26), Qt::AlignHCenter | Qt::AlignVCenter, "Drop a photo here");
    QFont note("DejaVu Sans");
    note.setPixelSize(12);
    p.setFont(note);
    p.setPen(QColor(255, 255, 255, 150));
    p.drawText(QRectF(0, 124, W, 18), Qt::AlignHCenter | Qt::AlignVCenter, "JPEG, PNG, TIFF and more");
    p.drawText(QRectF(0, 142, W, 18), Qt::AlignHCenter | Qt::AlignVCenter, "or choose File \u25B8 Open");
    return image;
}

QImage ProcessingPicture() {
    const int S = 256;
    const QPointF c(S / 2.0, 108);
    QImage image = Draw(S, S, [&](QPainter& p) {
        // A ring of twelve dots fading round, like a spinner caught mid-turn.
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 12; ++i) {
            const double a = i * std::numbers::pi / 6.0 - std::numbers::pi / 2.0;
            const double fade = 0.15 + 0.85 * (i + 1) / 12.0;
            p.setBrush(QColor(255, 255, 255, int(std::lround(235 * fade))));
            p.drawEllipse(QPointF(c.x() + 38 * std::cos(a), c.y() + 38 * std::sin(a)), 6.5, 6.5);
        }
    });
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font("DejaVu Sans");
    font.setPixelSize(18);
    p.setFont(font);
    p.setPen(QColor(255, 255, 255, 225));
    p.drawText(QRectF(0, 172, S, 28), Qt::AlignHCenter | Qt::AlignVCenter, "Processing\u2026");
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists() && !QDir().mkpath(folder.path())) return 1;

    bool ok = true;
    ok &= Save(Lamp(QColor(120, 124, 128), QColor(72, 75, 79), QColor(38, 40, 43), false), folder,
               "led_off");
    ok &= Save(Lamp(QColor(225, 255, 205), QColor(96, 214, 66), QColor(28, 110, 20), true), folder,
               "led_on");
    ok &= Save(Lamp(QColor(255, 242, 180), QColor(255, 172, 28), QColor(150, 78, 0), true), folder,
               "led_processing1");
    ok &= Save(Lamp(QColor(150, 116, 60), QColor(96, 66, 22), QColor(50, 34, 10), false), folder,
               "led_processing2");
    ok &= Save(DropPicture(), folder, "drop");
    ok &= Save(ProcessingPicture(), folder, "processing");
    return ok ? 0 : 1;
}
