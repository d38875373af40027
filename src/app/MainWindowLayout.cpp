#include "MainWindowLayout.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "AngleView.h"
#include "GUI.h"
#include "ImageMatrix.h"
#include "KernelView.h"
#include "MainWindow.h"
#include "SplitView.h"

namespace velkaro {

namespace {

constexpr int kResultsWidth = 236;
constexpr int kThumbnailSize = 96;
constexpr int kThumbnailColumnWidth = kThumbnailSize + 12;  // the thumbnail and its cell margins

// The look of a tool button that stays down: when down, it stands out in the selection colour.
QString ToggleStyle(int padding) {
    return QString(
               "QToolButton { padding: 3px %1px; border: 1px solid #555; background: #3a3a3a; "
               "color: white; }")
               .arg(padding) +
           "QToolButton:checked { background: #3d6fb5; border-color: #5a8ad0; }"
           "QToolButton:hover:!checked { background: #474747; }";
}

// A row of exclusive buttons that look like a segmented control; ids follow the order unless
// given. Compact buttons are as narrow as their titles allow.
QButtonGroup* SegmentedButtons(QWidget* parent, QHBoxLayout* row, const QStringList& titles,
                               int checked, const QList<int>& ids = {}, bool compact = false) {
    auto* group = new QButtonGroup(parent);
    group->setExclusive(true);
    row->setSpacing(0);
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QToolButton(parent);
        button->setText(titles[i]);
        button->setCheckable(true);
        button->setAutoRaise(false);
        button->setFocusPolicy(Qt::NoFocus);
        // Never narrower than the title with its padding and border.
        const int padding = compact ? 4 : 10;
        button->setMinimumWidth(
            std::max(compact ? 0 : 52,
                     button->fontMetrics().horizontalAdvance(titles[i]) + 2 * padding + 4));
        button->setStyleSheet(ToggleStyle(padding));
        group->addButton(button, ids.isEmpty() ? i : ids[i]);
        row->addWidget(button);
    }
    group->button(checked)->setChecked(true);
    return group;
}

// Radio buttons in one row; ids follow the order.
QButtonGroup* RadioRow(QWidget* parent, QHBoxLayout* row, const QStringList& titles, int checked) {
    auto* group = new QButtonGroup(parent);
    for (int i = 0; i < titles.size(); ++i) {
        auto* button = new QRadioButton(titles[i], parent);
        button->setFocusPolicy(Qt::NoFocus);
        group->addButton(button, i);
        row->addWidget(button);
    }
    row->addStretch(1);
    group->button(checked)->setChecked(true);
    return group;
}

// A floating-point slider with its title on the left and its value on the right; the value label
// follows the slider.
FloatSlider* LabelledSlider(QWidget* parent, QGridLayout* grid, int row, const QString& title,
                            float minimum, float maximum, int steps, float value,
                            const char* format) {
    auto* label = new M_TextFieldCell(title, parent);
    auto* slider = new FloatSlider(Qt::Horizontal, parent);
    slider->setFloatRange(minimum, maximum, steps);
    slider->setFloatValue(value);
    slider->setFocusPolicy(Qt::NoFocus);
    auto* valueLabel = new M_TextFieldCell(QString(), parent);
    valueLabel->setMinimumWidth(38);
    valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const QString pattern = QString::fromLatin1(format);
    auto show = [slider, valueLabel, pattern] {
        valueLabel->setText(
            QString::asprintf(pattern.toLatin1().constData(), double(slider->floatValue())));
    };
    show();
    QObject::connect(slider, &QSlider::valueChanged, valueLabel, show);
    grid->addWidget(label, row, 0);
    grid->addWidget(slider, row, 1);
    grid->addWidget(valueLabel, row, 2);
    return slider;
}

QLabel* ImageLabel(QWidget* parent, Qt::Alignment alignment) {
    auto* label = new M_TextFieldCell(QString(), parent);
    label->setAlignment(alignment | Qt::AlignVCenter);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// Scrolls the grid where the window is too narrow for all its columns, and asks for room for
// all of them, so that it scrolls only when nothing else can give way.
class GridScrollArea : public QScrollArea {
  public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override {
        const int frame = 2 * frameWidth();
        return widget() ? widget()->minimumSize() + QSize(frame, frame) : QScrollArea::sizeHint();
    }
};

// The outer row of a screen.
QHBoxLayout* ScreenRow(QWidget* screen) {
    auto* row = new QHBoxLayout(screen);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(10);
    return row;
}

// The view's scale as a percentage, as wide as the widest it shows.
QLabel* ZoomPercentLabel(QWidget* parent) {
    auto* label = new M_TextFieldCell(QString(), parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance("400 %") + 6);
    label->setToolTip(QObject::tr("Scale of the view"));
    return label;
}

// The button of the before/after action.
QToolButton* BeforeAfterButton(const WindowLayout& l, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setDefaultAction(l.beforeAfterAction);
    button->setFocusPolicy(Qt::NoFocus);
    button->setStyleSheet(ToggleStyle(8));
    return button;
}

// Segmented zoom buttons for the given ids (SplitView::ZoomColumn) with their tooltips.
QButtonGroup* ZoomButtons(QWidget* parent, QHBoxLayout* row, const QList<int>& ids) {
    const QString fitKey = QKeySequence(QObject::tr("Ctrl+0")).toString(QKeySequence::NativeText);
    QStringList titles;
    for (int id : ids) {
        const double scale = SplitView::ScaleForZoomColumn(id);
        titles << (scale == 0  ? QObject::tr("Fit")
                   : scale < 1 ? QString("1:%1").arg(1 / scale)
                               : QString("%1:1").arg(scale));
    }
    QButtonGroup* group = SegmentedButtons(parent, row, titles, SplitView::ZoomFit, ids, true);
    for (int id : ids) {
        const double scale = SplitView::ScaleForZoomColumn(id);
        group->button(id)->setToolTip(scale > 0
                                          ? QObject::tr("Zoom %1 %").arg(scale * 100)
                                          : QObject::tr("Show the whole picture (%1)").arg(fitKey));
    }
    return group;
}

// --- the main screen ---------------------------------------------------------------------------

QHBoxLayout* ToolModeButtons(WindowLayout& l, QWidget* box) {
    auto* row = new QHBoxLayout;
    l.toolMode = SegmentedButtons(
        box, row, {QObject::tr("Pan"), QObject::tr("Deblur"), QObject::tr("Brush")}, 1);
    l.toolMode->button(0)->setToolTip(
        QObject::tr("Drag to move the photograph (or hold the space bar)"));
    l.toolMode->button(1)->setToolTip(
        QObject::tr("Click the spot that matters to compute candidates around it"));
    l.toolMode->button(2)->setToolTip(
        QObject::tr("Paint the selected result into the reconstructed image"));
    return row;
}

QGridLayout* BrushSliders(WindowLayout& l, QWidget* box) {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(0);
    l.brushSize = LabelledSlider(box, grid, 0, QObject::tr("Brush size"), 2, 402, 200, 60, "%.0f");
    l.brushOpacity = LabelledSlider(box, grid, 1, QObject::tr("Opacity"), 0, 1, 100, 0.5f, "%.2f");
    grid->setColumnMinimumWidth(1, 70);
    return grid;
}

// "Zoom" over the zoom buttons, the scale beside them.
QVBoxLayout* MainZoomControls(WindowLayout& l, QWidget* box) {
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* title = new M_TextFieldCell(QObject::tr("Zoom"), box);
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    auto* row = new QHBoxLayout;
    auto* buttons = new QHBoxLayout;
    l.zoomMode = ZoomButtons(
        box, buttons,
        {SplitView::ZoomFit, SplitView::ZoomIn4, SplitView::ZoomIn2, 0, 1, 2, SplitView::ZoomOut8});
    row->addLayout(buttons);
    l.zoomPercent = ZoomPercentLabel(box);
    row->addWidget(l.zoomPercent);
    column->addLayout(row);
    return column;
}

QWidget* ToolsBox(WindowLayout& l, QWidget* view) {
    auto* tools = new M_Box(QObject::tr("Tools"), view);
    auto* row = new QHBoxLayout(tools);
    row->setContentsMargins(10, 22, 10, 8);
    row->setSpacing(14);
    row->addLayout(ToolModeButtons(l, tools));
    row->addLayout(BrushSliders(l, tools), 1);
    row->addLayout(MainZoomControls(l, tools));
    return tools;
}

// The names of the pictures shown, and the before/after button at the end.
QHBoxLayout* PhotoLabels(WindowLayout& l, QWidget* view) {
    auto* row = new QHBoxLayout;
    l.leftLabel = ImageLabel(view, Qt::AlignHCenter);
    l.centerLabel = ImageLabel(view, Qt::AlignHCenter);
    l.rightLabel = ImageLabel(view, Qt::AlignHCenter);
    row->addWidget(l.leftLabel, 1);
    row->addWidget(l.centerLabel, 1);
    row->addWidget(l.rightLabel, 1);
    row->addWidget(BeforeAfterButton(l, view));
    return row;
}

// The photograph with scroll bars beside it, as in every image viewer.
QGridLayout* PhotoView(WindowLayout& l, QWidget* view) {
    l.splitView = new SplitView(view);
    l.splitView->setMinimumSize(400, 300);
    auto* grid = new QGridLayout;
    grid->setSpacing(0);
    grid->addWidget(l.splitView, 0, 0);
    auto* verticalBar = new QScrollBar(Qt::Vertical, view);
    auto* horizontalBar = new QScrollBar(Qt::Horizontal, view);
    for (QScrollBar* bar : {verticalBar, horizontalBar}) bar->setFocusPolicy(Qt::NoFocus);
    grid->addWidget(verticalBar, 0, 1);
    grid->addWidget(horizontalBar, 1, 0);
    l.splitView->setScrollBars(horizontalBar, verticalBar);
    return grid;
}

QWidget* ResultsBox(WindowLayout& l, QWidget* view) {
    auto* results = new M_Box(QObject::tr("Results"), view);
    // Wide enough for the longest fixed name beside a thumbnail when a scroll bar shows; 64 covers
    // the box's margins and frame and the cell's own.
    const int nameWidth = results->fontMetrics().horizontalAdvance(QObject::tr("Reconstructed"));
    const int scrollBar = results->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    results->setFixedWidth(
        std::max(kResultsWidth, kThumbnailColumnWidth + nameWidth + scrollBar + 64));
    auto* column = new QVBoxLayout(results);
    column->setContentsMargins(8, 24, 8, 8);
    l.tableView = new QTableView(results);
    l.tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    l.tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    l.tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    l.tableView->setShowGrid(false);
    l.tableView->setWordWrap(true);
    l.tableView->setIconSize(QSize(kThumbnailSize, kThumbnailSize));
    l.tableView->horizontalHeader()->hide();
    l.tableView->verticalHeader()->hide();
    l.tableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    l.tableView->verticalHeader()->setDefaultSectionSize(kThumbnailSize + 8);
    l.tableView->horizontalHeader()->setDefaultSectionSize(kThumbnailColumnWidth);
    l.tableView->setFrameShape(QFrame::NoFrame);
    column->addWidget(l.tableView, 1);
    l.applyAllButton = new QPushButton(QObject::tr("Apply to all"), results);
    l.applyAllButton->setToolTip(
        QObject::tr("Replace the whole reconstructed image by the selected result"));
    column->addWidget(l.applyAllButton);
    return results;
}

void BuildMainScreen(WindowLayout& l) {
    l.mainView = new QWidget;
    QHBoxLayout* outer = ScreenRow(l.mainView);
    auto* left = new QVBoxLayout;
    left->setSpacing(6);
    left->addWidget(ToolsBox(l, l.mainView));
    left->addLayout(PhotoLabels(l, l.mainView));
    left->addLayout(PhotoView(l, l.mainView), 1);
    outer->addLayout(left, 1);
    outer->addWidget(ResultsBox(l, l.mainView));
}

// --- the deblur screen -------------------------------------------------------------------------

// Above the loupe: the candidate's name, the zoom buttons with the scale, before/after.
QHBoxLayout* LoupeHeader(WindowLayout& l, QWidget* view) {
    auto* row = new QHBoxLayout;
    l.previewLabel = ImageLabel(view, Qt::AlignLeft);
    row->addWidget(l.previewLabel, 1);
    auto* buttons = new QHBoxLayout;
    l.previewZoom = ZoomButtons(
        view, buttons,
        {SplitView::ZoomFit, SplitView::ZoomOut1, SplitView::ZoomIn2, SplitView::ZoomIn4});
    row->addLayout(buttons);
    l.previewZoomPercent = ZoomPercentLabel(view);
    row->addWidget(l.previewZoomPercent);
    row->addWidget(BeforeAfterButton(l, view));
    return row;
}

// The candidate of the section, zoomed and panned as with a loupe.
SplitView* Loupe(WindowLayout& l, QWidget* view) {
    l.previewSplitView = new SplitView(view);
    l.previewSplitView->setMinimumSize(200, 150);
    l.previewSplitView->setToolTip(QObject::tr("Drag to move, turn the wheel to zoom"));
    return l.previewSplitView;
}

QWidget* CandidatesBox(WindowLayout& l, QWidget* view) {
    auto* box = new M_Box(QObject::tr("Candidates"), view);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(10, 24, 10, 8);
    l.imageMatrix = new ImageMatrix;
    // Columns at least 22 units wide and rows 11 apart; more room widens and spreads them.
    const int left = int(ImageMatrix::kLeftMargin), bottom = int(ImageMatrix::kBottomMargin);
    l.imageMatrix->setMinimumSize(left + 22 * 22, 31 * 11 + bottom);
    l.imageMatrix->setMaximumSize(left + 22 * 30, 31 * 20 + bottom);
    l.imageMatrix->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    l.imageMatrix->setToolTip(
        QObject::tr("Rows: blur radius in pixels. Columns: deblurring methods."));
    // Where the window is too small for every column, the grid scrolls rather than lose them.
    auto* scroll = new GridScrollArea(box);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->viewport()->setAutoFillBackground(false);
    scroll->setWidget(l.imageMatrix);
    l.imageMatrix->setAutoFillBackground(false);  // the box's panel shows through, as without it
    scroll->setMaximumWidth(l.imageMatrix->maximumWidth());
    column->addWidget(scroll, 1);
    auto* sliders = new QGridLayout;
    l.radiusSlider = new QSlider(Qt::Horizontal, box);
    l.typeSlider = new QSlider(Qt::Horizontal, box);
    for (QSlider* slider : {l.radiusSlider, l.typeSlider}) slider->setFocusPolicy(Qt::NoFocus);
    sliders->addWidget(new M_TextFieldCell(QObject::tr("Radius"), box), 0, 0);
    sliders->addWidget(l.radiusSlider, 0, 1);
    sliders->addWidget(new M_TextFieldCell(QObject::tr("Method"), box), 1, 0);
    sliders->addWidget(l.typeSlider, 1, 1);
    column->addLayout(sliders);
    l.scoreLabel = new QLabel(box);
    l.scoreLabel->setToolTip(
        QObject::tr("How the selected candidate compares with the original section"));
    column->addWidget(l.scoreLabel);
    box->setMaximumWidth(l.imageMatrix->maximumWidth() + 20);
    return box;
}

// The blur's shape: the disc, a motion line at an angle or a kernel of any shape (estimated or
// loaded, drawn beside its choice), its estimate, and whether only the brightness is sharpened.
QWidget* BlurBox(WindowLayout& l, QWidget* view) {
    auto* box = new M_Box(QObject::tr("Blur"), view);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(10, 22, 10, 6);
    column->setSpacing(2);
    // The disc and the motion with its angle; the shake with its kernel, the loading of one and
    // the estimate; the brightness option.
    auto* row = new QHBoxLayout;
    column->addLayout(row);
    l.blurShape = RadioRow(box, row,
                           {QObject::tr("Disc (out of focus)"), QObject::tr("Motion"),
                            QObject::tr("Shake (estimated)")},
                           0);
    delete row->takeAt(row->count() - 1);  // the angle follows "Motion"
    QLayoutItem* shake = row->takeAt(row->count() - 1);
    l.angleField = new QSpinBox(box);
    l.angleField->setRange(0, 179);
    l.angleField->setSuffix(QObject::tr("°"));
    l.angleField->setToolTip(
        QObject::tr("Direction of the motion, in degrees counter-clockwise from the horizontal"));
    l.angleView = new AngleView(box);
    l.angleView->setFixedSize(30, 30);
    l.angleView->setToolTip(QObject::tr("Drag to set the direction of the motion"));
    row->addWidget(l.angleField);
    row->addWidget(l.angleView);
    row->addStretch(1);

    auto* shakeRow = new QHBoxLayout;
    column->addLayout(shakeRow);
    shakeRow->addItem(shake);
    l.blurShape->button(2)->setEnabled(false);  // until there is a kernel
    l.blurShape->button(2)->setToolTip(
        QObject::tr("The kernel estimated from the section, or loaded from a file"));
    l.kernelView = new KernelView(box);
    l.kernelView->setFixedSize(40, 40);
    l.kernelView->setToolTip(QObject::tr("The kernel of the shake, magnified"));
    l.loadKernelButton = new QPushButton(QObject::tr("Load kernel…"), box);
    l.loadKernelButton->setToolTip(
        QObject::tr("Use a kernel saved as a grey PNG or TIFF picture (a point-spread function)"));
    l.estimateButton = new QPushButton(QObject::tr("Estimate"), box);
    l.estimateButton->setToolTip(
        QObject::tr("Estimate the blur of the section: its shape, direction and radius"));
    shakeRow->addWidget(l.kernelView);
    shakeRow->addStretch(1);
    shakeRow->addWidget(l.loadKernelButton);
    shakeRow->addWidget(l.estimateButton);

    l.brightnessOnly = new QCheckBox(QObject::tr("Sharpen brightness only"), box);
    l.brightnessOnly->setFocusPolicy(Qt::NoFocus);
    l.brightnessOnly->setToolTip(
        QObject::tr("Sharpen the brightness and keep the colours: no coloured fringes"));
    column->addWidget(l.brightnessOnly);
    // The view follows the field and sets it; both serve the motion only.
    AngleView* angleView = l.angleView;
    QSpinBox* angleField = l.angleField;
    QObject::connect(angleField, &QSpinBox::valueChanged, angleView, &AngleView::setCurrentAngle);
    angleView->setAngleChanged([angleField](int angle) { angleField->setValue(angle); });
    auto enableAngle = [angleView, angleField, shape = l.blurShape] {
        const bool motion = shape->checkedId() == 1;
        angleField->setEnabled(motion);
        angleView->setEnabled(motion);
    };
    enableAngle();
    QObject::connect(l.blurShape, &QButtonGroup::idToggled, angleField, enableAngle);
    return box;
}

QWidget* MaskBox(WindowLayout& l, QWidget* view) {
    auto* box = new M_Box(QObject::tr("Mask"), view);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(10, 24, 10, 8);
    grid->setHorizontalSpacing(8);
    auto* typeRow = new QHBoxLayout;
    grid->addWidget(new M_TextFieldCell(QObject::tr("Type"), box), 0, 0);
    l.maskType = RadioRow(box, typeRow, {"A", "B", "C"}, 0);
    grid->addLayout(typeRow, 0, 1);
    auto* showRow = new QHBoxLayout;
    grid->addWidget(new M_TextFieldCell(QObject::tr("Show"), box), 0, 2);
    l.maskShow = RadioRow(box, showRow, {QObject::tr("Mask"), QObject::tr("Result")}, 1);
    grid->addLayout(showRow, 0, 3);
    auto* sliders = new QGridLayout;
    sliders->setVerticalSpacing(4);
    l.maskAmount = LabelledSlider(box, sliders, 0, QObject::tr("Amount"), 0, 1, 100, 0, "%.2f");
    l.maskRadius = LabelledSlider(box, sliders, 1, QObject::tr("Radius"), 0.5f, 10, 19, 2, "%.1f");
    l.maskCrude =
        LabelledSlider(box, sliders, 2, QObject::tr("Crudeness"), 0, 1, 100, 0.25f, "%.2f");
    grid->addLayout(sliders, 1, 0, 1, 4);
    return box;
}

// Stop, then (added with the menus) the candidates' own buttons, Cancel and Deblur.
QHBoxLayout* CandidateButtons(WindowLayout& l, QWidget* view) {
    auto* row = new QHBoxLayout;
    row->setObjectName("candidateButtons");
    l.stopPreviews = new QPushButton(QObject::tr("Stop"), view);
    l.stopPreviews->setToolTip(QObject::tr("Stop the candidates still waiting"));
    l.cancelButton = new QPushButton(QObject::tr("Cancel"), view);
    l.deblurButton = new QPushButton(QObject::tr("Deblur"), view);
    l.deblurButton->setToolTip(
        QObject::tr("Compute the selected candidate over the whole photograph"));
    l.deblurButton->setDefault(true);
    row->addWidget(l.stopPreviews);
    row->addStretch(1);
    row->addWidget(l.cancelButton);
    row->addWidget(l.deblurButton);
    return row;
}

// Left, the loupe over the blur, the mask and the buttons; right, the grid, as tall as the window
// allows, so that its rows keep their room down to 1024 × 640, and scrolled sideways when the
// window is too narrow for its columns.
void BuildDeblurScreen(WindowLayout& l) {
    l.deblurView = new QWidget;
    QWidget* view = l.deblurView;
    QHBoxLayout* outer = ScreenRow(view);
    auto* left = new QVBoxLayout;
    left->setSpacing(6);
    left->addLayout(LoupeHeader(l, view));
    left->addWidget(Loupe(l, view), 1);
    left->addWidget(BlurBox(l, view));
    left->addWidget(MaskBox(l, view));
    left->addLayout(CandidateButtons(l, view));
    // The grid widens up to its largest size first, the loupe takes the rest.
    outer->addLayout(left);
    outer->addWidget(CandidatesBox(l, view), 1);
}

// The progress sheet: only the controller ends it. Esc and the close box (both reject) do
// nothing, so the window stays blocked while the work goes on.
class ProgressSheet : public QDialog {
  public:
    using QDialog::QDialog;
    void reject() override {}
};

void BuildSheet(WindowLayout& l) {
    l.sheet = new ProgressSheet(l.mainWindow, Qt::Sheet);
    l.sheet->setWindowModality(Qt::WindowModal);
    l.sheet->setWindowTitle(QObject::tr("Please wait"));
    auto* column = new QVBoxLayout(l.sheet);
    l.sheetText = new QLabel(l.sheet);
    l.sheetProgress = new QProgressBar(l.sheet);
    l.sheetProgress->setRange(0, 0);  // indeterminate: it moves as long as events are processed
    l.sheetProgress->setTextVisible(false);
    l.sheetProgress->setMinimumWidth(280);
    column->addWidget(l.sheetText);
    column->addWidget(l.sheetProgress);
}

void BuildPreferences(WindowLayout& l) {
    l.preferencesWindow = new QDialog(l.mainWindow);
    l.preferencesWindow->setWindowTitle(QObject::tr("Preferences"));
    auto* column = new QVBoxLayout(l.preferencesWindow);
    l.allowAnonStats =
        new QCheckBox(QObject::tr("Send anonymous usage statistics"), l.preferencesWindow);
    auto* explanation = new QLabel(
        QObject::tr("Only the size of the image, the deblurring method, the radius and the "
                    "masking options of each deblur are sent."),
        l.preferencesWindow);
    explanation->setWordWrap(true);
    column->addWidget(l.allowAnonStats);
    column->addWidget(explanation);
    l.writeRecipe = new QCheckBox(QObject::tr("Save a recipe beside each saved photograph"),
                                  l.preferencesWindow);
    l.writeRecipe->setChecked(true);
    l.writeRecipe->setToolTip(
        QObject::tr("NAME.velkaro.json records the deblurs, strokes and Apply to all, so that "
                    "File ▸ Open Recipe or velkaro-cli replay can do them again"));
    column->addWidget(l.writeRecipe);
    l.preferencesWindow->resize(380, 150);
}

void BuildSaveOptions(WindowLayout& l) {
    l.saveOptionView = new QWidget(l.mainWindow);
    l.saveOptionView->hide();
    auto* grid = new QGridLayout(l.saveOptionView);
    grid->setContentsMargins(0, 6, 0, 0);
    grid->addWidget(new QLabel(QObject::tr("Format:"), l.saveOptionView), 0, 0);
    l.saveOptionFileTypeButton = new QComboBox(l.saveOptionView);
    l.saveOptionFileTypeButton->addItems({"PNG", "JPEG", "TIFF"});
    grid->addWidget(l.saveOptionFileTypeButton, 0, 1);
    l.saveOptionQualityLabel = new QLabel(QObject::tr("Quality:"), l.saveOptionView);
    grid->addWidget(l.saveOptionQualityLabel, 0, 2);
    l.saveOptionQualitySlider = new QSlider(Qt::Horizontal, l.saveOptionView);
    l.saveOptionQualitySlider->setRange(1, 100);
    l.saveOptionQualitySlider->setValue(90);
    l.saveOptionQualitySlider->setMinimumWidth(160);
    grid->addWidget(l.saveOptionQualitySlider, 0, 3);
    l.saveOptionQualityValue = new QLabel(l.saveOptionView);
    l.saveOptionQualityValue->setMinimumWidth(30);
    grid->addWidget(l.saveOptionQualityValue, 0, 4);
    l.saveOptionTransferMetadata =
        new QCheckBox(QObject::tr("Copy metadata from the source file"), l.saveOptionView);
    l.saveOptionTransferMetadata->setChecked(true);  // the camera's data and colour profile stay
    grid->addWidget(l.saveOptionTransferMetadata, 1, 0, 1, 5);
    grid->addWidget(new QLabel(QObject::tr("Depth:"), l.saveOptionView), 2, 0);
    l.saveOptionDepthButton = new QComboBox(l.saveOptionView);
    l.saveOptionDepthButton->addItems({QObject::tr("8 bits"), QObject::tr("16 bits")});
    grid->addWidget(l.saveOptionDepthButton, 2, 1);
    grid->setColumnStretch(3, 1);
}

// The candidates' items of the View menu (made here when no other part has made it yet), also
// offered as buttons beside Stop on the deblur screen.
void BuildCandidateActions(WindowLayout& l) {
    QMenu* view = nullptr;
    for (QAction* item : l.menuBar->actions())
        if (item->menu() && item->text() == QObject::tr("View"))
            view = item->menu();
    if (!view)
        view = l.menuBar->addMenu(QObject::tr("View"));
    view->addSeparator();
    l.bestCandidateAction = view->addAction(QObject::tr("Best Candidate"));
    l.bestCandidateAction->setShortcut(Qt::Key_B);
    l.bestCandidateAction->setToolTip(QObject::tr("Select the best-scored candidate (B)"));
    l.bestCandidateAction->setIconText(QObject::tr("Best"));  // its button's title, kept short
    l.artefactMapAction = view->addAction(QObject::tr("Artefact Map"));
    l.artefactMapAction->setCheckable(true);
    l.artefactMapAction->setShortcut(Qt::Key_M);
    l.artefactMapAction->setToolTip(
        QObject::tr("Tint where the candidate rings or haloes (red) and adds noise (blue) (M)"));
    // The deblur screen's buttons share the actions: one state, one shortcut.
    auto* row = l.deblurView->findChild<QHBoxLayout*>("candidateButtons");
    int at = row ? row->indexOf(l.stopPreviews) : -1;
    for (QAction* action : {l.bestCandidateAction, l.artefactMapAction}) {
        auto* button = new QToolButton(l.deblurView);
        button->setDefaultAction(action);
        button->setFocusPolicy(Qt::NoFocus);
        if (row)
            row->insertWidget(++at, button);
    }
}

void BuildMenus(WindowLayout& l) {
    l.menuBar = l.mainWindow->menuBar();
    QMenu* app = l.menuBar->addMenu("xxxx");
    l.aboutAction = app->addAction(QObject::tr("About xxxx"));
    l.aboutAction->setMenuRole(QAction::AboutRole);
    app->addSeparator();
    l.preferencesAction = app->addAction(QObject::tr("Preferences..."));
    l.preferencesAction->setShortcut(QKeySequence::Preferences);
    l.preferencesAction->setMenuRole(QAction::PreferencesRole);
    app->addSeparator();
    l.quitAction = app->addAction(QObject::tr("Quit xxxx"));
    l.quitAction->setShortcut(QKeySequence::Quit);
    l.quitAction->setMenuRole(QAction::QuitRole);

    QMenu* file = l.menuBar->addMenu(QObject::tr("File"));
    l.openAction = file->addAction(QObject::tr("Open..."));
    l.openAction->setShortcut(QKeySequence::Open);
    l.openRecentMenu = file->addMenu(QObject::tr("Open Recent"));
    l.openRecipeAction = file->addAction(QObject::tr("Open Recipe..."));
    l.loadKernelAction = file->addAction(QObject::tr("Load Kernel..."));
    l.saveAction = file->addAction(QObject::tr("Save"));
    l.saveAction->setShortcut(QKeySequence::Save);
    l.saveAsAction = file->addAction(QObject::tr("Save As..."));
    l.saveAsAction->setShortcut(QKeySequence::SaveAs);

    QMenu* edit = l.menuBar->addMenu(QObject::tr("Edit"));
    l.undoAction = edit->addAction(QObject::tr("Undo"));
    l.undoAction->setShortcut(QKeySequence::Undo);
    l.redoAction = edit->addAction(QObject::tr("Redo"));
    l.redoAction->setShortcut(QKeySequence::Redo);

    QMenu* viewMenu = l.menuBar->addMenu(QObject::tr("View"));
    l.zoomInAction = viewMenu->addAction(QObject::tr("Zoom In"));
    l.zoomInAction->setShortcuts({QKeySequence::ZoomIn, QKeySequence(QObject::tr("Ctrl+="))});
    l.zoomOutAction = viewMenu->addAction(QObject::tr("Zoom Out"));
    l.zoomOutAction->setShortcut(QKeySequence::ZoomOut);
    viewMenu->addAction(l.beforeAfterAction);
    viewMenu->addSeparator();
    l.zoomFitAction = viewMenu->addAction(QObject::tr("Fit in Window"));
    l.zoomFitAction->setShortcut(QKeySequence(QObject::tr("Ctrl+0")));
    l.actualSizeAction = viewMenu->addAction(QObject::tr("Actual Pixels"));
    l.actualSizeAction->setShortcut(QKeySequence(QObject::tr("Ctrl+1")));
    BuildCandidateActions(l);

    QMenu* help = l.menuBar->addMenu(QObject::tr("Help"));
    l.helpAction = help->addAction(QObject::tr("xxxx Tutorial"));
    l.helpAction->setShortcut(QKeySequence::HelpContents);
    l.faqAction = help->addAction(QObject::tr("Frequently Asked Questions"));
    l.supportAction = help->addAction(QObject::tr("Reporting a Problem"));
}

}  // namespace

WindowLayout BuildWindowLayout(MainWindow* window) {
    WindowLayout l;
    l.mainWindow = window;
    auto* back = new M_BackView(window);
    auto* backLayout = new QVBoxLayout(back);
    backLayout->setContentsMargins(0, 0, 0, 0);
    // Below the smallest size the screens are laid out for, they scroll instead of overlapping.
    auto* scroll = new QScrollArea(back);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->viewport()->setAutoFillBackground(false);
    l.screens = new QStackedWidget;
    l.screens->setAutoFillBackground(false);
    scroll->setWidget(l.screens);
    backLayout->addWidget(scroll);
    window->setCentralWidget(back);

    // Made first: both screens have its button.
    l.beforeAfterAction = new QAction(QObject::tr("Show Original"), window);
    l.beforeAfterAction->setCheckable(true);
    l.beforeAfterAction->setShortcut(Qt::Key_O);
    l.beforeAfterAction->setToolTip(
        QObject::tr("Show the original in the picture's place, at the same place and scale (O)"));
    BuildMainScreen(l);
    BuildDeblurScreen(l);
    l.screens->addWidget(l.mainView);
    l.screens->addWidget(l.deblurView);
    l.screens->setCurrentWidget(l.mainView);

    l.splitView->setMainWindow(window);
    l.splitView->setMouseMode(l.toolMode);
    l.splitView->setZoomMode(l.zoomMode);
    l.splitView->setBrushControls(l.brushSize, l.brushOpacity);
    l.splitView->setLabels(l.leftLabel, l.centerLabel, l.rightLabel);
    l.splitView->setZoomLabel(l.zoomPercent);
    l.previewSplitView->setMainWindow(window);
    l.previewSplitView->setLabels(nullptr, l.previewLabel, nullptr);
    l.previewSplitView->setLoupe(true);
    l.previewSplitView->setZoomMode(l.previewZoom);
    l.previewSplitView->setZoomLabel(l.previewZoomPercent);
    l.imageMatrix->setSliders(l.radiusSlider, l.typeSlider);
    window->setMainSplitView(l.splitView);

    BuildSheet(l);
    BuildPreferences(l);
    BuildSaveOptions(l);
    BuildMenus(l);
    window->statusBar()->setSizeGripEnabled(false);
    // The zoom items act on the picture of the screen shown: the photograph or the loupe.
    auto shown = [screens = l.screens, main = l.mainView, photo = l.splitView,
                  loupe = l.previewSplitView] {
        return screens->currentWidget() == main ? photo : loupe;
    };
    QObject::connect(l.zoomInAction, &QAction::triggered, window,
                     [shown] { shown()->zoomStep(1); });
    QObject::connect(l.zoomOutAction, &QAction::triggered, window,
                     [shown] { shown()->zoomStep(-1); });
    QObject::connect(l.zoomFitAction, &QAction::triggered, window,
                     [shown] { shown()->zoomToFit(); });
    QObject::connect(l.actualSizeAction, &QAction::triggered, window,
                     [shown] { shown()->setScale(1); });
    for (SplitView* shown : {l.splitView, l.previewSplitView})
        QObject::connect(l.beforeAfterAction, &QAction::toggled, shown, &SplitView::setShowsBefore);
    window->resize(1360, 860);
    return l;
}

void FixMenu(QMenu* menu, const QString& name) {
    if (!menu)
        return;
    menu->setTitle(menu->title().replace("xxxx", name));
    for (QAction* item : menu->actions()) {
        item->setText(item->text().replace("xxxx", name));
        if (item->menu())
            FixMenu(item->menu(), name);
    }
}

void FixMenu(QMenuBar* menuBar, const QString& name) {
    if (!menuBar)
        return;
    for (QAction* item : menuBar->actions()) {
        item->setText(item->text().replace("xxxx", name));
        if (item->menu())
            FixMenu(item->menu(), name);
    }
}

}  // namespace velkaro
