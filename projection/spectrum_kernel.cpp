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

using Kernels = const SpectrumKernels*;

const SpectrumKernels baseline_kernels = {axis_row, add_all};

#if MERIDOX_WIDE_KERNELS
constexpr Kernels avx2_kernels = &spectrum_kernels_avx2;
constexpr Kernels avx512_kernels = &spectrum_kernels_avx512;
#else
constexpr Kernels avx2_kernels = nullptr;
constexpr Kernels avx512_kernels = nullptr;
#endif

}  // namespace

unsigned char transmission_form(double t_re, double t_im, bool finite_spectra) {
  return static_cast<unsigned char>(part_form(t_re, finite_spectra) * 4 +
                                    part_form(t_im, finite_spectra));
}

const SpectrumKernels* spectrum_kernels_of_level(VectorLevel level) {
  return kernel_of_level<Kernels>(level, &baseline_kernels, avx2_kernels, avx512_kernels);
}

const SpectrumKernels& spectrum_kernels() {
  static const Kernels chosen = choose_kernel<Kernels>(&baseline_kernels, avx2_kernels, nullptr);
  return *chosen;
}

}  // namespace meridox::projection
