#include "Filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "Check.h"

namespace velkaro {

namespace {

constexpr double kPi = 3.141592653589793;

// Half-width R of the kernel of a radius: ceil(r − 0.5).
int HalfWidth(double radius) {
    return int(std::ceil(radius - 0.5));
}

// Checks the kernel matrix, clears it and returns the centre index.
int PrepareKernel(Matrix& f, double radius) {
    const int size = 2 * HalfWidth(radius) + 1;
    VK_CHECK(f.rows() == f.columns());
    VK_CHECK(f.rows() >= size);
    VK_CHECK(f.rows() % 2 == 1);
    f.loadZeros();
    return (f.rows() - 1) / 2;
}

// Area under the upper half of the circle of radius r from 0 to u (a primitive of sqrt(r² − u²)),
// saturated where rounding puts u just outside the circle.
double CircleArea(double u, double r) {
    const double r2 = r * r;
    const double q = u / r;
    if (r2 - u * u < 0 || q < -1 || q > 1)
        return q >= 0 ? kPi * r2 / 4 : -kPi * r2 / 4;
    return 0.5 * (u * std::sqrt(r2 - u * u) + r2 * std::asin(q));
}

// Fraction of the disc of radius r (centred on the middle pixel's centre) that covers the pixel
// dx, dy, computed exactly in the first quadrant.
double DiscWeight(int dx, int dy, double r) {
    const double ax = std::abs(dx);
    const double ay = std::abs(dy);
    double x0 = ax - 0.5, x1 = ax + 0.5, y0 = ay - 0.5, y1 = ay + 0.5;
    double m = 1;
    if (x0 < 0) {
        x0 = 0;
        m = 2;
    }
    if (y0 < 0) {
        y0 = 0;
        m *= 2;
    }
    const double r2 = r * r;
    // Up to xa the whole strip y0 … y1 lies inside the disc.
    double xa;
    if (x0 * x0 + y1 * y1 > r2)
        xa = x0;
    else if (x1 * x1 + y1 * y1 <= r2)
        xa = x1;
    else
        xa = std::sqrt(r2 - y1 * y1);
    // At xb the circle leaves the lower edge y0.
    double xb;
    if (x0 * x0 + y0 * y0 > r2)
        xb = x0;
    else if (x1 * x1 + y0 * y0 <= r2)
        xb = x1;
    else
        xb = std::sqrt(r2 - y0 * y0);
    const double area =
        (xa - x0) * (y1 - y0) + CircleArea(xb, r) - CircleArea(xa, r) - (xb - xa) * y0;
    return m * area / (kPi * r2);
}

void GenerateCircular(Matrix& f, double radius) {
    const int c = PrepareKernel(f, radius);
    const int n = f.columns();
    double* k = f.rwData();
    if (radius == 0) {
        k[c * n + c] = 1.0;
        return;
    }
    const int R = HalfWidth(radius);
    for (int dy = -R; dy <= R; ++dy)
        for (int dx = -R; dx <= R; ++dx) k[(c + dy) * n + c + dx] = DiscWeight(dx, dy, radius);
}

// A segment of length 2r through the centre; the weight falls linearly from 1 on the segment to
// 0 one pixel away from it.
void GenerateAngular(Matrix& f, double radius, int angle) {
    const int c = PrepareKernel(f, radius);
    const int n = f.columns();
    double* k = f.rwData();
    const int R = HalfWidth(radius);
    const double theta = angle / 180.0 * kPi;
    const double px = radius * std::cos(theta);
    const double py = radius * std::sin(theta);
    const double ddx = -2 * px;
    const double ddy = -2 * py;
    const double length = float(std::sqrt(ddx * ddx + ddy * ddy));
    const double length2 = length * length;
    double sum = 0;
    for (int dy = -R; dy <= R; ++dy) {
        for (int dx = -R; dx <= R; ++dx) {
            double t = length2 > 0 ? ((dx - px) * ddx + (dy - py) * ddy) / length2 : 0;
            t = std::clamp(t, 0.0, 1.0);
            const double cx = px + t * ddx;
            const double cy = py + t * ddy;
            const double distance = float(std::sqrt((dx - cx) * (dx - cx) + (dy - cy) * (dy - cy)));
            const double w = std::max(1 - distance, 0.0);
            k[(c + dy) * n + c + dx] = w;
            sum += w;
        }
    }
    if (!(sum > 0)) {
        // A segment without length (radius 0) blurs nothing: the identity kernel.
        k[c * n + c] = 1.0;
        return;
    }
    for (int dy = -R; dy <= R; ++dy)
        for (int dx = -R; dx <= R; ++dx) k[(c + dy) * n + c + dx] /= sum;
}

// The fraction of the kernel's weight that its radius encloses.
constexpr double kRadiusMass = 0.98;

std::uint64_t Fnv1a(std::uint64_t hash, const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
    return hash;
}

// How much of the source pixel i (a square of side `scale` centred on scale × (i − h)) falls into
// the destination pixel u (a unit square centred on u − H).
double Overlap(int u, int H, int i, int h, double scale) {
    const double a0 = u - H - 0.5, a1 = u - H + 0.5;
    const double b0 = scale * (i - h - 0.5), b1 = scale * (i - h + 0.5);
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

void GenerateFromImage(Matrix& f, double radius, const KernelImage& image) {
    int n = 0;
    const std::vector<double> weights = image.scaledTo(radius, &n);
    VK_CHECK(f.rows() == f.columns());
    VK_CHECK(f.rows() >= n);
    VK_CHECK(f.rows() % 2 == 1);
    f.loadZeros();
    const int size = f.columns();
    const int offset = (size - n) / 2;
    double* k = f.rwData();
    for (int r = 0; r < n; ++r)
        std::copy_n(&weights[std::size_t(r) * n], n, &k[std::size_t(r + offset) * size + offset]);
}

}  // namespace

std::shared_ptr<const KernelImage> KernelImage::fromPointImage(int size,
                                                               const std::vector<double>& picture) {
    return fromWeights(size, std::vector<double>(picture.rbegin(), picture.rend()));
}

std::shared_ptr<const KernelImage> KernelImage::fromWeights(int size,
                                                            const std::vector<double>& weights) {
    if (size <= 0 || weights.size() != std::size_t(size) * std::size_t(size))
        return nullptr;
    double sum = 0, sx = 0, sy = 0;
    int minX = size, maxX = -1, minY = size, maxY = -1;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double w = weights[std::size_t(y) * size + x];
            if (!std::isfinite(w) || w < 0)
                return nullptr;
            if (w == 0)
                continue;
            sum += w, sx += w * x, sy += w * y;
            minX = std::min(minX, x), maxX = std::max(maxX, x);
            minY = std::min(minY, y), maxY = std::max(maxY, y);
        }
    }
    if (!(sum > 0) || !std::isfinite(sum))
        return nullptr;
    // The pixel nearest the centroid becomes the middle one.
    const int cx = int(std::lround(sx / sum)), cy = int(std::lround(sy / sum));
    const int half = std::max({cx - minX, maxX - cx, cy - minY, maxY - cy});
    std::shared_ptr<KernelImage> kernel(new KernelImage());
    kernel->mSize = 2 * half + 1;
    const int n = kernel->mSize;
    kernel->mWeights.assign(std::size_t(n) * n, 0.0);
    for (int y = minY; y <= maxY; ++y)
        for (int x = minX; x <= maxX; ++x)
            kernel->mWeights[std::size_t(y - cy + half) * n + (x - cx + half)] =
                weights[std::size_t(y) * size + x] / sum;

