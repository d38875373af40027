#pragma once

// Independent machinery for checking the least-squares deconvolution: the blur written out as a
// dense matrix straight from the kernel (mirrored borders without repeating the edge pixel), the
// objective ½‖A·x − b‖², the Frank–Wolfe gap that bounds how far a point is from the optimum, and
// a reference solver for the box-constrained problem whose optimality that gap certifies.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Filter.h"
#include "ImageIO.h"
#include "Matrix.h"

extern "C" void dposv_(const char* uplo, const int* n, const int* nrhs, double* a, const int* lda,
                       double* b, const int* ldb, int* info);

namespace lsq_test {

using Vec = std::vector<double>;

// Row-major dense n × n matrix.
struct Dense {
    int n = 0;
    Vec a;
    double operator()(int i, int j) const { return a[std::size_t(i) * n + j]; }
};

inline Vec kernelValues(double radius, int angle, int& size) {
    size = SizeForFilter(radius, angle);
    Matrix k(size, size);
    GenerateFilter(k, radius, angle);
    return Vec(k.roData(), k.roData() + size * size);
}

// The blur of an h × w image: output pixel (x, y) is the sum over kernel elements (i, j) of
// K(i, j) · v(mirror(x − half + j), mirror(y − half + i)).
inline Dense blurMatrix(const Vec& k, int size, int w, int h) {
    auto mirror = [](int t, int n) {
        return std::abs(t) < n ? std::abs(t) : 2 * (n - 1) - std::abs(t);
    };
    Dense A{w * h, Vec(std::size_t(w * h) * (w * h), 0.0)};
    const int half = (size - 1) / 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int i = 0; i < size; ++i)
                for (int j = 0; j < size; ++j)
                    A.a[std::size_t(y * w + x) * A.n + mirror(y - half + i, h) * w +
                        mirror(x - half + j, w)] += k[std::size_t(i) * size + j];
    return A;
}

inline Vec multiply(const Dense& A, const Vec& x) {
    Vec r(A.n, 0.0);
    for (int i = 0; i < A.n; ++i)
        for (int j = 0; j < A.n; ++j) r[i] += A(i, j) * x[j];
    return r;
}

inline Vec multiplyTransposed(const Dense& A, const Vec& x) {
    Vec r(A.n, 0.0);
    for (int i = 0; i < A.n; ++i)
        for (int j = 0; j < A.n; ++j) r[j] += A(i, j) * x[i];
    return r;
}

// ½‖A·x − b‖², straight from the definition.
inline double objective(const Dense& A, const Vec& b, const Vec& x) {
    const Vec ax = multiply(A, x);
    double s = 0;
    for (int i = 0; i < A.n; ++i) s += 0.5 * (ax[i] - b[i]) * (ax[i] - b[i]);
    return s;
}

// Frank–Wolfe gap gᵀx − min over the box 0 … 1 of gᵀz, g = Aᵀ(A·x − b): an upper bound of
// objective(x) − optimum for any x in the box.
inline double gap(const Dense& A, const Vec& b, const Vec& x) {
    Vec r = multiply(A, x);
    for (int i = 0; i < A.n; ++i) r[i] -= b[i];
    const Vec g = multiplyTransposed(A, r);
    double s = 0;
    for (int i = 0; i < A.n; ++i) s += g[i] * x[i] - std::min(g[i], 0.0);
    return s;
}

// Solves M·d = r for the symmetric positive semi-definite M (m × m) by Cholesky, with a small
// ridge that keeps flat directions finite.
inline Vec choleskySolve(Vec M, Vec r, int m) {
    double maxDiag = 0;
    for (int i = 0; i < m; ++i) maxDiag = std::max(maxDiag, M[std::size_t(i) * m + i]);
    for (int i = 0; i < m; ++i) M[std::size_t(i) * m + i] += 1e-13 * maxDiag + 1e-300;
    const int one = 1;
    int info = 0;
    if (m > 0)
        dposv_("L", &m, &one, M.data(), &m, r.data(), &m, &info);
    if (info != 0)
        std::abort();
    return r;
}

