#pragma once
// Parameters, mask and result grids of the proximity calculator, and the
// conversion of the parameter sheet into them.
#include "proximity/layout.hpp"

namespace meridox::proximity {

inline constexpr int max_steps = cell_of(layout, "x_steps").high;  // grid intervals per axis
static_assert(cell_of(layout, "y_steps").high == max_steps);
inline constexpr int max_points = max_steps + 1;
inline constexpr int max_rects = cell_of(layout, "rect_count").high;  // sheet rows 14 ... 699
inline constexpr int source_radius = 5;        // source lattice radius in lattice steps
inline constexpr int source_offsets = 2 * source_radius + 1;

// Parameters of the run.
extern double wavelength;
extern double gap;
extern double source_half_angle;
extern double x_start, x_end;
extern int x_steps;  // at most max_steps; 0 is a single column, negative none
extern double y_start, y_end;
extern int y_steps;
extern int rect_count;  // 0 ... max_rects

// Rectangle list: transmission t_re + i t_im over [x1, x2] x [y1, y2].
extern double rect_t_re[max_rects];
extern double rect_t_im[max_rects];
extern double rect_x1[max_rects];
extern double rect_x2[max_rects];
extern double rect_y1[max_rects];
extern double rect_y2[max_rects];

// Amplitude of the current source point and the running intensity sum,
// indexed [x index][y index].
extern double field_re[max_points][max_points];
extern double field_im[max_points][max_points];
extern double intensity[max_points][max_points];
extern int source_count;

// Converts the cells of the sheet into the parameters. Step counts above
// max_steps are used as max_steps, a rectangle count above max_rects as
// max_rects and one below 0 as 0.
void read_parameters(const Sheet& sheet);

// Number of grid columns and rows actually computed (0 for a negative count).
int column_count();
int row_count();
// Grid spacing; 0 for a single column or row.
double x_spacing();
double y_spacing();
// Coordinates printed in the table.
double table_x(int i);
double table_y(int j);

// Fresnel scale sqrt(2 / (wavelength * gap)); false (and no scale) when the
// product is not positive or not a number.
bool fresnel_scale(double& scale);

// Lateral offset of source lattice index i (-source_radius ... source_radius).
double source_offset(int i);

// Whether lattice point (i, j) lies in the source disc.
inline bool in_source_disc(int i, int j) {
  return i * i + j * j <= source_radius * source_radius;
}

}  // namespace meridox::proximity
