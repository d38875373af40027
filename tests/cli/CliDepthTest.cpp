// velkaro-cli on photographs of 16 bits a sample: read, deblurred and written at full depth.

#include <gtest/gtest.h>

#include <set>

#include "CliRunner.h"

using namespace velkaro;
using namespace testsupport;

namespace {

// The distinct levels of the green samples of `image`, at its own depth.
std::size_t greenLevels(const Image& image) {
    std::set<int> levels;
    const std::size_t n = std::size_t(image.width()) * image.height();
    for (std::size_t i = 0; i < n; ++i)
        levels.insert(image.depth() == 16
                          ? reinterpret_cast<const std::uint16_t*>(image.pixels())[4 * i + 2]
                          : image.pixels()[4 * i + 2]);
    return levels.size();
}

}  // namespace

// A smooth gradient, blurred and then deblurred by RL40 through the tool: at 16 bits the result
// keeps thousands of levels and stays the gradient; through 8 bits it has at most 256 (steps).
TEST(CliDepth, SixteenBitGradientDeblursWithoutBandingAndDepthIsKeptOrChosen) {
    const TempDir dir;
    const int w = 480, h = 96;
    auto gradient = Image::create(w, h, 16);
    auto* p = reinterpret_cast<std::uint16_t*>(gradient->pixels());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x, p += 4) {
            const double t = 0.8 * x / (w - 1) + 0.2 * y / (h - 1);
            p[0] = 65535;
            p[1] = std::uint16_t(8000 + 40000 * t);
            p[2] = std::uint16_t(12000 + 30000 * t);
            p[3] = std::uint16_t(20000 + 20000 * t * t);
        }
    const std::string sharp = dir.file("gradient.png"), blurred = dir.file("blurred.tif");
    ASSERT_TRUE(ImageIO::sharedInstance().writeImage(gradient, sharp));
    CliRun info = cli({"info", sharp});
    EXPECT_NE(info.out.find("depth: 16-bit RGB"), std::string::npos) << info.out;

    ASSERT_EQ(cli({"deblur", sharp, blurred, "--preset", "blur", "--radius", "2"}).status, 0);
    ASSERT_EQ(cli({"convert", blurred, dir.file("blurred8.png"), "--depth", "8"}).status, 0);
    ASSERT_EQ(
        cli({"deblur", blurred, dir.file("rl16.png"), "--preset", "RL40", "--radius", "2"}).status,
        0);
    ASSERT_EQ(cli({"deblur", dir.file("blurred8.png"), dir.file("rl8.png"), "--preset", "RL40",
                   "--radius", "2"})
                  .status,
              0);
    // Blended back towards the photograph through a mask, still at 16 bits.
    ASSERT_EQ(cli({"deblur", blurred, dir.file("masked.png"), "--preset", "RL40", "--radius", "2",
                   "--mask", "B", "--mask-opacity", "0.8"})
                  .status,
              0);
    const ImageRef deep = decode(dir.file("rl16.png")), shallow = decode(dir.file("rl8.png"));
    const ImageRef masked = decode(dir.file("masked.png"));
    ASSERT_TRUE(decode(blurred) && decode(blurred)->depth() == 16);
    ASSERT_TRUE(deep && shallow && masked);
    EXPECT_EQ(deep->depth(), 16);
    EXPECT_EQ(shallow->depth(), 8);
    EXPECT_EQ(masked->depth(), 16);
    EXPECT_GE(greenLevels(*deep), 4000u);
    EXPECT_GE(greenLevels(*masked), 4000u);
    EXPECT_LE(greenLevels(*shallow), 256u);
    // Away from the edges the deblurred gradient is the gradient.
    const auto* d = reinterpret_cast<const std::uint16_t*>(deep->pixels());
    const auto* g = reinterpret_cast<const std::uint16_t*>(gradient->pixels());
    double worst = 0;
    for (int y = 16; y < h - 16; ++y)
        for (int x = 16; x < w - 16; ++x)
            for (int c = 1; c <= 3; ++c) {
                const std::size_t at = (std::size_t(y) * w + x) * 4 + c;
                worst = std::max(worst, std::abs(double(d[at]) - double(g[at])));
            }
    EXPECT_LT(worst, 300.0);

    // --depth chooses; JPEG is 8-bit only.
    struct Case {
        std::vector<std::string> args;
        int status;
        int depth;
    };
    const Case cases[] = {
        {{"convert", sharp, dir.file("same.tif")}, 0, 16},
        {{"convert", sharp, dir.file("eight.tif"), "--depth", "8"}, 0, 8},
        {{"convert", dir.file("blurred8.png"), dir.file("wide.png"), "--depth", "16"}, 0, 16},
        {{"deblur", sharp, dir.file("fr8.png"), "--preset", "FR", "--radius", "1", "--depth", "8"},
         0,
         8},
        {{"convert", sharp, dir.file("no.jpg"), "--depth", "16"}, 2, 0},
        {{"convert", sharp, dir.file("no.png"), "--depth", "12"}, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[2]);
        const CliRun run = cli(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        const ImageRef written = decode(c.args[2]);
        EXPECT_EQ(written ? written->depth() : 0, c.depth);
    }
    // Widened exactly, and the pass-through narrowed to the nearest level.
    const ImageRef eight = decode(dir.file("blurred8.png")), wide = decode(dir.file("wide.png"));
    ASSERT_TRUE(eight && wide);
    EXPECT_EQ(*ImageAtDepth(eight, 16)->data(), *wide->data());
    EXPECT_EQ(*ImageAtDepth(wide, 8)->data(), *eight->data());
    EXPECT_EQ(*ImageAtDepth(gradient, 8)->data(), *decode(dir.file("fr8.png"))->data());
}
