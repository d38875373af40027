// Renders the views in their usual states into PNG files under test-output/screenshots, so that
// anyone can look at them: the empty main view, a photograph in single and split mode at zoom 1
// and 4, the candidate grid with every lamp state, and the preview placeholder.

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMimeData>
#include <QRadioButton>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdlib>

#include "GUI.h"
#include "ImageMatrix.h"
#include "Planar.h"
#include "SplitView.h"
#include "ViewsTestSupport.h"

namespace {

QString ScreenshotDir() {
    const char* output = std::getenv("VELKARO_TEST_OUTPUT_DIR");
    QDir dir(output ? QString::fromLocal8Bit(output) : QDir::currentPath() + "/test-output");
    dir.mkpath("screenshots");
    return dir.filePath("screenshots");
}

void Save(QWidget& widget, const char* name) {
    const QString path = ScreenshotDir() + "/" + name + ".png";
    // The window sits on a dark desktop.
    ASSERT_TRUE(RenderWidget(widget, QColor(24, 24, 24)).save(path)) << qPrintable(path);
    EXPECT_GT(QFileInfo(path).size(), 1000) << qPrintable(path);
}

// The names the controller gives the grid's rows (radius) and columns (deblur types).
class NamingController : public RecordingController {
public:
    QString nameForRow(int row) override { return QString::asprintf("%.1f", row * 0.5); }
    QString nameForColumn(int column) override {
        static const char* names[] = {"USM1", "USM2", "USM3", "USM4", "USM5", "USMF1",
                                      "USMF2", "USMF3", "USMF4", "USMF5", "WF2", "WF3",
                                      "WI2", "WI3", "RL20", "RL40", "RL80", "RT20",
                                      "RT40", "RT80", "LA1", "LA2"};
        return column >= 0 && column < 22 ? names[column] : "bad_deblur_type";
    }
};

QButtonGroup* RadioRow(QWidget* box, QHBoxLayout* layout, const QStringList& titles, int checked) {
    auto* group = new QButtonGroup(box);
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QRadioButton(titles[i], box);
        layout->addWidget(button);
        group->addButton(button, i);
    }
    group->button(checked)->setChecked(true);
    FixMatrix(group);
    return group;
}

// The main screen as the window shows it: tools, zoom and brush above, labels, the view.
struct MainScreen : WithApp {
    M_BackView back;
    SplitView* view = nullptr;
    QButtonGroup* tools = nullptr;
    QButtonGroup* zoom = nullptr;
    FloatSlider* size = nullptr;
    FloatSlider* opacity = nullptr;
    NamingController controller;

    MainScreen() {
        TestApp();
        back.resize(960, 640);
        auto* column = new QVBoxLayout(&back);
        column->setContentsMargins(12, 10, 12, 12);
        auto* bar = new QHBoxLayout;
        column->addLayout(bar);

        auto* toolBox = new M_Box("Tool", &back);
        auto* toolRow = new QHBoxLayout(toolBox);
        tools = RadioRow(toolBox, toolRow, {"Pan", "Deblur", "Brush"}, 0);
        bar->addWidget(toolBox);

        auto* zoomBox = new M_Box("Zoom", &back);
        auto* zoomRow = new QHBoxLayout(zoomBox);
        zoom = RadioRow(zoomBox, zoomRow, {"1:1", "1:2", "1:4", "1:8"}, 0);
        bar->addWidget(zoomBox);

        auto* brushBox = new M_Box("Brush", &back);
        auto* brushRow = new QHBoxLayout(brushBox);
        brushRow->addWidget(new M_TextFieldCell("Size", brushBox));
        size = new FloatSlider(Qt::Horizontal, brushBox);
        size->setFloatRange(1, 201, 200);
        size->setFloatValue(90);
        brushRow->addWidget(size);
        brushRow->addWidget(new M_TextFieldCell("Opacity", brushBox));
        opacity = new FloatSlider(Qt::Horizontal, brushBox);
        opacity->setFloatValue(0.6f);
        brushRow->addWidget(opacity);
        bar->addWidget(brushBox, 1);

        auto* labels = new QHBoxLayout;
        auto* left = new M_TextFieldCell(QString(), &back);
        auto* center = new M_TextFieldCell(QString(), &back);
        auto* right = new M_TextFieldCell(QString(), &back);
        for (QLabel* label : {left, center, right}) {
            label->setAlignment(Qt::AlignCenter);
            labels->addWidget(label);
        }
        column->addLayout(labels);

        view = new SplitView(&back);
        column->addWidget(view, 1);
        view->setController(&controller);
        view->setMouseMode(tools);
        view->setZoomMode(zoom);
        view->setBrushControls(size, opacity);
        view->setLabels(left, center, right);
        view->setAllowDrops(true);
        back.show();
        back.hide();  // lay out without staying on screen
        back.layout()->activate();
    }

    void setZoom(int column) {
        zoom->button(column)->setChecked(true);
        view->changedZoom();
    }
    void dragOver(const QString& path, bool allowed) {
        controller.mAllowDrop = allowed;
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent event(QPoint(100, 100), Qt::CopyAction | Qt::LinkAction, &data,
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    }
    void leave() {
        QDragLeaveEvent event;
        QCoreApplication::sendEvent(view, &event);
    }
};

// A large photograph: a test photo enlarged four times (2400 × 1600 from coffee.png).
ImageRef LargePhoto() {
    ImageRef photo = LoadTestPhoto("coffee.png");
    if (!photo) return nullptr;
    ImageRef large = Image::create(photo->width() * 4, photo->height() * 4);
    scaleARGB8888(photo->pixels(), photo->width(), photo->height(), std::size_t(photo->width()) * 4,
                  large->pixels(), large->width(), large->height(),
                  std::size_t(large->width()) * 4);
    return large;
}

}  // namespace

