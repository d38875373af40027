#include "MatrixTransposedMultiply.h"

#include <algorithm>
#include <cstdio>
#include <vector>

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

constexpr int kBlasLimit = 200000000;

// Image rows per band of the parallel scatter, at least 16 and never fewer than the 2·hr rows
// that keep the writes of bands two apart disjoint.
int ScatterBandRows(const Matrix& a) {
    return std::max(16, 2 * a.filterHalfRows() + 1);
}

void FilterTransposedMultiply(Matrix& c, const Matrix& a, const Matrix& b) {
    const double* bv = b.roData();
    c.loadZeros();
    double* cv = c.rwData();
    const int p = b.columns();
    const int h = a.dataRows();
    if (p != 1 && p != 2) {
        for (int y = 0; y < h; ++y) FilterScatterImageRow(cv, a, bv, p, y);
        return;
    }
    if (FilterUsesTransform(a)) {
        // The unfolded product has h + 2·hr rows; bands of them run in parallel, then the rows
        // outside the image fold back onto the rows they mirror.
        const int hr = a.filterHalfRows();
        std::vector<double> outside(std::size_t(2 * hr) * a.dataColumns() * p);
        const FilterTransform transform(a, true, p);
        const int band = transform.bandRows();
        const int bands = (h + 2 * hr + band - 1) / band;
        dispatchApply(std::size_t(bands), [&](std::size_t k) {
            const int t0 = -hr + int(k) * band;
            transform.scatterBand(cv, outside.data(), bv, t0, std::min(h + hr, t0 + band));
        });
        transform.foldOutside(cv, outside.data());
        return;
    }
    // A band of image rows scatters into the rows of c within hr of itself. Bands of at least
    // 2·hr rows that are two apart therefore never write the same element: the even bands run in
    // parallel, then the odd ones.
    const int band = ScatterBandRows(a);
    const int bands = (h + band - 1) / band;
    for (int parity = 0; parity < 2; ++parity) {
        const int count = (bands - parity + 1) / 2;
        dispatchApply(std::size_t(count), [&](std::size_t k) {
            const int first = (2 * int(k) + parity) * band;
            const int last = std::min(h, first + band);
            for (int y = first; y < last; ++y) FilterScatterImageRow(cv, a, bv, p, y);
        });
    }
}

void DenseTransposedTimesDense(Matrix& c, const Matrix& a, const Matrix& b) {
    const double* av = a.roData();
    const double* bv = b.roData();
    double* cv = c.rwData();
    const std::int64_t n = a.rows();
    const std::int64_t ac = a.columns();
    const std::int64_t bc = b.columns();
    if (c.rows() == 1 && c.columns() == 1) {
        double s = 0;
        for (std::int64_t k = 0; k < n; ++k) s += av[k] * bv[k];
        cv[0] = s;
        return;
    }
    if (c.rows() == 2 && c.columns() == 1) {
        double s0 = 0, s1 = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            s0 += av[2 * k] * bv[k];
            s1 += av[2 * k + 1] * bv[k];
        }
        cv[0] = s0;
        cv[1] = s1;
        return;
    }
    if (c.rows() == 2 && c.columns() == 2) {
        double s[2][2] = {{0, 0}, {0, 0}};
        for (std::int64_t k = 0; k < n; ++k)
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) s[i][j] += av[2 * k + i] * bv[2 * k + j];
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) cv[2 * i + j] = s[i][j];
        return;
    }
    if (a.count() < kBlasLimit && b.count() < kBlasLimit) {
        Timer timer;
        timer.start();
        UseSerialBlas();
        cblas_dgemm(CblasRowMajor, CblasTrans, CblasNoTrans, a.columns(), b.columns(), a.rows(),
                    1.0, av, a.columns(), bv, b.columns(), 0.0, cv, c.columns());
        const double seconds = timer.elapsed();
        if (seconds > 0.1)
            LogInfo(
                "multiplied transposed %p[%dx%d] by %p[%dx%d], took %.1f seconds, zeros: %.2f%% "
                "%.2f%%\n",
                static_cast<const void*>(&a), a.rows(), a.columns(), static_cast<const void*>(&b),
                b.rows(), b.columns(), seconds, 100 * ProportionOfZeros(a),
                100 * ProportionOfZeros(b));
        return;
    }
    c.loadZeros();
    for (std::int64_t j = 0; j < ac; ++j)
        for (std::int64_t k = 0; k < n; ++k) {
            const double v = av[k * ac + j];
            if (v != 0)
                VectorScaledAdd(cv + j * bc, bv + k * bc, v, bc);
        }
}

}  // namespace

void MatrixTransposedMultiply(Matrix& c, const Matrix& a, const Matrix& b) {
    VK_CHECK(c.rows() == a.columns());
    VK_CHECK(c.columns() == b.columns());
    VK_CHECK(a.rows() == b.rows());
    VK_CHECK(&c != &a);
    VK_CHECK(&c != &b);
    if (a.isFilter())
        FilterTransposedMultiply(c, a, b);
    else
        DenseTransposedTimesDense(c, a, b);
}

}  // namespace velkaro
