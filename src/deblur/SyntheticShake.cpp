// Random camera-shake kernels after Boracchi & Foi 2012 ("Modeling the performance of image
// restoration from motion blur", IEEE TIP 21(8)): the camera's path is that of a particle moving
// at constant speed whose velocity is disturbed at every step by Gaussian jitter, pulled back
// towards where the exposure began (a hand corrects its drift) and, now and then, turned abruptly
// (a jerk of the hand). The path, sampled densely, is rasterised by bilinear splatting: each sample
// spreads an equal share of the exposure over the four pixels around it.
//
// The random numbers come from std::mt19937 alone, turned into uniform and Gaussian variates here
// (the standard distributions are not specified bit for bit), so a seed gives the same kernel
// everywhere.

#include "SyntheticShake.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "ColorSpace.h"
#include "Planar.h"

namespace velkaro {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kSamples = 1000;  // path samples: many per pixel even at 40 pixels

class Variates {
  public:
    explicit Variates(std::uint32_t seed) : mEngine(seed) {}
    // Uniform in (0, 1).
    double uniform() { return (double(mEngine()) + 0.5) / 4294967296.0; }
    double uniform(double a, double b) { return a + (b - a) * uniform(); }
    // Standard normal by the Box–Muller transform.
    double normal() { return std::sqrt(-2 * std::log(uniform())) * std::cos(2 * kPi * uniform()); }

  private:
    std::mt19937 mEngine;
};

using Complex = std::complex<double>;

// The path rasterised by bilinear splatting: each sample spreads its weight (`weights`, or an
// equal share when empty) over the four pixels around it. The weighted mean of the path goes to
// the middle pixel's centre, and the splatting keeps it as the kernel's centroid: the blur moves
// the photograph by nothing on average, as a kernel estimated from it is centred.
KernelImageRef SplatPath(const std::vector<Complex>& path, const std::vector<double>& weights) {
    auto weight = [&](std::size_t i) { return weights.empty() ? 1.0 : weights[i]; };
    Complex mean = 0;
    double mass = 0;
    for (std::size_t i = 0; i < path.size(); ++i) mean += weight(i) * path[i], mass += weight(i);
    mean /= mass;
    double reach = 0;
    for (const Complex& p : path)
        reach =
            std::max({reach, std::abs(p.real() - mean.real()), std::abs(p.imag() - mean.imag())});
    const int half = int(std::ceil(reach)) + 1;
    const int n = 2 * half + 1;
    const double ox = half - mean.real(), oy = half - mean.imag();
    std::vector<double> kernel(std::size_t(n) * n, 0.0);
    for (std::size_t i = 0; i < path.size(); ++i) {
        const double x = path[i].real() + ox, y = path[i].imag() + oy, w = weight(i);
        const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
        const double fx = x - x0, fy = y - y0;
        auto add = [&](int xx, int yy, double share) {
            if (xx >= 0 && xx < n && yy >= 0 && yy < n)
                kernel[std::size_t(yy) * n + xx] += w * share;
        };
        add(x0, y0, (1 - fx) * (1 - fy));
        add(x0 + 1, y0, fx * (1 - fy));
        add(x0, y0 + 1, (1 - fx) * fy);
        add(x0 + 1, y0 + 1, fx * fy);
    }
    return KernelImage::fromWeights(n, kernel);
}

}  // namespace

KernelImageRef SyntheticShakeKernel(double length, std::uint32_t seed) {
    length = std::max(1.0, length);
    Variates random(seed);
    // The kernel's character, drawn once: how jittery the hand is, how strongly it returns
    // towards the start, and how many abrupt turns to expect over the exposure. Each is scaled so
    // that over the whole path it turns the direction by at most about two radians (jitter: its
    // standard deviation times √kSamples; pull-back: at most 0.7 × kSamples × 0.005 / 2).
    const double jitter = random.uniform(0.0, 0.06);           // radians per sample, std. deviation
    const double pullBack = random.uniform(0.0, 0.7) * 0.005;  // per sample, per path length
    const double turnRate = random.uniform(0.0, 1.5) / kSamples;
    const double step = length / kSamples;  // constant speed: the path is `length` long

    std::vector<Complex> path(kSamples + 1);
    Complex v = std::polar(step, random.uniform(0, 2 * kPi));
    for (int t = 1; t <= kSamples; ++t) {
        Complex dv = 0;
        if (random.uniform() < turnRate)  // a jerk: mostly back where the camera came from
            dv += 2.0 * v * std::polar(1.0, kPi + random.uniform(-0.5, 0.5));
        dv += step * (jitter * Complex(random.normal(), random.normal()) -
                      pullBack * path[t - 1] / length);
        v += dv;
        const double speed = std::abs(v);
        v = speed > 0 ? v * (step / speed) : std::polar(step, random.uniform(0, 2 * kPi));
        path[t] = path[t - 1] + v;
    }
    return SplatPath(path, {});
}

