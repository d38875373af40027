#pragma once

#include <atomic>
#include <functional>

#include "BlurEstimate.h"
#include "Image.h"
#include "MethodProgress.h"

namespace velkaro {

// The kernel of a clicked section, as the window and the command-line tool both choose it: the
// parametric disc or line, or the blind estimate's kernel when it explains the section clearly
// better (both confidences are the same share of the spectrum's no-blur misfit, so they compare).

// A disc or line at least this confident is offered at once and then weighed against one blind
// search: started from the line, or from nothing for the disc.
constexpr double kConfidentFit = 0.5;
// How much more of the misfit a blind kernel must explain to replace a poor disc or line fit.
constexpr double kShakeMargin = 0.05;
// A confident disc or line is replaced only by a kernel that leaves at most this share of the
// misfit it leaves. Started from a straight streak, the blind search ends near it: of 40 streaks
// (12 photographs, 9 to 22 pixels) two left less, 0.68 and 0.75, and were 0.2 and 0.4 dB worse than
// the line. Of 39 shakes a line fitted well, the 14 curves found left 0.47 to 0.76; 11 of them
// were 0.3 to 4.4 dB better than the line, 3 up to 1.2 dB worse. No share parts the two: at 0.75
// one streak more would stay a line, and so would two of 100 held-out shakes, 1.6 and 1.8 dB
// worse for it. The 21 discs (radius 2 to 7) of calibrate_score --families on seven sets of
// three photographs all stay discs with it, searched on from nothing.
constexpr double kConfidentFitMisfit = 0.8;
// Bounds of the blind estimate's kernel square: the larger one when the disc or line found is too
// wide to leave room around it in the smaller (whose search tries a larger square itself when it
// finds little).
constexpr int kShakeSize = 31;
constexpr int kLargeShakeSize = 63;

// The disc or line of a parametric estimate as a kernel image (null for None or Shake).
KernelImageRef KernelOfEstimate(const BlurEstimate& estimate);
// The blind estimate's size bound for a section whose parametric fit is `fit`.
int ShakeSizeBound(const BlurEstimate& fit);
// The blind estimate of the region's kernel as a Shake estimate whose row is the kernel's own
// radius; None when no blur is found or when stopped. `fit` sets the size bound and, when a
// confident line, is the search's start.
BlurEstimate EstimateShakeSection(const CImage& image, const Region& region,
                                  const BlurEstimate& fit,
                                  const std::atomic<bool>* cancel = nullptr,
                                  const MethodProgress* progress = nullptr);
// The region's blur: the parametric fit, or the blind estimate where its searches explain the
// section clearly better (ShakeEstimate::searchConfidence, by kShakeMargin than a poor disc or
// line fit, by kConfidentFitMisfit than a confident one). `progress` hears of the blind estimate
// only. `provisional` hears of a confident disc or line before the blind search that may replace it
// runs, so that a caller can use it meanwhile.
using ProvisionalEstimate = std::function<void(const BlurEstimate&)>;
BlurEstimate EstimateSectionKernel(const CImage& image, const Region& region,
                                   const std::atomic<bool>* cancel = nullptr,
                                   const MethodProgress* progress = nullptr,
                                   const ProvisionalEstimate* provisional = nullptr);

}  // namespace velkaro
