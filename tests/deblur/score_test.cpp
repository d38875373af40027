// The candidate score against the truth on synthetic blurs of the sample photographs, and the
// artefact map on synthetic patterns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "BlurEstimate.h"
#include "CandidateScore.h"
#include "DeblurMethods.h"
#include "DeblurTestSupport.h"

using namespace velkaro;
using namespace deblurtest;

namespace {

double Psnr(const CImage& a, const CImage& b) {
    double sum = 0;
    const std::size_t n = std::size_t(a.width()) * a.height();
    for (std::size_t i = 0; i < n * 4; ++i)
        if (i % 4)
            sum += std::pow(double(a.pixels()[i]) - b.pixels()[i], 2);
    return 10 * std::log10(255.0 * 255.0 * 3 * n / std::max(sum, 1e-9));
}

// The three channels of the region through the preset's method.
CImage RunPreset(DeblurType type, const CImage& in, double r, int x, int y, int w, int h) {
    CImage out(w, h);
    for (int c = 1; c <= 3; ++c)
        DefaultDeblurMethods()[PresetFor(type).method].run(
            MethodCall{in, out, c, r, PresetFor(type).parameter, -1, Region{x, y, w, h}, nullptr});
    return out;
}

TEST(CandidateScore, TopRankedCandidateIsCloseToTheBestOnSyntheticBlurs) {
    struct Case {
        const char* photo;
        double radius;
        int angle;  // < 0: disc
        double noise;
    };
    // The last is sharp: no blur is found, and gentle cells rank first.
    const Case cases[] = {{"astronaut.png", 2.0, -1, 0}, {"coffee.png", 3.0, -1, 2},
                          {"camera.png", 2.5, -1, 2},    {"astronaut.png", 2.5, 30, 0},
                          {"coffee.png", 2.0, 120, 2},   {"chelsea.png", 0, -1, 0}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.photo) + " radius " + std::to_string(k.radius) + " angle " +
                     std::to_string(k.angle) + " noise " + std::to_string(k.noise));
        const CImage sharp = samplePhoto(k.photo),
                     blurry = k.radius > 0 ? blurred(sharp, k.radius, k.angle, k.noise, 7) : sharp;
        const int x = sharp.width() / 2 - 96, y = sharp.height() / 2 - 96, size = 192;
        const CImage truth = CropImage(sharp, x, y, size, size),
                     original = CropImage(blurry, x, y, size, size);
        // As the grid scores its cells: with the section's blur estimate.
        const BlurEstimate blur = EstimateBlur(original, Region{0, 0, size, size});
        std::vector<double> psnrs;
        std::vector<CandidateScore> grid;
        for (int step = 1; step <= 8; ++step)
            for (DeblurType type : {DeblurUSM3, DeblurWF2, DeblurRL20}) {
                const CImage candidate = RunPreset(type, blurry, step * 0.5, x, y, size, size);
                psnrs.push_back(Psnr(candidate, truth));
                grid.push_back(
                    ScoreCandidate(ScoreBasis(original, step * 0.5, -1, blur), candidate));
            }
        const double top = psnrs[RankCandidates(grid).front()];
        EXPECT_GE(top, *std::max_element(psnrs.begin(), psnrs.end()) - 1.5);
    }
}

// Three cells of one grid, at radius 0.5, 2 and 4 (where the section's blur was estimated), each
// adding a little detail and more noise. Whether the grid has little to gain depends on how far
// the original itself is from what its re-blur gives back: close, and none of the cells scores
// above it; far (much blur to undo), and they do.
TEST(CandidateScore, GridsThatGainNothingRankTheirGentlestCellFirst) {
    struct Case {
        double originalResidual;
        bool littleToGain;
        double topRadius;
    };
    for (const Case& k : {Case{0.2, true, 0.5}, Case{4.0, false, 4.0}}) {
        SCOPED_TRACE(k.originalResidual);
        std::vector<CandidateScore> grid;
        for (double radius : {0.5, 2.0, 4.0}) {
            CandidateScore s;
            s.radius = radius;
            s.detail = 0.02 * radius;
            s.noise = 0.3 * radius;
            s.consistency = 1.0;
            s.edgeShare = 0.5;
            s.estimateGap = std::fabs(radius - 4.0) / 4.0 * 0.8;
            s.originalResidual = k.originalResidual;
            s.total = ScoreTotal(s, kScoreWeights);
            grid.push_back(s);
        }
        EXPECT_EQ(LittleToGain(grid), k.littleToGain);
        // The original is judged best against the kernel the estimate found.
        EXPECT_EQ(grid[OriginalBasis(grid)].radius, 4.0);
        const std::vector<std::size_t> order = RankCandidates(grid);
        ASSERT_EQ(order.size(), grid.size());
        EXPECT_EQ(grid[order.front()].radius, k.topRadius);
    }
}

