#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>

#include "BlurEstimate.h"
#include "ControllerInterface.h"
#include "ControllerModel.h"
#include "DeblurTypes.h"
#include "Dispatch.h"
#include "History.h"
#include "Image.h"
#include "MainWindowLayout.h"
#include "Session.h"
#include "SessionBridge.h"

class QSettings;
class QShortcut;
class QSpinBox;
class QTimer;

namespace velkaro {

class Dialogs;
class KernelView;
class UsageReporter;
struct UsageReportFields;

// The label of a full deblur in the results list: "RL40 2.5", or with a mask
// "RL40 2.5\n [B, 50%,\n 3.0, 0.5]".
QString DeblurLabel(const DeblurredEntry& entry);

// The 512 × 512 section around an image point, shifted inside a W × H image; the whole image when
// it is smaller.
Rect PreviewSection(QPointF point, int W, int H);

// The window controller: owns the processing session, opens and saves images, drives the deblur
// queue and the previews, turns session events into changes of the grid and the results list, and
// keeps the history of the changes of the reconstructed image. Everything runs on the main thread;
// work that may take a while (loading, saving, waiting for workers to stop) runs on a worker behind
// a window-modal progress sheet, and ends with a signal.
class Controller : public QObject, public ControllerInterface {
    Q_OBJECT

  public:
    // The layout's widgets, the settings store and the dialogs must outlive the controller.
    Controller(const WindowLayout& layout, QSettings& settings, Dialogs& dialogs,
               QObject* parent = nullptr);
    ~Controller() override;

    // The process-wide controller (null before one is made).
    static Controller* controller();

    // --- documents ---
    void openImage();
    void reallyOpenImage();
    void maybeOpenImageAtPath(const QString& path);
    // Decodes the file on a worker and, when it can be read, closes the current photograph and
    // shows the new one; a file that cannot be read leaves everything as it was. openFinished()
    // tells how it went.
    void openImageAtPath(const QString& path) override;
    // Something of the open photograph would be lost by closing it: changes to the composite,
    // work running, previews or full results computed.
    bool hasWorkToLose();
    // Stops every worker and empties the session (on a worker when work is running), then runs
    // `then`; closeFinished() follows.
    void closeImages(std::function<void()> then = {});
    bool hasFileOpen() override;
    bool allowDrop() override;
    // The composite changed since it was loaded or last saved.
    bool isModified() const { return !mHistory.stack().isClean(); }
    // Runs `proceed` at once when nothing is modified; otherwise asks with `message` whether to
    // save first (Save, Cancel, Don't Save; Esc cancels), and runs it after a successful save or
    // when the user chooses not to save. `answered` runs when the alert ends, whatever the answer.
    void askToSaveChanges(const QString& message, std::function<void()> proceed,
                          std::function<void()> answered = {});

    // --- saving ---
    // File ▸ Save: into the file this photograph was last saved to, else as saveResult().
    void save();
    // Asks for a destination and saves there; `then` learns whether a file was written.
    // (File ▸ Save As.)
    void saveResult(std::function<void(bool saved)> then = {});
    // Writes the composite (and copies the metadata when asked) on a worker; saveFinished()
    // tells whether the image file was written. False when it could not start (work running).
    bool saveResultToPath(const QString& path, std::function<void(bool saved)> then = {});
    QStringList currentlyAllowedFileTypes() const;
    void savePopupChanged(QObject* sender);
    // A name typed with the extension of a writable format chooses that format (the type box
    // follows it); any other name gets the type box's extension.
    QString savePathForTypedName(const QString& path);
    // The exiftool program to run instead of the one found beside the application or on PATH.
    void setExiftoolProgram(const QString& program) { mExiftoolProgram = program; }
    // exiftool beside the application (or in its resource folders), else on PATH; empty if none.
    static QString findExiftool();

    // --- File ▸ Open Recent: the photographs opened last, most recent first, at most
    // kRecentFiles, files that are gone left out ---
    static constexpr int kRecentFiles = 10;
    QStringList recentFiles() const;
    void addRecentFile(const QString& path);

