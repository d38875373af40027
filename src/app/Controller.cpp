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
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "AngleView.h"
#include "ControllerModel.h"
#include "Dialogs.h"
#include "Dispatch.h"
#include "Exiftool.h"
#include "Filter.h"
#include "GUI.h"
#include "ImageIO.h"
#include "ImageMatrix.h"
#include "KernelFile.h"
#include "Log.h"
#include "MainWindow.h"
#include "RecipeFile.h"
#include "SplitView.h"
#include "UsageReport.h"

namespace velkaro {

namespace {

Controller* gController = nullptr;

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// The path made absolute, with "~" expanded and "." and ".." resolved.
QString StandardizedPath(QString path) {
    if (path == "~" || path.startsWith("~/"))
        path.replace(0, 1, QDir::homePath());
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString OpenFailureReason(ReadFailure failure) {
    switch (failure) {
        case ReadFailure::Missing:
            return QObject::tr("The file does not exist.");
        case ReadFailure::Folder:
            return QObject::tr("This is a folder, not an image file.");
        case ReadFailure::Permission:
            return QObject::tr("You do not have permission to read the file.");
        default:
            return QObject::tr("The file is damaged, or its format is not one %1 can read.")
                .arg(QCoreApplication::applicationName());
    }
}

QString SaveFailureReason(WriteFailure failure) {
    switch (failure) {
        case WriteFailure::MissingFolder:
            return QObject::tr("The folder does not exist.");
        case WriteFailure::NotAFolder:
            return QObject::tr("The enclosing path is not a folder.");
        case WriteFailure::Permission:
            return QObject::tr("You do not have permission to write into the folder.");
        case WriteFailure::Folder:
            return QObject::tr("A folder of that name is in the way.");
        default:
            return QObject::tr("The image could not be encoded or written (is the disk full?).");
    }
}

// The save options' file type that writes the format of `path`; empty when it is none of them.
QString SaveTypeOfFile(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "jpg" || suffix == "jpeg")
        return "JPEG";
    if (suffix == "tif" || suffix == "tiff")
        return "TIFF";
    if (suffix == "png")
        return "PNG";
    return {};
}

// "NAME-sharp.EXT" in `folder`, EXT being the source's own extension (in lower case) when the
// type allows it and the type's first one otherwise.
QString SuggestedSavePath(const QString& source, const QString& folder,
                          const QStringList& allowedTypes) {
    const QFileInfo file(source);
    QString name = file.completeBaseName();
    if (name.isEmpty())
        name = QObject::tr("Untitled");
    QString suffix = file.suffix().toLower();
    if (!allowedTypes.isEmpty() && !allowedTypes.contains(suffix))
        suffix = allowedTypes.first();
    return QDir(folder).filePath(name + "-sharp" + (suffix.isEmpty() ? "" : "." + suffix));
}

// Copies the metadata tags of `source` into `destination` with exiftool (run on a worker).
void TransferTags(const QString& program, const QString& source, const QString& destination) {
    CopyMetadataTags(LocalPath(program), LocalPath(source), LocalPath(destination));
}

}  // namespace

// --- construction ------------------------------------------------------------------------------

Controller::Controller(const WindowLayout& layout, QSettings& settings, Dialogs& dialogs,
                       QObject* parent)
    : QObject(parent),
      mSession(std::make_unique<Session>()),
      mHistory([this](int x, int y, const CImage& pixels) { writeComposite(x, y, pixels); }),
      mMainWindow(layout.mainWindow),
      mSplitView(layout.splitView),
      mPreviewSplitView(layout.previewSplitView),
      mImageMatrix(layout.imageMatrix),
      mTableView(layout.tableView),
      mMainView(layout.mainView),
      mDeblurView(layout.deblurView),
      mBlurShape(layout.blurShape),
      mAngleField(layout.angleField),
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
      mReporter(std::make_unique<UsageReporter>()),
      mBlurShapeTimer(new QTimer(this)),
      mEstimateQueue(std::make_unique<SerialQueue>("blur estimate")) {
    mKernelView = layout.kernelView;
    mBrightnessOnly = layout.brightnessOnly;
    mWriteRecipe = layout.writeRecipe;
    mBridge = new SessionBridge(*mSession, this);
    connect(mBridge, &SessionBridge::sessionEvent, this,
            [this](const SessionEvent& event) { statusUpdate(event); });
    mProcessingPreview =
        ImageIO::sharedInstance().readFromFilePng(LocalPath(ResourcePath("processing.png")), false);
    gController = this;
    awakeFromNib();
}

Controller::~Controller() {
    // The history goes after the session: it must not call back while it is cleared.
    disconnect(&mHistory.stack(), nullptr, this, nullptr);
    dropEstimate();          // a blind estimate running stops soon
    mEstimateQueue.reset();  // its last completions are posted to this object, and dropped
    // Their completions, not yet delivered, go with this object.
    for (std::unique_ptr<WorkerThread>& worker : mWorkers) worker->join();
    mSession->reset();
    // No worker is left: nothing can call back into this controller any more.
    mSession.reset();
    if (gController == this)
        gController = nullptr;
}

Controller* Controller::controller() {
    return gController;
}

void Controller::awakeFromNib() {
    mImageMatrix->setRows(31, kGridDeblurTypes);
    mImageMatrix->setController(this);
    mSplitView->setController(this);
    mPreviewSplitView->setController(this);
    mMainWindow->setController(this);

    FixMenu(mLayout.menuBar, QCoreApplication::applicationName());
    updateTitle();

    FixMatrix(mToolMode);
    FixMatrix(mMaskType);
    FixMatrix(mMaskShow);

    mSplitView->setAllowDrops(true);

    mTableView->setModel(mResultsModel);
    // The names take the width the thumbnails leave; the third column, of the cancel buttons,
    // shows while a deblur runs. A reset of the model gives the header new sections, so this is
    // done again after each.
    const auto fitColumns = [this] {
        mTableView->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
        mTableView->horizontalHeader()->setSectionHidden(2, true);
    };
    fitColumns();
    connect(mResultsModel, &QAbstractItemModel::modelReset, this, fitColumns);
    connectControls();
    setUpResultRows();

    loadDefaults();
    mSaveOptionQualityValue->setText(QString::number(mSaveOptionQualitySlider->value()));
    savePopupChanged(nullptr);
    updateRecentMenu();
    updateActions();
}

void Controller::connectControls() {
    const WindowLayout& l = mLayout;
    connect(l.openAction, &QAction::triggered, this, [this] { openImage(); });
    connect(l.saveAction, &QAction::triggered, this, [this] { save(); });
    connect(l.saveAsAction, &QAction::triggered, this, [this] { saveResult(); });
    connect(l.openRecentMenu, &QMenu::aboutToShow, this, [this] { updateRecentMenu(); });
    connect(this, &Controller::openFinished, this, [this](bool loaded) {
        if (loaded)
            addRecentFile(mOpenedImagePath);
        // A recipe goes only with the photograph it was waiting for.
        std::optional<Recipe> recipe = std::exchange(mPendingRecipe, std::nullopt);
        if (recipe && loaded && mOpenedImagePath == mPendingRecipeSource)
            later([this, recipe = std::move(*recipe)] { replayRecipe(recipe); });
        else if (recipe)
            emit recipeReplayed(false);
    });
    connect(l.openRecipeAction, &QAction::triggered, this, [this] { openRecipe(); });
    connect(l.undoAction, &QAction::triggered, this, [this] { undo(); });
    connect(l.redoAction, &QAction::triggered, this, [this] { redo(); });
    connect(l.preferencesAction, &QAction::triggered, this, [this] { showPreferences(); });
    QUndoStack& stack = mHistory.stack();
    connect(&stack, &QUndoStack::indexChanged, this, [this] { updateActions(); });
    connect(&stack, &QUndoStack::cleanChanged, this, [this] { updateTitle(); });

    connect(mMaskType, &QButtonGroup::idClicked, this, [this] { maskChanged(mMaskType); });
    connect(mMaskShow, &QButtonGroup::idClicked, this, [this] { maskChanged(mMaskShow); });
    for (FloatSlider* slider : {mMaskAmount, mMaskRadius, mMaskCrude})
        connect(slider, &QSlider::valueChanged, this, [this, slider] { maskChanged(slider); });
    connect(mStopPreviews, &QPushButton::clicked, this, [this] { stopPreviews(); });
    connect(l.bestCandidateAction, &QAction::triggered, this, [this] { showBestCandidate(); });
    connect(l.artefactMapAction, &QAction::toggled, this, [this] { changedEntry(); });
    connect(l.cancelButton, &QPushButton::clicked, this, [this] { cancelDeblur(); });
    connect(l.deblurButton, &QPushButton::clicked, this, [this] { addDeblur(); });
    connect(l.applyAllButton, &QPushButton::clicked, this, [this] { applyAll(); });
    connect(mBlurShape, &QButtonGroup::idClicked, this, [this] { userChoseBlurShape(true); });
    connect(mAngleField, &QSpinBox::valueChanged, this, [this] { userChoseBlurShape(false); });
    mBlurShapeTimer->setSingleShot(true);
    mBlurShapeTimer->setInterval(300);
    connect(mBlurShapeTimer, &QTimer::timeout, this, [this] { restartPreviews(); });
    connect(l.estimateButton, &QPushButton::clicked, this, [this] { estimateBlur(); });
    connect(l.loadKernelButton, &QPushButton::clicked, this, [this] { loadKernel(); });
    connect(l.loadKernelAction, &QAction::triggered, this, [this] { loadKernel(); });
    connect(mBrightnessOnly, &QCheckBox::clicked, this, [this](bool on) { setBrightnessOnly(on); });

    connect(mAllowAnonStats, &QCheckBox::clicked, this, [this] { saveDefaults(mAllowAnonStats); });
    connect(mWriteRecipe, &QCheckBox::clicked, this, [this] { saveDefaults(mWriteRecipe); });
    connect(mSaveOptionTransferMetadata, &QCheckBox::clicked, this,
            [this] { saveDefaults(mSaveOptionTransferMetadata); });
    connect(mSaveOptionFileTypeButton, &QComboBox::activated, this,
            [this] { savePopupChanged(mSaveOptionFileTypeButton); });
    connect(mSaveOptionQualitySlider, &QSlider::valueChanged, this,
            [this](int value) { mSaveOptionQualityValue->setText(QString::number(value)); });
    connect(mTableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableViewSelectionDidChange(); });
}

