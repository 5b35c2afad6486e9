#pragma once
// The three result tables of a projection run.
#include <string>

#include "projection/parameters.hpp"

namespace meridox::projection {

// Phase of a + ib in [-PI, PI): atan(b / a), moved by PI into the left half
// plane; 0 on the imaginary axis, and -PI on the negative real axis.
double spectrum_phase(double a, double b);

// "OUT_MR.txt": amplitude of the spectrum against the direction sine.
void write_amplitude_table(const std::string& path, const Parameters& parameters,
                           const Field& spectrum);
// "OUT_MI.txt": phase of the spectrum against the direction sine.
void write_phase_table(const std::string& path, const Parameters& parameters,
                       const Field& spectrum);
// "OUT_M.txt": image intensity against the position.
void write_intensity_table(const std::string& path, const Parameters& parameters,
                           const Intensity& intensity);

}  // namespace meridox::projection
