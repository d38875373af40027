// The brush (soft round dabs blending a candidate into the composite) and apply-all.

#include <algorithm>
#include <cstring>

#include "Filter.h"
#include "Matrix.h"
#include "Session.h"

namespace velkaro {

namespace {

// Blends `src` into `dst` over the stroke's rectangle (x0, y0 to x1, y1) by the stroke's weights,
// from `base`: samples of the images' depth, truncated to it.
template <typename Sample>
void compositeStroke(const std::uint8_t* srcBytes, const std::uint8_t* baseBytes,
                     std::uint8_t* dstBytes, const float* weightPlane, int W, const int* rect) {
    constexpr int top = sizeof(Sample) == 1 ? 255 : 65535;
    const auto* src = reinterpret_cast<const Sample*>(srcBytes);
    const auto* base = reinterpret_cast<const Sample*>(baseBytes);
    auto* dst = reinterpret_cast<Sample*>(dstBytes);
    for (int py = rect[1]; py < rect[3]; ++py) {
        const float* weights = weightPlane + std::size_t(py) * W;
        for (int px = rect[0]; px < rect[2]; ++px) {
            const float a = weights[px];
            if (!(a > 0))
                continue;
            const std::size_t p = (std::size_t(py) * W + px) * 4;
            for (int c = 1; c <= 3; ++c) {
                const float v = float(src[p + c]) * a + float(base[p + c]) * (1 - a);
                dst[p + c] = Sample(std::clamp(int(v), 0, top));
            }
        }
    }
}

}  // namespace

void Session::startBrush() {
    if (!mReconstructedImage)
        return;
    mBrushBase.reset();
    mBrushWeights.reset();
    const int width = mReconstructedImage->width(), height = mReconstructedImage->height();
    mBrushBase = std::make_unique<CImage>(width, height, mReconstructedImage->depth());
    mBrushBase->copyFrom(*mReconstructedImage);
    mBrushWeights = std::make_unique<float[]>(std::size_t(width) * std::size_t(height));
    for (int& bound : mBrushRect) bound = -1;
}

void Session::endBrush() {
    mBrushWeights.reset();
    mBrushBase.reset();
}

void Session::applyBrush(const Image* source, float size, float opacity, int x, int y,
                         Rect* changed) {
    if (!mReconstructedImage || !source || !mBrushBase || !mBrushWeights)
        return;
    const int W = mReconstructedImage->width(), H = mReconstructedImage->height();
    if (source->width() != W || source->height() != H ||
        source->depth() != mReconstructedImage->depth())
        return;

    // The dab: the disc kernel of radius size / 2, scaled so that a cell wholly inside the disc
    // holds the opacity and a rim cell the opacity times its covered part.
    const float r = size * 0.5f;
    const int n = SizeForFilter(r, -1);
    Matrix kernel(n, n);
    GenerateFilter(kernel, r, -1);
    const float r2 = r * r;
    const double scale = double(r2) * 3.141592653589793 * double(opacity);
    double* k = kernel.rwData();
    for (int i = 0; i < n * n; ++i) k[i] *= scale;

    const int half = (n - 1) / 2;
    const int x0 = x - half, y0 = y - half;
    const int cx0 = std::max(x0, 0), cx1 = std::min(x0 + n, W);
    const int cy0 = std::max(y0, 0), cy1 = std::min(y0 + n, H);

    if (cx0 < cx1 && cy0 < cy1) {
        if (mBrushRect[0] == -1 || cx0 < mBrushRect[0])
            mBrushRect[0] = cx0;
        if (mBrushRect[1] == -1 || cy0 < mBrushRect[1])
            mBrushRect[1] = cy0;
        if (mBrushRect[2] == -1 || cx1 > mBrushRect[2])
            mBrushRect[2] = cx1;
        if (mBrushRect[3] == -1 || cy1 > mBrushRect[3])
            mBrushRect[3] = cy1;
    }
    if (changed)
        *changed = Rect{double(cx0), double(cy0), double(std::max(cx1 - cx0, 0)),
                        double(std::max(cy1 - cy0, 0))};

    for (int py = cy0; py < cy1; ++py) {
        float* weights = mBrushWeights.get() + std::size_t(py) * W;
        for (int px = cx0; px < cx1; ++px) {
            const float w = std::min(float(k[(py - y0) * n + (px - x0)]), 1.0f);
            if (w > 0)
                weights[px] = std::max(weights[px], w);
        }
    }

    // Recomposite the stroke's whole bounding box from the base, so dabs never compound.
    if (mBrushRect[0] == -1)
        return;
    if (source->depth() == 16)
        compositeStroke<std::uint16_t>(source->pixels(), mBrushBase->pixels(),
                                       mReconstructedImage->pixels(), mBrushWeights.get(), W,
                                       mBrushRect);
    else
        compositeStroke<std::uint8_t>(source->pixels(), mBrushBase->pixels(),
                                      mReconstructedImage->pixels(), mBrushWeights.get(), W,
                                      mBrushRect);
}

void Session::applyAll(const ImageRef& source) {
    if (!mReconstructedImage || !source)
        return;
    mReconstructedImage->copyFrom(CImage(source));
}

bool Session::applyAll(const DeblurredEntry& entry) {
    if (!mReconstructedImage)
        return false;
    ImageRef newest;
    PixelPackRef packed;
    if (!findDeblurred(entry, newest, packed))
        return false;
    if (newest)
        applyAll(newest);
    else
        packed->unpackInto(*mReconstructedImage->asImage());
    return true;
}

}  // namespace velkaro