void Controller::updateTitle() {
    const QString name = QCoreApplication::applicationName();
    if (mOpenedImagePath.isEmpty() || !hasFileOpen())
        mMainWindow->setWindowTitle(name);
    else
        mMainWindow->setWindowTitle(QString("%1[*] — %2-bit RGB — %3")
                                        .arg(QFileInfo(mOpenedImagePath).fileName())
                                        .arg(mSession->original()->depth())
                                        .arg(name));
    mMainWindow->setWindowModified(isModified());
}

void Controller::composited() {
    updateTitle();
}

void Controller::updateActions() {
    // Behind the progress sheet the window takes no commands.
    const bool idle = mBusy == 0;
    const QUndoStack& stack = mHistory.stack();
    mLayout.undoAction->setEnabled(idle && stack.canUndo());
    mLayout.redoAction->setEnabled(idle && stack.canRedo());
    mLayout.undoAction->setText(stack.canUndo() ? tr("Undo %1").arg(stack.undoText()) : tr("Undo"));
    mLayout.redoAction->setText(stack.canRedo() ? tr("Redo %1").arg(stack.redoText()) : tr("Redo"));
    mLayout.saveAction->setEnabled(idle && hasFileOpen());
    mLayout.saveAsAction->setEnabled(idle && hasFileOpen());
    mLayout.openAction->setEnabled(idle);
    mLayout.openRecipeAction->setEnabled(idle);
    mLayout.openRecentMenu->setEnabled(idle && !mLayout.openRecentMenu->isEmpty());
}

