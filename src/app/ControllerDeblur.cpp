// The half of the window controller that drives the processing: previews around a clicked point,
// the candidate grid, full deblurs, session events, the results list, the brush and apply-all.

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "AngleView.h"
#include "Check.h"
#include "Controller.h"
#include "ControllerModel.h"
#include "Dialogs.h"
#include "Dispatch.h"
#include "Filter.h"
#include "GUI.h"
#include "ImageMatrix.h"
#include "KernelView.h"
#include "Log.h"
#include "MainWindow.h"
#include "SectionKernel.h"
#include "SplitView.h"
#include "UsageReport.h"

namespace velkaro {

namespace {

constexpr int kPreviewSteps = 15;
constexpr int kMaxRow = 30;
constexpr int kComparisonRow = 2;
constexpr std::size_t kRankBadges = 3;
const char* const kOriginalVsReconstructed = "Original\n vs \nReconstructed";

bool InGrid(int row, int column, int rows, int columns) {
    return row >= 1 && row < rows && column >= 0 && column < columns;
}

// Esc pressed in the watched widget runs `onEscape`, which tells whether it used the key.
class EscapeFilter : public QObject {
  public:
    EscapeFilter(std::function<bool()> onEscape, QObject* parent)
        : QObject(parent), mOnEscape(std::move(onEscape)) {}
    bool eventFilter(QObject*, QEvent* event) override {
        return event->type() == QEvent::KeyPress &&
               static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && mOnEscape();
    }

