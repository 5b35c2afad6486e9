#include "projection/pupil.hpp"

#include <cmath>

namespace meridox::projection {

double pupil_radius(const Parameters& p) {
  return p.NA * p.pitch * static_cast<double>(p.grid_size) / p.wavelength;
}

int source_shift(int m, const Parameters& p) {
  const int n = p.grid_size;
  const double nd = n;
  const double shift = std::floor(m * p.NA * p.sigma / 2 * p.pitch * nd / p.wavelength + 0.5);
  if (std::isnan(shift)) return n;
  if (shift >= n) return n;
  if (shift <= -n) return -n;
  return static_cast<int>(shift);
}

}  // namespace meridox::projection
