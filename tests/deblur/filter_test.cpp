#include "Filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Matrix.h"
#include "MatrixOps.h"

using namespace velkaro;

namespace {

// Element at (dy, dx) from the centre.
double K(const Matrix& f, int dy, int dx) {
    const int c = (f.rows() - 1) / 2;
    return f.roData()[(c + dy) * f.columns() + c + dx];
}

// The share of the disc of radius r (centred on the middle pixel) over the pixel (dx, dy),
// integrated numerically column by column, divided by the disc's area.
double DiscShare(int dx, int dy, double r) {
    const int steps = 20000;
    double area = 0;
    for (int i = 0; i < steps; ++i) {
        const double x = dx - 0.5 + (i + 0.5) / steps;
        const double half = x * x < r * r ? std::sqrt(r * r - x * x) : 0;
        area += std::max(0.0, std::min(dy + 0.5, half) - std::max(dy - 0.5, -half)) / steps;
    }
    return area / (M_PI * r * r);
}

// The disc (angle < 0) or line of `radius` as a kernel image.
BlurKernel KernelImageOf(double radius, int angle) {
    const int n = SizeForFilter(radius, angle);
    Matrix f(n, n);
    GenerateFilter(f, radius, angle);
    return BlurKernel(
        KernelImage::fromWeights(n, std::vector<double>(f.roData(), f.roData() + f.count())));
}

// Cosine similarity of two kernels of the same size.
double Cosine(const Matrix& a, const Matrix& b) {
    double dot = 0, a2 = 0, b2 = 0;
    for (int i = 0; i < a.count(); ++i) {
        const double x = a.roData()[i], y = b.roData()[i];
        dot += x * y, a2 += x * x, b2 += y * y;
    }
    return dot / std::sqrt(a2 * b2);
}

// max(0, 1 − distance to the segment of length 2r through the centre at `angle` degrees), before
// the kernel is scaled to sum 1.
double LineWeight(int dx, int dy, double r, int angle) {
    const double ux = std::cos(angle * M_PI / 180), uy = std::sin(angle * M_PI / 180);
    const double t = std::clamp(dx * ux + dy * uy, -r, r);
    return std::max(0.0, 1 - std::hypot(dx - t * ux, dy - t * uy));
}

}  // namespace

TEST(Filter, KernelsEqualTheirGeometricDefinitions) {
    // Generated into a matrix two pixels wider on each side, which must come out zero there.
    for (double r : {0.5, 1.0, 1.5, 2.0, 2.7, 4.0, 7.5}) {
        const int R = (SizeForFilter(r, -1) - 1) / 2, n = 2 * R + 5;
        Matrix f(n, n);
        f.fill(5);
        GenerateFilter(f, r, -1);
        EXPECT_NEAR(MatrixSum(f), 1.0, 1e-12) << r;
        for (int dy = -R - 2; dy <= R + 2; ++dy)
            for (int dx = -R - 2; dx <= R + 2; ++dx) {
                const bool inside = std::max(std::abs(dx), std::abs(dy)) <= R;
                EXPECT_NEAR(K(f, dy, dx), inside ? DiscShare(dx, dy, r) : 0.0, 2e-7)
                    << "disc " << r << " at " << dy << "," << dx;
            }
        for (int angle : {0, 20, 45, 90, 130, 200}) {
            f.fill(5);
            GenerateFilter(f, r, angle);
            double sum = 0;
            for (int dy = -R; dy <= R; ++dy)
                for (int dx = -R; dx <= R; ++dx) sum += LineWeight(dx, dy, r, angle);
            for (int dy = -R - 2; dy <= R + 2; ++dy)
                for (int dx = -R - 2; dx <= R + 2; ++dx) {
                    const bool inside = std::max(std::abs(dx), std::abs(dy)) <= R;
                    EXPECT_NEAR(K(f, dy, dx), inside ? LineWeight(dx, dy, r, angle) / sum : 0.0,
                                1e-6)
                        << "line " << r << " angle " << angle << " at " << dy << "," << dx;
                }
        }
    }
    Matrix f(1, 1);  // radius 0 blurs nothing, whatever the angle
    for (int angle : {-1, 0, 170}) {
        GenerateFilter(f, 0, angle);
        EXPECT_EQ(f.value(), 1.0) << angle;
    }
}

