#pragma once
// Helpers of the view and application tests: the application object, pictures with known pixels,
// rendering, mouse events, and a controller that records what the views ask of it.

#include <QApplication>
#include <QButtonGroup>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>
#include <QSlider>
#include <QStyleFactory>
#include <QTest>
#include <QUrl>
#include <array>

#include "ControllerInterface.h"
#include "GUI.h"
#include "Image.h"

using namespace velkaro;

// The one application object of the test program (offscreen, Fusion style, dark palette).
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "velkaro_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* created = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(DarkPalette());
        return created;
    }();
    return *app;
}

// First base of a fixture whose members are widgets: the application exists before them.
struct WithApp {
    WithApp() { TestApp(); }
};

// A = 255, R = x mod 256, G = y mod 256, B = (7x + 13y) mod 256, rows from the top.
inline ImageRef PatternImage(int width, int height) {
    ImageRef image = Image::create(width, height);
    std::uint8_t* p = image->pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, p += 4)
            p[0] = 255, p[1] = std::uint8_t(x), p[2] = std::uint8_t(y),
            p[3] = std::uint8_t(7 * x + 13 * y);
    return image;
}

// Channel 0 A, 1 R, 2 G, 3 B of pixel (x, y).
inline int PixelByte(const Image& image, int x, int y, int channel) {
    return image.pixels()[(std::size_t(y) * image.width() + x) * 4 + channel];
}

// The ARGB value that pixel (x, y) should show on screen.
inline QRgb ScreenPixel(const Image& image, int x, int y) {
    return qRgba(PixelByte(image, x, y, 1), PixelByte(image, x, y, 2), PixelByte(image, x, y, 3),
                 PixelByte(image, x, y, 0));
}

// A widget and its children drawn into an opaque picture over the given colour.
inline QImage RenderWidget(QWidget& widget, QColor under = QColor(0, 0, 0)) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(under);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_RGB32);
}

// Mouse events sent straight to a widget, in Qt's widget coordinates (y downwards).
inline void SendMouse(QWidget& widget, QEvent::Type type, QPointF position,
                      Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, position, widget.mapToGlobal(position), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}
inline void Press(QWidget& w, QPointF p) {
    SendMouse(w, QEvent::MouseButtonPress, p, Qt::LeftButton);
}
inline void Drag(QWidget& w, QPointF p) {
    SendMouse(w, QEvent::MouseMove, p, Qt::LeftButton);
}
inline void Release(QWidget& w, QPointF p) {
    SendMouse(w, QEvent::MouseButtonRelease, p, Qt::NoButton);
}

// Remembers, in order, every call a view makes on its controller.
class RecordingController : public ControllerInterface {
  public:
    bool mAllowDrop = true;
    QStringList mCalls;

    void saveDefaults(QObject*) override { mCalls << "saveDefaults"; }
    void openImageAtPath(const QString& path) override { mCalls << "open " + path; }
    bool hasFileOpen() override { return !mAllowDrop; }
    bool allowDrop() override { return mAllowDrop; }
    void deblurAtPoint(QPointF p) override {
        mCalls << QString::asprintf("deblur %.1f %.1f", p.x(), p.y());
    }
    void startBrush() override { mCalls << "startBrush"; }
    void applyBrushAtPoint(QPointF p, float size, float opacity) override {
        mCalls << QString::asprintf("brush %.1f %.1f size %.1f opacity %.2f", p.x(), p.y(), size,
                                    opacity);
    }
    void endBrush() override { mCalls << "endBrush"; }
    void changedEntry() override { mCalls << "changedEntry"; }
    void moveSelection(int direction) override {
        mCalls << QString::asprintf("move %d", direction);
    }
};
