#include "MatrixMultiply.h"

#include <algorithm>
#include <cstdio>

#include "Blas.h"
#include "Check.h"
#include "Dispatch.h"
#include "Log.h"
#include "MatrixFilter.h"
#include "MatrixOps.h"
#include "Timer.h"
#include "Vector.h"

namespace velkaro {

namespace {

// Dense operands from this many elements on skip BLAS for a loop over the non-zeros of a.
constexpr int kBlasLimit = 200000000;

void FilterMultiply(Matrix& c, const Matrix& a, const Matrix& b) {
    const double* bv = b.roData();
    double* cv = c.rwData();
    const int p = b.columns();
    const int h = a.dataRows();
    if ((p == 1 || p == 2) && FilterUsesTransform(a)) {
        // Bands of image rows through the spectral correlation; each writes only its own rows.
        const FilterTransform transform(a, false, p);
        const int band = transform.bandRows();
        const int bands = (h + band - 1) / band;
        dispatchApply(std::size_t(bands), [&](std::size_t k) {
            const int y0 = int(k) * band;
            transform.gatherBand(cv, bv, y0, std::min(h, y0 + band));
        });
        return;
    }
    if (p == 1 || p == 2) {
        // One iteration per image row; each writes only its own row of c.
        dispatchApply(std::size_t(h),
                      [&](std::size_t y) { FilterGatherImageRow(cv, a, bv, p, int(y)); });
        return;
    }
    for (int y = 0; y < h; ++y) FilterGatherImageRow(cv, a, bv, p, y);
}

void DenseTimesDiagonal(Matrix& c, const Matrix& a, const Matrix& b) {
    const double* av = a.roData();
    const double* d = b.roDiagonalData();
    double* cv = c.rwData();
    const std::int64_t n = a.columns();
    for (std::int64_t r = 0; r < a.rows(); ++r)
        VectorMultiply(av + r * n, 1, d, 1, cv + r * n, 1, n);
}

void DenseTimesDense(Matrix& c, const Matrix& a, const Matrix& b) {
    const double* av = a.roData();
    const double* bv = b.roData();
    double* cv = c.rwData();
    if (a.count() < kBlasLimit && b.count() < kBlasLimit) {
        Timer timer;
        timer.start();
        UseSerialBlas();
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, a.rows(), b.columns(), a.columns(),
                    1.0, av, a.columns(), bv, b.columns(), 0.0, cv, c.columns());
        const double seconds = timer.elapsed();
        if (seconds > 0.1)
            LogInfo("multiplied %p[%dx%d] by %p[%dx%d], took %.1f seconds, zeros: %.2f%% %.2f%%\n",
                    static_cast<const void*>(&a), a.rows(), a.columns(),
                    static_cast<const void*>(&b), b.rows(), b.columns(), seconds,
                    100 * ProportionOfZeros(a), 100 * ProportionOfZeros(b));
        return;
    }
    c.loadZeros();
    const std::int64_t k = a.columns();
    const std::int64_t n = b.columns();
    for (std::int64_t r = 0; r < a.rows(); ++r)
        for (std::int64_t j = 0; j < k; ++j) {
            const double v = av[r * k + j];
            if (v != 0)
                VectorScaledAdd(cv + r * n, bv + j * n, v, n);
        }
}

void DiagonalTimesDense(Matrix& c, const Matrix& a, const Matrix& b) {
    VK_CHECK(c.columns() == 1 || c.columns() == 2);
    const double* d = a.roDiagonalData();
    const double* bv = b.roData();
    double* cv = c.rwData();
    const std::int64_t n = a.rows();
    if (c.columns() == 1) {
        VectorMultiply(d, 1, bv, 1, cv, 1, n);
        return;
    }
    VectorMultiply(d, 1, bv, 2, cv, 2, n);
    VectorMultiply(d, 1, bv + 1, 2, cv + 1, 2, n);
}

}  // namespace

void MatrixMultiply(Matrix& c, const Matrix& a, const Matrix& b) {
    VK_CHECK(c.rows() == a.rows());
    VK_CHECK(c.columns() == b.columns());
    VK_CHECK(a.columns() == b.rows());
    VK_CHECK(&c != &a);
    VK_CHECK(&c != &b);
    if (a.isFilter())
        FilterMultiply(c, a, b);
    else if (b.isDiagonal())
        DenseTimesDiagonal(c, a, b);
    else if (a.isDiagonal())
        DiagonalTimesDense(c, a, b);
    else
        DenseTimesDense(c, a, b);
}

}  // namespace velkaro
