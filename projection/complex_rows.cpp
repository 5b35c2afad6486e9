#include "projection/complex_rows.hpp"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
// GCC on Windows does not keep 32-byte stack alignment for AVX spills, so the
// wide kernel is built for ELF targets only.
#define MERIDOX_PROJECTION_AVX2 1
#include <immintrin.h>
#endif

namespace meridox::projection {

void combine_rows_baseline(double* __restrict out_re, double* __restrict out_im, int n,
                           const double* a_re, const double* a_im, std::ptrdiff_t a_stride,
                           int terms, const double* m_re, const double* m_im,
                           std::ptrdiff_t m_stride) {
  // Four rows at a time halve the traffic through the output rows; the loops
  // over k vectorise.
  for (int k = 0; k < n; ++k) {
    out_re[k] = 0;
    out_im[k] = 0;
  }
  int t = 0;
  for (; t + 2 <= terms; t += 2) {
    const double ar0 = a_re[t * a_stride], ai0 = a_im[t * a_stride];
    const double ar1 = a_re[(t + 1) * a_stride], ai1 = a_im[(t + 1) * a_stride];
    const double* __restrict mr0 = m_re + t * m_stride;
    const double* __restrict mi0 = m_im + t * m_stride;
    const double* __restrict mr1 = mr0 + m_stride;
    const double* __restrict mi1 = mi0 + m_stride;
    for (int k = 0; k < n; ++k) {
      out_re[k] += (ar0 * mr0[k] - ai0 * mi0[k]) + (ar1 * mr1[k] - ai1 * mi1[k]);
      out_im[k] += (ar0 * mi0[k] + ai0 * mr0[k]) + (ar1 * mi1[k] + ai1 * mr1[k]);
    }
  }
  for (; t < terms; ++t) {
    const double ar = a_re[t * a_stride], ai = a_im[t * a_stride];
    const double* __restrict mr = m_re + t * m_stride;
    const double* __restrict mi = m_im + t * m_stride;
    for (int k = 0; k < n; ++k) {
      out_re[k] += ar * mr[k] - ai * mi[k];
      out_im[k] += ar * mi[k] + ai * mr[k];
    }
  }
}

#if MERIDOX_PROJECTION_AVX2
namespace {

// Sixteen outputs per block are held in eight registers while the terms run.
__attribute__((target("avx2,fma"))) void combine_rows_wide(
    double* out_re, double* out_im, int n, const double* a_re, const double* a_im,
    std::ptrdiff_t a_stride, int terms, const double* m_re, const double* m_im,
    std::ptrdiff_t m_stride) {
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    __m256d r0 = _mm256_setzero_pd(), r1 = r0, r2 = r0, r3 = r0;
    __m256d i0 = r0, i1 = r0, i2 = r0, i3 = r0;
    for (int t = 0; t < terms; ++t) {
      const __m256d ar = _mm256_broadcast_sd(a_re + t * a_stride);
      const __m256d ai = _mm256_broadcast_sd(a_im + t * a_stride);
      const double* mr = m_re + t * m_stride + k;
      const double* mi = m_im + t * m_stride + k;
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
    _mm256_storeu_pd(out_re + k, r0);
    _mm256_storeu_pd(out_re + k + 4, r1);
    _mm256_storeu_pd(out_re + k + 8, r2);
    _mm256_storeu_pd(out_re + k + 12, r3);
    _mm256_storeu_pd(out_im + k, i0);
    _mm256_storeu_pd(out_im + k + 4, i1);
    _mm256_storeu_pd(out_im + k + 8, i2);
    _mm256_storeu_pd(out_im + k + 12, i3);
  }
  for (; k + 4 <= n; k += 4) {
    __m256d r = _mm256_setzero_pd(), i = r;
    for (int t = 0; t < terms; ++t) {
      const __m256d ar = _mm256_broadcast_sd(a_re + t * a_stride);
      const __m256d ai = _mm256_broadcast_sd(a_im + t * a_stride);
      const __m256d x = _mm256_loadu_pd(m_re + t * m_stride + k);
      const __m256d y = _mm256_loadu_pd(m_im + t * m_stride + k);
      r = _mm256_fnmadd_pd(ai, y, _mm256_fmadd_pd(ar, x, r));
      i = _mm256_fmadd_pd(ai, x, _mm256_fmadd_pd(ar, y, i));
    }
    _mm256_storeu_pd(out_re + k, r);
    _mm256_storeu_pd(out_im + k, i);
  }
  for (; k < n; ++k) {
    double r = 0, i = 0;
    for (int t = 0; t < terms; ++t) {
      const double ar = a_re[t * a_stride], ai = a_im[t * a_stride];
      const double x = m_re[t * m_stride + k], y = m_im[t * m_stride + k];
      r += ar * x - ai * y;
      i += ar * y + ai * x;
    }
    out_re[k] = r;
    out_im[k] = i;
  }
}

}  // namespace
#endif

CombineRows combine_rows_avx2() {
#if MERIDOX_PROJECTION_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return combine_rows_wide;
#endif
  return nullptr;
}

CombineRows combine_rows() {
  static const CombineRows chosen = [] {
    const CombineRows wide = combine_rows_avx2();
    return wide != nullptr ? wide : combine_rows_baseline;
  }();
  return chosen;
}

}  // namespace meridox::projection
