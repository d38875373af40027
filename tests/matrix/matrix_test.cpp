#include "Matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "ColorSpace.h"
#include "MatrixImage.h"
#include "MatrixOps.h"

namespace {

void Set(Matrix& m, std::initializer_list<double> values) {
    ASSERT_EQ(int(values.size()), m.count());
    double* d = m.rwData();
    for (double v : values) *d++ = v;
}

double At(const Matrix& m, int r, int c) {
    return m.roData()[r * m.columns() + c];
}

}  // namespace

TEST(Matrix, DiagonalRoundTripKeepsValuesAndCountsSquare) {
    Matrix m(4, 1);
    Set(m, {1, -2, 3.5, 0});
    m.diagonalize();
    EXPECT_TRUE(m.isDiagonal());
    EXPECT_EQ(m.rows(), 4);
    EXPECT_EQ(m.columns(), 4);
    EXPECT_EQ(m.count(), 16);
    EXPECT_EQ(m.roDiagonalData()[2], 3.5);
    m.dediagonalize();
    EXPECT_FALSE(m.isDiagonal());
    EXPECT_EQ(m.columns(), 1);
    EXPECT_EQ(m.count(), 4);
    EXPECT_EQ(At(m, 0, 0), 1);
    EXPECT_EQ(At(m, 1, 0), -2);
    EXPECT_EQ(At(m, 2, 0), 3.5);
    EXPECT_EQ(At(m, 3, 0), 0);
}

TEST(Matrix, FillZerosAndSingleValue) {
    Matrix m(3, 5);
    m.fill(2.5);
    EXPECT_EQ(MatrixSum(m), 37.5);
    m.loadZeros();
    EXPECT_EQ(CountZeros(m), 15);
    EXPECT_EQ(ProportionOfZeros(m), 1.0);
    Matrix one(1, 1);
    one.setValue(-7);
    EXPECT_EQ(one.value(), -7);
}