    // The radius about the true centroid that encloses kRadiusMass of the weight.
    const double mx = sx / sum - cx + half, my = sy / sum - cy + half;
    std::vector<std::pair<double, double>> byDistance;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            if (const double w = kernel->mWeights[std::size_t(y) * n + x]; w > 0)
                byDistance.emplace_back(std::hypot(x - mx, y - my), w);
    std::sort(byDistance.begin(), byDistance.end());
    double enclosed = 0, distance = 0;
    for (const auto& [d, w] : byDistance) {
        enclosed += w;
        distance = d;
        if (enclosed >= kRadiusMass)
            break;
    }
    kernel->mRadius = std::max(0.5, std::round(2 * distance) / 2);

    std::uint64_t hash = Fnv1a(14695981039346656037ull, &n, sizeof n);
    for (double w : kernel->mWeights) hash = Fnv1a(hash, &w, sizeof w);
    kernel->mFingerprint = hash;
    return kernel;
}

int KernelImage::sizeAt(double radius) const {
    if (radius == mRadius)
        return mSize;
    const double scale = radius / mRadius;
    const int h = (mSize - 1) / 2;
    return 2 * std::max(0, int(std::ceil(scale * (h + 0.5) - 0.5))) + 1;
}

std::vector<double> KernelImage::scaledTo(double radius, int* size) const {
    VK_CHECK(radius > 0);
    *size = sizeAt(radius);
    if (radius == mRadius)
        return mWeights;
    // Separable area resampling: out = W · K · Wᵀ with W[u][i] the overlap of the pixels.
    const double scale = radius / mRadius;
    const int n = mSize, h = (n - 1) / 2, m = *size, H = (m - 1) / 2;
    std::vector<double> w(std::size_t(m) * n);
    for (int u = 0; u < m; ++u)
        for (int i = 0; i < n; ++i) w[std::size_t(u) * n + i] = Overlap(u, H, i, h, scale);
    std::vector<double> rows(std::size_t(m) * n, 0.0);  // W · K: m × n
    for (int u = 0; u < m; ++u)
        for (int i = 0; i < n; ++i)
            if (const double a = w[std::size_t(u) * n + i]; a > 0)
                for (int j = 0; j < n; ++j)
                    rows[std::size_t(u) * n + j] += a * mWeights[std::size_t(i) * n + j];
    std::vector<double> out(std::size_t(m) * m, 0.0);
    double sum = 0;
    for (int u = 0; u < m; ++u)
        for (int v = 0; v < m; ++v) {
            double value = 0;
            for (int j = 0; j < n; ++j)
                value += rows[std::size_t(u) * n + j] * w[std::size_t(v) * n + j];
            out[std::size_t(u) * m + v] = value;
            sum += value;
        }
    for (double& value : out) value /= sum;
    return out;
}

