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
    double* d = m.rwData();
    for (int k = 0; k < m.count(); ++k) d[k] = u(Rng());
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
        img.at<double>(k / w, k % w) = m.roData()[k * m.columns() + col];
    return img;
}

// a · b with a dense reference loop, summing in index order.
void NaiveProduct(Matrix& c, const Matrix& a, const Matrix& b, bool transposeA) {
    const int m = transposeA ? a.columns() : a.rows();
    const int inner = transposeA ? a.rows() : a.columns();
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < b.columns(); ++j) {
            double s = 0;
            for (int k = 0; k < inner; ++k) {
                const double av =
                    transposeA ? a.roData()[k * a.columns() + i] : a.roData()[i * a.columns() + k];
                s += av * b.roData()[k * b.columns() + j];
            }
            c.rwData()[i * c.columns() + j] = s;
        }
}

}  // namespace

TEST(MatrixFilter, BorderRowsMirrorWithoutRepeatingTheEdge) {
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
    // Starting in the middle yields that row: pixel (1, 1) is interior.
    Matrix::GeneratorState t(f, 5);
    f.generateNextRow(t);
    EXPECT_EQ(t.x, 1);
    EXPECT_EQ(t.y, 1);
    EXPECT_EQ(t.entries[0].column + t.shift, 0);
    EXPECT_EQ(t.entries[8].column + t.shift, 10);
    EXPECT_TRUE(t.reusable);
    f.generateNextRow(t);  // pixel (2, 1), interior as well: the same entries shifted
    EXPECT_EQ(t.shift, 1);
    EXPECT_EQ(t.entries[0].column + t.shift, 1);
}

TEST(MatrixFilter, ZeroWeightsAreDroppedAndNaNKept) {
    std::vector<double> k = {0, 1, 0, 0, std::nan(""), 0, 0, 0, 0};
    Matrix f(25, 25, k.data(), 3, 3, 5, 5);
    Matrix::GeneratorState s(f, 12);
    f.generateNextRow(s);
    EXPECT_EQ(s.entryCount, 2);
    std::vector<double> zero(9, 0.0);
    Matrix z(25, 25, zero.data(), 3, 3, 5, 5);
    Matrix b(25, 1), c(25, 1);
    Randomize(b);
    MatrixMultiply(c, z, b);
    EXPECT_EQ(CountZeros(c), 25);
    MatrixTransposedMultiply(c, z, b);
    EXPECT_EQ(CountZeros(c), 25);
}

