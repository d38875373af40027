#include "MatrixFilter.h"

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

}  // namespace

void FilterGatherImageRow(double* c, const Matrix& a, const double* b, int p, int y) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int fr = a.filterRows();
    const int fc = a.filterColumns();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const double* kernel = a.filter();
    const std::int64_t rowSize = std::int64_t(w) * p;
    double* __restrict cRow = c + std::int64_t(y) * rowSize;
    for (std::int64_t n = 0; n < rowSize; ++n) cRow[n] = 0;
    for (int i = 0; i < fr; ++i) {
        const double* bRow = b + std::int64_t(MirrorIndex(y - hr + i, h)) * rowSize;
        for (int j = 0; j < fc; ++j) {
            const double k = kernel[i * fc + j];
            if (k == 0)
                continue;
            int lo, hi;
            DirectRange(lo, hi, j, hc, w);
            for (int x = 0; x < lo; ++x)
                VectorScaledAdd(cRow + std::int64_t(x) * p,
                                bRow + std::int64_t(MirrorIndex(x - hc + j, w)) * p, k, p);
            VectorScaledAdd(cRow + std::int64_t(lo) * p, bRow + std::int64_t(lo - hc + j) * p, k,
                            std::int64_t(hi - lo) * p);
            for (int x = hi; x < w; ++x)
                VectorScaledAdd(cRow + std::int64_t(x) * p,
                                bRow + std::int64_t(MirrorIndex(x - hc + j, w)) * p, k, p);
        }
    }
}

void FilterScatterImageRow(double* c, const Matrix& a, const double* b, int p, int y) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int fr = a.filterRows();
    const int fc = a.filterColumns();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const double* kernel = a.filter();
    const std::int64_t rowSize = std::int64_t(w) * p;
    const double* bRow = b + std::int64_t(y) * rowSize;
    for (int i = 0; i < fr; ++i) {
        double* cRow = c + std::int64_t(MirrorIndex(y - hr + i, h)) * rowSize;
        for (int j = 0; j < fc; ++j) {
            const double k = kernel[i * fc + j];
            if (k == 0)
                continue;
            int lo, hi;
            DirectRange(lo, hi, j, hc, w);
            for (int x = 0; x < lo; ++x)
                VectorScaledAdd(cRow + std::int64_t(MirrorIndex(x - hc + j, w)) * p,
                                bRow + std::int64_t(x) * p, k, p);
            VectorScaledAdd(cRow + std::int64_t(lo - hc + j) * p, bRow + std::int64_t(lo) * p, k,
                            std::int64_t(hi - lo) * p);
            for (int x = hi; x < w; ++x)
                VectorScaledAdd(cRow + std::int64_t(MirrorIndex(x - hc + j, w)) * p,
                                bRow + std::int64_t(x) * p, k, p);
        }
    }
}
