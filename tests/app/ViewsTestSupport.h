#pragma once

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "ControllerInterface.h"
#include "Image.h"

// The one application object of the test program (offscreen, Fusion style, dark palette).
QApplication& TestApp();

// A picture whose every pixel differs from its neighbours in a known way:
// A = 255, R = x mod 256, G = y mod 256, B = (7x + 13y) mod 256.
ImageRef PatternImage(int width, int height);
// The byte of channel `channel` (0 A, 1 R, 2 G, 3 B) of pixel (x, y), rows from the top.
int PixelByte(const Image& image, int x, int y, int channel);
// The ARGB value that pixel (x, y) should show on screen.
QRgb ScreenPixel(const Image& image, int x, int y);

// A test photograph through the application's reader.
ImageRef LoadTestPhoto(const char* name);

// Renders a widget (and its children) into an opaque picture over the given colour.
QImage RenderWidget(QWidget& widget, QColor under = QColor(0, 0, 0));

// Mouse events sent straight to a widget; positions in Qt's widget coordinates (y downwards).
void SendMouse(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButton button,
               Qt::MouseButtons buttons);
void Press(QWidget& widget, QPointF position);
void DoubleClick(QWidget& widget, QPointF position);
void Drag(QWidget& widget, QPointF position);
void Release(QWidget& widget, QPointF position);
void Hover(QWidget& widget, QPointF position);
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
    void endBrush() override { mCalls << "endBrush"; }
    void applyBrushAtPoint(QPointF p, float size, float opacity) override {
        mCalls << QString::asprintf("brush %.1f %.1f size %.1f opacity %.2f", p.x(), p.y(), size,
                                    opacity);
    }
    void startBrush() override { mCalls << "startBrush"; }
    void changedEntry() override { mCalls << "changedEntry"; }
    void moveSelection(int direction) override { mCalls << QString::asprintf("move %d", direction); }
};

// First base of a fixture whose members are widgets: the application exists before them.
struct WithApp {
    WithApp() { TestApp(); }
};
