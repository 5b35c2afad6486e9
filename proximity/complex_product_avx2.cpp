// AVX2 + FMA version of the complex product. This file is compiled with
// -mavx2 -mfma and holds nothing but the kernel, so that no code built for
// those instructions can be shared with (and run by) the portable build.
// The 2 x 8 tile keeps its twelve live vectors in registers.
#include <immintrin.h>

#include "proximity/complex_product.hpp"

namespace meridox::proximity {

void complex_product_avx2(const ComplexProduct& p) {
  constexpr int w = product_block;
  for (int b = 0; b < p.col_blocks; ++b) {
    const double* r_re = p.r_re + b * p.depth * w;
    const double* r_im = p.r_im + b * p.depth * w;
    for (int pair = 0; pair < p.row_pairs; ++pair) {
      const int i0 = 2 * pair;
      const double* l0_re = p.l_re + i0 * p.depth;
      const double* l0_im = p.l_im + i0 * p.depth;
      const double* l1_re = l0_re + p.depth;
      const double* l1_im = l0_im + p.depth;
      __m256d s0r_lo = _mm256_setzero_pd(), s0r_hi = _mm256_setzero_pd();
      __m256d s0i_lo = _mm256_setzero_pd(), s0i_hi = _mm256_setzero_pd();
      __m256d s1r_lo = _mm256_setzero_pd(), s1r_hi = _mm256_setzero_pd();
      __m256d s1i_lo = _mm256_setzero_pd(), s1i_hi = _mm256_setzero_pd();
      for (int g = 0; g < p.depth; ++g) {
        const __m256d rr_lo = _mm256_loadu_pd(r_re + g * w);
        const __m256d rr_hi = _mm256_loadu_pd(r_re + g * w + 4);
        const __m256d ri_lo = _mm256_loadu_pd(r_im + g * w);
        const __m256d ri_hi = _mm256_loadu_pd(r_im + g * w + 4);
        __m256d a = _mm256_broadcast_sd(l0_re + g);
        s0r_lo = _mm256_fmadd_pd(a, rr_lo, s0r_lo);
        s0r_hi = _mm256_fmadd_pd(a, rr_hi, s0r_hi);
        s0i_lo = _mm256_fmadd_pd(a, ri_lo, s0i_lo);
        s0i_hi = _mm256_fmadd_pd(a, ri_hi, s0i_hi);
        a = _mm256_broadcast_sd(l0_im + g);
        s0r_lo = _mm256_fnmadd_pd(a, ri_lo, s0r_lo);
        s0r_hi = _mm256_fnmadd_pd(a, ri_hi, s0r_hi);
        s0i_lo = _mm256_fmadd_pd(a, rr_lo, s0i_lo);
        s0i_hi = _mm256_fmadd_pd(a, rr_hi, s0i_hi);
        a = _mm256_broadcast_sd(l1_re + g);
        s1r_lo = _mm256_fmadd_pd(a, rr_lo, s1r_lo);
        s1r_hi = _mm256_fmadd_pd(a, rr_hi, s1r_hi);
        s1i_lo = _mm256_fmadd_pd(a, ri_lo, s1i_lo);
        s1i_hi = _mm256_fmadd_pd(a, ri_hi, s1i_hi);
        a = _mm256_broadcast_sd(l1_im + g);
        s1r_lo = _mm256_fnmadd_pd(a, ri_lo, s1r_lo);
        s1r_hi = _mm256_fnmadd_pd(a, ri_hi, s1r_hi);
        s1i_lo = _mm256_fmadd_pd(a, rr_lo, s1i_lo);
        s1i_hi = _mm256_fmadd_pd(a, rr_hi, s1i_hi);
      }
      double* out0_re = p.p_re + i0 * p.p_stride + b * w;
      double* out0_im = p.p_im + i0 * p.p_stride + b * w;
      _mm256_storeu_pd(out0_re, s0r_lo);
      _mm256_storeu_pd(out0_re + 4, s0r_hi);
      _mm256_storeu_pd(out0_im, s0i_lo);
      _mm256_storeu_pd(out0_im + 4, s0i_hi);
      _mm256_storeu_pd(out0_re + p.p_stride, s1r_lo);
      _mm256_storeu_pd(out0_re + p.p_stride + 4, s1r_hi);
      _mm256_storeu_pd(out0_im + p.p_stride, s1i_lo);
      _mm256_storeu_pd(out0_im + p.p_stride + 4, s1i_hi);
    }
  }
}

}  // namespace meridox::proximity