  private:
    std::function<bool()> mOnEscape;
};

}  // namespace

QString DeblurLabel(const DeblurredEntry& e) {
    const char* name = DeblurTypeName(e.deblurType);
    const double radius = DrawnRadius(e.radiusStep * 0.5, e.blurKernel());
    // The disc goes unnamed; a motion names its angle, a kernel image its shape.
    QString kernel = e.kernel      ? StringWithFormat("%s shake %.1f", name, radius)
                     : e.angle < 0 ? StringWithFormat("%s %.1f", name, radius)
                                   : StringWithFormat("%s · r %.1f · motion %d°", name, radius,
                                                      ProtractorAngleFromKernel(e.angle));
    if (e.brightnessOnly)
        kernel += QObject::tr(" · brightness");
    if (e.maskSettings.opacity == 0.0f)
        return kernel;
    return kernel +
           StringWithFormat("\n [%s, %d%%,\n %.1f, %.1f]", MaskTypeName(e.maskSettings.type),
                            int(e.maskSettings.opacity * 100.0f), double(e.maskSettings.radius),
                            double(e.maskSettings.crudeness));
}

Rect PreviewSection(QPointF p, int W, int H) {
    return PreviewSectionAroundPoint(p.x(), p.y(), W, H);
}

QString Controller::nameForRow(int row) {
    // A kernel image wider than the rows reach is drawn larger than the row's step says.
    return StringWithFormat("%.1f", DrawnRadius(row * 0.5, mGridKernel));
}

QString Controller::nameForColumn(int column) {
    return DeblurTypeName(column);
}

// --- events ------------------------------------------------------------------------------------

void Controller::statusUpdate(const SessionEvent& event) {
    switch (event.type) {
        case SessionEventType::DeblurStarted:
            addPreview(nullptr, DeblurLabel(event.entry), event.entry, event.id);
            break;
        case SessionEventType::DeblurFinished:
            setPreview(mSession->deblurredImage(event.entry), event.id);
            break;
        case SessionEventType::DeblurProgress:
            showDeblurProgress(event.id, event.progress.fraction);
            break;
        case SessionEventType::DeblurCancelled:
            removeCancelledDeblur(event.id);
            break;
        case SessionEventType::DeblurFailed:
            showDeblurFailure(event.id);
            break;
        case SessionEventType::PreviewStarted:
        case SessionEventType::PreviewCancelled:
        case SessionEventType::PreviewFinished:
            showPreviewEvent(event.type, event.entry);
            break;
        case SessionEventType::OriginalLoaded:
            showOriginal();
            break;
        case SessionEventType::ReconstructedLoaded:
            showReconstructed();
            break;
    }
}

void Controller::showDeblurProgress(DeblurId id, double fraction) {
    const int i = resultRowOf(id);
    if (i < 0)
        return;
    ResultRow row = mImages[i];
    row.timeLeft = NextTimeLeft(row.timeLeft, fraction, (mClock.elapsed() - row.startedMs) / 1e3);
    row.status = DeblurStatusText(fraction, row.timeLeft);
    mResultsModel->replace(i, row);
}

void Controller::removeCancelledDeblur(DeblurId id) {
    mQueuedDeblurs.remove(id);
    const int i = resultRowOf(id);
    if (i >= 0)
        mResultsModel->remove(i);
    updateResultControls();
}

void Controller::showDeblurFailure(DeblurId id) {
    // The row waiting for this deblur says that it ended without a result.
    setPreview(nullptr, id);
    mDialogs.beginAlert(mMainWindow,
                        {tr("The deblur failed."), tr("OK"), QString(),
                         tr("The memory ran out, or the helper program that computes its "
                            "Fourier transforms stopped answering twice. Close other programs "
                            "and try the deblur again.")},
                        nullptr);
}

void Controller::showPreviewEvent(SessionEventType type, const DeblurredEntry& entry) {
    const int step = entry.radiusStep;
    const int column = entry.deblurType;
    // Previews of another kernel (the blur control just changed) are not the grid's.
    if (!InGrid(step, column, mImageMatrix->rows(), mImageMatrix->columns()) ||
        !entry.blurKernel().sameAs(currentKernel()) ||
        entry.brightnessOnly != mBrightnessOnly->isChecked())
        return;
    if (type == SessionEventType::PreviewStarted) {
        mImageMatrix->setEntryState(IMEntryProcessing, step, column);
        return;
    }
    if (type == SessionEventType::PreviewCancelled) {
        mImageMatrix->setEntryState(IMEntryNothing, step, column);
        return;
    }
    mImageMatrix->setEntryState(IMEntryReady, step, column);
    updateRanks();
    if (!mPreviewSplitView->selectedImage()) {
        if (mSession->previewCount() == 1) {
            mImageMatrix->setSelectedRow(step, column);
            maskChanged(nullptr);
        }
    } else if (mImageMatrix->selectedRow() == step && mImageMatrix->selectedColumn() == column) {
        maskChanged(nullptr);
    }
}

void Controller::showOriginal() {
    if (!mSession->original())
        return;
    // A new photograph starts from the disc and a section of its own: the last one's shape
    // says nothing of it.
    mUserChoseShape = false;
    mCurrentSection = Rect{};
    mLastSavedPath.clear();
    setBlurShape(false, 0);
    if (!mShakeLoaded)  // an estimated kernel is the last photograph's
        setShakeKernel(nullptr, false, false);
    const ImageRef original = mSession->original()->asImage();
    mShowsNoResult = false;
    mSplitView->setSelectedImage(original, "Original");
    mSplitView->setRefocusedImage(original);
    mSplitView->setBeforeImage(original);
    addPreview(original, "Original");
}

void Controller::showReconstructed() {
    if (!mSession->original() || !mSession->reconstructed())
        return;
    mSplitView->setRefocusedImage(mSession->reconstructed()->asImage());
    addPreview(mSession->reconstructed()->asImage(), "Reconstructed");
    addPreview(mSession->original()->asImage(), kOriginalVsReconstructed);
}

// --- previews ----------------------------------------------------------------------------------

void Controller::clearPreviews(const QString& text, std::function<void()> then) {
    // Whatever the cleared previews reported and is still on its way is then out of date.
    auto finish = [this, then = std::move(then)] {
        mBridge->forgetPreviewEvents();
        if (then)
            then();
    };
    if (!mSession->previewsAreIdle()) {
        runOnWorker(
            text, [this] { mSession->clearPreviews(); }, std::move(finish));
    } else {
        mSession->clearPreviews();
        finish();
    }
}

void Controller::deblurAtPoint(QPointF point) {
    if (!hasFileOpen() || mBusy > 0)
        return;
    const int W = mSession->original()->width();
    const int H = mSession->original()->height();
    const Rect section = PreviewSection(point, W, H);
    const Rect& shown = mCurrentSection;
    if (section.x == shown.x && section.y == shown.y && section.width == shown.width &&
        section.height == shown.height && gridIsCurrent()) {
        resumeGrid();
        return;
    }

    mImageMatrix->resetState();
    mPreviewSplitView->setSelectedImage(mProcessingPreview, QString());
    mStopPreviews->setEnabled(true);
    mUserChoseCell = false;
    dropEstimate();
    switchToDeblurView();

    clearPreviews("Stopping previews processing", [this, section] {
        if (!hasFileOpen())
            return;
        mCurrentSection = section;
        const Rect& r = mCurrentSection;
        mPreviewSplitView->setBeforeImage(
            CropImage(*mSession->original(), int(r.x), int(r.y), int(r.width), int(r.height))
                .asImage());
        startColumn(DeblurUSM1);
        // Beside the first previews, on a thread of its own.
        estimateBlur();
    });
}

void Controller::resumeGrid() {
    // The section shown last, at the same kernel: its computed cells stay, the rest start again.
    switchToDeblurView();
    mStopPreviews->setEnabled(true);
    for (int row = 1; row < mImageMatrix->rows(); ++row)
        for (int column = 0; column < mImageMatrix->columns(); ++column)
            mImageMatrix->setEntryState(
                mSession->deblurredPreviewIsDone(currentEntry(DeblurType(column), row))
                    ? IMEntryReady
                    : IMEntryNothing,
                row, column);
    startColumn(std::max(mImageMatrix->selectedColumn(), 0));
    updateRanks();
    maskChanged(nullptr);
}

void Controller::startColumn(int column) {
    mGridKernel = currentKernel();
    mGridBrightnessOnly = mBrightnessOnly->isChecked();
    mSession->setBrightnessOnly(mGridBrightnessOnly);
    mSession->deblurPreviewAngleUpToStep(kPreviewSteps, DeblurType(column), mGridKernel,
                                         mCurrentSection);
    // (The session skips the cells it holds already.)
    for (int row = 1; row <= kPreviewSteps; ++row)
        if (mImageMatrix->entryStateforEntryRow(row, column) != IMEntryReady)
            mImageMatrix->setEntryState(IMEntryQueued, row, column);
    // Then the rest of the grid, in the gaps the user's own requests leave.
    mSession->fillPreviewGrid(kMaxRow, DeblurType(std::max(0, mImageMatrix->selectedColumn())),
                              mGridKernel, mCurrentSection);
}

// --- the blur's shape and its estimate ---------------------------------------------------------

BlurKernel Controller::currentKernel() const {
    if (mBlurShape->checkedId() == 2 && mShakeKernel)
        return BlurKernel(mShakeKernel);
    return BlurKernel(currentAngle());
}

int Controller::currentAngle() const {
    return mBlurShape->checkedId() == 1 ? KernelAngleFromProtractor(mAngleField->value()) : -1;
}

DeblurredEntry Controller::currentEntry(DeblurType type, int radiusStep, MaskSettings mask) const {
    const BlurKernel kernel = currentKernel();
    DeblurredEntry entry{type, radiusStep, kernel.angle, mask, kernel.image};
    entry.brightnessOnly = mBrightnessOnly->isChecked();
    return entry;
}

bool Controller::gridIsCurrent() const {
    return mGridKernel.sameAs(currentKernel()) &&
           mGridBrightnessOnly == mBrightnessOnly->isChecked();
}

void Controller::setShakeKernel(KernelImageRef kernel, bool loaded, bool select) {
    const BlurKernel before = currentKernel();
    mShakeKernel = std::move(kernel);
    mShakeLoaded = mShakeKernel && loaded;
    QAbstractButton* shake = mBlurShape->button(2);
    shake->setEnabled(mShakeKernel != nullptr);
    shake->setText(mShakeLoaded ? tr("Loaded kernel") : tr("Shake (estimated)"));
    if (mShakeKernel)
        mKernelView->setKernel(mShakeKernel->size(), mShakeKernel->pointImage());
    else
        mKernelView->setKernel(0, {});
    if (select && mShakeKernel)
        shake->setChecked(true);
    else if (!mShakeKernel && shake->isChecked())
        mBlurShape->button(0)->setChecked(true);
    if (!currentKernel().sameAs(before))
        blurShapeChanged(true);
}

void Controller::setBrightnessOnly(bool on) {
    mBrightnessOnly->setChecked(on);
    mSession->setBrightnessOnly(on);
    saveDefaults(mBrightnessOnly);
    restartPreviews();
}

void Controller::setBlurShape(bool motion, int angle, bool keepEstimate) {
    const BlurKernel before = currentKernel();
    if (motion) {  // the disc leaves the last motion's angle in place
        const QSignalBlocker blocker(mAngleField);
        mAngleField->setValue(ProtractorAngleFromKernel(std::clamp(angle, 0, 179)));
        mAngleView->setCurrentAngle(mAngleField->value());
    }
    mBlurShape->button(motion ? 1 : 0)->setChecked(true);
    if (!currentKernel().sameAs(before))
        blurShapeChanged(true, keepEstimate);
}

QString Controller::blurShapeText(const BlurKernel& kernel) const {
    if (kernel.isImage())
        return kernel.image == mShakeKernel && mShakeLoaded ? tr("loaded kernel") : tr("shake");
    return kernel.angle < 0 ? tr("disc")
                            : tr("motion %1°").arg(ProtractorAngleFromKernel(kernel.angle));
}

void Controller::userChoseBlurShape(bool now) {
    mUserChoseShape = true;
    blurShapeChanged(now);
}

void Controller::blurShapeChanged(bool now, bool keepEstimate) {
    if (!keepEstimate)
        dropEstimate();  // the user's choice outranks an estimate still running
    saveDefaults(mBlurShape);
    if (now)
        restartPreviews();
    else
        mBlurShapeTimer->start();
}

void Controller::restartPreviews() {
    mBlurShapeTimer->stop();
    if (!hasFileOpen() || mCurrentSection.width < 1 || !showsDeblurView() || gridIsCurrent())
        return;
    if (mBusy > 0) {
        later([this] { restartPreviews(); });
        return;
    }
    // The cells of the old kernel go; the selection, the suggestion and the column stay.
    const int row = mImageMatrix->selectedRow(),
              column = std::max(mImageMatrix->selectedColumn(), 0);
    const int suggested = mImageMatrix->suggestedRow();
    mImageMatrix->resetState();
    mImageMatrix->setSuggestedRow(suggested);
    mImageMatrix->setSelectedRow(std::max(row, 1), column);
    mPreviewSplitView->setSelectedImage(mProcessingPreview, QString());
    mStopPreviews->setEnabled(true);
    clearPreviews("Stopping previews processing", [this, column] {
        if (!hasFileOpen())
            return;
        startColumn(column);
        maskChanged(nullptr);
    });
}

void Controller::dropEstimate() {
    ++mEstimateEpoch;
    if (mEstimateCancel)
        mEstimateCancel->store(true);
    mEstimateCancel.reset();
}

void Controller::estimateBlur() {
    if (!hasFileOpen() || mCurrentSection.width < 1 || mCurrentSection.height < 1)
        return;
    // The estimate works on its own copy of the section: the photograph may close meanwhile.
    const Rect& r = mCurrentSection;
    auto section = std::make_shared<CImage>(
        CropImage(*mSession->original(), int(r.x), int(r.y), int(r.width), int(r.height)));
    dropEstimate();
    const int epoch = mEstimateEpoch;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    mEstimateCancel = cancel;
    mEstimateClock.start();
    // Runs on the worker: the main thread hears of whole percents only.
    auto post = [this, epoch](std::function<void()> call) {
        QMetaObject::invokeMethod(
            this,
            [this, epoch, call = std::move(call)] {
                if (epoch == mEstimateEpoch)
                    call();
            },
            Qt::QueuedConnection);
    };
    mEstimateQueue->async([this, section, cancel, post] {
        const int w = section->width(), h = section->height();
        auto percent = std::make_shared<std::atomic<int>>(-1);
        const MethodProgress progress = [this, post, percent](const MethodProgressStep& step) {
            const int now = int(step.fraction * 100);
            if (percent->exchange(now) != now)
                post([this, now] { showEstimateProgress(now / 100.0); });
        };
        const ProvisionalEstimate confidentFit = [post, this](const BlurEstimate& fit) {
            post([this, fit] { showEstimate(fit, true); });
        };
        const BlurEstimate estimate = EstimateSectionKernel(*section, Region{0, 0, w, h},
                                                            cancel.get(), &progress, &confidentFit);
        if (StopRequested(cancel.get())) {
            QMetaObject::invokeMethod(
                this, [this] { emit estimateStopped(); }, Qt::QueuedConnection);
            return;
        }
        LogInfo("blur estimate: %s, radius step %d, confidence %.2f\n",
                BlurShapeName(estimate.shape), estimate.radiusStep, estimate.confidence);
        post([this, estimate] { showEstimate(estimate); });
    });
}

void Controller::showEstimateProgress(double fraction) {
    emit estimateProgress(fraction);
    // A quick estimate is not worth a message.
    if (mEstimateClock.elapsed() >= 500)
        mMainWindow->statusBar()->showMessage(
            tr("Estimating the shape of the blur… %1%").arg(int(fraction * 100)), 2000);
}

void Controller::showEstimate(const BlurEstimate& e, bool provisional) {
    mLastEstimate = e;
    if (!provisional)
        mEstimateCancel.reset();
    QStatusBar* status = mMainWindow->statusBar();
    // A shape the user chose for this photograph outranks the estimate's.
    const QString kept = mUserChoseShape
                             ? tr("; keeping the %1 you chose").arg(blurShapeText(currentKernel()))
                             : QString();
    if (e.shape == BlurShape::None) {
        status->showMessage(tr("No blur found in this section: shape and radius unchanged") + kept,
                            5000);
        emit estimateFinished();
        return;
    }
    const BlurKernel estimated = e.blurKernel();
    status->showMessage(tr("Estimated blur: %1, radius %2 px (confidence %3)")
                                .arg(e.kernel ? tr("shake") : blurShapeText(estimated))
                                .arg(DrawnRadius(e.radiusStep * 0.5, estimated), 0, 'f', 1)
                                .arg(e.confidence, 0, 'f', 2) +
                            (!estimated.sameAs(currentKernel()) ? kept : QString()),
                        5000);
    mImageMatrix->setSuggestedRow(e.radiusStep);
    if (!mUserChoseCell)
        mImageMatrix->setSelectedRow(e.radiusStep, std::max(mImageMatrix->selectedColumn(), 0));
    const BlurKernel before = currentKernel();
    if (!mUserChoseShape) {
        if (e.kernel)
            setShakeKernel(e.kernel, false, true);
        else
            setBlurShape(e.shape == BlurShape::Motion, e.angle, provisional);
    } else if (e.kernel && !(mBlurShape->checkedId() == 2)) {
        // Offered beside the shape the user chose, not chosen.
        setShakeKernel(e.kernel, false, false);
    }
    // An unchanged kernel keeps its cells: the (new) selection is shown or queued.
    if (currentKernel().sameAs(before))
        maskChanged(nullptr);
    if (!provisional)
        emit estimateFinished();
}

Controller::MaskValues Controller::maskValues() const {
    return MaskValues{mMaskRadius->floatValue(), mMaskType->checkedId(), mMaskAmount->floatValue(),
                      mMaskCrude->floatValue()};
}

void Controller::changedEntry() {
    if (mBusy > 0)  // behind the progress sheet the grid takes no choice
        return;
    mUserChoseCell = true;
    maskChanged(nullptr);
}

void Controller::maskChanged(QObject*) {
    const int row = mImageMatrix->selectedRow();
    const int column = mImageMatrix->selectedColumn();
    if (row <= 0 || column < 0)
        return;
    // Without a photograph and a clicked section there is nothing to show or compute.
    if (!hasFileOpen() || mCurrentSection.width < 1 || mCurrentSection.height < 1)
        return;
    LogInfo("showing %s %d %d\n", DeblurTypeName(column), row, currentAngle());

    const float crudeness = mMaskCrude->floatValue();
    const float opacity = mMaskShow->checkedId() != 0 ? mMaskAmount->floatValue() : -1.0f;
    const int maskType = mMaskType->checkedId();
    const float maskRadius = mMaskRadius->floatValue();
    const DeblurredEntry entry = currentEntry(DeblurType(column), row);
    // The background filling computes the column being looked at first.
    mSession->preferPreviewColumn(DeblurType(column));
    const bool showMap = mLayout.artefactMapAction->isChecked();
    ImageRef preview =
        showMap ? mSession->previewArtefactMap(entry)
                : mSession->deblurredPreview(entry, maskRadius, maskType, opacity, crudeness);
    QString label = DeblurLabel(entry);
    updateScoreLine();
    if (showMap)
        label += tr(" (artefacts)");

    if (!preview) {
        if (mImageMatrix->entryStateforEntryRow(row, column) == IMEntryNothing) {
            mImageMatrix->setEntryState(IMEntryQueued, row, column);
            mSession->deblurPreviewAngleStep(row, DeblurType(column), currentKernel(),
                                             mCurrentSection);
        }
        preview = mProcessingPreview;
    }
    mPreviewSplitView->setSelectedImage(preview, label);
}

void Controller::moveSelection(int direction) {
    if (mBusy > 0)
        return;
    int row = mImageMatrix->selectedRow();
    int column = mImageMatrix->selectedColumn();
    if (row < 0 || column < 0)
        return;
    switch (direction) {
        case 0:
            column = std::max(column - 1, 0);
            break;
        case 1:
            column = std::min(column + 1, row == 0 ? 1 : kGridDeblurTypes - 1);
            break;
        case 2:
            row = std::max(row - 1, 1);
            break;
        case 3:
            row = std::min(row + 1, kMaxRow);
            break;
        default:
            return;
    }
    mImageMatrix->setSelectedRow(row, column);
    changedEntry();
}

void Controller::updateScoreLine() {
    const int row = mImageMatrix->selectedRow();
    const int column = mImageMatrix->selectedColumn();
    std::optional<CandidateScore> score;
    const DeblurredEntry entry = currentEntry(DeblurType(std::max(column, 0)), row);
    if (row > 0 && column >= 0 && hasFileOpen())
        score = mSession->previewScore(entry);
    QString text;
    if (score) {
        text = DeblurLabel(entry) + ": " + QString::fromStdString(DescribeScore(*score));
        if (mImageMatrix->ranksAreProvisional())
            text += tr(" · ranking so far");
        else if (mSession->previewsHaveLittleToGain())
            text += tr(" · little to gain here: best left as it is");
    }
    mLayout.scoreLabel->setText(text);
}

bool Controller::gridIsComplete() const {
    for (int row = 1; row < mImageMatrix->rows(); ++row)
        for (int column = 0; column < mImageMatrix->columns(); ++column)
            if (mImageMatrix->entryStateforEntryRow(row, column) != IMEntryReady)
                return false;
    return true;
}

bool Controller::bestLeftAsItIs() const {
    return gridIsComplete() && mSession->previewsHaveLittleToGain();
}

void Controller::updateRanks() {
    const bool provisional = !gridIsComplete();
    // A full grid none of whose cells scores above the section itself badges none: the original
    // ranks first, and the grid has no cell for it.
    std::vector<std::pair<int, int>> cells;
    if (provisional || !mSession->previewsHaveLittleToGain())
        for (const DeblurredEntry& e : mSession->bestPreviews(kRankBadges))
            cells.push_back({e.radiusStep, int(e.deblurType)});
    const bool settled = provisional != mImageMatrix->ranksAreProvisional();
    mImageMatrix->setRanks(cells, provisional);
    if (!provisional)  // nothing is left to stop
        mStopPreviews->setEnabled(false);
    if (settled)
        updateScoreLine();
}

void Controller::showBestCandidate() {
    if (!showsDeblurView() || mBusy > 0)
        return;
    if (bestLeftAsItIs()) {
        mMainWindow->statusBar()->showMessage(
            tr("Little to gain here: no cell scores above the section as it is"), 5000);
        return;
    }
    const std::vector<DeblurredEntry> best = mSession->bestPreviews(1);
    if (best.empty())
        return;
    mImageMatrix->setSelectedRow(best.front().radiusStep, int(best.front().deblurType));
    changedEntry();
}

void Controller::stopPreviews() {
    mStopPreviews->setEnabled(false);
    mSession->stopPreview();
}

void Controller::cancelDeblur() {
    if (mBusy > 0)
        return;
    dropEstimate();
    // The section's computed cells stay for a return to it; only the work still to do stops.
    stopPreviews();
    switchToMainView();
}

// --- full deblurs ------------------------------------------------------------------------------

void Controller::addDeblur() {
    if (mBusy > 0)
        return;
    const int row = mImageMatrix->selectedRow();
    const int column = mImageMatrix->selectedColumn();
    // The controls belong to the main thread: their values are taken now and travel with the task.
    const MaskValues mask = maskValues();
    cancelDeblur();
    if (!(row >= 1 && row <= kMaxRow && column >= 0 && column < kGridDeblurTypes))
        return;
    if (!hasFileOpen())
        return;
    const DeblurredEntry entry =
        currentEntry(DeblurType(column), row,
                     MaskSettings{mask.type, mask.radius, mask.opacity, mask.crudeness});
    std::string tooLarge;
    if (!mSession->fullDeblurFitsInMemory(entry, tooLarge)) {
        mDialogs.beginAlert(mMainWindow,
                            {tr("The deblur was not started."), tr("OK"), QString(),
                             QString::fromStdString(tooLarge)},
                            nullptr);
        return;
    }

    const DeblurId id = mSession->submitDeblur(entry);
    mQueuedDeblurs.insert(id, mCurrentSection);

    // No endpoint configured: reports are never sent, whatever the check box says.
    const QString endpoint = UsageReportEndpoint(mSettings);
    if (mAllowAnonStats->isChecked() && hasFileOpen() && !endpoint.isEmpty()) {
        UsageReportFields fields;
        fields.width = mSession->original()->width();
        fields.height = mSession->original()->height();
        fields.radiusStep = row;
        fields.deblurType = column;
        fields.maskType = mask.type;
        fields.maskAmount = mask.opacity;
        fields.maskRadius = mask.radius;
        fields.maskCrude = mask.crudeness;
        reportStats(UsageReportAddress(endpoint, fields));
    }
}

void Controller::reportStats(const QString& address) {
    mReporter->reportStats(address);
}

// --- results list ------------------------------------------------------------------------------

void Controller::addPreview(const ImageRef& image, const QString& name,
                            const std::optional<DeblurredEntry>& entry, DeblurId id) {
    ResultRow row;
    if (image) {
        row.preview = ToQImage(*image->thumbnail());
        row.done = true;
    } else {
        row.preview = NamedPicture("processing");
        row.deblurId = id;
        row.startedMs = mClock.elapsed();
        row.status = "0%";
        const Rect section = mQueuedDeblurs.take(id);
        if (section.width >= 1 && section.height >= 1)
            row.section = section;
    }
    row.name = name;
    row.entry = entry;
    mResultsModel->append(row);
    updateResultControls();
}

int Controller::resultRowOf(DeblurId id) const {
    for (int i = 0; i < mImages.size(); ++i)
        if (!mImages[i].done && mImages[i].deblurId == id)
            return i;
    return -1;
}

void Controller::setPreview(const ImageRef& image, DeblurId id) {
    const int i = resultRowOf(id);
    if (i < 0)
        return;
    ResultRow row = mImages[i];
    if (image) {
        const ImageRef picture =
            row.section ? image->thumbnailForSection(*row.section) : image->thumbnail();
        row.preview = ToQImage(*picture);
    } else {
        row.name = tr("%1 (failed)").arg(row.name);
    }
    row.done = true;
    row.section.reset();
    row.status.clear();
    mResultsModel->replace(i, row);
    updateResultControls();
    // A row selected while it was computing now shows its result.
    if (selectedResult() == i)
        tableViewSelectionDidChange();
}

int Controller::selectedResult() const {
    const QModelIndexList selected = mTableView->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.first().row();
}

bool Controller::cancelResult(int i) {
    if (i < 0 || i >= mImages.size() || mImages[i].done)
        return false;
    // A deblur that has just ended cannot be stopped: its result is on its way to this row.
    if (!mSession->cancelDeblur(mImages[i].deblurId))
        return false;
    const bool wasSelected = selectedResult() == i;
    mResultsModel->remove(i);
    updateResultControls();
    // Its place showed the original: the comparison of the original and the composite follows.
    if (wasSelected)
        mTableView->selectRow(kComparisonRow);
    return true;
}

void Controller::setUpResultRows() {
    mClock.start();
    QHeaderView* header = mTableView->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    mCancelResultShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), mMainView);
    mCancelResultShortcut->setEnabled(false);
    connect(mCancelResultShortcut, &QShortcut::activated, this,
            [this] { cancelResult(selectedResult()); });
    // The table uses Esc itself: there it goes to the selected row first.
    mTableView->installEventFilter(
        new EscapeFilter([this] { return cancelResult(selectedResult()); }, mTableView));
    connect(mTableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { updateResultControls(); });
}

