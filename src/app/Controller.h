#pragma once

#include <QList>
#include <QObject>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <deque>
#include <functional>
#include <list>
#include <memory>

#include "ControllerInterface.h"
#include "DeblurTypes.h"
#include "Dispatch.h"
#include "Image.h"
#include "MainWindowLayout.h"
#include "Session.h"
#include "SessionBridge.h"
#include "UndoManager.h"

class Dialogs;
class QSettings;
class ResultsModel;
class UsageReporter;
struct UsageReportFields;

// Holds one copy of a result key inside an event dictionary. Two are equal when neither key
// orders before the other.
class DBO {
  public:
    DBO() = default;
    explicit DBO(const DeblurredEntry& entry) : mEntry(entry) {}
    const DeblurredEntry* de() const { return &mEntry; }
    friend bool operator==(const DBO& a, const DBO& b) {
        return SameDeblurredEntry(a.mEntry, b.mEntry);
    }

  private:
    DeblurredEntry mEntry;
};
Q_DECLARE_METATYPE(DBO)

// The dictionary form of a result key, as the results list keeps it: "deblurredEntry" (a DBO) and
// the entry's fields under "deblurredEntry.<field>".
QVariantMap EntryDictionary(const DeblurredEntry& entry);

// The label of a full deblur in the results list: "RL40 2.5", or with a mask
// "RL40 2.5\n [B, 50%,\n 3.0, 0.5]".
QString DeblurLabel(const DeblurredEntry& entry);

// The 512 × 512 section around an image point, shifted inside a W × H image; the whole image when
// it is smaller.
Rect PreviewSection(QPointF point, int W, int H);

// The window controller: owns the processing session, opens and saves images, drives the deblur
// queue and the previews, turns session events into changes of the grid and the results list, and
// keeps one level of undo of the reconstructed image. Everything runs on the main thread; work
// that may take a while (loading, saving, waiting for workers to stop) runs on a worker behind a
// window-modal progress sheet, and ends with a signal.
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
    // Closes the current photograph, then loads the file on a worker; openFinished() tells how
    // it went.
    void openImageAtPath(const QString& path) override;
    // Stops every worker and empties the session (on a worker when work is running), then runs
    // `then`; closeFinished() follows.
    void closeImages(std::function<void()> then = {});
    bool hasFileOpen() override;
    bool allowDrop() override;
    // The composite changed since it was loaded or last saved.
    bool isModified() const { return mEdits != mSavedEdits; }
    // Runs `proceed` at once when nothing is modified; otherwise asks with `message` whether to
    // save first (Save, Cancel, Don't Save; Esc cancels), and runs it after a successful save or
    // when the user chooses not to save. `answered` runs when the alert ends, whatever the answer.
    void askToSaveChanges(const QString& message, std::function<void()> proceed,
                          std::function<void()> answered = {});

    // --- saving ---
    // Asks for a destination and saves there; `then` learns whether a file was written.
    void saveResult(std::function<void(bool saved)> then = {});
    // Writes the composite (and copies the metadata when asked) on a worker; saveFinished()
    // tells whether the image file was written. False when it could not start (work running).
    bool saveResultToPath(const QString& path, std::function<void(bool saved)> then = {});
    QStringList currentlyAllowedFileTypes() const;
    void savePopupChanged(QObject* sender);
    // The exiftool program to run instead of the one found beside the application or on PATH.
    void setExiftoolProgram(const QString& program) { mExiftoolProgram = program; }
    // exiftool beside the application (or in its resource folders), else on PATH; empty if none.
    static QString findExiftool();

    // --- undo ---
    void saveForUndo();
    void setReconstructed(const ImageRef& image);
    UndoManager& undoManager() { return mUndoManager; }

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
    void addPreview(const ImageRef& image, const QString& name, const QVariantMap& settings);
    void setPreview(const ImageRef& image, const QVariantMap& settings);
    void tableViewSelectionDidChange();
    void startBrush() override;
    void applyBrushAtPoint(QPointF point, float size, float opacity) override;
    void endBrush() override;
    void applyAll();
    void switchToMainView();
    void switchToDeblurView();
    QString nameForRow(int row) override;
    QString nameForColumn(int column) override;
    int currentAngle() const { return -1; }
    void changeAngle(QObject*) {}
    void freezeAngle(QObject*) {}

    // --- state, for the application and for tests ---
    Session& session() { return *mSession; }
    const WindowLayout& layout() const { return mLayout; }
    const QList<QVariantMap>& images() const { return mImages; }
    Rect currentSection() const { return mCurrentSection; }
    const QList<Rect>& queuedDeblurs() const { return mQueuedDeblurs; }
    QString openedImagePath() const { return mOpenedImagePath; }
    bool showsDeblurView() const;
    bool savePanelIsRunning() const { return mRunningSavePanel; }

  signals:
    void openFinished(bool loaded);
    void saveFinished(bool saved);
    void closeFinished();

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
    // Runs `work` on a worker thread behind the progress sheet showing `text`, then `done` on
    // the main thread. Session events arriving meanwhile are held back and handled afterwards,
    // in order.
    void runOnWorker(const QString& text, std::function<void()> work, std::function<void()> done);
    // Runs `call` on a later turn of the event loop, once no long work is running.
    void later(std::function<void()> call);
    // Stops and forgets every preview, then runs `then`; the sheet shows `text` when workers must
    // be waited for.
    void clearPreviews(const QString& text, std::function<void()> then = {});
    void showFailure(const QString& message, const QString& path, const QString& reason);
    // Counts a change of the composite; updates the window's title and modified marker.
    void composited();
    void updateTitle();
    MaskValues maskValues() const;
    // The grid's rank badges on the best-scored computed cells.
    void updateRanks();

    // Fields of the window controller, as the window layout connects them.
    std::unique_ptr<Session> mSession;
    QList<QVariantMap> mImages;
    Rect mCurrentSection;
    QList<Rect> mQueuedDeblurs;
    ImageRef mProcessingPreview;
    UndoManager mUndoManager;
    MainWindow* mMainWindow;
    SplitView* mSplitView;
    SplitView* mPreviewSplitView;
    ImageMatrix* mImageMatrix;
    QTableView* mTableView;
    QWidget* mMainView;
    QWidget* mDeblurView;
    QPushButton* mFreezeAngle;
    QSlider* mAngleSlider;
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
    // Changes of the composite since loading, and their number when it was last saved.
    long mEdits = 0;
    long mSavedEdits = 0;
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
};
