#pragma once

#include "Matrix.h"

namespace velkaro {

// c = aᵀ · b for a filter or dense a and a dense b. Dense products go to BLAS and log when they
// take longer than 0.1 seconds.
void MatrixTransposedMultiply(Matrix& c, const Matrix& a, const Matrix& b);

}  // namespace velkaro