void Controller::updateResultControls() {
    // Every running deblur's row has its cancel button; Esc cancels the selected one. Their
    // narrow column shows while there are any, beside the names, which take the rest.
    const bool anyRunning =
        std::any_of(mImages.begin(), mImages.end(), [](const ResultRow& row) { return !row.done; });
    QHeaderView* header = mTableView->horizontalHeader();
    if (anyRunning) {
        header->setSectionResizeMode(2, QHeaderView::Fixed);
        header->resizeSection(2, 28);
    }
    header->setSectionHidden(2, !anyRunning);
    for (int i = 0; i < mImages.size(); ++i) {
        const QModelIndex cell = mResultsModel->index(i, 2);
        const bool running = !mImages[i].done;
        if (running == (mTableView->indexWidget(cell) != nullptr))
            continue;
        if (!running) {
            mTableView->setIndexWidget(cell, nullptr);
            continue;
        }
        auto* button = new QToolButton();
        button->setObjectName("cancelResult");
        button->setText(QString::fromUtf8("\u2715"));
        button->setAutoRaise(true);
        button->setToolTip(tr("Stop this deblur and remove it (Esc)"));
        const DeblurId id = mImages[i].deblurId;
        connect(button, &QToolButton::clicked, this, [this, id] { cancelResult(resultRowOf(id)); });
        mTableView->setIndexWidget(cell, button);
    }
    const int selected = selectedResult();
    mCancelResultShortcut->setEnabled(selected >= 0 && selected < mImages.size() &&
                                      !mImages[selected].done);
}

