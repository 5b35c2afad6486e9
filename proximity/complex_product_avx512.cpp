// AVX-512 version of the complex product, built with AVX-512
// (meridox_wide_sources). It forms each product with three real products
// instead of four (Re = Lr Rr - Li Ri, Im = (Lr + Li)(Rr + Ri) - Lr Rr - Li Ri),
// from the sums Lr + Li and Rr + Ri the caller provides: three quarters of
// the multiply-adds, with results equal within rounding. A tile of up to four
// rows by one 8-column panel keeps its accumulators in registers.
#include <immintrin.h>

#include "proximity/complex_product.hpp"

namespace meridox::proximity {
namespace {

template <int rows>
void tile(const ComplexProduct& p, int b, int i0) {
  constexpr int w = product_block;
  const double* r_re = p.r_re + b * p.depth * w;
  const double* r_im = p.r_im + b * p.depth * w;
  const double* r_sum = p.r_sum + b * p.depth * w;
  __m512d real[rows], imag[rows], both[rows];  // Lr Rr, Li Ri, (Lr + Li)(Rr + Ri)
  for (int r = 0; r < rows; ++r) real[r] = imag[r] = both[r] = _mm512_setzero_pd();
  for (int g = 0; g < p.depth; ++g) {
    const __m512d rr = _mm512_loadu_pd(r_re + g * w);
    const __m512d ri = _mm512_loadu_pd(r_im + g * w);
    const __m512d rs = _mm512_loadu_pd(r_sum + g * w);
    for (int r = 0; r < rows; ++r) {
      const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i0 + r) * p.depth + g;
      real[r] = _mm512_fmadd_pd(_mm512_set1_pd(p.l_re[at]), rr, real[r]);
      imag[r] = _mm512_fmadd_pd(_mm512_set1_pd(p.l_im[at]), ri, imag[r]);
      both[r] = _mm512_fmadd_pd(_mm512_set1_pd(p.l_sum[at]), rs, both[r]);
    }
  }
  for (int r = 0; r < rows; ++r) {
    double* out_re = p.p_re + (i0 + r) * p.p_stride + b * w;
    double* out_im = p.p_im + (i0 + r) * p.p_stride + b * w;
    _mm512_storeu_pd(out_re, _mm512_sub_pd(real[r], imag[r]));
    _mm512_storeu_pd(out_im, _mm512_sub_pd(_mm512_sub_pd(both[r], real[r]), imag[r]));
  }
}

}  // namespace

void complex_product_avx512(const ComplexProduct& p) {
  static_assert(product_block == 8, "one 8-column panel is one 512-bit register");
  for (int b = 0; b < p.col_blocks; ++b) {
    int pair = 0;
    for (; pair + 2 <= p.row_pairs; pair += 2) tile<4>(p, b, 2 * pair);
    if (pair < p.row_pairs) tile<2>(p, b, 2 * pair);
  }
}

}  // namespace meridox::proximity
