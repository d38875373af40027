#include <gtest/gtest.h>

#include "GUI.h"
#include "ImageIO.h"
#include "ViewsTestSupport.h"

TEST(Gui, DarkLookPanelsAndWhiteText) {
    TestApp();
    // With y upwards: a 300-unit box draws its title at y 283 and a 284-unit panel from y 2.
    EXPECT_EQ(M_Box::titleFrame(QSizeF(400, 300)), QRectF(10, 283, 200, 20));
    EXPECT_EQ(M_Box::panelFrame(QSizeF(400, 300)), QRectF(2, 2, 396, 284));
    M_Box box("Tool");
    box.resize(200, 100);
    const QImage shown = RenderWidget(box, QColor(51, 51, 51));
    EXPECT_NEAR(shown.pixelColor(100, 60).red(), 51 + (255 - 51) * 0.1, 2);  // white at 10 %
    EXPECT_EQ(shown.pixelColor(100, 99), QColor(51, 51, 51));                 // below the panel
    int title = 0;
    for (int y = 0; y < 14; ++y)
        for (int x = 10; x < 40; ++x) title = std::max(title, qGray(shown.pixel(x, y)));
    EXPECT_GT(title, 200);
    EXPECT_EQ(M_TextFieldCell("RL40").palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(GetTextColor(), QColor(Qt::white));
    // Radio titles keep their text and font and turn white.
    QButtonGroup group;
    QRadioButton pan("Pan"), deblur("Deblur");
    QFont bold = deblur.font();
    bold.setBold(true);
    deblur.setFont(bold);
    group.addButton(&pan, 0);
    group.addButton(&deblur, 1);
    FixMatrix(&group);
    FixMatrix(nullptr);
    EXPECT_EQ(deblur.text(), "Deblur");
    EXPECT_EQ(deblur.font(), bold);
    EXPECT_EQ(pan.palette().color(QPalette::ButtonText), QColor(Qt::white));
}

TEST(Gui, FloatSliderAndPictures) {
    TestApp();
    FloatSlider slider;
    slider.setFloatRange(1.0f, 201.0f, 200);
    slider.setFloatValue(41.0f);
    EXPECT_EQ(slider.value(), 40);
    EXPECT_FLOAT_EQ(slider.floatValue(), 41.0f);
    slider.setFloatValue(1000.0f);  // held at the end of the range
    EXPECT_FLOAT_EQ(slider.floatValue(), 201.0f);
    for (const char* name :
         {"processing", "drop", "led_on", "led_off", "led_processing1", "led_processing2"})
        EXPECT_FALSE(NamedPicture(name).isNull()) << name;
    EXPECT_EQ(NamedPicture("led_on").size(), QSize(20, 20));
    EXPECT_TRUE(NamedPicture("no_such_picture").isNull());
    // The controller reads its placeholder with the application's PNG reader, alpha kept.
    ImageRef picture = ImageIO::sharedInstance().readFromFilePng(
        ResourcePath("processing.png").toStdString(), false);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 256);
    EXPECT_EQ(PixelByte(*picture, 0, 0, 0), 0);  // transparent corner
}