// A cell of Richardson–Lucy confined to the detailed areas (RT) swaps places with its plain
// variant (RL, same radius and iterations) unless it scores kConfinedMargin more; cells between
// keep their places. Cell 0 is confined, cell 2 its plain variant; totals in margins.
TEST(CandidateScore, ConfinedCellsRankAboveTheirPlainVariantOnlyByAMargin) {
    const double totals[][3] = {{0, -0.2, -0.5}, {0, -0.9, -0.5}, {0, -0.5, -1.5}, {-0.5, -1, 0}};
    const std::vector<std::size_t> orders[] = {{2, 1, 0}, {2, 0, 1}, {0, 1, 2}, {2, 0, 1}};
    for (int c = 0; c < 4; ++c) {
        // Flat cells whose totals their re-blur residual sets; the original re-blurs far worse.
        std::vector<CandidateScore> grid(3);
        for (std::size_t i = 0; i < 3; ++i) {
            grid[i].consistency = (1 - totals[c][i]) * kConfinedMargin / kScoreWeights.consistency;
            grid[i].originalResidual = 100;
        }
        EXPECT_EQ(RankCandidates(grid, kScoreWeights, {2, -1, -1}), orders[c]) << c;
    }
}

// A grey 96 × 64 picture: dark left, bright right, the edge at column 48 (a ramp over
// `width` columns); `ripple` adds a decaying oscillation around the edge, `noise` noise in
// columns 4–20.
CImage EdgePicture(int width, double ripple, double noise) {
    CImage image(96, 64);
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0, noise > 0 ? noise : 1);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x) {
            const double t = std::clamp((x - 48.0) / width + 0.5, 0.0, 1.0);
            double v = 60 + 130 * t;
            v += ripple * std::cos((x - 48) * 1.6) * std::exp(-std::abs(x - 48) / 6.0);
            if (noise > 0 && x >= 4 && x < 20)
                v += gauss(random);
            std::uint8_t* p = image.pixels() + (std::size_t(y) * 96 + x) * 4;
            p[1] = p[2] = p[3] = std::uint8_t(std::clamp(std::lround(v), 0L, 255L));
        }
    return image;
}

// The mean red and blue tints (× 255) of the artefact map of a grey candidate over columns x0–x1
// of rows y0–y1: on grey, red and blue stand out from green.
std::pair<double, double> MeanTints(const CImage& original, const CImage& candidate, int x0, int x1,
                                    int y0, int y1) {
    ImageRef map = ArtefactMap(original, candidate, 2.0, -1);
    double red = 0, blue = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const std::uint8_t* p = map->pixels() + (std::size_t(y) * map->width() + x) * 4;
            red += p[1] - p[2], blue += p[3] - p[2];
        }
    const double n = double(x1 - x0) * (y1 - y0);
    return {red / n, blue / n};
}

