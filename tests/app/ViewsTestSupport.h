#pragma once

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QStringList>
#include <QWidget>

#include "ControllerInterface.h"
#include "Image.h"

// The one application object of the test program (offscreen, Fusion style, dark palette).
QApplication& TestApp();

// A = 255, R = x mod 256, G = y mod 256, B = (7x + 13y) mod 256, rows from the top.
ImageRef PatternImage(int width, int height);
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
QImage RenderWidget(QWidget& widget, QColor under = QColor(0, 0, 0));

// Mouse events sent straight to a widget, in Qt's widget coordinates (y downwards).
void SendMouse(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButtons buttons);
inline void Press(QWidget& w, QPointF p) { SendMouse(w, QEvent::MouseButtonPress, p, Qt::LeftButton); }
inline void DoubleClick(QWidget& w, QPointF p) {
    SendMouse(w, QEvent::MouseButtonDblClick, p, Qt::LeftButton);
}
inline void Drag(QWidget& w, QPointF p) { SendMouse(w, QEvent::MouseMove, p, Qt::LeftButton); }
inline void Hover(QWidget& w, QPointF p) { SendMouse(w, QEvent::MouseMove, p, Qt::NoButton); }
inline void Release(QWidget& w, QPointF p) {
    SendMouse(w, QEvent::MouseButtonRelease, p, Qt::NoButton);
}
void Enter(QWidget& widget, QPointF position);

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
    void moveSelection(int direction) override { mCalls << QString::asprintf("move %d", direction); }
};

// First base of a fixture whose members are widgets: the application exists before them.
struct WithApp {
    WithApp() { TestApp(); }
};
