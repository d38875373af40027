#include "MatrixFilter.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "Avx2Clones.h"
#include "Check.h"
#include "Dispatch.h"
#include "FftPlans.h"
#include "Vector.h"

namespace velkaro {

Matrix::GeneratorState::GeneratorState(const Matrix& f, int startRow) {
    VK_CHECK(f.mFilter);
    entries = std::make_unique<Entry[]>(std::size_t(f.mFilterRows) * f.mFilterColumns);
    const int w = f.mDataColumns;
    y = startRow / w;
    x = startRow % w - 1;
}

void Matrix::generateNextRow(GeneratorState& s) const {
    VK_CHECK(mFilter);
    const int w = mDataColumns;
    const int h = mDataRows;
    const int hc = mFilterHalfColumns;
    const int hr = mFilterHalfRows;
    if (++s.x == w) {
        s.x = 0;
        ++s.y;
    }
    const bool interior = s.x - hc >= 0 && s.x + hc < w && s.y - hr >= 0 && s.y + hr < h;
    if (interior) {
        if (s.reusable) {
            // The next pixel to the right: the same weights, every column one larger.
            ++s.shift;
            return;
        }
        s.reusable = true;
    } else {
        s.reusable = false;
    }
    s.entryCount = 0;
    s.shift = 0;
    for (int i = 0; i < mFilterRows; ++i) {
        const int yy = MirrorIndex(s.y - hr + i, h);
        for (int j = 0; j < mFilterColumns; ++j) {
            const double k = mFilter[i * mFilterColumns + j];
            if (k == 0)
                continue;  // NaN is kept
            const int xx = MirrorIndex(s.x - hc + j, w);
            s.entries[s.entryCount++] = {k, yy * w + xx};
        }
    }
}

namespace {

// For kernel column j, the pixels x of an image row whose neighbour x − hc + j lies inside the
// row: lo ≤ x < hi. The others mirror.
inline void DirectRange(int& lo, int& hi, int j, int hc, int w) {
    lo = hc - j > 0 ? (hc - j < w ? hc - j : w) : 0;
    hi = w + hc - j < w ? w + hc - j : w;
    if (hi < lo)
        hi = lo;
}

// Pixels per block of the row products.
constexpr int kBlockPixels = 256;

// One image row of a filter product, by kernel element: for every non-zero K(i, j), pixel x of
// the output row (gather) or of the input row (scatter) pairs with pixel x − hc + j, mirrored, of
// the image row y − hr + i, mirrored. The pixels whose partner lies inside the row form one
// contiguous run of multiply-adds.
template <bool kScatter>
[[gnu::always_inline]] inline void FilterImageRow(double* c, const Matrix& a, const double* b,
                                                  int p, int y) {
    const int w = a.dataColumns();
    const int h = a.dataRows();
    const int fr = a.filterRows();
    const int fc = a.filterColumns();
    const int hr = a.filterHalfRows();
    const int hc = a.filterHalfColumns();
    const double* kernel = a.filter();
    const std::int64_t rowSize = std::int64_t(w) * p;
    if (!kScatter)
        std::fill(c + y * rowSize, c + (y + 1) * rowSize, 0.0);
    // Blocks of pixels keep the output and the input rows of a block in the first-level cache
    // while every kernel element passes over them; each output still sums its kernel elements in
    // row order.
    for (int x0 = 0; x0 < w; x0 += kBlockPixels) {
        const int x1 = std::min(w, x0 + kBlockPixels);
        for (int i = 0; i < fr; ++i) {
            const int yy = MirrorIndex(y - hr + i, h);
            double* cRow = c + (kScatter ? yy : y) * rowSize;
            const double* bRow = b + (kScatter ? y : yy) * rowSize;
            for (int j = 0; j < fc; ++j) {
                const double k = kernel[i * fc + j];
                if (k == 0)
                    continue;
                // Output pixel x takes input pixel xx (gather); input pixel x feeds output xx
                // (scatter).
                auto add = [&](int x, int xx, std::int64_t count) {
                    if (kScatter)
                        VectorScaledAdd(cRow + std::int64_t(xx) * p, bRow + std::int64_t(x) * p, k,
                                        count);
                    else
                        VectorScaledAdd(cRow + std::int64_t(x) * p, bRow + std::int64_t(xx) * p, k,
                                        count);
                };
                int lo, hi;
                DirectRange(lo, hi, j, hc, w);
                const int a0 = std::max(x0, lo), a1 = std::min(x1, hi);
                for (int x = x0; x < std::min(x1, lo); ++x) add(x, MirrorIndex(x - hc + j, w), p);
                if (a1 > a0)
                    add(a0, a0 - hc + j, std::int64_t(a1 - a0) * p);
                for (int x = std::max(x0, hi); x < x1; ++x) add(x, MirrorIndex(x - hc + j, w), p);
            }
        }
    }
}

}  // namespace

VK_AVX2_CLONES void FilterGatherImageRow(double* c, const Matrix& a, const double* b, int p,
                                         int y) {
    FilterImageRow<false>(c, a, b, p, y);
}

VK_AVX2_CLONES void FilterScatterImageRow(double* c, const Matrix& a, const double* b, int p,
                                          int y) {
    FilterImageRow<true>(c, a, b, p, y);
}

namespace {

// Spectral correlation pays from this many non-zero kernel weights on.
constexpr int kTransformMinEntries = 160;
constexpr int kTransformMinArea = 50;
// Image rows per band at least: enough to amortise the kernel's margin of fr − 1 rows.
constexpr int kTransformMinBandRows = 96;

// Transform length for n values: the smallest power of two, or three times a power of two, that
// holds them. Those lengths run several times faster than lengths with factors of five.
int TransformSize(int n) {
    int size = 1;
    while (size < n) size *= 2;
    return size % 4 == 0 && size / 4 * 3 >= n ? size / 4 * 3 : size;
}

}  // namespace

bool FilterUsesTransform(const Matrix& a) {
    const int area = a.filterRows() * a.filterColumns();
    if (area < kTransformMinArea)
        return false;
    int entries = 0;
    for (int k = 0; k < area; ++k) entries += a.filter()[k] != 0;
    return entries >= kTransformMinEntries;
}

// The kernel, turned by 180 degrees for the scatter, zero-padded to the transform size and
// transformed. The correlation of an input I with the kernel is then
// inverse(transform(I) · conj(spectrum)): element v is Σ K(i, j) · I(v + (i, j)), exact (no
// wrap-around) wherever v + (i, j) stays inside I.
struct FilterTransform::Spectrum {
    cv::Mat spectrum;
    int rows = 0;  // transform size
    int columns = 0;
    int inputColumns = 0;  // width of a band's input: the image plus its margins

