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
const ScoreWeights kScoreWeights = {10.0, 0.5, 0.75, 1.0};

namespace {

// Wording thresholds (grey levels) for DescribeScore.
constexpr double kHaloMedium = 1.0, kHaloHigh = 3.0;
constexpr double kNoiseMedium = 1.5, kNoiseHigh = 4.0;

// Tint strength: the artefact size (grey levels) that gives a full tint in the map.
constexpr float kHaloFullTint = 24.0f;
constexpr float kNoiseFullTint = 12.0f;

// Luma (Rec. 601 weights) of the sRGB bytes, in grey levels 0–255, and, when `linear` is given,
// the luminance in linear light (Rec. 709 weights on the decoded sRGB values) scaled to 0–255: the
// methods blur and deblur in linear light, so the re-blur is compared there. One pass over the
// pixels for both.
void luma(const CImage& image, cv::Mat& out, cv::Mat* linear) {
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
    out.create(image.height(), image.width(), CV_32F);
    if (linear)
        linear->create(image.height(), image.width(), CV_32F);
    const std::uint8_t* p = image.pixels();
    const float* d = decode.data();
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
        if (!linear)
            continue;
        float* lin = linear->ptr<float>(y);
        for (int x = 0; x < image.width(); ++x)
            lin[x] = d[q[4 * x + 1]] + d[256 + q[4 * x + 2]] + d[512 + q[4 * x + 3]];
    }
}

// Work planes, kept per thread from one candidate to the next: a preview cell's planes are the
// same size every time, and fresh pages for each would cost more than the arithmetic.
struct Scratch {
    cv::Mat original, candidate, localMax, localMin, smooth, gradX, gradY, gradient, edges;
    cv::Mat halfZone, edgeZone;
    cv::Mat linearOriginal, linearCandidate;
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
};

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

// Measures the candidate; fills `maps` too when given.
Terms measure(const CImage& original, const CImage& candidate, double radius, int angle,
              Maps* maps) {
    VK_CHECK(original.width() == candidate.width() && original.height() == candidate.height());
    VK_CHECK(original.width() > 0 && original.height() > 0);
    Scratch& k = scratch();
    Terms t;
    // The map needs no re-blur: no linear planes.
    luma(original, k.original, maps ? nullptr : &k.linearOriginal);
    luma(candidate, k.candidate, maps ? nullptr : &k.linearCandidate);
    t.original = k.original;
    t.candidate = k.candidate;
    const int w = original.width(), h = original.height();
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

    // Edges of the original, found on a copy of half the size (the means of 2 × 2 pixels: lightly
    // smoothed, so that noise does not count as edges, and a quarter of the work): squared
    // gradient per pixel of the section above a quarter of its mean (and above a floor of 1.5 grey
    // levels per pixel). The edge zone widens them by the kernel's reach: where sharpening acts
    // and halos appear; the rest is flat.
    cv::resize(t.original, k.smooth, {(w + 1) / 2, (h + 1) / 2}, 0, 0, cv::INTER_AREA);
    cv::Sobel(k.smooth, k.gradX, CV_32F, 1, 0, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::Sobel(k.smooth, k.gradY, CV_32F, 0, 1, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::multiply(k.gradX, k.gradX, k.gradX);
    cv::multiply(k.gradY, k.gradY, k.gradY);
    cv::add(k.gradX, k.gradY, k.gradient);
    const double gradientMean = cv::mean(k.gradient)[0];
    const double threshold = std::max(1.5 * 1.5, 0.25 * gradientMean);
    cv::compare(k.gradient, threshold, k.edges, cv::CMP_GT);
    const int halfReach = (reach + 1) / 2;
    cv::dilate(k.edges, k.halfZone,
               cv::getStructuringElement(cv::MORPH_RECT, {2 * halfReach + 1, 2 * halfReach + 1}));
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
    const int stride = maps ? 1 : 2;
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
                sums.gradientBefore += gradientEnergy(o - w, o, o + w, x);
                sums.gradientAfter += gradientEnergy(c - w, c, c + w, x);
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
    return t;
}

// RMS of (kernel ⊛ candidate − original), in linear light, beyond the original's own noise, over
// the judged interior, on a grid of sample points sparse enough to keep the cost near 400 000
// multiply-adds whatever the kernel's size: the residual's statistics need no more.
double reblurResidual(const Terms& t, double radius, int angle) {
    Scratch& k = scratch();
    const cv::Mat& before = k.linearOriginal;
    const cv::Mat& after = k.linearCandidate;
    const int n = 2 * t.half + 1;
    Matrix kernel(n, n);
    GenerateFilter(kernel, radius, angle);
    std::vector<float> weights;
    FilterToFloats(weights, kernel);
    const int w = t.candidate.cols, h = t.candidate.rows;
    // Taps as offsets into the plane; near the border (a section too small for its margin) the
    // samples clamp their coordinates instead.
    struct Tap {
        int dy, dx;
        std::ptrdiff_t offset;
        float weight;
    };
    std::vector<Tap> taps;
    const std::ptrdiff_t step = std::ptrdiff_t(after.step1());
    for (int i = 0; i < n * n; ++i)
        if (weights[i] != 0) {
            const int dy = i / n - t.half, dx = i % n - t.half;
            taps.push_back({dy, dx, dy * step + dx, weights[i]});
        }
    const bool inside = t.margin > t.half;
    const double area = double(w - 2 * t.margin) * (h - 2 * t.margin);
    const int stride = std::max(1, int(std::ceil(std::sqrt(area * double(taps.size()) / 4e5))));
    double sum = 0, noise = 0;
    std::size_t count = 0, flat = 0;
    for (int y = t.margin; y < h - t.margin; y += stride) {
        const float* row = before.ptr<float>(y);
        const float* centre = after.ptr<float>(y);
        const std::uint8_t* zone = t.edgeZone.ptr<std::uint8_t>(y);
        for (int x = t.margin; x < w - t.margin; x += stride) {
            float value = 0;
            if (inside)
                for (const Tap& tap : taps) value += tap.weight * centre[x + tap.offset];
            else
                for (const Tap& tap : taps)
                    value += tap.weight * after.at<float>(std::clamp(y + tap.dy, 0, h - 1),
                                                          std::clamp(x + tap.dx, 0, w - 1));
            const double d = value - row[x];
            sum += d * d;
            ++count;
            if (!zone[x]) {
                // The original's own noise: a pixel against the mean of its 3 × 3 neighbourhood
                // in a flat area; for white noise of variance v that difference has variance 8v/9.
                const double fine = row[x] - mean3x3(row - w, row, row + w, x);
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
    const Terms t = measure(original, candidate, radius, angle, nullptr);
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
    s.consistency = reblurResidual(t, radius, angle);
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
    Maps m;
    measure(original, candidate, radius, angle, &m);
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