KernelImageRef BezierShakeKernel(double length, std::uint32_t seed) {
    length = std::max(1.0, length);
    Variates random(seed);
    double px[4], py[4];
    for (int i = 0; i < 4; ++i) px[i] = random.normal(), py[i] = random.normal();
    const double cycles = random.uniform(1, 3), phase = random.uniform(0, 6);
    constexpr int kBezierSamples = 2000;
    std::vector<double> x(kBezierSamples), y(kBezierSamples), w(kBezierSamples);
    double path = 0;
    for (int i = 0; i < kBezierSamples; ++i) {
        const double t = i / (kBezierSamples - 1.0), a = (1 - t) * (1 - t) * (1 - t),
                     b = 3 * (1 - t) * (1 - t) * t, c = 3 * (1 - t) * t * t, d = t * t * t;
        x[i] = a * px[0] + b * px[1] + c * px[2] + d * px[3];
        y[i] = a * py[0] + b * py[1] + c * py[2] + d * py[3];
        w[i] = 0.4 + std::abs(std::sin(t * kPi * cycles + phase));
        if (i > 0)
            path += std::hypot(x[i] - x[i - 1], y[i] - y[i - 1]);
    }
    // Scaled to `length`, the brightness as each sample's weight.
    const double scale = path > 0 ? length / path : 0;
    std::vector<Complex> points(kBezierSamples);
    for (int i = 0; i < kBezierSamples; ++i) points[i] = Complex(x[i] * scale, y[i] * scale);
    return SplatPath(points, w);
}

KernelImageRef SplineShakeKernel(double length, std::uint32_t seed) {
    length = std::max(1.0, length);
    Variates random(seed);
    constexpr int kPoints = 6, kPerPiece = kSamples / (kPoints - 1);
    Complex p[kPoints];
    for (Complex& q : p) q = Complex(random.uniform(), random.uniform());
    // A Catmull–Rom spline, which passes through every point; the end points are repeated.
    std::vector<Complex> curve;
    for (int s = 0; s + 1 < kPoints; ++s) {
        const Complex p0 = p[std::max(s - 1, 0)], p1 = p[s], p2 = p[s + 1],
                      p3 = p[std::min(s + 2, kPoints - 1)];
        for (int i = 0; i < kPerPiece; ++i) {
            const double t = double(i) / kPerPiece;
            curve.push_back(0.5 * (2.0 * p1 + (p2 - p0) * t +
                                   (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3) * (t * t) +
                                   (3.0 * p1 - p0 - 3.0 * p2 + p3) * (t * t * t)));
        }
    }
    curve.push_back(p[kPoints - 1]);
    double path = 0;
    for (std::size_t i = 1; i < curve.size(); ++i) path += std::abs(curve[i] - curve[i - 1]);
    const double scale = path > 0 ? length / path : 0;
    // Each pixel the scaled curve enters, once, with its own brightness.
    std::vector<Complex> pixels;
    std::vector<double> weights;
    for (const Complex& c : curve) {
        const Complex pixel(std::round(c.real() * scale), std::round(c.imag() * scale));
        if (std::find(pixels.begin(), pixels.end(), pixel) != pixels.end())
            continue;
        pixels.push_back(pixel);
        weights.push_back(std::max(0.0, 1 + 0.5 * random.normal()));
    }
    if (*std::max_element(weights.begin(), weights.end()) == 0)
        weights.assign(weights.size(), 1.0);
    return SplatPath(pixels, weights);
}

CImage SyntheticBlur(const CImage& sharp, const KernelImage& kernel, double noise,
                     std::uint32_t seed) {
    const int w = sharp.width(), h = sharp.height();
    CImage out(w, h);
    const std::vector<float> k(kernel.weights().begin(), kernel.weights().end());
    std::vector<float> plane(std::size_t(w) * h), blurred(plane.size());
    Variates random(seed);
    for (int channel = 1; channel <= 3; ++channel) {
        for (int r = 0; r < h; ++r)
            ReadChannelFloat(sharp.pixels() + std::size_t(r) * w * 4, &plane[std::size_t(r) * w], w,
                             channel);
        convolvePlanarF({plane.data(), w, h, std::size_t(w) * sizeof(float)},
                        {blurred.data(), w, h, std::size_t(w) * sizeof(float)}, 0, 0, k.data(),
                        kernel.size(), kernel.size());
        for (std::size_t i = 0; i < blurred.size(); ++i) {
            // The sRGB encoding of the linear value.
            const double v = std::clamp(double(blurred[i]), 0.0, 1.0);
            const double encoded =
                v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            out.pixels()[i * 4 + channel] = std::uint8_t(
                std::clamp(std::lround((encoded + noise * random.normal()) * 255), 0L, 255L));
        }
    }
    return out;
}

}  // namespace velkaro
