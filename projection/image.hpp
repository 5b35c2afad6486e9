#pragma once
// Partially coherent image formation: for each source point the mask spectrum
// is moved under the pupil, carried to the image plane by an inverse
// transform that adds defocus and wavefront aberration, and its intensity is
// added; the sum is divided by the number of source points.
#include "projection/parameters.hpp"

namespace meridox::projection {

// The image intensity of the mask whose spectrum is given, over N by N. The
// trapezoidal sums of the transform are evaluated as products with kernel
// matrices that hold the pupil phase, restricted to the samples inside the
// pupil, once per distinct source shift.
void form_image(const Parameters& parameters, const Field& spectrum, Intensity& intensity);

// The direct evaluation, kept as the reference the fast path is checked
// against: every source point, every line and every trapezoid summed one by
// one. `field` holds the spectrum on entry and the image field of the last
// source point on return.
void form_image_direct(const Parameters& parameters, Field& field, Intensity& intensity);

// The two-dimensional inverse transform with pupil phase, in place: the lines
// along y with the aber_y coefficients, then the lines along x with aber_x.
void inverse_transform_2d_direct(const Parameters& parameters, Field& field);

// One line of count samples, in place. axis 1 selects the aber_y
// coefficients, any other value aber_x.
void inverse_transform_1d_direct(const Parameters& parameters, double* re, double* im, int count,
                                 int axis);

}  // namespace meridox::projection
