// Preview scheduling: requests ordered on the serial "preview" queue, at most three steps
// computing at once on the global queue, each with its three channels in parallel; the grid's
// background cells on the low-priority queue in the gaps between requests; the scores.

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "BlurEstimate.h"
#include "Check.h"
#include "ImageProcess.h"
#include "Log.h"
#include "Session.h"

namespace velkaro {

namespace {

constexpr int kMaxRunningPreviews = 3;
// Background cells computing at once, beside (not counted in) the requested steps' three.
constexpr int kMaxBackgroundPreviews = 2;

// The order of cost of a preset's method, cheapest first: the grid fills in that order.
int costRank(DeblurType type) {
    switch (PresetFor(type).method) {
        case DeblurMethod::UnsharpMask:
        case DeblurMethod::UnsharpMaskFast:
            return 0;
        case DeblurMethod::WienerIir:
            return 1;
        case DeblurMethod::WienerFir:
            return 2;
        case DeblurMethod::LucyRichard:
        case DeblurMethod::LucyRichardThreshold:
            return 3;
        case DeblurMethod::LeastSquares:
            return 5;
        default:
            return 4;
    }
}

// Presets whose method only differs in its fixed iteration count: the cell with the most
// iterations passes through the others' results on its way (Richardson–Lucy is deterministic).
bool iteratesFixedCount(DeblurType type) {
    const DeblurMethod method = PresetFor(type).method;
    return method == DeblurMethod::LucyRichard || method == DeblurMethod::LucyRichardThreshold;
}

int iterationsOf(DeblurType type) {
    return iteratesFixedCount(type) ? int(PresetFor(type).parameter) : 0;
}

// b is a's preset with fewer iterations, at the same step and kernel: a's run yields it.
bool yieldsOnTheWay(const DeblurredEntry& a, const DeblurredEntry& b) {
    if (!iteratesFixedCount(a.deblurType) ||
        PresetFor(b.deblurType).method != PresetFor(a.deblurType).method ||
        iterationsOf(b.deblurType) >= iterationsOf(a.deblurType))
        return false;
    DeblurredEntry same = b;
    same.deblurType = a.deblurType;
    return SameDeblurredEntry(a, same);
}

// Every grid cell at steps 1 … maxStep: `first`'s column, then by cost, step, most iterations
// first (so that one run yields the cells of fewer) and column.
std::deque<DeblurredEntry> gridFillOrder(int maxStep, DeblurType first, const BlurKernel& kernel,
                                         bool brightnessOnly) {
    std::vector<std::array<int, 4>> keys;  // cost, step, − iterations, column
    for (int column = 0; column < kGridDeblurTypes; ++column)
        for (int step = 1; step <= maxStep; ++step)
            keys.push_back({column == first ? -1 : costRank(DeblurType(column)), step,
                            -iterationsOf(DeblurType(column)), column});
    std::sort(keys.begin(), keys.end());
    std::deque<DeblurredEntry> order;
    for (const auto& [cost, step, iterations, column] : keys)
        order.push_back(UnmaskedEntry(DeblurType(column), step, kernel, brightnessOnly));
    return order;
}

// The section truncated to whole pixels and moved and shrunk to lie inside a W × H image, at
// least one pixel wide and high.
Region clampSection(const Rect& r, int W, int H) {
    int x = int(r.x), y = int(r.y);
    if (x < 0)
        x = 0;
    if (y < 0)
        y = 0;
    if (x >= W)
        x = W - 1;
    if (y >= H)
        y = H - 1;
    int w = int(r.width), h = int(r.height);
    if (w <= 0)
        w = 1;
    if (h <= 0)
        h = 1;
    if (x + w >= W)
        w = W - x;
    if (y + h >= H)
        h = H - y;
    return Region{x, y, w, h};
}

}  // namespace

Rect PreviewSectionAroundPoint(double px, double py, int W, int H) {
    int x = int(px - 256), y = int(py - 256);
    if (W - x <= 511)
        x = W - 512;
    if (H - y <= 511)
        y = H - 512;
    x = std::max(x, 0);
    y = std::max(y, 0);
    return Rect{double(x), double(y), W > 511 ? 512.0 : double(W), H > 511 ? 512.0 : double(H)};
}

void Session::queuePreviewBatch(const std::function<void()>& queueSteps) {
    changeCount(mPreviewBatches, 1);
    queueSteps();
    mPreviewQueue->async([this] { endPreviewWork(mPreviewBatches, false); });
}

void Session::fillPreviewGrid(int radiusMaxStep, DeblurType firstColumn, const BlurKernel& kernel,
                              const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    std::deque<DeblurredEntry> order =
        gridFillOrder(radiusMaxStep, firstColumn, kernel, mBrightnessOnly);
    std::vector<std::vector<DeblurredEntry>> cells;
    {
        std::lock_guard<std::mutex> guard(mWorkMutex);
        mBackgroundCells.swap(order);
        mBackgroundSection = section;
        cells = takeBackgroundCellsLocked();
    }
    startBackgroundCells(cells, section);
}

void Session::preferPreviewColumn(DeblurType column) {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    std::stable_partition(mBackgroundCells.begin(), mBackgroundCells.end(),
                          [column](const DeblurredEntry& e) { return e.deblurType == column; });
}

std::vector<DeblurredEntry> Session::backgroundPreviewsWaiting() {
    std::lock_guard<std::mutex> guard(mWorkMutex);
    return {mBackgroundCells.begin(), mBackgroundCells.end()};
}

std::vector<std::vector<DeblurredEntry>> Session::takeBackgroundCellsLocked() {
    std::vector<std::vector<DeblurredEntry>> cells;
    // Only while no request waits on the queue or computes, and never after a stop.
    while (!mStopPreview && mPreviewBatches == 0 && mRunningPreviews == mRunningBackground &&
           mRunningBackground < kMaxBackgroundPreviews && !mBackgroundCells.empty()) {
        std::vector<DeblurredEntry> group{mBackgroundCells.front()};
        mBackgroundCells.pop_front();
        if (deblurredPreviewIsDone(group[0]))
            continue;
        // The waiting cells of its preset with fewer iterations, at the same step, are taken on
        // the way (never one with more: a preferred column waits no longer than alone).
        for (auto it = mBackgroundCells.begin(); it != mBackgroundCells.end();)
            if (yieldsOnTheWay(group[0], *it)) {
                if (!deblurredPreviewIsDone(*it))
                    group.push_back(*it);
                it = mBackgroundCells.erase(it);
            } else {
                ++it;
            }
        ++mRunningPreviews;
        ++mRunningBackground;
        cells.push_back(std::move(group));
    }
    return cells;
}

void Session::startBackgroundCells(const std::vector<std::vector<DeblurredEntry>>& cells,
                                   const Rect& section) {
    for (const auto& group : cells)
        dispatchAsync(DispatchPriority::Low,
                      [this, group, section] { deblurPreviewStep(group, section, true); });
}

void Session::endPreviewWork(int& counter, bool background) {
    std::vector<std::vector<DeblurredEntry>> cells;
    Rect section;
    {
        // As in changeCount: the waiter may destroy the session once the mutex is free. Cells
        // handed out here are counted running before that, so it waits for them.
        std::lock_guard<std::mutex> guard(mWorkMutex);
        --counter;
        if (background)
            --mRunningBackground;
        cells = takeBackgroundCellsLocked();
        section = mBackgroundSection;
        mWorkChanged.notify_all();
    }
    if (!cells.empty())
        startBackgroundCells(cells, section);
}

void Session::deblurPreviewAngleUpToStep(int radiusMaxStep, DeblurType deblurType,
                                         const BlurKernel& kernel, const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    queuePreviewBatch([&] {
        for (int step = 1; step <= radiusMaxStep; ++step)
            mPreviewQueue->async([this,
                                  entry = UnmaskedEntry(deblurType, step, kernel, mBrightnessOnly),
                                  section] { queueDeblurPreviewStep({entry}, section); });
    });
}

void Session::deblurPreviewColumnsUpToStep(int radiusMaxStep,
                                           const std::vector<DeblurType>& deblurTypes,
                                           const BlurKernel& kernel, const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    auto entryOf = [&](DeblurType type, int step) {
        return UnmaskedEntry(type, step, kernel, mBrightnessOnly);
    };
    const auto yields = [&](DeblurType a, DeblurType b) {
        return yieldsOnTheWay(entryOf(a, 1), entryOf(b, 1));
    };
    // The presets in groups: one that no other requested preset passes through, then those its
    // run passes through.
    std::vector<std::vector<DeblurType>> groups;
    for (DeblurType type : deblurTypes) {
        const bool led = std::any_of(deblurTypes.begin(), deblurTypes.end(),
                                     [&](DeblurType other) { return yields(other, type); });
        const bool taken = std::any_of(groups.begin(), groups.end(),
                                       [&](const auto& g) { return g.front() == type; });
        if (led || taken)
            continue;
        std::vector<DeblurType> group{type};
        for (DeblurType other : deblurTypes)
            if (yields(type, other) && std::find(group.begin(), group.end(), other) == group.end())
                group.push_back(other);
        groups.push_back(std::move(group));
    }
    queuePreviewBatch([&] {
        for (const std::vector<DeblurType>& group : groups)
            for (int step = 1; step <= radiusMaxStep; ++step) {
                std::vector<DeblurredEntry> entries;
                for (DeblurType type : group) entries.push_back(entryOf(type, step));
                mPreviewQueue->async(
                    [this, entries, section] { queueDeblurPreviewStep(entries, section); });
            }
    });
}

void Session::deblurPreviewAngleStep(int radiusStep, DeblurType deblurType,
                                     const BlurKernel& kernel, const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusStep > 0);
    queuePreviewBatch([&] {
        mPreviewQueue->async(
            [this, entry = UnmaskedEntry(deblurType, radiusStep, kernel, mBrightnessOnly),
             section] { queueDeblurPreviewStep({entry}, section); });
    });
}

