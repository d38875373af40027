#include "CandidateScore.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "Avx2Clones.h"
#include "Check.h"
#include "Filter.h"
#include "Matrix.h"

namespace velkaro {

// Weights of the total. They were chosen with bench/calibrate_score.cpp: synthetic disc and motion
// blurs of fourteen photographs, with and without noise, every candidate of several presets and
// radius steps compared with the sharp truth; these weights rank a candidate close to the truly
// best one first (see that program for the figures). Units: per unit of saturated detail, per grey
// level of mean overshoot, of added fine-scale RMS (twice) and of re-blur residual RMS, per unit of
// the kernel's radius off the estimated one, relative to it (times its confidence), and per grey
// level of edge noise.
const ScoreWeights kScoreWeights = {10.0, 0.4, 1.5, 3.0, 0.02, 20.0, 2.5};
// A kernel image's own size is trusted as an estimate of this confidence: 0.75 since the blind
// estimate finds sizes closely (bench/calibrate_score.cpp, --families).
const double kKernelImageConfidence = 0.75;
// Richardson–Lucy confined to the detailed areas (RT: flat ones keep their observed values) and
// plain (RL) at the same radius and iterations differ in the flat areas' noise, which the score
// weighs well, and in what comes back around the edges, which it weighs less: of 69 RT cells ranked
// first over score_sets.sh's held, OpenCV and further groups, the RL cell beside them restored the
// photograph better in 48 (by 1 to 3 dB in three). Asking the confined cell for a margin over its
// plain variant, chosen on score_sets.sh's fit sets A to G (0.75 to 1.25 all gave 57 of 63 grids
// within 1 dB of their best cell, against 56; 1.5 gave 55, always preferring the plain variant 53),
// the 117 grids of the three other groups went from 99 to 102 within 1 dB: the further photographs
// 32 → 33 of 36, OpenCV's 48 → 49 of 54, the held-out 19 → 20 of 27; the shakes' top cells there
// gained 83 % of Richardson–Lucy's gain with the true kernel (81 % before), the sets A to G 91 %
// (88 %).
const double kConfinedMargin = 1.0;

namespace {

// The detail gain at which its reward is half of what any gain can earn.
constexpr double kDetailSaturation = 4.0;

// Where the section's estimate found no blur, each pixel of a kernel's radius counts as this much
// of an estimate's miss: the ranking then prefers gentle cells. On the 42 shakes of calibrate_score
// --families (seven sets, both shake models), the four the estimate found nothing in had top cells
// 0.06 to 0.77 dB worse than their input (1.86 dB in all); from 0.1 on, together 0.01 dB better.
// No disc or line case changed.
constexpr double kNoBlurGapPerPixel = 0.1;

// A grid none of whose candidates scores above the original section itself has little to gain
// (LittleToGain). On sets D to F of calibrate_score --families with the spline shakes (27 grids),
// that was retina's three grids (the true kernel's Richardson–Lucy result loses 9 to 10 dB there):
// their top cells, -0.52, -0.25 and -0.31 dB against the input, became gentle ones at -0.26,
// -0.15 and -0.19 dB. Every other grid's best cell scored 1.4 or more above the original. A
// margin of 4 also caught cell.png's grids (-1.8, -0.9 and -4.9 dB, then within 0.12 dB of the
// input) but took the gain of hubble_deep_field's disc, ihc's line and moon's disc and line (3.9,
// 0.8, 1.0 and 1.8 dB), so there is none. Such a section is best left as it is: the original
// ranks above every cell (the window marks no cell, the command line ranks the pass-through
// first), which takes retina's three and rocket's shake (found as no blur) to their input.

// The edges' signal-to-noise ratio (gradient energy over fine-scale noise energy) at which half
// of what a candidate adds around them counts as noise; the share falls with the ratio's cube, so
// that clear edges keep their sharpening. On the 63 grids of calibrate_score --families (sets A
// to G, trajectory shakes) the ratio is 1.5 to 2.5 on retina (left as it is anyway), 3 to 7 on
// moon, 9 to 15 on cell.png and 23 or more on every other section with enough flat area. At a
// weight of 2.5 the edge noise takes moon's top cells from RT80 to gentler ones (+1.0, +1.8 and
// +1.5 dB become +1.7, +1.8 and +1.8), cell.png's disc from RT80 to RT20 at the same radius
// (-1.8 dB becomes +0.3) and its shake from RL40 to RL20 (+1.2 becomes +1.7); no other grid
// changes. A weight of 2 with a scale of 11 or 12, or of 2.5 with 10, gives the same; a weight
// of 2 at 10 leaves cell.png's disc to RT80, 2.5 at 12 takes some of hubble_deep_field's line's
// gain. A share falling with the ratio itself or its square takes that line's gain too (-0.8 dB)
// before it reaches cell.png.
constexpr double kEdgeSnrScale = 11.0;
// How far the edges reach (half-size pixels) where the section's noise is measured when a wide
// kernel's zone leaves too few flat pixels: as a small kernel's.
constexpr int kNoiseReach = 2;
// What the edge noise measured that way weighs against the kernel zone's own. At full weight it
// took apple's line to its input (-0.83 dB before) but microaneurysms' line from +2.89 dB to its
// input too: 18 of score_sets.sh's 27 held-out grids within 1 dB of the best instead of 20. At a
// quarter apple's line gains +0.35 dB and microaneurysms keeps +2.26 and +1.50 dB (line, disc;
// +2.89 and +2.14 without it): OpenCV's 54 grids 48 within 1 dB instead of 47, one worse than its
// input instead of two; held out 19 instead of 20; the 63 fitted on and 36 grids of six further
// photographs (scikit-learn's, SciPy's, Matplotlib's and PyWavelets' samples) unchanged.
constexpr double kWideNoiseWeight = 0.25;
// The share of the judged pixels that must be flat for their fine scale to tell the noise.
constexpr double kMinFlatShare = 0.2;
// A section whose edge pixels are at most this share of it has sparse edges: smooth areas between
// them (a sky, a fundus, a micrograph), not texture. The sample photographs' sections have 4 to
// 18 % (retina, moon, cell, rocket, phantom, smarties, basketball1, ela_original) or 21 % and more
// (up to 72 % on grass).
constexpr double kSparseEdges = 0.2;
// The share of flat pixels under which a zone leaves too few to measure noise on.
constexpr double kSomeFlat = 0.01;

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

// The luma of every pixel as above, in 1/1024 steps of the Rec. 601 weights (one conversion
// instead of three), with each row split into its even columns, then its odd ones (w / 2 of
// each). The half-size planes are the even columns of the even rows: sampled, not averaged (a mean
// of 2 × 2 pixels would smooth away the fine ripples and the noise the score is looking for). The
// full-size gradient at an even pixel reads its neighbours from contiguous runs.
VK_AVX2_CLONES void splitLuma(const CImage& image, cv::Mat& out) {
    const int half = image.width() / 2;
    out.create(image.height(), 2 * half, CV_32F);
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* p = image.pixels() + std::size_t(y) * image.width() * 4;
        float* even = out.ptr<float>(y);
        float* odd = even + half;
        for (int x = 0; x < half; ++x) {
            std::uint32_t a, b;
            std::memcpy(&a, p + 8 * x, 4);
            std::memcpy(&b, p + 8 * x + 4, 4);
            even[x] = float(306 * ((a >> 8) & 0xff) + 601 * ((a >> 16) & 0xff) + 117 * (a >> 24)) *
                      (1.0f / 1024);
            odd[x] = float(306 * ((b >> 8) & 0xff) + 601 * ((b >> 16) & 0xff) + 117 * (b >> 24)) *
                     (1.0f / 1024);
        }
    }
}

// The half-size plane of a split luma: the even columns of the even rows.
void halfPlane(const cv::Mat& split, cv::Mat& out) {
    const int w = split.cols / 2, h = split.rows / 2;
    out.create(h, w, CV_32F);
    for (int y = 0; y < h; ++y) std::memcpy(out.ptr<float>(y), split.ptr<float>(2 * y), 4 * w);
}

constexpr std::uint8_t kEdge = 1, kFlat = 2;

}  // namespace

