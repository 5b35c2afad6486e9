#include "projection/complex_rows.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/cpu_features.hpp"

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

using Kernel = SumRows;

#if MERIDOX_WIDE_KERNELS
constexpr Kernel avx2_kernel = sum_rows_avx2;
#else
constexpr Kernel avx2_kernel = nullptr;
#endif

SumRows sum_rows_of_level(VectorLevel level) {
  return kernel_of_level<Kernel>(level, sum_rows_baseline, avx2_kernel, nullptr);
}

SumRows sum_rows() {
  static const SumRows chosen = choose_kernel<Kernel>(sum_rows_baseline, avx2_kernel, nullptr);
  return chosen;
}

}  // namespace meridox::projection
