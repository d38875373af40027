#include "MatrixFilter.h"

#include <algorithm>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Check.h"
#include "Vector.h"

Matrix::GeneratorState::GeneratorState(const Matrix& f, int startRow) {
    VK_CHECK(f.mFilter);
    entries = std::make_unique<Entry[]>(std::size_t(f.mFilterRows) * f.mFilterColumns);
    const int w = f.mDataColumns;
    y = startRow / w;
    x = startRow % w - 1;
}

void Matrix::generateNextRow(GeneratorState& s) const {
    VK_CHECK(mFilter);
    const int w = mDataColumns;
    const int h = mDataRows;
    const int hc = mFilterHalfColumns;
    const int hr = mFilterHalfRows;
    if (++s.x == w) {
        s.x = 0;
        ++s.y;
    }
    const bool interior = s.x - hc >= 0 && s.x + hc < w && s.y - hr >= 0 && s.y + hr < h;
    if (interior) {
        if (s.reusable) {
            // The next pixel to the right: the same weights, every column one larger.
            ++s.shift;
            return;
        }
        s.reusable = true;
    } else {
        s.reusable = false;
    }
    s.entryCount = 0;
    s.shift = 0;
    for (int i = 0; i < mFilterRows; ++i) {
        const int yy = MirrorIndex(s.y - hr + i, h);
        for (int j = 0; j < mFilterColumns; ++j) {
            const double k = mFilter[i * mFilterColumns + j];
            if (k == 0)
                continue;  // NaN is kept
            const int xx = MirrorIndex(s.x - hc + j, w);
            s.entries[s.entryCount++] = {k, yy * w + xx};
        }
    }
}

namespace {

// For kernel column j, the pixels x of an image row whose neighbour x − hc + j lies inside the
// row: lo ≤ x < hi. The others mirror.
inline void DirectRange(int& lo, int& hi, int j, int hc, int w) {
    lo = hc - j > 0 ? (hc - j < w ? hc - j : w) : 0;
    hi = w + hc - j < w ? w + hc - j : w;
    if (hi < lo)
        hi = lo;
}

// Pixels per block of the row products.
constexpr int kBlockPixels = 256;

// One image row of a filter product, by kernel element: for every non-zero K(i, j), pixel x of
// the output row (gather) or of the input row (scatter) pairs with pixel x − hc + j, mirrored, of
// the image row y − hr + i, mirrored. The pixels whose partner lies inside the row form one
// contiguous run of multiply-adds.
template <bool kScatter>
[[gnu::always_inline]] inline void FilterImageRow(double* c, const Matrix& a, const double* b,
                                                  int p, int y) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int fr = a.filterRows();
    const int fc = a.filterColumns();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const double* kernel = a.filter();
    const std::int64_t rowSize = std::int64_t(w) * p;
    if (!kScatter)
        std::fill(c + y * rowSize, c + (y + 1) * rowSize, 0.0);
    // Blocks of pixels keep the output and the input rows of a block in the first-level cache
    // while every kernel element passes over them; each output still sums its kernel elements in
    // row order.
    for (int x0 = 0; x0 < w; x0 += kBlockPixels) {
        const int x1 = std::min(w, x0 + kBlockPixels);
        for (int i = 0; i < fr; ++i) {
            const int yy = MirrorIndex(y - hr + i, h);
            double* cRow = c + (kScatter ? yy : y) * rowSize;
            const double* bRow = b + (kScatter ? y : yy) * rowSize;
            for (int j = 0; j < fc; ++j) {
                const double k = kernel[i * fc + j];
                if (k == 0)
                    continue;
                // Output pixel x takes input pixel xx (gather); input pixel x feeds output xx
                // (scatter).
                auto add = [&](int x, int xx, std::int64_t count) {
                    if (kScatter)
                        VectorScaledAdd(cRow + std::int64_t(xx) * p, bRow + std::int64_t(x) * p, k,
                                        count);
                    else
                        VectorScaledAdd(cRow + std::int64_t(x) * p, bRow + std::int64_t(xx) * p, k,
                                        count);
                };
                int lo, hi;
                DirectRange(lo, hi, j, hc, w);
                const int a0 = std::max(x0, lo), a1 = std::min(x1, hi);
                for (int x = x0; x < std::min(x1, lo); ++x) add(x, MirrorIndex(x - hc + j, w), p);
                if (a1 > a0)
                    add(a0, a0 - hc + j, std::int64_t(a1 - a0) * p);
                for (int x = std::max(x0, hi); x < x1; ++x) add(x, MirrorIndex(x - hc + j, w), p);
            }
        }
    }
}

}  // namespace

// Built for AVX2 as well: the multiply-adds run twice as wide where the processor has it,
// with the same products and sums in the same order.
__attribute__((target_clones("avx2", "default"))) void FilterGatherImageRow(double* c,
                                                                            const Matrix& a,
                                                                            const double* b, int p,
                                                                            int y) {
    FilterImageRow<false>(c, a, b, p, y);
}