void Controller::refreshReconstructedRow() {
    if (mImages.size() < 2 || !mSession->reconstructed())
        return;
    ResultRow row = mImages[1];
    row.preview = ToQImage(*mSession->reconstructed()->asImage()->thumbnail());
    mResultsModel->replace(1, row);
}

void Controller::tableViewSelectionDidChange() {
    const QModelIndexList selected = mTableView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const int i = selected.first().row();
    if (i < 0 || i >= mImages.size())
        return;
    const ResultRow& row = mImages[i];

    ImageRef image;
    QString name = row.name;
    if (i == 0 || i == kComparisonRow) {
        if (mSession->original())
            image = mSession->original()->asImage();
    } else if (i == 1) {
        if (mSession->reconstructed())
            image = mSession->reconstructed()->asImage();
    } else if (row.done) {
        VK_CHECK(row.entry.has_value());
        image = mSession->deblurredImage(*row.entry);
    }
    // A deblur still computing (or one that failed) has no picture: its place shows the
    // original, which the result will replace, and the brush leaves the composite alone.
    mShowsNoResult = i > kComparisonRow && !image;
    if (mShowsNoResult && mSession->original()) {
        image = mSession->original()->asImage();
        if (!row.done)
            name = tr("%1 (processing)").arg(name);
    }
    mSplitView->changeViewMode(i < 2 ? 0 : 1);
    if (name == kOriginalVsReconstructed)
        name = "Original";
    name.remove('\n');
    mSplitView->setSelectedImage(image, name);
}

