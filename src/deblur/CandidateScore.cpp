#include "CandidateScore.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "Check.h"
#include "Filter.h"
#include "Matrix.h"

namespace velkaro {

// Weights of the total. They were chosen with bench/calibrate_score.cpp: synthetic disc and motion
// blurs of the sample photographs, with and without noise, every candidate of several presets and
// radius steps compared with the sharp truth; these weights rank a candidate close to the truly
// best one first (see that program for the figures). Units: per unit of ln(1 + detail), per grey
// level of mean overshoot, of added fine-scale RMS and of re-blur residual RMS.
const ScoreWeights kScoreWeights = {10.0, 1.0, 0.35, 0.75};

namespace {

// Wording thresholds (grey levels) for DescribeScore.
constexpr double kHaloMedium = 1.0, kHaloHigh = 3.0;
constexpr double kNoiseMedium = 1.5, kNoiseHigh = 4.0;

// Tint strength: the artefact size (grey levels) that gives a full tint in the map.
constexpr float kHaloFullTint = 24.0f;
constexpr float kNoiseFullTint = 12.0f;

// Luma (Rec. 601 weights) of the sRGB bytes, in grey levels 0–255, one value per pixel.
void luma(const CImage& image, cv::Mat& out) {
    out.create(image.height(), image.width(), CV_32F);
    const std::uint8_t* p = image.pixels();
    for (int y = 0; y < image.height(); ++y) {
        float* row = out.ptr<float>(y);
        const std::uint8_t* q = p + std::size_t(y) * image.width() * 4;
        // Whole pixels as words (A, R, G, B in memory order), so that the loop widens.
        static_assert(std::endian::native == std::endian::little);
        for (int x = 0; x < image.width(); ++x) {
            std::uint32_t v;
            std::memcpy(&v, q + 4 * x, 4);
            row[x] = 0.299f * float((v >> 8) & 0xff) + 0.587f * float((v >> 16) & 0xff) +
                     0.114f * float(v >> 24);
        }
    }
}

// The same at half the size: every other pixel of every other row. Sampled, not averaged: a mean
// of 2 × 2 pixels would smooth away the fine ripples and the noise the score is looking for.
void halfLuma(const CImage& image, cv::Mat& out) {
    const int w = image.width() / 2, h = image.height() / 2;
    out.create(h, w, CV_32F);
    const std::size_t stride = std::size_t(image.width()) * 4;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* a = image.pixels() + 2 * y * stride;
        float* row = out.ptr<float>(y);
        for (int x = 0; x < w; ++x, a += 8)
            // Rec. 601 weights in 1/1024 steps: one conversion instead of three.
            row[x] = float(306 * a[1] + 601 * a[2] + 117 * a[3]) * (1.0f / 1024);
    }
}

// Work planes, kept per thread from one candidate to the next: a preview cell's planes are the
// same size every time, and fresh pages for each would cost more than the arithmetic.
struct Scratch {
    cv::Mat original, candidate, localMax, localMin, smooth, gradX, gradY, gradient, edges;
    cv::Mat halfZone, edgeZone;
};
Scratch& scratch() {
    thread_local Scratch planes;
    return planes;
}

// The per-pixel measurements both the score and the map are made of.
struct Maps {
    cv::Mat overshoot;                    // beyond the original's local range, grey levels
    cv::Mat fineOriginal, fineCandidate;  // squared fine-scale detail (minus a 3 × 3 mean)
    cv::Mat zone;  // 8-bit: kEdge within reach of a kernel of an edge, kFlat elsewhere, 0 border
};
constexpr std::uint8_t kEdge = 1, kFlat = 2;

// Their sums over the edge and flat zones, for the score.
struct Sums {
    double gradientBefore = 0, gradientAfter = 0, overshoot = 0;  // edge zone
    double fineBefore = 0, fineAfter = 0;                         // flat zone
    std::size_t edgeCount = 0, flatCount = 0;
};

struct Terms {
    cv::Mat original, candidate;  // luma
    int half = 0;                 // kernel half-width
    int margin = 0;               // border strip not judged
    cv::Mat edgeZone;             // 8-bit: non-zero within reach of a kernel of an edge
    Sums sums;
    // With half-size planes: the full-size images, for the gradients (a deblurred edge steepens
    // within a pixel or two, which a half-size plane cannot show).
    const CImage* originalImage = nullptr;
    const CImage* candidateImage = nullptr;
};

// Sobel gradient energy (grey levels per pixel) of the luma at the inner pixel `p` of an image of
// ARGB bytes with rows of `row` bytes.
inline float gradientEnergy(const std::uint8_t* p, std::ptrdiff_t row) {
    auto l = [](const std::uint8_t* q) { return float(306 * q[1] + 601 * q[2] + 117 * q[3]); };
    const std::uint8_t *above = p - row, *below = p + row;
    const float gx =
        (l(above + 4) - l(above - 4)) + 2 * (l(p + 4) - l(p - 4)) + (l(below + 4) - l(below - 4));
    const float gy =
        (l(below - 4) - l(above - 4)) + 2 * (l(below) - l(above)) + (l(below + 4) - l(above + 4));
    constexpr float scale = 0.125f / 1024;
    return (gx * gx + gy * gy) * (scale * scale);
}

// Sobel gradient energy (scaled to grey levels per pixel) at an inner pixel of `image`.
inline float gradientEnergy(const float* above, const float* row, const float* below, int x) {
    const float gx = 0.125f * ((above[x + 1] - above[x - 1]) + 2 * (row[x + 1] - row[x - 1]) +
                               (below[x + 1] - below[x - 1]));
    const float gy = 0.125f * ((below[x - 1] - above[x - 1]) + 2 * (below[x] - above[x]) +
                               (below[x + 1] - above[x + 1]));
    return gx * gx + gy * gy;
}

inline float square(float v) {
    return v * v;
}

inline float mean3x3(const float* above, const float* row, const float* below, int x) {
    return (above[x - 1] + above[x] + above[x + 1] + row[x - 1] + row[x] + row[x + 1] +
            below[x - 1] + below[x] + below[x + 1]) /
           9.0f;
}

// Measures the candidate from the luma planes `t.original` and `t.candidate`, either at full size
// (`halfSize` false) or already halved; `radius` is in the planes' pixels. Fills `maps` too when
// given.
void measure(Terms& t, bool halfSize, double radius, int angle, Maps* maps) {
    Scratch& k = scratch();
    const int w = t.original.cols, h = t.original.rows;
    t.half = SizeForFilter(radius, angle) / 2;

    // Halos and ringing: a deblurred edge may be steeper than the blurred one, but its values stay
    // within the range the original spans around it (blurring only averages neighbours). What goes
    // above the local maximum or below the local minimum over a window just wider than the kernel
    // is invented: a halo beside the edge or a ringing ripple.
    const int reach = t.half + 1;
    const cv::Mat window =
        cv::getStructuringElement(cv::MORPH_RECT, {2 * reach + 1, 2 * reach + 1});
    cv::dilate(t.original, k.localMax, window, {-1, -1}, 1, cv::BORDER_REPLICATE);
    cv::erode(t.original, k.localMin, window, {-1, -1}, 1, cv::BORDER_REPLICATE);
    const cv::Mat& localMax = k.localMax;
    const cv::Mat& localMin = k.localMin;

    // Edges of the original, found at half the size (the means of 2 × 2 pixels: lightly smoothed,
    // so that noise does not count as edges): squared gradient per pixel of the section above a
    // quarter of its mean (and above a floor of 1.5 grey levels per pixel). The edge zone widens
    // them by the kernel's reach: where sharpening acts and halos appear; the rest is flat.
    if (!halfSize)
        cv::resize(t.original, k.smooth, {(w + 1) / 2, (h + 1) / 2}, 0, 0, cv::INTER_AREA);
    const cv::Mat& smooth = halfSize ? t.original : k.smooth;
    cv::Sobel(smooth, k.gradX, CV_32F, 1, 0, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::Sobel(smooth, k.gradY, CV_32F, 0, 1, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::multiply(k.gradX, k.gradX, k.gradX);
    cv::multiply(k.gradY, k.gradY, k.gradY);
    cv::add(k.gradX, k.gradY, k.gradient);
    const double gradientMean = cv::mean(k.gradient)[0];
    const double threshold = std::max(1.5 * 1.5, 0.25 * gradientMean);
    cv::compare(k.gradient, threshold, k.edges, cv::CMP_GT);
    const int zoneReach = halfSize ? reach : (reach + 1) / 2;
    cv::dilate(k.edges, halfSize ? k.edgeZone : k.halfZone,
               cv::getStructuringElement(cv::MORPH_RECT, {2 * zoneReach + 1, 2 * zoneReach + 1}));
    if (!halfSize)
        cv::resize(k.halfZone, k.edgeZone, {w, h}, 0, 0, cv::INTER_NEAREST);
    t.edgeZone = k.edgeZone;
    const cv::Mat& edgeZone = t.edgeZone;

    // The methods see no neighbours beyond the section: its border strip is not judged (at least
    // one pixel, for the gradient's neighbours).
    t.margin = t.half + 2;
    if (2 * t.margin >= std::min(w, h))
        t.margin = std::max(1, std::min(w, h) / 4);

    if (maps) {
        maps->overshoot = cv::Mat::zeros(h, w, CV_32F);
        maps->fineOriginal = cv::Mat::zeros(h, w, CV_32F);
        maps->fineCandidate = cv::Mat::zeros(h, w, CV_32F);
        maps->zone = cv::Mat::zeros(h, w, CV_8U);
    }
    // The score's sums are means over thousands of pixels: every other pixel of every other row
    // estimates them as well at a quarter of the cost. The map is made of every pixel.
    const int stride = maps || halfSize ? 1 : 2;
    Sums& sums = t.sums;
    for (int y = t.margin; y < h - t.margin; y += stride) {
        const float* o = t.original.ptr<float>(y);
        const float* c = t.candidate.ptr<float>(y);
        const float* hi = localMax.ptr<float>(y);
        const float* lo = localMin.ptr<float>(y);
        const std::uint8_t* e = edgeZone.ptr<std::uint8_t>(y);
        for (int x = t.margin; x < w - t.margin; x += stride) {
            const float over = std::max(c[x] - hi[x], 0.0f) + std::max(lo[x] - c[x], 0.0f);
            if (e[x]) {
                // Detail: the gradient energy of the candidate against the original's.
                if (halfSize) {
                    const std::ptrdiff_t row = std::ptrdiff_t(t.originalImage->width()) * 4;
                    const std::ptrdiff_t at = 2 * y * row + 8 * x;
                    sums.gradientBefore += gradientEnergy(t.originalImage->pixels() + at, row);
                    sums.gradientAfter += gradientEnergy(t.candidateImage->pixels() + at, row);
                } else {
                    sums.gradientBefore += gradientEnergy(o - w, o, o + w, x);
                    sums.gradientAfter += gradientEnergy(c - w, c, c + w, x);
                }
                sums.overshoot += over;
                ++sums.edgeCount;
            }
            // Fine-scale energy: what a 3 × 3 mean removes. In flat areas it is noise (or the
            // ripples of oscillation); the candidate's excess over the original's is what the
            // method amplified.
            if (!e[x] || maps) {
                const float fo = square(o[x] - mean3x3(o - w, o, o + w, x));
                const float fc = square(c[x] - mean3x3(c - w, c, c + w, x));
                if (!e[x]) {
                    sums.fineBefore += fo;
                    sums.fineAfter += fc;
                    ++sums.flatCount;
                }
                if (maps) {
                    maps->fineOriginal.at<float>(y, x) = fo;
                    maps->fineCandidate.at<float>(y, x) = fc;
                }
            }
            if (maps) {
                maps->overshoot.at<float>(y, x) = over;
                maps->zone.at<std::uint8_t>(y, x) = e[x] ? kEdge : kFlat;
            }
        }
    }
}

// RMS of (kernel ⊛ candidate − original), in linear light, beyond the original's own noise, over
// the judged interior of the full-size section (the kernel of a small radius has no faithful
// half-size twin), on a grid of sample points sparse enough to keep the cost near 50 000 taps
// whatever the kernel's size: the residual's statistics need no more. The linear values are
// decoded at the taps only. `zone` is the edge zone at 1 / `zoneScale` of the size.
double reblurResidual(const CImage& original, const CImage& candidate, const cv::Mat& zone,
                      int zoneScale, double radius, int angle) {
    // Luminance in linear light (Rec. 709 weights on the decoded sRGB values), scaled to 0–255:
    // the methods blur and deblur in linear light.
    static const std::vector<float> decode = [] {
        std::vector<float> table(3 * 256);
        for (int i = 0; i < 256; ++i) {
            const double v = i / 255.0;
            const double l = 255 * (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
            table[i] = float(0.2126 * l), table[256 + i] = float(0.7152 * l);
            table[512 + i] = float(0.0722 * l);
        }
        return table;
    }();
    const float* d = decode.data();
    auto linear = [d](const std::uint8_t* p) { return d[p[1]] + d[256 + p[2]] + d[512 + p[3]]; };

    const int half = SizeForFilter(radius, angle) / 2;
    const int n = 2 * half + 1;
    Matrix kernel(n, n);
    GenerateFilter(kernel, radius, angle);
    std::vector<float> weights;
    FilterToFloats(weights, kernel);
    const int w = candidate.width(), h = candidate.height();
    // Taps as byte offsets into the image; near the border (a section too small for its margin)
    // the samples clamp their coordinates instead.
    struct Tap {
        int dy, dx;
        std::ptrdiff_t offset;
        float weight;
    };
    std::vector<Tap> taps;
    for (int i = 0; i < n * n; ++i)
        if (weights[i] != 0) {
            const int dy = i / n - half, dx = i % n - half;
            taps.push_back({dy, dx, 4 * (std::ptrdiff_t(dy) * w + dx), weights[i]});
        }
    int margin = half + 2;
    if (2 * margin >= std::min(w, h))
        margin = std::max(1, std::min(w, h) / 4);
    const bool inside = margin > half;
    const double area = double(w - 2 * margin) * (h - 2 * margin);
    const int stride = std::max(1, int(std::ceil(std::sqrt(area * double(taps.size()) / 5e4))));
    const std::ptrdiff_t row = 4 * std::ptrdiff_t(w);
    double sum = 0, noise = 0;
    std::size_t count = 0, flat = 0;
    for (int y = margin; y < h - margin; y += stride) {
        const std::uint8_t* zoneRow =
            zone.ptr<std::uint8_t>(std::min(y / zoneScale, zone.rows - 1));
        for (int x = margin; x < w - margin; x += stride) {
            const std::uint8_t* c = candidate.pixels() + (std::ptrdiff_t(y) * w + x) * 4;
            float value = 0;
            if (inside)
                for (const Tap& tap : taps) value += tap.weight * linear(c + tap.offset);
            else
                for (const Tap& tap : taps)
                    value +=
                        tap.weight * linear(candidate.pixels() +
                                            (std::ptrdiff_t(std::clamp(y + tap.dy, 0, h - 1)) * w +
                                             std::clamp(x + tap.dx, 0, w - 1)) *
                                                4);
            const std::uint8_t* o = original.pixels() + (std::ptrdiff_t(y) * w + x) * 4;
            const float centre = linear(o);
            const double r = value - centre;
            sum += r * r;
            ++count;
            if (!zoneRow[std::min(x / zoneScale, zone.cols - 1)]) {
                // The original's own noise: a pixel against the mean of its 3 × 3 neighbourhood
                // in a flat area; for white noise of variance v that difference has variance 8v/9.
                float around = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) around += linear(o + dy * row + 4 * dx);
                const double fine = centre - around / 9.0f;
                noise += fine * fine * 9.0 / 8.0;
                ++flat;
            }
        }
    }
    // No deblurred candidate can explain the original's noise by re-blurring: that much of the
    // residual is expected and not counted.
    const double expected = flat ? noise / double(flat) : 0.0;
    return count ? std::sqrt(std::max(0.0, sum / double(count) - expected)) : 0.0;
}

}  // namespace

CandidateScore ScoreCandidate(const CImage& original, const CImage& candidate, double radius,
                              int angle) {
    VK_CHECK(original.width() == candidate.width() && original.height() == candidate.height());
    VK_CHECK(original.width() > 0 && original.height() > 0);
    // Every term is measured at half the size, with the kernel halved too: the terms are means
    // over the section and keep their meaning, at a quarter of the cost. A section too small to
    // halve is judged as it is.
    Scratch& k = scratch();
    Terms t;
    const bool halfSize = std::min(original.width(), original.height()) >= 16;
    const double halfRadius = halfSize ? 0.5 * radius : radius;
    if (halfSize) {
        halfLuma(original, k.original);
        halfLuma(candidate, k.candidate);
    } else {
        luma(original, k.original);
        luma(candidate, k.candidate);
    }
    t.original = k.original;
    t.candidate = k.candidate;
    t.originalImage = &original;
    t.candidateImage = &candidate;
    measure(t, halfSize, halfRadius, angle, nullptr);
    const Sums& sums = t.sums;
    CandidateScore s;
    // Detail: gradient energy of the candidate against the original's around the edges. A sharper
    // edge of the same contrast puts its rise into fewer pixels, so its squared gradient grows.
    s.detail =
        sums.gradientBefore > 0 ? std::sqrt(sums.gradientAfter / sums.gradientBefore) - 1.0 : 0.0;
    // Halo: mean overshoot near the edges.
    s.halo = sums.edgeCount ? sums.overshoot / double(sums.edgeCount) : 0.0;
    // Noise: fine-scale RMS the candidate adds in flat areas.
    s.noise =
        sums.flatCount
            ? std::sqrt(std::max(0.0, (sums.fineAfter - sums.fineBefore) / double(sums.flatCount)))
            : 0.0;
    const std::size_t judged = sums.edgeCount + sums.flatCount;
    s.edgeShare = judged ? double(sums.edgeCount) / double(judged) : 0.0;
    // Consistency: the candidate blurred again with the cell's kernel against the original.
    s.consistency =
        reblurResidual(original, candidate, t.edgeZone, halfSize ? 2 : 1, radius, angle);
    s.total = ScoreTotal(s, kScoreWeights);
    return s;
}

double ScoreTotal(const CandidateScore& parts, const ScoreWeights& weights) {
    // Detail and halos count for the share of the section near edges, noise for the flat rest:
    // what is at stake over the whole section. The consistency already covers all of it.
    const double edges = parts.edgeShare, flat = 1.0 - parts.edgeShare;
    return edges * (weights.detail * std::log1p(std::max(parts.detail, -0.9)) -
                    weights.halo * parts.halo) -
           flat * weights.noise * parts.noise - weights.consistency * parts.consistency;
}

std::string DescribeScore(const CandidateScore& score) {
    auto level = [](double v, double medium, double high) {
        return v >= high ? "high" : v >= medium ? "medium" : "low";
    };
    char text[96];
    std::snprintf(text, sizeof text, "detail %+.0f %%, halos %s, noise %s", score.detail * 100,
                  level(score.halo, kHaloMedium, kHaloHigh),
                  level(score.noise, kNoiseMedium, kNoiseHigh));
    return text;
}

ImageRef ArtefactMap(const CImage& original, const CImage& candidate, double radius, int angle) {
    VK_CHECK(original.width() == candidate.width() && original.height() == candidate.height());
    VK_CHECK(original.width() > 0 && original.height() > 0);
    Terms t;
    luma(original, t.original);
    luma(candidate, t.candidate);
    Maps m;
    measure(t, false, radius, angle, &m);
    // Per pixel: the overshoot near edges (red) and the added fine-scale RMS over a 5 × 5
    // neighbourhood in flat areas (blue), each as a tint strength from 0 to 1.
    cv::Mat halo, added, fineC, fineO;
    cv::blur(m.overshoot, halo, {3, 3});
    cv::blur(m.fineCandidate, fineC, {5, 5});
    cv::blur(m.fineOriginal, fineO, {5, 5});
    cv::sqrt(cv::max(fineC - fineO, 0.0), added);

    ImageRef map = Image::create(candidate.width(), candidate.height());
    const std::uint8_t* src = candidate.pixels();
    std::uint8_t* dst = map->pixels();
    for (int y = 0; y < candidate.height(); ++y) {
        const float* haloRow = halo.ptr<float>(y);
        const float* addedRow = added.ptr<float>(y);
        const std::uint8_t* zone = m.zone.ptr<std::uint8_t>(y);
        for (int x = 0; x < candidate.width(); ++x, src += 4, dst += 4) {
            const float red = zone[x] == kEdge ? std::min(1.0f, haloRow[x] / kHaloFullTint) : 0.0f;
            const float blue =
                zone[x] == kFlat ? std::min(1.0f, addedRow[x] / kNoiseFullTint) : 0.0f;
            // Over the candidate in grey, so that the tints stand out whatever its colours.
            const float grey = 0.299f * src[1] + 0.587f * src[2] + 0.114f * src[3];
            const float keep = std::max(0.0f, 1.0f - red - blue);
            dst[0] = 255;
            dst[1] = std::uint8_t(std::lround(grey * keep + 255 * red));
            dst[2] = std::uint8_t(std::lround(grey * keep));
            dst[3] = std::uint8_t(std::lround(grey * keep + 255 * blue));
        }
    }
    return map;
}

}  // namespace velkaro
