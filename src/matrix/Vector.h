#pragma once

#include <cstdint>

namespace velkaro {

// The two strided vector primitives of the products, as plain loops.

// C[n·IC] = A[n·IA] × B[n·IB], n = 0 … N−1.
inline void VectorMultiply(const double* A, std::int64_t IA, const double* B, std::int64_t IB,
                           double* C, std::int64_t IC, std::int64_t N) {
    for (std::int64_t n = 0; n < N; ++n) C[n * IC] = A[n * IA] * B[n * IB];
}

// D[n] += A[n] × s, n = 0 … N−1 (the in-place scaled add, unit strides).
inline void VectorScaledAdd(double* __restrict D, const double* __restrict A, double s,
                            std::int64_t N) {
    for (std::int64_t n = 0; n < N; ++n) D[n] += A[n] * s;
}

}  // namespace velkaro
