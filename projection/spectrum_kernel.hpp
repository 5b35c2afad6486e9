#pragma once
// The accumulation of the mask spectrum: field[j][k] += t_q Fx_q[j] Fy_q[k]
// for every rectangle q in sheet order, each sample formed exactly as the
// documented evaluation forms it:
//   Pr = Fxr Fyr - Fxi Fyi,  Pi = Fxr Fyi + Fxi Fyr,
//   re = (re + t_re Pr) - t_im Pi,  im = (im + t_re Pi) + t_im Pr,
// with separate multiplies and adds, so that every version (baseline, AVX2,
// AVX-512) gives the same bits.
#include "common/cpu_features.hpp"
#include "projection/parameters.hpp"

namespace meridox::projection {

// What a transmission part is exactly, so that exact products can be left out
// without changing a bit:
// - one or minus one: a product with it is exact (the sign at most);
// - zero, when the rectangle's one-dimensional spectra are all finite: the
//   term is then a zero, and adding or subtracting a zero leaves every field
//   value as it is, because no field value is ever -0 (it starts at +0, and a
//   sum or difference of round-to-nearest arithmetic is -0 only when its first
//   operand is -0 already);
// - any other value (infinite or NaN included): the product is formed.
enum PartForm : unsigned char { part_zero = 0, part_one = 1, part_minus_one = 2, part_any = 3 };

// The form of a transmission, as part_form(re) * 4 + part_form(im).
unsigned char transmission_form(double t_re, double t_im, bool finite_spectra);

// The rectangles' one-dimensional spectra and transmissions; row q of fx_re
// (and of the others) starts at q * n.
struct SpectrumTerms {
  int n = 0;
  int count = 0;
  const double* fx_re = nullptr;
  const double* fx_im = nullptr;
  const double* fy_re = nullptr;
  const double* fy_im = nullptr;
  const double* t_re = nullptr;
  const double* t_im = nullptr;
  const unsigned char* form = nullptr;  // transmission_form of each rectangle
};

// The two loops of the spectrum, in one version each per vector level.
struct SpectrumKernels {
  // One rectangle's one-dimensional spectrum along an axis, from the sines
  // and cosines at its two edges: re[j] = (s2[j] - s1[j]) / w[j],
  // im[j] = (c2[j] - c1[j]) / w[j] for j < n.
  void (*axis)(const double* s1, const double* s2, const double* c1, const double* c2,
               const double* w, double* re, double* im, int n);
  // Adds every rectangle's product to the field over N by N.
  void (*add)(const SpectrumTerms& terms, Field& field);
};

// Built only with the wide kernels; use only where the processor has them.
extern const SpectrumKernels spectrum_kernels_avx2;
extern const SpectrumKernels spectrum_kernels_avx512;

// The versions of one vector level, nullptr where this build or processor
// lacks them.
const SpectrumKernels* spectrum_kernels_of_level(VectorLevel level);
// The versions mask_spectrum uses, chosen once: AVX2 where the processor has
// it. The AVX-512 versions give the same bits but measured slower on a
// processor that splits 512-bit operations in two (AMD Zen 4), so they are
// built, tested and benchmarked but not chosen.
const SpectrumKernels& spectrum_kernels();

}  // namespace meridox::projection
