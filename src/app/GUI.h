#pragma once

#include <QBoxLayout>
#include <QButtonGroup>
#include <QColor>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QPalette>
#include <QRectF>
#include <QSlider>
#include <QString>
#include <QWidget>

namespace velkaro {

// The dark look of the application: white text on dark grey, boxes drawn as faint rounded
// panels. The classes hold no state beyond what Qt keeps for them.

// The text colour of every label: white.
QColor GetTextColor();

// Palette of the dark look for the standard widgets (buttons, sliders, lists, text fields).
QPalette DarkPalette();

// Gives every button of a radio group an attributed title: the same text, the button's own font,
// white text. A null group does nothing.
void FixMatrix(QButtonGroup* matrix);

// A window with a clear, non-opaque background; its content view paints the dark grey.
// Whatever its content leaves uncovered gets the same dark fill as M_BackView.
class M_Window : public QMainWindow {
  public:
    explicit M_Window(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// The dark window background: white 0.2 at alpha 0.96, replacing what lies below.
void FillWindowBackground(QWidget& widget, const QRect& area);

// A view that fills what it redraws with white 0.2 at alpha 0.96: the dark window background.
class M_BackView : public QWidget {
  public:
    explicit M_BackView(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// A box drawn as a faint rounded panel with its title in white above it.
class M_Box : public QGroupBox {
  public:
    explicit M_Box(const QString& title = QString(), QWidget* parent = nullptr);

    // Where the title and the panel go for a box of the given size, in box coordinates with the
    // origin at the lower left and y upwards.
    static QRectF titleFrame(const QSizeF& size);
    static QRectF panelFrame(const QSizeF& size);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// A text field whose text is white.
class M_TextFieldCell : public QLabel {
  public:
    explicit M_TextFieldCell(const QString& text = QString(), QWidget* parent = nullptr);
};

// A slider with a floating-point value: the integer positions 0 … steps span [minimum, maximum].
class FloatSlider : public QSlider {
  public:
    explicit FloatSlider(Qt::Orientation orientation = Qt::Horizontal, QWidget* parent = nullptr);

    void setFloatRange(float minimum, float maximum, int steps);
    void setFloatValue(float value);
    float floatValue() const;

  private:
    float mMinimum = 0.0f;
    float mMaximum = 1.0f;
};

// The folder of the application's pictures: share/velkaro beside the program's bin/ folder, in
// the build tree as after installation, else the program's own folder.
QString ResourceDirectory();
QString ResourcePath(const QString& fileName);

// The picture with the given name ("drop", "led_on", ...), loaded once per process from the
// resource folder. A missing picture is logged once and comes back as a null image.
const QImage& NamedPicture(const QString& name);

}  // namespace velkaro
