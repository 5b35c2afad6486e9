#include "projection/spectrum_kernel.hpp"

#include <cmath>

namespace meridox::projection {
namespace {
#include "projection/spectrum_kernel_body.hpp"

unsigned char part_form(double part, bool finite_spectra) {
  if (part == 1) return part_one;
  if (part == -1) return part_minus_one;
  if (part == 0 && finite_spectra) return part_zero;
  return part_any;
}

using Kernel = AddRectangles;

#if MERIDOX_WIDE_KERNELS
constexpr Kernel avx2_kernel = add_rectangles_avx2;
constexpr Kernel avx512_kernel = add_rectangles_avx512;
#else
constexpr Kernel avx2_kernel = nullptr;
constexpr Kernel avx512_kernel = nullptr;
#endif

}  // namespace

unsigned char transmission_form(double t_re, double t_im, bool finite_spectra) {
  return static_cast<unsigned char>(part_form(t_re, finite_spectra) * 4 +
                                    part_form(t_im, finite_spectra));
}

void add_rectangles_baseline(const SpectrumTerms& terms, Field& field) { add_all(terms, field); }

AddRectangles add_rectangles_of_level(VectorLevel level) {
  return kernel_of_level<Kernel>(level, add_rectangles_baseline, avx2_kernel, avx512_kernel);
}

AddRectangles add_rectangles() {
  static const Kernel chosen =
      choose_kernel<Kernel>(add_rectangles_baseline, avx2_kernel, avx512_kernel);
  return chosen;
}

}  // namespace meridox::projection
