#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "Matrix.h"
#include "MatrixFilter.h"
#include "MatrixMultiply.h"
#include "MatrixOps.h"
#include "MatrixTransposedMultiply.h"

namespace {

std::mt19937& Rng() {
    static std::mt19937 rng(12345);
    return rng;
}

void Randomize(Matrix& m) {
    std::uniform_real_distribution<double> u(-1, 1);
    for (int k = 0; k < m.count(); ++k) m.rwData()[k] = u(Rng());
}

// A random kernel; with `zeros` about a third of its weights are exactly 0.
std::vector<double> RandomKernel(int rows, int columns, bool zeros) {
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> k(std::size_t(rows) * columns);
    for (double& v : k) v = zeros && u(Rng()) < -0.33 ? 0.0 : u(Rng());
    return k;
}

// Column `col` of an (h·w) × p matrix as an h × w image.
cv::Mat ColumnAsImage(const Matrix& m, int h, int w, int col) {
    cv::Mat img(h, w, CV_64F);
    for (int k = 0; k < h * w; ++k)
        img.at<double>(k / w, k % w) = m.roData()[std::size_t(k) * m.columns() + col];
    return img;
}

// a · b (or aᵀ · b) with a dense reference loop.
void NaiveProduct(Matrix& c, const Matrix& a, const Matrix& b, bool transposeA) {
    const int m = transposeA ? a.columns() : a.rows();
    const int inner = transposeA ? a.rows() : a.columns();
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < b.columns(); ++j) {
            double s = 0;
            for (int k = 0; k < inner; ++k)
                s += (transposeA ? a.roData()[std::size_t(k) * a.columns() + i]
                                 : a.roData()[std::size_t(i) * a.columns() + k]) *
                     b.roData()[std::size_t(k) * b.columns() + j];
            c.rwData()[std::size_t(i) * c.columns() + j] = s;
        }
}

}  // namespace

// The filter product is a correlation with mirrored borders: OpenCV's filter2D with
// BORDER_REFLECT_101 computes the same thing independently. The transposed product satisfies
// the adjoint identity <A·x, y> = <x, Aᵀ·y>. Kernels larger than the image and images of one
// row or column included.
TEST(MatrixMultiply, FilterProductEqualsFilter2DReflect101) {
    const int cases[][5] = {{37, 45, 1, 1, 0},     {37, 45, 3, 3, 1},   {37, 45, 3, 5, 0},
                            {37, 45, 9, 3, 1},     {37, 45, 11, 11, 0}, {230, 301, 13, 13, 1},
                            {230, 301, 31, 31, 0}, {5, 6, 9, 9, 1},     {2, 3, 5, 5, 0},
                            {10, 12, 31, 31, 1},   {16, 17, 21, 11, 1}, {1, 9, 3, 3, 0},
                            {9, 1, 5, 1, 1}};
    for (auto [h, w, fr, fc, zeros] : cases) {
        std::vector<double> k = RandomKernel(fr, fc, zeros);
        const int n = h * w;
        Matrix f(n, n, k.data(), fr, fc, h, w);
        const cv::Mat kernel(fr, fc, CV_64F, k.data());
        for (int p : {1, 2, 3}) {
            Matrix x(n, p), y(n, p), ax(n, p), aty(n, p);
            Randomize(x);
            Randomize(y);
            ax.fill(1e300);  // the product must overwrite everything
            MatrixMultiply(ax, f, x);
            MatrixTransposedMultiply(aty, f, y);
            for (int col = 0; col < p; ++col) {
                cv::Mat expected;
                cv::filter2D(ColumnAsImage(x, h, w, col), expected, CV_64F, kernel,
                             cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
                EXPECT_LT(cv::norm(expected, ColumnAsImage(ax, h, w, col), cv::NORM_INF), 1e-11)
                    << fr << "x" << fc << " p " << p;
                double left = 0, right = 0, scale = 0;
                for (int r = 0; r < n; ++r) {
                    left += ax.roData()[r * p + col] * y.roData()[r * p + col];
                    right += x.roData()[r * p + col] * aty.roData()[r * p + col];
                    scale += std::fabs(ax.roData()[r * p + col] * y.roData()[r * p + col]);
                }
                EXPECT_LT(std::fabs(left - right), 1e-12 * scale) << fr << "x" << fc << " p " << p;
            }
        }
    }
}

TEST(MatrixMultiply, DenseAndDiagonalProducts) {
    Matrix a(5, 4), b(4, 3), c(5, 3), ref(5, 3);
    Randomize(a);
    Randomize(b);
    MatrixMultiply(c, a, b);
    NaiveProduct(ref, a, b, false);
    EXPECT_LT(CompareMatrix(c, ref), 1e-14);
    for (auto [n, ac, bc] : {std::tuple{6, 1, 1}, {6, 2, 1}, {6, 2, 2}, {7, 3, 4}, {5, 4, 1}}) {
        Matrix ta(n, ac), tb(n, bc), tc(ac, bc), tref(ac, bc);
        Randomize(ta);
        Randomize(tb);
        MatrixTransposedMultiply(tc, ta, tb);
        NaiveProduct(tref, ta, tb, true);
        EXPECT_LT(CompareMatrix(tc, tref), 1e-14) << n << " " << ac << " " << bc;
    }

    // Dense times diagonal scales the columns; diagonal times one or two columns the rows.
    Matrix d(4, 1), ad(5, 4);
    Randomize(d);
    d.diagonalize();
    MatrixMultiply(ad, a, d);
    for (int r = 0; r < 5; ++r)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(ad.roData()[r * 4 + j], a.roData()[r * 4 + j] * d.roDiagonalData()[j]);
    for (int p : {1, 2}) {
        Matrix v(4, p), out(4, p);
        Randomize(v);
        MatrixMultiply(out, d, v);
        for (int r = 0; r < 4 * p; ++r)
            EXPECT_EQ(out.roData()[r], d.roDiagonalData()[r / p] * v.roData()[r]);
    }
}

TEST(MatrixProductDeathTest, ShapeAndKindChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<double> k(9, 1.0);
    Matrix a33(3, 3), a34(3, 4), c32(3, 2), a16(16, 16), c16(16, 16);
    Matrix filter(16, 16, k.data(), 3, 3, 4, 4);
    EXPECT_DEATH(MatrixMultiply(a33, a33, Matrix(3, 3)), "&c != &a");
    EXPECT_DEATH(MatrixMultiply(c32, a34, Matrix(3, 2)), "a.columns\\(\\) == b.rows\\(\\)");
    EXPECT_DEATH(MatrixMultiply(c16, a16, filter), "\"mData\"");  // a filter as b
}