bool Controller::showsDeblurView() const {
    return mLayout.screens->currentWidget() == mDeblurView;
}

// --- session events ----------------------------------------------------------------------------

void Controller::runOnWorker(const QString& text, std::function<void()> work,
                             std::function<void()> done) {
    // A stroke still open (its release never came) ends before any worker may touch the
    // composite; nothing paints until the work is over.
    endBrush();
    ++mBusy;
    mBridge->hold();
    startModal(text);
    updateActions();
    // The worker's last act posts the completion, which joins it. Loading and clearing run
    // methods' code too: a worker's stack, not std::thread's.
    mWorkers.emplace_back();
    auto worker = std::prev(mWorkers.end());
    *worker = std::make_unique<WorkerThread>(
        [this, worker, work = std::move(work), done = std::move(done)] {
            work();
            QMetaObject::invokeMethod(
                this,
                [this, worker, done] {
                    (*worker)->join();
                    mWorkers.erase(worker);
                    doneModal();
                    if (done)
                        done();
                    --mBusy;
                    updateActions();
                    mBridge->release();
                    while (mBusy == 0 && !mDeferred.empty()) {
                        std::function<void()> call = std::move(mDeferred.front());
                        mDeferred.pop_front();
                        call();
                    }
                },
                Qt::QueuedConnection);
        });
}

