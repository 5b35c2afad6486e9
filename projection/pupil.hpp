#pragma once
// The pupil of the projection lens and the source points of the illumination,
// shared by the fast image formation and its direct reference.
#include <array>

#include "projection/parameters.hpp"

namespace meridox::projection {

// Pupil radius in frequency samples: NA pitch N / wavelength.
double pupil_radius(const Parameters& parameters);

// Whether frequency sample [c][i] lies in the pupil of radius r around the
// centre sample [c0][c0]: the squared distance, an integer, compared in double
// with r * r. The rim counts as inside; a NaN radius holds no sample.
inline bool in_pupil(int c, int i, int c0, double r) {
  const int dc = c - c0;
  const int di = i - c0;
  return static_cast<double>(dc * dc + di * di) <= r * r;
}

// A source point on the square lattice of spacing sigma NA / 2.
struct SourcePoint {
  int m;
  int n;
};

// The 13 lattice points with m*m + n*n <= 4, m outer and n inner from -2 to 2.
inline constexpr int source_point_count = 13;
inline constexpr std::array<SourcePoint, source_point_count> source_points = {{
    {-2, 0},
    {-1, -1}, {-1, 0}, {-1, 1},
    {0, -2}, {0, -1}, {0, 0}, {0, 1}, {0, 2},
    {1, -1}, {1, 0}, {1, 1},
    {2, 0},
}};

// The shift of the spectrum, in whole frequency samples, for lattice index m:
// floor(m NA sigma / 2 pitch N / wavelength + 0.5), the nearest sample with
// halves rounded up. A shift of a whole grid or more, or one that is not a
// number, moves every sample off the grid and is returned as +-N (N for NaN),
// so that it never overflows an int.
int source_shift(int m, const Parameters& parameters);

}  // namespace meridox::projection
