// Blur estimation by fitting the section's power spectrum with the transfer functions of the
// grid's own kernels.
//
// A blurred section g = f ⊗ k + n has the power spectrum |F|²·|K|² + N. Natural images have a
// power spectrum close to a power law of the frequency, A·ρ^−α (Field 1987, "Relations between the
// statistics of natural images and the response properties of cortical cells"; van der Schaaf &
// van Hateren 1996), so the blur shows as the factor |K|² with its zeros and its fall-off: rings
// for a disc, parallel stripes across the direction of a motion (Cannon 1976, "Blind deconvolution
// of spatially invariant image blurs with phase", IEEE Trans. ASSP 24(1); Moghaddam & Jamzad 2007,
// "Linear motion blur parameter estimation using Radon transform of the log spectrum").
//
// The method here is the parametric spectral fit of that model (in the spirit of Cannon's and
// Rom's 1975 "On the cepstrum of two-dimensional functions" identification of the blur from the
// log spectrum, but matching the whole transfer function instead of its zeros only):
//  1. The luminance in linear light (where the blur is linear) gives a Welch-averaged power
//     spectrum over Hann-windowed 128 × 128 tiles; the noise floor N, a low percentile (the
//     30th) of the highest frequencies, is subtracted.
//  2. The log spectrum is sampled on a polar grid (60 directions, radii 3 … 56 / 128 cycles per
//     pixel), each sample weighted by its share of signal, (P − N)² / P².
//  3. Each candidate kernel — no blur, the discs of steps 2 … 30, the lines of even steps at angles
//     every 6°, then of the steps and angles by 1° around the best — predicts
//     log(P − N) = log A_φ − α · log ρ + log(|K(ρ, φ)|² + ε), |K|² seen through the tiles' window
//     (averaged over its ±2 bins: the zeros of a long kernel, or of a real shake whose speed
//     varies, are filled, and the spectrum falls as their envelope), ε = 0.01 the depth to which
//     the remaining dips are trusted; the levels A_φ (one per direction, for the image's own
//     anisotropy) and the slope α follow by weighted linear least squares in closed form. K is the
//     discrete-time Fourier transform of the kernel GenerateFilter makes: along the horizontal axis
//     for the (isotropic) disc; for a line, the product of the transforms of its projections on its
//     own axis and across it.
//  4. The best candidate wins; its confidence is the share of the no-blur misfit it removes. A
//     section whose spectrum a power law explains about as well (sharp, or noise only), or with
//     too little signal above the noise, is reported as no blur.

#include "BlurEstimate.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "Dispatch.h"
#include "FftPlans.h"
#include "Filter.h"
#include "Matrix.h"
#include "MatrixFilter.h"
#include "MethodSupport.h"
#include "PlanarFft.h"