    // For each of the p columns q: fill(input, q) writes the first inputRows rows of a zeroed
    // input, take(result, q) reads the first outputRows rows of its correlation.
    template <typename Fill, typename Take>
    void run(int p, int inputRows, int outputRows, Fill fill, Take take) const {
        cv::Mat input(rows, columns, CV_64F), result;
        for (int q = 0; q < p; ++q) {
            input.setTo(0);
            fill(input, q);
            cv::dft(input, input, 0, inputRows);
            cv::mulSpectrums(input, spectrum, input, 0, true);
            cv::idft(input, result, cv::DFT_SCALE | cv::DFT_REAL_OUTPUT, outputRows);
            take(result, q);
        }
    }
};

FilterTransform::FilterTransform(const Matrix& a, bool scatter, int p)
    : mA(a), mP(p), mSpectrum(std::make_unique<Spectrum>()) {
    const int fr = a.filterRows(), fc = a.filterColumns();
    const int hr = a.filterHalfRows(), hc = a.filterHalfColumns();
    Spectrum& s = *mSpectrum;
    // A band's input has its rows plus hr above and below; columns: the image plus hc mirrored
    // on each side (gather), or plus 2·hc zeros on each side (scatter, whose output reaches hc
    // beyond the image).
    s.inputColumns = a.dataColumns() + (scatter ? 4 : 2) * hc;
    s.columns = TransformSize(s.inputColumns);
    s.rows = TransformSize(std::max(kTransformMinBandRows, 4 * fr) + 2 * hr);
    mBandRows = s.rows - 2 * hr;
    cv::Mat padded(s.rows, s.columns, CV_64F, cv::Scalar(0));
    const cv::Mat kernel(fr, fc, CV_64F, const_cast<double*>(a.filter()));
    if (scatter)
        cv::flip(kernel, padded(cv::Rect(0, 0, fc, fr)), -1);
    else
        kernel.copyTo(padded(cv::Rect(0, 0, fc, fr)));
    cv::dft(padded, s.spectrum, 0, fr);
}

FilterTransform::~FilterTransform() = default;

void FilterTransform::gatherBand(double* c, const double* b, int y0, int y1) const {
    const int w = mA.dataColumns(), h = mA.dataRows();
    const int hr = mA.filterHalfRows(), hc = mA.filterHalfColumns();
    const int p = mP;
    const std::int64_t rowSize = std::int64_t(w) * p;
    const int inputColumns = mSpectrum->inputColumns;
    mSpectrum->run(
        p, y1 - y0 + 2 * hr, y1 - y0,
        [&](cv::Mat& input, int q) {
            // The band with its mirrored neighbours: every output pixel of the band sees exactly
            // the values the generated rows use.
            for (int r = 0; r < y1 - y0 + 2 * hr; ++r) {
                const double* src = b + MirrorIndex(y0 - hr + r, h) * rowSize + q;
                double* dst = input.ptr<double>(r);
                for (int u = 0; u < inputColumns; ++u)
                    dst[u] = src[std::int64_t(MirrorIndex(u - hc, w)) * p];
            }
        },
        [&](const cv::Mat& result, int q) {
            for (int y = y0; y < y1; ++y) {
                const double* o = result.ptr<double>(y - y0);
                double* dst = c + y * rowSize + q;
                for (int x = 0; x < w; ++x) dst[std::int64_t(x) * p] = o[x];
            }
        });
}

void FilterTransform::scatterBand(double* c, double* outside, const double* b, int t0,
                                  int t1) const {
    const int w = mA.dataColumns(), h = mA.dataRows();
    const int hr = mA.filterHalfRows(), hc = mA.filterHalfColumns();
    const int p = mP;
    const std::int64_t rowSize = std::int64_t(w) * p;
    // Row t of the unfolded product is the correlation of b, extended by zeros, with the kernel
    // turned by 180 degrees, at extended column e (−hc ≤ e < w + hc): input row r holds image
    // row t0 − hr + r, input column u image column u − 2·hc.
    mSpectrum->run(
        p, t1 - t0 + 2 * hr, t1 - t0,
        [&](cv::Mat& input, int q) {
            for (int y = std::max(0, t0 - hr); y < std::min(h, t1 + hr); ++y) {
                const double* src = b + y * rowSize + q;
                double* dst = input.ptr<double>(y - t0 + hr) + 2 * hc;
                for (int x = 0; x < w; ++x) dst[x] = src[std::int64_t(x) * p];
            }
        },
        [&](const cv::Mat& result, int q) {
            for (int t = t0; t < t1; ++t) {
                const double* o = result.ptr<double>(t - t0) + hc;  // column e at o[e]
                double* dst =
                    q + (t >= 0 && t < h ? c + t * rowSize
                                         : outside + (t < 0 ? t + hr : t - h + hr) * rowSize);
                for (int x = 0; x < w; ++x) dst[std::int64_t(x) * p] = o[x];
                // Columns beyond the image fold back onto the columns they mirror.
                for (int e = -hc; e < 0; ++e) dst[std::int64_t(MirrorIndex(e, w)) * p] += o[e];
                for (int e = w; e < w + hc; ++e) dst[std::int64_t(MirrorIndex(e, w)) * p] += o[e];
            }
        });
}

void FilterTransform::foldOutside(double* c, const double* outside) const {
    const int h = mA.dataRows();
    const int hr = mA.filterHalfRows();
    const std::int64_t rowSize = std::int64_t(mA.dataColumns()) * mP;
    for (int k = 0; k < 2 * hr; ++k) {
        const int t = k < hr ? k - hr : h + k - hr;
        VectorScaledAdd(c + MirrorIndex(t, h) * rowSize, outside + k * rowSize, 1.0, rowSize);
    }
}

// The transform buffers of a normal product: the plane, transformed in place (its rows padded
// to the half spectrum's 2 · (columns / 2 + 1) values), and the spectrum it is multiplied by,
// scaled by 1 / (rows · columns) so that each inverse transform comes back normalised: the
// kernel's (general kernels) or, for kernels symmetric in both axes, the real spectrum of the
// kernel convolved with itself.
struct FilterNormalTransform::Buffers {
    FftPlansD plans;
    fftw_complex* spectrum = nullptr;
    fftw_complex* kernel = nullptr;
    double* square = nullptr;
    ~Buffers() {
        fftw_free(spectrum);
        fftw_free(kernel);
        fftw_free(square);
    }
};

namespace {

// Transform size for one image extent and its kernel: the extension by `half` on both sides.
int NormalTransformSize(int extent, int half) {
    return fftGoodSize(extent + 2 * half);
}

// Whole-image transforms are kept to planes of this many elements (beyond it a product would
// hold two planes of hundreds of megabytes and run on one thread).
constexpr std::int64_t kNormalTransformMaxElements = std::int64_t(1) << 21;

// Rows per task of the passes over a transform plane.
constexpr int kPlaneBandRows = 64;

// Whether the kernel is unchanged by turning it upside down and by mirroring it left to right.
bool SymmetricKernel(const double* kernel, int rows, int columns) {
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < columns; ++j) {
            const double k = kernel[i * columns + j];
            if (!(k == kernel[(rows - 1 - i) * columns + j]) ||
                !(k == kernel[i * columns + columns - 1 - j]))
                return false;
        }
    return true;
}

// The symmetric form needs the mirrored reach of the kernel to touch each border row and column
// from one side only.
bool UsesSymmetricForm(const double* kernel, int kernelRows, int kernelColumns, int rows,
                       int columns) {
    return (kernelRows - 1) / 2 < rows - 1 && (kernelColumns - 1) / 2 < columns - 1 &&
           SymmetricKernel(kernel, kernelRows, kernelColumns);
}

// out[x] += Σ_b k[b] · in[MirrorIndex(x − half + b, n)] for x in 0 … n−1 (half = (taps − 1) / 2),
// with `in`, `out` and `k` strided; `extended` and `sums` are scratch. The sums run side by side
// over x, each over b in order.
void AddMirroredLine(double* out, std::int64_t outStride, const double* in, std::int64_t inStride,
                     int n, const double* k, std::int64_t kStride, int taps,
                     std::vector<double>& extended, std::vector<double>& sums) {
    const int half = (taps - 1) / 2;
    extended.resize(std::size_t(n + 2 * half));
    sums.assign(std::size_t(n), 0.0);
    for (int u = 0; u < n + 2 * half; ++u)
        extended[std::size_t(u)] = in[std::int64_t(MirrorIndex(u - half, n)) * inStride];
    double* sum = sums.data();
    for (int b = 0; b < taps; ++b) {
        const double kb = k[b * kStride];
        const double* e = extended.data() + b;
        for (int x = 0; x < n; ++x) sum[x] += kb * e[x];
    }
    for (int x = 0; x < n; ++x) out[x * outStride] += sum[x];
}

}  // namespace

