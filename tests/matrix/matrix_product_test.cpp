#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "Matrix.h"
#include "MatrixFilter.h"
#include "MatrixMultiply.h"
#include "MatrixOps.h"
#include "MatrixTransposedMultiply.h"

using namespace velkaro;

namespace {

std::mt19937& Rng() {
    static std::mt19937 rng(12345);
    return rng;
}

void Randomize(Matrix& m) {
    std::uniform_real_distribution<double> u(-1, 1);
    for (int k = 0; k < m.count(); ++k) m.rwData()[k] = u(Rng());
}

// A random kernel; with `zeros` about a third of its weights are exactly 0.
std::vector<double> RandomKernel(int rows, int columns, bool zeros) {
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> k(std::size_t(rows) * columns);
    for (double& v : k) v = zeros && u(Rng()) < -0.33 ? 0.0 : u(Rng());
    return k;
}

// Column `col` of an (h·w) × p matrix as an h × w image.
cv::Mat ColumnAsImage(const Matrix& m, int h, int w, int col) {
    cv::Mat img(h, w, CV_64F);
    for (int k = 0; k < h * w; ++k)
        img.at<double>(k / w, k % w) = m.roData()[std::size_t(k) * m.columns() + col];
    return img;
}

}  // namespace

// The filter product is a correlation with mirrored borders: OpenCV's filter2D with
// BORDER_REFLECT_101 computes the same thing independently. The transposed product satisfies
// the adjoint identity <A·x, y> = <x, Aᵀ·y>. Kernels larger than the image and images of one
// row or column included.
TEST(MatrixMultiply, FilterProductEqualsFilter2DReflect101) {
    const int cases[][5] = {{37, 45, 1, 1, 0},     {37, 45, 3, 3, 1},   {37, 45, 3, 5, 0},
                            {37, 45, 9, 3, 1},     {37, 45, 11, 11, 0}, {230, 301, 13, 13, 1},
                            {230, 301, 31, 31, 0}, {5, 6, 9, 9, 1},     {2, 3, 5, 5, 0},
                            {10, 12, 31, 31, 1},   {16, 17, 21, 11, 1}, {1, 9, 3, 3, 0},
                            {9, 1, 5, 1, 1}};
    for (auto [h, w, fr, fc, zeros] : cases) {
        std::vector<double> k = RandomKernel(fr, fc, zeros);
        const int n = h * w;
        Matrix f(n, n, k.data(), fr, fc, h, w);
        const cv::Mat kernel(fr, fc, CV_64F, k.data());
        for (int p : {1, 2, 3}) {
            Matrix x(n, p), y(n, p), ax(n, p), aty(n, p);
            Randomize(x);
            Randomize(y);
            ax.fill(1e300);  // the product must overwrite everything
            MatrixMultiply(ax, f, x);
            MatrixTransposedMultiply(aty, f, y);
            for (int col = 0; col < p; ++col) {
                cv::Mat expected;
                cv::filter2D(ColumnAsImage(x, h, w, col), expected, CV_64F, kernel,
                             cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
                EXPECT_LT(cv::norm(expected, ColumnAsImage(ax, h, w, col), cv::NORM_INF), 1e-11)
                    << fr << "x" << fc << " p " << p;
                double left = 0, right = 0, scale = 0;
                for (int r = 0; r < n; ++r) {
                    left += ax.roData()[r * p + col] * y.roData()[r * p + col];
                    right += x.roData()[r * p + col] * aty.roData()[r * p + col];
                    scale += std::fabs(ax.roData()[r * p + col] * y.roData()[r * p + col]);
                }
                EXPECT_LT(std::fabs(left - right), 1e-12 * scale) << fr << "x" << fc << " p " << p;
            }
        }
    }
}
