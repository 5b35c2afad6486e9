// AVX2 + FMA version of the complex product. This file is compiled with
// -mavx2 -mfma and holds nothing but the kernel, so that no code built for
// those instructions can be shared with (and run by) the portable build.
//
// Like the AVX-512 kernel it forms each product from three real products
// (Re = Lr Rr - Li Ri, Im = (Lr + Li)(Rr + Ri) - Lr Rr - Li Ri), each summed
// over the groups in ascending order with one fused multiply-add per term,
// and combined in the same order: the two kernels give the same bits. The
// three real products run one after the other over the whole product, in
// tiles of up to six rows by one 8-column panel with the twelve accumulators
// in registers; the first two are parked in the output and read back by the
// third.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "proximity/complex_product.hpp"

namespace meridox::proximity {
namespace {

constexpr int w = product_block;

// What a pass does with its sums S (rows of one tile, one 8-column panel).
enum class Pass { park_real, park_imag, combine };

// S[r] = sum over g of l[r * depth + g] * panel[g][0 ... 7]. The first two
// passes park Lr Rr in re and Li Ri in im; the third, with (Lr + Li)(Rr + Ri)
// as S, leaves Re = Lr Rr - Li Ri in re and Im = (S - Lr Rr) - Li Ri in im.
// The groups run are 0 ... count - 1, or with `sparse` groups[0 ... count - 1].
template <int rows, Pass pass, bool sparse>
inline void tile_pass(const double* l, const double* panel, int depth, const std::uint16_t* groups,
                      int count, double* re, double* im, int stride) {
  // The row loops are unrolled from the start (pragmas) so that the compiler
  // keeps lo and hi in registers; left to itself GCC stores them every step.
  __m256d lo[rows], hi[rows];
#pragma GCC unroll 8
  for (int r = 0; r < rows; ++r) lo[r] = hi[r] = _mm256_setzero_pd();
  for (int k = 0; k < count; ++k) {
    const int g = sparse ? groups[k] : k;
    const __m256d r_lo = _mm256_loadu_pd(panel + g * w);
    const __m256d r_hi = _mm256_loadu_pd(panel + g * w + 4);
#pragma GCC unroll 8
    for (int r = 0; r < rows; ++r) {
      const __m256d a = _mm256_broadcast_sd(l + static_cast<std::ptrdiff_t>(r) * depth + g);
      lo[r] = _mm256_fmadd_pd(a, r_lo, lo[r]);
      hi[r] = _mm256_fmadd_pd(a, r_hi, hi[r]);
    }
  }
  const auto finish = [&](std::ptrdiff_t at, __m256d sum) {
    if constexpr (pass == Pass::park_real) {
      _mm256_storeu_pd(re + at, sum);
    } else if constexpr (pass == Pass::park_imag) {
      _mm256_storeu_pd(im + at, sum);
    } else {
      const __m256d real = _mm256_loadu_pd(re + at);
      const __m256d imag = _mm256_loadu_pd(im + at);
      _mm256_storeu_pd(re + at, _mm256_sub_pd(real, imag));
      _mm256_storeu_pd(im + at, _mm256_sub_pd(_mm256_sub_pd(sum, real), imag));
    }
  };
#pragma GCC unroll 8
  for (int r = 0; r < rows; ++r) {
    finish(static_cast<std::ptrdiff_t>(r) * stride, lo[r]);
    finish(static_cast<std::ptrdiff_t>(r) * stride + 4, hi[r]);
  }
}

// One real product over every tile: panels outer, bands of six rows inner.
// The pass's L array (one third of L) stays in cache over the panels, and
// the panel of R over the bands; meanwhile every band asks for its share of
// the next panel, so that a panel that comes from memory arrives spread over
// the work instead of at once. Each tile runs over the groups with nonzero
// terms in it where the caller gave their spans, else over all.
template <Pass pass>
void run_pass(const ComplexProduct& p, const double* l, const double* r, const TileGroups& tiles) {
  const int rows = 2 * p.row_pairs;
  const int bands = (rows + 5) / 6;
  const int share = (p.depth + bands - 1) / bands;
  const bool sparse = tiles.sparse();
  for (int b = 0; b < p.col_blocks; ++b) {
    const double* panel = r + static_cast<std::ptrdiff_t>(b) * p.depth * w;
    const double* next = panel + static_cast<std::ptrdiff_t>(p.depth) * w;
    for (int i = 0, band = 0; i < rows; i += 6, ++band) {
      if (b + 1 < p.col_blocks) {
        const int end = (band + 1) * share < p.depth ? (band + 1) * share : p.depth;
        for (int g = band * share; g < end; ++g)  // one 64-byte line
          _mm_prefetch(reinterpret_cast<const char*>(next + g * w), _MM_HINT_T1);
      }
      const double* band_l = l + static_cast<std::ptrdiff_t>(i) * p.depth;
      double* re = p.p_re + static_cast<std::ptrdiff_t>(i) * p.p_stride + b * w;
      double* im = p.p_im + static_cast<std::ptrdiff_t>(i) * p.p_stride + b * w;
      if (sparse) {
        int count = 0;
        const std::uint16_t* groups = tiles.groups(band, b, count);
        if (i + 6 <= rows) {
          tile_pass<6, pass, true>(band_l, panel, p.depth, groups, count, re, im, p.p_stride);
        } else if (i + 4 == rows) {
          tile_pass<4, pass, true>(band_l, panel, p.depth, groups, count, re, im, p.p_stride);
        } else {
          tile_pass<2, pass, true>(band_l, panel, p.depth, groups, count, re, im, p.p_stride);
        }
      } else if (i + 6 <= rows) {
        tile_pass<6, pass, false>(band_l, panel, p.depth, nullptr, p.depth, re, im, p.p_stride);
      } else if (i + 4 == rows) {
        tile_pass<4, pass, false>(band_l, panel, p.depth, nullptr, p.depth, re, im, p.p_stride);
      } else {
        tile_pass<2, pass, false>(band_l, panel, p.depth, nullptr, p.depth, re, im, p.p_stride);
      }
    }
  }
}

}  // namespace

void complex_product_avx2(const ComplexProduct& p) {
  if (p.row_pairs == 0) return;  // no grid columns: nothing to form
  const TileGroups tiles(p, 6);
  run_pass<Pass::park_real>(p, p.l_re, p.r_re, tiles);
  run_pass<Pass::park_imag>(p, p.l_im, p.r_im, tiles);
  run_pass<Pass::combine>(p, p.l_sum, p.r_sum, tiles);
}

}  // namespace meridox::proximity
