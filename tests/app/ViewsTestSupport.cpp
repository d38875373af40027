#include "ViewsTestSupport.h"

#include <QCoreApplication>
#include <QPainter>
#include <QStyleFactory>

#include "GUI.h"
#include "ImageIO.h"

QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "velkaro_views_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        // Headless unless told otherwise, whatever the test runner passed on.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* created = new QApplication(argc, argv);
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(DarkPalette());
        return created;
    }();
    return *app;
}

ImageRef PatternImage(int width, int height) {
    ImageRef image = Image::create(width, height);
    std::uint8_t* p = image->pixels();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, p += 4) {
            p[0] = 255;
            p[1] = std::uint8_t(x);
            p[2] = std::uint8_t(y);
            p[3] = std::uint8_t(7 * x + 13 * y);
        }
    }
    return image;
}

int PixelByte(const Image& image, int x, int y, int channel) {
    return image.pixels()[(std::size_t(y) * image.width() + x) * 4 + channel];
}

QRgb ScreenPixel(const Image& image, int x, int y) {
    return qRgba(PixelByte(image, x, y, 1), PixelByte(image, x, y, 2), PixelByte(image, x, y, 3),
                 PixelByte(image, x, y, 0));
}

ImageRef LoadTestPhoto(const char* name) {
    return ImageIO::sharedInstance().readFromFile(std::string(VELKARO_TEST_DATA_DIR) + "/" + name);
}

QImage RenderWidget(QWidget& widget, QColor under) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(under);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_RGB32);
}

void SendMouse(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, position, widget.mapToGlobal(position), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

void Press(QWidget& widget, QPointF position) {
    SendMouse(widget, QEvent::MouseButtonPress, position, Qt::LeftButton, Qt::LeftButton);
}

void DoubleClick(QWidget& widget, QPointF position) {
    SendMouse(widget, QEvent::MouseButtonDblClick, position, Qt::LeftButton, Qt::LeftButton);
}

void Drag(QWidget& widget, QPointF position) {
    SendMouse(widget, QEvent::MouseMove, position, Qt::NoButton, Qt::LeftButton);
}

void Release(QWidget& widget, QPointF position) {
    SendMouse(widget, QEvent::MouseButtonRelease, position, Qt::LeftButton, Qt::NoButton);
}

void Hover(QWidget& widget, QPointF position) {
    SendMouse(widget, QEvent::MouseMove, position, Qt::NoButton, Qt::NoButton);
}

void Enter(QWidget& widget, QPointF position) {
    QEnterEvent event(position, position, widget.mapToGlobal(position));
    QCoreApplication::sendEvent(&widget, &event);
}
