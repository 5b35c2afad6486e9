// AVX2 + FMA version of the complex product. This file is compiled with
// -mavx2 -mfma and holds nothing but the kernel, so that no code built for
// those instructions can be shared with (and run by) the portable build.
//
// Like the AVX-512 kernel it forms each product from three real products
// (Re = Lr Rr - Li Ri, Im = (Lr + Li)(Rr + Ri) - Lr Rr - Li Ri), each summed
// over the groups in ascending order with one fused multiply-add per term,
// and combined in the same order: the two kernels give the same bits. A tile
// of up to six rows by one 8-column panel takes the three real products one
// after the other, each with its twelve accumulators in registers; the first
// two are parked in the output and read back by the third.
#include <immintrin.h>

#include <cstddef>

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
inline void tile_pass(const double* l, const double* panel, int depth, const int* groups, int count,
                      double* re, double* im, int stride) {
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

template <int rows, bool sparse>
void tile(const ComplexProduct& p, int b, int i0, const int* groups, int count) {
  const std::ptrdiff_t panel = static_cast<std::ptrdiff_t>(b) * p.depth * w;
  const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(i0) * p.depth;
  double* re = p.p_re + static_cast<std::ptrdiff_t>(i0) * p.p_stride + b * w;
  double* im = p.p_im + static_cast<std::ptrdiff_t>(i0) * p.p_stride + b * w;
  tile_pass<rows, Pass::park_real, sparse>(p.l_re + first, p.r_re + panel, p.depth, groups, count,
                                           re, im, p.p_stride);
  tile_pass<rows, Pass::park_imag, sparse>(p.l_im + first, p.r_im + panel, p.depth, groups, count,
                                           re, im, p.p_stride);
  tile_pass<rows, Pass::combine, sparse>(p.l_sum + first, p.r_sum + panel, p.depth, groups, count,
                                         re, im, p.p_stride);
}

}  // namespace

void complex_product_avx2(const ComplexProduct& p) {
  const int rows = 2 * p.row_pairs;
  if (rows == 0) return;  // no grid columns: nothing to form
  const int bands = (rows + 5) / 6;
  // Each panel stays in cache while the bands of L pass over it; meanwhile
  // every band asks for its share of the next panel, so that a panel that
  // comes from memory arrives spread over the work instead of at once.
  const int share = (p.depth + bands - 1) / bands;
  // Each tile runs over the groups with nonzero terms in it where the caller
  // gave their spans, else over all.
  const TileGroups tiles(p, 6);
  const bool sparse = tiles.sparse();
  int groups[product_depth_max];
  for (int b = 0; b < p.col_blocks; ++b) {
    const std::ptrdiff_t next = static_cast<std::ptrdiff_t>(b + 1) * p.depth * w;
    for (int i = 0, band = 0; i < rows; i += 6, ++band) {
      if (b + 1 < p.col_blocks) {
        const int end = (band + 1) * share < p.depth ? (band + 1) * share : p.depth;
        for (int g = band * share; g < end; ++g) {  // one 64-byte line per array
          _mm_prefetch(reinterpret_cast<const char*>(p.r_re + next + g * w), _MM_HINT_T1);
          _mm_prefetch(reinterpret_cast<const char*>(p.r_im + next + g * w), _MM_HINT_T1);
          _mm_prefetch(reinterpret_cast<const char*>(p.r_sum + next + g * w), _MM_HINT_T1);
        }
      }
      if (sparse) {
        const int count = tiles.list(band, b, groups);
        if (i + 6 <= rows) {
          tile<6, true>(p, b, i, groups, count);
        } else if (i + 4 == rows) {
          tile<4, true>(p, b, i, groups, count);
        } else {
          tile<2, true>(p, b, i, groups, count);
        }
      } else if (i + 6 <= rows) {
        tile<6, false>(p, b, i, nullptr, p.depth);
      } else if (i + 4 == rows) {
        tile<4, false>(p, b, i, nullptr, p.depth);
      } else {
        tile<2, false>(p, b, i, nullptr, p.depth);
      }
    }
  }
}

}  // namespace meridox::proximity