    // --- recipes ---
    // File ▸ Open Recipe: an open panel for a NAME.velkaro.json, then openRecipeAtPath().
    void openRecipe();
    // Reads the recipe, opens its photograph (the path recorded, else its name beside the
    // recipe) and does again what it records: the full deblurs become results, the strokes and
    // applications steps of the history. A recipe that cannot be used is refused with an alert
    // giving the reason, and nothing changes; recipeReplayed() tells how it went.
    void openRecipeAtPath(const QString& path);
    // The recipe of the composite as it is now: the operations of the history's steps done.
    Recipe currentRecipe() const;
    // A saved photograph gets NAME.velkaro.json beside it (a preference, on by default).
    bool writesRecipe() const;

    // --- undo ---
    History& history() { return mHistory; }
    void undo();
    void redo();

    // --- settings and windows ---
    void loadDefaults();
    void saveDefaults(QObject* sender) override;
    void showPreferences();
    void startModal(const QString& text);
    void doneModal();
    // Long work is running behind the progress sheet.
    bool isBusy() const { return mBusy > 0; }

    // --- deblur queue, events and results ---
    void statusUpdate(const SessionEvent& event);
    void deblurAtPoint(QPointF point) override;
    void changedEntry() override;
    void maskChanged(QObject* sender);
    void moveSelection(int direction) override;
    // Selects the best-scored candidate of the grid.
    void showBestCandidate();
    void stopPreviews();
    void cancelDeblur();
    void addDeblur();
    void reportStats(const QString& address);
    // Appends a row showing `image` (without one, the row of the running full deblur `id`) for
    // `entry` (none for the original and the composite).
    void addPreview(const ImageRef& image, const QString& name,
                    const std::optional<DeblurredEntry>& entry = std::nullopt, DeblurId id = 0);
    // The running deblur `id` has ended with `image` (null: it failed).
    void setPreview(const ImageRef& image, DeblurId id);
    void tableViewSelectionDidChange();
    // Cancels the full deblur of results row `row` if it is still running and removes the row;
    // false when the row is not a running deblur.
    bool cancelResult(int row);
    // The selected results row, or -1.
    int selectedResult() const;
    void startBrush() override;
    void applyBrushAtPoint(QPointF point, float size, float opacity) override;
    void endBrush() override;
    void applyAll();
    void switchToMainView();
    void switchToDeblurView();
    QString nameForRow(int row) override;
    QString nameForColumn(int column) override;

    // --- the blur's shape and its estimate ---
    // The kernel of the grid and of new deblurs, as the Blur box shows it: the disc, the motion
    // line at the angle box's angle, or the shake kernel (estimated or loaded).
    BlurKernel currentKernel() const;
    // The motion's angle when the Blur box shows the motion (the kernel's convention; the angle
    // box shows it as a protractor reads it), else -1.
    int currentAngle() const;
    // The kernel of the Blur box's third choice: null until one is estimated or loaded.
    const KernelImageRef& shakeKernel() const { return mShakeKernel; }
    // Makes `kernel` the third choice of the Blur box (estimated, or loaded from a file), draws
    // it and, when `select`, chooses it; a change of the current kernel restarts the previews.
    void setShakeKernel(KernelImageRef kernel, bool loaded, bool select);
    // File ▸ Load Kernel: an open panel for a kernel picture, then loadKernelAtPath().
    void loadKernel();
    // Reads the kernel picture and makes it the current kernel; a file that is no kernel is
    // refused with an alert giving the reason, and nothing changes.
    bool loadKernelAtPath(const QString& path);
    // "Sharpen brightness only": the session's setting and the flag of the window's entries;
    // a change restarts the current column.
    void setBrightnessOnly(bool on);
    // Sets the blur control to the disc (`angle` unused) or to a motion at kernel angle `angle`
    // (0 … 179) and, when the kernel changed, clears the previews and recomputes the current
    // column for it. An estimate still running stops unless `keepEstimate` (the line it offered
    // while it searches on).
    void setBlurShape(bool motion, int angle, bool keepEstimate = false);
    // Estimates the blur of the current section on a worker: the disc or the line and, unless a
    // disc fits well, a kernel of any shape; estimateFinished() follows. A new click, a change of
    // the blur control, Cancel or closing the photograph stops an estimate still running.
    void estimateBlur();
    const BlurEstimate& lastEstimate() const { return mLastEstimate; }