void Session::deblurPreviewUpToStep(int radiusMaxStep, DeblurType deblurType, const Rect& section) {
    VK_CHECK(mOriginalImage);
    VK_CHECK(radiusMaxStep > 0);
    queuePreviewBatch([&] {
        for (int step = 1; step <= radiusMaxStep; ++step)
            for (int angle = 0; angle < 180; angle += 10)
                mPreviewQueue->async(
                    [this, entry = UnmaskedEntry(deblurType, step, angle, mBrightnessOnly),
                     section] { queueDeblurPreviewStep({entry}, section); });
    });
}

void Session::queueDeblurPreviewStep(const std::vector<DeblurredEntry>& entries,
                                     const Rect& section) {
    // The queue hands out no new step while three are computing; a finishing step, a stop or a
    // clearing wakes it.
    bool stopped;
    {
        std::unique_lock<std::mutex> guard(mWorkMutex);
        mWorkChanged.wait(guard, [this] {
            return mRunningPreviews - mRunningBackground < kMaxRunningPreviews ||
                   mStopPreview.load();
        });
        stopped = mStopPreview.load();
        if (!stopped)
            ++mRunningPreviews;
    }
    if (stopped) {
        for (const DeblurredEntry& entry : entries)
            sendEvent(SessionEventType::PreviewCancelled, entry);
        return;
    }
    dispatchAsync(DispatchPriority::Default,
                  [=, this] { deblurPreviewStep(entries, section, false); });
}