// The original's side of the score, measured once per section and kernel.
struct ScoreBasis::Planes {
    int width = 0, height = 0;  // of the section
    // The planes are the luma at half the size (every other pixel of every other row) with the
    // kernel halved too; a section too small to halve is judged at full size, on every other
    // pixel of every other row of the planes.
    bool halfSize = false;
    int half = 0;      // kernel half-width in plane pixels
    int margin = 0;    // border strip not judged, in plane pixels
    cv::Mat original;  // while the basis is made
    cv::Mat localMax, localMin;
    cv::Mat edgeZone;    // 8-bit: non-zero within reach of a kernel of an edge (full-size planes)
    cv::Mat edgeWeight;  // the same as 1 or 0 in floats (half-size planes)
    // The original's share of the sums over the judged pixels: gradient and fine-scale energy
    // around the edges, fine-scale energy in the flat areas.
    double gradientBefore = 0, fineEdgeBefore = 0, fineBefore = 0;
    double edgeNoiseShare = 0;
    std::size_t edgeCount = 0, flatCount = 0;
    // The re-blur: the kernel's taps, the sample points and the original's linear luma there, and
    // the residual the original's own noise explains.
    struct Tap {
        int dy, dx;
        std::ptrdiff_t offset;  // bytes, in the full-size section
        float weight;
    };
    struct Sample {
        int y, x;
        float centre;
    };
    std::vector<Tap> taps;
    bool tapsInside = true;  // every sample's taps lie inside the section
    std::vector<Sample> samples;
    double estimateGap = 0;  // of the kernel from the section's blur estimate
    double radius = 0;
    double originalResidual = 0;  // the original's own re-blur residual
};

