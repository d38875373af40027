#include "ViewsTestSupport.h"

#include <QCoreApplication>
#include <QStyleFactory>

#include "GUI.h"

QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "velkaro_views_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
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
            p[0] = 255, p[1] = std::uint8_t(x), p[2] = std::uint8_t(y);
            p[3] = std::uint8_t(7 * x + 13 * y);
        }
    }
    return image;
}

QImage RenderWidget(QWidget& widget, QColor under) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(under);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_RGB32);
}

void SendMouse(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButtons buttons) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, position, widget.mapToGlobal(position), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

void Enter(QWidget& widget, QPointF position) {
    QEnterEvent event(position, position, widget.mapToGlobal(position));
    QCoreApplication::sendEvent(&widget, &event);
}