    // --- state, for the application and for tests ---
    Session& session() { return *mSession; }
    const WindowLayout& layout() const { return mLayout; }
    const QList<ResultRow>& images() const { return mImages; }
    Rect currentSection() const { return mCurrentSection; }
    const QMap<DeblurId, Rect>& queuedDeblurs() const { return mQueuedDeblurs; }
    QString openedImagePath() const { return mOpenedImagePath; }
    bool showsDeblurView() const;
    bool savePanelIsRunning() const { return mRunningSavePanel; }

  signals:
    void openFinished(bool loaded);
    void saveFinished(bool saved);
    void closeFinished();
    void estimateFinished();
    // The blind estimate of the shake kernel has come as far as `fraction` (0 … 1).
    void estimateProgress(double fraction);
    // A blind estimate ended early: a new click, a blur change, Cancel or a close stopped it.
    void estimateStopped();
    // A recipe opened with openRecipeAtPath() was replayed (or could not be).
    void recipeReplayed(bool replayed);

  private:
    // The mask controls as they are now (main thread only).
    struct MaskValues {
        float radius;
        int type;
        float opacity;
        float crudeness;
    };
    void awakeFromNib();
    void connectControls();
    void updateActions();
    void updateRecentMenu();
    // Computes the recipe's deblurs on a worker, then does its operations, each a step of the
    // history.
    void replayRecipe(const Recipe& recipe);
    // What the selected results row paints with: the original, the composite or a full result.
    HistoryOperation selectedPicture() const;
    // Runs `work` on a worker thread behind the progress sheet showing `text`, then `done` on
    // the main thread. Session events arriving meanwhile are held back and handled afterwards,
    // in order.
    void runOnWorker(const QString& text, std::function<void()> work, std::function<void()> done);
    // Runs `call` on a later turn of the event loop, once no long work is running.
    void later(std::function<void()> call);
    // Stops and forgets every preview, then runs `then`; the sheet shows `text` when workers must
    // be waited for.
    void clearPreviews(const QString& text, std::function<void()> then = {});
    // Where the open and save panels start: the photograph's folder, else the last folder used
    // in a panel, else the pictures folder.
    QString panelFolder();
    void rememberFolderOf(const QString& path);
    void showFailure(const QString& message, const QString& path, const QString& reason);
    // The composite changed: updates the window's title and modified marker.
    void composited();
    // Undo and redo write a step's pixels back into the composite.
    void writeComposite(int x, int y, const CImage& pixels);
    void updateTitle();
    MaskValues maskValues() const;
    // The grid's rank badges on the best-scored computed cells.
    void updateRanks();
    // Every cell of the grid is computed: the ranking is final.
    bool gridIsComplete() const;
    // The grid is complete and none of its cells scores above the section itself: no badges, and
    // Best says so instead of choosing a cell.
    bool bestLeftAsItIs() const;
    // The score line under the preview: the selected cell's score, and whether the ranking is
    // still provisional.
    void updateScoreLine();
    // A click on the section shown last, at the same kernel: its cells are shown again, and only
    // the missing ones are computed.
    void resumeGrid();
    // Queues the previews of rows 1 … of `column` of the current section for the current kernel.
    void startColumn(int column);
    // The blur control changed: remembers it, then restarts the previews (after a short pause, so
    // that dragging the angle restarts them once) or, when `now`, at once; an estimate still
    // running stops unless `keepEstimate`.
    void blurShapeChanged(bool now, bool keepEstimate = false);
    // The user changed the blur control: this photograph keeps that shape over its estimates.
    void userChoseBlurShape(bool now);
    // "disc", "motion 30°", "shake" or "loaded kernel" for a kernel.
    QString blurShapeText(const BlurKernel& kernel) const;
    // The window's key of a result of the current section: the current kernel and brightness
    // setting.
    DeblurredEntry currentEntry(DeblurType type, int radiusStep, MaskSettings mask = {}) const;
    // The grid's previews are those of the current kernel and brightness setting.
    bool gridIsCurrent() const;
    // Stops the estimate still running, if any, and drops its result.
    void dropEstimate();
    void showEstimateProgress(double fraction);
    void restartPreviews();
    // `provisional`: a confident line shown while the blind search that may replace it runs.
    void showEstimate(const BlurEstimate& estimate, bool provisional = false);
    // What statusUpdate() does with each kind of session event.
    void showDeblurProgress(DeblurId id, double fraction);
    void removeCancelledDeblur(DeblurId id);
    void showDeblurFailure(DeblurId id);
    void showPreviewEvent(SessionEventType type, const DeblurredEntry& entry);
    void showOriginal();
    void showReconstructed();
    // The results list: the row of a running deblur, or -1; its cancel control and Esc; the
    // "Reconstructed" row's picture after the composite changed.
    int resultRowOf(DeblurId id) const;
    void setUpResultRows();
    void updateResultControls();
    void refreshReconstructedRow();

