// The half of the window controller that drives the processing: previews around a clicked point,
// the candidate grid, full deblurs, session events, the results list, the brush and apply-all.

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <cmath>
#include <cstdio>
#include <optional>

#include "Check.h"
#include "Controller.h"
#include "ControllerModel.h"
#include "Dialogs.h"
#include "Dispatch.h"
#include "GUI.h"
#include "ImageMatrix.h"
#include "Log.h"
#include "MainWindow.h"
#include "SplitView.h"
#include "UsageReport.h"

namespace {

constexpr int kPreviewSteps = 15;
constexpr int kMaxRow = 30;
constexpr int kComparisonRow = 2;
constexpr std::size_t kRankBadges = 3;
const char* const kOriginalVsReconstructed = "Original\n vs \nReconstructed";

bool InGrid(int row, int column, int rows, int columns) {
    return row >= 1 && row < rows && column >= 0 && column < columns;
}

QRectF ToQRect(const Rect& r) {
    return QRectF(r.x, r.y, r.width, r.height);
}
Rect FromQRect(const QRectF& r) {
    return Rect{r.x(), r.y(), r.width(), r.height()};
}

}  // namespace

QString DeblurLabel(const DeblurredEntry& e) {
    const char* name = DeblurTypeName(e.deblurType);
    const double radius = e.radiusStep * 0.5;
    if (e.maskSettings.opacity == 0.0f)
        return StringWithFormat("%s %.1f", name, radius);
    return StringWithFormat("%s %.1f\n [%s, %d%%,\n %.1f, %.1f]", name, radius,
                            MaskTypeName(e.maskSettings.type), int(e.maskSettings.opacity * 100.0f),
                            double(e.maskSettings.radius), double(e.maskSettings.crudeness));
}

Rect PreviewSection(QPointF p, int W, int H) {
    return PreviewSectionAroundPoint(p.x(), p.y(), W, H);
}

QString Controller::nameForRow(int row) {
    return StringWithFormat("%.1f", row * 0.5);
}

QString Controller::nameForColumn(int column) {
    return DeblurTypeName(column);
}

// --- events ------------------------------------------------------------------------------------

void Controller::statusUpdate(const SessionEvent& sessionEvent) {
    const DeblurredEntry& entry = sessionEvent.entry;
    const QVariantMap event = EntryDictionary(entry);
    const int step = entry.radiusStep;
    const int type = entry.deblurType;
    const bool inGrid = InGrid(step, type, mImageMatrix->rows(), mImageMatrix->columns());

    switch (sessionEvent.type) {
        case SessionEventType::DeblurStarted:
            addPreview(nullptr, DeblurLabel(entry), event);
            break;
        case SessionEventType::DeblurFinished:
            setPreview(mSession->deblurredImage(entry), event);
            break;
        case SessionEventType::DeblurFailed: {
            // The row waiting for this deblur says that it ended without a result.
            for (int i = 0; i < mImages.size(); ++i) {
                if (mImages[i].value("settings").toMap() != event)
                    continue;
                QVariantMap row = mImages[i];
                row["name"] = tr("%1 (failed)").arg(row.value("name").toString());
                row["done"] = 1;
                mResultsModel->replace(i, row);
                break;
            }
            mDialogs.beginAlert(mMainWindow,
                                {tr("The deblur failed."), tr("OK"), QString(),
                                 tr("The helper program that computes its Fourier transforms "
                                    "stopped answering twice. Try the deblur again.")},
                                nullptr);
            break;
        }
        case SessionEventType::PreviewStarted:
            if (inGrid)
                mImageMatrix->setEntryState(IMEntryProcessing, step, type);
            break;
        case SessionEventType::PreviewCancelled:
            if (inGrid)
                mImageMatrix->setEntryState(IMEntryNothing, step, type);
            break;
        case SessionEventType::PreviewFinished: {
            if (!inGrid)
                break;
            mImageMatrix->setEntryState(IMEntryReady, step, type);
            updateRanks();
            if (!mPreviewSplitView->selectedImage()) {
                if (mSession->previewCount() == 1) {
                    mImageMatrix->setSelectedRow(step, type);
                    changedEntry();
                }
            } else if (mImageMatrix->selectedRow() == step &&
                       mImageMatrix->selectedColumn() == type) {
                changedEntry();
            }
            break;
        }
        case SessionEventType::OriginalLoaded: {
            if (!mSession->original())
                break;
            const ImageRef original = mSession->original()->asImage();
            mSplitView->setSelectedImage(original, "Original");
            mSplitView->setRefocusedImage(original);
            addPreview(original, "Original", event);
            break;
        }
        case SessionEventType::ReconstructedLoaded: {
            if (!mSession->original() || !mSession->reconstructed())
                break;
            mSplitView->setRefocusedImage(mSession->reconstructed()->asImage());
            addPreview(mSession->reconstructed()->asImage(), "Reconstructed", event);
            addPreview(mSession->original()->asImage(), kOriginalVsReconstructed, event);
            break;
        }
    }
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

    mImageMatrix->resetState();
    mPreviewSplitView->setSelectedImage(mProcessingPreview, QString());
    mStopPreviews->setEnabled(true);
    switchToDeblurView();

    clearPreviews("Stopping previews processing", [this, point, W, H] {
        if (!hasFileOpen())
            return;
        mCurrentSection = PreviewSection(point, W, H);
        mSession->deblurPreviewAngleUpToStep(kPreviewSteps, DeblurUSM1, currentAngle(),
                                             mCurrentSection);
        for (int row = 1; row <= kPreviewSteps; ++row)
            mImageMatrix->setEntryState(IMEntryQueued, row, 0);
        // Then the rest of the grid, in the gaps the user's own requests leave.
        mSession->fillPreviewGrid(kMaxRow, DeblurType(std::max(0, mImageMatrix->selectedColumn())),
                                  currentAngle(), mCurrentSection);
    });
}