bool FilterNormalTransform::pays(const Matrix& a) {
    return pays(a.filter(), a.filterRows(), a.filterColumns(), a.dataRows(), a.dataColumns());
}

bool FilterNormalTransform::pays(const double* kernel, int kernelRows, int kernelColumns, int rows,
                                 int columns) {
    const bool symmetric = UsesSymmetricForm(kernel, kernelRows, kernelColumns, rows, columns);
    const int reach = symmetric ? 2 : 1;
    const std::int64_t elements =
        std::int64_t(NormalTransformSize(rows, reach * ((kernelRows - 1) / 2))) *
        NormalTransformSize(columns, reach * ((kernelColumns - 1) / 2));
    if (elements > kNormalTransformMaxElements)
        return false;
    const int area = kernelRows * kernelColumns;
    int entries = 0;
    for (int k = 0; k < area; ++k) entries += kernel[k] != 0;
    // Processor time measured on this class of machine (bench_sllsbox NormalProduct): a direct
    // product pair costs about 0.45 ns per pixel and kernel weight; the transforms with their
    // spectral products and copies about 1.0 ns per transform element and doubling of the size
    // for the four of a general kernel, half that for the two of a symmetric one.
    const double direct = 0.45 * double(rows) * columns * entries;
    const double transform =
        (symmetric ? 0.5 : 1.0) * double(elements) * std::log2(double(elements));
    return transform < direct;
}

