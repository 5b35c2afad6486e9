#include "projection/complex_rows.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace meridox::projection {
namespace {

#if defined(__SSE2__)
// Eight columns of one row sum in eight two-lane registers (every x86-64
// processor has them).
void sum_half_block(const RowSum& row, int k, std::ptrdiff_t stride) {
  __m128d r[4], i[4];
  for (int c = 0; c < 4; ++c) r[c] = i[c] = _mm_setzero_pd();
  for (int t = 0; t < row.terms; ++t) {
    const __m128d ar = _mm_set1_pd(row.a_re[t]);
    const __m128d ai = _mm_set1_pd(row.a_im[t]);
    const double* m = row.m + t * stride + k;
    for (int c = 0; c < 4; ++c) {
      const __m128d x = _mm_loadu_pd(m + 2 * c);
      r[c] = _mm_add_pd(r[c], _mm_mul_pd(ar, x));
      i[c] = _mm_add_pd(i[c], _mm_mul_pd(ai, x));
    }
  }
  for (int c = 0; c < 4; ++c) {
    _mm_storeu_pd(row.out_re + k + 2 * c, r[c]);
    _mm_storeu_pd(row.out_im + k + 2 * c, i[c]);
  }
}

void sum_block(const RowSum& row, int k, std::ptrdiff_t stride) {
  sum_half_block(row, k, stride);
  sum_half_block(row, k + row_sum_block / 2, stride);
}
#else
void sum_block(const RowSum& row, int k, std::ptrdiff_t stride) {
  double r[row_sum_block] = {};
  double i[row_sum_block] = {};
  for (int t = 0; t < row.terms; ++t) {
    const double* m = row.m + t * stride + k;
    for (int c = 0; c < row_sum_block; ++c) {
      r[c] += row.a_re[t] * m[c];
      i[c] += row.a_im[t] * m[c];
    }
  }
  for (int c = 0; c < row_sum_block; ++c) {
    row.out_re[k + c] = r[c];
    row.out_im[k + c] = i[c];
  }
}
#endif

}  // namespace

void sum_rows_baseline(std::span<const RowSum> rows, int width, std::ptrdiff_t stride) {
  for (int k = 0; k < width; k += row_sum_block) {
    for (const RowSum& row : rows) sum_block(row, k, stride);
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
