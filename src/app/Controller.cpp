// The window controller: construction, the event plumbing, documents, saving with the metadata
// copy, undo of the reconstructed image, settings and the progress sheet.

#include "Controller.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenuBar>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <thread>

#include "AngleView.h"
#include "ControllerModel.h"
#include "Dialogs.h"
#include "Dispatch.h"
#include "GUI.h"
#include "ImageIO.h"
#include "ImageMatrix.h"
#include "MainWindow.h"
#include "SplitView.h"
#include "UsageReport.h"

namespace {

Controller* gController = nullptr;

// Log lines go to standard output at once, so that they interleave with the session's.
void Log(const char* format, const QString& argument) {
    std::printf(format, qPrintable(argument));
    std::fflush(stdout);
}

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The path made absolute, with "~" expanded and "." and ".." resolved.
QString StandardizedPath(QString path) {
    if (path == "~" || path.startsWith("~/")) path.replace(0, 1, QDir::homePath());
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString OpenFailureReason(const QString& path) {
    const QFileInfo file(path);
    if (!file.exists()) return QObject::tr("The file does not exist.");
    if (file.isDir()) return QObject::tr("This is a folder, not an image file.");
    if (!file.isReadable()) return QObject::tr("You do not have permission to read the file.");
    return QObject::tr("The file is damaged, or its format is not one %1 can read.")
        .arg(QCoreApplication::applicationName());
}

QString SaveFailureReason(const QString& path) {
    const QFileInfo folder(QFileInfo(path).absolutePath());
    if (!folder.exists()) return QObject::tr("The folder does not exist.");
    if (!folder.isDir()) return QObject::tr("The enclosing path is not a folder.");
    if (!folder.isWritable()) return QObject::tr("You do not have permission to write into the folder.");
    if (QFileInfo(path).isDir()) return QObject::tr("A folder of that name is in the way.");
    return QObject::tr("The image could not be encoded or written (is the disk full?).");
}

void WaitUntilZero(const std::atomic<int>& counter) {
    while (counter.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

// --- construction ------------------------------------------------------------------------------

Controller::Controller(const WindowLayout& layout, QSettings& settings, Dialogs& dialogs,
                       QObject* parent)
    : QObject(parent),
      mSession(std::make_unique<Session>()),
      mMainWindow(layout.mainWindow),
      mSplitView(layout.splitView),
      mPreviewSplitView(layout.previewSplitView),
      mImageMatrix(layout.imageMatrix),
      mTableView(layout.tableView),
      mMainView(layout.mainView),
      mDeblurView(layout.deblurView),
      mFreezeAngle(layout.freezeAngle),
      mAngleSlider(layout.angleSlider),
      mAngleView(layout.angleView),
      mSheet(layout.sheet),
      mSheetText(layout.sheetText),
      mSheetProgress(layout.sheetProgress),
      mMaskAmount(layout.maskAmount),
      mMaskRadius(layout.maskRadius),
      mMaskCrude(layout.maskCrude),
      mMaskType(layout.maskType),
      mMaskShow(layout.maskShow),
      mStopPreviews(layout.stopPreviews),
      mToolMode(layout.toolMode),
      mPreferencesWindow(layout.preferencesWindow),
      mAllowAnonStats(layout.allowAnonStats),
      mSaveOptionView(layout.saveOptionView),
      mSaveOptionFileTypeButton(layout.saveOptionFileTypeButton),
      mSaveOptionQualitySlider(layout.saveOptionQualitySlider),
      mSaveOptionQualityLabel(layout.saveOptionQualityLabel),
      mSaveOptionQualityValue(layout.saveOptionQualityValue),
      mSaveOptionTransferMetadata(layout.saveOptionTransferMetadata),
      mLayout(layout),
      mSettings(settings),
      mDialogs(dialogs),
      mResultsModel(new ResultsModel(mImages, this)),
      mReporter(std::make_unique<UsageReporter>()) {
    qRegisterMetaType<DBO>();
    mSession->mCallback = &Controller::SessionCallback;
    mSession->mCallbackContext = this;
    mProcessingPreview =
        ImageIO::sharedInstance().readFromFilePng(LocalPath(ResourcePath("processing.png")), false);
    gController = this;
    awakeFromNib();
}

Controller::~Controller() {
    stopDeblurTasks();
    WaitUntilZero(mDeblurTasks->pending);
    mSession->reset();
    // No worker is left: nothing can call back into this controller any more.
    mSession.reset();
    if (gController == this) gController = nullptr;
}

Controller* Controller::controller() { return gController; }

void Controller::awakeFromNib() {
    mImageMatrix->setRows(31, kGridDeblurTypes);
    mImageMatrix->setController(this);
    mSplitView->setController(this);
    mPreviewSplitView->setController(this);
    mMainWindow->setController(this);

    const QString name = QCoreApplication::applicationName();
    mMainWindow->setWindowTitle(name);
    FixMenu(mLayout.menuBar, name);

    mFreezeAngle->hide();
    mAngleSlider->hide();
    mAngleView->hide();

    FixMatrix(mToolMode);
    FixMatrix(mMaskType);
    FixMatrix(mMaskShow);

    mPreviewSplitView->setCenters(true);
    mSplitView->setAllowDrops(true);

    mTableView->setModel(mResultsModel);
    connectControls();

    loadDefaults();
    mSaveOptionQualityValue->setText(QString::number(mSaveOptionQualitySlider->value()));
    savePopupChanged(nullptr);
    updateActions();
}

void Controller::connectControls() {
    const WindowLayout& l = mLayout;
    connect(l.openAction, &QAction::triggered, this, [this] { openImage(); });
    connect(l.saveAction, &QAction::triggered, this, [this] { saveResult(); });
    connect(l.undoAction, &QAction::triggered, this, [this] { mUndoManager.undo(); });
    connect(l.redoAction, &QAction::triggered, this, [this] { mUndoManager.redo(); });
    connect(l.preferencesAction, &QAction::triggered, this, [this] { showPreferences(); });
    mUndoManager.setChangeHandler([this] { updateActions(); });

    connect(mMaskType, &QButtonGroup::idClicked, this, [this] { maskChanged(mMaskType); });
    connect(mMaskShow, &QButtonGroup::idClicked, this, [this] { maskChanged(mMaskShow); });
    for (FloatSlider* slider : {mMaskAmount, mMaskRadius, mMaskCrude})
        connect(slider, &QSlider::valueChanged, this, [this, slider] { maskChanged(slider); });
    connect(mStopPreviews, &QPushButton::clicked, this, [this] { stopPreviews(); });
    connect(l.cancelButton, &QPushButton::clicked, this, [this] { cancelDeblur(); });
    connect(l.deblurButton, &QPushButton::clicked, this, [this] { addDeblur(); });
    connect(l.applyAllButton, &QPushButton::clicked, this, [this] { applyAll(); });
    connect(mAngleSlider, &QSlider::valueChanged, this, [this] { changeAngle(mAngleSlider); });
    connect(mFreezeAngle, &QPushButton::clicked, this, [this] { freezeAngle(mFreezeAngle); });

    connect(mAllowAnonStats, &QCheckBox::clicked, this, [this] { saveDefaults(mAllowAnonStats); });
    connect(mSaveOptionTransferMetadata, &QCheckBox::clicked, this,
            [this] { saveDefaults(mSaveOptionTransferMetadata); });
    connect(mSaveOptionFileTypeButton, &QComboBox::activated, this,
            [this] { savePopupChanged(mSaveOptionFileTypeButton); });
    connect(mSaveOptionQualitySlider, &QSlider::valueChanged, this, [this](int value) {
        mSaveOptionQualityValue->setText(QString::number(value));
    });
    connect(mTableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableViewSelectionDidChange(); });
}

void Controller::updateActions() {
    mLayout.undoAction->setEnabled(mUndoManager.canUndo());
    mLayout.redoAction->setEnabled(mUndoManager.canRedo());
    mLayout.saveAction->setEnabled(hasFileOpen());
}

bool Controller::showsDeblurView() const { return mLayout.screens->currentWidget() == mDeblurView; }

// --- session events ----------------------------------------------------------------------------

QVariantMap EventDictionary(const SessionEvent& event) {
    const DeblurredEntry& e = event.deblurredEntry;
    QVariantMap d;
    d["eventType"] = event.eventType;
    d["deblurredEntry"] = QVariant::fromValue(DBO(e));
    d["deblurredEntry.deblurType"] = int(e.deblurType);
    d["deblurredEntry.radiusStep"] = e.radiusStep;
    d["deblurredEntry.angle"] = e.angle;
    d["deblurredEntry.maskSettings.type"] = e.maskSettings.type;
    d["deblurredEntry.maskSettings.radius"] = e.maskSettings.radius;
    d["deblurredEntry.maskSettings.opacity"] = e.maskSettings.opacity;
    d["deblurredEntry.maskSettings.crudeness"] = e.maskSettings.crudeness;
    return d;
}

void Controller::SessionCallback(Session*, SessionEvent event, void* context) {
    auto* controller = static_cast<Controller*>(context);
    PendingEvent pending{EventDictionary(event), controller->mSessionEpoch.load(),
                         controller->mPreviewEpoch.load()};
    // Posted events reach the main thread in the order they were posted.
    QMetaObject::invokeMethod(
        controller, [controller, pending] { controller->deliverEvent(pending); },
        Qt::QueuedConnection);
}

void Controller::deliverEvent(PendingEvent event) {
    mPendingEvents.push_back(std::move(event));
    flushEvents();
}

void Controller::flushEvents() {
    mFlushScheduled = false;
    while (mBusy == 0 && !mPendingEvents.empty()) {
        PendingEvent pending = std::move(mPendingEvents.front());
        mPendingEvents.pop_front();
        if (pending.sessionEpoch != mSessionEpoch.load()) continue;
        const int type = pending.event.value("eventType").toInt();
        const bool preview =
            type == PreviewStarted || type == PreviewCancelled || type == PreviewFinished;
        if (preview && pending.previewEpoch != mPreviewEpoch.load()) continue;
        statusUpdate(std::move(pending.event));
    }
}

void Controller::runWithEventLoop(const std::function<void()>& work) {
    ++mBusy;
    QEventLoop loop;
    // Loading and clearing run methods' code too: a worker's stack, not std::thread's.
    WorkerThread worker([&work, &loop] {
        work();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    --mBusy;
    if (mBusy == 0 && !mPendingEvents.empty() && !mFlushScheduled) {
        mFlushScheduled = true;
        QMetaObject::invokeMethod(this, [this] { flushEvents(); }, Qt::QueuedConnection);
    }
}

void Controller::later(std::function<void()> call) {
    QTimer::singleShot(mBusy > 0 ? 20 : 0, this, [this, call = std::move(call)]() mutable {
        if (mBusy > 0) {
            later(std::move(call));
        } else {
            call();
        }
    });
}

// --- documents ---------------------------------------------------------------------------------

bool Controller::hasFileOpen() {
    return mSession->mOriginalImage && mSession->mOriginalImage->pixels();
}

bool Controller::allowDrop() { return !hasFileOpen(); }

void Controller::openImage() {
    if (!hasFileOpen()) {
        reallyOpenImage();
        return;
    }
    mDialogs.beginAlert(mMainWindow,
                        {"About to open a new image...", "Cancel", "Proceed",
                         "Are you sure you want to close the current document?"},
                        [this](AlertButton button) {
                            if (button == AlertButton::Alternate) reallyOpenImage();
                        });
}

void Controller::maybeOpenImageAtPath(const QString& path) {
    if (!hasFileOpen()) {
        openImageAtPath(path);
        return;
    }
    mDialogs.beginAlert(mMainWindow,
                        {"About to open a new image...", "Cancel", "Proceed",
                         "Are you sure you want to close the current document?"},
                        [this, path](AlertButton button) {
                            if (button == AlertButton::Alternate) openImageAtPath(path);
                        });
}

void Controller::reallyOpenImage() {
    QStringList extensions;
    for (const std::string& extension : ImageIO::sharedInstance().supportedExtensions())
        extensions << QString::fromStdString(extension);
    mDialogs.beginOpenPanel(mMainWindow, extensions, [this](const QString& path) {
        if (path.isEmpty()) return;
        const QString standardized = StandardizedPath(path);
        // Loading starts once the panel has gone.
        later([this, standardized] { openImageAtPath(standardized); });
    });
}

void Controller::openImageAtPath(const QString& path) {
    if (mBusy > 0) {
        later([this, path] { openImageAtPath(path); });
        return;
    }
    closeImages();
    startModal("Opening image");
    bool loaded = false;
    const std::string localPath = LocalPath(path);
    runWithEventLoop([this, &loaded, &localPath] { loaded = mSession->loadImage(localPath); });
    mOpenedImagePath = path;
    doneModal();
    updateActions();
    if (!loaded) {
        Log("failed loading image at path: %s\n", path);
        showFailure(tr("The image could not be opened."), path, OpenFailureReason(path));
    }
}

void Controller::closeImages() {
    mSplitView->setSelectedImage(nullptr, QString());
    mSplitView->setRefocusedImage(nullptr);
    mPreviewSplitView->setSelectedImage(nullptr, QString());
    mPreviewSplitView->setRefocusedImage(nullptr);
    mImageMatrix->resetState();
    mResultsModel->removeAll();
    mUndoManager.removeAllActions();
    // Sections of deblurs that will now never start must not label the next image's results.
    mQueuedDeblurs.clear();

    stopDeblurTasks();
    const bool working = mDeblurTasks->pending > 0 || mSession->mRunningDeblurs > 0 ||
                         mSession->mPreviewBatches > 0 || mSession->mRunningPreviews > 0;
    if (working) {
        startModal("Stopping processing");
        runWithEventLoop([this, tasks = mDeblurTasks] {
            WaitUntilZero(tasks->pending);
            mSession->reset();
        });
        doneModal();
    } else {
        mSession->reset();
    }
    ++mSessionEpoch;
    ++mPreviewEpoch;
    switchToMainView();
    updateActions();
}

void Controller::stopDeblurTasks() {
    // Tasks that have not started see the new epoch and end at once; those already inside the
    // session see its stop flag. Only when none is pending may the session be reset and refilled.
    ++mDeblurTasks->epoch;
    mSession->mStopDeblur = true;
}

void Controller::showFailure(const QString& message, const QString& path, const QString& reason) {
    mDialogs.beginAlert(mMainWindow, {message, tr("OK"), QString(), path + "\n\n" + reason},
                        nullptr);
}

// --- saving ------------------------------------------------------------------------------------

QStringList Controller::currentlyAllowedFileTypes() const {
    const QString title = mSaveOptionFileTypeButton->currentText();
    if (title == "JPEG") return {"jpg", "jpeg"};
    if (title == "TIFF") return {"tif", "tiff"};
    if (title == "PNG") return {"png"};
    return {};
}

void Controller::savePopupChanged(QObject* sender) {
    const bool jpeg = mSaveOptionFileTypeButton->currentText() == "JPEG";
    mSaveOptionQualitySlider->setVisible(jpeg);
    mSaveOptionQualityLabel->setVisible(jpeg);
    mSaveOptionQualityValue->setVisible(jpeg);
    if (sender) saveDefaults(sender);
    if (mRunningSavePanel) mDialogs.setSavePanelAllowedTypes(currentlyAllowedFileTypes());
}

void Controller::saveResult() {
    if (!hasFileOpen() || mRunningSavePanel) return;
    mRunningSavePanel = true;
    mDialogs.beginSavePanel(mMainWindow, mSaveOptionView, currentlyAllowedFileTypes(),
                            [this](const QString& path) {
        mRunningSavePanel = false;
        // The quality is remembered even when the user cancels.
        saveDefaults(mSaveOptionQualitySlider);
        if (path.isEmpty()) return;
        const QString destination =
            StandardizedPath(PathWithAllowedExtension(path, currentlyAllowedFileTypes()));
        later([this, destination] { saveResultToPath(destination); });
    });
}

bool Controller::saveResultToPath(const QString& path) {
    if (mBusy > 0) return false;
    const std::string type = mSaveOptionFileTypeButton->currentText().toStdString();
    const float quality = float(mSaveOptionQualitySlider->value());
    startModal("Saving image");
    bool saved = false;
    const std::string localPath = LocalPath(path);
    ImageWriteOptions options;
    options.type = type;
    options.quality = int(quality);
    // A file that receives the source's metadata takes its colour profile too, not an sRGB tag.
    options.srgbTag = !mSaveOptionTransferMetadata->isChecked();
    runWithEventLoop([this, &saved, &localPath, &options] {
        saved = mSession->saveReconstructedImage(localPath, options);
    });
    if (!saved) {
        doneModal();
        Log("failed writing reconstructed image at path %s\n", path);
        showFailure(tr("The image could not be saved."), path, SaveFailureReason(path));
        return false;
    }
    if (mSaveOptionTransferMetadata->isChecked()) transferTagsFrom(mOpenedImagePath, path);
    doneModal();
    return true;
}

QString Controller::findExiftool() {
    const QString appDir = QCoreApplication::applicationDirPath();
    const QStringList beside = {
        QDir(appDir).filePath("exiftool"),
        QDir(ResourceDirectory()).filePath("exiftool"),
        QDir(appDir).filePath("../libexec/velkaro/exiftool"),
    };
    for (const QString& candidate : beside) {
        const QFileInfo file(candidate);
        if (file.isFile() && file.isExecutable()) return QDir::cleanPath(file.absoluteFilePath());
    }
    return QStandardPaths::findExecutable("exiftool");
}

void Controller::transferTagsFrom(const QString& source, const QString& destination) {
    const QString program = mExiftoolProgram.isEmpty() ? findExiftool() : mExiftoolProgram;
    if (program.isEmpty()) {
        Log("%s\n", "exiftool not found: metadata not copied");
        return;
    }
    QProcess process;
    process.setProgram(program);
    // "-all" is exiftool's default copy; the ICC profile has to be named as well.
    process.setArguments(
        {"-tagsFromFile", source, "-all", "-icc_profile", "-overwrite_original", destination});
    // Standard error is the application's own; standard output is read and thrown away so that
    // the program never blocks on a full pipe.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&process, &QProcess::readyReadStandardOutput, &process,
            [&process] { process.readAllStandardOutput(); });
    QEventLoop loop;
    connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    connect(&process, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) loop.quit();
    });
    ++mBusy;
    process.start();
    process.closeWriteChannel();
    if (process.state() != QProcess::NotRunning) loop.exec();
    --mBusy;
}

// --- undo --------------------------------------------------------------------------------------

void Controller::saveForUndo() {
    ImageRef copy;
    if (mSession->mReconstructedImage) copy = mSession->mReconstructedImage->asImage()->copy();
    mUndoManager.registerUndo([this, copy] { setReconstructed(copy); });
}

void Controller::setReconstructed(const ImageRef& image) {
    saveForUndo();
    if (mSession->mReconstructedImage) {
        if (image) mSession->mReconstructedImage->copyFrom(CImage(image));
        mSplitView->setRefocusedImage(mSession->mReconstructedImage->asImage());
    } else {
        mSplitView->setRefocusedImage(nullptr);
    }
}

// --- settings and windows ----------------------------------------------------------------------

void Controller::loadDefaults() {
    if (mSettings.contains("allowAnonStats"))
        mAllowAnonStats->setChecked(mSettings.value("allowAnonStats").toInt() != 0);
    if (mSettings.contains("transferMetadataFromSource"))
        mSaveOptionTransferMetadata->setChecked(
            mSettings.value("transferMetadataFromSource").toInt() != 0);
    if (mSettings.contains("fileTypeToSave")) {
        const int index = mSaveOptionFileTypeButton->findText(mSettings.value("fileTypeToSave").toString());
        if (index >= 0) mSaveOptionFileTypeButton->setCurrentIndex(index);
    }
    if (mSettings.contains("qualitySliderLastUsedValue"))
        mSaveOptionQualitySlider->setValue(mSettings.value("qualitySliderLastUsedValue").toInt());
}

void Controller::saveDefaults(QObject* sender) {
    if (sender == mAllowAnonStats) {
        mSettings.setValue("allowAnonStats", mAllowAnonStats->isChecked() ? 1 : 0);
    } else if (sender == mSaveOptionTransferMetadata) {
        mSettings.setValue("transferMetadataFromSource",
                           mSaveOptionTransferMetadata->isChecked() ? 1 : 0);
    } else if (sender == mSaveOptionFileTypeButton) {
        mSettings.setValue("fileTypeToSave", mSaveOptionFileTypeButton->currentText());
    } else if (sender == mSaveOptionQualitySlider) {
        mSettings.setValue("qualitySliderLastUsedValue", mSaveOptionQualitySlider->value());
    }
    mSettings.sync();
}

void Controller::showPreferences() {
    mPreferencesWindow->show();
    mPreferencesWindow->raise();
    mPreferencesWindow->activateWindow();
}

void Controller::startModal(const QString& text) {
    mSheetText->setText(text);
    mSheet->adjustSize();
    mSheet->open();
}

void Controller::doneModal() { mSheet->hide(); }
