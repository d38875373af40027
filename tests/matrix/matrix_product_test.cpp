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

TEST(MatrixFilter, RowsMirrorAtTheBorderAndReuseInside) {
    // K(i, j) = 1 + i·3 + j, a 4 × 4 image: the row of pixel (0, 0) reads rows 1, 0, 1 and
    // columns 1, 0, 1.
    std::vector<double> k = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    Matrix f(16, 16, k.data(), 3, 3, 4, 4);
    Matrix::GeneratorState s(f, 0);
    f.generateNextRow(s);
    ASSERT_EQ(s.entryCount, 9);
    const int expectedColumns[9] = {5, 4, 5, 1, 0, 1, 5, 4, 5};
    for (int e = 0; e < 9; ++e) {
        EXPECT_EQ(s.entries[e].value, k[e]);
        EXPECT_EQ(s.entries[e].column + s.shift, expectedColumns[e]) << e;
    }
    // Starting in the middle: pixel (1, 1) is interior, and so is (2, 1), the same entries
    // shifted by one.
    Matrix::GeneratorState t(f, 5);
    f.generateNextRow(t);
    EXPECT_EQ(t.entries[0].column + t.shift, 0);
    EXPECT_EQ(t.entries[8].column + t.shift, 10);
    EXPECT_TRUE(t.reusable);
    f.generateNextRow(t);
    EXPECT_EQ(t.shift, 1);
    EXPECT_EQ(t.entries[0].column + t.shift, 1);

    // Zero weights are dropped, NaN kept; an all-zero kernel gives zero products.
    std::vector<double> z = {0, 1, 0, 0, std::nan(""), 0, 0, 0, 0};
    Matrix g(25, 25, z.data(), 3, 3, 5, 5);
    Matrix::GeneratorState u(g, 12);
    g.generateNextRow(u);
    EXPECT_EQ(u.entryCount, 2);
    std::fill(z.begin(), z.end(), 0.0);
    Matrix zero(25, 25, z.data(), 3, 3, 5, 5), b(25, 1), c(25, 1);
    Randomize(b);
    MatrixMultiply(c, zero, b);
    EXPECT_EQ(CountZeros(c), 25);
    MatrixTransposedMultiply(c, zero, b);
    EXPECT_EQ(CountZeros(c), 25);
}

// The filter product is a correlation with mirrored borders: OpenCV's filter2D with
// BORDER_REFLECT_101 computes the same thing independently. The transposed product satisfies
// the adjoint identity <A·x, y> = <x, Aᵀ·y>.
TEST(MatrixMultiply, FilterProductEqualsFilter2DReflect101) {
    const int cases[][5] = {{37, 45, 1, 1, 0},    {37, 45, 3, 3, 1},   {37, 45, 3, 5, 0},
                            {37, 45, 9, 3, 1},    {37, 45, 11, 11, 0}, {230, 301, 13, 13, 1},
                            {230, 301, 31, 31, 0}};
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

// The same products against the matrix written out in full, including kernels larger than the
// image and images of one row or column.
TEST(MatrixMultiply, FilterProductsEqualTheWrittenOutMatrix) {
    const int shapes[][4] = {{9, 7, 3, 3},     {8, 11, 5, 3},    {5, 6, 9, 9}, {2, 3, 5, 5},
                             {10, 12, 31, 31}, {16, 17, 21, 11}, {1, 9, 3, 3}, {9, 1, 5, 1}};
    for (auto [h, w, fr, fc] : shapes) {
        std::vector<double> k = RandomKernel(fr, fc, true);
        const int n = h * w;
        Matrix f(n, n, k.data(), fr, fc, h, w), full(n, n);
        MatrixFull(full, f);
        for (int p : {1, 2, 4}) {
            Matrix b(n, p), c(n, p), ref(n, p);
            Randomize(b);
            MatrixMultiply(c, f, b);
            NaiveProduct(ref, full, b, false);
            EXPECT_LT(CompareMatrix(c, ref), 1e-12) << h << "x" << w << " p " << p;
            c.fill(1e300);
            MatrixTransposedMultiply(c, f, b);
            NaiveProduct(ref, full, b, true);
            EXPECT_LT(CompareMatrix(c, ref), 1e-12) << "transposed " << h << "x" << w << " p " << p;
        }
    }
}

// The parallel products with one and two columns give what the serial product with many columns
// gives for each of its columns: exactly for the direct gather, within rounding for the
// scatter and for large kernels.
TEST(MatrixMultiply, ColumnCountsAgree) {
    const int h = 61, w = 53, n = h * w;
    for (int size : {5, 21}) {
        std::vector<double> k = RandomKernel(size, size, false);
        Matrix f(n, n, k.data(), size, size, h, w);
        Matrix one(n, 1), two(n, 2), three(n, 3);
        Randomize(one);
        for (int r = 0; r < n; ++r)
            for (int q = 0; q < 3; ++q) {
                three.rwData()[3 * r + q] = one.roData()[r];
                if (q < 2) two.rwData()[2 * r + q] = one.roData()[r];
            }
        for (bool transposed : {false, true}) {
            Matrix c1(n, 1), c2(n, 2), c3(n, 3);
            for (auto [c, b] : {std::pair{&c1, &one}, std::pair{&c2, &two}, std::pair{&c3, &three}})
                transposed ? MatrixTransposedMultiply(*c, f, *b) : MatrixMultiply(*c, f, *b);
            double worst = 0;
            for (int r = 0; r < n; ++r)
                for (int q = 0; q < 3; ++q) {
                    if (q < 2)
                        worst = std::max(worst, std::fabs(c2.roData()[2 * r + q] - c1.roData()[r]));
                    worst = std::max(worst, std::fabs(c3.roData()[3 * r + q] - c1.roData()[r]));
                }
            EXPECT_LE(worst, size == 5 && !transposed ? 0.0 : 1e-12) << size << " " << transposed;
        }
    }
}

TEST(MatrixMultiply, DenseAndDiagonalProducts) {
    Matrix a(5, 4), b(4, 3), c(5, 3), ref(5, 3);
    Randomize(a);
    Randomize(b);
    testing::internal::CaptureStderr();
    MatrixMultiply(c, a, b);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // fast products print nothing
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
    Matrix d(4, 1);
    d.diagonalize();
    Matrix a33(3, 3), a34(3, 4), a44(4, 4), c41(4, 1), c42(4, 2), c43(4, 3), c32(3, 2);
    Matrix a16(16, 16), c16(16, 16), filter(16, 16, k.data(), 3, 3, 4, 4);
    EXPECT_DEATH(MatrixMultiply(c43, d, Matrix(4, 3)),
                 "c.columns\\(\\) == 1 \\|\\| c.columns\\(\\) == 2");
    EXPECT_DEATH(MatrixMultiply(a33, a33, Matrix(3, 3)), "&c != &a");
    EXPECT_DEATH(MatrixMultiply(c32, a34, Matrix(3, 2)), "a.columns\\(\\) == b.rows\\(\\)");
    EXPECT_DEATH(MatrixTransposedMultiply(c42, a34, Matrix(4, 2)), "a.rows\\(\\) == b.rows\\(\\)");
    EXPECT_DEATH(MatrixFull(c41, a44), "a.isFilter\\(\\)");
    EXPECT_DEATH((void)Matrix::GeneratorState(a44, 0), "f.mFilter");
    EXPECT_DEATH(MatrixMultiply(c16, a16, filter), "\"mData\"");  // a filter as b
}