void Controller::later(std::function<void()> call) {
    QMetaObject::invokeMethod(
        this,
        [this, call = std::move(call)]() mutable {
            if (mBusy > 0)
                mDeferred.push_back(std::move(call));
            else
                call();
        },
        Qt::QueuedConnection);
}

// --- documents ---------------------------------------------------------------------------------

bool Controller::hasFileOpen() {
    return mSession->original() && mSession->original()->pixels();
}

bool Controller::allowDrop() {
    return !hasFileOpen();
}

void Controller::askToSaveChanges(const QString& message, std::function<void()> proceed,
                                  std::function<void()> answered) {
    if (!hasFileOpen() || !isModified()) {
        if (answered)
            answered();
        proceed();
        return;
    }
    mDialogs.beginAlert(
        mMainWindow,
        {message, tr("Save"), tr("Cancel"), tr("Your changes will be lost if you don't save them."),
         AlertButton::Alternate, tr("Don't Save")},
        [this, proceed = std::move(proceed), answered](AlertButton button) {
            if (answered)
                answered();
            if (button == AlertButton::Other)
                proceed();
            if (button == AlertButton::Default)
                saveResult([proceed](bool saved) {
                    if (saved)
                        proceed();
                });
        });
}

void Controller::openImage() {
    if (mBusy > 0)
        return;
    askToSaveChanges("About to open a new image...", [this] { reallyOpenImage(); });
}

void Controller::loadKernel() {
    if (mBusy > 0)
        return;
    mDialogs.beginOpenPanel(mMainWindow, {"png", "tif", "tiff"}, panelFolder(),
                            [this](const QString& path) {
                                if (!path.isEmpty())
                                    loadKernelAtPath(path);
                            });
}

bool Controller::loadKernelAtPath(const QString& path) {
    std::string reason;
    KernelImageRef kernel = ReadKernelFile(LocalPath(path), reason);
    if (!kernel) {
        showFailure(tr("The kernel could not be loaded."), path, QString::fromStdString(reason));
        return false;
    }
    rememberFolderOf(path);
    mUserChoseShape = true;  // over this photograph's estimates
    setShakeKernel(std::move(kernel), true, true);
    return true;
}

void Controller::maybeOpenImageAtPath(const QString& path) {
    if (mBusy > 0) {
        later([this, path] { maybeOpenImageAtPath(path); });
        return;
    }
    // A file handed over by another start (or the desktop) must not silently replace previews or
    // results still being computed, or computed and not yet used.
    if (hasFileOpen() && !isModified() && hasWorkToLose()) {
        mDialogs.beginAlert(mMainWindow,
                            {tr("About to open a new image..."), tr("Open"), tr("Cancel"),
                             tr("The previews and results computed for %1 will be discarded.")
                                 .arg(QFileInfo(mOpenedImagePath).fileName()),
                             AlertButton::Alternate},
                            [this, path](AlertButton button) {
                                if (button == AlertButton::Default)
                                    openImageAtPath(path);
                            });
        return;
    }
    askToSaveChanges("About to open a new image...", [this, path] { openImageAtPath(path); });
}

