#pragma once

#include <memory>

#include "Matrix.h"

namespace velkaro {

// Row generator of filter matrices. Row r = y·w + x of a filter matrix for an h × w image and a
// kernel K of fr × fc holds, for every K(i, j) != 0 (NaN counts as non-zero), the value K(i, j)
// at column yy·w + xx with yy = MirrorIndex(y − (fr−1)/2 + i, h) and
// xx = MirrorIndex(x − (fc−1)/2 + j, w): a correlation with the kernel as stored, mirrored at the
// borders without repeating the edge pixel.

// Mirrors t into 0 … n−1 without repeating the edge: −1 → 1, n → n − 2. Indices further out keep
// mirroring back and forth, so that even a kernel wider than the image stays inside it.
inline int MirrorIndex(int t, int n) {
    if (t >= 0 && t < n)
        return t;
    if (n == 1)
        return 0;
    const int period = 2 * (n - 1);
    int u = t < 0 ? -t : t;
    u %= period;
    return u < n ? u : period - u;
}

// Cursor over the rows of a filter matrix. A consumer reads entries[0 … entryCount−1] and uses
// column + shift as the column of each value. Along the interior of an image row the entries are
// reused and only `shift` grows.
class Matrix::GeneratorState {
  public:
    // Positioned so that the first generateNextRow yields row startRow of f.
    GeneratorState(const Matrix& f, int startRow);

    GeneratorState(const GeneratorState&) = delete;
    GeneratorState& operator=(const GeneratorState&) = delete;

    std::unique_ptr<Entry[]> entries;  // capacity fr × fc
    std::int32_t entryCount = 0;
    std::int32_t shift = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool reusable = false;
};

// Row-at-a-time products with a filter matrix a over an h × w image; b and c hold h·w rows of p
// columns, row-major, so image row y is the contiguous range [y·w·p, (y+1)·w·p).
//
// FilterGatherImageRow writes image row y of c = a · b (overwriting it). Each element is summed
// over the kernel in row order, from 0, exactly as the generated rows give it.
void FilterGatherImageRow(double* c, const Matrix& a, const double* b, int p, int y);
// FilterScatterImageRow adds the contribution of image row y of b to c = aᵀ · b. It writes only
// the image rows of c within (fr−1)/2 rows of y (mirrored rows included).
void FilterScatterImageRow(double* c, const Matrix& a, const double* b, int p, int y);

// Band products through a spectral correlation, for kernels with many non-zero weights, where
// transforms cost less than the direct sums. p is 1 or 2; results equal the direct products
// within rounding.

// Whether the spectral band products pay for a's kernel.
bool FilterUsesTransform(const Matrix& a);

// The kernel's spectrum, computed once per product, and the band products that use it. One
// object serves any number of threads, each with its own bands.
class FilterTransform {
  public:
    // For c = a · b, or with `scatter` for c = aᵀ · b, with b of p columns.
    FilterTransform(const Matrix& a, bool scatter, int p);
    ~FilterTransform();
    FilterTransform(const FilterTransform&) = delete;
    FilterTransform& operator=(const FilterTransform&) = delete;

    // Rows per band.
    int bandRows() const { return mBandRows; }
    // Image rows y0 … y1−1 of c = a · b (overwritten).
    void gatherBand(double* c, const double* b, int y0, int y1) const;
    // Rows t0 … t1−1 of aᵀ · b before the mirrored rows are folded back, t counted from −hr to
    // h + hr − 1 (hr = (fr−1)/2). Rows inside the image (0 ≤ t < h) are written to c; the others
    // to `outside`, which holds 2·hr rows of w·p values: t < 0 at row t + hr, t ≥ h at row
    // t − h + hr. foldOutside then adds `outside` into the rows of c that those rows mirror onto.
    void scatterBand(double* c, double* outside, const double* b, int t0, int t1) const;
    void foldOutside(double* c, const double* outside) const;

  private:
    struct Spectrum;

    const Matrix& mA;
    int mP;
    int mBandRows;
    std::unique_ptr<Spectrum> mSpectrum;
};

// The normal product y = Aᵀ·(A·x) of a filter matrix A with one column, as whole-image
// transforms (double precision, FFTW): the mirrored extension of x is correlated with the kernel,
// the part inside the image is kept (that is A·x), convolved with the kernel and folded back onto
// the pixels the mirrored rows and columns stand for (that is Aᵀ·t). A kernel symmetric in both
// axes (the disc) needs only two transforms: the extension correlated with the kernel convolved
// with itself, corrected by direct sums along the border. The kernel's spectrum is
// computed once per object, so one object serves every product of a solve; the result equals the
// direct products within rounding. An object is used by one thread at a time (its transform
// buffers are its own); the products themselves run on that thread.
class FilterNormalTransform {
  public:
    explicit FilterNormalTransform(const Matrix& a);
    ~FilterNormalTransform();
    FilterNormalTransform(const FilterNormalTransform&) = delete;
    FilterNormalTransform& operator=(const FilterNormalTransform&) = delete;

    // Whether the transforms cost less than the direct products for a's kernel and image, or for
    // a kernel of kernelRows × kernelColumns values on an image of rows × columns pixels.
    static bool pays(const Matrix& a);
    static bool pays(const double* kernel, int kernelRows, int kernelColumns, int rows,
                     int columns);
    // Bytes an object holds for such a kernel and image.
    static std::int64_t bytes(int kernelRows, int kernelColumns, int rows, int columns);

    const Matrix& matrix() const { return mA; }
    // y = Aᵀ·(A·x) for h·w rows of p columns (row-major); y may not be x.
    void apply(double* y, const double* x, int p) const;

  private:
    struct Buffers;

    void applySymmetric(double* y, const double* x, int p) const;

    const Matrix& mA;
    bool mSymmetric;      // the kernel is symmetric in both axes: AᵀA through A·A
    int mRows, mColumns;  // transform size
    std::unique_ptr<Buffers> mBuffers;
};

}  // namespace velkaro