TEST(Filter, KernelImagesAreCentredMeasuredAndScaledWithTheirMassKept) {
    // Not kernels: no size, a count that is not size², a negative or non-finite weight, nothing.
    const std::vector<double> nine(9, 1.0);
    EXPECT_FALSE(KernelImage::fromWeights(0, {}));
    EXPECT_FALSE(KernelImage::fromWeights(3, std::vector<double>(8, 1.0)));
    EXPECT_FALSE(KernelImage::fromWeights(3, std::vector<double>(9, 0.0)));
    for (double bad : {-0.1, double(NAN), double(INFINITY)}) {
        std::vector<double> w = nine;
        w[4] = bad;
        EXPECT_FALSE(KernelImage::fromWeights(3, w)) << bad;
    }

    // A stroke placed anywhere in a larger frame: cropped to the square around its centroid, the
    // same kernel (and fingerprint) wherever it was.
    auto stroke = [](int frame, int ox, int oy, double scale) {
        std::vector<double> w(std::size_t(frame) * frame, 0.0);
        for (int i = 0; i < 5; ++i) w[std::size_t(oy + i / 2) * frame + ox + i] = scale * (1 + i);
        return KernelImage::fromWeights(frame, w);
    };
    const KernelImageRef a = stroke(15, 2, 3, 1.0), b = stroke(21, 12, 14, 7.0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), b->size());
    EXPECT_EQ(a->weights(), b->weights());
    EXPECT_EQ(a->fingerprint(), b->fingerprint());
    EXPECT_NE(a->fingerprint(), KernelImage::fromWeights(3, nine)->fingerprint());
    double sum = 0, mx = 0, my = 0;
    const int c = a->size() / 2;
    for (int y = 0; y < a->size(); ++y)
        for (int x = 0; x < a->size(); ++x) {
            const double w = a->weights()[std::size_t(y) * a->size() + x];
            sum += w, mx += w * (x - c), my += w * (y - c);
        }
    EXPECT_NEAR(sum, 1.0, 1e-12);
    EXPECT_LE(std::abs(mx), 0.5);
    EXPECT_LE(std::abs(my), 0.5);

    // The size measure of the grid's own kernels is their radius (a line's within a pixel); scaled
    // to another radius, a disc is close to the disc of that radius.
    for (double r : {2.0, 3.5, 6.0, 10.0}) {
        for (int angle : {-1, 0, 35, 90}) {
            const BlurKernel k = KernelImageOf(r, angle);
            ASSERT_TRUE(k.image);
            EXPECT_NEAR(k.image->radius(), r, angle < 0 ? 0.5 : 1.0) << r << " " << angle;
        }
        const BlurKernel image = KernelImageOf(r, -1);
        for (double target : {1.5, r, 2 * r}) {
            const int m = SizeForFilter(target, image);
            const int want = SizeForFilter(target, -1);
            EXPECT_LE(std::abs(m - want), 2) << r << " to " << target;
            const int big = std::max(m, want);
            Matrix scaled(big, big), reference(big, big);
            GenerateFilter(scaled, target, image);
            GenerateFilter(reference, target, -1);
            EXPECT_NEAR(MatrixSum(scaled), 1.0, 1e-12);
            EXPECT_GE(MatrixMinimum(scaled), 0);
            EXPECT_GT(Cosine(scaled, reference), 0.9) << r << " to " << target;
        }
    }

    // A kernel wider than the rows reach (a disc of radius 20): the last row draws it as it is,
    // a row half as far out half as large, close to the disc of radius 10.
    const BlurKernel wide = KernelImageOf(20, -1);
    ASSERT_GT(wide.image->radius(), kLargestRowRadius);
    ASSERT_EQ(SizeForFilter(kLargestRowRadius, wide), wide.image->size());
    Matrix last(wide.image->size(), wide.image->size());
    GenerateFilter(last, kLargestRowRadius, wide);
    EXPECT_EQ(std::vector<double>(last.roData(), last.roData() + last.count()),
              wide.image->weights());
    const int n10 = SizeForFilter(10, -1), m = SizeForFilter(kLargestRowRadius / 2, wide);
    EXPECT_LE(std::abs(m - n10), 2);
    const int big = std::max(m, n10);
    Matrix half(big, big), disc10(big, big);
    GenerateFilter(half, kLargestRowRadius / 2, wide);
    GenerateFilter(disc10, 10, -1);
    EXPECT_GT(Cosine(half, disc10), 0.9);
    // The rows' labels say the radius drawn: the kernel's own at the last row.
    EXPECT_EQ(DrawnRadius(kLargestRowRadius, wide), wide.image->radius());
    EXPECT_EQ(DrawnRadius(kLargestRowRadius / 2, wide), wide.image->radius() / 2);
    EXPECT_EQ(DrawnRadius(kLargestRowRadius, KernelImageOf(5, -1)), kLargestRowRadius);
}

TEST(Filter, ProtractorAnglesRoundTripAndRiseCounterClockwise) {
    // Every typed angle reads back the same (modulo 180); the disc stays the disc.
    for (int typed = -1; typed < 360; ++typed) {
        const int kernel = KernelAngleFromProtractor(typed);
        EXPECT_TRUE(typed < 0 ? kernel == typed : kernel >= 0 && kernel < 180) << typed;
        EXPECT_EQ(ProtractorAngleFromKernel(kernel), typed < 0 ? typed : typed % 180) << typed;
    }
    // On the kernel's pixels (rows growing downwards): the line typed at 30° weighs the pixel up
    // and to the right of the centre, at 150° the one up and to the left; 0° and 90° lie flat and
    // upright. The end points at ±(cos a, −sin a) · r, r = 5.
    for (int typed : {30, 150, 0, 90}) {
        Matrix f(11, 11);
        GenerateFilter(f, 5, KernelAngleFromProtractor(typed));
        const double a = typed * M_PI / 180;
        const int dx = int(std::lround(4 * std::cos(a))), dy = int(std::lround(-4 * std::sin(a)));
        EXPECT_GT(K(f, dy, dx), 0.05) << typed;
        EXPECT_GT(K(f, -dy, -dx), 0.05) << typed;
        // Its mirror image in the horizontal holds nothing (unless it is the same line).
        EXPECT_TRUE(dy == 0 || dx == 0 || K(f, -dy, dx) == 0.0) << typed;
    }
}
