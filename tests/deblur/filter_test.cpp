#include "Filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Matrix.h"
#include "MatrixOps.h"

namespace {

// Element at (dy, dx) from the centre.
double K(const Matrix& f, int dy, int dx) {
    const int c = (f.rows() - 1) / 2;
    return f.roData()[(c + dy) * f.columns() + c + dx];
}

}  // namespace

TEST(Filter, SizesOfTheSessionRadiiAndTheHalfPixelIdentity) {
    const double radii[] = {0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 15.0};
    const int sizes[] = {1, 1, 3, 3, 5, 5, 7, 7, 9, 31};
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(SizeForFilter(radii[k], -1), sizes[k]) << radii[k];
        EXPECT_EQ(SizeForFilter(radii[k], 45), sizes[k]) << radii[k];
    }
    for (int angle : {-1, 0, 45, 170}) {
        Matrix f(1, 1);
        GenerateFilter(f, 0.5, angle);
        EXPECT_EQ(f.value(), 1.0) << angle;
    }
}

TEST(Filter, DiscWeightsAreExactAreas) {
    Matrix f(3, 3);
    GenerateFilter(f, 1.0, -1);
    EXPECT_NEAR(K(f, 0, 0), 1 / M_PI, 1e-12);
    EXPECT_NEAR(K(f, 0, 1), 0.145344, 5e-7);
    EXPECT_NEAR(K(f, 1, 0), 0.145344, 5e-7);
    EXPECT_NEAR(K(f, -1, -1), 0.025079, 5e-7);
    Matrix g(5, 5);
    GenerateFilter(g, 2.0, -1);
    EXPECT_EQ(K(g, -2, -2), 0);
    const double middle[5] = {0.038115, 0.079577, 0.079577, 0.079577, 0.038115};
    for (int dx = -2; dx <= 2; ++dx) EXPECT_NEAR(K(g, 0, dx), middle[dx + 2], 5e-7) << dx;

    // An independent estimate of the covered area: a fine grid of sample points per pixel.
    const double r = 2.7;
    Matrix h(SizeForFilter(r, -1), SizeForFilter(r, -1));
    GenerateFilter(h, r, -1);
    const int R = (h.rows() - 1) / 2, n = 200;
    for (int dy = 0; dy <= R; ++dy)
        for (int dx = 0; dx <= R; ++dx) {
            int inside = 0;
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) {
                    const double x = dx - 0.5 + (j + 0.5) / n, y = dy - 0.5 + (i + 0.5) / n;
                    inside += x * x + y * y <= r * r;
                }
            EXPECT_NEAR(K(h, dy, dx), double(inside) / (n * n) / (M_PI * r * r), 2e-4)
                << dy << "," << dx;
        }
}

TEST(Filter, LineWeights) {
    Matrix f(3, 3), g(5, 5);
    GenerateFilter(f, 1.0, 0);
    GenerateFilter(g, 2.0, 0);
    for (int dx = -1; dx <= 1; ++dx) {
        EXPECT_NEAR(K(f, 0, dx), 1.0 / 3, 1e-12);
        EXPECT_EQ(K(f, -1, dx), 0);
        EXPECT_EQ(K(f, 1, dx), 0);
    }
    for (int dx = -2; dx <= 2; ++dx) EXPECT_NEAR(K(g, 0, dx), 0.2, 1e-12);
    GenerateFilter(f, 1.0, 45);
    const double diagonal[3][3] = {{0.175220, 0.087610, 0},
                                   {0.087610, 0.299119, 0.087610},
                                   {0, 0.087610, 0.175220}};
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            EXPECT_NEAR(K(f, dy, dx), diagonal[dy + 1][dx + 1], 5e-7) << dy << "," << dx;
}

TEST(Filter, EveryKernelSumsToOneWithItsSymmetries) {
    for (double r : {0.5, 1.0, 1.5, 2.5, 4.0, 7.5, 15.0}) {
        const int n = SizeForFilter(r, -1), R = (n - 1) / 2;
        Matrix f(n, n), opposite(n, n), turned(n, n);
        GenerateFilter(f, r, -1);
        EXPECT_NEAR(MatrixSum(f), 1.0, 1e-12) << r;
        EXPECT_GE(MatrixMinimum(f), 0);
        for (int dy = -R; dy <= R; ++dy)
            for (int dx = -R; dx <= R; ++dx) {
                EXPECT_NEAR(K(f, dy, dx), K(f, -dy, -dx), 1e-15);
                EXPECT_NEAR(K(f, dy, dx), K(f, dy, -dx), 1e-15);
                EXPECT_NEAR(K(f, dy, dx), K(f, dx, dy), 1e-15);
            }
        // Lines: point-symmetric, the same at a + 180, and at 90 − a (a ≤ 90) the transpose.
        for (int angle : {0, 20, 45, 70, 90, 130}) {
            GenerateFilter(f, r, angle);
            GenerateFilter(opposite, r, angle + 180);
            GenerateFilter(turned, r, 90 - angle);
            EXPECT_NEAR(MatrixSum(f), 1.0, 1e-12) << r << " " << angle;
            EXPECT_GE(MatrixMinimum(f), 0);
            for (int dy = -R; dy <= R; ++dy)
                for (int dx = -R; dx <= R; ++dx) {
                    EXPECT_NEAR(K(f, dy, dx), K(f, -dy, -dx), 1e-6) << r << " " << angle;
                    EXPECT_NEAR(K(f, dy, dx), K(opposite, dy, dx), 1e-6) << r << " " << angle;
                    EXPECT_TRUE(angle > 90 || std::fabs(K(f, dy, dx) - K(turned, dx, dy)) < 1e-6);
                }
        }
    }
}

TEST(Filter, LargerMatrixIsPaddedWithZeros) {
    Matrix small(3, 3), big(7, 7);
    GenerateFilter(small, 1.0, -1);
    big.fill(5);
    GenerateFilter(big, 1.0, -1);
    for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx)
            EXPECT_EQ(K(big, dy, dx),
                      std::abs(dy) <= 1 && std::abs(dx) <= 1 ? K(small, dy, dx) : 0.0);
    big.fill(5);
    GenerateFilter(big, 1.0, 30);
    EXPECT_NEAR(MatrixSum(big), 1.0, 1e-12);
    EXPECT_EQ(K(big, 3, 3), 0);
}

TEST(FilterDeathTest, ChecksNameTheFailedCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Matrix notSquare(3, 5), tooSmall(3, 3), even(4, 4);
    EXPECT_DEATH(SizeForFilter(-1, -1), "radius >= 0");
    EXPECT_DEATH(GenerateFilter(notSquare, 1.0, -1), "f.rows\\(\\) == f.columns\\(\\)");
    EXPECT_DEATH(GenerateFilter(tooSmall, 2.0, 0), "f.rows\\(\\) >= size");
    EXPECT_DEATH(GenerateFilter(even, 1.0, -1), "f.rows\\(\\) % 2 == 1");
}