void Session::deblurPreviewStep(const std::vector<DeblurredEntry>& entries, const Rect& section,
                                bool background) {
    // entries[0] is computed; the others (fewer iterations of the same method) on its way.
    const DeblurredEntry& entry = entries[0];
    const int radiusStep = entry.radiusStep;
    const DeblurType deblurType = entry.deblurType;
    const BlurKernel kernel = entry.blurKernel();
    const int stopsAtStart = mPreviewStops.load();
    auto sendAll = [&](SessionEventType type) {
        for (const DeblurredEntry& e : entries) sendEvent(type, e);
    };
    const bool stopped = mStopPreview;
    if (stopped)
        sendAll(SessionEventType::PreviewCancelled);
    // Nothing to do either when other requests computed them meanwhile.
    if (stopped || std::all_of(entries.begin(), entries.end(), [this](const DeblurredEntry& e) {
            return deblurredPreviewIsDone(e);
        })) {
        endPreviewWork(mRunningPreviews, background);  // the last touch of the session
        return;
    }
    sendAll(SessionEventType::PreviewStarted);
    std::size_t finished = 0;  // entries sent as finished
    try {
        const Region region =
            clampSection(section, mOriginalImage->width(), mOriginalImage->height());
        {
            std::lock_guard<Lock> guard(mLock);
            mPreviewSection = region;
        }
        std::vector<CImage> destinations;
        destinations.reserve(entries.size());
        IterationSnapshots snapshots;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            destinations.emplace_back(region.w, region.h, mOriginalImage->depth());
            if (i > 0)
                snapshots.push_back({iterationsOf(entries[i].deblurType), &destinations[i]});
        }
        const IterationSnapshots* passing = snapshots.empty() ? nullptr : &snapshots;
        if (entry.brightnessOnly)
            deblurStepForLuminance(radiusStep, deblurType, destinations.data(), kernel,
                                   &mStopPreview, nullptr, region, passing);
        else
            dispatchApply(3, [&](std::size_t i) {
                deblurStepForChannel(radiusStep, deblurType, destinations.data(), int(i) + 1,
                                     kernel, &mStopPreview, nullptr, region, passing);
            });
        if (mStopPreview || mPreviewStops.load() != stopsAtStart) {
            // Stopped while computing: the methods that stop early leave it unfinished, and a
            // section kept for later must not show it as done.
            sendAll(SessionEventType::PreviewCancelled);
        } else {
            const auto basis = scoreBasis(region, radiusStep, kernel);
            for (std::size_t i = 0; i < entries.size(); ++i) {
                // The ranking looks at 8-bit levels, whatever the photograph's depth.
                const CandidateScore score =
                    ScoreCandidate(*basis, CImage(ImageAtDepth(destinations[i].asImage(), 8)));
                PixelPackRef packed = PixelPack::pack(*destinations[i].asImage());
                PixelPackRef previous;  // released outside the lock
                {
                    std::lock_guard<Lock> guard(mLock);
                    auto& slot = mDeblurredPreviews[entries[i]];
                    previous = std::move(slot);
                    slot = std::move(packed);
                    mPreviewScores[entries[i]] = score;
                }
                sendEvent(SessionEventType::PreviewFinished, entries[i]);
                finished = i + 1;
            }
        }
    } catch (const std::exception& e) {
        // A cell that finds no memory (or no thread) left is left empty, as if stopped; the
        // photograph, the other cells and the work done stay.
        LogWarning("preview of %s at radius %.1f stopped: %s\n", PresetLabel(deblurType),
                   radiusStep * 0.5, e.what());
        for (std::size_t i = finished; i < entries.size(); ++i)
            sendEvent(SessionEventType::PreviewCancelled, entries[i]);
    }
    // The last touch of the session.
    endPreviewWork(mRunningPreviews, background);
}