    // Fields of the window controller, as the window layout connects them.
    std::unique_ptr<Session> mSession;
    QList<ResultRow> mImages;
    Rect mCurrentSection;
    QMap<DeblurId, Rect> mQueuedDeblurs;  // the section shown when each deblur was asked for
    QElapsedTimer mClock;                 // times the running deblurs' rows
    QShortcut* mCancelResultShortcut = nullptr;
    bool mShowsNoResult = false;  // the selected results row has no picture (yet)
    ImageRef mProcessingPreview;
    History mHistory;
    MainWindow* mMainWindow;
    SplitView* mSplitView;
    SplitView* mPreviewSplitView;
    ImageMatrix* mImageMatrix;
    QTableView* mTableView;
    QWidget* mMainView;
    QWidget* mDeblurView;
    QButtonGroup* mBlurShape;
    QSpinBox* mAngleField;
    AngleView* mAngleView;
    QDialog* mSheet;
    QLabel* mSheetText;
    QProgressBar* mSheetProgress;
    FloatSlider* mMaskAmount;
    FloatSlider* mMaskRadius;
    FloatSlider* mMaskCrude;
    QButtonGroup* mMaskType;
    QButtonGroup* mMaskShow;
    QPushButton* mStopPreviews;
    QButtonGroup* mToolMode;
    QDialog* mPreferencesWindow;
    QCheckBox* mAllowAnonStats;
    QWidget* mSaveOptionView;
    QComboBox* mSaveOptionFileTypeButton;
    QSlider* mSaveOptionQualitySlider;
    QLabel* mSaveOptionQualityLabel;
    QLabel* mSaveOptionQualityValue;
    QCheckBox* mSaveOptionTransferMetadata;
    QString mOpenedImagePath;
    QString mLastSavedPath;  // of this photograph, by the last successful save
    // A brush stroke is open, and the bounding box of what it painted so far.
    bool mStrokeOpen = false;
    QRect mStroke;
    HistoryOperation mStrokeOperation;  // the open stroke's dabs, for the recipe
    // A recipe waiting for its photograph to open.
    std::optional<Recipe> mPendingRecipe;
    QString mPendingRecipeSource;
    QCheckBox* mWriteRecipe;
    bool mRunningSavePanel = false;

    WindowLayout mLayout;
    QSettings& mSettings;
    Dialogs& mDialogs;
    ResultsModel* mResultsModel;
    std::unique_ptr<UsageReporter> mReporter;
    QString mExiftoolProgram;
    int mBusy = 0;
    SessionBridge* mBridge;
    std::list<std::unique_ptr<WorkerThread>> mWorkers;
    // Calls waiting for the long work to end.
    std::deque<std::function<void()>> mDeferred;
    // The blur control's last change, waiting to restart the previews.
    QTimer* mBlurShapeTimer;
    // The user picked a cell of the current section (a click, a slider, a key).
    bool mUserChoseCell = false;
    BlurKernel mGridKernel;  // the kernel of the grid's previews
    bool mGridBrightnessOnly = false;
    KernelImageRef mShakeKernel;  // the Blur box's third choice
    bool mShakeLoaded = false;    // from a file rather than estimated
    KernelView* mKernelView;
    QCheckBox* mBrightnessOnly;
    // Stops the running blind estimate; its start, for the status bar's progress.
    std::shared_ptr<std::atomic<bool>> mEstimateCancel;
    QElapsedTimer mEstimateClock;
    bool mUserChoseShape = false;  // the blur control was set by hand for this photograph
    int mEstimateEpoch = 0;        // of the latest estimate asked for
    BlurEstimate mLastEstimate;
    // Runs the estimates; declared last, it finishes them before the rest goes.
    std::unique_ptr<SerialQueue> mEstimateQueue;
};

}  // namespace velkaro