std::int64_t FilterNormalTransform::bytes(int kernelRows, int kernelColumns, int rows,
                                          int columns) {
    // The larger extension (that of a symmetric kernel) bounds both forms.
    const std::int64_t r = NormalTransformSize(rows, 2 * ((kernelRows - 1) / 2));
    const std::int64_t c = NormalTransformSize(columns, 2 * ((kernelColumns - 1) / 2));
    // The plane (transformed in place) and the kernel's half spectrum.
    return 2 * std::int64_t(sizeof(fftw_complex)) * r * (c / 2 + 1);
}

FilterNormalTransform::FilterNormalTransform(const Matrix& a)
    : mA(a),
      mSymmetric(UsesSymmetricForm(a.filter(), a.filterRows(), a.filterColumns(), a.dataRows(),
                                   a.dataColumns())),
      mRows(NormalTransformSize(a.dataRows(), (mSymmetric ? 2 : 1) * a.filterHalfRows())),
      mColumns(NormalTransformSize(a.dataColumns(), (mSymmetric ? 2 : 1) * a.filterHalfColumns())),
      mBuffers(std::make_unique<Buffers>()) {
    Buffers& b = *mBuffers;
    const std::size_t complexCount = std::size_t(mRows) * (mColumns / 2 + 1);
    const std::size_t stride = 2 * std::size_t(mColumns / 2 + 1);
    b.plans = realFftPlansD(mRows, mColumns);
    b.spectrum = fftw_alloc_complex(complexCount);
    VK_CHECK(b.spectrum);
    const int fr = a.filterRows(), fc = a.filterColumns();
    const double scale = 1.0 / (double(mRows) * mColumns);
    if (!mSymmetric) {
        b.kernel = fftw_alloc_complex(complexCount);
        VK_CHECK(b.kernel);
        double* real = reinterpret_cast<double*>(b.kernel);
        std::fill(real, real + mRows * stride, 0.0);
        for (int i = 0; i < fr; ++i)
            for (int j = 0; j < fc; ++j) real[i * stride + j] = a.filter()[i * fc + j] * scale;
        fftw_execute_dft_r2c(b.plans.forward, real, b.kernel);
        return;
    }
    // The kernel convolved with itself, centred on the plane's origin (wrapping around), so that
    // its spectrum is real.
    const int sr = 2 * fr - 1, sc = 2 * fc - 1;
    std::vector<double> square(std::size_t(sr) * sc, 0.0);
    const double* k = a.filter();
    for (int i = 0; i < fr; ++i)
        for (int j = 0; j < fc; ++j)
            for (int u = 0; u < fr; ++u)
                for (int v = 0; v < fc; ++v)
                    square[std::size_t(i + u) * sc + j + v] += k[i * fc + j] * k[u * fc + v];
    double* real = reinterpret_cast<double*>(b.spectrum);
    std::fill(real, real + mRows * stride, 0.0);
    const int hr = sr / 2, hc = sc / 2;
    for (int i = 0; i < sr; ++i)
        for (int j = 0; j < sc; ++j)
            real[std::size_t((i - hr + mRows) % mRows) * stride + (j - hc + mColumns) % mColumns] =
                square[std::size_t(i) * sc + j] * scale;
    fftw_execute_dft_r2c(b.plans.forward, real, b.spectrum);
    b.square = fftw_alloc_real(complexCount);
    VK_CHECK(b.square);
    for (std::size_t i = 0; i < complexCount; ++i) b.square[i] = b.spectrum[i][0];
}

