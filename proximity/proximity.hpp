#pragma once

#include <string>

namespace meridox::proximity {

// One complete run: read the parameter sheet, compute, write the tables.
void run();

// Steps of the run, in the order run() takes them.
void clear_intensity();
// Sums the intensity of every source point (factorised evaluation), or,
// when wavelength * gap gives no Fresnel scale, marks every intensity NaN.
void integrate_source();
void average_intensity();
void write_intensity_table(const std::string& path);

}  // namespace meridox::proximity