bool Controller::hasWorkToLose() {
    const bool results = std::any_of(mImages.begin(), mImages.end(),
                                     [](const ResultRow& row) { return row.entry.has_value(); });
    return hasFileOpen() &&
           (isModified() || results || !mSession->isIdle() || mSession->previewCount() > 0);
}

QString Controller::panelFolder() {
    if (hasFileOpen() && !mOpenedImagePath.isEmpty()) {
        const QFileInfo photoFolder(QFileInfo(mOpenedImagePath).absolutePath());
        if (photoFolder.isDir())
            return photoFolder.absoluteFilePath();
    }
    const QString last = mSettings.value("lastFolderUsed").toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QFileInfo(pictures).isDir() ? pictures : QDir::homePath();
}

void Controller::rememberFolderOf(const QString& path) {
    mSettings.setValue("lastFolderUsed", QFileInfo(path).absolutePath());
    mSettings.sync();
}

void Controller::reallyOpenImage() {
    QStringList extensions;
    for (const std::string& extension : ImageIO::sharedInstance().supportedExtensions())
        extensions << QString::fromStdString(extension);
    mDialogs.beginOpenPanel(mMainWindow, extensions, panelFolder(), [this](const QString& path) {
        if (path.isEmpty())
            return;
        const QString standardized = StandardizedPath(path);
        rememberFolderOf(standardized);
        // Loading starts once the panel has gone.
        later([this, standardized] { openImageAtPath(standardized); });
    });
}

void Controller::openImageAtPath(const QString& path) {
    if (mBusy > 0) {
        later([this, path] { openImageAtPath(path); });
        return;
    }
    // The file is decoded before anything of the current photograph is dropped: one that cannot
    // be read leaves the window as it was.
    auto decoded = std::make_shared<ImageRef>();
    auto failure = std::make_shared<ReadFailure>(ReadFailure::None);
    runOnWorker(
        "Opening image",
        [decoded, failure, localPath = LocalPath(path)] {
            std::string format;
            *decoded = ImageIO::sharedInstance().readFromFile(localPath, format, *failure);
        },
        [this, decoded, failure, path] {
            if (!*decoded) {
                LogInfo("failed loading image at path: %s\n", qPrintable(path));
                showFailure(tr("The image could not be opened."), path,
                            OpenFailureReason(*failure));
                emit openFinished(false);
                return;
            }
            later([this, decoded, path] {
                closeImages([this, decoded, path] {
                    runOnWorker(
                        "Opening image",
                        [this, decoded] {
                            mSession->loadDecodedImage(*decoded);
                            decoded->reset();
                        },
                        [this, path] {
                            mOpenedImagePath = path;
                            // Saved as deep as it was read, unless the save panel says otherwise.
                            mLayout.saveOptionDepthButton->setCurrentIndex(
                                mSession->original()->depth() == 16 ? 1 : 0);
                            updateTitle();
                            updateActions();
                            emit openFinished(true);
                        });
                });
            });
        });
}

void Controller::closeImages(std::function<void()> then) {
    mSplitView->setSelectedImage(nullptr, QString());
    mSplitView->setRefocusedImage(nullptr);
    mPreviewSplitView->setSelectedImage(nullptr, QString());
    mPreviewSplitView->setRefocusedImage(nullptr);
    for (SplitView* view : {mSplitView, mPreviewSplitView}) view->setBeforeImage(nullptr);
    mImageMatrix->resetState();
    mResultsModel->removeAll();
    endBrush();
    mHistory.clear();
    // Sections of deblurs that will now never start must not label the next image's results.
    mQueuedDeblurs.clear();
    dropEstimate();

    auto finish = [this, then = std::move(then)] {
        mBridge->forgetEvents();
        updateTitle();
        switchToMainView();
        updateActions();
        emit closeFinished();
        if (then)
            then();
    };
    if (!mSession->isIdle()) {
        runOnWorker(
            "Stopping processing", [this] { mSession->reset(); }, std::move(finish));
    } else {
        mSession->reset();
        finish();
    }
}

