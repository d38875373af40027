#include "Matrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "ColorSpace.h"
#include "MatrixImage.h"

using namespace velkaro;

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
    const double wild[] = {-1, 0, 2, 1, 0.5, INFINITY};
    std::copy(wild, wild + 6, m.rwData());
    MatrixToImage(out, 1, m);
    EXPECT_EQ(out.pixels()[0 * 4 + 1], 0);
    EXPECT_EQ(out.pixels()[1 * 4 + 1], 0);
    EXPECT_GE(out.pixels()[2 * 4 + 1], 254);
    EXPECT_EQ(out.pixels()[2 * 4 + 1], out.pixels()[3 * 4 + 1]);
    EXPECT_EQ(out.pixels()[5 * 4 + 1], out.pixels()[3 * 4 + 1]);
}