namespace {

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

// Eight floats at once; the AVX2 build of the row pass keeps them in one register.
typedef float Float8 __attribute__((vector_size(32)));

template <typename V>
inline V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline float positive(float v) {
    return v > 0.0f ? v : 0.0f;
}
inline Float8 positive(Float8 v) {
    const Float8 zero = {};
    return v > zero ? v : zero;
}

// The sums of the terms over one judged row of the half-size planes, from the split luma rows
// 2y − 2 … 2y + 2 around the plane's row y (`rows[0]` … `rows[4]`, each `half` even values then
// `half` odd ones), with the original's local range and edge weight (1 in the edge zone, 0 in the
// flat one) on that row.
struct RowSums {
    float gradient = 0, overshoot = 0, fineEdge = 0;  // edge zone
    float fine = 0;                                   // flat zone
};
template <typename V>
inline void measureAt(const float* const rows[5], int half, const float* hi, const float* lo,
                      const float* edgeWeight, int x, V& gradient, V& overshoot, V& fine,
                      V& fineEdge) {
    const float *evenUp = rows[0] + x, *evenMid = rows[2] + x, *evenDown = rows[4] + x;
    const float *evenAbove = rows[1] + x, *oddAbove = rows[1] + half + x;
    const float* oddMid = rows[2] + half + x;
    const float *evenBelow = rows[3] + x, *oddBelow = rows[3] + half + x;
    // Full-size column 2x; its neighbours 2x − 1 and 2x + 1 are odd columns x − 1 and x.
    // Detail: the Sobel gradient energy there, in grey levels per pixel.
    const V gx = (load<V>(oddAbove) - load<V>(oddAbove - 1)) +
                 2 * (load<V>(oddMid) - load<V>(oddMid - 1)) +
                 (load<V>(oddBelow) - load<V>(oddBelow - 1));
    const V gy = (load<V>(oddBelow - 1) - load<V>(oddAbove - 1)) +
                 2 * (load<V>(evenBelow) - load<V>(evenAbove)) +
                 (load<V>(oddBelow) - load<V>(oddAbove));
    const V energy = (gx * gx + gy * gy) * (0.125f * 0.125f);
    // Halos and ringing: what goes beyond the original's local range.
    const V c = load<V>(evenMid);
    const V over = positive(c - load<V>(hi + x)) + positive(load<V>(lo + x) - c);
    // Fine-scale energy: what a 3 × 3 mean of the half-size plane removes. In flat areas it is
    // noise (or the ripples of oscillation); around edges also the steepness of the edges.
    const V fineDetail = c - (load<V>(evenUp - 1) + load<V>(evenUp) + load<V>(evenUp + 1) +
                              load<V>(evenMid - 1) + c + load<V>(evenMid + 1) +
                              load<V>(evenDown - 1) + load<V>(evenDown) + load<V>(evenDown + 1)) /
                                 9.0f;
    const V edge = load<V>(edgeWeight + x);
    gradient += edge * energy;
    overshoot += edge * over;
    fine += (1.0f - edge) * (fineDetail * fineDetail);
    fineEdge += edge * (fineDetail * fineDetail);
}
VK_AVX2_CLONES RowSums measureRow(const float* const rows[5], int half, const float* hi,
                                  const float* lo, const float* edgeWeight, int x0, int x1) {
    Float8 gradient = {}, overshoot = {}, fine = {}, fineEdge = {};
    int x = x0;
    for (; x + 8 <= x1; x += 8)
        measureAt(rows, half, hi, lo, edgeWeight, x, gradient, overshoot, fine, fineEdge);
    RowSums sums;
    for (int k = 0; k < 8; ++k)
        sums.gradient += gradient[k], sums.overshoot += overshoot[k], sums.fine += fine[k],
            sums.fineEdge += fineEdge[k];
    for (; x < x1; ++x)
        measureAt(rows, half, hi, lo, edgeWeight, x, sums.gradient, sums.overshoot, sums.fine,
                  sums.fineEdge);
    return sums;
}

struct Sums {
    double gradient = 0, overshoot = 0, fine = 0, fineEdge = 0;
};

// The terms' sums over the judged pixels of the basis's half-size planes, from the split luma of
// an image (the original or a candidate): in the edge zone its gradient energy, overshoot and
// fine-scale energy, in the flat zone its fine-scale energy.
Sums measureSplit(const ScoreBasis::Planes& b, const cv::Mat& split, const cv::Mat& edgeWeight) {
    Sums sums;
    const int half = split.cols / 2;
    for (int y = b.margin; y < b.localMax.rows - b.margin; ++y) {
        const float* const rows[5] = {split.ptr<float>(2 * y - 2), split.ptr<float>(2 * y - 1),
                                      split.ptr<float>(2 * y), split.ptr<float>(2 * y + 1),
                                      split.ptr<float>(2 * y + 2)};
        const RowSums row =
            measureRow(rows, half, b.localMax.ptr<float>(y), b.localMin.ptr<float>(y),
                       edgeWeight.ptr<float>(y), b.margin, b.localMax.cols - b.margin);
        sums.gradient += row.gradient, sums.overshoot += row.overshoot, sums.fine += row.fine;
        sums.fineEdge += row.fineEdge;
    }
    return sums;
}

// The same for `image`, at whichever size the basis measures.
Sums measure(const ScoreBasis::Planes& b, const CImage& image) {
    if (b.halfSize) {
        thread_local cv::Mat split;  // kept: a preview cell's planes are the same size every time
        splitLuma(image, split);
        return measureSplit(b, split, b.edgeWeight);
    }
    // A small section at full size, on every other pixel of every other row.
    Sums sums;
    cv::Mat plane;
    luma(image, plane);
    const int w = plane.cols, h = plane.rows;
    for (int y = b.margin; y < h - b.margin; y += 2) {
        const float* c = plane.ptr<float>(y);
        const float* hi = b.localMax.ptr<float>(y);
        const float* lo = b.localMin.ptr<float>(y);
        const std::uint8_t* e = b.edgeZone.ptr<std::uint8_t>(y);
        for (int x = b.margin; x < w - b.margin; x += 2)
            if (e[x]) {
                sums.gradient += gradientEnergy(c - w, c, c + w, x);
                sums.overshoot += std::max(c[x] - hi[x], 0.0f) + std::max(lo[x] - c[x], 0.0f);
                sums.fineEdge += square(c[x] - mean3x3(c - w, c, c + w, x));
            } else {
                sums.fine += square(c[x] - mean3x3(c - w, c, c + w, x));
            }
    }
    return sums;
}

// Luminance in linear light (Rec. 709 weights on the decoded sRGB values), scaled to 0–255: the
// methods blur and deblur in linear light. The table holds each channel's share per byte value.
const float* linearLumaTable() {
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
    return decode.data();
}

// The linear luminance of the ARGB pixel at `p`, with the table `d`.
inline float linearLuma(const float* d, const std::uint8_t* p) {
    return d[p[1]] + d[256 + p[2]] + d[512 + p[3]];
}

// The judged border strip: the methods see no neighbours beyond the section (at least one pixel,
// for the gradient's neighbours).
int judgedMargin(int half, int w, int h) {
    const int margin = half + 2;
    return 2 * margin >= std::min(w, h) ? std::max(1, std::min(w, h) / 4) : margin;
}

// The planes of `basis` for `original`, the kernel of `radius` (in the planes' pixels) and
// `angle`: luma, local ranges, edges and the margin. At half size `split` receives the original's
// split luma and, where the edge zone leaves under kMinFlatShare of the judged pixels flat,
// `noiseWeight` the edges widened by kNoiseReach only (as 1 or 0), for prepareSums to measure the
// noise on; it stays empty elsewhere.
void preparePlanes(ScoreBasis::Planes& b, const CImage& original, bool halfSize, double radius,
                   const BlurKernel& blur, cv::Mat& split, cv::Mat& noiseWeight) {
    b.width = original.width();
    b.height = original.height();
    b.halfSize = halfSize;
    if (halfSize) {
        splitLuma(original, split);
        halfPlane(split, b.original);
    } else {
        luma(original, b.original);
    }
    const int w = b.original.cols, h = b.original.rows;
    b.half = SizeForFilter(radius, blur) / 2;

    // Halos and ringing: a deblurred edge may be steeper than the blurred one, but its values stay
    // within the range the original spans around it (blurring only averages neighbours). What goes
    // above the local maximum or below the local minimum over a window just wider than the kernel
    // is invented: a halo beside the edge or a ringing ripple.
    const int reach = b.half + 1;
    const cv::Mat window =
        cv::getStructuringElement(cv::MORPH_RECT, {2 * reach + 1, 2 * reach + 1});
    cv::dilate(b.original, b.localMax, window, {-1, -1}, 1, cv::BORDER_REPLICATE);
    cv::erode(b.original, b.localMin, window, {-1, -1}, 1, cv::BORDER_REPLICATE);

    // Edges of the original, found at half the size (the means of 2 × 2 pixels: lightly smoothed,
    // so that noise does not count as edges): squared gradient per pixel of the section above a
    // quarter of its mean (and above a floor of 1.5 grey levels per pixel). The edge zone widens
    // them by the kernel's reach: where sharpening acts and halos appear; the rest is flat. A wide
    // kernel's reach can cover the whole section, leaving no flat pixel to measure noise on: RL40
    // with a 24-pixel kernel on a smooth, noisy section then added "no noise" and ranked first,
    // 8 dB worse than its input. Where a reach leaves under kSomeFlat of a section with sparse
    // edges flat, it is halved until kMinFlatShare of the section is flat again (or it is one
    // pixel): halos beyond it count as noise instead. On texture (fur, foliage) the pixels a
    // smaller reach would leave are texture too, and what a method adds there is mostly detail: the
    // zone stays. Over calibrate_score --families --steps 30 (sets D, L, M and the held-out h) only
    // that grid changed (ela_original's disc, a 12-pixel kernel found in noise): the original now
    // ranks first. Halving wherever under kMinFlatShare was flat took apple's line from -0.83 dB
    // to the input too, but microaneurysms' line from +2.9 dB to it, and on texture (baboon's
    // sets) it lost up to 3 dB.
    cv::Mat smooth, gradX, gradY, gradient, edges, halfZone;
    if (halfSize)
        smooth = b.original;
    else
        cv::resize(b.original, smooth, {(w + 1) / 2, (h + 1) / 2}, 0, 0, cv::INTER_AREA);
    cv::Sobel(smooth, gradX, CV_32F, 1, 0, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::Sobel(smooth, gradY, CV_32F, 0, 1, 3, 0.0625, 0, cv::BORDER_REPLICATE);
    cv::multiply(gradX, gradX, gradX);
    cv::multiply(gradY, gradY, gradY);
    cv::add(gradX, gradY, gradient);
    const double gradientMean = cv::mean(gradient)[0];
    const double threshold = std::max(1.5 * 1.5, 0.25 * gradientMean);
    cv::compare(gradient, threshold, edges, cv::CMP_GT);
    cv::Mat& zone = halfSize ? b.edgeZone : halfZone;
    b.margin = judgedMargin(b.half, w, h);
    // The judged part of the zone's plane (the zone is at half the planes' size when they are full
    // size).
    const int zoneMargin =
        std::min(halfSize ? b.margin : b.margin / 2, (std::min(edges.cols, edges.rows) - 1) / 2);
    const cv::Rect judged(zoneMargin, zoneMargin, std::max(1, edges.cols - 2 * zoneMargin),
                          std::max(1, edges.rows - 2 * zoneMargin));
    // The edges widened by `by` pixels; the share of the judged pixels left flat.
    auto widen = [&](int by) {
        cv::dilate(edges, zone,
                   cv::getStructuringElement(cv::MORPH_RECT, {2 * by + 1, 2 * by + 1}));
        return 1.0 - double(cv::countNonZero(zone(judged))) / double(judged.area());
    };
    int zoneReach = halfSize ? reach : (reach + 1) / 2;
    if (widen(zoneReach) < kSomeFlat &&
        double(cv::countNonZero(edges(judged))) <= kSparseEdges * double(judged.area()))
        while (zoneReach > 1 && widen(zoneReach /= 2) < kMinFlatShare) {
            // halved until enough is flat
        }
    if (!halfSize)
        cv::resize(halfZone, b.edgeZone, {w, h}, 0, 0, cv::INTER_NEAREST);

    if (halfSize) {
        b.edgeZone.convertTo(b.edgeWeight, CV_32F, 1.0 / 255);
        const double flat = double(judged.area() - cv::countNonZero(b.edgeZone(judged)));
        if (flat < kMinFlatShare * double(judged.area())) {
            cv::Mat noiseZone;
            cv::dilate(edges, noiseZone,
                       cv::getStructuringElement(cv::MORPH_RECT,
                                                 {2 * kNoiseReach + 1, 2 * kNoiseReach + 1}));
            noiseZone.convertTo(noiseWeight, CV_32F, 1.0 / 255);
        }
    }
}

// The original's share of the sums and the sizes of the zones.
void prepareSums(ScoreBasis::Planes& b, const CImage& original, const cv::Mat& split,
                 const cv::Mat& noiseWeight) {
    const Sums sums = b.halfSize ? measureSplit(b, split, b.edgeWeight) : measure(b, original);
    b.gradientBefore = sums.gradient;
    b.fineBefore = sums.fine;
    b.fineEdgeBefore = sums.fineEdge;
    const int step = b.halfSize ? 1 : 2;
    for (int y = b.margin; y < b.localMax.rows - b.margin; y += step) {
        const std::uint8_t* e = b.edgeZone.ptr<std::uint8_t>(y);
        for (int x = b.margin; x < b.localMax.cols - b.margin; x += step)
            ++(e[x] ? b.edgeCount : b.flatCount);
    }
    // How far the edges stand above the section's noise: their mean gradient energy over the
    // fine-scale energy of the flat areas (noise there). Where it is low, as on the faint texture
    // of a soft micrograph, what a method adds around the "edges" is mostly amplified noise. The
    // few "flat" pixels of a textured section (fur, foliage) hold texture, not noise: there the
    // ratio says nothing and the edge noise does not count. A wide kernel's zone can leave too few
    // flat pixels where a small kernel's leaves enough: the ratio is then measured on the edges
    // widened by kNoiseReach instead (`noiseWeight`, from preparePlanes). Switched off for the
    // larger rows of a grid only, the edge noise ranked them above the smaller ones (apple's line:
    // RT80 a row above the truth, 0.8 dB worse than its input, first).
    Sums noise = sums;
    std::size_t edgeCount = b.edgeCount, flatCount = b.flatCount;
    double weight = 1.0;
    if (!noiseWeight.empty()) {
        weight = kWideNoiseWeight;
        noise = measureSplit(b, split, noiseWeight);
        const cv::Rect judged(b.margin, b.margin, b.localMax.cols - 2 * b.margin,
                              b.localMax.rows - 2 * b.margin);
        edgeCount = std::size_t(cv::countNonZero(noiseWeight(judged)));
        flatCount = std::size_t(judged.area()) - edgeCount;
    }
    if (edgeCount && double(flatCount) >= kMinFlatShare * double(edgeCount + flatCount) &&
        noise.fine > 0) {
        const double snr = (noise.gradient / double(edgeCount)) / (noise.fine / double(flatCount));
        b.edgeNoiseShare = weight / (1.0 + std::pow(snr / kEdgeSnrScale, 3));
    }
}

// The re-blur residual's fixed parts: the kernel's taps, a grid of sample points over the judged
// interior of the full-size section (the kernel of a small radius has no faithful half-size twin)
// sparse enough to keep the cost near 50 000 taps whatever the kernel's size (the residual's
// statistics need no more) and the original's linear luma there.
void prepareReblur(ScoreBasis::Planes& b, const CImage& original, double radius,
                   const BlurKernel& blur) {
    const int half = SizeForFilter(radius, blur) / 2;
    const int n = 2 * half + 1;
    Matrix kernel(n, n);
    GenerateFilter(kernel, radius, blur);
    std::vector<float> weights;
    FilterToFloats(weights, kernel);
    const int w = original.width(), h = original.height();
    for (int i = 0; i < n * n; ++i)
        if (weights[i] != 0) {
            const int dy = i / n - half, dx = i % n - half;
            b.taps.push_back({dy, dx, 4 * (std::ptrdiff_t(dy) * w + dx), weights[i]});
        }
    const int margin = judgedMargin(half, w, h);
    // Near the border (a section too small for its margin) the taps clamp their coordinates.
    b.tapsInside = margin > half;
    const double area = double(w - 2 * margin) * (h - 2 * margin);
    const int stride = std::max(1, int(std::ceil(std::sqrt(area * double(b.taps.size()) / 5e4))));
    const float* d = linearLumaTable();
    for (int y = margin; y < h - margin; y += stride)
        for (int x = margin; x < w - margin; x += stride)
            b.samples.push_back(
                {y, x, linearLuma(d, original.pixels() + (std::ptrdiff_t(y) * w + x) * 4)});
}

// RMS of (kernel ⊛ candidate − original), in linear light, at the basis's sample points. The
// original's own noise is in it alike for every candidate of the section and is not taken out: a
// floor measured on the flat areas takes texture for noise where they are few, and every candidate
// that re-blurs to within it then measured 0, the gentler and the stronger alike (a half-size
// motorcycle photograph: RL40 and RL80 both 0, at 22.1 and 23.0 dB). The linear values are
// decoded at the taps only.
double reblurResidual(const ScoreBasis::Planes& b, const CImage& candidate) {
    const int w = candidate.width(), h = candidate.height();
    const float* d = linearLumaTable();
    double sum = 0;
    for (const ScoreBasis::Planes::Sample& s : b.samples) {
        const std::uint8_t* c = candidate.pixels() + (std::ptrdiff_t(s.y) * w + s.x) * 4;
        float value = 0;
        if (b.tapsInside)
            for (const auto& tap : b.taps) value += tap.weight * linearLuma(d, c + tap.offset);
        else
            for (const auto& tap : b.taps)
                value += tap.weight *
                         linearLuma(d, candidate.pixels() +
                                           (std::ptrdiff_t(std::clamp(s.y + tap.dy, 0, h - 1)) * w +
                                            std::clamp(s.x + tap.dx, 0, w - 1)) *
                                               4);
        const double r = value - s.centre;
        sum += r * r;
    }
    return b.samples.empty() ? 0.0 : std::sqrt(sum / double(b.samples.size()));
}

}  // namespace

ScoreBasis::ScoreBasis(const CImage& original, double radius, const BlurKernel& blur,
                       const BlurEstimate& sectionBlur)
    : mPlanes(std::make_unique<Planes>()) {
    VK_CHECK(original.width() > 0 && original.height() > 0);
    // Every term but the re-blur is measured at half the size, with the kernel halved too: the
    // terms are means over the section and keep their meaning, at a quarter of the cost. A section
    // too small to halve is judged as it is.
    const bool halfSize = std::min(original.width(), original.height()) >= 16;
    cv::Mat split, noiseWeight;
    preparePlanes(*mPlanes, original, halfSize, halfSize ? 0.5 * radius : radius, blur, split,
                  noiseWeight);
    prepareSums(*mPlanes, original, split, noiseWeight);
    prepareReblur(*mPlanes, original, radius, blur);
    mPlanes->radius = radius;
    mPlanes->originalResidual = reblurResidual(*mPlanes, original);
    // The estimate speaks for kernels of its own shape only (motion: within 15° of its angle; a
    // shake: the very kernel estimated).
    const int turn = std::abs(blur.angle - sectionBlur.angle) % 180;
    const bool sameShape =
        blur.image ? sectionBlur.shape == BlurShape::Shake && sectionBlur.kernel &&
                         sectionBlur.kernel->fingerprint() == blur.image->fingerprint()
        : blur.angle < 0
            ? sectionBlur.shape == BlurShape::Disc
            : sectionBlur.shape == BlurShape::Motion && std::min(turn, 180 - turn) <= 15;
    // Relative to the estimated radius: the estimate is good to about a step at small radii and
    // about a step in ten at large ones.
    if (sameShape && sectionBlur.radiusStep > 0) {
        const double estimated = 0.5 * sectionBlur.radiusStep;
        mPlanes->estimateGap = std::abs(radius - estimated) / estimated * sectionBlur.confidence;
    } else if (sectionBlur.shape == BlurShape::None) {
        mPlanes->estimateGap = kNoBlurGapPerPixel * radius;
    }
    // What the candidates are not measured against is not kept.
    mPlanes->original.release();
    if (halfSize)
        mPlanes->edgeZone.release();
}

ScoreBasis::~ScoreBasis() = default;

int ScoreBasis::width() const {
    return mPlanes->width;
}

int ScoreBasis::height() const {
    return mPlanes->height;
}

CandidateScore ScoreCandidate(const ScoreBasis& basis, const CImage& candidate) {
    const ScoreBasis::Planes& b = basis.planes();
    VK_CHECK(candidate.width() == b.width && candidate.height() == b.height);
    const Sums sums = measure(b, candidate);
    const double gradientAfter = sums.gradient, overshoot = sums.overshoot, fineAfter = sums.fine;

    CandidateScore s;
    // Detail: gradient energy of the candidate against the original's around the edges. A sharper
    // edge of the same contrast puts its rise into fewer pixels, so its squared gradient grows.
    s.detail = b.gradientBefore > 0 ? std::sqrt(gradientAfter / b.gradientBefore) - 1.0 : 0.0;
    // Halo: mean overshoot near the edges.
    s.halo = b.edgeCount ? overshoot / double(b.edgeCount) : 0.0;
    // Noise: fine-scale RMS the candidate adds in flat areas.
    s.noise = b.flatCount
                  ? std::sqrt(std::max(0.0, (fineAfter - b.fineBefore) / double(b.flatCount)))
                  : 0.0;
    // Edge noise: the same around the edges, as much of it as the section's noise may explain.
    s.edgeNoise =
        b.edgeCount
            ? b.edgeNoiseShare *
                  std::sqrt(std::max(0.0, (sums.fineEdge - b.fineEdgeBefore) / double(b.edgeCount)))
            : 0.0;
    const std::size_t judged = b.edgeCount + b.flatCount;
    s.edgeShare = judged ? double(b.edgeCount) / double(judged) : 0.0;
    // Consistency: the candidate blurred again with the cell's kernel against the original.
    s.consistency = reblurResidual(b, candidate);
    s.estimateGap = b.estimateGap;
    s.radius = b.radius;
    s.originalResidual = b.originalResidual;
    s.total = ScoreTotal(s, kScoreWeights);
    return s;
}

CandidateScore ScoreCandidate(const CImage& original, const CImage& candidate, double radius,
                              const BlurKernel& blur) {
    VK_CHECK(original.width() == candidate.width() && original.height() == candidate.height());
    return ScoreCandidate(ScoreBasis(original, radius, blur), candidate);
}

double ScoreTotal(const CandidateScore& parts, const ScoreWeights& weights) {
    // Detail and halos count for the share of the section near edges, noise for the flat rest and
    // a little everywhere: what is at stake over the whole section. The consistency already covers
    // all of it.
    const double edges = parts.edgeShare, flat = 1.0 - parts.edgeShare;
    // A gain in detail counts less and less: beyond what the blur took away, sharpening only
    // invents (ripples, amplified noise, which raise the gradients too). A loss counts in full.
    const double d = parts.detail;
    const double detail = d > 0 ? d / (1 + kDetailSaturation * d) : d;
    return edges * (weights.detail * detail - weights.halo * parts.halo -
                    weights.edgeNoise * parts.edgeNoise) -
           (flat * weights.noise + weights.noiseEverywhere) * parts.noise -
           weights.consistency * parts.consistency - weights.estimate * parts.estimateGap;
}

double OriginalTotal(const CandidateScore& parts, const ScoreWeights& weights) {
    CandidateScore original;
    original.edgeShare = parts.edgeShare;
    original.consistency = parts.originalResidual;
    original.estimateGap = parts.estimateGap;
    return ScoreTotal(original, weights);
}

std::size_t OriginalBasis(const std::vector<CandidateScore>& grid, const ScoreWeights& weights) {
    std::size_t basis = 0;
    double best = -HUGE_VAL;
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (const double total = OriginalTotal(grid[i], weights); total > best)
            basis = i, best = total;
    return basis;
}

bool LittleToGain(const std::vector<CandidateScore>& grid, const ScoreWeights& weights) {
    if (grid.empty())
        return false;
    double best = -HUGE_VAL;
    for (const CandidateScore& s : grid) best = std::max(best, ScoreTotal(s, weights));
    return best <= OriginalTotal(grid[OriginalBasis(grid, weights)], weights);
}

double RankingTotal(const CandidateScore& parts, bool littleToGain, const ScoreWeights& weights) {
    if (!littleToGain)
        return ScoreTotal(parts, weights);
    CandidateScore gentle = parts;
    gentle.estimateGap = kNoBlurGapPerPixel * parts.radius;
    return ScoreTotal(gentle, weights);
}

std::vector<std::size_t> RankCandidates(const std::vector<CandidateScore>& grid,
                                        const ScoreWeights& weights,
                                        const std::vector<int>& plainVariants) {
    VK_CHECK(plainVariants.empty() || plainVariants.size() == grid.size());
    const bool little = LittleToGain(grid, weights);
    std::vector<double> totals;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        totals.push_back(RankingTotal(grid[i], little, weights));
        order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return totals[a] > totals[b]; });
    if (plainVariants.empty())
        return order;
    std::vector<std::size_t> place(grid.size());
    for (std::size_t p = 0; p < order.size(); ++p) place[order[p]] = p;
    for (std::size_t p = 0; p < order.size(); ++p) {
        const std::size_t confined = order[p];
        const int plain = plainVariants[confined];
        if (plain < 0 || place[std::size_t(plain)] < p ||
            totals[confined] >= totals[std::size_t(plain)] + kConfinedMargin)
            continue;
        const std::size_t q = place[std::size_t(plain)];
        std::swap(order[p], order[q]);
        place[order[p]] = p;
        place[order[q]] = q;
    }
    return order;
}

