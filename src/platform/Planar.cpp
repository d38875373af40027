#include "Planar.h"

#include <algorithm>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "Check.h"
#include "PlanarFft.h"

namespace velkaro {

namespace {

// Header over a plane's memory; no copy.
cv::Mat PlaneMat(const PlanarF& p) {
    return cv::Mat(p.height, p.width, CV_32F, p.data, p.rowBytes);
}

void CheckPlane(const PlanarF& p) {
    VK_CHECK(p.data && p.width > 0 && p.height > 0);
    VK_CHECK(p.rowBytes >= std::size_t(p.width) * sizeof(float));
}

// Smallest value the blurred estimate takes as a divisor: black areas stay finite.
constexpr float kRichardsonLucyFloor = 1e-12f;

}  // namespace

void convolvePlanarF(const PlanarF& src, const PlanarF& dest, int offsetX, int offsetY,
                     const float* kernel, int kernelHeight, int kernelWidth) {
    CheckPlane(src);
    CheckPlane(dest);
    VK_CHECK(kernel && (kernelHeight & 1) == 1 && (kernelWidth & 1) == 1);
    VK_CHECK(offsetX >= 0 && offsetY >= 0 && offsetX + dest.width <= src.width &&
             offsetY + dest.height <= src.height);
    // Large kernels go through the FFT engine; OpenCV's own DFT path is slower.
    if (planarFftPays(dest.width, dest.height, kernelHeight, kernelWidth)) {
        PlanarFftConvolution(kernel, kernelHeight, kernelWidth, dest.width, dest.height)
            .apply(src, dest, offsetX, offsetY);
        return;
    }
    // filter2D on a window of a larger matrix reads the real neighbours around the window and
    // replicates only the edge of the whole matrix.
    const cv::Mat window = PlaneMat(src)(cv::Rect(offsetX, offsetY, dest.width, dest.height));
    cv::Mat out = PlaneMat(dest);
    const cv::Mat k(kernelHeight, kernelWidth, CV_32F, const_cast<float*>(kernel));
    cv::filter2D(window, out, CV_32F, k, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
    VK_CHECK(out.data == reinterpret_cast<uchar*>(dest.data));
}

void richardsonLucyPlanarF(
    const PlanarF& src, const PlanarF& dest, int offsetX, int offsetY, const float* kernel,
    int kernelHeight, int kernelWidth, int iterations,
    const std::function<bool(int done, const PlanarF& estimate)>& afterIteration) {
    CheckPlane(src);
    CheckPlane(dest);
    VK_CHECK(kernel && (kernelHeight & 1) == 1 && (kernelWidth & 1) == 1);
    VK_CHECK(offsetX >= 0 && offsetY >= 0 && offsetX + dest.width <= src.width &&
             offsetY + dest.height <= src.height);

    // The estimate is carried on the destination window widened by two kernel sizes on every
    // side, as far as the source reaches: the real neighbours shape the result near the window's
    // edges, and the approximate border of the widened window stays away from it.
    const int margin = 2 * std::max(kernelHeight, kernelWidth);
    const int x0 = std::max(0, offsetX - margin);
    const int y0 = std::max(0, offsetY - margin);
    const int x1 = std::min(src.width, offsetX + dest.width + margin);
    const int y1 = std::min(src.height, offsetY + dest.height + margin);
    const int ww = x1 - x0;
    const int wh = y1 - y0;
    const cv::Rect region(offsetX - x0, offsetY - y0, dest.width, dest.height);

    cv::Mat observed;
    PlaneMat(src)(cv::Rect(x0, y0, ww, wh)).copyTo(observed);
    double observedMax = 0;
    cv::minMaxLoc(observed, nullptr, &observedMax);
    const double ceiling = RichardsonLucyCeilingFor(observedMax);
    cv::Mat estimate = observed.clone();
    cv::Mat blurred(wh, ww, CV_32F);
    cv::Mat correction(wh, ww, CV_32F);
    const cv::Mat k(kernelHeight, kernelWidth, CV_32F, const_cast<float*>(kernel));
    cv::Mat flipped;
    cv::flip(k, flipped, -1);
    // With a large kernel both convolutions go through the FFT engine, each kernel's spectrum
    // computed once for all iterations.
    std::unique_ptr<PlanarFftConvolution> fftK, fftFlipped;
    if (planarFftPays(ww, wh, kernelHeight, kernelWidth)) {
        fftK = std::make_unique<PlanarFftConvolution>(kernel, kernelHeight, kernelWidth, ww, wh);
        fftFlipped = std::make_unique<PlanarFftConvolution>(flipped.ptr<float>(), kernelHeight,
                                                            kernelWidth, ww, wh);
    }
    auto filter = [&](const cv::Mat& from, cv::Mat& to, const cv::Mat& kmat,
                      PlanarFftConvolution* fft) {
        if (fft) {
            fft->apply(PlanarF{reinterpret_cast<float*>(from.data), ww, wh, from.step},
                       PlanarF{reinterpret_cast<float*>(to.data), ww, wh, to.step}, 0, 0);
        } else {
            cv::filter2D(from, to, CV_32F, kmat, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
        }
    };

    for (int it = 0; it < iterations; ++it) {
        filter(estimate, blurred, k, fftK.get());
        for (int r = 0; r < wh; ++r) {
            const float* o = observed.ptr<float>(r);
            float* q = blurred.ptr<float>(r);
            for (int c = 0; c < ww; ++c) q[c] = o[c] / std::max(q[c], kRichardsonLucyFloor);
        }
        filter(blurred, correction, flipped, fftFlipped.get());
        cv::multiply(estimate, correction, estimate);
        cv::min(estimate, ceiling, estimate);
        if (afterIteration) {
            const cv::Mat window = estimate(region);
            if (!afterIteration(it + 1, PlanarF{reinterpret_cast<float*>(window.data), dest.width,
                                                dest.height, window.step}))
                break;
        }
    }
    cv::Mat out = PlaneMat(dest);
    estimate(region).copyTo(out);
}

}  // namespace velkaro
