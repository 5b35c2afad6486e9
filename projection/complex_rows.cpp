#include "projection/complex_rows.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
// GCC on Windows does not keep 32-byte stack alignment for AVX spills, so the
// wide kernel is built for ELF targets only.
#define MERIDOX_PROJECTION_AVX2 1
#include <immintrin.h>
#endif

namespace meridox::projection {
namespace {

// Columns [k, k + width) of one row sum.
template <int width>
void sum_block(const RowSum& row, int k, std::ptrdiff_t stride) {
  double re[width] = {};
  double im[width] = {};
  for (int t = 0; t < row.terms; ++t) {
    const double ar = row.a_re[t];
    const double ai = row.a_im[t];
    const double* mr = row.m_re + t * stride + k;
    const double* mi = row.m_im + t * stride + k;
    for (int c = 0; c < width; ++c) {
      re[c] += ar * mr[c] - ai * mi[c];
      im[c] += ar * mi[c] + ai * mr[c];
    }
  }
  for (int c = 0; c < width; ++c) {
    row.out_re[k + c] = re[c];
    row.out_im[k + c] = im[c];
  }
}

#if defined(__SSE2__)
// Eight columns of one row sum in eight two-lane registers (every x86-64
// processor has them).
void sum_block8(const RowSum& row, int k, std::ptrdiff_t stride) {
  __m128d r0 = _mm_setzero_pd(), r1 = r0, r2 = r0, r3 = r0;
  __m128d i0 = r0, i1 = r0, i2 = r0, i3 = r0;
  for (int t = 0; t < row.terms; ++t) {
    const __m128d ar = _mm_set1_pd(row.a_re[t]);
    const __m128d ai = _mm_set1_pd(row.a_im[t]);
    const double* mr = row.m_re + t * stride + k;
    const double* mi = row.m_im + t * stride + k;
    const __m128d x0 = _mm_loadu_pd(mr), x1 = _mm_loadu_pd(mr + 2);
    const __m128d x2 = _mm_loadu_pd(mr + 4), x3 = _mm_loadu_pd(mr + 6);
    const __m128d y0 = _mm_loadu_pd(mi), y1 = _mm_loadu_pd(mi + 2);
    const __m128d y2 = _mm_loadu_pd(mi + 4), y3 = _mm_loadu_pd(mi + 6);
    r0 = _mm_add_pd(r0, _mm_sub_pd(_mm_mul_pd(ar, x0), _mm_mul_pd(ai, y0)));
    r1 = _mm_add_pd(r1, _mm_sub_pd(_mm_mul_pd(ar, x1), _mm_mul_pd(ai, y1)));
    r2 = _mm_add_pd(r2, _mm_sub_pd(_mm_mul_pd(ar, x2), _mm_mul_pd(ai, y2)));
    r3 = _mm_add_pd(r3, _mm_sub_pd(_mm_mul_pd(ar, x3), _mm_mul_pd(ai, y3)));
    i0 = _mm_add_pd(i0, _mm_add_pd(_mm_mul_pd(ar, y0), _mm_mul_pd(ai, x0)));
    i1 = _mm_add_pd(i1, _mm_add_pd(_mm_mul_pd(ar, y1), _mm_mul_pd(ai, x1)));
    i2 = _mm_add_pd(i2, _mm_add_pd(_mm_mul_pd(ar, y2), _mm_mul_pd(ai, x2)));
    i3 = _mm_add_pd(i3, _mm_add_pd(_mm_mul_pd(ar, y3), _mm_mul_pd(ai, x3)));
  }
  _mm_storeu_pd(row.out_re + k, r0);
  _mm_storeu_pd(row.out_re + k + 2, r1);
  _mm_storeu_pd(row.out_re + k + 4, r2);
  _mm_storeu_pd(row.out_re + k + 6, r3);
  _mm_storeu_pd(row.out_im + k, i0);
  _mm_storeu_pd(row.out_im + k + 2, i1);
  _mm_storeu_pd(row.out_im + k + 4, i2);
  _mm_storeu_pd(row.out_im + k + 6, i3);
}
#else
void sum_block8(const RowSum& row, int k, std::ptrdiff_t stride) { sum_block<8>(row, k, stride); }
#endif

}  // namespace

void sum_rows_baseline(std::span<const RowSum> rows, int n, std::ptrdiff_t stride) {
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    for (const RowSum& row : rows) sum_block8(row, k, stride);
  }
  for (; k < n; ++k) {
    for (const RowSum& row : rows) sum_block<1>(row, k, stride);
  }
}

#if MERIDOX_PROJECTION_AVX2
namespace {

// Sixteen columns of one row sum in eight registers.
__attribute__((target("avx2,fma"))) void sum_block16(const RowSum& row, int k,
                                                     std::ptrdiff_t stride) {
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
__attribute__((target("avx2,fma"))) void sum_block4(const RowSum& row, int k,
                                                    std::ptrdiff_t stride) {
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

// One column, in the same instruction set as its callers: calling code built
// for the baseline from here would run it with the upper register halves in
// use, which slows every later baseline instruction of the process.
__attribute__((target("avx2,fma"))) void sum_block1(const RowSum& row, int k,
                                                    std::ptrdiff_t stride) {
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

__attribute__((target("avx2,fma"))) void sum_rows_wide(std::span<const RowSum> rows, int n,
                                                       std::ptrdiff_t stride) {
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

}  // namespace
#endif

SumRows sum_rows_avx2() {
#if MERIDOX_PROJECTION_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return sum_rows_wide;
#endif
  return nullptr;
}

SumRows sum_rows() {
  static const SumRows chosen = [] {
    const SumRows wide = sum_rows_avx2();
    return wide != nullptr ? wide : sum_rows_baseline;
  }();
  return chosen;
}

}  // namespace meridox::projection
