#pragma once

#include "Matrix.h"

namespace velkaro {

// c = a · b for a filter, dense or diagonal a and a dense or diagonal b (see the cases in the
// source). A filter a with b of 1 or 2 columns runs in parallel over image rows; dense products
// go to BLAS and log when they take longer than 0.1 seconds.
void MatrixMultiply(Matrix& c, const Matrix& a, const Matrix& b);

}  // namespace velkaro