TEST(MatrixOps, AddWithDiagonalTouchesOnlyTheDiagonal) {
    Matrix b(3, 3), c(3, 3), d(3, 1);
    Set(b, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    Set(d, {10, 20, 30});
    d.diagonalize();
    MatrixAdd(c, b, d);
    const double expected[9] = {11, 2, 3, 4, 25, 6, 7, 8, 39};
    for (int k = 0; k < 9; ++k) EXPECT_EQ(c.roData()[k], expected[k]) << k;
    // In place on b as well.
    MatrixAdd(b, b, d);
    EXPECT_EQ(CompareMatrix(b, c), 0);
}

TEST(MatrixOps, ElementWiseArithmetic) {
    Matrix a(2, 3), b(2, 3), c(2, 3);
    Set(a, {1, -2, 4, -0.5, 9, 0});
    Set(b, {2, 2, 2, 3, 3, 3});
    MatrixAdd(c, b, a);
    EXPECT_EQ(At(c, 0, 1), 0);
    MatrixScaledAdd(c, b, 2.0, a);
    EXPECT_EQ(At(c, 1, 1), 21);
    MatrixComponentMultiply(c, b, a);
    EXPECT_EQ(At(c, 1, 0), -1.5);
    MatrixComponentDivide(c, b, a);
    EXPECT_EQ(At(c, 0, 2), 0.5);
    EXPECT_TRUE(std::isinf(At(c, 1, 2)));  // unguarded IEEE division
    MatrixAbsolute(c, a);
    EXPECT_EQ(At(c, 0, 1), 2);
    MatrixSquareRootAbsolute(c, a);
    EXPECT_EQ(At(c, 1, 1), 3);
    MatrixSquareRoot(c, a);
    EXPECT_TRUE(std::isnan(At(c, 0, 1)));
    MatrixNegate(c, a);
    EXPECT_EQ(At(c, 0, 0), -1);
    // Scaled add where the scale lives inside the output.
    Matrix s(2, 3);
    Set(s, {1, 1, 1, 1, 1, 1});
    MatrixScaledAdd(s, s, s.roData()[0], a);
    EXPECT_EQ(At(s, 1, 1), 10);
    EXPECT_EQ(At(s, 0, 0), 2);
}

TEST(MatrixOps, ScalarMulAddCopiesScalesAndShifts) {
    Matrix a(1, 3), b(1, 3);
    Set(a, {1, -2, 0.25});
    MatrixScalarMulAdd(b, a, 1, 0);
    EXPECT_EQ(CompareMatrix(a, b), 0);
    MatrixScalarMulAdd(b, a, 2, 1);
    EXPECT_EQ(At(b, 0, 0), 3);
    EXPECT_EQ(At(b, 0, 1), -3);
    EXPECT_EQ(At(b, 0, 2), 1.5);
}

TEST(MatrixOps, SignAndExtremes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Matrix a(1, 4), b(1, 4);
    Set(a, {-2, 0, 3, nan});
    MatrixSign(b, a);
    EXPECT_EQ(At(b, 0, 0), -1);
    EXPECT_EQ(At(b, 0, 1), 0);
    EXPECT_EQ(At(b, 0, 2), 1);
    EXPECT_EQ(At(b, 0, 3), 0);

    Matrix one(1, 1);
    one.setValue(4);
    EXPECT_EQ(MatrixMaximum(one), 4);
    EXPECT_EQ(MatrixMinimum(one), 4);
    Matrix p(2, 1);
    Set(p, {nan, 1});
    EXPECT_TRUE(std::isnan(MatrixMaximum(p)));
    Set(p, {1, nan});
    EXPECT_EQ(MatrixMaximum(p), 1);
    Set(p, {5, -3});
    EXPECT_EQ(MatrixMinimum(p), -3);
    EXPECT_EQ(MatrixMaximum(p), 5);
}

TEST(MatrixOps, NormsOfAColumn) {
    Matrix x(3, 1);
    Set(x, {3, -4, 0});
    EXPECT_DOUBLE_EQ(norm(x), 5);
    EXPECT_EQ(norminf(x), 4);
    EXPECT_EQ(CountZeros(x), 1);
    EXPECT_DOUBLE_EQ(ProportionOfZeros(x), 1.0 / 3);
}

TEST(MatrixOps, TransposeAndDediagonalize) {
    Matrix a(2, 3), t(3, 2);
    Set(a, {1, 2, 3, 4, 5, 6});
    MatrixTranspose(t, a);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(At(t, j, i), At(a, i, j));

    Matrix sq(3, 3), diag(3, 1);
    Set(sq, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    MatrixDediagonalize(diag, sq);
    EXPECT_EQ(At(diag, 0, 0), 1);
    EXPECT_EQ(At(diag, 1, 0), 5);
    EXPECT_EQ(At(diag, 2, 0), 9);
    Matrix d(3, 1), back(3, 1);
    Set(d, {7, 8, 9});
    d.diagonalize();
    MatrixDediagonalize(back, d);
    EXPECT_EQ(At(back, 2, 0), 9);
}

TEST(MatrixOps, CropRepeatsEdgeValues) {
    Matrix src(2, 2), dst(3, 3);
    Set(src, {1, 2, 3, 4});
    MatrixCrop(dst, src, 0, 0, 3, 3);
    const double expected[9] = {1, 1, 2, 1, 1, 2, 3, 3, 4};
    for (int k = 0; k < 9; ++k) EXPECT_EQ(dst.roData()[k], expected[k]) << k;
    // A window inside the source copies it.
    Matrix big(4, 5), win(2, 3);
    for (int k = 0; k < 20; ++k) big.rwData()[k] = k;
    MatrixCrop(win, big, 2, 1, 3, 2);  // centred on column 2, row 1: rows 1-2, columns 1-3
    EXPECT_EQ(At(win, 0, 0), 6);
    EXPECT_EQ(At(win, 1, 2), 13);
}

TEST(MatrixOps, DumpFormat) {
    Matrix v(1, 2);
    Set(v, {1, 0.5});
    testing::internal::CaptureStdout();
    v.dump("v");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "v [1 x 2]:\n1.0000 0.5000\n");
    Matrix d(2, 1);
    Set(d, {2, -3});
    d.diagonalize();
    testing::internal::CaptureStdout();
    d.dump();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Matrix [2 x 1]:\n2.0000\n-3.0000\n");
}

TEST(MatrixImage, ChannelRoundTripThroughAWindow) {
    CImage image(7, 5);
    for (int k = 0; k < 7 * 5 * 4; ++k) image.pixels()[k] = std::uint8_t(k * 37 + 11);
    Matrix m(3 * 2, 1);
    ImageToMatrix(m, image, 2, 3, 2, 3, 2);
    // Independent read of the same pixels.
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            double expected;
            ReadChannelDouble(image.pixels() + ((2 + r) * 7 + 3 + c) * 4, &expected, 1, 2);
            EXPECT_EQ(m.roData()[r * 3 + c], expected);
        }
    // Back into a 3 × 2 image: the same bytes, other channels untouched.
    CImage out(3, 2);
    MatrixToImage(out, 2, m);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            const std::uint8_t* px = out.pixels() + (r * 3 + c) * 4;
            EXPECT_EQ(px[2], image.pixels()[((2 + r) * 7 + 3 + c) * 4 + 2]);
            EXPECT_EQ(px[1], 255);
        }
    // Out-of-range values are clamped.
    Matrix extremes(6, 1);
    Set(extremes, {-1, 0, 2, 1, 0.5, std::numeric_limits<double>::infinity()});
    MatrixToImage(out, 1, extremes);
    EXPECT_EQ(out.pixels()[0 * 4 + 1], 0);
    EXPECT_EQ(out.pixels()[1 * 4 + 1], 0);
    EXPECT_GE(out.pixels()[2 * 4 + 1], 254);
    EXPECT_EQ(out.pixels()[2 * 4 + 1], out.pixels()[3 * 4 + 1]);
}

