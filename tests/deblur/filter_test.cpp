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

TEST(Filter, SizesOfTheSessionRadii) {
    const double radii[] = {0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 15.0};
    const int sizes[] = {1, 1, 3, 3, 5, 5, 7, 7, 9, 31};
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(SizeForFilter(radii[k], -1), sizes[k]) << radii[k];
        EXPECT_EQ(SizeForFilter(radii[k], 45), sizes[k]) << radii[k];
    }
}

TEST(Filter, HalfPixelRadiusIsTheIdentity) {
    for (int angle : {-1, 0, 45, 90, 170}) {
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
    EXPECT_EQ(K(g, 2, 2), 0);
    EXPECT_EQ(K(g, -2, 2), 0);
    const double middle[5] = {0.038115, 0.079577, 0.079577, 0.079577, 0.038115};
    for (int dx = -2; dx <= 2; ++dx) EXPECT_NEAR(K(g, 0, dx), middle[dx + 2], 5e-7) << dx;

    // An independent estimate of the covered area: a fine grid of sample points per pixel.
    const double r = 2.7;
    Matrix h(SizeForFilter(r, -1), SizeForFilter(r, -1));
    GenerateFilter(h, r, -1);
    const int R = (h.rows() - 1) / 2;
    const int n = 200;
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
    Matrix f(3, 3);
    GenerateFilter(f, 1.0, 0);
    for (int dx = -1; dx <= 1; ++dx) {
        EXPECT_NEAR(K(f, 0, dx), 1.0 / 3, 1e-12);
        EXPECT_EQ(K(f, -1, dx), 0);
        EXPECT_EQ(K(f, 1, dx), 0);
    }
    GenerateFilter(f, 1.0, 90);
    for (int dy = -1; dy <= 1; ++dy) {
        EXPECT_NEAR(K(f, dy, 0), 1.0 / 3, 1e-7);
        EXPECT_NEAR(K(f, dy, -1), 0, 1e-7);
        EXPECT_NEAR(K(f, dy, 1), 0, 1e-7);
    }
    GenerateFilter(f, 1.0, 45);
    EXPECT_NEAR(K(f, -1, -1), 0.175220, 5e-7);
    EXPECT_NEAR(K(f, 1, 1), 0.175220, 5e-7);
    EXPECT_NEAR(K(f, 0, 0), 0.299119, 5e-7);
    EXPECT_NEAR(K(f, 0, 1), 0.087610, 5e-7);
    EXPECT_NEAR(K(f, 1, 0), 0.087610, 5e-7);
    EXPECT_NEAR(K(f, 0, -1), 0.087610, 5e-7);
    EXPECT_NEAR(K(f, -1, 0), 0.087610, 5e-7);
    EXPECT_EQ(K(f, -1, 1), 0);
    EXPECT_EQ(K(f, 1, -1), 0);

    Matrix g(5, 5);
    GenerateFilter(g, 2.0, 0);
    for (int dx = -2; dx <= 2; ++dx) EXPECT_NEAR(K(g, 0, dx), 0.2, 1e-12);
}

TEST(Filter, EveryKernelSumsToOneAndIsPointSymmetric) {
    for (double r = 0.5; r <= 15.0; r += 0.5) {
        const int n = SizeForFilter(r, -1);
        Matrix f(n, n);
        const int R = (n - 1) / 2;
        GenerateFilter(f, r, -1);
        EXPECT_NEAR(MatrixSum(f), 1.0, 1e-12) << r;
        EXPECT_GE(MatrixMinimum(f), 0);
        for (int dy = -R; dy <= R; ++dy)
            for (int dx = -R; dx <= R; ++dx) {
                EXPECT_NEAR(K(f, dy, dx), K(f, -dy, -dx), 1e-15);
                EXPECT_NEAR(K(f, dy, dx), K(f, dy, -dx), 1e-15);
                EXPECT_NEAR(K(f, dy, dx), K(f, dx, dy), 1e-15);
            }
        for (int angle = 0; angle < 180; angle += 10) {
            GenerateFilter(f, r, angle);
            EXPECT_NEAR(MatrixSum(f), 1.0, 1e-12) << r << " " << angle;
            EXPECT_GE(MatrixMinimum(f), 0);
            Matrix opposite(n, n);
            GenerateFilter(opposite, r, angle + 180);
            for (int dy = -R; dy <= R; ++dy)
                for (int dx = -R; dx <= R; ++dx) {
                    EXPECT_NEAR(K(f, dy, dx), K(f, -dy, -dx), 1e-6) << r << " " << angle;
                    EXPECT_NEAR(K(f, dy, dx), K(opposite, dy, dx), 1e-6) << r << " " << angle;
                }
            // The line lies along its angle: at 90 + a it is the transpose of a mirrored.
            if (angle <= 90) {
                Matrix turned(n, n);
                GenerateFilter(turned, r, 90 - angle);
                for (int dy = -R; dy <= R; ++dy)
                    for (int dx = -R; dx <= R; ++dx)
                        EXPECT_NEAR(K(f, dy, dx), K(turned, dx, dy), 1e-6) << r << " " << angle;
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
        for (int dx = -3; dx <= 3; ++dx) {
            if (std::abs(dy) <= 1 && std::abs(dx) <= 1)
                EXPECT_EQ(K(big, dy, dx), K(small, dy, dx));
            else
                EXPECT_EQ(K(big, dy, dx), 0);
        }
    big.fill(5);
    GenerateFilter(big, 1.0, 30);
    EXPECT_NEAR(MatrixSum(big), 1.0, 1e-12);
    EXPECT_EQ(K(big, 3, 3), 0);
}

TEST(Filter, FloatCopyKeepsStorageOrder) {
    Matrix f(5, 5);
    GenerateFilter(f, 2.0, 30);
    std::vector<float> k;
    FilterToFloats(k, f);
    ASSERT_EQ(k.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(k[i], float(f.roData()[i]));
}

using FilterDeathTest = testing::Test;

TEST_F(FilterDeathTest, ChecksNameTheFailedCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(SizeForFilter(-1, -1), "radius >= 0");
    auto notSquare = [] {
        Matrix f(3, 5);
        GenerateFilter(f, 1.0, -1);
    };
    EXPECT_DEATH(notSquare(), "f.rows\\(\\) == f.columns\\(\\)");
    auto tooSmall = [] {
        Matrix f(3, 3);
        GenerateFilter(f, 2.0, 0);
    };
    EXPECT_DEATH(tooSmall(), "f.rows\\(\\) >= size");
    auto even = [] {
        Matrix f(4, 4);
        GenerateFilter(f, 1.0, -1);
    };
    EXPECT_DEATH(even(), "f.rows\\(\\) & 1");
}
