#pragma once

#include "Matrix.h"

namespace velkaro {

// Solves a · x = b for a square a (rows × rows) by LU decomposition with partial pivoting
// (LAPACK's dgesv, serial). b (rows × 1) holds the right-hand side on entry and x on return.
// Returns LAPACK's status: 0, or i > 0 when the factor's i-th pivot is exactly zero (a singular,
// x undefined).
int MatrixSolve(Matrix& b, const Matrix& a);

}  // namespace velkaro
