#include "proximity/complex_product.hpp"

#include "common/cpu_features.hpp"

namespace meridox::proximity {

void complex_product_portable(const ComplexProduct& p) {
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
      double s0_re[w] = {}, s0_im[w] = {}, s1_re[w] = {}, s1_im[w] = {};
      for (int g = 0; g < p.depth; ++g) {
        const double* rr = r_re + g * w;
        const double* ri = r_im + g * w;
        const double a0r = l0_re[g], a0i = l0_im[g];
        const double a1r = l1_re[g], a1i = l1_im[g];
        for (int c = 0; c < w; ++c) {
          s0_re[c] += a0r * rr[c] - a0i * ri[c];
          s0_im[c] += a0r * ri[c] + a0i * rr[c];
          s1_re[c] += a1r * rr[c] - a1i * ri[c];
          s1_im[c] += a1r * ri[c] + a1i * rr[c];
        }
      }
      double* out0_re = p.p_re + i0 * p.p_stride + b * w;
      double* out0_im = p.p_im + i0 * p.p_stride + b * w;
      for (int c = 0; c < w; ++c) {
        out0_re[c] = s0_re[c];
        out0_im[c] = s0_im[c];
        out0_re[c + p.p_stride] = s1_re[c];
        out0_im[c + p.p_stride] = s1_im[c];
      }
    }
  }
}

using Kernel = void (*)(const ComplexProduct&);

#if MERIDOX_WIDE_KERNELS
constexpr Kernel avx2_kernel = complex_product_avx2;
constexpr Kernel avx512_kernel = complex_product_avx512;
#else
constexpr Kernel avx2_kernel = nullptr;
constexpr Kernel avx512_kernel = nullptr;
#endif

Kernel complex_product_kernel(VectorLevel level) {
  return kernel_of_level<Kernel>(level, complex_product_portable, avx2_kernel, avx512_kernel);
}

void complex_product(const ComplexProduct& p) {
  static const Kernel chosen = choose_kernel<Kernel>(complex_product_portable, avx2_kernel, avx512_kernel);
  chosen(p);
}

}  // namespace meridox::proximity