using MatrixDeathTest = testing::Test;

TEST_F(MatrixDeathTest, ChecksNameTheFailedCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((Matrix{0, 3}), "r > 0");
    EXPECT_DEATH((Matrix{3, 0}), "c > 0");
    double k[6] = {};
    EXPECT_DEATH((Matrix{4, 4, k, 3, 2, 2, 2}), "\\(filterColumns & 1\\) == 1");
    EXPECT_DEATH((Matrix{4, 4, k, 2, 3, 2, 2}), "\\(filterRows & 1\\) == 1");
    auto fails1 = [] {
        double kernel[9] = {};
        Matrix f(90000, 90000, kernel, 3, 3, 300, 300);
        (void)f.count();
    };
    EXPECT_DEATH(fails1(), "c == mCount");
    auto fails2 = [] {
        Matrix d(3, 1);
        d.diagonalize();
        d.rwData();
    };
    EXPECT_DEATH(fails2(), "!mIsDiagonal");
    auto fails3 = [] {
        Matrix d(3, 1);
        d.roDiagonalData();
    };
    EXPECT_DEATH(fails3(), "mIsDiagonal");
    auto fails4 = [] {
        Matrix a(2, 3), b(3, 2), c(2, 3);
        MatrixAdd(c, b, a);
    };
    EXPECT_DEATH(fails4(), "b.rows\\(\\) == a.rows\\(\\)");
    auto fails5 = [] {
        Matrix a(2, 3);
        MatrixCopy(a, a);
    };
    EXPECT_DEATH(fails5(), "&b != &a");
    auto fails6 = [] {
        Matrix a(2, 2);
        a.value();
    };
    EXPECT_DEATH(fails6(), "mCount == 1");
    auto fails7 = [] {
        Matrix a(2, 2);
        a.diagonalize();
    };
    EXPECT_DEATH(fails7(), "mColumns == 1");
    auto fails8 = [] {
        double kernel[9] = {};
        Matrix f(16, 16, kernel, 3, 3, 4, 4);
        f.dump();
    };
    EXPECT_DEATH(fails8(), "!isFilter\\(\\)");
}
