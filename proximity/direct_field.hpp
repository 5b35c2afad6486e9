#pragma once
// The literal diffraction sum: every rectangle, grid point and source point
// looks its Fresnel integrals up afresh, rectangles in ascending order. Kept
// as the reference that the factorised evaluation is checked against.

namespace meridox::proximity {

// Amplitude of the whole mask at every grid point for one source point with
// lateral offsets (Ox, Oy), into field_re / field_im. `scale` is the Fresnel
// scale sqrt(2 / (wavelength * gap)).
void aperture_field(const double& Ox, const double& Oy, double scale);

// intensity += |field|^2 over the grid.
void add_intensity();

// Sums the intensities of all source lattice points into `intensity`
// (not averaged) with aperture_field and add_intensity; sets source_count.
void integrate_source_direct(double scale);

}  // namespace meridox::proximity
