// The deblurring methods against direct double-precision evaluations of their definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ColorSpace.h"
#include "Convolve.h"
#include "DeblurMethods.h"
#include "DeblurTestSupport.h"
#include "Dispatch.h"
#include "Filter.h"
#include "Image.h"
#include "KernelFile.h"
#include "Matrix.h"
#include "PlatformImage.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "SyntheticShake.h"
#include "USM.h"
#include "Wiener_FIR.h"

using namespace velkaro;
using deblurtest::kernelOf;
using deblurtest::testPicture;

namespace {

// Linear-light plane of one channel, with clamped access.
struct Plane {
    int w = 0, h = 0;
    std::vector<double> v;
    double at(int x, int y) const {
        return v[std::size_t(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
    }
};

Plane ReadPlane(const CImage& img, int channel, int x = 0, int y = 0, int w = -1, int h = -1) {
    if (w < 0)
        w = img.width() - x;
    if (h < 0)
        h = img.height() - y;
    Plane p{w, h, std::vector<double>(std::size_t(w) * h)};
    for (int r = 0; r < h; ++r)
        ReadChannelDouble(img.pixels() + (std::size_t(y + r) * img.width() + x) * 4,
                          &p.v[std::size_t(r) * w], w, channel);
    return p;
}

// out(i, j) = Σ k(a, b) · p(x + j + b − c, y + i + a − c), the plane's edge extended.
Plane Correlate(const Plane& p, const std::vector<double>& k, int n, int x, int y, int w, int h) {
    Plane out{w, h, std::vector<double>(std::size_t(w) * h)};
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j)
            for (int a = 0; a < n; ++a)
                for (int b = 0; b < n; ++b)
                    out.v[std::size_t(i) * w + j] +=
                        k[std::size_t(a) * n + b] * p.at(x + j + b - n / 2, y + i + a - n / 2);
    return out;
}

// Richardson–Lucy in double over all of `src`, edge-extended; pixels not `detailed` (when given)
// keep their observed value.
Plane RichardsonLucy(const Plane& src, const std::vector<double>& k, int n, int iterations,
                     const std::vector<bool>* detailed = nullptr) {
    Plane e = src;
    const std::vector<double> mirrored(k.rbegin(), k.rend());
    for (int it = 0; it < iterations; ++it) {
        Plane q = Correlate(e, k, n, 0, 0, src.w, src.h);
        for (std::size_t i = 0; i < q.v.size(); ++i) q.v[i] = src.v[i] / std::max(q.v[i], 1e-12);
        const Plane c = Correlate(q, mirrored, n, 0, 0, src.w, src.h);
        for (std::size_t i = 0; i < e.v.size(); ++i)
            e.v[i] = detailed && !(*detailed)[i] ? src.v[i] : e.v[i] * c.v[i];
    }
    return e;
}

std::vector<int> Bytes(const CImage& img, int channel) {
    std::vector<int> out(std::size_t(img.width()) * img.height());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = img.pixels()[k * 4 + channel];
    return out;
}

// The bytes of the top-left w × h of a plane.
std::vector<int> Encode(const Plane& p, int w = -1, int h = -1) {
    CImage img(w < 0 ? p.w : w, h < 0 ? p.h : h);
    for (int r = 0; r < img.height(); ++r)
        WriteChannelDouble(&p.v[std::size_t(r) * p.w], img.pixels() + r * img.width() * 4,
                           img.width(), 1);
    return Bytes(img, 1);
}

void ExpectClose(const std::vector<int>& got, const std::vector<int>& want, int tolerance,
                 const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    int worst = 0;
    for (std::size_t k = 0; k < got.size(); ++k)
        worst = std::max(worst, std::abs(got[k] - want[k]));
    EXPECT_LE(worst, tolerance) << what;
}

// Every method on one channel of a region, as its preset calls it: the blur, the unsharp masks
// (Gaussian, then the blur kernel's), Richardson–Lucy without and with threshold, the Wiener
// filter, the refocus fit.
const DeblurType kMethods[] = {DeblurBlurSimulation, DeblurUSM3, DeblurUSMF3, DeblurRL20,
                               DeblurRT20,           DeblurWF2,  DeblurFR};
void RunMethod(int m, const CImage& i, CImage& o, int ch, double r, int a, int x, int y, int w,
               int h) {
    const Preset& p = PresetFor(kMethods[m]);
    ASSERT_TRUE(DefaultDeblurMethods()[p.method].run(
        MethodCall{i, o, ch, r, p.parameter, a, Region{x, y, w, h}, nullptr}));
}

}  // namespace

TEST(Methods, LinearMethodsMatchTheDirectSum) {
    // The blur, the full unsharp mask (o + (o − blurred) × amount) and the Wiener filter (the
    // filter its design gives, applied by correlation) against the direct double sum.
    struct Case {
        double radius;
        BlurKernel angle;
        int iw, ih, x, y, w, h;
    };
    const Case cases[] = {
        {1.0, -1, 70, 50, 10, 8, 30, 20},                         // inside
        {4.5, deblurtest::shakeKernel(), 70, 50, 12, 9, 40, 30},  // a kernel image, magnified
        {2.0, 30, 70, 50, 0, 0, 25, 18},                          // against the top-left corner
        {3.0, 120, 70, 50, 45, 30, 25, 20},                       // against the bottom-right corner
        {7.5, -1, 70, 50, 6, 0, 64, 50},                          // large kernel, whole height
        {7.5, 80, 70, 50, 40, 20, 3, 2},                          // region smaller than the kernel
        {7.5, -1, 6, 5, 0, 0, 6, 5},  // photograph smaller than the kernel
    };
    for (const Case& c : cases) {
        const CImage in = testPicture(c.iw, c.ih, 11);
        int n, gn;
        const auto k = kernelOf(c.radius, c.angle, n);
        std::vector<double> g;
        wiener_fir_filter(g, gn, c.radius, int(2 * c.radius), 0.0, 0.01f, c.angle, true);
        for (int channel = 1; channel <= 3; ++channel) {
            const Plane p = ReadPlane(in, channel);
            const Plane blurred = Correlate(p, k, n, c.x, c.y, c.w, c.h);
            Plane sharpened = blurred;
            for (int r = 0; r < c.h; ++r)
                for (int q = 0; q < c.w; ++q) {
                    const double o = p.at(c.x + q, c.y + r);
                    sharpened.v[std::size_t(r) * c.w + q] = o + (o - blurred.v[r * c.w + q]) * 2.5;
                }
            const std::string what = std::to_string(c.radius) + " at " + std::to_string(c.x);
            CImage out(c.w, c.h), usm(c.w, c.h), wiener(c.w, c.h);
            convolve(in, out, channel, c.radius, c.angle, c.x, c.y, c.w, c.h);
            ExpectClose(Bytes(out, channel), Encode(blurred), 1, "convolve " + what);
            // The other channels of the output stay as created.
            EXPECT_EQ(Bytes(out, channel == 1 ? 2 : 1), std::vector<int>(c.w * c.h, 255));
            unsharp_mask(in, usm, 0, channel, c.radius, 2.5, c.angle, c.x, c.y, c.w, c.h);
            ExpectClose(Bytes(usm, channel), Encode(sharpened), 1, "unsharp mask " + what);
            deconvolve_wiener_fir(in, wiener, channel, c.radius, int(2 * c.radius), 0.0, 0.01f,
                                  c.angle, c.x, c.y, c.w, c.h);
            ExpectClose(Bytes(wiener, channel), Encode(Correlate(p, g, gn, c.x, c.y, c.w, c.h)), 1,
                        "wiener " + what);
        }
    }
}

TEST(Methods, UnsharpFastMatchesASeparableReference) {
    std::vector<double> k;
    // Rows then columns on bytes, rounded after each pass, renormalised where the kernel leaves
    // the region; then o + (o − blurred) × amount, truncated and clamped.
    const int iw = 160, ih = 30;
    CImage in = testPicture(iw, ih, 9);
    for (int i = 0; i < iw * ih; ++i) in.pixels()[i * 4] = std::uint8_t(100 + i % 3);
    const double radius = 1.5, amount = 3.0;
    unsharp_mask_kernel(k, radius);
    const int n = int(k.size()), half = n / 2;
    auto blur = [&](const std::function<int(int)>& sample, int length, int p) {
        double v = 0, weight = 0;
        for (int j = std::max(0, half - p); j < n && p - half + j < length; ++j) {
            v += k[j] * sample(p - half + j);
            weight += k[j];
        }
        const bool inside = n <= length && p >= half && p < length - half;
        return int((inside ? v : v / weight) + 0.5);
    };
    // Shorter than the kernel, and large enough for the passes to split into several tasks.
    for (const Region& g : {Region{5, 4, 30, 4}, Region{3, 2, 150, 27}}) {
        CImage out(g.w, g.h), untouched(g.w, g.h);
        unsharp_mask(in, out, 1, 1, radius, amount, -1, g.x, g.y, g.w, g.h);
        auto o = [&](int r, int c, int b) {
            return int(in.pixels()[((g.y + r) * iw + g.x + c) * 4 + b]);
        };
        int wrong = 0;
        for (int b = 0; b < 4; ++b) {
            std::vector<int> rows(std::size_t(g.w) * g.h);
            for (int r = 0; r < g.h; ++r)
                for (int c = 0; c < g.w; ++c)
                    rows[r * g.w + c] = blur([&](int q) { return o(r, q, b); }, g.w, c);
            for (int r = 0; r < g.h; ++r)
                for (int c = 0; c < g.w; ++c) {
                    const int blurred = blur([&](int q) { return rows[q * g.w + c]; }, g.h, r);
                    const double v = std::trunc(o(r, c, b) + (o(r, c, b) - blurred) * amount);
                    wrong += out.pixels()[(r * g.w + c) * 4 + b] != std::clamp(v, 0.0, 255.0);
                }
        }
        EXPECT_EQ(wrong, 0) << "region " << g.w << " x " << g.h;
        // The calls for the other channels change nothing.
        unsharp_mask(in, untouched, 1, 2, radius, amount, -1, g.x, g.y, g.w, g.h);
        unsharp_mask(in, untouched, 1, 3, radius, amount, -1, g.x, g.y, g.w, g.h);
        EXPECT_EQ(Bytes(untouched, 2), std::vector<int>(std::size_t(g.w) * g.h, 255));
    }
}

TEST(Methods, EveryMethodKeepsUniformAndUnitKernelInputs) {
    // A uniform photograph stays uniform inside, against the border, in regions and photographs
    // smaller than the kernel.
    struct Geometry {
        int iw, ih, x, y, w, h;
    };
    const Geometry geometries[] = {{60, 50, 10, 10, 30, 25},
                                   {60, 50, 0, 30, 60, 20},
                                   {60, 50, 58, 49, 2, 1},
                                   {5, 4, 0, 0, 5, 4},
                                   {1, 1, 0, 0, 1, 1}};
    CImage picture = testPicture(40, 30, 8);
    for (int i = 0; i < 40 * 30; ++i) picture.pixels()[i * 4] = std::uint8_t(i);  // distinct alpha
    for (int m = 0; m < 7; ++m) {
        for (const Geometry& g : geometries)
            for (double radius : {0.5, 3.0, 7.5}) {
                const CImage in = deblurtest::uniformPicture(g.iw, g.ih, 150, 150, 150);
                CImage out(g.w, g.h);
                for (int ch = 1; ch <= 3; ++ch)
                    RunMethod(m, in, out, ch, radius, -1, g.x, g.y, g.w, g.h);
                for (int ch = 1; ch <= 3; ++ch) {
                    const auto b = Bytes(out, ch);
                    EXPECT_EQ(std::count(b.begin(), b.end(), b.front()), int(b.size()))
                        << DeblurTypeName(kMethods[m]) << " radius " << radius << " w " << g.w;
                    EXPECT_LE(std::abs(b.front() - 150), 1)
                        << DeblurTypeName(kMethods[m]) << " radius " << radius;
                }
            }
        // A unit kernel returns the region (the fast unsharp mask's Gaussian never is one). The
        // pass-through copies whole pixels, alpha included; the others leave alpha opaque.
        if (m == 1)
            continue;
        CImage out(20, 12);
        for (int ch = 1; ch <= 3; ++ch) RunMethod(m, picture, out, ch, 0.5, 45, 15, 18, 20, 12);
        for (int ch = 1; ch <= 3; ++ch)
            ExpectClose(Bytes(out, ch), Encode(ReadPlane(picture, ch, 15, 18, 20, 12)), 1,
                        DeblurTypeName(kMethods[m]));
        std::vector<int> alpha;
        for (int r = 0; r < 12; ++r)
            for (int c = 0; c < 20; ++c)
                alpha.push_back(m == 6 ? picture.pixels()[((18 + r) * 40 + 15 + c) * 4] : 255);
        EXPECT_EQ(Bytes(out, 0), alpha) << DeblurTypeName(kMethods[m]);
    }
}

TEST(Methods, RichardsonLucyWithAndWithoutThresholdMatchDoubleReference) {
    // The plain method's source runs from the region's first pixel to the image's end. The
    // thresholded one's is the region, and it keeps the observed value where no channel deviates
    // by more than 5 over the (2r + 1)² window; a flat patch gives it such pixels.
    CImage in = testPicture(48, 36, 13);
    for (int yy = 12; yy < 36; ++yy)
        for (int xx = 18; xx < 48; ++xx)
            for (int ch = 1; ch <= 3; ++ch)
                in.pixels()[(std::size_t(yy) * 48 + xx) * 4 + ch] = std::uint8_t(60 * ch);
    auto px = [&](int u, int v, int ch) {
        return double(in.pixels()[(std::clamp(v, 0, 35) * 48 + std::clamp(u, 0, 47)) * 4 + ch]);
    };
    struct Case {
        bool threshold;
        double radius;
        BlurKernel angle;
        int iterations, x, y, w, h;
    };
    // A kernel image has no symmetry: the ratio must go back through its mirror image.
    const BlurKernel shake = deblurtest::shakeKernel();
    for (const Case& c :
         {Case{false, 1.0, -1, 20, 0, 0, 48, 36}, Case{false, 1.5, 60, 20, 10, 8, 26, 18},
          Case{false, 2.0, -1, 10, 14, 12, 26, 18}, Case{true, 1.0, -1, 20, 6, 5, 36, 26},
          Case{true, 2.0, -1, 20, 6, 5, 36, 26}, Case{true, 2.0, -1, 0, 6, 5, 36, 26},
          Case{false, 2.0, shake, 15, 4, 3, 30, 22}, Case{true, 2.0, shake, 15, 6, 5, 36, 26}}) {
        const std::string what = (c.threshold ? "threshold " : "") + std::to_string(c.radius);
        const int r = int(std::lround(c.radius)), w = c.w, h = c.h;
        std::vector<bool> detailed(std::size_t(w) * h, false);
        for (int j = 0; j < h && c.threshold; ++j)
            for (int i = 0; i < w; ++i)
                for (int ch = 1; ch <= 3; ++ch) {
                    double sum = 0, sq = 0;
                    for (int d = -r; d <= r; ++d)
                        for (int e = -r; e <= r; ++e) {
                            sum += px(c.x + i + e, c.y + j + d, ch);
                            sq += std::pow(px(c.x + i + e, c.y + j + d, ch), 2);
                        }
                    const double count = (2 * r + 1) * (2 * r + 1);
                    if (std::sqrt(sq / count - (sum / count) * (sum / count)) > 5)
                        detailed[std::size_t(j) * w + i] = true;
                }
        const auto marked = std::count(detailed.begin(), detailed.end(), true);
        EXPECT_TRUE(!c.threshold || (marked > 0 && marked < w * h)) << what;
        int n;
        const auto k = kernelOf(c.radius, c.angle, n);
        for (int ch = 1; ch <= 3; ++ch) {
            CImage out(w, h);
            if (c.threshold)
                deconvolve_lucy_richard_threshold(in, out, ch, c.radius, c.iterations, c.angle, c.x,
                                                  c.y, w, h);
            else
                deconvolve_lucy_richard(in, out, ch, c.radius, c.iterations, c.angle, c.x, c.y, w,
                                        h);
            const Plane src =
                c.threshold ? ReadPlane(in, ch, c.x, c.y, w, h) : ReadPlane(in, ch, c.x, c.y);
            const Plane est =
                RichardsonLucy(src, k, n, c.iterations, c.threshold ? &detailed : nullptr);
            ExpectClose(Bytes(out, ch), Encode(est, w, h), 1, what);
        }
    }
}

TEST(Methods, WienerFilterSolvesItsNormalEquations) {
    // For a symmetric kernel h the raw filter minimising E|x − g * (h * x + noise)|² with image
    // correlation R(d) = gamma^|d| satisfies, at every position u of the filter,
    //   Σ_v g(v) · Ryy(u − v) + noise · g(u) = Rxy(u),
    // Ryy(d) = Σ_{s,t} h(s) h(t) R(d − s + t), Rxy(d) = Σ_s h(s) R(d − s); the applied filter is
    // the raw one scaled to sum 1. The presets' noise levels, a correlated image, and a kernel
    // larger than the requested filter (which enlarges it).
    // A kernel image (no symmetry) has a tap of its own for each position: then
    // Rxy(d) = Σ_s h(s) R(d + s), which is the above for a symmetric kernel.
    struct Case {
        double radius;
        int matRadius;
        double gamma, noise;
        BlurKernel kernel = -1;
    };
    for (const Case& c :
         {Case{1.0, 2, 0.0, 0.01f}, Case{1.0, 2, 0.0, 0.001f}, Case{1.5, 3, 0.6, 0.01},
          Case{3.0, 1, 0.0, 0.01f}, Case{3.0, 2, 0.0, 0.01f, deblurtest::shakeKernel()},
          Case{2.0, 3, 0.5, 0.001, deblurtest::shakeKernel()}}) {
        std::vector<double> g, normalised;
        int n = 0, nn = 0, kn;
        wiener_fir_filter(g, n, c.radius, c.matRadius, c.gamma, c.noise, c.kernel, false);
        wiener_fir_filter(normalised, nn, c.radius, c.matRadius, c.gamma, c.noise, c.kernel, true);
        const auto h = kernelOf(c.radius, c.kernel, kn);
        ASSERT_EQ(n, std::max(kn, 2 * c.matRadius + 1));
        ASSERT_EQ(nn, n);
        const int kc = kn / 2, R = n / 2;
        auto H = [&](int a, int b) { return h[(a + kc) * kn + b + kc]; };
        auto rxy = [&](int dy, int dx) {
            double s = 0;
            for (int a = -kc; a <= kc; ++a)
                for (int b = -kc; b <= kc; ++b)
                    s += H(a, b) * std::pow(c.gamma, std::hypot(dy + a, dx + b));
            return s;
        };
        std::vector<double> ryy((4 * R + 1) * (4 * R + 1));  // Ryy(d) for |d| ≤ 2R
        for (int dy = -2 * R; dy <= 2 * R; ++dy)
            for (int dx = -2 * R; dx <= 2 * R; ++dx)
                for (int a = -kc; a <= kc; ++a)
                    for (int b = -kc; b <= kc; ++b)
                        ryy[(dy + 2 * R) * (4 * R + 1) + dx + 2 * R] +=
                            H(a, b) * rxy(dy - a, dx - b);
        double worst = 0, scale = 0, sum = 0;
        for (double v : g) sum += v;
        for (int uy = -R; uy <= R; ++uy)
            for (int ux = -R; ux <= R; ++ux) {
                const std::size_t u = std::size_t(uy + R) * n + ux + R;
                double lhs = c.noise * g[u];
                for (int vy = -R; vy <= R; ++vy)
                    for (int vx = -R; vx <= R; ++vx)
                        lhs += g[std::size_t(vy + R) * n + vx + R] *
                               ryy[(uy - vy + 2 * R) * (4 * R + 1) + ux - vx + 2 * R];
                worst = std::max(worst, std::fabs(lhs - rxy(uy, ux)));
                scale = std::max(scale, std::fabs(rxy(uy, ux)));
                EXPECT_NEAR(normalised[u], g[u] / sum, 1e-12) << c.radius;
            }
        EXPECT_LT(worst, 1e-10 * std::max(1.0, scale)) << c.radius << " gamma " << c.gamma;
    }
    // A line kernel still yields the square's symmetries (radius 0.5, the unit impulse: see
    // EveryMethodKeepsUniformAndUnitKernelInputs).
    std::vector<double> g;
    int n = 0;
    wiener_fir_filter(g, n, 2.0, 3, 0.0, 0.01, 30, true);
    auto at = [&](int dy, int dx) { return g[std::size_t(3 + dy) * n + 3 + dx]; };
    for (int p = -3; p <= 3; ++p)
        for (int q = -3; q <= 3; ++q) {
            EXPECT_TRUE(at(p, q) == at(-p, q));
            EXPECT_TRUE(at(p, q) == at(p, -q));
            EXPECT_TRUE(at(p, q) == at(q, p));
        }
}

TEST(Methods, ChannelsInParallelMatchChannelsInTurn) {
    // Previews run the three channels at once, several steps at a time: the FFT engine's shared
    // plans and buffers must not mix them up. Large kernels, regions of different sizes.
    const CImage in = testPicture(160, 120, 23);
    const int regions[][4] = {{0, 0, 160, 120}, {20, 10, 100, 90}, {50, 40, 70, 33}};
    for (int m = 0; m < 7; ++m) {
        std::vector<CImage> parallel, serial;
        for (const auto& g : regions) {
            parallel.emplace_back(g[2], g[3]);
            serial.emplace_back(g[2], g[3]);
        }
        dispatchApply(9, [&](std::size_t task) {
            const int* g = regions[task / 3];
            const int ch = int(task % 3) + 1;
            RunMethod(m, in, parallel[task / 3], ch, 7.5, -1, g[0], g[1], g[2], g[3]);
        });
        for (std::size_t task = 0; task < 9; ++task) {
            const auto& g = regions[task / 3];
            const int ch = int(task % 3) + 1;
            RunMethod(m, in, serial[task / 3], ch, 7.5, -1, g[0], g[1], g[2], g[3]);
            EXPECT_EQ(Bytes(parallel[task / 3], ch), Bytes(serial[task / 3], ch))
                << DeblurTypeName(kMethods[m]);
        }
    }
}

// A curved shake (not its own mirror image) over a whole photograph, deblurred at a radius a little
// under its own: the edge-extended border let a pixel at the photograph's edge grow each iteration
// until it overflowed, and the FFT convolution spread the overflow over the whole channel. The
// photograph is the astronaut blurred by that shake in linear light, with noise.
TEST(Methods, RichardsonLucyStaysFiniteAtAPhotographsEdgeWithACurvedShake) {
    const KernelImageRef shake = deblurtest::sampleKernel("curved_shake_psf.png");
    ASSERT_TRUE(shake);
    const CImage blurred = deblurtest::samplePhoto("curved_shake_astronaut.png");
    const CImage sharp = deblurtest::samplePhoto("astronaut.png");
    const int w = blurred.width(), h = blurred.height();
    // Squared error against the sharp photograph away from the edges.
    auto centreError = [&](const CImage& image, int ch) {
        const std::vector<int> got = Bytes(image, ch), want = Bytes(sharp, ch);
        double e = 0;
        for (int y = h / 4; y < 3 * h / 4; ++y)
            for (int i = y * w + w / 4; i < y * w + 3 * w / 4; ++i)
                e += std::pow(got[i] - want[i], 2);
        return e;
    };
    for (const bool threshold : {false, true})
        for (int ch = 1; ch <= 3; ++ch) {
            CImage out(w, h);
            (threshold ? deconvolve_lucy_richard_threshold : deconvolve_lucy_richard)(
                blurred, out, ch, 8.5, 80, BlurKernel(shake), 0, 0, w, h, nullptr, nullptr,
                nullptr);
            EXPECT_LT(centreError(out, ch), 0.5 * centreError(blurred, ch)) << threshold << ch;
        }
}

// A kernel file is the picture a point of light takes in a photograph blurred by it (its
// point-spread function), as other tools save one and as star trails show it. A bright spot with
// a faint trail leaving it one way: a point blurred by the file's kernel has its brightest pixel
// at the trail's start and the trail on the same side; so has the file it is written back to.
TEST(Methods, KernelFilesArePicturesOfABlurredPoint) {
    // From the brightest of the w-wide plane's values to their centroid: along (dx, dy)?
    auto trailsAlong = [](const std::vector<double>& v, int w, int dx, int dy) {
        const auto peak = std::max_element(v.begin(), v.end()) - v.begin();
        double sum = 0, x = 0, y = 0;
        for (std::size_t i = 0; i < v.size(); ++i)
            sum += v[i], x += v[i] * double(i % w), y += v[i] * double(i / w);
        x = x / sum - double(peak % w), y = y / sum - double(peak / w);
        return x * dx + y * dy > 1.5 && std::abs(x * dy - y * dx) < 0.5;
    };
    const std::string path = testing::TempDir() + "/trail.png";
    for (const auto& [dx, dy] : {std::pair{1, 0}, {0, 1}, {-1, 1}, {1, -1}}) {
        constexpr int n = 15, c = 7, side = 48;
        std::vector<std::uint16_t> picture(n * n, 0);
        picture[c * n + c] = 65535;
        for (int i = 1; i <= 6; ++i) picture[std::size_t(c + i * dy) * n + c + i * dx] = 12000;
        std::string reason;
        ASSERT_TRUE(PlatformWriteGrey16Png(path, picture, n, n));
        const KernelImageRef kernel = ReadKernelFile(path, reason);
        ASSERT_TRUE(kernel) << reason;
        CImage dot(side, side), out(side, side);
        std::fill_n(dot.pixels(), std::size_t(side) * side * 4, std::uint8_t(0));
        dot.pixels()[(std::size_t(side / 2) * side + side / 2) * 4 + 2] = 255;
        convolve(dot, out, 2, kernel->radius(), BlurKernel(kernel), 0, 0, side, side);
        std::vector<double> blurred(std::size_t(side) * side);
        for (std::size_t i = 0; i < blurred.size(); ++i) blurred[i] = out.pixels()[i * 4 + 2];
        EXPECT_TRUE(trailsAlong(blurred, side, dx, dy)) << dx << "," << dy;

        std::vector<std::uint16_t> levels;
        int w = 0, h = 0;
        bool tooLarge = false;
        ASSERT_TRUE(WriteKernelFile(path, *kernel) &&
                    PlatformReadGrey16(levels, w, h, path, kMaxKernelFileSide, &tooLarge));
        EXPECT_TRUE(trailsAlong({levels.begin(), levels.end()}, w, dx, dy)) << dx << "," << dy;
    }
}
