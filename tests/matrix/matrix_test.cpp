#include "Matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ColorSpace.h"
#include "MatrixImage.h"
#include "MatrixOps.h"

using namespace velkaro;

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

}  // namespace

TEST(MatrixOps, CropRepeatsTheEdgesOutsideTheSource) {
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