FilterNormalTransform::~FilterNormalTransform() = default;

void FilterNormalTransform::apply(double* y, const double* x, int p) const {
    if (mSymmetric) {
        applySymmetric(y, x, p);
        return;
    }
    const Buffers& b = *mBuffers;
    const int w = mA.dataColumns(), h = mA.dataRows();
    const int hr = mA.filterHalfRows(), hc = mA.filterHalfColumns();
    const int er = h + 2 * hr, ec = w + 2 * hc;  // the extended image
    const std::size_t complexCount = std::size_t(mRows) * (mColumns / 2 + 1);
    const std::size_t stride = 2 * std::size_t(mColumns / 2 + 1);
    fftw_complex* spectrum = b.spectrum;
    double* plane = reinterpret_cast<double*>(spectrum);
    const fftw_complex* kernel = b.kernel;
    // Extended column u stands for image column column[u].
    std::vector<int> column(static_cast<std::size_t>(ec));
    for (int u = 0; u < ec; ++u) column[std::size_t(u)] = MirrorIndex(u - hc, w);

    for (int q = 0; q < p; ++q) {
        // The mirrored extension of x, zero beyond it.
        for (int r = 0; r < mRows; ++r) {
            double* line = plane + std::size_t(r) * stride;
            if (r >= er) {
                std::fill(line, line + mColumns, 0.0);
                continue;
            }
            const double* src = x + std::int64_t(MirrorIndex(r - hr, h)) * w * p + q;
            for (int u = 0; u < ec; ++u) line[u] = src[std::int64_t(column[std::size_t(u)]) * p];
            std::fill(line + ec, line + mColumns, 0.0);
        }
        // Correlation with the kernel: pixel (y, x) of A·x lands at (y, x) of the plane.
        fftw_execute_dft_r2c(b.plans.forward, plane, spectrum);
        for (std::size_t i = 0; i < complexCount; ++i) {
            const double re = spectrum[i][0] * kernel[i][0] + spectrum[i][1] * kernel[i][1];
            const double im = spectrum[i][1] * kernel[i][0] - spectrum[i][0] * kernel[i][1];
            spectrum[i][0] = re;
            spectrum[i][1] = im;
        }
        fftw_execute_dft_c2r(b.plans.inverse, spectrum, plane);
        // Only the image's pixels of A·x take part in the transposed product.
        for (int r = 0; r < mRows; ++r) {
            double* line = plane + std::size_t(r) * stride;
            if (r >= h)
                std::fill(line, line + mColumns, 0.0);
            else
                std::fill(line + w, line + mColumns, 0.0);
        }
        // Convolution with the kernel: extended pixel (r, u) of the plane.
        fftw_execute_dft_r2c(b.plans.forward, plane, spectrum);
        MultiplySpectrum(spectrum, kernel, complexCount);
        fftw_execute_dft_c2r(b.plans.inverse, spectrum, plane);
        // Fold the extension back: every extended pixel adds into the pixel it mirrors.
        for (int yy = 0; yy < h; ++yy) {
            double* dst = y + std::int64_t(yy) * w * p + q;
            for (int xx = 0; xx < w; ++xx) dst[std::int64_t(xx) * p] = 0;
        }
        for (int r = 0; r < er; ++r) {
            const double* line = plane + std::size_t(r) * stride;
            double* dst = y + std::int64_t(MirrorIndex(r - hr, h)) * w * p + q;
            if (p == 1) {
                for (int u = 0; u < hc; ++u) dst[column[std::size_t(u)]] += line[u];
                VectorScaledAdd(dst, line + hc, 1.0, w);
                for (int u = hc + w; u < ec; ++u) dst[column[std::size_t(u)]] += line[u];
            } else {
                for (int u = 0; u < ec; ++u)
                    dst[std::int64_t(column[std::size_t(u)]) * p] += line[u];
            }
        }
    }
}

