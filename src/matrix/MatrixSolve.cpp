#include "MatrixSolve.h"

#include <vector>

#include "Blas.h"
#include "Check.h"

namespace velkaro {

extern "C" void dgesv_(int* n, int* nrhs, double* a, int* lda, int* ipiv, double* b, int* ldb,
                       int* info);

int MatrixSolve(Matrix& b, const Matrix& a) {
    const int m = a.rows();
    VK_CHECK(a.columns() == m);
    VK_CHECK(b.rows() == m && b.columns() == 1);
    // LAPACK wants the coefficients column by column.
    std::vector<double> columnMajor(std::size_t(m) * m);
    const double* ad = a.roData();
    for (int l = 0; l < m; ++l)
        for (int k = 0; k < m; ++k)
            columnMajor[std::size_t(k) * m + l] = ad[std::size_t(l) * m + k];
    std::vector<int> pivots(m, 0);
    // Serial: callers are pool tasks beside others, and OpenBLAS's threaded LU recurses with about
    // half a megabyte of stack per level (eight levels for 378 unknowns), where the serial one
    // needs a few hundred kilobytes at most.
    UseSerialBlas();
    int n = m, nrhs = 1, lda = m, ldb = m, info = 0;
    dgesv_(&n, &nrhs, columnMajor.data(), &lda, pivots.data(), b.rwData(), &ldb, &info);
    return info;
}

}  // namespace velkaro
