#pragma once
// Pictures of result tables, drawn with PLplot's cairo PNG driver: heat maps
// at equal scale on both axes with a colour scale for the optics maps, line
// charts for the plate and stage tables. PLplot runs in a child process, so
// that its own fatal errors end the child and come back as one line.
#include <limits>
#include <string>
#include <vector>

#include "host/core/servo_loop.hpp"
#include "host/core/tables.hpp"

namespace meridox::host {

struct PlotOptions {
  int width = 960;
  int height = 720;
  std::string length_unit;   // unit of the tables' lengths as drawn; empty when not known
  double length_scale = 1.0; // a map's lengths times this are in length_unit
  bool log_amplitude = false;  // spectrum amplitude on a logarithmic scale
  // Projection: the pupil (NA) and source (sigma NA) circles on the spectrum.
  double na = std::numeric_limits<double>::quiet_NaN();
  double sigma = std::numeric_limits<double>::quiet_NaN();
  // Projection: the amplitude table, to mask the phase where the amplitude
  // is negligible; empty when not at hand.
  std::string amplitude_table;
  // Stages: the column of the servo error, the length of one count and the
  // settling band (both in mm); NaN when not known.
  std::size_t error_column = 0;
  double count = std::numeric_limits<double>::quiet_NaN();
  double band = std::numeric_limits<double>::quiet_NaN();
  // Stages: the history of every step, reduced per pixel column, drawn in
  // place of the table's rows; without it, `rows_note` (when not empty) says
  // on the picture what the rows drawn leave out.
  const DrawnHistory* every_step = nullptr;
  std::string rows_note;
  // The sheet's texts of the tables' unit words other than the length.
  UnitWords units;
};

// The picture size bounds, checked before anything runs.
inline constexpr int smallest_picture = 64;
inline constexpr int largest_picture = 8192;

// Why a picture cannot be written at `png_path` (a link, a folder, a device,
// a missing or unwritable folder), or an empty string when it can. A picture
// is only ever written to a new name or over a regular file.
std::string picture_path_problem(const std::string& png_path);

// Draws the table into a PNG file. Returns an empty string on success,
// otherwise why nothing was drawn; nothing is left at png_path then.
std::string plot_table(const ResultTable& table, const std::string& png_path, const PlotOptions& options);

// A line chart of curves against one axis, each with its legend label;
// dashed horizontal lines at `levels` (a target and its tolerance).
struct ChartCurve {
  std::string label;
  std::vector<double> x, y;
};
struct Chart {
  std::string title, x_label, y_label;
  std::vector<ChartCurve> curves;
  std::vector<double> levels;
};

// Draws the chart into a PNG file, as plot_table does.
std::string plot_chart(const Chart& chart, const std::string& png_path, const PlotOptions& options);

// The Bode picture of a stage's linearised loop: the gains of the open loop
// L, the closed loop T and the sensitivity S in dB, and the phase of L,
// against frequency on a logarithmic axis, with the crossovers marked.
std::string plot_loop(const LoopAnalysis& loop, const std::string& png_path, const PlotOptions& options);

// The exposure-defocus window: on the left the focus-dose plane with the cd
// limit contours, the window (shaded between its lowest and highest dose)
// and its rectangles; on the right the exposure latitude against the depth
// of focus.
struct WindowBox {
  std::string label;
  double focus_low, focus_high, dose_low, dose_high;
};
struct WindowPicture {
  std::string title, focus_label, dof_label;
  std::vector<ChartCurve> contours;  // dose against focus
  ChartCurve lower, upper;           // the window's boundary, NaN where it is closed
  std::vector<WindowBox> boxes;
  double best_focus = std::numeric_limits<double>::quiet_NaN();
  double dose_to_size = std::numeric_limits<double>::quiet_NaN();
  ChartCurve el_dof;  // x: depth of focus, y: exposure latitude in percent
  std::string note;   // under the title of the plane
};
std::string plot_process_window(const WindowPicture& picture, const std::string& png_path, const PlotOptions& options);

}  // namespace meridox::host