// Noise added to a section counts around its edges as much as the section's own noise could
// explain them: hardly at all on strong edges, about as much as in the flat areas on texture as
// faint as the noise, and there for a wide kernel too (less), whose reach leaves under a fifth of
// the section flat; the artefact map tints it likewise. The section: a flat left quarter, then soft
// squares of `contrast` grey levels, σ = 1.5 noise everywhere; the candidate adds σ = 3 noise
// everywhere.
TEST(CandidateScore, EdgeNoiseCountsWhereTheEdgesAreAsFaintAsTheNoise) {
    struct Case {
        double contrast;
        double minShare, minWideShare, maxShare;  // of the noise added around edges that counts
        double minBlue, maxBlue;                  // the map's mean tint over the squares, × 255
    };
    for (const Case& k : {Case{80, 0, 0, 0.1, 0, 10}, Case{4, 0.3, 0.05, 1, 30, 255}}) {
        SCOPED_TRACE(k.contrast);
        std::mt19937 random(5);
        std::normal_distribution<double> gauss(0, 1);
        CImage original(192, 192), candidate(192, 192);
        for (int y = 0; y < 192; ++y)
            for (int x = 0; x < 192; ++x) {
                const double square = x < 48                                      ? 0
                                      : std::sin(x * 0.2) * std::sin(y * 0.2) > 0 ? k.contrast
                                                                                  : 0;
                const double v = 100 + square + 1.5 * gauss(random);
                const std::size_t at = (std::size_t(y) * 192 + x) * 4;
                original.pixels()[at + 1] = original.pixels()[at + 2] = original.pixels()[at + 3] =
                    std::uint8_t(std::lround(v));
                candidate.pixels()[at + 1] = candidate.pixels()[at + 2] =
                    candidate.pixels()[at + 3] = std::uint8_t(std::lround(v + 3 * gauss(random)));
            }
        // The original itself adds no detail, halo or noise.
        const CandidateScore same = ScoreCandidate(original, original, 2.0, -1);
        EXPECT_TRUE(std::fabs(same.detail) < 1e-9 && same.halo == 0 && same.noise == 0 &&
                    same.edgeNoise == 0);
        for (double radius : {2.0, 12.0}) {
            SCOPED_TRACE(radius);
            const CandidateScore s = ScoreCandidate(original, candidate, radius, -1);
            ASSERT_GT(s.noise, 1.0);  // the added noise as the flat areas measure it
            EXPECT_GE(s.edgeNoise / s.noise, radius > 2 ? k.minWideShare : k.minShare);
            EXPECT_LE(s.edgeNoise / s.noise, k.maxShare);
        }
        // The artefact map tints the squares blue as far as their added noise counts.
        const double blue = MeanTints(original, candidate, 80, 176, 16, 176).second;
        EXPECT_GE(blue, k.minBlue);
        EXPECT_LE(blue, k.maxBlue);
    }
}

// Noise a candidate adds is measured at every radius: a wide kernel's reach around sparse edges
// (small dots 16 pixels apart in a smooth, noisy section) covers the whole section, yet the noise
// still counts and the noisy candidate scores below the original's own total.
TEST(CandidateScore, AddedNoiseCountsForTheWidestKernels) {
    std::mt19937 random(7);
    std::normal_distribution<double> gauss(0, 1);
    CImage original(256, 256), candidate(256, 256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) {
            const double v = (x % 16 < 2 && y % 16 < 2 ? 160 : 100) + gauss(random);
            const std::size_t at = (std::size_t(y) * 256 + x) * 4;
            original.pixels()[at + 1] = original.pixels()[at + 2] = original.pixels()[at + 3] =
                std::uint8_t(std::lround(v));
            candidate.pixels()[at + 1] = candidate.pixels()[at + 2] = candidate.pixels()[at + 3] =
                std::uint8_t(std::lround(v + 4 * gauss(random)));
        }
    for (double radius : {2.0, 8.0, 15.0}) {
        SCOPED_TRACE(radius);
        const CandidateScore s = ScoreCandidate(original, candidate, radius, -1);
        EXPECT_GT(s.noise, 2.0);
        EXPECT_LT(s.total, OriginalTotal(s, kScoreWeights));
    }
}

TEST(ArtefactMap, TintsRingingRedAndNoiseBlueAndLeavesCleanAreasAlone) {
    const CImage original = EdgePicture(8, 0, 0);
    struct Case {
        const char* name;
        CImage candidate;
        int x0, x1;                               // columns looked at (rows 12–52)
        double minRed, maxRed, minBlue, maxBlue;  // mean tint strength × 255
    };
    const Case cases[] = {
        {"ringing at the edge", EdgePicture(2, 40, 0), 40, 57, 40, 255, 0, 0},
        {"sharp edge, flat side", EdgePicture(2, 0, 0), 70, 90, 0, 0, 0, 0},
        {"noise in a flat area", EdgePicture(8, 0, 12), 8, 17, 0, 0, 40, 255},
        {"clean flat area", EdgePicture(8, 0, 0), 8, 17, 0, 0, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const auto [red, blue] = MeanTints(original, k.candidate, k.x0, k.x1, 12, 52);
        EXPECT_GE(red, k.minRed);
        EXPECT_LE(red, k.maxRed);
        EXPECT_GE(blue, k.minBlue);
        EXPECT_LE(blue, k.maxBlue);
    }
}

}  // namespace