// --- screens -----------------------------------------------------------------------------------

void Controller::switchToMainView() {
    mLayout.screens->setCurrentWidget(mMainView);
}

void Controller::switchToDeblurView() {
    mLayout.screens->setCurrentWidget(mDeblurView);
}

// --- brush and apply-all -----------------------------------------------------------------------

void Controller::startBrush() {
    if (!hasFileOpen() || mBusy > 0 || mShowsNoResult)
        return;
    endBrush();  // a stroke whose release never came counts as it is
    mSession->startBrush();
    mStrokeOpen = true;
    mStroke = QRect();
    mStrokeOperation = selectedPicture();
}

void Controller::applyBrushAtPoint(QPointF point, float size, float opacity) {
    const ImageRef selected = mSplitView->selectedImage();
    if (!selected || !mStrokeOpen || mBusy > 0 || mShowsNoResult)
        return;
    Rect changed;
    mSession->applyBrush(selected.get(), size, opacity, int(point.x()), int(point.y()), &changed);
    if (changed.width > 0 && changed.height > 0) {
        mStroke |= QRect(int(changed.x), int(changed.y), int(changed.width), int(changed.height));
        // A dab that painted nothing, or again where the last one did, changes nothing: the
        // recipe leaves it out.
        RecipeOperation& stroke = mStrokeOperation.operation;
        const RecipePoint dab{int(point.x()), int(point.y())};
        if (stroke.points.empty()) {
            stroke.size = size;
            stroke.opacity = opacity;
        }
        if (stroke.points.empty() || !(stroke.points.back() == dab))
            stroke.points.push_back(dab);
    }
    mSplitView->reloadRefocusedImageInRect(changed);
}

