#pragma once
// The complex matrix product at the heart of the factorised field:
//   P[i][j] = sum over g of L[i][g] * R[g][j]
// with real and imaginary parts in separate arrays.
//
// Layouts (all row counts padded by the caller with zeros):
//   L: row i at l_re + i * depth (rows come in pairs),
//   R: panels of 8 columns, element (g, 8 * b + c) at r_re[(b * depth + g) * 8 + c],
//   P: element (i, j) at p_re[i * p_stride + j]; every element of the
//      2 * row_pairs x 8 * col_blocks block is overwritten.
// The order in which the products are summed is the kernel's own.
//
// Factors of the diffraction sum vanish exactly where a grid line lies far
// beyond both edges of a rectangle (both Fresnel integrals at their limit),
// so many terms L[i][g] R[g][j] are exact zeros. Where the caller gives the
// spans of the nonzero factors, a kernel leaves out the terms of a tile that
// are zero by them: every accumulator takes the same nonzero terms in the
// same order, so the products keep their bits (up to the sign of an exact
// zero, which no intensity sees).

#include <cstdint>

#include "common/cpu_features.hpp"

namespace meridox::proximity {

inline constexpr int product_block = 8;
// The largest products whose zero terms kernels leave out (larger ones run
// whole): a sheet's rectangles and its grid lines padded to whole panels.
inline constexpr int product_depth_max = 686;
inline constexpr int product_rows_max = 144;
inline constexpr int product_panels_max = product_rows_max / product_block;

// Rows (of L) or columns (of R) first <= k < end of one group outside which
// its factors are exactly zero; first == end where all are.
struct GroupSpan {
  int first;
  int end;
};

struct ComplexProduct {
  int depth;
  int row_pairs;
  int col_blocks;
  const double* l_re;
  const double* l_im;
  const double* r_re;
  const double* r_im;
  // l_re + l_im and r_re + r_im, element by element, in the same layouts,
  // for kernels that form the product from three real products.
  const double* l_sum;
  const double* r_sum;
  double* p_re;
  double* p_im;
  int p_stride;
  // Spans of the nonzero factors by group, or nullptr for both: every term
  // counts. Give them only where every value of L and R (sums included) is
  // finite, since a left-out 0 * inf would have made a NaN.
  const GroupSpan* l_span = nullptr;
  const GroupSpan* r_span = nullptr;
};

// The groups a kernel runs over for each tile: those whose terms can be
// nonzero somewhere in its rows and panel, in ascending order. The lists of
// every tile are formed at once, so that a kernel taking the three real
// products one after the other reads them again instead of forming them
// three times; they live in storage of complex_product.cpp, so one
// TileGroups at a time (the calculator runs on its caller's thread). Its
// functions are built for any x86-64, so that the wide kernels share no
// inline code with the rest.
class TileGroups {
 public:
  // Tiles of `band_rows` rows (even, 2 ... 12; the last band may hold fewer) by
  // one panel.
  TileGroups(const ComplexProduct& p, int band_rows);
  // False where no spans were given or the product is too large for the
  // lists: then every tile runs over every group.
  bool sparse() const;
  // The groups of the tile of rows band * band_rows ... and panel `panel`,
  // `count` of them. Only where sparse().
  const std::uint16_t* groups(int band, int panel, int& count) const;

 private:
  bool sparse_ = false;
  int bands_ = 0;
};

// Portable kernel, any x86-64 (or other) processor.
void complex_product_portable(const ComplexProduct& p);
// AVX2 + FMA kernel and AVX-512 kernel (built only with the wide kernels);
// call only where the processor has them.
void complex_product_avx2(const ComplexProduct& p);
void complex_product_avx512(const ComplexProduct& p);
// The kernel of one vector level, nullptr where this build or processor
// lacks it.
void (*complex_product_kernel(VectorLevel level))(const ComplexProduct&);
// The widest kernel this processor runs, chosen once.
void complex_product(const ComplexProduct& p);

}  // namespace meridox::proximity
