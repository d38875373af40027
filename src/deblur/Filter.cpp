#include "Filter.h"

#include <algorithm>
#include <cmath>

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

}  // namespace

int SizeForFilter(double radius, int /*angle*/) {
    VK_CHECK(radius >= 0);
    return 2 * HalfWidth(radius) + 1;
}

void GenerateFilter(Matrix& f, double radius, int angle) {
    VK_CHECK(radius >= 0);
    if (angle < 0)
        GenerateCircular(f, radius);
    else
        GenerateAngular(f, radius, angle);
}

void FilterToFloats(std::vector<float>& out, const Matrix& f) {
    const double* k = f.roData();
    out.assign(k, k + f.count());
}

}  // namespace velkaro
