#pragma once

#include <vector>

#include "Matrix.h"

namespace velkaro {

// Blur kernels: a uniform disc (defocus) or a straight line segment (motion) sampled on an odd
// square grid. Element (c + dy, c + dx), c = (n − 1) / 2, weighs the pixel dy rows below and dx
// columns right of the centre. The weights sum to 1.

// Rows and columns of the kernel of a radius: 2 × ceil(radius − 0.5) + 1 (the angle is unused).
int SizeForFilter(double radius, int angle);

// Fills the square, odd-sized f (at least SizeForFilter rows) with the disc when angle < 0, else
// with the line at `angle` degrees (0 horizontal, 90 vertical); a larger f is padded with zeros.
void GenerateFilter(Matrix& f, double radius, int angle);

// The kernel's elements in storage order as single-precision floats, for the planar services.
void FilterToFloats(std::vector<float>& out, const Matrix& f);

}  // namespace velkaro