__attribute__((target_clones("avx2", "default"))) void FilterScatterImageRow(double* c,
                                                                             const Matrix& a,
                                                                             const double* b, int p,
                                                                             int y) {
    FilterImageRow<true>(c, a, b, p, y);
}

namespace {

// Spectral correlation pays from this many non-zero kernel weights on. OpenCV switches to its
// transform from 50 kernel elements on for doubles; below that it sums directly.
constexpr int kTransformMinEntries = 160;
constexpr int kTransformMinArea = 50;

cv::Mat KernelMat(const Matrix& a) {
    return cv::Mat(a.filterRows(), a.filterColumns(), CV_64F, const_cast<double*>(a.filter()));
}

// Copies image row `row` of an h × w, p-column image into dst, widened by `pad` mirrored
// pixels on each side (w + 2·pad pixels).
void CopyMirroredRow(double* dst, const double* src, int w, int p, int pad) {
    for (int u = 0; u < w + 2 * pad; ++u) {
        const double* s = src + std::int64_t(MirrorIndex(u - pad, w)) * p;
        for (int q = 0; q < p; ++q) dst[std::int64_t(u) * p + q] = s[q];
    }
}

}  // namespace

bool FilterUsesTransform(const Matrix& a) {
    const int area = a.filterRows() * a.filterColumns();
    if (area < kTransformMinArea)
        return false;
    int entries = 0;
    for (int k = 0; k < area; ++k) entries += a.filter()[k] != 0;
    return entries >= kTransformMinEntries;
}

void FilterGatherBand(double* c, const Matrix& a, const double* b, int p, int y0, int y1) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const std::int64_t rowSize = std::int64_t(w) * p;
    // The band with its mirrored neighbours: every output pixel of the band sees exactly the
    // values the generated rows use.
    cv::Mat padded(y1 - y0 + 2 * hr, w + 2 * hc, CV_64FC(p));
    for (int r = 0; r < padded.rows; ++r)
        CopyMirroredRow(padded.ptr<double>(r), b + MirrorIndex(y0 - hr + r, h) * rowSize, w, p, hc);
    cv::Mat out;
    cv::filter2D(padded, out, CV_64F, KernelMat(a), cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    for (int y = y0; y < y1; ++y) {
        const double* o = out.ptr<double>(hr + y - y0) + std::int64_t(hc) * p;
        std::copy(o, o + rowSize, c + y * rowSize);
    }
}

void FilterScatterBand(double* c, double* outside, const Matrix& a, const double* b, int p, int t0,
                       int t1) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const std::int64_t rowSize = std::int64_t(w) * p;
    // Row t of the unfolded product is the correlation of b, extended by zeros, with the kernel
    // turned by 180 degrees, at extended column s (−hc ≤ s < w + hc).
    cv::Mat padded(t1 - t0 + 2 * hr, w + 4 * hc, CV_64FC(p), cv::Scalar::all(0));
    for (int r = 0; r < padded.rows; ++r) {
        const int y = t0 - hr + r;
        if (y < 0 || y >= h)
            continue;
        std::copy(b + y * rowSize, b + (y + 1) * rowSize,
                  padded.ptr<double>(r) + std::int64_t(2 * hc) * p);
    }
    cv::Mat turned;
    cv::flip(KernelMat(a), turned, -1);
    cv::Mat out;
    cv::filter2D(padded, out, CV_64F, turned, cv::Point(-1, -1), 0, cv::BORDER_CONSTANT);
    for (int t = t0; t < t1; ++t) {
        const double* o = out.ptr<double>(hr + t - t0) + std::int64_t(hc) * p;  // s = −hc
        double* dst =
            t >= 0 && t < h ? c + t * rowSize : outside + (t < 0 ? t + hr : t - h + hr) * rowSize;
        std::copy(o + std::int64_t(hc) * p, o + std::int64_t(hc) * p + rowSize, dst);
        // Columns beyond the image fold back onto the columns they mirror.
        for (int s = -hc; s < w + hc; ++s) {
            if (s >= 0 && s < w)
                continue;
            const double* v = o + std::int64_t(s + hc) * p;
            double* d = dst + std::int64_t(MirrorIndex(s, w)) * p;
            for (int q = 0; q < p; ++q) d[q] += v[q];
        }
    }
}

void FilterFoldOutside(double* c, const double* outside, const Matrix& a, int p) {
    const int h = a.dataRows();
    const int hr = a.filterHalfRows();
    const std::int64_t rowSize = std::int64_t(a.dataColumns()) * p;
    for (int k = 0; k < 2 * hr; ++k) {
        const int t = k < hr ? k - hr : h + k - hr;
        VectorScaledAdd(c + MirrorIndex(t, h) * rowSize, outside + k * rowSize, 1.0, rowSize);
    }
}
