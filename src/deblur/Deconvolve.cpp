#include "Deconvolve.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "Check.h"
#include "Filter.h"
#include "Log.h"
#include "MatrixFilter.h"
#include "MatrixImage.h"
#include "MatrixMultiply.h"
#include "MatrixOps.h"
#include "Sllsbox.h"
#include "Timer.h"

namespace velkaro {

using namespace deconvolve_detail;

void deconvolve_sllsbox(const CImage& i, CImage& o, int channel, double radius, double tolerance,
                        int passes, const BlurKernel& blur, int x, int y, int w, int h,
                        double* residual, const std::atomic<bool>* cancel,
                        const MethodProgress* progress) {
    VK_CHECK(w == o.width());
    VK_CHECK(h == o.height());
    VK_CHECK(i.width() - x >= w);
    VK_CHECK(i.height() - y >= h);
    // A window starting left of or above the image would read outside it.
    VK_CHECK(x >= 0);
    VK_CHECK(y >= 0);
    if (w <= 0 || h <= 0)
        return;

    const int n = SizeForFilter(radius, blur);
    Matrix K(n, n);
    GenerateFilter(K, radius, blur);
    const int count = w * h;
    // The observed channel b is read into the result: the direct solve starts from it and needs
    // no copy of it once its linear term is formed; the residual reads it again.
    auto result = std::make_unique<Matrix>(count, 1);
    ImageToMatrix(*result, i, channel, x, y, w, h);
    if (cancelled(cancel))
        return;

    // One pixel, or a window the kernel's mirrored reach crosses more than once, is outside the
    // blur model: the channel is passed through as read.
    const int half = (n - 1) / 2;
    if (count < 2 || half > w - 1 || half > h - 1) {
        const std::size_t sampleBytes = std::size_t(i.bytesPerPixel() / 4);
        for (int r = 0; r < h; ++r)
            for (int k = 0; k < w; ++k)
                std::memcpy(o.pixelAt(k, r) + channel * sampleBytes,
                            i.pixelAt(x + k, y + r) + channel * sampleBytes, sampleBytes);
        return;
    }

    Matrix A(count, count, K.rwData(), n, n, h, w);
    Timer timer;
    if (passes <= 0) {
        timer.start();
        sllsbox(*result, A, *result, *result, tolerance, 2000, cancel, w, h, nullptr, progress);
        LogInfo("sllsbox channel %d direct took %.2f seconds\n", channel, timer.elapsed());
    } else {
        const std::unique_ptr<Matrix> b = std::move(result);
        result = std::make_unique<Matrix>(count, 1);
        result->loadZeros();
        Matrix xk(count, 1), start(count, 1);
        const double step = 1.0 / passes;
        for (int k = 0; k <= passes; ++k) {
            start.fill(k * step);
            timer.start();
            // Each solve is its share of the whole.
            const MethodProgress passProgress = [&](const MethodProgressStep& s) {
                ReportProgress(progress, (k + s.fraction) / (passes + 1), s.iteration, 0);
            };
            sllsbox(xk, A, *b, start, tolerance, 2000, cancel, w, h, nullptr,
                    progress ? &passProgress : nullptr);
            LogInfo("sllsbox pass %d took %.2f seconds\n", k, timer.elapsed());
            MatrixAdd(*result, *result, xk);
            if (cancelled(cancel))
                return;
        }
        MatrixScalarMulAdd(*result, *result, 1.0 / (passes + 1), 0);
    }
    MatrixToImage(o, channel, *result);

    if (!cancelled(cancel) && residual) {
        LogInfo("calculating residual...\n");
        timer.start();
        Matrix r(count, 1), b(count, 1);
        ImageToMatrix(b, i, channel, x, y, w, h);
        MatrixMultiply(r, A, *result);
        MatrixNegate(r, r);
        MatrixAdd(r, r, b);
        MatrixComponentMultiply(r, r, r);
        *residual = MatrixSum(r);
        LogInfo("\t took %.2f seconds\n", timer.elapsed());
    }
}

std::int64_t deconvolve_sllsbox_mem_usage(const CImage& i, const CImage& o, int channel,
                                          double radius, double tolerance, int passes,
                                          const BlurKernel& blur, int x, int y, int w, int h,
                                          double* residual) {
    (void)i;
    (void)channel;
    (void)tolerance;
    (void)passes;
    (void)x;
    (void)y;
    (void)residual;
    const int n = SizeForFilter(radius, blur);
    const int kernelElements = n * n;
    // At its fullest (inside the conjugate gradients) a solve holds 14 vectors of w·h doubles:
    // the result, the linear term, the unreflected position, the signs, the gradient and the
    // step; the scaling and the scaled gradient; the two diagonals of the step's system; the
    // residual, direction and product of the conjugate gradients and the product's temporary.
    // A region small enough for the transform products adds their two planes.
    std::int64_t transform = 0;
    if (w >= 1 && h >= 1) {
        Matrix K(n, n);
        GenerateFilter(K, radius, blur);
        if (FilterNormalTransform::pays(K.roData(), n, n, h, w))
            transform = FilterNormalTransform::bytes(n, n, h, w);
    }
    return std::int64_t(16) * kernelElements + std::int64_t(14 * 8) * w * h +
           std::int64_t(4) * o.width() * o.height() + transform;
}

}  // namespace velkaro