BlurEstimate ScoredBlurEstimate(const BlurEstimate& section, const BlurKernel& kernel) {
    if (!kernel.image)
        return section;
    return BlurEstimate{BlurShape::Shake,
                        std::clamp(int(std::lround(2 * kernel.image->radius())), 1, 30), -1,
                        kKernelImageConfidence, kernel.image};
}

std::string DescribeScore(const CandidateScore& score) {
    auto level = [](double v, double medium, double high) {
        return v >= high ? "high" : v >= medium ? "medium" : "low";
    };
    char text[96];
    std::snprintf(text, sizeof text, "detail %+.0f %%, halos %s, noise %s", score.detail * 100,
                  level(score.halo, kHaloMedium, kHaloHigh),
                  level(std::max(score.noise, score.edgeNoise), kNoiseMedium, kNoiseHigh));
    return text;
}

ImageRef ArtefactMap(const CImage& original, const CImage& candidate, double radius,
                     const BlurKernel& blur) {
    VK_CHECK(original.width() == candidate.width() && original.height() == candidate.height());
    VK_CHECK(original.width() > 0 && original.height() > 0);
    // The same terms as the score, on every pixel of full-size planes.
    ScoreBasis::Planes b;
    cv::Mat unused, noNoiseZone;  // filled at half size only
    preparePlanes(b, original, false, radius, blur, unused, noNoiseZone);
    prepareSums(b, original, unused, noNoiseZone);  // the share of edge noise that counts
    cv::Mat c;
    luma(candidate, c);
    const int w = c.cols, h = c.rows;
    cv::Mat overshoot = cv::Mat::zeros(h, w, CV_32F), fineOriginal = cv::Mat::zeros(h, w, CV_32F),
            fineCandidate = cv::Mat::zeros(h, w, CV_32F), zone = cv::Mat::zeros(h, w, CV_8U);
    for (int y = b.margin; y < h - b.margin; ++y) {
        const float* o = b.original.ptr<float>(y);
        const float* cr = c.ptr<float>(y);
        const float* hi = b.localMax.ptr<float>(y);
        const float* lo = b.localMin.ptr<float>(y);
        const std::uint8_t* e = b.edgeZone.ptr<std::uint8_t>(y);
        for (int x = b.margin; x < w - b.margin; ++x) {
            overshoot.at<float>(y, x) =
                std::max(cr[x] - hi[x], 0.0f) + std::max(lo[x] - cr[x], 0.0f);
            fineOriginal.at<float>(y, x) = square(o[x] - mean3x3(o - w, o, o + w, x));
            fineCandidate.at<float>(y, x) = square(cr[x] - mean3x3(cr - w, cr, cr + w, x));
            zone.at<std::uint8_t>(y, x) = e[x] ? kEdge : kFlat;
        }
    }
    // Per pixel: the overshoot near edges (red) and the added fine-scale RMS over a 5 × 5
    // neighbourhood (blue: in flat areas, and near edges as far as the section's noise explains
    // it), each as a tint strength from 0 to 1.
    cv::Mat halo, added, fineC, fineO;
    cv::blur(overshoot, halo, {3, 3});
    cv::blur(fineCandidate, fineC, {5, 5});
    cv::blur(fineOriginal, fineO, {5, 5});
    cv::sqrt(cv::max(fineC - fineO, 0.0), added);

    ImageRef map = Image::create(candidate.width(), candidate.height());
    const std::uint8_t* src = candidate.pixels();
    std::uint8_t* dst = map->pixels();
    for (int y = 0; y < candidate.height(); ++y) {
        const float* haloRow = halo.ptr<float>(y);
        const float* addedRow = added.ptr<float>(y);
        const std::uint8_t* zoneRow = zone.ptr<std::uint8_t>(y);
        for (int x = 0; x < candidate.width(); ++x, src += 4, dst += 4) {
            const float red =
                zoneRow[x] == kEdge ? std::min(1.0f, haloRow[x] / kHaloFullTint) : 0.0f;
            const float noiseShare = zoneRow[x] == kFlat   ? 1.0f
                                     : zoneRow[x] == kEdge ? float(b.edgeNoiseShare)
                                                           : 0.0f;
            const float blue = std::min(1.0f, noiseShare * addedRow[x] / kNoiseFullTint);
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
