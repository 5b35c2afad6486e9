// The AVX2 and FMA version of the row sums. This file is built with those
// instructions (meridox_wide_sources).
#include <immintrin.h>

#include "projection/complex_rows.hpp"

namespace meridox::projection {
namespace {

// Sixteen columns of one row sum in eight registers: per term four matrix
// loads, two broadcasts and eight fused multiply-adds.
void sum_block(const RowSum& row, int k, std::ptrdiff_t stride) {
  __m256d r0 = _mm256_setzero_pd(), r1 = r0, r2 = r0, r3 = r0;
  __m256d i0 = r0, i1 = r0, i2 = r0, i3 = r0;
  for (int t = 0; t < row.terms; ++t) {
    const __m256d ar = _mm256_broadcast_sd(row.a_re + t);
    const __m256d ai = _mm256_broadcast_sd(row.a_im + t);
    const double* m = row.m + t * stride + k;
    const __m256d x0 = _mm256_loadu_pd(m), x1 = _mm256_loadu_pd(m + 4);
    const __m256d x2 = _mm256_loadu_pd(m + 8), x3 = _mm256_loadu_pd(m + 12);
    r0 = _mm256_fmadd_pd(ar, x0, r0);
    r1 = _mm256_fmadd_pd(ar, x1, r1);
    r2 = _mm256_fmadd_pd(ar, x2, r2);
    r3 = _mm256_fmadd_pd(ar, x3, r3);
    i0 = _mm256_fmadd_pd(ai, x0, i0);
    i1 = _mm256_fmadd_pd(ai, x1, i1);
    i2 = _mm256_fmadd_pd(ai, x2, i2);
    i3 = _mm256_fmadd_pd(ai, x3, i3);
  }
  _mm256_storeu_pd(row.out_re + k, r0);
  _mm256_storeu_pd(row.out_re + k + 4, r1);
  _mm256_storeu_pd(row.out_re + k + 8, r2);
  _mm256_storeu_pd(row.out_re + k + 12, r3);
  _mm256_storeu_pd(row.out_im + k, i0);
  _mm256_storeu_pd(row.out_im + k + 4, i1);
  _mm256_storeu_pd(row.out_im + k + 8, i2);
  _mm256_storeu_pd(row.out_im + k + 12, i3);
}

}  // namespace

void sum_rows_avx2(std::span<const RowSum> rows, int width, std::ptrdiff_t stride) {
  for (int k = 0; k < width; k += row_sum_block) {
    for (const RowSum& row : rows) sum_block(row, k, stride);
  }
  // Leave the upper register halves clear for the baseline code that follows.
  _mm256_zeroupper();
}

}  // namespace meridox::projection
