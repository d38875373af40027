#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Matrix.h"

namespace velkaro {

// Blur kernels: a uniform disc (defocus) or a straight line segment (motion) sampled on an odd
// square grid. Element (c + dy, c + dx), c = (n − 1) / 2, weighs the pixel dy rows below and dx
// columns right of the centre. The weights sum to 1.

// A kernel of any shape (estimated from a photograph or loaded from a file): an odd square of
// non-negative weights that sum to 1, shifted by whole pixels so that its centroid falls on the
// middle pixel, and cropped to the smallest such square that holds every non-zero weight.
class KernelImage {
  public:
    // Null when the weights are not a kernel: a size that is not positive, a weight count other
    // than size², a negative or non-finite weight, or no weight at all.
    static std::shared_ptr<const KernelImage> fromWeights(int size,
                                                          const std::vector<double>& weights);
    // The kernel whose point image (below) is `picture`, size × size, row-major; null as for
    // fromWeights.
    static std::shared_ptr<const KernelImage> fromPointImage(int size,
                                                             const std::vector<double>& picture);

    int size() const { return mSize; }
    // size × size, row-major, summing to 1.
    const std::vector<double>& weights() const { return mWeights; }
    // The picture a point of light takes in a photograph blurred by the kernel (its point-spread
    // function): the weights turned by half a turn, as the weight dx columns right of the centre
    // gathers light from there, and so a point spreads to dx columns left of it. Kernel files
    // and the window show a kernel so, as a photographer and other tools know it.
    std::vector<double> pointImage() const { return {mWeights.rbegin(), mWeights.rend()}; }
    // The kernel's own radius, its size measure: the distance from the centroid within which 98 %
    // of its weight lies, rounded to the nearest half pixel (at least half a pixel). A disc of
    // radius r measures r within half a pixel, a line of half-length r within a pixel (its edges
    // fade over one pixel).
    double radius() const { return mRadius; }
    // A digest of the weights, equal for equal kernels: part of every key of a result.
    std::uint64_t fingerprint() const { return mFingerprint; }

    // The kernel resampled to the radius `radius` (its own radius: the weights as they are): each
    // weight is spread over the pixels its magnified (or shrunk) square covers, so the mass is
    // kept. The result is odd-sized and sums to 1; *size receives its size.
    std::vector<double> scaledTo(double radius, int* size) const;
    int sizeAt(double radius) const;

  private:
    KernelImage() = default;
    int mSize = 0;
    std::vector<double> mWeights;
    double mRadius = 0;
    std::uint64_t mFingerprint = 0;
};
using KernelImageRef = std::shared_ptr<const KernelImage>;

// What blurred a photograph: the disc (angle < 0, no image), the line at `angle` degrees, or a
// kernel image scaled to the radius asked for. Made from an angle where only a disc or a line can
// be meant.
struct BlurKernel {
    int angle = -1;
    KernelImageRef image;

    BlurKernel(int lineAngle = -1) : angle(lineAngle) {}  // NOLINT: an angle names its kernel
    explicit BlurKernel(KernelImageRef kernelImage) : angle(-1), image(std::move(kernelImage)) {}
    bool isImage() const { return image != nullptr; }
    // The kernel image's fingerprint, 0 for the disc and the line.
    std::uint64_t imageFingerprint() const { return image ? image->fingerprint() : 0; }
    // The same kernel: the same shape and angle, and equal weights for kernel images.
    bool sameAs(const BlurKernel& other) const {
        return isImage() == other.isImage() && angle == other.angle &&
               imageFingerprint() == other.imageFingerprint();
    }
};

// The largest radius the grid's rows and the radius options reach, in pixels.
constexpr double kLargestRowRadius = 15;

// The radius a kernel image is drawn at for the row (or option) `radius`: the radius itself,
// except for a kernel wider than kLargestRowRadius, which the largest row shows at its own size
// and the rows below in proportion. A long shake's kernel (its radius up to 20 pixels for 40
// pixels of path) would otherwise be shrunk at every row, and a shrunk kernel deblurs little.
double KernelImageRadius(double radius, const KernelImage& image);
// The radius `kernel` is drawn at for the row `radius`: what that row's label and a result's name
// say.
double DrawnRadius(double radius, const BlurKernel& kernel);

// Rows and columns of the kernel of a radius: 2 × ceil(radius − 0.5) + 1 for the disc and the
// line; for a kernel image, the size of the image scaled to KernelImageRadius.
int SizeForFilter(double radius, const BlurKernel& kernel);

// Fills the square, odd-sized f (at least SizeForFilter rows) with the disc when angle < 0, else
// with the line at `angle` degrees (0 horizontal, 90 vertical), or with the kernel image scaled
// to KernelImageRadius(radius); a larger f is padded with zeros.
void GenerateFilter(Matrix& f, double radius, const BlurKernel& kernel);

// Angles as people type and read them (the window, the command line) are degrees counter-clockwise
// from the horizontal, as a protractor laid on the photograph shows: a streak rising to the right
// is 30°. The kernel's angle above turns the other way, its rows growing downwards. Both map
// 0 … 179 (any whole degree, taken modulo 180) onto 0 … 179; a negative angle (the disc) stays.
int KernelAngleFromProtractor(int degrees);
int ProtractorAngleFromKernel(int kernelAngle);

// The kernel's elements in storage order as single-precision floats, for the planar services.
void FilterToFloats(std::vector<float>& out, const Matrix& f);

}  // namespace velkaro