std::shared_ptr<const ScoreBasis> Session::scoreBasis(const Region& region, int radiusStep,
                                                      const BlurKernel& kernel) {
    const std::tuple key{radiusStep, kernel.image ? -1 : kernel.angle, kernel.imageFingerprint()};
    std::optional<BlurEstimate> estimate;
    {
        std::lock_guard<Lock> guard(mLock);
        if (mScoreCache.section == region) {
            const auto it = mScoreCache.bases.find(key);
            if (it != mScoreCache.bases.end())
                return it->second;
            estimate = mScoreCache.estimate;
        }
    }
    // Made outside the lock: two cells finishing together may both make them, and the first ones
    // stored are kept. The section's blur estimate is made once, with its first basis.
    const CImage original = CImage(ImageAtDepth(
        CropImage(*mOriginalImage, region.x, region.y, region.w, region.h).asImage(), 8));
    if (!estimate)
        estimate = EstimateBlur(original, Region{0, 0, region.w, region.h});
    auto basis = std::make_shared<const ScoreBasis>(original, radiusStep * 0.5, kernel,
                                                    ScoredBlurEstimate(*estimate, kernel));
    ScoreBasisCache stale;  // freed unlocked
    std::lock_guard<Lock> guard(mLock);
    if (mScoreCache.section != region) {
        std::swap(stale, mScoreCache);
        mScoreCache.section = region;
    }
    if (!mScoreCache.estimate)
        mScoreCache.estimate = estimate;
    return mScoreCache.bases.emplace(key, std::move(basis)).first->second;
}