// The filter product is a correlation with mirrored borders: OpenCV's filter2D with
// BORDER_REFLECT_101 computes the same thing independently.
TEST(MatrixMultiply, FilterProductEqualsFilter2DReflect101) {
    const int sizes[][2] = {{1, 1}, {3, 3}, {5, 5}, {7, 7}, {3, 5}, {9, 3}, {11, 11}};
    for (auto [fr, fc] : sizes) {
        for (bool zeros : {false, true}) {
            const int h = 37, w = 45;
            std::vector<double> k = RandomKernel(fr, fc, zeros);
            Matrix f(h * w, h * w, k.data(), fr, fc, h, w);
            for (int p : {1, 2, 3}) {
                Matrix b(h * w, p), c(h * w, p);
                Randomize(b);
                c.fill(1e300);  // the product must overwrite everything
                MatrixMultiply(c, f, b);
                const cv::Mat kernel(fr, fc, CV_64F, k.data());
                for (int col = 0; col < p; ++col) {
                    cv::Mat expected;
                    cv::filter2D(ColumnAsImage(b, h, w, col), expected, CV_64F, kernel,
                                 cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
                    const double diff =
                        cv::norm(expected, ColumnAsImage(c, h, w, col), cv::NORM_INF);
                    EXPECT_LT(diff, 1e-12) << fr << "x" << fc << " zeros " << zeros << " p " << p;
                }
            }
        }
    }
}

// The same product, and the transposed one, against the matrix written out in full.
TEST(MatrixMultiply, FilterProductsEqualTheWrittenOutMatrix) {
    const int shapes[][4] = {{9, 7, 3, 3}, {8, 11, 5, 3},    {40, 37, 7, 7},   {5, 6, 9, 9},
                             {2, 3, 5, 5}, {20, 18, 15, 15}, {10, 12, 31, 31}, {16, 17, 21, 11},
                             {1, 9, 3, 3}, {9, 1, 5, 1}};
    for (auto [h, w, fr, fc] : shapes) {
        std::vector<double> k = RandomKernel(fr, fc, true);
        const int n = h * w;
        Matrix f(n, n, k.data(), fr, fc, h, w);
        Matrix full(n, n);
        MatrixFull(full, f);
        // Every row of the written-out matrix sums to the kernel's sum: no weight is lost.
        double ksum = 0;
        for (double v : k) ksum += v;
        for (int r = 0; r < n; r += 7) {
            double s = 0;
            for (int j = 0; j < n; ++j) s += full.roData()[std::int64_t(r) * n + j];
            EXPECT_NEAR(s, ksum, 1e-12);
        }
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

// Large kernels on a larger image: the product against filter2D, the transposed product by the
// adjoint identity <A·x, y> = <x, Aᵀ·y>.
TEST(MatrixMultiply, LargeKernelsOnALargerImage) {
    const int h = 230, w = 301;
    const int n = h * w;
    for (int size : {13, 15, 31}) {
        std::vector<double> k = RandomKernel(size, size, size == 13);
        Matrix f(n, n, k.data(), size, size, h, w);
        const cv::Mat kernel(size, size, CV_64F, k.data());
        for (int p : {1, 2}) {
            Matrix x(n, p), y(n, p), ax(n, p), aty(n, p);
            Randomize(x);
            Randomize(y);
            MatrixMultiply(ax, f, x);
            MatrixTransposedMultiply(aty, f, y);
            for (int col = 0; col < p; ++col) {
                cv::Mat expected;
                cv::filter2D(ColumnAsImage(x, h, w, col), expected, CV_64F, kernel,
                             cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
                EXPECT_LT(cv::norm(expected, ColumnAsImage(ax, h, w, col), cv::NORM_INF), 1e-11)
                    << size << " p " << p;
                double left = 0, right = 0, scale = 0;
                for (int r = 0; r < n; ++r) {
                    left += ax.roData()[r * p + col] * y.roData()[r * p + col];
                    right += x.roData()[r * p + col] * aty.roData()[r * p + col];
                    scale += std::fabs(ax.roData()[r * p + col] * y.roData()[r * p + col]);
                }
                EXPECT_LT(std::fabs(left - right), 1e-12 * scale) << size << " p " << p;
            }
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
        for (int r = 0; r < n; ++r) {
            two.rwData()[2 * r] = two.rwData()[2 * r + 1] = one.roData()[r];
            for (int q = 0; q < 3; ++q) three.rwData()[3 * r + q] = one.roData()[r];
        }
        for (bool transposed : {false, true}) {
            // The parallel scatter adds its bands in another order than the serial one.
            const double tolerance = size == 5 && !transposed ? 0.0 : 1e-12;
            Matrix c1(n, 1), c2(n, 2), c3(n, 3);
            auto product = [&](Matrix& c, const Matrix& b) {
                if (transposed)
                    MatrixTransposedMultiply(c, f, b);
                else
                    MatrixMultiply(c, f, b);
            };
            product(c1, one);
            product(c2, two);
            product(c3, three);
            double worst = 0;
            for (int r = 0; r < n; ++r) {
                for (int q = 0; q < 2; ++q)
                    worst = std::max(worst, std::fabs(c2.roData()[2 * r + q] - c1.roData()[r]));
                for (int q = 0; q < 3; ++q)
                    worst = std::max(worst, std::fabs(c3.roData()[3 * r + q] - c1.roData()[r]));
            }
            EXPECT_LE(worst, tolerance) << size << (transposed ? " transposed" : "");
        }
    }
}

TEST(MatrixMultiply, SymmetricKernelAwayFromTheBorderIsItsOwnTranspose) {
    const int h = 20, w = 24;
    std::vector<double> k = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    Matrix f(h * w, h * w, k.data(), 3, 3, h, w);
    Matrix b(h * w, 1), c(h * w, 1), ct(h * w, 1);
    b.loadZeros();
    for (int y = 5; y < 15; ++y)
        for (int x = 5; x < 19; ++x) b.rwData()[y * w + x] = (x * 7 + y * 3) % 5;
    MatrixMultiply(c, f, b);
    MatrixTransposedMultiply(ct, f, b);
    EXPECT_EQ(CompareMatrix(c, ct), 0);
}

TEST(MatrixMultiply, DenseAndDiagonalProducts) {
    Matrix a(5, 4), b(4, 3), c(5, 3), ref(5, 3);
    Randomize(a);
    Randomize(b);
    testing::internal::CaptureStdout();
    MatrixMultiply(c, a, b);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // fast products print nothing
    NaiveProduct(ref, a, b, false);
    EXPECT_LT(CompareMatrix(c, ref), 1e-14);

    // Dense times diagonal scales the columns.
    Matrix d(4, 1), ad(5, 4);
    Randomize(d);
    d.diagonalize();
    MatrixMultiply(ad, a, d);
    for (int r = 0; r < 5; ++r)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(ad.roData()[r * 4 + j], a.roData()[r * 4 + j] * d.roDiagonalData()[j]);

    // Diagonal times one or two columns scales the rows.
    Matrix e(4, 1);
    Randomize(e);
    e.diagonalize();
    for (int p : {1, 2}) {
        Matrix v(4, p), out(4, p);
        Randomize(v);
        MatrixMultiply(out, e, v);
        for (int r = 0; r < 4; ++r)
            for (int j = 0; j < p; ++j)
                EXPECT_EQ(out.roData()[r * p + j], e.roDiagonalData()[r] * v.roData()[r * p + j]);
    }
}

TEST(MatrixTransposedMultiply, DenseCasesMatchTheReference) {
    const int shapes[][3] = {{6, 1, 1}, {6, 2, 1}, {6, 2, 2}, {7, 3, 4}, {5, 4, 1}};
    for (auto [n, ac, bc] : shapes) {
        Matrix a(n, ac), b(n, bc), c(ac, bc), ref(ac, bc);
        Randomize(a);
        Randomize(b);
        MatrixTransposedMultiply(c, a, b);
        NaiveProduct(ref, a, b, true);
        EXPECT_LT(CompareMatrix(c, ref), 1e-14) << n << " " << ac << " " << bc;
    }
}

using MatrixProductDeathTest = testing::Test;

TEST_F(MatrixProductDeathTest, ShapeAndKindChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto fails1 = [] {
        Matrix d(4, 1), b(4, 3), c(4, 3);
        d.diagonalize();
        MatrixMultiply(c, d, b);
    };
    EXPECT_DEATH(fails1(), "c.columns\\(\\) == 1 \\|\\| c.columns\\(\\) == 2");
    auto fails2 = [] {
        Matrix a(3, 3), b(3, 3);
        MatrixMultiply(a, a, b);
    };
    EXPECT_DEATH(fails2(), "&c != &a");
    auto fails3 = [] {
        Matrix a(3, 4), b(3, 2), c(3, 2);
        MatrixMultiply(c, a, b);
    };
    EXPECT_DEATH(fails3(), "a.columns\\(\\) == b.rows\\(\\)");
    auto fails4 = [] {
        Matrix a(3, 4), b(4, 2), c(4, 2);
        MatrixTransposedMultiply(c, a, b);
    };
    EXPECT_DEATH(fails4(), "a.rows\\(\\) == b.rows\\(\\)");
    auto fails5 = [] {
        Matrix a(4, 4), b(4, 1);
        MatrixFull(b, a);
    };
    EXPECT_DEATH(fails5(), "a.isFilter\\(\\)");
    auto denseGenerator = [] {
        Matrix d(4, 4);
        Matrix::GeneratorState s(d, 0);
    };
    EXPECT_DEATH(denseGenerator(), "f.mFilter");
    auto fails6 = [] {
        std::vector<double> k(9, 1.0);
        Matrix f(16, 16, k.data(), 3, 3, 4, 4);
        Matrix a(16, 16), c(16, 16);
        MatrixMultiply(c, a, f);  // a filter as b is not supported
    };
    EXPECT_DEATH(fails6(), "\"mData\"");
}
