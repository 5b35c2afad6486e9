// The AVX2 and FMA version of the row sums. This file is built with those
// instructions (meridox_wide_sources).
#include <immintrin.h>

#include "projection/complex_rows.hpp"

namespace meridox::projection {
namespace {

// Sixteen columns of one row sum in eight registers.
void sum_block16(const RowSum& row, int k, std::ptrdiff_t stride) {
  __m256d r0 = _mm256_setzero_pd(), r1 = r0, r2 = r0, r3 = r0;
  __m256d i0 = r0, i1 = r0, i2 = r0, i3 = r0;
  for (int t = 0; t < row.terms; ++t) {
    const __m256d ar = _mm256_broadcast_sd(row.a_re + t);
    const __m256d ai = _mm256_broadcast_sd(row.a_im + t);
    const double* mr = row.m_re + t * stride + k;
    const double* mi = row.m_im + t * stride + k;
    const __m256d x0 = _mm256_loadu_pd(mr), x1 = _mm256_loadu_pd(mr + 4);
    const __m256d x2 = _mm256_loadu_pd(mr + 8), x3 = _mm256_loadu_pd(mr + 12);
    const __m256d y0 = _mm256_loadu_pd(mi), y1 = _mm256_loadu_pd(mi + 4);
    const __m256d y2 = _mm256_loadu_pd(mi + 8), y3 = _mm256_loadu_pd(mi + 12);
    r0 = _mm256_fnmadd_pd(ai, y0, _mm256_fmadd_pd(ar, x0, r0));
    r1 = _mm256_fnmadd_pd(ai, y1, _mm256_fmadd_pd(ar, x1, r1));
    r2 = _mm256_fnmadd_pd(ai, y2, _mm256_fmadd_pd(ar, x2, r2));
    r3 = _mm256_fnmadd_pd(ai, y3, _mm256_fmadd_pd(ar, x3, r3));
    i0 = _mm256_fmadd_pd(ai, x0, _mm256_fmadd_pd(ar, y0, i0));
    i1 = _mm256_fmadd_pd(ai, x1, _mm256_fmadd_pd(ar, y1, i1));
    i2 = _mm256_fmadd_pd(ai, x2, _mm256_fmadd_pd(ar, y2, i2));
    i3 = _mm256_fmadd_pd(ai, x3, _mm256_fmadd_pd(ar, y3, i3));
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

// Four columns.
void sum_block4(const RowSum& row, int k, std::ptrdiff_t stride) {
  __m256d r = _mm256_setzero_pd(), i = r;
  for (int t = 0; t < row.terms; ++t) {
    const __m256d ar = _mm256_broadcast_sd(row.a_re + t);
    const __m256d ai = _mm256_broadcast_sd(row.a_im + t);
    const __m256d x = _mm256_loadu_pd(row.m_re + t * stride + k);
    const __m256d y = _mm256_loadu_pd(row.m_im + t * stride + k);
    r = _mm256_fnmadd_pd(ai, y, _mm256_fmadd_pd(ar, x, r));
    i = _mm256_fmadd_pd(ai, x, _mm256_fmadd_pd(ar, y, i));
  }
  _mm256_storeu_pd(row.out_re + k, r);
  _mm256_storeu_pd(row.out_im + k, i);
}

// One column, built with the wide instructions like its callers: baseline
// code called from here would run with the upper register halves in use,
// which slows every later baseline instruction of the process.
void sum_block1(const RowSum& row, int k, std::ptrdiff_t stride) {
  double re = 0;
  double im = 0;
  for (int t = 0; t < row.terms; ++t) {
    const double ar = row.a_re[t];
    const double ai = row.a_im[t];
    const double mr = row.m_re[t * stride + k];
    const double mi = row.m_im[t * stride + k];
    re += ar * mr - ai * mi;
    im += ar * mi + ai * mr;
  }
  row.out_re[k] = re;
  row.out_im[k] = im;
}
}  // namespace

void sum_rows_avx2(std::span<const RowSum> rows, int n, std::ptrdiff_t stride) {
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    for (const RowSum& row : rows) sum_block16(row, k, stride);
  }
  for (; k + 4 <= n; k += 4) {
    for (const RowSum& row : rows) sum_block4(row, k, stride);
  }
  for (; k < n; ++k) {
    for (const RowSum& row : rows) sum_block1(row, k, stride);
  }
  // Leave the upper register halves clear for the baseline code that follows.
  _mm256_zeroupper();
}

}  // namespace meridox::projection
