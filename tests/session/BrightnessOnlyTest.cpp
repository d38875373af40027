// Brightness only on the real methods: a grey photograph gives the per-channel pixels, a colour
// one keeps each pixel's chromaticity; previews take the setting of the moment they are asked.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "SessionTestSupport.h"

using namespace velkaro;

namespace {

ImageRef chelsea() {
    return ImageIO::sharedInstance().readFromFile(testDataPath("chelsea.png"));
}

// Each pixel's mean of its three bytes in all three.
ImageRef greyOf(const ImageRef& colour) {
    ImageRef grey = colour->copy();
    std::uint8_t* p = grey->pixels();
    for (int i = 0; i < grey->width() * grey->height(); ++i, p += 4)
        p[1] = p[2] = p[3] = std::uint8_t((p[1] + p[2] + p[3]) / 3);
    return grey;
}

ImageRef fullResult(Session& s, DeblurredEntry entry) {
    s.deblur(entry);
    return s.deblurredImage(entry);
}

// The red and blue shares of a pixel's luminance in linear light (the sRGB curve written out).
std::pair<double, double> chromaticity(const std::uint8_t* p) {
    double lin[4];
    for (int c = 1; c <= 3; ++c) {
        const double v = p[c] / 255.0;
        lin[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    }
    const double y = 0.2126 * lin[1] + 0.7152 * lin[2] + 0.0722 * lin[3];
    return {lin[1] / y, lin[3] / y};
}

// Pixels whose red or blue share moved by more than 4 %, among those (counted in `compared`) whose
// bytes stay clear of the dark end, where one byte is a large step, and of the top, where the
// scaled colour clips.
int chromaticityShifts(const ImageRef& before, const ImageRef& after, int* compared) {
    int shifted = 0;
    *compared = 0;
    const std::uint8_t *a = before->pixels(), *b = after->pixels();
    for (int i = 0; i < before->width() * before->height(); ++i, a += 4, b += 4) {
        if (std::min({a[1], a[2], a[3], b[1], b[2], b[3]}) < 48 ||
            std::max({b[1], b[2], b[3]}) >= 250)
            continue;
        ++*compared;
        const auto [r0, b0] = chromaticity(a);
        const auto [r1, b1] = chromaticity(b);
        shifted += std::abs(r1 / r0 - 1) > 0.04 || std::abs(b1 / b0 - 1) > 0.04;
    }
    return shifted;
}

}  // namespace

TEST(BrightnessOnly, GreyGivesThePerChannelPixelsAndColourKeepsItsRatios) {
    Session s;
    s.loadDecodedImage(greyOf(chelsea()));
    struct Case {
        DeblurType type;
        int step;
        BlurKernel kernel;
    };
    const KernelImageRef bent = KernelImage::fromWeights(
        5, {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0});
    ASSERT_TRUE(bent);
    for (const Case& c : {Case{DeblurUSM2, 4, -1}, Case{DeblurWI2, 6, 30},
                          Case{DeblurRL20, 4, BlurKernel(bent)}, Case{DeblurRT20, 3, -1}}) {
        DeblurredEntry entry{c.type, c.step, c.kernel.angle, {}, c.kernel.image};
        const ImageRef perChannel = fullResult(s, entry);
        entry.brightnessOnly = true;
        EXPECT_TRUE(samePixels(fullResult(s, entry), perChannel)) << DeblurTypeName(c.type);
    }

    // A preview takes the setting as it is asked for, whatever it is when it runs.
    const Rect section{100, 50, 160, 120};
    s.setBrightnessOnly(true);
    s.deblurPreviewAngleStep(4, DeblurRL20, -1, section);
    s.setBrightnessOnly(false);
    s.deblurPreviewAngleStep(4, DeblurRL20, -1, section);
    s.waitUntilIdle();
    DeblurredEntry entry{DeblurRL20, 4, -1, {}};
    const ImageRef perChannel = s.deblurredPreview(entry, 0, -1, 0, 0);
    entry.brightnessOnly = true;
    EXPECT_TRUE(samePixels(s.deblurredPreview(entry, 0, -1, 0, 0), perChannel));

    // On colour the luminance is sharpened (the pixels change) and the hue stays where the
    // per-channel result lets it drift.
    const ImageRef colour = chelsea();
    s.loadDecodedImage(colour);
    DeblurredEntry rl{DeblurRL20, 6, -1, {}};
    const ImageRef drifting = fullResult(s, rl);
    rl.brightnessOnly = true;
    const ImageRef kept = fullResult(s, rl);
    ASSERT_TRUE(kept && drifting);
    EXPECT_FALSE(samePixels(kept, colour));
    int compared = 0;
    EXPECT_EQ(chromaticityShifts(colour, kept, &compared), 0);
    EXPECT_GT(compared, colour->width() * colour->height() / 4);
    EXPECT_GT(chromaticityShifts(colour, drifting, &compared), 100);
}
