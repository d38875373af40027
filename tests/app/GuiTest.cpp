#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QRadioButton>
#include <memory>

#include "GUI.h"
#include "ImageIO.h"
#include "ViewsTestSupport.h"

TEST(Gui, BoxPlacesTitleAboveItsPanel) {
    // With y upwards: a 300-unit box draws its title at y 283 and a 284-unit panel from y 2.
    const QRectF title = M_Box::titleFrame(QSizeF(400, 300));
    EXPECT_EQ(title, QRectF(10, 283, 200, 20));
    const QRectF panel = M_Box::panelFrame(QSizeF(400, 300));
    EXPECT_EQ(panel, QRectF(2, 2, 396, 284));
}

TEST(Gui, BoxPaintsAFaintPanelAndWhiteTitle) {
    TestApp();
    M_Box box("Tool");
    box.resize(200, 100);
    const QImage image = RenderWidget(box, QColor(51, 51, 51));
    // Inside the panel: white at 10 % over dark grey, a little lighter than the grey.
    const QColor inside = image.pixelColor(100, 60);
    EXPECT_NEAR(inside.red(), 51 + (255 - 51) * 0.1, 2);
    // Outside the panel, at the very bottom row: untouched.
    EXPECT_EQ(image.pixelColor(100, 99), QColor(51, 51, 51));
    // The title is drawn in white somewhere in its band at the top.
    int brightest = 0;
    for (int y = 0; y < 14; ++y) {
        for (int x = 10; x < 40; ++x) brightest = std::max(brightest, qGray(image.pixel(x, y)));
    }
    EXPECT_GT(brightest, 200);
}

TEST(Gui, FixMatrixKeepsTitlesAndFontsAndWhitensThem) {
    TestApp();
    QWidget parent;
    QButtonGroup group;
    QFont bold = parent.font();
    bold.setBold(true);
    bold.setPointSize(17);
    const QStringList titles{"Pan", "Deblur", "Brush"};
    std::vector<QFont> fonts;
    for (int i = 0; i < 3; ++i) {
        auto* button = new QRadioButton(titles[i], &parent);
        if (i == 1) button->setFont(bold);
        fonts.push_back(button->font());
        group.addButton(button, i);
    }
    FixMatrix(&group);
    for (int i = 0; i < 3; ++i) {
        QAbstractButton* button = group.button(i);
        EXPECT_EQ(button->text(), titles[i]);
        EXPECT_EQ(button->font(), fonts[std::size_t(i)]);
        EXPECT_EQ(button->palette().color(QPalette::WindowText), QColor(Qt::white));
        EXPECT_EQ(button->palette().color(QPalette::ButtonText), QColor(Qt::white));
    }
    FixMatrix(nullptr);  // nothing to fix, nothing happens
    EXPECT_EQ(GetTextColor(), QColor(Qt::white));
}

TEST(Gui, BackViewAndTextFieldColours) {
    TestApp();
    M_BackView back;
    back.resize(20, 20);
    // The fill replaces what was there (white 0.2 at alpha 0.96); the desktop shows through.
    QImage image(20, 20, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    back.render(&image);
    EXPECT_EQ(qRed(image.pixel(10, 10)), 51);
    EXPECT_EQ(qAlpha(image.pixel(10, 10)), 245);
    M_TextFieldCell label("RL40");
    EXPECT_EQ(label.palette().color(QPalette::WindowText), QColor(Qt::white));
}

TEST(Gui, FloatSliderMapsItsRange) {
    TestApp();
    FloatSlider slider;
    slider.setFloatRange(1.0f, 201.0f, 200);
    slider.setFloatValue(41.0f);
    EXPECT_EQ(slider.value(), 40);
    EXPECT_FLOAT_EQ(slider.floatValue(), 41.0f);
    slider.setFloatValue(1000.0f);  // held at the end of the range
    EXPECT_FLOAT_EQ(slider.floatValue(), 201.0f);
}

TEST(Gui, PicturesAreFoundByName) {
    TestApp();
    for (const char* name :
         {"processing", "drop", "led_on", "led_off", "led_processing1", "led_processing2"}) {
        EXPECT_FALSE(NamedPicture(name).isNull()) << name;
    }
    EXPECT_EQ(NamedPicture("led_on").size(), QSize(20, 20));
    EXPECT_TRUE(NamedPicture("no_such_picture").isNull());
}

TEST(Gui, ProcessingPictureReadsThroughThePngReader) {
    TestApp();
    // The controller reads its placeholder with the application's own PNG reader, alpha kept.
    ImageRef picture = ImageIO::sharedInstance().readFromFilePng(
        ResourcePath("processing.png").toStdString(), false);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 256);
    EXPECT_EQ(picture->height(), 256);
    EXPECT_EQ(PixelByte(*picture, 0, 0, 0), 0);  // transparent corner
}