void Controller::showFailure(const QString& message, const QString& path, const QString& reason) {
    mDialogs.beginAlert(mMainWindow, {message, tr("OK"), QString(), path + "\n\n" + reason},
                        nullptr);
}

// --- saving ------------------------------------------------------------------------------------

QStringList Controller::currentlyAllowedFileTypes() const {
    const QString title = mSaveOptionFileTypeButton->currentText();
    if (title == "JPEG")
        return {"jpg", "jpeg"};
    if (title == "TIFF")
        return {"tif", "tiff"};
    if (title == "PNG")
        return {"png"};
    return {};
}

void Controller::savePopupChanged(QObject* sender) {
    const bool jpeg = mSaveOptionFileTypeButton->currentText() == "JPEG";
    mSaveOptionQualitySlider->setVisible(jpeg);
    mSaveOptionQualityLabel->setVisible(jpeg);
    mSaveOptionQualityValue->setVisible(jpeg);
    // JPEG is 8-bit only.
    mLayout.saveOptionDepthButton->setEnabled(!jpeg);
    if (sender)
        saveDefaults(sender);
    if (mRunningSavePanel)
        mDialogs.setSavePanelAllowedTypes(currentlyAllowedFileTypes());
}

QStringList Controller::recentFiles() const {
    QStringList files;
    for (const QString& file : mSettings.value("recentFiles").toStringList())
        if (QFileInfo(file).isFile())
            files << file;
    return files;
}

void Controller::addRecentFile(const QString& path) {
    if (path.isEmpty())
        return;
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    while (files.size() > kRecentFiles) files.removeLast();
    mSettings.setValue("recentFiles", files);
    mSettings.sync();
    updateRecentMenu();
}

void Controller::updateRecentMenu() {
    QMenu* menu = mLayout.openRecentMenu;
    menu->clear();
    for (const QString& file : recentFiles()) {
        QAction* action = menu->addAction(QFileInfo(file).fileName());
        action->setToolTip(QDir::toNativeSeparators(file));
        action->setData(file);
        connect(action, &QAction::triggered, this, [this, file] { maybeOpenImageAtPath(file); });
    }
    menu->setEnabled(mBusy == 0 && !menu->isEmpty());
}

void Controller::save() {
    const QString type = SaveTypeOfFile(mLastSavedPath);
    if (mLastSavedPath.isEmpty() || !hasFileOpen() || type.isEmpty() ||
        !QFileInfo(QFileInfo(mLastSavedPath).absolutePath()).isDir()) {
        saveResult();
        return;
    }
    // Where this photograph was saved last, in that file's own format.
    mSaveOptionFileTypeButton->setCurrentText(type);
    savePopupChanged(nullptr);
    saveResultToPath(mLastSavedPath);
}

void Controller::saveResult(std::function<void(bool)> then) {
    if (!hasFileOpen() || mRunningSavePanel || mBusy > 0) {
        if (then)
            then(false);
        return;
    }
    // The source's own format when it can be written; otherwise the type last chosen.
    QString type = SaveTypeOfFile(mOpenedImagePath);
    if (type.isEmpty())
        type = mSettings.value("fileTypeToSave").toString();
    if (mSaveOptionFileTypeButton->findText(type) >= 0) {
        mSaveOptionFileTypeButton->setCurrentText(type);
        savePopupChanged(nullptr);
    }
    mRunningSavePanel = true;
    const QStringList types = currentlyAllowedFileTypes();
    mDialogs.beginSavePanel(mMainWindow, mSaveOptionView, types,
                            SuggestedSavePath(mOpenedImagePath, panelFolder(), types),
                            [this, then](const QString& path) {
                                mRunningSavePanel = false;
                                // The quality is remembered even when the user cancels.
                                saveDefaults(mSaveOptionQualitySlider);
                                if (path.isEmpty()) {
                                    if (then)
                                        then(false);
                                    return;
                                }
                                const QString destination =
                                    StandardizedPath(savePathForTypedName(path));
                                rememberFolderOf(destination);
                                later([this, destination, then] {
                                    if (!saveResultToPath(destination, then) && then)
                                        then(false);
                                });
                            });
}

