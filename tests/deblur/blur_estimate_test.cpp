// The blur estimate on the sample photographs blurred by the grid's own kernels (the blur
// simulation's convolution), with and without noise, and on sections without blur.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "BlurEstimate.h"
#include "DeblurTestSupport.h"

using namespace velkaro;
using namespace deblurtest;

namespace {

BlurEstimate EstimateCentre(const CImage& image) {
    const int w = std::min(512, image.width()), h = std::min(512, image.height());
    return EstimateBlur(image, Region{(image.width() - w) / 2, (image.height() - h) / 2, w, h});
}

int AngleError(int a, int b) {
    const int d = std::abs(a - b) % 180;
    return std::min(d, 180 - d);
}

TEST(BlurEstimate, FindsShapeRadiusAndAngleOfSyntheticBlurs) {
    std::vector<CImage> photos;
    for (const char* f : {"astronaut.png", "camera.png", "coffee.png", "rocket.jpg", "chelsea.png"})
        photos.push_back(samplePhoto(f));

    // No blur: the sharp originals, noise alone, and a region too small to measure.
    CImage noise(512, 512);
    std::mt19937 rng(5);
    for (std::size_t i = 0; i < std::size_t(512) * 512 * 4; ++i)
        if (i % 4)
            noise.pixels()[i] = std::uint8_t(100 + rng() % 60);
    for (std::size_t k = 0; k <= photos.size(); ++k) {
        const BlurEstimate e = EstimateCentre(k < photos.size() ? photos[k] : noise);
        EXPECT_EQ(e.shape, BlurShape::None) << k;
        EXPECT_LT(e.confidence, 0.2) << k;
    }
    EXPECT_EQ(EstimateBlur(blurred(photos[0], 5.0, 30, 0, 0), Region{0, 0, 40, 512}).shape,
              BlurShape::None);
    // Photographs smaller than the spectrum's tiles are still measured.
    for (const auto& [step, angle, w, h] : {std::array{10, -1, 100, 100},
                                            {14, -1, 512, 90},
                                            {12, 30, 100, 512},
                                            {16, 90, 110, 110}}) {
        const BlurEstimate e = EstimateBlur(blurred(photos[1], step * 0.5, angle, 1.0, step),
                                            Region{(512 - w) / 2, (512 - h) / 2, w, h});
        EXPECT_EQ(e.shape, angle < 0 ? BlurShape::Disc : BlurShape::Motion) << w << "x" << h;
        EXPECT_LE(std::abs(e.radiusStep - step), 1) << w << "x" << h;
        EXPECT_LE(angle < 0 ? 0 : AngleError(e.angle, angle), 10) << w << "x" << h;
    }
    // A real shake: the clock moved horizontally by about 30 pixels or more (the grid's longest
    // line), the zeros of its spectrum filled by the uneven speed.
    const BlurEstimate clock = EstimateCentre(samplePhoto("clock_motion.png"));
    EXPECT_EQ(clock.shape, BlurShape::Motion);
    EXPECT_LE(AngleError(clock.angle, 0), 10);
    EXPECT_GE(clock.radiusStep, 24);

    // Discs of steps 2 … 14, lines of steps 4 … 20 at six angles; each without and with noise.
    std::vector<std::pair<int, int>> cases;  // step, angle (−1: disc)
    for (int step = 2; step <= 14; step += 2) cases.push_back({step, -1});
    const int angles[] = {0, 30, 75, 90, 120, 160};
    for (int k = 0; k < 10; ++k) cases.push_back({4 + 4 * (k / 2), angles[k % 6]});
    int total = 0, good = 0;
    for (const auto& [step, angle] : cases)
        for (double sigma : {0.0, 2.0}) {
            const CImage& photo = photos[(total / 2) % photos.size()];
            const BlurEstimate e =
                EstimateCentre(blurred(photo, step * 0.5, angle, sigma, ++total));
            good += e.shape == (angle < 0 ? BlurShape::Disc : BlurShape::Motion) &&
                    std::abs(e.radiusStep - step) <= 1 &&
                    (angle < 0 || AngleError(e.angle, angle) <= 10);
        }
    EXPECT_GE(good, total * 8 / 10);
}

}  // namespace
