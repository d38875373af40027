#include "GUI.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionGroupBox>
#include <cmath>
#include <cstdio>

#include "Log.h"

namespace velkaro {

QColor GetTextColor() {
    return QColor(Qt::white);
}

QPalette DarkPalette() {
    QPalette p;
    const QColor window = QColor::fromRgbF(0.2f, 0.2f, 0.2f);
    const QColor base = QColor(38, 38, 38);
    const QColor button = QColor(58, 58, 58);
    const QColor text = GetTextColor();
    const QColor disabledText = QColor(128, 128, 128);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(46, 46, 46));
    p.setColor(QPalette::ToolTipBase, QColor(24, 24, 24));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, disabledText);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(255, 120, 120));
    p.setColor(QPalette::Light, QColor(90, 90, 90));
    p.setColor(QPalette::Midlight, QColor(72, 72, 72));
    p.setColor(QPalette::Mid, QColor(44, 44, 44));
    p.setColor(QPalette::Dark, QColor(24, 24, 24));
    p.setColor(QPalette::Shadow, QColor(0, 0, 0));
    p.setColor(QPalette::Highlight, QColor(61, 111, 181));
    p.setColor(QPalette::HighlightedText, text);
    p.setColor(QPalette::Link, QColor(120, 170, 255));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, disabledText);
    }
    return p;
}

void FixMatrix(QButtonGroup* matrix) {
    if (!matrix)
        return;
    for (QAbstractButton* cell : matrix->buttons()) {
        const QString title = cell->text();
        const QFont font = cell->font();
        QPalette palette = cell->palette();
        palette.setColor(QPalette::WindowText, GetTextColor());
        palette.setColor(QPalette::ButtonText, GetTextColor());
        palette.setColor(QPalette::Text, GetTextColor());
        cell->setPalette(palette);
        cell->setFont(font);
        cell->setText(title);
    }
}

M_Window::M_Window(QWidget* parent) : QMainWindow(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    setPalette(DarkPalette());
}

void M_Window::paintEvent(QPaintEvent* event) {
    FillWindowBackground(*this, event->rect());
}

void FillWindowBackground(QWidget& widget, const QRect& area) {
    QPainter painter(&widget);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(area, QColor::fromRgbF(0.2f, 0.2f, 0.2f, 0.96f));
}

M_BackView::M_BackView(QWidget* parent) : QWidget(parent) {
    setPalette(DarkPalette());
}

void M_BackView::paintEvent(QPaintEvent* event) {
    FillWindowBackground(*this, event->rect());
}

M_Box::M_Box(const QString& title, QWidget* parent) : QGroupBox(title, parent) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, GetTextColor());
    setPalette(palette);
    // Children sit inside the panel, below the title.
    setContentsMargins(8, 20, 8, 6);
}

QRectF M_Box::titleFrame(const QSizeF& size) {
    const double top = size.height() - 12;
    return QRectF(10, top - 5, 200, 20);
}

QRectF M_Box::panelFrame(const QSizeF& size) {
    const double top = size.height() - 12;
    return QRectF(2, 2, size.width() - 4, top - 4);
}

void M_Box::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double h = height();
    // Frames are worked out with y upwards; Qt's y grows downwards.
    auto flipped = [h](const QRectF& r) {
        return QRectF(r.x(), h - r.y() - r.height(), r.width(), r.height());
    };

    QPainterPath panel;
    // Half-pixel inset so that the one-pixel stroke lands on whole pixels.
    panel.addRoundedRect(flipped(panelFrame(size())).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    painter.fillPath(panel, QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.1f));
    painter.setPen(QPen(QColor::fromRgbF(0.5f, 0.5f, 0.5f, 1.0f), 1));
    painter.drawPath(panel);

    painter.setPen(GetTextColor());
    painter.setFont(font());
    painter.drawText(flipped(titleFrame(size())), Qt::AlignLeft | Qt::AlignVCenter, title());
}

M_TextFieldCell::M_TextFieldCell(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::WindowText, GetTextColor());
    palette.setColor(QPalette::Text, GetTextColor());
    setPalette(palette);
}

FloatSlider::FloatSlider(Qt::Orientation orientation, QWidget* parent)
    : QSlider(orientation, parent) {
    setFloatRange(0.0f, 1.0f, 100);
}

void FloatSlider::setFloatRange(float minimum, float maximum, int steps) {
    mMinimum = minimum;
    mMaximum = maximum;
    setRange(0, steps > 0 ? steps : 1);
}

void FloatSlider::setFloatValue(float value) {
    const float span = mMaximum - mMinimum;
    if (span == 0.0f) {
        setValue(0);
        return;
    }
    setValue(int(std::lround((value - mMinimum) / span * float(maximum()))));
}

float FloatSlider::floatValue() const {
    return mMinimum + (mMaximum - mMinimum) * float(value()) / float(maximum());
}

QString ResourceDirectory() {
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString shared = QDir(appDir).filePath("../share/velkaro");
    if (QFileInfo(shared).isDir())
        return QDir::cleanPath(shared);
    return appDir;
}

QString ResourcePath(const QString& fileName) {
    return QDir(ResourceDirectory()).filePath(fileName);
}

const QImage& NamedPicture(const QString& name) {
    static QHash<QString, QImage> pictures;
    auto found = pictures.find(name);
    if (found != pictures.end())
        return *found;
    QImage picture(ResourcePath(name + ".png"));
    if (picture.isNull()) {
        LogInfo("missing picture %s\n", qPrintable(name));
    } else {
        picture = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
    return *pictures.insert(name, picture);
}

}  // namespace velkaro
