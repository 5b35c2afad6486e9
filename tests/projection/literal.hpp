#pragma once
// An independent, literal evaluation of a projection run, written straight
// from the calculator's documented steps (one rectangle, one sample, one
// trapezoid, one source point at a time) for comparison with the library's
// result tables.
#include <array>
#include <random>
#include <string>
#include <vector>

namespace meridox::testing::literal {

inline constexpr double PI = 3.14159265358979;

// A parameter sheet as the test writes it.
struct Case {
  int grid_size = 0;
  double pitch = 0, wavelength = 0, NA = 0, sigma = 0, tilt_x = 0, tilt_y = 0, defocus = 0;
  std::array<double, 7> aber_x{}, aber_y{};  // [1..6]
  int rect_count = 0;
  // One sheet line per rectangle from row 25 on: t_re, t_im, x1, x2, y1, y2.
  std::vector<std::array<double, 6>> rows;
};

// The sheet text (CR LF line ends).
std::string sheet_text(const Case& c);

// A random case: n samples, `rects` rectangles (all written to the sheet),
// moderate optics with every coefficient set.
Case random_case(std::mt19937_64& rng, int n, int rects);

// A complex grid [j][k] of side n, stored row by row.
struct Grid {
  int n = 0;
  std::vector<double> re, im;
  double& r(int j, int k) { return re[static_cast<std::size_t>(j) * n + k]; }
  double& i(int j, int k) { return im[static_cast<std::size_t>(j) * n + k]; }
};

// The mask spectrum after reading the sheet with its limits (N above 128
// becomes 128, more than 1000 rectangles become 1000, edges are limited to
// +-N/2, rows beyond the sheet grid read as empty).
Grid spectrum(const Case& c);
// The image intensity [j][k] of that spectrum, N * N values.
std::vector<double> image(const Case& c, const Grid& spectrum);

// The expected bytes of the three tables.
std::string amplitude_table(const Case& c, const Grid& spectrum);
std::string phase_table(const Case& c, const Grid& spectrum);
std::string intensity_table(const Case& c, const std::vector<double>& image);

// The side of the grid the run uses.
int used_grid_size(const Case& c);

}  // namespace meridox::testing::literal