namespace velkaro {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kBlock = 128;
constexpr int kDirections = 60;  // 3° apart
constexpr int kFirstBin = 3;     // radii kFirstBin … kLastBin over kBlock cycles per pixel
constexpr int kLastBin = 56;
constexpr int kBins = kLastBin - kFirstBin + 1;
constexpr int kMaxStep = 30;
constexpr int kTable = 129;      // transfer-function samples over 0 … 0.5 cycles per pixel
constexpr double kFloor = 1e-2;  // relative depth to which the spectrum's dips are modelled
constexpr double kMinGain = 0.15;
constexpr double kMinSignal = 0.04;
constexpr int kMinSide = 48;  // smaller sections are not measured (no blur found)

// The section's log spectrum on the polar grid, its weights and the sums of the fit that do not
// depend on the candidate.
struct Spectrum {
    std::vector<double> logPower;  // [direction][bin]
    std::vector<double> weight;
    double x[kBins];  // log radius
    double sumW[kDirections], sumWx[kDirections], centredXX = 0;
    double meanWeight = 0;
};

bool MeasureSpectrum(Spectrum& s, const CImage& image, int x, int y, int w, int h) {
    std::vector<float> luminance = ReadLuminanceWindow(image, Region{x, y, w, h});
    // A photograph smaller than one block is mirrored out to it: a mirror adds no edge, so the
    // spectrum keeps the blur's dips and fall-off.
    if ((w < kBlock || h < kBlock) && std::min(w, h) >= kMinSide) {
        const int pw = std::max(w, kBlock), ph = std::max(h, kBlock);
        const int left = (pw - w) / 2, top = (ph - h) / 2;
        std::vector<float> padded(std::size_t(pw) * ph);
        for (int r = 0; r < ph; ++r)
            for (int c = 0; c < pw; ++c)
                padded[std::size_t(r) * pw + c] =
                    luminance[std::size_t(MirrorIndex(r - top, h)) * w + MirrorIndex(c - left, w)];
        luminance = std::move(padded);
        w = pw;
        h = ph;
    }
    std::vector<float> power;
    const PlanarF plane{luminance.data(), w, h, std::size_t(w) * sizeof(float)};
    if (planarPowerSpectrum(plane, kBlock, power) == 0)
        return false;
    const int columns = kBlock / 2 + 1;
    auto at = [&](int ky, int kx) {
        return double(power[std::size_t((ky % kBlock + kBlock) % kBlock) * columns + kx]);
    };

    // Noise floor: the 30th percentile of the frequencies beyond 0.45 cycles per pixel, corners
    // included (a natural image's weakest frequencies, pure noise once blurred).
    std::vector<double> high;
    for (int ky = -kBlock / 2 + 1; ky <= kBlock / 2; ++ky)
        for (int kx = 0; kx < columns; ++kx)
            if (kx * kx + ky * ky >= 0.45 * 0.45 * kBlock * kBlock)
                high.push_back(at(ky, kx));
    const std::size_t rank = high.size() * 3 / 10;
    std::nth_element(high.begin(), high.begin() + rank, high.end());
    const double noise = std::max(high[rank], 1e-30);

    s.logPower.assign(std::size_t(kDirections) * kBins, 0);
    s.weight.assign(std::size_t(kDirections) * kBins, 0);
    double totalWeight = 0;
    for (int k = 0; k < kBins; ++k) s.x[k] = std::log(double(kFirstBin + k));
    for (int j = 0; j < kDirections; ++j) {
        const double phi = j * kPi / kDirections;
        double sw = 0, swx = 0, swxx = 0;
        for (int k = 0; k < kBins; ++k) {
            const double rho = kFirstBin + k;  // in bins
            double u = rho * std::cos(phi), v = rho * std::sin(phi);
            if (u < 0) {
                u = -u;
                v = -v;
            }
            const int c0 = int(std::floor(u)), r0 = int(std::floor(v));
            const double fu = u - c0, fv = v - r0;
            const double p = (1 - fv) * ((1 - fu) * at(r0, c0) + fu * at(r0, c0 + 1)) +
                             fv * ((1 - fu) * at(r0 + 1, c0) + fu * at(r0 + 1, c0 + 1));
            const double signal = std::max(p - noise, 0.05 * noise);
            const double wt = (signal / (signal + noise)) * (signal / (signal + noise));
            const std::size_t i = std::size_t(j) * kBins + k;
            s.logPower[i] = std::log(signal);
            s.weight[i] = wt;
            sw += wt;
            swx += wt * s.x[k];
            swxx += wt * s.x[k] * s.x[k];
            totalWeight += wt;
        }
        s.sumW[j] = sw;
        s.sumWx[j] = swx;
        s.centredXX += sw > 0 ? swxx - swx * swx / sw : 0;
    }
    s.meanWeight = totalWeight / (double(kDirections) * kBins);
    return true;
}

// Weighted misfit of log power = level(direction) − α · log ρ + model(direction, bin), the levels
// and α chosen by least squares. `model(j, k)` is the candidate's log transfer.
template <typename Model>
double Misfit(const Spectrum& s, Model model) {
    double sxy = 0, syy = 0;
    for (int j = 0; j < kDirections; ++j) {
        double wy = 0, wxy = 0, wyy = 0;
        for (int k = 0; k < kBins; ++k) {
            const std::size_t i = std::size_t(j) * kBins + k;
            const double y = s.logPower[i] - model(j, k);
            const double wt = s.weight[i];
            wy += wt * y;
            wxy += wt * s.x[k] * y;
            wyy += wt * y * y;
        }
        if (s.sumW[j] <= 0)
            continue;
        sxy += wxy - s.sumWx[j] * wy / s.sumW[j];
        syy += wyy - wy * wy / s.sumW[j];
    }
    return s.centredXX > 0 ? syy - sxy * sxy / s.centredXX : syy;
}

// The kernel's non-zero taps: offsets and weights.
struct Tap {
    double dx, dy, w;
};
std::vector<Tap> KernelTaps(double radius, int angle) {
    const int n = SizeForFilter(radius, angle);
    Matrix f(n, n);
    GenerateFilter(f, radius, angle);
    std::vector<Tap> taps;
    const double* k = f.roData();
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            if (k[r * n + c] != 0)
                taps.push_back({double(c - n / 2), double(r - n / 2), k[r * n + c]});
    return taps;
}

// Σ w · cos(2π · s · position) for s = i / (2 (kTable − 1)), i = 0 … kTable − 1: the transform of
// the taps projected on one axis.
void ProjectedTransform(double* out, const std::vector<Tap>& taps, double cx, double cy) {
    std::fill(out, out + kTable, 0.0);
    for (const Tap& t : taps) {
        const double position = t.dx * cx + t.dy * cy;
        // cos and sin of the growing angle by rotation, renewed exactly every 16 samples.
        const double c = std::cos(kPi * position / (kTable - 1));
        const double sn = std::sin(kPi * position / (kTable - 1));
        double re = 1, im = 0;
        for (int i = 0; i < kTable; ++i) {
            if (i % 16 == 0) {
                re = std::cos(kPi * position * i / (kTable - 1));
                im = std::sin(kPi * position * i / (kTable - 1));
            }
            out[i] += t.w * re;
            const double next = re * c - im * sn;
            im = re * sn + im * c;
            re = next;
        }
    }
}

// log(h² + kFloor) for |h| ≤ 1, by linear interpolation in a table of 1025 samples (error below
// 1e-4, far under the spectrum's own scatter).
class LogTransfer {
  public:
    LogTransfer() {
        for (int i = 0; i <= kSamples; ++i) {
            const double h = double(i) / kSamples;
            mTable[i] = std::log(h * h + kFloor);
        }
    }
    double operator()(double h) const {
        const double p = std::min(std::abs(h), 1.0) * kSamples;
        const int i = std::min(int(p), kSamples - 1);
        return mTable[i] + (p - i) * (mTable[i + 1] - mTable[i]);
    }