TEST(Screenshots, MainViewEmptyAndDragging) {
    MainScreen screen;
    Save(screen.back, "main_empty");
    screen.dragOver("/photos/IMG_2041.JPG", true);
    Save(screen.back, "main_empty_drag_accepted");
    screen.leave();
    screen.dragOver("/photos/notes.txt", true);
    Save(screen.back, "main_empty_drag_refused");
    screen.leave();
}

TEST(Screenshots, PhotoInSingleAndSplitMode) {
    // Zoom 1 shows a photograph's own pixels; zoom 4 a large one (2400 × 1600) whole.
    ImageRef photo = LoadTestPhoto("rocket.jpg");
    ImageRef large = LargePhoto();
    ASSERT_TRUE(photo);
    ASSERT_TRUE(large);
    MainScreen screen;

    screen.view->setSelectedImage(photo, "Original");
    screen.view->setRefocusedImage(photo->copy());
    Save(screen.back, "main_single_zoom1");

    // Split mode with the brush tool: the circle is in the right half, over the rocket.
    screen.view->changeViewMode(1);
    screen.view->setSelectedImage(photo, "RL40 2.5");
    screen.tools->button(2)->setChecked(true);
    screen.view->setOffset(QPointF(120, 0));
    screen.view->clampOffset();
    Enter(*screen.view, QPointF(700, 250));
    Hover(*screen.view, QPointF(700, 250));
    Save(screen.back, "main_split_zoom1");

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(screen.view, &leave);
    screen.view->changeViewMode(0);
    screen.view->setSelectedImage(large, "Original");
    screen.view->setRefocusedImage(large->copy());
    screen.setZoom(2);
    Save(screen.back, "main_single_zoom4");

    screen.view->changeViewMode(1);
    screen.view->setOffset(QPointF(60, 0));
    screen.view->clampOffset();
    Save(screen.back, "main_split_zoom4");
}

TEST(Screenshots, DeblurScreenGridAndPreview) {
    TestApp();
    NamingController controller;
    M_BackView back;
    back.resize(960, 470);
    auto* row = new QHBoxLayout(&back);
    row->setContentsMargins(12, 10, 12, 12);

    auto* gridBox = new M_Box("Candidates", &back);
    auto* gridColumn = new QVBoxLayout(gridBox);
    auto* matrix = new ImageMatrix(gridBox);
    matrix->setMinimumSize(690, 355);
    gridColumn->addWidget(matrix, 1);
    auto* radius = new QSlider(Qt::Horizontal, gridBox);
    auto* type = new QSlider(Qt::Horizontal, gridBox);
    auto* radiusRow = new QHBoxLayout;
    radiusRow->addWidget(new M_TextFieldCell("Radius", gridBox));
    radiusRow->addWidget(radius, 1);
    radiusRow->addWidget(new M_TextFieldCell("Type", gridBox));
    radiusRow->addWidget(type, 1);
    gridColumn->addLayout(radiusRow);
    row->addWidget(gridBox);

    auto* previewBox = new M_Box("Preview", &back);
    auto* previewColumn = new QVBoxLayout(previewBox);
    auto* label = new M_TextFieldCell(QString(), previewBox);
    label->setAlignment(Qt::AlignCenter);
    previewColumn->addWidget(label);
    auto* preview = new SplitView(previewBox);
    preview->setCenters(true);
    preview->setLabels(nullptr, label, nullptr);
    previewColumn->addWidget(preview, 1);
    row->addWidget(previewBox, 1);

    matrix->setController(&controller);
    matrix->setSliders(radius, type);
    matrix->setRows(31, 22);
    matrix->resetState();
    back.show();
    back.hide();
    back.layout()->activate();

    // Column 0 after a click: rows 1 … 15 queued, some computing, some ready; a few others.
    for (int r = 1; r <= 15; ++r) matrix->setEntryState(r < 6 ? 3 : r < 9 ? 2 : 1, r, 0);
    for (int r = 3; r <= 8; ++r) matrix->setEntryState(3, r, 15);
    matrix->setEntryState(2, 9, 15);
    matrix->setEntryState(1, 10, 15);
    matrix->setEntryState(3, 5, 14);
    matrix->setSelectedRow(5, 15);

    const QImage processing = NamedPicture("processing");
    ASSERT_FALSE(processing.isNull());
    ImageRef placeholder = Image::create(processing.width(), processing.height());
    const QImage straight = processing.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < straight.height(); ++y) {
        for (int x = 0; x < straight.width(); ++x) {
            const QRgb c = straight.pixel(x, y);
            std::uint8_t* p = placeholder->pixels() + (std::size_t(y) * straight.width() + x) * 4;
            p[0] = std::uint8_t(qAlpha(c)), p[1] = std::uint8_t(qRed(c));
            p[2] = std::uint8_t(qGreen(c)), p[3] = std::uint8_t(qBlue(c));
        }
    }
    preview->setSelectedImage(placeholder, QString());
    Save(back, "deblur_grid_processing");

    // The selected candidate's preview: the 512 × 512 section of a photograph.
    ImageRef photo = LoadTestPhoto("astronaut.png");
    ASSERT_TRUE(photo);
    preview->setSelectedImage(photo, controller.nameForColumn(15) + " " + controller.nameForRow(5));
    matrix->timerFired();
    Save(back, "deblur_grid_preview");
}
