#pragma once

// Independent machinery for checking the least-squares deconvolution: a dense blur matrix built
// directly from the kernel (mirrored borders without repeating the edge pixel), the objective
// ½‖A·x − b‖² computed from it, and a reference solver for the box-constrained problem
// (projected Newton with exact reduced solves, Bertsekas 1982) whose optimality is certified by
// the Frank–Wolfe gap.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Filter.h"
#include "ImageIO.h"
#include "Matrix.h"

namespace lsq_test {

using Vec = std::vector<double>;

// Row-major dense n × n matrix.
struct Dense {
    int n = 0;
    Vec a;
    double& operator()(int i, int j) { return a[std::size_t(i) * n + j]; }
    double operator()(int i, int j) const { return a[std::size_t(i) * n + j]; }
};

inline int mirror(int t, int n) {
    const int u = std::abs(t);
    return u < n ? u : 2 * (n - 1) - u;
}

inline Vec kernelValues(double radius, int angle, int& size) {
    size = SizeForFilter(radius, angle);
    Matrix k(size, size);
    GenerateFilter(k, radius, angle);
    return Vec(k.roData(), k.roData() + size * size);
}

// The blur of an h × w image as a dense (w·h) × (w·h) matrix: output pixel (x, y) is the sum over
// kernel elements (i, j) of K(i, j) · v(mirror(x − hc + j), mirror(y − hr + i)).
inline Dense blurMatrix(const Vec& k, int size, int w, int h) {
    Dense A;
    A.n = w * h;
    A.a.assign(std::size_t(A.n) * A.n, 0.0);
    const int half = (size - 1) / 2;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int i = 0; i < size; ++i)
                for (int j = 0; j < size; ++j) {
                    const int yy = mirror(y - half + i, h), xx = mirror(x - half + j, w);
                    A(y * w + x, yy * w + xx) += k[std::size_t(i) * size + j];
                }
    return A;
}

inline Vec multiply(const Dense& A, const Vec& x) {
    Vec r(A.n, 0.0);
    for (int i = 0; i < A.n; ++i) {
        double s = 0;
        for (int j = 0; j < A.n; ++j) s += A(i, j) * x[j];
        r[i] = s;
    }
    return r;
}

inline Vec multiplyTransposed(const Dense& A, const Vec& x) {
    Vec r(A.n, 0.0);
    for (int i = 0; i < A.n; ++i)
        for (int j = 0; j < A.n; ++j) r[j] += A(i, j) * x[i];
    return r;
}

// The problem min ½‖A·x − b‖² over 0 ≤ x ≤ 1 in quadratic form: H = AᵀA, c = −Aᵀb.
struct Problem {
    Dense A;
    Vec b;
    Dense H;
    Vec c;
    double half_bb = 0;  // ½‖b‖²

    Problem(Dense a, Vec bb) : A(std::move(a)), b(std::move(bb)) {
        const int n = A.n;
        H.n = n;
        H.a.assign(std::size_t(n) * n, 0.0);
        for (int r = 0; r < n; ++r)
            for (int i = 0; i < n; ++i) {
                const double ai = A(r, i);
                if (ai == 0)
                    continue;
                for (int j = 0; j < n; ++j) H(i, j) += ai * A(r, j);
            }
        c = multiplyTransposed(A, b);
        for (double& v : c) v = -v;
        for (double v : b) half_bb += 0.5 * v * v;
    }

    // ½‖A·x − b‖², straight from the definition.
    double objective(const Vec& x) const {
        const Vec ax = multiply(A, x);
        double s = 0;
        for (int i = 0; i < A.n; ++i) s += 0.5 * (ax[i] - b[i]) * (ax[i] - b[i]);
        return s;
    }

    Vec gradient(const Vec& x) const {
        Vec g = c;
        for (int i = 0; i < H.n; ++i)
            for (int j = 0; j < H.n; ++j) g[i] += H(i, j) * x[j];
        return g;
    }

    // Frank–Wolfe gap gᵀx − min over the box of gᵀz: an upper bound of objective(x) − optimum
    // for any x in the box.
    double gap(const Vec& x) const {
        const Vec g = gradient(x);
        double s = 0;
        for (int i = 0; i < H.n; ++i) s += g[i] * x[i] - std::min(g[i], 0.0);
        return s;
    }
};

