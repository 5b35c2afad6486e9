#include "host/plot.hpp"

#include <plplot.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

namespace meridox::host {
namespace {

// PLplot ends the process when a device is missing, so look first.
bool png_driver_available() {
  const char** menu = nullptr;
  const char** names = nullptr;
  int count = 64;
  std::vector<const char*> menu_store(64), name_store(64);
  menu = menu_store.data();
  names = name_store.data();
  plgDevs(&menu, &names, &count);
  for (int k = 0; k < count; ++k) {
    if (names[k] && std::strcmp(names[k], "pngcairo") == 0) return true;
  }
  return false;
}

struct Range {
  double low, high;
};

// The finite range of some values, widened when it is a single value.
Range finite_range(const std::vector<double>& values) {
  double low = INFINITY, high = -INFINITY;
  for (const double v : values) {
    if (!std::isfinite(v)) continue;
    low = std::min(low, v);
    high = std::max(high, v);
  }
  if (!(low <= high)) return {0.0, 1.0};
  if (low == high) {
    const double pad = low == 0.0 ? 1.0 : std::fabs(low) * 0.1;
    return {low - pad, high + pad};
  }
  return {low, high};
}

Range padded(Range r) {
  const double pad = (r.high - r.low) * 0.05;
  return {r.low - pad, r.high + pad};
}

void start_page(const std::string& path, const PlotOptions& o) {
  plsdev("pngcairo");
  plsfnam(path.c_str());
  plspage(0.0, 0.0, o.width, o.height, 0, 0);
  // White background, black text.
  plscolbg(255, 255, 255);
  plscol0(1, 0, 0, 0);
  plscol0(15, 255, 255, 255);
  // Curve colours that read on white: red, green, blue.
  plscol0(2, 200, 30, 30);
  plscol0(3, 0, 140, 0);
  plscol0(9, 20, 60, 200);
  plinit();
}

// Colours from dark blue through green to yellow, even in lightness.
void set_heat_palette() {
  PLFLT pos[] = {0.0, 0.25, 0.5, 0.75, 1.0};
  PLFLT r[] = {0.27, 0.23, 0.13, 0.37, 0.99};
  PLFLT g[] = {0.00, 0.32, 0.57, 0.79, 0.91};
  PLFLT b[] = {0.33, 0.55, 0.55, 0.38, 0.14};
  plscmap1n(256);
  plscmap1l(1, 5, pos, r, g, b, nullptr);
}

std::string with_unit(const char* name, const std::string& unit) {
  return unit.empty() ? std::string(name) : std::string(name) + " (" + unit + ")";
}

void draw_map(TableKind kind, const MapTable& map, const PlotOptions& o) {
  const std::size_t nx = map.x.size(), ny = map.y.size();
  std::string title, x_label, y_label, bar;
  const std::string length = o.length_unit.empty() ? std::string("length unit of the sheet") : o.length_unit;
  switch (kind) {
    case TableKind::image:
      title = "Projection image: intensity";
      x_label = with_unit("x", length);
      y_label = with_unit("y", length);
      bar = "intensity (1 = clear field)";
      break;
    case TableKind::spectrum_amplitude:
      title = "Mask spectrum: amplitude";
      x_label = "direction sine x";
      y_label = "direction sine y";
      bar = "amplitude";
      break;
    case TableKind::spectrum_phase:
      title = "Mask spectrum: phase";
      x_label = "direction sine x";
      y_label = "direction sine y";
      bar = "phase (rad)";
      break;
    case TableKind::proximity_image:
      title = "Proximity image: relative intensity";
      x_label = with_unit("x", length);
      y_label = with_unit("y", length);
      bar = "relative intensity (1 = open light)";
      break;
    default:
      title = "Map";
      x_label = "x";
      y_label = "y";
      bar = "value";
      break;
  }
  const Range z = finite_range(map.values);
  PLFLT** data = nullptr;
  plAlloc2dGrid(&data, static_cast<PLINT>(nx), static_cast<PLINT>(ny));
  for (std::size_t i = 0; i < nx; ++i) {
    for (std::size_t j = 0; j < ny; ++j) {
      const double v = map.at(i, j);
      data[i][j] = std::isfinite(v) ? v : z.low;
    }
  }
  // Each sample covers half a step on either side of its coordinate.
  const double dx = nx > 1 ? (map.x.back() - map.x.front()) / static_cast<double>(nx - 1) : 1.0;
  const double dy = ny > 1 ? (map.y.back() - map.y.front()) / static_cast<double>(ny - 1) : 1.0;
  double x0 = map.x.front() - dx / 2, x1 = map.x.back() + dx / 2;
  double y0 = map.y.front() - dy / 2, y1 = map.y.back() + dy / 2;
  if (x0 == x1) x1 = x0 + 1.0;
  if (y0 == y1) y1 = y0 + 1.0;
  set_heat_palette();
  pladv(0);
  plvpor(0.10, 0.78, 0.10, 0.90);
  plwind(std::min(x0, x1), std::max(x0, x1), std::min(y0, y1), std::max(y0, y1));
  plcol0(1);
  plimage(static_cast<PLFLT_MATRIX>(data), static_cast<PLINT>(nx), static_cast<PLINT>(ny), x0, x1, y0, y1,
          z.low, z.high, std::min(x0, x1), std::max(x0, x1), std::min(y0, y1), std::max(y0, y1));
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(x_label.c_str(), y_label.c_str(), title.c_str());
  plFree2dGrid(data, static_cast<PLINT>(nx), static_cast<PLINT>(ny));

  PLFLT bar_width = 0, bar_height = 0;
  const char* labels[] = {bar.c_str()};
  PLINT label_opts[] = {PL_COLORBAR_LABEL_RIGHT};
  const char* axis_opts[] = {"bcvtm"};
  PLFLT ticks[] = {0.0};
  PLINT sub_ticks[] = {0};
  PLINT n_values[] = {2};
  PLFLT range[] = {z.low, z.high};
  const PLFLT* values[] = {range};
  plcolorbar(&bar_width, &bar_height, PL_COLORBAR_IMAGE, PL_POSITION_RIGHT | PL_POSITION_VIEWPORT, 0.04,
             0.0, 0.04, 0.8, 0, 1, 1, 0.0, 0.0, 0, 0.0, 1, label_opts, labels, 1, axis_opts, ticks, sub_ticks,
             n_values, values);
}

struct Curve {
  std::size_t column;
  const char* name;
  int colour;  // PLplot colour map 0 index
};

struct Panel {
  const char* title;
  const char* y_label;
  std::vector<Curve> curves;
};

// One chart panel: curves against the first column, broken where a value
// is not finite.
void draw_panel(const ColumnTable& t, const Panel& p, const char* x_label) {
  const std::vector<double>& x = t.columns[0];
  std::vector<double> all;
  for (const Curve& c : p.curves) all.insert(all.end(), t.columns[c.column].begin(), t.columns[c.column].end());
  const Range xr = finite_range(x);
  const Range yr = padded(finite_range(all));
  pladv(0);
  plvsta();
  plwind(xr.low, xr.high, yr.low, yr.high);
  plcol0(1);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  std::string title = p.title;
  if (p.curves.size() > 1) {
    title += ":";
    for (const Curve& c : p.curves) title += std::string(" ") + c.name;
  }
  pllab(x_label, p.y_label, title.c_str());
  for (const Curve& c : p.curves) {
    plcol0(c.colour);
    plwidth(2.0);
    std::vector<PLFLT> xs, ys;
    const std::vector<double>& y = t.columns[c.column];
    auto flush = [&] {
      if (xs.size() >= 2) plline(static_cast<PLINT>(xs.size()), xs.data(), ys.data());
      xs.clear();
      ys.clear();
    };
    for (std::size_t k = 0; k < y.size(); ++k) {
      if (std::isfinite(x[k]) && std::isfinite(y[k])) {
        xs.push_back(x[k]);
        ys.push_back(y[k]);
      } else {
        flush();
      }
    }
    flush();
    plwidth(1.0);
  }
}

void draw_columns(TableKind kind, const ColumnTable& t) {
  constexpr int red = 2, blue = 9, green = 3;
  std::vector<Panel> panels;
  const char* x_label = "t (s)";
  int columns = 1;
  switch (kind) {
    case TableKind::plate:
      x_label = "radius r";
      columns = 2;
      panels = {{"Deflection w", "w", {{1, "w", blue}}},
                {"Slope w'", "w'", {{2, "w'", blue}}},
                {"Radial stress", "sigma r", {{5, "sigma r", red}}},
                {"Pitch error Pe", "Pe", {{6, "Pe", green}}}};
      break;
    case TableKind::stage:
      panels = {{"Displacement", "x (mm)", {{1, "x", blue}}},
                {"Control current", "I (A)", {{2, "I", red}}},
                {"Velocity", "v (mm/s)", {{3, "v", green}}}};
      break;
    case TableKind::nut_stage:
      panels = {{"Displacement", "(mm)", {{1, "nut (red)", red}, {2, "stage (blue)", blue}}},
                {"Control current", "I (A)", {{3, "I", red}}},
                {"Velocity", "(mm/s)", {{4, "nut (red)", red}, {5, "stage (blue)", blue}}}};
      break;
    case TableKind::stage_base:
      panels = {{"Displacement", "(mm)",
                 {{1, "stage (blue)", blue}, {2, "base (red)", red}, {3, "difference (green)", green}}},
                {"Control current", "I (A)", {{4, "I", red}}},
                {"Stage velocity", "v (mm/s)", {{5, "v", blue}}}};
      break;
    default:
      x_label = "first column";
      for (std::size_t k = 1; k < t.columns.size() && k <= 6; ++k) {
        panels.push_back({"column", "value", {{k, "", blue}}});
      }
      columns = panels.size() > 3 ? 2 : 1;
      break;
  }
  const int rows = static_cast<int>((panels.size() + static_cast<std::size_t>(columns) - 1) /
                                    static_cast<std::size_t>(columns));
  plssub(columns, std::max(rows, 1));
  plschr(0.0, 0.9);
  for (const Panel& p : panels) draw_panel(t, p, x_label);
}

}  // namespace

std::string plot_table(TableKind kind, const std::string& bytes, const std::string& png_path,
                       const PlotOptions& options) {
  if (options.width < 64 || options.height < 64 || options.width > 8192 || options.height > 8192) {
    return "picture size must lie between 64 and 8192 pixels a side";
  }
  if (kind == TableKind::empty) return "the table is empty";
  if (kind == TableKind::unknown) return "the table has no layout the host knows";
  // Parse before PLplot starts, so that a bad table leaves no half picture.
  MapTable map;
  ColumnTable columns;
  try {
    if (is_map(kind)) {
      map = parse_map(bytes);
      if (map.x.empty() || map.y.empty()) return "the map holds no samples";
    } else {
      columns = parse_columns(bytes);
      if (columns.rows() == 0) return "the table holds no rows";
      if (columns.columns.size() < 2) return "the table has a single column";
      const std::size_t need = kind == TableKind::plate ? 7 : kind == TableKind::stage ? 4
                               : kind == TableKind::other_columns                   ? 2
                                                                                    : 6;
      if (columns.columns.size() < need) return "the table has too few columns";
    }
  } catch (const TableError& e) {
    return e.what();
  }
  if (!png_driver_available()) return "the PLplot cairo driver (pngcairo) is not installed";
  std::error_code ec;
  std::filesystem::remove(png_path, ec);
  start_page(png_path, options);
  if (is_map(kind)) {
    draw_map(kind, map, options);
  } else {
    draw_columns(kind, columns);
  }
  plend();
  if (!std::filesystem::exists(png_path, ec)) return "the picture could not be written to " + png_path;
  return {};
}

}  // namespace meridox::host