// For a kernel K symmetric in both axes the mirrored extension E (the periodic one that
// MirrorIndex describes) commutes with the correlation, so that A·A = R·(K∗K)·E with R the
// restriction to the image, and Aᵀ = W·A·W⁻¹, where W halves the border rows and columns (the
// fold adds two mirrored pixels onto every pixel but the border ones). Hence
//   AᵀA·x = W·(A²·x + A·δ),  δ = (W⁻¹ − I)·A·x,
// one correlation of the extension with K∗K through two transforms, and δ lives on the border
// rows and columns only: A·x there and A·δ, whose reach is hr rows and hc columns from the
// border, are cheap direct sums.
void FilterNormalTransform::applySymmetric(double* y, const double* x, int p) const {
    const Buffers& b = *mBuffers;
    const int w = mA.dataColumns(), h = mA.dataRows();
    const int fr = mA.filterRows(), fc = mA.filterColumns();
    const int hr = mA.filterHalfRows(), hc = mA.filterHalfColumns();
    const double* k = mA.filter();
    const int er = h + 4 * hr, ec = w + 4 * hc;  // the extension by the reach of K∗K
    const std::size_t complexCount = std::size_t(mRows) * (mColumns / 2 + 1);
    const std::size_t stride = 2 * std::size_t(mColumns / 2 + 1);
    fftw_complex* spectrum = b.spectrum;
    double* plane = reinterpret_cast<double*>(spectrum);
    const std::int64_t rowSize = std::int64_t(w) * p;
    std::vector<int> column(static_cast<std::size_t>(ec));
    for (int u = 0; u < ec; ++u) column[std::size_t(u)] = MirrorIndex(u - 2 * hc, w);
    std::vector<double> extended, sums;
    std::vector<double> top(static_cast<std::size_t>(w)), bottom(static_cast<std::size_t>(w));
    std::vector<double> left(static_cast<std::size_t>(h)), right(static_cast<std::size_t>(h));

    for (int q = 0; q < p; ++q) {
        const double* xq = x + q;
        double* yq = y + q;
        // A·x on the border rows and columns, row by row of the kernel.
        std::fill(top.begin(), top.end(), 0.0);
        std::fill(bottom.begin(), bottom.end(), 0.0);
        std::fill(left.begin(), left.end(), 0.0);
        std::fill(right.begin(), right.end(), 0.0);
        for (int i = 0; i < fr; ++i) {
            AddMirroredLine(top.data(), 1, xq + MirrorIndex(i - hr, h) * rowSize, p, w, k + i * fc,
                            1, fc, extended, sums);
            AddMirroredLine(bottom.data(), 1, xq + MirrorIndex(h - 1 + i - hr, h) * rowSize, p, w,
                            k + i * fc, 1, fc, extended, sums);
        }
        for (int j = 0; j < fc; ++j) {
            AddMirroredLine(left.data(), 1, xq + std::int64_t(MirrorIndex(j - hc, w)) * p, rowSize,
                            h, k + j, fc, fr, extended, sums);
            AddMirroredLine(right.data(), 1, xq + std::int64_t(MirrorIndex(w - 1 + j - hc, w)) * p,
                            rowSize, h, k + j, fc, fr, extended, sums);
        }
        // δ = (W⁻¹ − I)·A·x as a row part (the border rows, doubled at the corners) and a column
        // part (the border columns).
        top.front() *= 2;
        top.back() *= 2;
        bottom.front() *= 2;
        bottom.back() *= 2;

        // The extension, correlated with K∗K: pixel (y, x) of A²·x lands at (y + 2·hr, x + 2·hc).
        // The passes over the plane run on the pool in bands of rows, as the transforms do.
        const std::size_t bands = std::size_t((mRows + kPlaneBandRows - 1) / kPlaneBandRows);
        dispatchApply(bands, [&](std::size_t band) {
            const int r1 = std::min(mRows, int(band + 1) * kPlaneBandRows);
            for (int r = int(band) * kPlaneBandRows; r < r1; ++r) {
                double* dst = plane + std::size_t(r) * stride;
                if (r >= er) {
                    std::fill(dst, dst + mColumns, 0.0);
                    continue;
                }
                const double* src = xq + MirrorIndex(r - 2 * hr, h) * rowSize;
                if (p == 1) {
                    // The row itself in one copy, its mirrored ends from the column map.
                    for (int u = 0; u < 2 * hc; ++u) dst[u] = src[column[std::size_t(u)]];
                    std::copy(src, src + w, dst + 2 * hc);
                    for (int u = 2 * hc + w; u < ec; ++u) dst[u] = src[column[std::size_t(u)]];
                } else {
                    for (int u = 0; u < ec; ++u)
                        dst[u] = src[std::int64_t(column[std::size_t(u)]) * p];
                }
                std::fill(dst + ec, dst + mColumns, 0.0);
            }
        });
        fftw_execute_dft_r2c(b.plans.forward, plane, spectrum);
        const double* square = b.square;
        const std::size_t half = std::size_t(mColumns / 2 + 1);
        dispatchApply(bands, [&](std::size_t band) {
            const std::size_t i0 = band * kPlaneBandRows * half;
            const std::size_t i1 = std::min(complexCount, (band + 1) * kPlaneBandRows * half);
            for (std::size_t i = i0; i < i1; ++i) {
                spectrum[i][0] *= square[i];
                spectrum[i][1] *= square[i];
            }
        });
        fftw_execute_dft_c2r(b.plans.inverse, spectrum, plane);
        dispatchApply(bands, [&](std::size_t band) {
            const int r1 = std::min(h, int(band + 1) * kPlaneBandRows);
            for (int r = int(band) * kPlaneBandRows; r < r1; ++r) {
                const double* src = plane + std::size_t(r + 2 * hr) * stride + 2 * hc;
                double* dst = yq + r * rowSize;
                for (int c = 0; c < w; ++c) dst[std::int64_t(c) * p] = src[c];
            }
        });

        // A·δ: the border row 0 reaches rows 0 … hr through kernel row hr − y, row h − 1 the rows
        // h − 1 − hr … h − 1 through kernel row h − 1 − y + hr; likewise for the columns.
        for (int r = 0; r <= hr; ++r) {
            AddMirroredLine(yq + r * rowSize, p, top.data(), 1, w, k + (hr - r) * fc, 1, fc,
                            extended, sums);
            const int rb = h - 1 - r;
            AddMirroredLine(yq + rb * rowSize, p, bottom.data(), 1, w, k + (hr - r) * fc, 1, fc,
                            extended, sums);
        }
        for (int c = 0; c <= hc; ++c) {
            AddMirroredLine(yq + std::int64_t(c) * p, rowSize, left.data(), 1, h, k + (hc - c), fc,
                            fr, extended, sums);
            const int cb = w - 1 - c;
            AddMirroredLine(yq + std::int64_t(cb) * p, rowSize, right.data(), 1, h, k + (hc - c),
                            fc, fr, extended, sums);
        }
        // W: the border rows and columns halved.
        for (int c = 0; c < w; ++c) {
            yq[std::int64_t(c) * p] *= 0.5;
            yq[(h - 1) * rowSize + std::int64_t(c) * p] *= 0.5;
        }
        for (int r = 0; r < h; ++r) {
            yq[r * rowSize] *= 0.5;
            yq[r * rowSize + std::int64_t(w - 1) * p] *= 0.5;
        }
    }
}

}  // namespace velkaro
