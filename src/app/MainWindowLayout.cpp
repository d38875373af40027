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
#include "MainWindow.h"
#include "SplitView.h"

namespace velkaro {

namespace {

constexpr int kResultsWidth = 236;
constexpr int kThumbnailSize = 96;
constexpr int kThumbnailColumnWidth = kThumbnailSize + 12;  // the thumbnail and its cell margins

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
        // The chosen segment stands out in the selection colour.
        button->setStyleSheet(
            QString("QToolButton { padding: 3px %1px; border: 1px solid #555; background: #3a3a3a; "
                    "color: white; }")
                .arg(padding) +
            "QToolButton:checked { background: #3d6fb5; border-color: #5a8ad0; }"
            "QToolButton:hover:!checked { background: #474747; }");
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

void BuildMainScreen(WindowLayout& l) {
    auto* view = new QWidget;
    l.mainView = view;
    auto* outer = new QHBoxLayout(view);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(10);

    // Left: the tools above the photograph.
    auto* left = new QVBoxLayout;
    left->setSpacing(6);
    auto* tools = new M_Box(QObject::tr("Tools"), view);
    auto* toolRow = new QHBoxLayout(tools);
    toolRow->setContentsMargins(10, 22, 10, 8);
    toolRow->setSpacing(14);
    auto* modeRow = new QHBoxLayout;
    l.toolMode = SegmentedButtons(
        tools, modeRow, {QObject::tr("Pan"), QObject::tr("Deblur"), QObject::tr("Brush")}, 1);
    l.toolMode->button(0)->setToolTip(
        QObject::tr("Drag to move the photograph (or hold the space bar)"));
    l.toolMode->button(1)->setToolTip(
        QObject::tr("Click the spot that matters to compute candidates around it"));
    l.toolMode->button(2)->setToolTip(
        QObject::tr("Paint the selected result into the reconstructed image"));
    toolRow->addLayout(modeRow);
    auto* brushGrid = new QGridLayout;
    brushGrid->setHorizontalSpacing(6);
    brushGrid->setVerticalSpacing(0);
    l.brushSize =
        LabelledSlider(tools, brushGrid, 0, QObject::tr("Brush size"), 2, 402, 200, 60, "%.0f");
    l.brushOpacity =
        LabelledSlider(tools, brushGrid, 1, QObject::tr("Opacity"), 0, 1, 100, 0.5f, "%.2f");
    brushGrid->setColumnMinimumWidth(1, 70);
    toolRow->addLayout(brushGrid, 1);
    auto* zoomBox = new QVBoxLayout;
    zoomBox->setSpacing(2);
    auto* zoomTitle = new M_TextFieldCell(QObject::tr("Zoom"), tools);
    zoomTitle->setAlignment(Qt::AlignHCenter);
    zoomBox->addWidget(zoomTitle);
    auto* zoomRow = new QHBoxLayout;
    const QList<int> zoomIds = {SplitView::ZoomFit, SplitView::ZoomIn4, SplitView::ZoomIn2, 0, 1, 2,
                                SplitView::ZoomOut8};
    l.zoomMode = SegmentedButtons(tools, zoomRow,
                                  {QObject::tr("Fit"), "4:1", "2:1", "1:1", "1:2", "1:4", "1:8"},
                                  SplitView::ZoomFit, zoomIds, true);
    for (int id : zoomIds) {
        const double scale = SplitView::ScaleForZoomColumn(id);
        l.zoomMode->button(id)->setToolTip(
            scale > 0
                ? QObject::tr("Zoom %1 %").arg(scale * 100)
                : QObject::tr("Show the whole photograph (%1)")
                      .arg(QKeySequence(QObject::tr("Ctrl+0")).toString(QKeySequence::NativeText)));
    }
    zoomBox->addLayout(zoomRow);
    toolRow->addLayout(zoomBox);
    left->addWidget(tools);

    auto* labels = new QHBoxLayout;
    l.leftLabel = ImageLabel(view, Qt::AlignHCenter);
    l.centerLabel = ImageLabel(view, Qt::AlignHCenter);
    l.rightLabel = ImageLabel(view, Qt::AlignHCenter);
    labels->addWidget(l.leftLabel, 1);
    labels->addWidget(l.centerLabel, 1);
    labels->addWidget(l.rightLabel, 1);
    left->addLayout(labels);
    l.splitView = new SplitView(view);
    l.splitView->setMinimumSize(400, 300);
    // Scroll bars beside the photograph, as in every image viewer.
    auto* scrolled = new QGridLayout;
    scrolled->setSpacing(0);
    scrolled->addWidget(l.splitView, 0, 0);
    auto* verticalBar = new QScrollBar(Qt::Vertical, view);
    auto* horizontalBar = new QScrollBar(Qt::Horizontal, view);
    for (QScrollBar* bar : {verticalBar, horizontalBar}) bar->setFocusPolicy(Qt::NoFocus);
    scrolled->addWidget(verticalBar, 0, 1);
    scrolled->addWidget(horizontalBar, 1, 0);
    l.splitView->setScrollBars(horizontalBar, verticalBar);
    left->addLayout(scrolled, 1);
    outer->addLayout(left, 1);

    // Right: the results.
    auto* results = new M_Box(QObject::tr("Results"), view);
    // Wide enough for the longest fixed name beside a thumbnail when a scroll bar shows; 64 covers
    // the box's margins and frame and the cell's own.
    const int nameWidth = results->fontMetrics().horizontalAdvance(QObject::tr("Reconstructed"));
    const int scrollBar = results->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    results->setFixedWidth(
        std::max(kResultsWidth, kThumbnailColumnWidth + nameWidth + scrollBar + 64));
    auto* resultsColumn = new QVBoxLayout(results);
    resultsColumn->setContentsMargins(8, 24, 8, 8);
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
    resultsColumn->addWidget(l.tableView, 1);
    l.applyAllButton = new QPushButton(QObject::tr("Apply to all"), results);
    l.applyAllButton->setToolTip(
        QObject::tr("Replace the whole reconstructed image by the selected result"));
    resultsColumn->addWidget(l.applyAllButton);
    outer->addWidget(results);
}

void BuildDeblurScreen(WindowLayout& l) {
    auto* view = new QWidget;
    l.deblurView = view;
    auto* outer = new QHBoxLayout(view);
    outer->setContentsMargins(10, 10, 10, 10);
    outer->setSpacing(10);

    auto* left = new QVBoxLayout;
    l.previewLabel = ImageLabel(view, Qt::AlignHCenter);
    left->addWidget(l.previewLabel);
    l.previewSplitView = new SplitView(view);
    l.previewSplitView->setMinimumSize(300, 200);
    left->addWidget(l.previewSplitView, 1);
    outer->addLayout(left, 1);

    // Right: the grid, as tall as the window allows. Left, under the preview: the mask and the
    // buttons, so that the rows keep their room down to 1024 × 640.
    left->setSpacing(6);
    auto* gridBox = new M_Box(QObject::tr("Candidates"), view);
    auto* gridColumn = new QVBoxLayout(gridBox);
    gridColumn->setContentsMargins(10, 24, 10, 8);
    l.imageMatrix = new ImageMatrix(gridBox);
    // Columns at least 22 units wide and rows 11 apart; more room widens and spreads them.
    const int gridBottom = int(ImageMatrix::kBottomMargin);
    l.imageMatrix->setMinimumSize(int(ImageMatrix::kLeftMargin) + 22 * 22, 31 * 11 + gridBottom);
    l.imageMatrix->setMaximumSize(int(ImageMatrix::kLeftMargin) + 22 * 30, 31 * 20 + gridBottom);
    l.imageMatrix->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    l.imageMatrix->setToolTip(
        QObject::tr("Rows: blur radius in pixels. Columns: deblurring methods."));
    gridColumn->addWidget(l.imageMatrix, 1);
    auto* gridSliders = new QGridLayout;
    l.radiusSlider = new QSlider(Qt::Horizontal, gridBox);
    l.typeSlider = new QSlider(Qt::Horizontal, gridBox);
    for (QSlider* slider : {l.radiusSlider, l.typeSlider}) slider->setFocusPolicy(Qt::NoFocus);
    gridSliders->addWidget(new M_TextFieldCell(QObject::tr("Radius"), gridBox), 0, 0);
    gridSliders->addWidget(l.radiusSlider, 0, 1);
    gridSliders->addWidget(new M_TextFieldCell(QObject::tr("Method"), gridBox), 1, 0);
    gridSliders->addWidget(l.typeSlider, 1, 1);
    gridColumn->addLayout(gridSliders);
    l.scoreLabel = new QLabel(gridBox);
    l.scoreLabel->setToolTip(
        QObject::tr("How the selected candidate compares with the original section"));
    gridColumn->addWidget(l.scoreLabel);

    // The blur's shape: the disc or a motion line at an angle, and its estimate.
    auto* blurBox = new M_Box(QObject::tr("Blur"), view);
    auto* blurRow = new QHBoxLayout(blurBox);
    blurRow->setContentsMargins(10, 22, 10, 6);
    l.blurShape =
        RadioRow(blurBox, blurRow, {QObject::tr("Disc (out of focus)"), QObject::tr("Motion")}, 0);
    delete blurRow->takeAt(blurRow->count() - 1);  // no stretch: the angle follows "Motion"
    l.angleField = new QSpinBox(blurBox);
    l.angleField->setRange(0, 179);
    l.angleField->setSuffix(QObject::tr("°"));
    l.angleField->setToolTip(
        QObject::tr("Direction of the motion, in degrees counter-clockwise from the horizontal"));
    l.angleView = new AngleView(blurBox);
    l.angleView->setFixedSize(30, 30);
    l.angleView->setToolTip(QObject::tr("Drag to set the direction of the motion"));
    l.estimateButton = new QPushButton(QObject::tr("Estimate"), blurBox);
    l.estimateButton->setToolTip(
        QObject::tr("Estimate the blur of the section: its shape, direction and radius"));
    blurRow->addWidget(l.angleField);
    blurRow->addWidget(l.angleView);
    blurRow->addStretch(1);
    blurRow->addWidget(l.estimateButton);
    left->addWidget(blurBox);
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

    auto* maskBox = new M_Box(QObject::tr("Mask"), view);
    auto* maskGrid = new QGridLayout(maskBox);
    maskGrid->setContentsMargins(10, 24, 10, 8);
    maskGrid->setHorizontalSpacing(8);
    auto* typeRow = new QHBoxLayout;
    maskGrid->addWidget(new M_TextFieldCell(QObject::tr("Type"), maskBox), 0, 0);
    l.maskType = RadioRow(maskBox, typeRow, {"A", "B", "C"}, 0);
    maskGrid->addLayout(typeRow, 0, 1);
    auto* showRow = new QHBoxLayout;
    maskGrid->addWidget(new M_TextFieldCell(QObject::tr("Show"), maskBox), 0, 2);
    l.maskShow = RadioRow(maskBox, showRow, {QObject::tr("Mask"), QObject::tr("Result")}, 1);
    maskGrid->addLayout(showRow, 0, 3);
    auto* sliders = new QGridLayout;
    sliders->setVerticalSpacing(4);
    l.maskAmount = LabelledSlider(maskBox, sliders, 0, QObject::tr("Amount"), 0, 1, 100, 0, "%.2f");
    l.maskRadius =
        LabelledSlider(maskBox, sliders, 1, QObject::tr("Radius"), 0.5f, 10, 19, 2, "%.1f");
    l.maskCrude =
        LabelledSlider(maskBox, sliders, 2, QObject::tr("Crudeness"), 0, 1, 100, 0.25f, "%.2f");
    maskGrid->addLayout(sliders, 1, 0, 1, 4);
    left->addWidget(maskBox);

    auto* buttons = new QHBoxLayout;
    buttons->setObjectName("candidateButtons");
    l.stopPreviews = new QPushButton(QObject::tr("Stop"), view);
    l.stopPreviews->setToolTip(QObject::tr("Stop the candidates still waiting"));
    l.cancelButton = new QPushButton(QObject::tr("Cancel"), view);
    l.deblurButton = new QPushButton(QObject::tr("Deblur"), view);
    l.deblurButton->setToolTip(
        QObject::tr("Compute the selected candidate over the whole photograph"));
    l.deblurButton->setDefault(true);
    buttons->addWidget(l.stopPreviews);
    buttons->addStretch(1);
    buttons->addWidget(l.cancelButton);
    buttons->addWidget(l.deblurButton);
    left->addLayout(buttons);

    gridBox->setMaximumWidth(l.imageMatrix->maximumWidth() + 20);
    outer->addWidget(gridBox, 1);
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
    l.preferencesWindow->resize(380, 120);
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
    l.previewSplitView->setMainWindow(window);
    l.previewSplitView->setLabels(nullptr, l.previewLabel, nullptr);
    l.imageMatrix->setSliders(l.radiusSlider, l.typeSlider);
    window->setMainSplitView(l.splitView);

    BuildSheet(l);
    BuildPreferences(l);
    BuildSaveOptions(l);
    BuildMenus(l);
    window->statusBar()->setSizeGripEnabled(false);
    SplitView* view = l.splitView;
    QObject::connect(l.zoomInAction, &QAction::triggered, view, [view] { view->zoomStep(1); });
    QObject::connect(l.zoomOutAction, &QAction::triggered, view, [view] { view->zoomStep(-1); });
    QObject::connect(l.zoomFitAction, &QAction::triggered, view, [view] { view->zoomToFit(); });
    QObject::connect(l.actualSizeAction, &QAction::triggered, view, [view] { view->setScale(1); });
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