Controller::MaskValues Controller::maskValues() const {
    return MaskValues{mMaskRadius->floatValue(), mMaskType->checkedId(), mMaskAmount->floatValue(),
                      mMaskCrude->floatValue()};
}

void Controller::changedEntry() {
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
    const int angle = currentAngle();
    LogInfo("showing %s %d %d\n", DeblurTypeName(column), row, angle);

    const float crudeness = mMaskCrude->floatValue();
    const float opacity = mMaskShow->checkedId() != 0 ? mMaskAmount->floatValue() : -1.0f;
    const int maskType = mMaskType->checkedId();
    const float maskRadius = mMaskRadius->floatValue();
    const DeblurredEntry entry{DeblurType(column), row, angle, MaskSettings{}};
    // The background filling computes the column being looked at first.
    mSession->preferPreviewColumn(DeblurType(column));
    const bool showMap = mLayout.artefactMapAction->isChecked();
    ImageRef preview =
        showMap ? mSession->previewArtefactMap(entry)
                : mSession->deblurredPreview(entry, maskRadius, maskType, opacity, crudeness);
    QString label = nameForColumn(column) + " " + nameForRow(row);
    const std::optional<CandidateScore> score = mSession->previewScore(entry);
    mLayout.scoreLabel->setText(
        score ? label + ": " + QString::fromStdString(DescribeScore(*score)) : QString());
    if (showMap)
        label += tr(" (artefacts)");

    if (!preview) {
        if (mImageMatrix->entryStateforEntryRow(row, column) == IMEntryNothing) {
            mImageMatrix->setEntryState(IMEntryQueued, row, column);
            mSession->deblurPreviewAngleStep(row, DeblurType(column), angle, mCurrentSection);
        }
        preview = mProcessingPreview;
    }
    mPreviewSplitView->setSelectedImage(preview, label);
}

