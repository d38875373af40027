#include "MatrixOps.h"

#include <algorithm>
#include <cmath>

#include "Check.h"
#include "MatrixFilter.h"

namespace velkaro {

namespace {

// The three-operand element loop c = f(b, a) with its shape checks.
template <typename F>
void ElementWise3(Matrix& c, const Matrix& b, const Matrix& a, F f) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(c.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    VK_CHECK(c.columns() == a.columns());
    const double* av = a.roData();
    const double* bv = b.roData();
    double* cv = c.rwData();
    const int n = c.count();
    for (int k = 0; k < n; ++k) cv[k] = f(bv[k], av[k]);
}

// The two-operand element loop b = f(a) with its shape checks.
template <typename F>
void ElementWise2(Matrix& b, const Matrix& a, F f) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    const double* av = a.roData();
    double* bv = b.rwData();
    const int n = b.count();
    for (int k = 0; k < n; ++k) bv[k] = f(av[k]);
}

}  // namespace

void MatrixAdd(Matrix& c, const Matrix& b, const Matrix& a) {
    if (!a.isDiagonal()) {
        ElementWise3(c, b, a, [](double x, double y) { return x + y; });
        return;
    }
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(c.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    VK_CHECK(c.columns() == a.columns());
    const double* d = a.roDiagonalData();
    if (&c != &b)
        MatrixCopy(c, b);
    double* cv = c.rwData();
    const int n = a.rows();
    for (int i = 0; i < n; ++i) cv[std::int64_t(i) * n + i] += d[i];
}

void MatrixScaledAdd(Matrix& c, const Matrix& b, const double& s, const Matrix& a) {
    const double scale = s;  // s may live in an operand
    ElementWise3(c, b, a, [scale](double x, double y) { return x + scale * y; });
}

void MatrixScalarMulAdd(Matrix& b, const Matrix& a, double s, double t) {
    if (t == 0)
        ElementWise2(b, a, [s](double x) { return x * s; });
    else
        ElementWise2(b, a, [s, t](double x) { return s * x + t; });
}

void MatrixComponentMultiply(Matrix& c, const Matrix& b, const Matrix& a) {
    ElementWise3(c, b, a, [](double x, double y) { return x * y; });
}

void MatrixComponentDivide(Matrix& c, const Matrix& b, const Matrix& a) {
    ElementWise3(c, b, a, [](double x, double y) { return x / y; });
}

void MatrixAbsolute(Matrix& b, const Matrix& a) {
    ElementWise2(b, a, [](double x) { return std::fabs(x); });
}

void MatrixSquareRoot(Matrix& b, const Matrix& a) {
    ElementWise2(b, a, [](double x) { return std::sqrt(x); });
}

void MatrixSquareRootAbsolute(Matrix& b, const Matrix& a) {
    ElementWise2(b, a, [](double x) { return std::sqrt(std::fabs(x)); });
}

void MatrixNegate(Matrix& b, const Matrix& a) {
    ElementWise2(b, a, [](double x) { return -x; });
}

void MatrixSign(Matrix& b, const Matrix& a) {
    ElementWise2(b, a, [](double x) { return x < 0 ? -1.0 : (x > 0 ? 1.0 : 0.0); });
}

void MatrixCopy(Matrix& b, const Matrix& a) {
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(b.columns() == a.columns());
    VK_CHECK(&b != &a);
    const double* av = a.roData();
    std::copy(av, av + a.count(), b.rwData());
}

void MatrixTranspose(Matrix& b, const Matrix& a) {
    VK_CHECK(&a != &b);
    VK_CHECK(a.rows() == b.columns());
    VK_CHECK(a.columns() == b.rows());
    const double* av = a.roData();
    double* bv = b.rwData();
    const int r = a.rows(), c = a.columns();
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) bv[std::int64_t(j) * r + i] = av[std::int64_t(i) * c + j];
}

