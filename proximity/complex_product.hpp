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

#include "common/cpu_features.hpp"

namespace meridox::proximity {

inline constexpr int product_block = 8;

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