double KernelImageRadius(double radius, const KernelImage& image) {
    return image.radius() > kLargestRowRadius ? radius / kLargestRowRadius * image.radius()
                                              : radius;
}

double DrawnRadius(double radius, const BlurKernel& kernel) {
    return kernel.image ? KernelImageRadius(radius, *kernel.image) : radius;
}

int SizeForFilter(double radius, const BlurKernel& kernel) {
    VK_CHECK(radius >= 0);
    if (kernel.image)
        return radius > 0 ? kernel.image->sizeAt(KernelImageRadius(radius, *kernel.image)) : 1;
    return 2 * HalfWidth(radius) + 1;
}

int KernelAngleFromProtractor(int degrees) {
    // A line is its own turn by 180°: mirroring it in the horizontal is the same as negating it.
    return degrees < 0 ? degrees : (180 - degrees % 180) % 180;
}

int ProtractorAngleFromKernel(int kernelAngle) {
    return KernelAngleFromProtractor(kernelAngle);
}

void GenerateFilter(Matrix& f, double radius, const BlurKernel& kernel) {
    VK_CHECK(radius >= 0);
    if (kernel.image && radius > 0)
        GenerateFromImage(f, KernelImageRadius(radius, *kernel.image), *kernel.image);
    else if (kernel.image || kernel.angle < 0)
        GenerateCircular(f, kernel.image ? 0 : radius);
    else
        GenerateAngular(f, radius, kernel.angle);
}

void FilterToFloats(std::vector<float>& out, const Matrix& f) {
    const double* k = f.roData();
    out.assign(k, k + f.count());
}

}  // namespace velkaro
