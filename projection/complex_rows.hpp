#pragma once
// The inner product of the fast image formation: a complex row that is a
// weighted sum of complex rows.
#include <cstddef>

namespace meridox::projection {

// out[k] = sum over t < terms of a[t * a_stride] * m[t * m_stride + k], for
// k in [0, n), complex, with real and imaginary parts in separate arrays.
// out is overwritten. The sums may be evaluated in any order and with fused
// multiply-adds: the result agrees with the plain sum within rounding.
using CombineRows = void (*)(double* out_re, double* out_im, int n, const double* a_re,
                             const double* a_im, std::ptrdiff_t a_stride, int terms,
                             const double* m_re, const double* m_im, std::ptrdiff_t m_stride);

// Runs on any x86-64 processor.
void combine_rows_baseline(double* out_re, double* out_im, int n, const double* a_re,
                           const double* a_im, std::ptrdiff_t a_stride, int terms,
                           const double* m_re, const double* m_im, std::ptrdiff_t m_stride);

// The AVX2 and FMA version, or nullptr where this build or processor lacks it.
CombineRows combine_rows_avx2();

// The best version for this processor, chosen once.
CombineRows combine_rows();

}  // namespace meridox::projection