  private:
    static constexpr int kSamples = 1024;
    double mTable[kSamples + 1];
};

const LogTransfer& logTransfer() {
    static const LogTransfer table;
    return table;
}

double Lookup(const double* table, double s) {
    const double p = std::min(s * 2 * (kTable - 1), double(kTable - 1) - 1e-9);
    const int i = int(p);
    return table[i] + (p - i) * (table[i + 1] - table[i]);
}

// What the tiles' Hann window makes of a transform: each spectral sample is the true power
// averaged with the window's power response |W(f)|², which spans ±2 bins (W(f) = ½ D(f) +
// ¼ D(f − 1) + ¼ D(f + 1), D the Dirichlet kernel; Harris 1978, "On the use of windows for
// harmonic analysis with the discrete Fourier transform"). The table's samples are half a bin
// apart; the result is the square root of the averaged power, in place. A long kernel's zeros,
// closer together than the window's width, are thus filled as in the measured spectrum.
void WindowLeakage(double* h) {
    constexpr double kLeak[7] = {0.0072, 0.0625, 0.180, 0.25, 0.180, 0.0625, 0.0072};
    constexpr double kLeakSum = 0.0072 * 2 + 0.0625 * 2 + 0.180 * 2 + 0.25;
    double power[kTable];
    for (int i = 0; i < kTable; ++i) {
        double sum = 0;
        for (int j = 0; j < 7; ++j) {
            int at = std::abs(i + j - 3);  // the transform is even, and periodic in 1 cycle
            if (at > kTable - 1)
                at = 2 * (kTable - 1) - at;
            sum += kLeak[j] * h[at] * h[at];
        }
        power[i] = sum / kLeakSum;
    }
    for (int i = 0; i < kTable; ++i) h[i] = std::sqrt(power[i]);
}

double DiscMisfit(const Spectrum& s, int step) {
    // Isotropic: the transform along the horizontal axis, from the kernel's column sums.
    double transform[kTable];
    ProjectedTransform(transform, KernelTaps(step * 0.5, -1), 1, 0);
    WindowLeakage(transform);
    const LogTransfer& logOf = logTransfer();
    double model[kBins];
    for (int k = 0; k < kBins; ++k)
        model[k] = logOf(Lookup(transform, double(kFirstBin + k) / kBlock));
    return Misfit(s, [&](int, int k) { return model[k]; });
}

double LineMisfit(const Spectrum& s, int step, int angle) {
    const std::vector<Tap> taps = KernelTaps(step * 0.5, angle);
    const double theta = angle * kPi / 180;
    double along[kTable], across[kTable];
    ProjectedTransform(along, taps, std::cos(theta), std::sin(theta));
    ProjectedTransform(across, taps, -std::sin(theta), std::cos(theta));
    WindowLeakage(along);
    double ca[kDirections], sa[kDirections];
    for (int j = 0; j < kDirections; ++j) {
        const double d = j * kPi / kDirections - theta;
        ca[j] = std::abs(std::cos(d)) / kBlock;
        sa[j] = std::abs(std::sin(d)) / kBlock;
    }
    const LogTransfer& logOf = logTransfer();
    return Misfit(s, [&](int j, int k) {
        const double rho = kFirstBin + k;
        return logOf(Lookup(along, rho * ca[j]) * Lookup(across, rho * sa[j]));
    });
}

// The misfit of a kernel of any shape. Its power transfer |K|² is sampled every half bin (an FFT
// of the kernel zero-padded to twice the tiles' size), seen through the tiles' window as in
// WindowLeakage (the 2-D Hann window is separable: the same smoothing along each axis), and read
// at the polar grid's samples by bilinear interpolation.
double KernelImageMisfit(const Spectrum& s, const KernelImage& kernel) {
    constexpr int kFine = 2 * kBlock, kHalf = kFine / 2 + 1;
    struct FftwFree {
        void operator()(void* p) const { fftwf_free(p); }
    };
    std::unique_ptr<float[], FftwFree> taps(fftwf_alloc_real(std::size_t(kFine) * kFine));
    std::unique_ptr<fftwf_complex[], FftwFree> transform(
        fftwf_alloc_complex(std::size_t(kFine) * kHalf));
    std::fill_n(taps.get(), std::size_t(kFine) * kFine, 0.0f);
    const int n = kernel.size(), c = n / 2;
    for (int r = 0; r < n; ++r)
        for (int col = 0; col < n; ++col)
            taps[std::size_t((r - c + kFine) % kFine) * kFine + (col - c + kFine) % kFine] +=
                float(kernel.weights()[std::size_t(r) * n + col]);
    fftwf_execute_dft_r2c(realFftPlansF(kFine, kFine).forward, taps.get(), transform.get());
    // The whole periodic power plane (the missing half by symmetry), then the window's leakage.
    std::vector<double> power(std::size_t(kFine) * kFine), smoothed(power.size());
    for (int r = 0; r < kFine; ++r)
        for (int col = 0; col < kFine; ++col) {
            const bool direct = col < kHalf;
            const std::size_t i = direct ? std::size_t(r) * kHalf + col
                                         : std::size_t((kFine - r) % kFine) * kHalf + (kFine - col);
            power[std::size_t(r) * kFine + col] = double(transform[i][0]) * transform[i][0] +
                                                  double(transform[i][1]) * transform[i][1];
        }
    constexpr double kLeak[7] = {0.0072, 0.0625, 0.180, 0.25, 0.180, 0.0625, 0.0072};
    constexpr double kLeakSum = 0.0072 * 2 + 0.0625 * 2 + 0.180 * 2 + 0.25;
    for (int pass = 0; pass < 2; ++pass) {
        for (int r = 0; r < kFine; ++r)
            for (int col = 0; col < kFine; ++col) {
                double sum = 0;
                for (int j = 0; j < 7; ++j) {
                    const int rr = pass ? (r + j - 3 + kFine) % kFine : r;
                    const int cc = pass ? col : (col + j - 3 + kFine) % kFine;
                    sum += kLeak[j] * power[std::size_t(rr) * kFine + cc];
                }
                smoothed[std::size_t(r) * kFine + col] = sum / kLeakSum;
            }
        power.swap(smoothed);
    }
    const LogTransfer& logOf = logTransfer();
    std::vector<double> model(std::size_t(kDirections) * kBins);
    for (int j = 0; j < kDirections; ++j)
        for (int k = 0; k < kBins; ++k) {
            const double phi = j * kPi / kDirections, rho = 2.0 * (kFirstBin + k);  // half bins
            const double u = rho * std::cos(phi) + kFine, v = rho * std::sin(phi) + kFine;
            const int c0 = int(std::floor(u)), r0 = int(std::floor(v));
            const double fu = u - c0, fv = v - r0;
            auto at = [&](int r, int col) {
                return power[std::size_t(r % kFine) * kFine + col % kFine];
            };
            const double p = (1 - fv) * ((1 - fu) * at(r0, c0) + fu * at(r0, c0 + 1)) +
                             fv * ((1 - fu) * at(r0 + 1, c0) + fu * at(r0 + 1, c0 + 1));
            model[std::size_t(j) * kBins + k] = logOf(std::sqrt(std::max(p, 0.0)));
        }
    return Misfit(s, [&](int j, int k) { return model[std::size_t(j) * kBins + k]; });
}

}  // namespace

