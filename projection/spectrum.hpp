#pragma once
// The Fourier spectrum of the mask of rectangles, in closed form.
#include "projection/parameters.hpp"
#include "projection/spectrum_kernel.hpp"

namespace meridox::projection {

// Fills field.re and field.im over N by N with the mask spectrum, moved by the
// tilt of the illumination. Each rectangle adds t * Fx(vx_j) * Fy(vy_k), where
// Fx is (1/N) times the integral of exp(-i 2 pi v x / N) over the rectangle's
// x extent (and Fy likewise along y). Every value is the exact result of the
// documented evaluation: rectangles in sheet order, the same products and sums
// in the same order for every sample, so the printed spectrum is reproducible
// to the last bit.
void mask_spectrum(const Parameters& parameters, Field& field);

// The same with given versions of its loops (tests run each one).
void mask_spectrum(const Parameters& parameters, Field& field, const SpectrumKernels& kernels);

}  // namespace meridox::projection
