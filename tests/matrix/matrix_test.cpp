#include "Matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ColorSpace.h"
#include "MatrixImage.h"
#include "MatrixOps.h"

namespace {

// A dense matrix with the given values, row after row.
struct Make : Matrix {
    Make(int rows, int columns, std::initializer_list<double> values) : Matrix(rows, columns) {
        std::copy(values.begin(), values.end(), rwData());
    }
};

std::vector<double> Values(const Matrix& m) {
    return {m.roData(), m.roData() + m.count()};
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(Matrix, DiagonalRoundTripFillAndSingleValue) {
    Make m(4, 1, {1, -2, 3.5, 0});
    m.diagonalize();
    EXPECT_TRUE(m.isDiagonal() && m.columns() == 4 && m.count() == 16);
    EXPECT_EQ(m.roDiagonalData()[2], 3.5);
    m.dediagonalize();
    EXPECT_TRUE(!m.isDiagonal() && m.count() == 4);
    EXPECT_EQ(Values(m), (std::vector<double>{1, -2, 3.5, 0}));
    Matrix f(3, 5);
    f.fill(2.5);
    EXPECT_EQ(MatrixSum(f), 37.5);
    f.loadZeros();
    EXPECT_EQ(ProportionOfZeros(f), 1.0);
}

TEST(MatrixOps, ElementWiseArithmeticWithIeeeResults) {
    const Make a(2, 3, {1, -2, 4, -0.5, 9, 0}), b(2, 3, {2, 2, 2, 3, 3, 3});
    Matrix c(2, 3);
    MatrixAdd(c, b, a);
    EXPECT_EQ(Values(c), (std::vector<double>{3, 0, 6, 2.5, 12, 3}));
    MatrixScaledAdd(c, b, 2.0, a);
    EXPECT_EQ(Values(c), (std::vector<double>{4, -2, 10, 2, 21, 3}));
    MatrixScalarMulAdd(c, a, 2, 1);
    EXPECT_EQ(Values(c), (std::vector<double>{3, -3, 9, 0, 19, 1}));
    MatrixComponentMultiply(c, b, a);
    EXPECT_EQ(Values(c), (std::vector<double>{2, -4, 8, -1.5, 27, 0}));
    MatrixComponentDivide(c, b, a);
    EXPECT_EQ(Values(c), (std::vector<double>{2, -1, 0.5, -6, 1.0 / 3, INFINITY}));
    MatrixAbsolute(c, a);
    EXPECT_EQ(Values(c), (std::vector<double>{1, 2, 4, 0.5, 9, 0}));
    MatrixSquareRootAbsolute(c, a);
    EXPECT_EQ(c.roData()[4], 3);
    MatrixSquareRoot(c, a);
    EXPECT_TRUE(std::isnan(c.roData()[1]));
    MatrixNegate(c, a);
    EXPECT_EQ(Values(c), (std::vector<double>{-1, 2, -4, 0.5, -9, -0.0}));
    // The scale may live inside the output.
    Make s(2, 3, {1, 1, 1, 1, 1, 1});
    MatrixScaledAdd(s, s, s.roData()[0], a);
    EXPECT_EQ(Values(s), (std::vector<double>{2, -1, 5, 0.5, 10, 1}));

    // A diagonal a touches only the diagonal, in place as well.
    Make sq(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}), d(3, 1, {10, 20, 30});
    d.diagonalize();
    MatrixAdd(sq, sq, d);
    EXPECT_EQ(Values(sq), (std::vector<double>{11, 2, 3, 4, 25, 6, 7, 8, 39}));
}

TEST(MatrixOps, SignExtremesNormsAndZeros) {
    Matrix sign(1, 4);
    MatrixSign(sign, Make(1, 4, {-2, 0, 3, kNaN}));
    EXPECT_EQ(Values(sign), (std::vector<double>{-1, 0, 1, 0}));
    // A NaN first wins the maximum; later ones are passed over.
    EXPECT_TRUE(std::isnan(MatrixMaximum(Make(2, 1, {kNaN, 1}))));
    EXPECT_EQ(MatrixMaximum(Make(2, 1, {1, kNaN})), 1);
    EXPECT_EQ(MatrixMinimum(Make(2, 1, {5, -3})), -3);
    EXPECT_EQ(MatrixMaximum(Make(1, 1, {4})), 4);
    const Make x(3, 1, {3, -4, 0});
    EXPECT_DOUBLE_EQ(norm(x), 5);
    EXPECT_EQ(norminf(x), 4);
    EXPECT_EQ(CountZeros(x), 1);
    EXPECT_DOUBLE_EQ(ProportionOfZeros(x), 1.0 / 3);
}

TEST(MatrixOps, TransposeDediagonalizeAndCrop) {
    Matrix t(3, 2);
    MatrixTranspose(t, Make(2, 3, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Values(t), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    Matrix diag(3, 1);
    MatrixDediagonalize(diag, Make(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Values(diag), (std::vector<double>{1, 5, 9}));
    Make d(3, 1, {7, 8, 9});
    d.diagonalize();
    MatrixDediagonalize(diag, d);
    EXPECT_EQ(Values(diag), (std::vector<double>{7, 8, 9}));

    // Outside the source the edge values repeat; a window inside copies it.
    Matrix dst(3, 3);
    MatrixCrop(dst, Make(2, 2, {1, 2, 3, 4}), 0, 0, 3, 3);
    EXPECT_EQ(Values(dst), (std::vector<double>{1, 1, 2, 1, 1, 2, 3, 3, 4}));
    Matrix big(4, 5), win(2, 3);
    for (int k = 0; k < 20; ++k) big.rwData()[k] = k;
    MatrixCrop(win, big, 2, 1, 3, 2);  // centred on column 2, row 1: rows 1-2, columns 1-3
    EXPECT_EQ(Values(win), (std::vector<double>{6, 7, 8, 11, 12, 13}));
}

TEST(MatrixImage, ChannelRoundTripThroughAWindowAndClamping) {
    CImage image(7, 5);
    for (int k = 0; k < 7 * 5 * 4; ++k) image.pixels()[k] = std::uint8_t(k * 37 + 11);
    Matrix m(3 * 2, 1);
    ImageToMatrix(m, image, 2, 3, 2, 3, 2);
    CImage out(3, 2);
    MatrixToImage(out, 2, m);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) {
            const std::uint8_t* in = image.pixels() + ((2 + r) * 7 + 3 + c) * 4;
            double expected;
            ReadChannelDouble(in, &expected, 1, 2);
            EXPECT_EQ(m.roData()[r * 3 + c], expected);
            EXPECT_EQ(out.pixels()[(r * 3 + c) * 4 + 2], in[2]);  // the same byte back
            EXPECT_EQ(out.pixels()[(r * 3 + c) * 4 + 1], 255);    // other channels untouched
        }
    MatrixToImage(out, 1, Make(6, 1, {-1, 0, 2, 1, 0.5, INFINITY}));
    EXPECT_EQ(out.pixels()[0 * 4 + 1], 0);
    EXPECT_EQ(out.pixels()[1 * 4 + 1], 0);
    EXPECT_GE(out.pixels()[2 * 4 + 1], 254);
    EXPECT_EQ(out.pixels()[2 * 4 + 1], out.pixels()[3 * 4 + 1]);
    EXPECT_EQ(out.pixels()[5 * 4 + 1], out.pixels()[3 * 4 + 1]);
}

TEST(MatrixDeathTest, ChecksNameTheFailedCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    double k[9] = {};
    Matrix m23(2, 3);
    EXPECT_DEATH((Matrix{0, 3}), "r > 0");
    EXPECT_DEATH((Matrix{4, 4, k, 3, 2, 2, 2}), "\\(filterColumns & 1\\) == 1");
    EXPECT_DEATH((void)Matrix(90000, 90000, k, 3, 3, 300, 300).count(), "c == mCount");
    EXPECT_DEATH(
        {
            Matrix d(3, 1);
            d.diagonalize();
            d.rwData();
        },
        "!mIsDiagonal");
    EXPECT_DEATH(MatrixAdd(m23, Matrix(3, 2), Matrix(2, 3)), "b.rows\\(\\) == a.rows\\(\\)");
}