QString Controller::savePathForTypedName(const QString& path) {
    const QString typed = SaveTypeOfFile(path);
    if (!typed.isEmpty() && typed != mSaveOptionFileTypeButton->currentText()) {
        mSaveOptionFileTypeButton->setCurrentText(typed);
        savePopupChanged(mSaveOptionFileTypeButton);
    }
    return PathWithAllowedExtension(path, currentlyAllowedFileTypes());
}

bool Controller::saveResultToPath(const QString& path, std::function<void(bool)> then) {
    if (mBusy > 0)
        return false;
    const std::string type = mSaveOptionFileTypeButton->currentText().toStdString();
    const int quality = mSaveOptionQualitySlider->value();
    const int depth = mLayout.saveOptionDepthButton->currentIndex() == 1 ? 16 : 8;
    const QString exiftool = mExiftoolProgram.isEmpty() ? findExiftool() : mExiftoolProgram;
    // Without exiftool the file cannot take the source's profile: it keeps its sRGB tag.
    const bool transfer = mSaveOptionTransferMetadata->isChecked() && !exiftool.isEmpty() &&
                          QFileInfo(exiftool).isExecutable();
    if (mSaveOptionTransferMetadata->isChecked() && !transfer)
        LogWarning("exiftool not found: metadata not copied");
    const QString source = mOpenedImagePath;
    auto saved = std::make_shared<bool>(false);
    auto failure = std::make_shared<WriteFailure>(WriteFailure::None);
    // The recipe, its source's hash made on the worker; none when the preference is off.
    auto recipe = std::make_shared<std::optional<Recipe>>();
    if (writesRecipe()) {
        *recipe = currentRecipe();
        (*recipe)->save = RecipeSave{type, quality, true, transfer, type == "JPEG" ? 8 : depth};
    }
    auto recipeWritten = std::make_shared<bool>(true);
    runOnWorker(
        "Saving image",
        [=, this] {
            ImageWriteOptions options;
            options.type = type;
            options.quality = quality;
            options.depth = depth;
            // A file that receives the source's metadata takes its colour profile, not an sRGB tag.
            options.srgbTag = !transfer;
            *saved = mSession->saveReconstructedImage(LocalPath(path), options, failure.get());
            if (*saved && transfer)
                TransferTags(exiftool, source, path);
            if (*saved && *recipe) {
                Recipe& r = **recipe;
                *recipeWritten = RecipeSourceOfFile(r.source, LocalPath(source), r.source.width,
                                                    r.source.height) &&
                                 WriteRecipeFile(RecipePathForImage(LocalPath(path)), r);
            }
        },
        [this, saved, failure, path, then, recipeWritten] {
            if (!*recipeWritten)
                LogWarning("the recipe of %s could not be written\n", qPrintable(path));
            if (!*saved) {
                LogInfo("failed writing reconstructed image at path %s\n", qPrintable(path));
                showFailure(tr("The image could not be saved."), path, SaveFailureReason(*failure));
            } else {
                // Nothing changed the composite while it was written.
                mHistory.stack().setClean();
                mLastSavedPath = path;
                mMainWindow->statusBar()->showMessage(
                    *recipeWritten ? tr("Saved %1").arg(QDir::toNativeSeparators(path))
                                   : tr("Saved %1; its recipe could not be written")
                                         .arg(QDir::toNativeSeparators(path)),
                    10000);
            }
            emit saveFinished(*saved);
            // What follows a save (quitting, opening) runs once the sheet has gone.
            if (then)
                later([then, ok = *saved] { then(ok); });
        });
    return true;
}

