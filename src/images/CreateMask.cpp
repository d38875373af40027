#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Check.h"
#include "Dispatch.h"
#include "ImageProcess.h"

namespace velkaro {

// Edge and texture masks. The strength of a pixel is a set of box sums over its neighbourhood;
// they are taken from running sums over the rows of a band and prefix sums along each row, so the
// cost per pixel does not grow with the radius. All sums are of whole bytes and therefore exact.

namespace {

constexpr int kBandRows = 16;  // least number of region rows handled by one task

struct MaskGeometry {
    const std::uint8_t* src;  // source pixels
    bool wide;                // 16-bit samples (else bytes)
    int iw, ih;               // source size
    int x, y, w, h;           // region
    int r;                    // radius in whole pixels, at least 1
    int K;                    // band depth of the edge types
    int type;
    float T;  // contrast threshold of type 2
};

int clampInt(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// Channel c (0 red … 2 blue) of source pixel X, Y (inside the image).
int sampleAt(const MaskGeometry& g, int X, int Y, int c) {
    const std::size_t at = (std::size_t(Y) * std::size_t(g.iw) + std::size_t(X)) * 4 + 1 + c;
    return g.wide ? reinterpret_cast<const std::uint16_t*>(g.src)[at] : g.src[at];
}

// Channel c (0 red … 2 blue) of the source row `row` (clamped) over the padded columns
// x − r … x + w − 1 + r (clamped), as ints.
template <typename Sample>
void loadPaddedRowOf(const MaskGeometry& g, int row, int c, int* out) {
    const int v = clampInt(row, 0, g.ih - 1);
    const Sample* line =
        reinterpret_cast<const Sample*>(g.src) + std::size_t(v) * std::size_t(g.iw) * 4 + 1 + c;
    const int n = g.w + 2 * g.r;
    for (int k = 0; k < n; ++k)
        out[k] = line[std::size_t(clampInt(g.x - g.r + k, 0, g.iw - 1)) * 4];
}

void loadPaddedRow(const MaskGeometry& g, int row, int c, int* out) {
    if (g.wide)
        loadPaddedRowOf<std::uint16_t>(g, row, c, out);
    else
        loadPaddedRowOf<std::uint8_t>(g, row, c, out);
}

// The weights of the region's rows j0 … j1 − 1 (strengths normalised by `largest`) applied to
// `dst`: blended towards the source, or with `showMask` the mask itself as grey levels.
template <typename Sample>
void applyBand(const MaskGeometry& g, std::uint8_t* dstBytes, const float* strength, float largest,
               int j0, int j1, bool showMask, bool sameImage, float opacity, float crudeness) {
    constexpr int top = sizeof(Sample) == 1 ? 255 : 65535;
    constexpr int scale = sizeof(Sample) == 1 ? 1 : 257;
    const int w = g.w;
    auto* dst = reinterpret_cast<Sample*>(dstBytes);
    const auto* src = reinterpret_cast<const Sample*>(g.src);
    for (int j = j0; j < j1; ++j) {
        Sample* d = dst + std::size_t(j) * w * 4;
        const Sample* s = src + (std::size_t(g.y + j) * g.iw + g.x) * 4;
        for (int i = 0; i < w; ++i, d += 4, s += 4) {
            const float v = largest > 0 ? strength[std::size_t(j) * w + i] / largest : 0.0f;
            float a;
            int grey;
            if (g.type == 2) {
                a = v;
                grey = int(v * 255.0f);
            } else {
                const double raw = std::atan((double(v) + 0.25 - double(crudeness)) * 40) / 3 + 0.5;
                grey = raw < 0 ? 0 : (raw > 1 ? 255 : int(raw * 255));
                a = float(std::clamp(raw, 0.0, 1.0));
            }
            if (showMask) {
                d[0] = Sample(top);
                d[1] = d[2] = d[3] = Sample(grey * scale);
            } else if (!sameImage) {
                const float t = (1.0f - a) * opacity;
                for (int c = 1; c < 4; ++c)
                    d[c] = Sample(int(float(d[c]) * (1.0f - t) + float(s[c]) * t));
            }
        }
    }
}

// Strength of the edge types for the region rows j0 … j1 − 1, written to strength[(j − j0) * w +
// i].
void edgeStrengthBand(const MaskGeometry& g, int j0, int j1, float* strength) {
    const int r = g.r, K = g.K, w = g.w;
    const int pw = w + 2 * r;            // padded row length
    const int rows = (j1 - j0) + 2 * r;  // source rows y + j0 − r … y + j1 − 1 + r
    // cumV[v][u]: sum of the padded pixels of rows 0 … v − 1 of the band in column u;
    // cumH[v][i]: the same for the horizontal box sums over 2r + 1 columns centred on pixel i.
    std::vector<std::int64_t> cumV(std::size_t(rows + 1) * pw), cumH(std::size_t(rows + 1) * w);
    std::vector<int> line(pw);
    std::vector<std::int64_t> prefix(pw + 1), vsum(pw), vprefix(pw + 1);
    std::fill(strength, strength + std::size_t(j1 - j0) * w, 0.0f);
    for (int c = 0; c < 3; ++c) {
        std::fill(cumV.begin(), cumV.begin() + pw, 0);
        std::fill(cumH.begin(), cumH.begin() + w, 0);
        for (int v = 0; v < rows; ++v) {
            loadPaddedRow(g, g.y + j0 - r + v, c, line.data());
            prefix[0] = 0;
            for (int u = 0; u < pw; ++u) prefix[u + 1] = prefix[u] + line[u];
            const std::int64_t* cv = &cumV[std::size_t(v) * pw];
            std::int64_t* nv = &cumV[std::size_t(v + 1) * pw];
            for (int u = 0; u < pw; ++u) nv[u] = cv[u] + line[u];
            const std::int64_t* ch = &cumH[std::size_t(v) * w];
            std::int64_t* nh = &cumH[std::size_t(v + 1) * w];
            for (int i = 0; i < w; ++i) nh[i] = ch[i] + prefix[i + 2 * r + 1] - prefix[i];
        }
        for (int j = j0; j < j1; ++j) {
            const int b = j - j0;  // band row of source row y + j − r
            // Column sums over rows Y − r … Y + r, then their prefix along the padded row.
            const std::int64_t* top = &cumV[std::size_t(b) * pw];
            const std::int64_t* bottom = &cumV[std::size_t(b + 2 * r + 1) * pw];
            vprefix[0] = 0;
            for (int u = 0; u < pw; ++u) {
                vsum[u] = bottom[u] - top[u];
                vprefix[u + 1] = vprefix[u] + vsum[u];
            }
            // Rows Y − r … Y − r + K − 1 and Y + r − K + 1 … Y + r of the horizontal sums.
            const std::int64_t* upA = &cumH[std::size_t(b) * w];
            const std::int64_t* upB = &cumH[std::size_t(b + K) * w];
            const std::int64_t* downA = &cumH[std::size_t(b + 2 * r + 1 - K) * w];
            const std::int64_t* downB = &cumH[std::size_t(b + 2 * r + 1) * w];
            float* out = strength + std::size_t(b) * w;
            for (int i = 0; i < w; ++i) {
                // Pixel i sits at padded column i + r: the left band is columns i … i + K − 1,
                // the right band i + 2r − K + 1 … i + 2r.
                const std::int64_t gx = (vprefix[i + K] - vprefix[i]) -
                                        (vprefix[i + 2 * r + 1] - vprefix[i + 2 * r + 1 - K]);
                const std::int64_t gy = (upB[i] - upA[i]) - (downB[i] - downA[i]);
                const float fx = float(gx), fy = float(gy);
                const float s = std::sqrt(fx * fx + fy * fy);
                out[i] = std::max(out[i], s);
            }
        }
    }
}

// Standard deviation over the window as the single-precision two-pass computation: the mean,
// then the root of the mean squared deviation. Used only where the exact value is too close to
// the threshold to decide by it.
float windowDeviation(const MaskGeometry& g, int X, int Y, int c) {
    const int r = g.r;
    const float n = float((2 * r + 1) * (2 * r + 1));
    float sum = 0;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            sum +=
                float(sampleAt(g, clampInt(X + dx, 0, g.iw - 1), clampInt(Y + dy, 0, g.ih - 1), c));
    const float mean = sum / n;
    float sq = 0;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            const float p =
                float(sampleAt(g, clampInt(X + dx, 0, g.iw - 1), clampInt(Y + dy, 0, g.ih - 1), c));
            sq += (mean - p) * (mean - p);
        }
    return std::sqrt(sq / n);
}

// Strength of type 2 (1 where the largest channel deviation exceeds T, else 0) for rows j0 … j1
// − 1.
void textureStrengthBand(const MaskGeometry& g, int j0, int j1, float* strength) {
    const int r = g.r, w = g.w;
    const int pw = w + 2 * r;
    const int rows = (j1 - j0) + 2 * r;
    const std::int64_t n = std::int64_t(2 * r + 1) * (2 * r + 1);
    std::vector<std::int64_t> cumS(std::size_t(rows + 1) * w), cumQ(std::size_t(rows + 1) * w);
    std::vector<int> line(pw);
    std::vector<std::int64_t> ps(pw + 1), pq(pw + 1);
    // Largest deviation per pixel, exact: sqrt(n·ΣP² − (ΣP)²) / n.
    std::vector<double> best(std::size_t(j1 - j0) * w, 0.0);
    for (int c = 0; c < 3; ++c) {
        std::fill(cumS.begin(), cumS.begin() + w, 0);
        std::fill(cumQ.begin(), cumQ.begin() + w, 0);
        for (int v = 0; v < rows; ++v) {
            loadPaddedRow(g, g.y + j0 - r + v, c, line.data());
            ps[0] = pq[0] = 0;
            for (int u = 0; u < pw; ++u) {
                ps[u + 1] = ps[u] + line[u];
                pq[u + 1] = pq[u] + std::int64_t(line[u]) * line[u];
            }
            const std::size_t a = std::size_t(v) * w, b = a + w;
            for (int i = 0; i < w; ++i) {
                cumS[b + i] = cumS[a + i] + ps[i + 2 * r + 1] - ps[i];
                cumQ[b + i] = cumQ[a + i] + pq[i + 2 * r + 1] - pq[i];
            }
        }
        for (int j = j0; j < j1; ++j) {
            const int b = j - j0;
            const std::size_t top = std::size_t(b) * w, bottom = std::size_t(b + 2 * r + 1) * w;
            double* out = &best[std::size_t(b) * w];
            for (int i = 0; i < w; ++i) {
                const std::int64_t s = cumS[bottom + i] - cumS[top + i];
                const std::int64_t q = cumQ[bottom + i] - cumQ[top + i];
                const double dev = std::sqrt(double(n * q - s * s)) / double(n);
                // Close to the threshold the single-precision rounding decides, as it does for
                // the plain two-pass formula.
                const double fdev = std::fabs(dev - g.T) < 1e-3 * (1.0 + g.T)
                                        ? double(windowDeviation(g, g.x + i, g.y + j, c))
                                        : dev;
                out[i] = std::max(out[i], fdev);
            }
        }
    }
    for (std::size_t k = 0; k < best.size(); ++k) strength[k] = g.T < best[k] ? 1.0f : 0.0f;
}

}  // namespace

void CreateMask(const ImageRef& source, const ImageRef& destination, int x, int y, int w, int h,
                int type, int highPriority, float radius, float opacity, float crudeness) {
    if (!source || !destination)
        return;
    crudeness = std::clamp(crudeness, 0.0f, 1.0f);
    const bool showMask = opacity == -1.0f;
    if (!showMask) {
        if (opacity < 0)
            return;
        if (opacity > 1)
            opacity = 1;
        if (opacity == 0)
            return;
    }

    MaskGeometry g{};
    g.r = std::max(1, int(std::round(radius)));
    g.K = type == 1 ? g.r : 1;
    g.type = type;
    // The contrast threshold is in levels of 8 bits; 16-bit samples are 257 times as large.
    g.wide = source->depth() == 16;
    g.T = (crudeness * 20 + 1) * (g.wide ? 257.0f : 1.0f);

    const int iw = source->width(), ih = source->height();
    if (!(w == destination->width()))
        CheckFailed("w == [dst width]", __func__, __FILE__, __LINE__);
    if (!(h == destination->height()))
        CheckFailed("h == [dst height]", __func__, __FILE__, __LINE__);
    VK_CHECK(x >= 0);
    VK_CHECK(y >= 0);
    VK_CHECK(w >= 1);
    VK_CHECK(h >= 1);
    VK_CHECK(x + w <= iw);
    VK_CHECK(y + h <= ih);
    const bool sameImage = source == destination || source->pixels() == destination->pixels();
    // Blending mixes samples of one depth; a mask picture may be of either.
    VK_CHECK(showMask || destination->depth() == source->depth());
    if (sameImage) {
        VK_CHECK(x == 0);
        VK_CHECK(y == 0);
        VK_CHECK(w == iw);
        VK_CHECK(h == ih);
    }
    g.src = source->pixels();
    g.iw = iw;
    g.ih = ih;
    g.x = x;
    g.y = y;
    g.w = w;
    g.h = h;

    static_cast<void>(highPriority);  // the caller's queue sets the priority of the loops below
    // Each band reads 2r rows beyond its own: keep bands at least that tall.
    const int bandRows = std::max(kBandRows, 2 * g.r);
    const int bands = (h + bandRows - 1) / bandRows;

    // Strengths, band by band; each band keeps its own maximum, reduced after the loop.
    std::vector<float> strength(std::size_t(w) * std::size_t(h));
    std::vector<float> bandMax(bands, 0.0f);
    dispatchApply(bands, [&](std::size_t band) {
        const int j0 = int(band) * bandRows, j1 = std::min(h, j0 + bandRows);
        float* out = &strength[std::size_t(j0) * w];
        if (type == 2)
            textureStrengthBand(g, j0, j1, out);
        else
            edgeStrengthBand(g, j0, j1, out);
        float m = 0;
        for (std::size_t k = 0; k < std::size_t(j1 - j0) * w; ++k) m = std::max(m, out[k]);
        bandMax[band] = m;
    });
    const float largest = *std::max_element(bandMax.begin(), bandMax.end());

    // Weights and output, again by bands. A region without any strength (a flat section, or a
    // texture mask that marks nothing) normalises to 0 everywhere.
    std::uint8_t* dst = destination->pixels();
    const bool wideDst = destination->depth() == 16;
    dispatchApply(bands, [&](std::size_t band) {
        const int j0 = int(band) * bandRows, j1 = std::min(h, j0 + bandRows);
        if (wideDst)
            applyBand<std::uint16_t>(g, dst, strength.data(), largest, j0, j1, showMask, sameImage,
                                     opacity, crudeness);
        else
            applyBand<std::uint8_t>(g, dst, strength.data(), largest, j0, j1, showMask, sameImage,
                                    opacity, crudeness);
    });
}

}  // namespace velkaro