inline Vec clampBox(Vec x) {
    for (double& v : x) v = std::clamp(v, 0.0, 1.0);
    return x;
}

// Solves M·d = r for the symmetric positive semi-definite M (m × m, row-major) by Cholesky with a
// small ridge that keeps flat directions finite.
inline Vec choleskySolve(Vec M, Vec r, int m) {
    double maxDiag = 0;
    for (int i = 0; i < m; ++i) maxDiag = std::max(maxDiag, M[std::size_t(i) * m + i]);
    for (int i = 0; i < m; ++i) M[std::size_t(i) * m + i] += 1e-13 * maxDiag + 1e-300;
    for (int j = 0; j < m; ++j) {
        double d = M[std::size_t(j) * m + j];
        for (int k = 0; k < j; ++k) d -= M[std::size_t(j) * m + k] * M[std::size_t(j) * m + k];
        d = std::sqrt(std::max(d, 1e-14 * maxDiag));
        M[std::size_t(j) * m + j] = d;
        for (int i = j + 1; i < m; ++i) {
            double s = M[std::size_t(i) * m + j];
            for (int k = 0; k < j; ++k) s -= M[std::size_t(i) * m + k] * M[std::size_t(j) * m + k];
            M[std::size_t(i) * m + j] = s / d;
        }
    }
    for (int i = 0; i < m; ++i) {
        double s = r[i];
        for (int k = 0; k < i; ++k) s -= M[std::size_t(i) * m + k] * r[k];
        r[i] = s / M[std::size_t(i) * m + i];
    }
    for (int i = m - 1; i >= 0; --i) {
        double s = r[i];
        for (int k = i + 1; k < m; ++k) s -= M[std::size_t(k) * m + i] * r[k];
        r[i] = s / M[std::size_t(i) * m + i];
    }
    return r;
}

// Reference optimum: projected Newton on the ε-active set with an Armijo search along the
// projection arc, run until the Frank–Wolfe gap certifies the objective.
inline Vec referenceSolve(const Problem& p, Vec x, double* certifiedGap = nullptr) {
    const int n = p.H.n;
    x = clampBox(x);
    double f = p.objective(x);
    for (int iter = 0; iter < 200; ++iter) {
        const Vec g = p.gradient(x);
        if (p.gap(x) <= 1e-15 * (1 + f))
            break;
        double pgNorm = 0;
        for (int i = 0; i < n; ++i) {
            const double d = x[i] - std::clamp(x[i] - g[i], 0.0, 1.0);
            pgNorm += d * d;
        }
        const double eps = std::min(1e-3, std::sqrt(pgNorm));
        std::vector<int> freeSet;
        Vec d(n, 0.0);
        for (int i = 0; i < n; ++i) {
            const bool active = (x[i] <= eps && g[i] > 0) || (x[i] >= 1 - eps && g[i] < 0);
            if (active)
                d[i] = -g[i] / std::max(p.H(i, i), 1e-12);
            else
                freeSet.push_back(i);
        }
        const int m = int(freeSet.size());
        if (m > 0) {
            Vec M(std::size_t(m) * m), r(m);
            for (int a = 0; a < m; ++a) {
                r[a] = -g[freeSet[a]];
                for (int b = 0; b < m; ++b) M[std::size_t(a) * m + b] = p.H(freeSet[a], freeSet[b]);
            }
            const Vec dF = choleskySolve(std::move(M), std::move(r), m);
            for (int a = 0; a < m; ++a) d[freeSet[a]] = dF[a];
        }
        bool moved = false;
        for (double alpha = 1; alpha > 1e-20; alpha *= 0.5) {
            Vec xn(n);
            double decrease = 0;
            for (int i = 0; i < n; ++i) {
                xn[i] = std::clamp(x[i] + alpha * d[i], 0.0, 1.0);
                decrease += g[i] * (xn[i] - x[i]);
            }
            const double fn = p.objective(xn);
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
    if (certifiedGap)
        *certifiedGap = p.gap(x);
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
    const std::string path = std::string(VELKARO_TEST_DATA_DIR) + "/" + name;
    ImageRef image = ImageIO::sharedInstance().readFromFile(path);
    return image ? CImage(image) : CImage();
}

}  // namespace lsq_test