QString Controller::findExiftool() {
    const QString appDir = QCoreApplication::applicationDirPath();
    const std::vector<std::string> folders = {
        LocalPath(appDir),
        LocalPath(ResourceDirectory()),
        LocalPath(QDir(appDir).filePath("../libexec/velkaro")),
    };
    return QFile::decodeName(QByteArray::fromStdString(FindExiftool(folders)));
}

// --- undo ---------------------------------------------------------------------------------------

void Controller::undo() {
    if (mBusy == 0 && !mStrokeOpen)
        mHistory.stack().undo();
}

void Controller::redo() {
    if (mBusy == 0 && !mStrokeOpen)
        mHistory.stack().redo();
}

void Controller::writeComposite(int x, int y, const CImage& pixels) {
    CImage* composite = mSession->reconstructed();
    if (!composite)
        return;
    PasteImage(pixels, *composite, x, y);
    mSplitView->reloadRefocusedImageInRect(
        Rect{double(x), double(y), double(pixels.width()), double(pixels.height())});
    composited();
    refreshReconstructedRow();
}

// --- settings and windows ----------------------------------------------------------------------

void Controller::loadDefaults() {
    if (mSettings.contains("allowAnonStats"))
        mAllowAnonStats->setChecked(mSettings.value("allowAnonStats").toInt() != 0);
    if (mSettings.contains("writeRecipe"))
        mWriteRecipe->setChecked(mSettings.value("writeRecipe").toInt() != 0);
    if (mSettings.contains("transferMetadataFromSource"))
        mSaveOptionTransferMetadata->setChecked(
            mSettings.value("transferMetadataFromSource").toInt() != 0);
    if (mSettings.contains("fileTypeToSave")) {
        const int index =
            mSaveOptionFileTypeButton->findText(mSettings.value("fileTypeToSave").toString());
        if (index >= 0)
            mSaveOptionFileTypeButton->setCurrentIndex(index);
    }
    if (mSettings.contains("qualitySliderLastUsedValue"))
        mSaveOptionQualitySlider->setValue(mSettings.value("qualitySliderLastUsedValue").toInt());
    if (mSettings.contains("blurShape")) {
        // The angle comes back with the disc too, ready for the next motion.
        const int angle = KernelAngleFromProtractor(mSettings.value("blurAngle").toInt());
        setBlurShape(true, angle);
        setBlurShape(mSettings.value("blurShape").toString() == "motion", angle);
    }
    if (mSettings.contains("brightnessOnly"))
        setBrightnessOnly(mSettings.value("brightnessOnly").toInt() != 0);
}

void Controller::saveDefaults(QObject* sender) {
    if (sender == mAllowAnonStats) {
        mSettings.setValue("allowAnonStats", mAllowAnonStats->isChecked() ? 1 : 0);
    } else if (sender == mWriteRecipe) {
        mSettings.setValue("writeRecipe", mWriteRecipe->isChecked() ? 1 : 0);
    } else if (sender == mSaveOptionTransferMetadata) {
        mSettings.setValue("transferMetadataFromSource",
                           mSaveOptionTransferMetadata->isChecked() ? 1 : 0);
    } else if (sender == mSaveOptionFileTypeButton) {
        mSettings.setValue("fileTypeToSave", mSaveOptionFileTypeButton->currentText());
    } else if (sender == mSaveOptionQualitySlider) {
        mSettings.setValue("qualitySliderLastUsedValue", mSaveOptionQualitySlider->value());
    } else if (sender == mBrightnessOnly) {
        mSettings.setValue("brightnessOnly", mBrightnessOnly->isChecked() ? 1 : 0);
    } else if (sender == mBlurShape || sender == mAngleField) {
        // A shake kernel belongs to its photograph: the next start begins with the disc.
        mSettings.setValue("blurShape", mBlurShape->checkedId() == 1 ? "motion" : "disc");
        mSettings.setValue("blurAngle", mAngleField->value());
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

void Controller::doneModal() {
    mSheet->hide();
}

}  // namespace velkaro
