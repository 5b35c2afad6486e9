#pragma once
// Parameters of a projection run and the grids the run works on.
#include "projection/layout.hpp"

namespace meridox::projection {

// Largest grid side and rectangle count a sheet may ask for.
inline constexpr int max_grid = cell_of(layout, "grid_size").high;
inline constexpr int max_rectangles = cell_of(layout, "rect_count").high;

// The value of pi used throughout the calculator.
inline constexpr double PI = 3.14159265358979;

struct Parameters {
  int grid_size = 0;  // samples per side N
  double pitch = 0;   // sample pitch, in the length unit of the sheet
  double wavelength = 0;
  double NA = 0;     // numerical aperture: pupil radius in direction sines
  double sigma = 0;  // source radius as a fraction of NA
  double tilt_x = 0;  // direction sines of the illumination
  double tilt_y = 0;
  double defocus = 0;
  double aber_x[7] = {};  // wavefront coefficients of the powers 1 to 6 (index 0 unused)
  double aber_y[7] = {};
  int rect_count = 0;
  // Rectangle q: amplitude transmission and edges in grid units from the centre.
  double rect_t_re[max_rectangles] = {};
  double rect_t_im[max_rectangles] = {};
  double rect_x1[max_rectangles] = {};
  double rect_x2[max_rectangles] = {};
  double rect_y1[max_rectangles] = {};
  double rect_y2[max_rectangles] = {};
};

// The centre sample of a grid of n samples: n / 2 in integers.
inline int centre_index(int n) { return n / 2; }

// Converts the sheet's cells into parameters and applies the limits: the grid
// side and the rectangle count are capped, every edge is kept within half a
// grid of the centre. Rectangles on rows the sheet does not have read as
// empty cells (transmission 0).
void read_parameters(const Sheet& sheet, Parameters& out);

// A complex amplitude on the grid, first index along x, second along y.
struct Field {
  double re[max_grid][max_grid];
  double im[max_grid][max_grid];
};

// Image intensity on the grid, first index along x, second along y.
struct Intensity {
  double at[max_grid][max_grid];
};

}  // namespace meridox::projection