void Controller::moveSelection(int direction) {
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

void Controller::updateRanks() {
    std::vector<std::pair<int, int>> cells;
    for (const DeblurredEntry& e : mSession->bestPreviews(kRankBadges))
        cells.push_back({e.radiusStep, int(e.deblurType)});
    mImageMatrix->setRanks(cells);
}

void Controller::showBestCandidate() {
    if (!showsDeblurView() || mBusy > 0)
        return;
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
    clearPreviews("Stopping previews processing");
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
    std::string tooLarge;
    if (!mSession->fullDeblurFitsInMemory(row, DeblurType(column), tooLarge)) {
        mDialogs.beginAlert(mMainWindow,
                            {tr("The deblur was not started."), tr("OK"), QString(),
                             QString::fromStdString(tooLarge)},
                            nullptr);
        return;
    }

    mSession->submitDeblur(
        DeblurredEntry{DeblurType(column), row, currentAngle(),
                       MaskSettings{mask.type, mask.radius, mask.opacity, mask.crudeness}});
    mQueuedDeblurs.append(mCurrentSection);

    if (mAllowAnonStats->isChecked() && hasFileOpen()) {
        UsageReportFields fields;
        fields.width = mSession->original()->width();
        fields.height = mSession->original()->height();
        fields.radiusStep = row;
        fields.deblurType = column;
        fields.maskType = mask.type;
        fields.maskAmount = mask.opacity;
        fields.maskRadius = mask.radius;
        fields.maskCrude = mask.crudeness;
        reportStats(UsageReportAddress(UsageReportEndpoint(mSettings), fields));
    }
}

void Controller::reportStats(const QString& address) {
    mReporter->reportStats(address);
}

// --- results list ------------------------------------------------------------------------------

void Controller::addPreview(const ImageRef& image, const QString& name,
                            const QVariantMap& settings) {
    QVariantMap row;
    if (image) {
        row["preview"] = ToQImage(*image->thumbnail());
        row["done"] = 1;
    } else {
        row["preview"] = NamedPicture("processing");
        row["done"] = 0;
        if (!mQueuedDeblurs.isEmpty())
            row["section"] = ToQRect(mQueuedDeblurs.takeFirst());
    }
    row["name"] = name;
    row["settings"] = settings;
    mResultsModel->append(row);
}

void Controller::setPreview(const ImageRef& image, const QVariantMap& settings) {
    for (int i = 0; i < mImages.size(); ++i) {
        const QVariantMap& old = mImages[i];
        if (old.value("settings").toMap() != settings)
            continue;
        if (!image)
            return;
        const ImageRef picture =
            old.contains("section")
                ? image->thumbnailForSection(FromQRect(old.value("section").toRectF()))
                : image->thumbnail();
        QVariantMap row;
        row["preview"] = ToQImage(*picture);
        row["name"] = old.value("name");
        row["settings"] = settings;
        row["done"] = 1;
        mResultsModel->replace(i, row);
        return;
    }
}

void Controller::tableViewSelectionDidChange() {
    const QModelIndexList selected = mTableView->selectionModel()->selectedRows();
    if (selected.isEmpty())
        return;
    const int i = selected.first().row();
    if (i < 0 || i >= mImages.size())
        return;
    const QVariantMap& row = mImages[i];

    ImageRef image;
    if (i == 0 || i == kComparisonRow) {
        if (mSession->original())
            image = mSession->original()->asImage();
    } else if (i == 1) {
        if (mSession->reconstructed())
            image = mSession->reconstructed()->asImage();
    } else {
        const QVariant value = row.value("settings").toMap().value("deblurredEntry");
        const DBO dbo = value.value<DBO>();
        const DeblurredEntry* de = value.canConvert<DBO>() ? dbo.de() : nullptr;
        VK_CHECK(de);
        image = mSession->deblurredImage(*de);
    }
    mSplitView->changeViewMode(i < 2 ? 0 : 1);
    QString name = row.value("name").toString();
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
    if (!hasFileOpen())
        return;
    saveForUndo();
    composited();
    mSession->startBrush();
}

void Controller::applyBrushAtPoint(QPointF point, float size, float opacity) {
    const ImageRef selected = mSplitView->selectedImage();
    if (!selected || !hasFileOpen())
        return;
    Rect changed;
    mSession->applyBrush(selected.get(), size, opacity, int(point.x()), int(point.y()), &changed);
    mSplitView->reloadRefocusedImageInRect(changed);
}

void Controller::endBrush() {
    mSession->endBrush();
}

void Controller::applyAll() {
    const ImageRef selected = mSplitView->selectedImage();
    if (!selected || !hasFileOpen())
        return;
    saveForUndo();
    composited();
    mSession->applyAll(selected);
    mSplitView->reloadRefocusedImageInRect(selected->extent());
}