void Controller::endBrush() {
    if (!mStrokeOpen)
        return;
    mStrokeOpen = false;
    const CImage* base = mSession->brushBase();
    const CImage* composite = mSession->reconstructed();
    const QRect r = mStroke;
    if (base && composite && !r.isEmpty()) {
        mHistory.record(
            tr("Brush Stroke"), r.x(), r.y(), CropImage(*base, r.x(), r.y(), r.width(), r.height()),
            CropImage(*composite, r.x(), r.y(), r.width(), r.height()), mStrokeOperation);
        composited();
    }
    mSession->endBrush();
    refreshReconstructedRow();
}

HistoryOperation Controller::selectedPicture() const {
    HistoryOperation picked;
    RecipeOperation& operation = picked.operation;
    const int i = selectedResult();
    operation.picture = i == 1 ? RecipePicture::Composite : RecipePicture::Original;
    if (i > kComparisonRow && i < mImages.size() && mImages[i].entry) {
        operation.picture = RecipePicture::Result;
        picked.entry = *mImages[i].entry;
    }
    return picked;
}

void Controller::applyAll() {
    const ImageRef selected = mSplitView->selectedImage();
    CImage* composite = mSession->reconstructed();
    if (!selected || !hasFileOpen() || !composite || mBusy > 0 || mStrokeOpen || mShowsNoResult)
        return;
    const int W = composite->width(), H = composite->height();
    const CImage before = CropImage(*composite, 0, 0, W, H);
    mSession->applyAll(selected);
    HistoryOperation apply = selectedPicture();
    apply.operation.kind = RecipeOperation::Kind::ApplyAll;
    mHistory.record(tr("Apply to All"), 0, 0, before, CropImage(*composite, 0, 0, W, H), apply);
    composited();
    mSplitView->reloadRefocusedImageInRect(selected->extent());
    refreshReconstructedRow();
}

}  // namespace velkaro
