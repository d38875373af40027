#pragma once

#include "Matrix.h"

namespace velkaro {

// Element-wise operations on dense matrices. Outputs come first; the output may be an input
// unless a check forbids it. Shapes are checked; IEEE results (inf, NaN) propagate unguarded.

void MatrixAdd(Matrix& c, const Matrix& b, const Matrix& a);  // c = b + a (a may be diagonal)
void MatrixScaledAdd(Matrix& c, const Matrix& b, const double& s, const Matrix& a);  // c = b + s·a
void MatrixScalarMulAdd(Matrix& b, const Matrix& a, double s, double t);             // b = s·a + t
void MatrixComponentMultiply(Matrix& c, const Matrix& b, const Matrix& a);           // c = b .* a
void MatrixComponentDivide(Matrix& c, const Matrix& b, const Matrix& a);             // c = b ./ a
void MatrixAbsolute(Matrix& b, const Matrix& a);
void MatrixSquareRoot(Matrix& b, const Matrix& a);
void MatrixSquareRootAbsolute(Matrix& b, const Matrix& a);
void MatrixNegate(Matrix& b, const Matrix& a);
void MatrixSign(Matrix& b, const Matrix& a);  // −1, 0 or +1; NaN gives 0
void MatrixCopy(Matrix& b, const Matrix& a);
void MatrixTranspose(Matrix& b, const Matrix& a);
// b (n × 1) = the diagonal of the square a, which may be diagonal or dense.
void MatrixDediagonalize(Matrix& b, const Matrix& a);
// b (dense) = the filter matrix a written out.
void MatrixFull(Matrix& b, const Matrix& a);
// dst (h rows of w) = the w × h window of src centred on column x, row y; coordinates outside src
// are clamped (edge values repeat).
void MatrixCrop(Matrix& dst, const Matrix& src, int x, int y, int w, int h);

double CompareMatrix(const Matrix& a, const Matrix& b);  // max |a − b|
double MatrixSum(const Matrix& a);
double MatrixMaximum(const Matrix& a);
double MatrixMinimum(const Matrix& a);
double norm(const Matrix& x);     // Euclidean norm of a column
double norminf(const Matrix& x);  // max |x| of a column
int CountZeros(const Matrix& a);
double ProportionOfZeros(const Matrix& a);

}  // namespace velkaro
