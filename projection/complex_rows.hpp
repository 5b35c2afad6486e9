#pragma once
// The inner products of the fast image formation: complex rows that are
// weighted sums of the rows of a real matrix.
#include <cstddef>
#include <span>

#include "common/cpu_features.hpp"

namespace meridox::projection {

// One output row: out[k] = sum over t < terms of a[t] * m[t * stride + k],
// with a complex (real and imaginary parts in separate arrays) and m real.
struct RowSum {
  const double* a_re;
  const double* a_im;
  const double* m;  // the first matrix row of the sum
  int terms;
  double* out_re;  // overwritten
  double* out_im;
};

// Columns are formed in blocks of this many.
inline constexpr int row_sum_block = 16;

// Forms every row sum over the columns k < width, a multiple of
// row_sum_block; stride is the distance between matrix rows. The columns are
// taken in blocks, so that the block of the matrix stays in the first-level
// cache while all rows are formed. The sums may be evaluated in any order and
// with fused multiply-adds: the result agrees with the plain sum within
// rounding.
using SumRows = void (*)(std::span<const RowSum> rows, int width, std::ptrdiff_t stride);

// Runs on any x86-64 processor.
void sum_rows_baseline(std::span<const RowSum> rows, int width, std::ptrdiff_t stride);

// The AVX2 and FMA version (built only with the wide kernels); call only where
// the processor has both.
void sum_rows_avx2(std::span<const RowSum> rows, int width, std::ptrdiff_t stride);

// The version of one vector level, nullptr where this build or processor
// lacks it.
SumRows sum_rows_of_level(VectorLevel level);

// The widest version this processor runs, chosen once.
SumRows sum_rows();

}  // namespace meridox::projection