void MatrixDediagonalize(Matrix& b, const Matrix& a) {
    VK_CHECK(b.columns() == 1);
    VK_CHECK(b.rows() == a.rows());
    VK_CHECK(a.columns() == a.rows());
    double* bv = b.rwData();
    const int n = a.rows();
    if (a.isDiagonal()) {
        const double* d = a.roDiagonalData();
        std::copy(d, d + n, bv);
        return;
    }
    const double* av = a.roData();
    for (int i = 0; i < n; ++i) bv[i] = av[std::int64_t(i) * n + i];
}

void MatrixFull(Matrix& b, const Matrix& a) {
    VK_CHECK(a.isFilter());
    VK_CHECK(a.rows() == b.rows());
    VK_CHECK(a.columns() == b.columns());
    b.loadZeros();
    double* bv = b.rwData();
    const int n = a.rows();
    Matrix::GeneratorState s(a, 0);
    for (int i = 0; i < n; ++i) {
        a.generateNextRow(s);
        double* row = bv + std::int64_t(i) * n;
        for (int e = 0; e < s.entryCount; ++e)
            row[s.entries[e].column + s.shift] += s.entries[e].value;
    }
}

void MatrixCrop(Matrix& dst, const Matrix& src, int x, int y, int w, int h) {
    const int c = w * h;
    VK_CHECK(dst.count() == c);
    // The source may be smaller than the window: its coordinates are clamped.
    (void)src.count();
    const double* sv = src.roData();
    double* dv = dst.rwData();
    const int sr = src.rows(), sc = src.columns();
    for (int r = 0; r < h; ++r) {
        const int yy = std::clamp(y - (h - 1) / 2 + r, 0, sr - 1);
        for (int k = 0; k < w; ++k) {
            const int xx = std::clamp(x - (w - 1) / 2 + k, 0, sc - 1);
            dv[std::int64_t(r) * w + k] = sv[std::int64_t(yy) * sc + xx];
        }
    }
}

double CompareMatrix(const Matrix& a, const Matrix& b) {
    VK_CHECK(a.rows() == b.rows());
    VK_CHECK(a.columns() == b.columns());
    const double* av = a.roData();
    const double* bv = b.roData();
    const int n = a.count();
    double m = 0;
    for (int k = 0; k < n; ++k) m = std::max(m, std::fabs(av[k] - bv[k]));
    return m;
}

double MatrixSum(const Matrix& a) {
    const double* av = a.roData();
    const int n = a.count();
    double s = 0;
    for (int k = 0; k < n; ++k) s += av[k];
    return s;
}

double MatrixMaximum(const Matrix& a) {
    const double* av = a.roData();
    const int n = a.count();
    double m = av[0];
    for (int k = 1; k < n; ++k)
        if (av[k] > m)
            m = av[k];
    return m;
}

double MatrixMinimum(const Matrix& a) {
    const double* av = a.roData();
    const int n = a.count();
    double m = av[0];
    for (int k = 1; k < n; ++k)
        if (av[k] < m)
            m = av[k];
    return m;
}

double norm(const Matrix& x) {
    VK_CHECK(x.columns() == 1);
    const double* v = x.roData();
    const int n = x.count();
    double s = 0;
    for (int k = 0; k < n; ++k) s += v[k] * v[k];
    return std::sqrt(s);
}

double norminf(const Matrix& x) {
    VK_CHECK(x.columns() == 1);
    const double* v = x.roData();
    const int n = x.count();
    double m = 0;
    for (int k = 0; k < n; ++k) m = std::max(m, std::fabs(v[k]));
    return m;
}

int CountZeros(const Matrix& a) {
    const double* av = a.roData();
    const int n = a.count();
    int zeros = 0;
    for (int k = 0; k < n; ++k) zeros += av[k] == 0.0;
    return zeros;
}

double ProportionOfZeros(const Matrix& a) {
    return double(CountZeros(a)) / a.count();
}

}  // namespace velkaro