std::size_t Session::previewCount() {
    std::lock_guard<Lock> guard(mLock);
    return mDeblurredPreviews.size();
}

bool Session::deblurredPreviewIsDone(const DeblurredEntry& entry) {
    std::lock_guard<Lock> guard(mLock);
    return mDeblurredPreviews.count(entry) != 0;
}

std::optional<CandidateScore> Session::previewScore(const DeblurredEntry& entry) {
    std::lock_guard<Lock> guard(mLock);
    const auto it = mPreviewScores.find(entry);
    return it == mPreviewScores.end() ? std::nullopt : std::optional(it->second);
}

std::vector<DeblurredEntry> Session::bestPreviews(std::size_t count) {
    std::vector<DeblurredEntry> entries;
    std::vector<CandidateScore> scores;
    {
        std::lock_guard<Lock> guard(mLock);
        for (const auto& [entry, score] : mPreviewScores) {
            entries.push_back(entry);
            scores.push_back(score);
        }
    }
    // Equal totals keep the entries' order: the cheaper preset and smaller step first.
    const std::vector<std::size_t> order =
        RankCandidates(scores, kScoreWeights, PlainVariantIndices(entries));
    std::vector<DeblurredEntry> best;
    for (std::size_t i = 0; i < std::min(count, order.size()); ++i)
        best.push_back(entries[order[i]]);
    return best;
}

bool Session::previewsHaveLittleToGain() {
    std::vector<CandidateScore> scores;
    {
        std::lock_guard<Lock> guard(mLock);
        for (const auto& [entry, score] : mPreviewScores) scores.push_back(score);
    }
    return LittleToGain(scores);
}

ImageRef Session::storedPreview(const DeblurredEntry& entry, Region& section) {
    PixelPackRef packed;
    {
        std::lock_guard<Lock> guard(mLock);
        auto it = mDeblurredPreviews.find(entry);
        if (it == mDeblurredPreviews.end())
            return nullptr;
        packed = it->second;
        section = mPreviewSection;
    }
    ImageRef preview = packed->unpack();
    // A preview computed on another section than the last one cannot be matched to the original.
    if (preview &&
        !(mOriginalImage && preview->width() == section.w && preview->height() == section.h))
        section = Region{};
    return preview;
}

ImageRef Session::previewArtefactMap(const DeblurredEntry& entry) {
    Region section;
    ImageRef preview = storedPreview(entry, section);
    if (!preview || section.w == 0)
        return nullptr;
    return ArtefactMap(
        CImage(ImageAtDepth(
            CropImage(*mOriginalImage, section.x, section.y, section.w, section.h).asImage(), 8)),
        CImage(ImageAtDepth(preview, 8)), entry.radiusStep * 0.5, entry.blurKernel());
}

ImageRef Session::deblurredPreview(const DeblurredEntry& entry, float maskRadius, int maskType,
                                   float maskOpacity, float maskCrudeness) {
    Region section;
    ImageRef preview = storedPreview(entry, section);
    if (preview && section.w > 0)
        CreateMask(mOriginalImage->asImage(), preview, section.x, section.y, section.w, section.h,
                   maskType, 1, maskRadius, maskOpacity, maskCrudeness);
    return preview;
}

}  // namespace velkaro