const char* BlurShapeName(BlurShape shape) {
    switch (shape) {
        case BlurShape::Disc:
            return "disc";
        case BlurShape::Motion:
            return "motion";
        case BlurShape::Shake:
            return "shake";
        case BlurShape::None:
            break;
    }
    return "none";
}

BlurEstimate EstimateBlur(const CImage& image, const Region& region) {
    const int x = region.x, y = region.y, w = region.w, h = region.h;
    const int x0 = std::clamp(x, 0, image.width()), y0 = std::clamp(y, 0, image.height());
    const int x1 = std::clamp(x + w, x0, image.width()), y1 = std::clamp(y + h, y0, image.height());
    Spectrum s;
    if (!MeasureSpectrum(s, image, x0, y0, x1 - x0, y1 - y0))
        return {};
    const double sharp = Misfit(s, [](int, int) { return 0.0; });

    BlurEstimate best;
    double bestMisfit = sharp;
    auto consider = [&](BlurShape shape, int step, int angle, double misfit) {
        if (misfit < bestMisfit) {
            bestMisfit = misfit;
            best = {shape, step, angle, 0, nullptr};
        }
    };
    for (int step = 2; step <= kMaxStep; ++step)
        consider(BlurShape::Disc, step, -1, DiscMisfit(s, step));
    // The lines of even steps every 6°, one step per task; the refinement below visits the odd
    // steps beside the best.
    constexpr int kCoarseAngles = 30;
    std::vector<double> coarse(std::size_t(kMaxStep + 1) * kCoarseAngles, sharp);
    dispatchApply(kMaxStep / 2, [&](std::size_t i) {
        const int step = 2 * int(i) + 2;
        for (int a = 0; a < kCoarseAngles; ++a)
            coarse[std::size_t(step) * kCoarseAngles + a] = LineMisfit(s, step, a * 6);
    });
    BlurEstimate line;
    double lineMisfit = sharp;
    for (int step = 2; step <= kMaxStep; step += 2)
        for (int a = 0; a < kCoarseAngles; ++a)
            if (coarse[std::size_t(step) * kCoarseAngles + a] < lineMisfit) {
                lineMisfit = coarse[std::size_t(step) * kCoarseAngles + a];
                line = {BlurShape::Motion, step, a * 6, 0, nullptr};
            }
    if (line.shape == BlurShape::Motion) {
        for (int step = std::max(2, line.radiusStep - 1);
             step <= std::min(kMaxStep, line.radiusStep + 1); ++step)
            for (int d = -5; d <= 5; ++d) {
                const int angle = (line.angle + d + 180) % 180;
                consider(BlurShape::Motion, step, angle, LineMisfit(s, step, angle));
            }
        consider(BlurShape::Motion, line.radiusStep, line.angle, lineMisfit);
    }
    const double gain = sharp > 0 ? 1 - bestMisfit / sharp : 0;
    best.confidence = std::clamp(gain, 0.0, 1.0);
    if (best.shape == BlurShape::None || gain < kMinGain || s.meanWeight < kMinSignal)
        return {BlurShape::None, 0, -1, std::min(best.confidence, kMinGain), nullptr};
    return best;
}

double KernelSpectrumGain(const CImage& image, const Region& region, const KernelImage& kernel) {
    const int x = region.x, y = region.y, w = region.w, h = region.h;
    const int x0 = std::clamp(x, 0, image.width()), y0 = std::clamp(y, 0, image.height());
    const int x1 = std::clamp(x + w, x0, image.width()), y1 = std::clamp(y + h, y0, image.height());
    Spectrum s;
    if (!MeasureSpectrum(s, image, x0, y0, x1 - x0, y1 - y0) || s.meanWeight < kMinSignal)
        return 0;
    const double sharp = Misfit(s, [](int, int) { return 0.0; });
    return sharp > 0 ? std::max(0.0, 1 - KernelImageMisfit(s, kernel) / sharp) : 0;
}

}  // namespace velkaro