// Reference optimum: projected Newton on the ε-active set (exact reduced solves, Bertsekas 1982)
// with an Armijo search along the projection arc, run until the Frank–Wolfe gap certifies it.
inline Vec referenceSolve(const Dense& A, const Vec& b, Vec x, double* certifiedGap) {
    const int n = A.n;
    Dense H{n, Vec(std::size_t(n) * n, 0.0)};  // AᵀA
    for (int r = 0; r < n; ++r)
        for (int i = 0; i < n; ++i)
            for (int j = 0; A(r, i) != 0 && j < n; ++j)
                H.a[std::size_t(i) * n + j] += A(r, i) * A(r, j);
    for (double& v : x) v = std::clamp(v, 0.0, 1.0);
    double f = objective(A, b, x);
    for (int iter = 0; iter < 200 && gap(A, b, x) > 1e-15 * (1 + f); ++iter) {
        Vec g = multiply(A, x);
        for (int i = 0; i < n; ++i) g[i] -= b[i];
        g = multiplyTransposed(A, g);
        double pgNorm = 0;
        for (int i = 0; i < n; ++i) pgNorm += std::pow(x[i] - std::clamp(x[i] - g[i], 0.0, 1.0), 2);
        const double eps = std::min(1e-3, std::sqrt(pgNorm));
        std::vector<int> freeSet;
        Vec d(n, 0.0);
        for (int i = 0; i < n; ++i) {
            if ((x[i] <= eps && g[i] > 0) || (x[i] >= 1 - eps && g[i] < 0))
                d[i] = -g[i] / std::max(H(i, i), 1e-12);
            else
                freeSet.push_back(i);
        }
        const int m = int(freeSet.size());
        Vec M(std::size_t(m) * m), r(m);
        for (int a = 0; a < m; ++a) {
            r[a] = -g[freeSet[a]];
            for (int c = 0; c < m; ++c) M[std::size_t(a) * m + c] = H(freeSet[a], freeSet[c]);
        }
        const Vec dF = choleskySolve(std::move(M), std::move(r), m);
        for (int a = 0; a < m; ++a) d[freeSet[a]] = dF[a];
        bool moved = false;
        for (double alpha = 1; alpha > 1e-20; alpha *= 0.5) {
            Vec xn(n);
            double decrease = 0;
            for (int i = 0; i < n; ++i) {
                xn[i] = std::clamp(x[i] + alpha * d[i], 0.0, 1.0);
                decrease += g[i] * (xn[i] - x[i]);
            }
            const double fn = objective(A, b, xn);
            if (fn <= f + 1e-4 * decrease && fn <= f) {
                moved = fn < f;
                x = std::move(xn);
                f = fn;
                break;
            }
        }
        if (!moved)
            break;
    }
    *certifiedGap = gap(A, b, x);
    return x;
}

inline Vec toVec(const Matrix& m) {
    return Vec(m.roData(), m.roData() + m.rows());
}

inline void fromVec(Matrix& m, const Vec& v) {
    std::copy(v.begin(), v.end(), m.rwData());
}

// A random observed channel: a random sharp channel partly outside the box, blurred, plus noise.
inline Vec randomObservation(const Dense& A, std::mt19937& rng, double noise) {
    std::uniform_real_distribution<double> sharp(-0.15, 1.15);
    std::normal_distribution<double> gauss(0.0, noise);
    Vec xs(A.n);
    for (double& v : xs) v = sharp(rng);
    Vec b = multiply(A, xs);
    for (double& v : b) v = std::clamp(v + gauss(rng), 0.0, 1.0);
    return b;
}

inline CImage loadSample(const char* name) {
    ImageRef image =
        ImageIO::sharedInstance().readFromFile(std::string(VELKARO_TEST_DATA_DIR) + "/" + name);
    return image ? CImage(image) : CImage();
}

}  // namespace lsq_test
