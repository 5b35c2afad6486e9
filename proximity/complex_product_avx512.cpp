// AVX-512 version of the complex product, built with AVX-512
// (meridox_wide_sources). It forms each product with three real products
// instead of four (Re = Lr Rr - Li Ri, Im = (Lr + Li)(Rr + Ri) - Lr Rr - Li Ri),
// from the sums Lr + Li and Rr + Ri the caller provides: three quarters of
// the multiply-adds, with results equal within rounding. As in the AVX2
// kernel, each real product is summed over the groups in ascending order
// with one fused multiply-add per term and the three are combined in the same
// order, so the two kernels give the same bits; they run one after the other
// over the whole product, in tiles of up to twelve rows by one 8-column panel
// (one register a row), the first two parked in the output and read back by
// the third.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "proximity/complex_product.hpp"

namespace meridox::proximity {
namespace {

constexpr int w = product_block;
constexpr int band_rows = 12;
static_assert(product_block == 8, "one 8-column panel is one 512-bit register");

// What a pass does with its sums S (rows of one tile, one 8-column panel).
enum class Pass { park_real, park_imag, combine };

// S[r] = sum over g of l[r * depth + g] * panel[g][0 ... 7]. The first two
// passes park Lr Rr in re and Li Ri in im; the third, with (Lr + Li)(Rr + Ri)
// as S, leaves Re = Lr Rr - Li Ri in re and Im = (S - Lr Rr) - Li Ri in im.
// The groups run are 0 ... count - 1, or with `sparse` groups[0 ... count - 1].
template <int rows, Pass pass, bool sparse>
inline void tile_pass(const double* l, const double* panel, int depth, const std::uint16_t* groups,
                      int count, double* re, double* im, int stride) {
  __m512d sum[rows];
#pragma GCC unroll 12
  for (int r = 0; r < rows; ++r) sum[r] = _mm512_setzero_pd();
  for (int k = 0; k < count; ++k) {
    const int g = sparse ? groups[k] : k;
    const __m512d factors = _mm512_loadu_pd(panel + g * w);
#pragma GCC unroll 12
    for (int r = 0; r < rows; ++r) {
      const double a = l[static_cast<std::ptrdiff_t>(r) * depth + g];
      sum[r] = _mm512_fmadd_pd(_mm512_set1_pd(a), factors, sum[r]);
    }
  }
#pragma GCC unroll 12
  for (int r = 0; r < rows; ++r) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(r) * stride;
    if constexpr (pass == Pass::park_real) {
      _mm512_storeu_pd(re + at, sum[r]);
    } else if constexpr (pass == Pass::park_imag) {
      _mm512_storeu_pd(im + at, sum[r]);
    } else {
      const __m512d real = _mm512_loadu_pd(re + at);
      const __m512d imag = _mm512_loadu_pd(im + at);
      _mm512_storeu_pd(re + at, _mm512_sub_pd(real, imag));
      _mm512_storeu_pd(im + at, _mm512_sub_pd(_mm512_sub_pd(sum[r], real), imag));
    }
  }
}

// The tile of `rows` rows (even, up to band_rows) at run time.
template <Pass pass, bool sparse>
void tile_of(int rows, const double* l, const double* panel, int depth, const std::uint16_t* groups,
             int count, double* re, double* im, int stride) {
  switch (rows) {
    case 12: return tile_pass<12, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
    case 10: return tile_pass<10, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
    case 8: return tile_pass<8, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
    case 6: return tile_pass<6, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
    case 4: return tile_pass<4, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
    default: return tile_pass<2, pass, sparse>(l, panel, depth, groups, count, re, im, stride);
  }
}

// One real product over every tile: panels outer, bands of rows inner. The
// pass's L array stays in cache over the panels, and the panel of R over the
// bands; meanwhile every band asks for its share of the next panel. Each
// tile runs over the groups with nonzero terms in it where the caller gave
// their spans, else over all.
template <Pass pass>
void run_pass(const ComplexProduct& p, const double* l, const double* r, const TileGroups& tiles) {
  const int rows = 2 * p.row_pairs;
  const int bands = (rows + band_rows - 1) / band_rows;
  const int share = (p.depth + bands - 1) / bands;
  const bool sparse = tiles.sparse();
  for (int b = 0; b < p.col_blocks; ++b) {
    const double* panel = r + static_cast<std::ptrdiff_t>(b) * p.depth * w;
    const double* next = panel + static_cast<std::ptrdiff_t>(p.depth) * w;
    for (int i = 0, band = 0; i < rows; i += band_rows, ++band) {
      if (b + 1 < p.col_blocks) {
        const int end = (band + 1) * share < p.depth ? (band + 1) * share : p.depth;
        for (int g = band * share; g < end; ++g)  // one 64-byte line
          _mm_prefetch(reinterpret_cast<const char*>(next + g * w), _MM_HINT_T1);
      }
      const int tile_rows = rows - i < band_rows ? rows - i : band_rows;
      const double* band_l = l + static_cast<std::ptrdiff_t>(i) * p.depth;
      double* re = p.p_re + static_cast<std::ptrdiff_t>(i) * p.p_stride + b * w;
      double* im = p.p_im + static_cast<std::ptrdiff_t>(i) * p.p_stride + b * w;
      if (sparse) {
        int count = 0;
        const std::uint16_t* groups = tiles.groups(band, b, count);
        tile_of<pass, true>(tile_rows, band_l, panel, p.depth, groups, count, re, im, p.p_stride);
      } else {
        tile_of<pass, false>(tile_rows, band_l, panel, p.depth, nullptr, p.depth, re, im,
                             p.p_stride);
      }
    }
  }
}

}  // namespace

void complex_product_avx512(const ComplexProduct& p) {
  if (p.row_pairs == 0) return;  // no grid columns: nothing to form
  const TileGroups tiles(p, band_rows);
  run_pass<Pass::park_real>(p, p.l_re, p.r_re, tiles);
  run_pass<Pass::park_imag>(p, p.l_im, p.r_im, tiles);
  run_pass<Pass::combine>(p, p.l_sum, p.r_sum, tiles);
}

}  // namespace meridox::proximity
