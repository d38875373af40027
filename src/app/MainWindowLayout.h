#pragma once

#include <QString>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTableView;
class QWidget;

namespace velkaro {

class AngleView;
class KernelView;
class FloatSlider;
class ImageMatrix;
class MainWindow;
class SplitView;

// The window layout of the application, built in code: the main window with its two screens, the
// menus, the progress sheet, the preferences window and the options view of the save panel. Every
// widget is owned by Qt's parent chain under the main window; these are plain references to them.
// Nothing is connected to a controller here except what only concerns the layout itself (value
// labels following their sliders).
struct WindowLayout {
    MainWindow* mainWindow = nullptr;
    QStackedWidget* screens = nullptr;  // holds the main screen and the deblur screen

    // The main screen.
    QWidget* mainView = nullptr;
    SplitView* splitView = nullptr;
    QLabel* leftLabel = nullptr;
    QLabel* centerLabel = nullptr;
    QLabel* rightLabel = nullptr;
    QButtonGroup* toolMode = nullptr;  // 0 pan, 1 click to deblur, 2 brush
    QButtonGroup* zoomMode = nullptr;  // ids: SplitView::ZoomColumn
    QLabel* zoomPercent = nullptr;
    FloatSlider* brushSize = nullptr;
    FloatSlider* brushOpacity = nullptr;
    QTableView* tableView = nullptr;
    QPushButton* applyAllButton = nullptr;

    // The deblur screen.
    QWidget* deblurView = nullptr;
    SplitView* previewSplitView = nullptr;  // a loupe on the candidate
    QLabel* previewLabel = nullptr;
    QButtonGroup* previewZoom = nullptr;  // ids: SplitView::ZoomColumn
    QLabel* previewZoomPercent = nullptr;
    ImageMatrix* imageMatrix = nullptr;
    QSlider* radiusSlider = nullptr;
    QSlider* typeSlider = nullptr;
    // 0 the disc (out of focus), 1 a motion line, 2 a kernel of any shape (estimated or loaded)
    QButtonGroup* blurShape = nullptr;
    QSpinBox* angleField = nullptr;           // the motion's angle, 0 … 179 degrees
    AngleView* angleView = nullptr;           // the same angle, shown and dragged
    KernelView* kernelView = nullptr;         // the kernel of choice 2, magnified
    QPushButton* loadKernelButton = nullptr;  // as File ▸ Load Kernel
    QCheckBox* brightnessOnly = nullptr;      // sharpen the brightness only
    QPushButton* estimateButton = nullptr;
    QButtonGroup* maskType = nullptr;  // 0 A, 1 B, 2 C
    QButtonGroup* maskShow = nullptr;  // 0 the mask itself, 1 the masked result
    FloatSlider* maskAmount = nullptr;
    FloatSlider* maskRadius = nullptr;
    FloatSlider* maskCrude = nullptr;
    QLabel* scoreLabel = nullptr;  // the selected candidate's score in words, below the grid
    QPushButton* stopPreviews = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* deblurButton = nullptr;

    // The progress sheet.
    QDialog* sheet = nullptr;
    QLabel* sheetText = nullptr;
    QProgressBar* sheetProgress = nullptr;

    // The preferences window.
    QDialog* preferencesWindow = nullptr;
    QCheckBox* allowAnonStats = nullptr;
    QCheckBox* writeRecipe = nullptr;  // a saved photograph gets its recipe beside it

    // The options view of the save panel.
    QWidget* saveOptionView = nullptr;
    QComboBox* saveOptionFileTypeButton = nullptr;  // "PNG", "JPEG", "TIFF"
    QSlider* saveOptionQualitySlider = nullptr;
    QLabel* saveOptionQualityLabel = nullptr;
    QLabel* saveOptionQualityValue = nullptr;
    QCheckBox* saveOptionTransferMetadata = nullptr;
    QComboBox* saveOptionDepthButton = nullptr;  // "8 bits", "16 bits" (PNG and TIFF)

    // The menus. Titles holding "xxxx" get the application's name at start.
    QMenuBar* menuBar = nullptr;
    QAction* aboutAction = nullptr;
    QAction* preferencesAction = nullptr;
    QAction* quitAction = nullptr;
    QAction* openAction = nullptr;
    QAction* saveAction = nullptr;
    QAction* saveAsAction = nullptr;
    QMenu* openRecentMenu = nullptr;      // File ▸ Open Recent, filled by the controller
    QAction* loadKernelAction = nullptr;  // File ▸ Load Kernel: a kernel picture as the blur
    QAction* openRecipeAction = nullptr;  // File ▸ Open Recipe: a photograph with its recipe
    QAction* undoAction = nullptr;
    QAction* redoAction = nullptr;
    QAction* bestCandidateAction = nullptr;  // View: selects the best-scored candidate
    QAction* artefactMapAction = nullptr;    // View, checkable: the candidate's artefact map
    QAction* zoomInAction = nullptr;
    QAction* zoomOutAction = nullptr;
    QAction* zoomFitAction = nullptr;
    QAction* actualSizeAction = nullptr;
    QAction* beforeAfterAction = nullptr;  // checkable: the original in the pictures' place
    QAction* helpAction = nullptr;
    QAction* faqAction = nullptr;
    QAction* supportAction = nullptr;
};

// Builds every widget of the layout into `window` and returns the references.
WindowLayout BuildWindowLayout(MainWindow* window);

// Replaces "xxxx" by `name` in the menu's title and in the titles of its items, submenus included.
void FixMenu(QMenu* menu, const QString& name);
void FixMenu(QMenuBar* menuBar, const QString& name);

}  // namespace velkaro
