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

// Adds every rectangle's product to the field over N by N.
using AddRectangles = void (*)(const SpectrumTerms& terms, Field& field);

void add_rectangles_baseline(const SpectrumTerms& terms, Field& field);
// Built only with the wide kernels; call only where the processor has them.
void add_rectangles_avx2(const SpectrumTerms& terms, Field& field);
void add_rectangles_avx512(const SpectrumTerms& terms, Field& field);

// The version of one vector level, nullptr where this build or processor
// lacks it.
AddRectangles add_rectangles_of_level(VectorLevel level);
// The widest version this processor runs, chosen once.
AddRectangles add_rectangles();

}  // namespace meridox::projection
