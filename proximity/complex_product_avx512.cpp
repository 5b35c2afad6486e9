// AVX-512 version of the complex product, built with AVX-512
// (meridox_wide_sources). It forms each product with three real products
// instead of four (Re = Lr Rr - Li Ri, Im = (Lr + Li)(Rr + Ri) - Lr Rr - Li Ri),
// from the sums Lr + Li and Rr + Ri the caller provides: three quarters of
// the multiply-adds, with results equal within rounding. A tile of up to four
// rows by one 8-column panel keeps its accumulators in registers.
#include <immintrin.h>

#include <cstdint>

#include "proximity/complex_product.hpp"

namespace meridox::proximity {
namespace {

// The groups run are 0 ... count - 1, or with `sparse` groups[0 ... count - 1].
template <int rows, bool sparse>
void tile(const ComplexProduct& p, int b, int i0, const std::uint16_t* groups, int count) {
  constexpr int w = product_block;
  const double* r_re = p.r_re + b * p.depth * w;
  const double* r_im = p.r_im + b * p.depth * w;
  const double* r_sum = p.r_sum + b * p.depth * w;
  __m512d real[rows], imag[rows], both[rows];  // Lr Rr, Li Ri, (Lr + Li)(Rr + Ri)
  for (int r = 0; r < rows; ++r) real[r] = imag[r] = both[r] = _mm512_setzero_pd();
  for (int k = 0; k < count; ++k) {
    const int g = sparse ? groups[k] : k;
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
  // Each tile runs over the groups with nonzero terms in it where the caller
  // gave their spans, else over all.
  const TileGroups tiles(p, 4);
  const bool sparse = tiles.sparse();
  for (int b = 0; b < p.col_blocks; ++b) {
    for (int pair = 0; pair < p.row_pairs; pair += 2) {
      const bool four = pair + 2 <= p.row_pairs;
      if (sparse) {
        int count = 0;
        const std::uint16_t* groups = tiles.groups(pair / 2, b, count);
        if (four) {
          tile<4, true>(p, b, 2 * pair, groups, count);
        } else {
          tile<2, true>(p, b, 2 * pair, groups, count);
        }
      } else if (four) {
        tile<4, false>(p, b, 2 * pair, nullptr, p.depth);
      } else {
        tile<2, false>(p, b, 2 * pair, nullptr, p.depth);
      }
    }
  }
}

}  // namespace meridox::proximity
