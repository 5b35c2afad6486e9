#include "host/pictures/plot.hpp"

#include <plplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <vector>

#include "host/core/files.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"

namespace meridox::host {
namespace {

namespace fs = std::filesystem;

constexpr double pi = 3.14159265358979323846;
// Spectrum samples weaker than this share of the strongest have no
// meaningful phase.
constexpr double negligible_amplitude = 1e-3;
// The logarithmic amplitude scale spans this many decades below the peak.
constexpr double log_decades = 6.0;

constexpr int black = 1, red = 2, green = 3, blue = 9, grey = 7;

// PLplot ends the process when a device is missing, so look first.
bool png_driver_available() {
  std::vector<const char*> menu_store(64), name_store(64);
  const char** menu = menu_store.data();
  const char** names = name_store.data();
  int count = 64;
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

bool any_finite(const std::vector<double>& values) {
  return std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}
bool all_finite(const std::vector<double>& values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// ---- What can be drawn, checked before PLplot starts ------------------------

std::string map_problem(const MapTable& map) {
  if (map.x.empty() || map.y.empty()) return "the map holds no samples";
  if (!all_finite(map.x) || !all_finite(map.y)) return "its axes hold inf or nan (no length scale to draw on)";
  if (map.x.size() > 1 && map.x.front() == map.x.back()) return "its x axis has one value for every column";
  if (map.y.size() > 1 && map.y.front() == map.y.back()) return "its y axis has one value for every row";
  if (!any_finite(map.values)) return "it holds no finite values";
  return {};
}

std::string columns_problem(TableKind kind, const ColumnTable& t) {
  if (t.rows() == 0) return "the table holds no rows";
  if (t.columns.size() < 2) return "the table has a single column";
  // A calculator's table has every column its layout gives.
  const std::size_t need = kind.spec() != nullptr ? kind.spec()->columns.size() : 2;
  if (t.columns.size() < need) return "the table has too few columns";
  if (!any_finite(t.columns[0])) return "its first column holds no finite values";
  bool finite = false;
  for (std::size_t k = 1; k < t.columns.size(); ++k) finite = finite || any_finite(t.columns[k]);
  if (!finite) return "it holds no finite values";
  return {};
}

// ---- Drawing -----------------------------------------------------------------

void start_page(const std::string& path, const PlotOptions& o) {
  plsdev("pngcairo");
  plsfnam(path.c_str());
  plspage(0.0, 0.0, o.width, o.height, 0, 0);
  plscolbg(255, 255, 255);
  plscol0(black, 0, 0, 0);
  plscol0(15, 255, 255, 255);
  plscol0(red, 200, 30, 30);
  plscol0(green, 0, 140, 0);
  plscol0(blue, 20, 60, 200);
  plscol0(grey, 120, 120, 120);
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

// A hue wheel: -pi and +pi get the same colour, as a phase should.
void set_cyclic_palette() {
  PLFLT pos[] = {0.0, 1.0};
  PLFLT hue[] = {0.0, 360.0};
  PLFLT light[] = {0.5, 0.5};
  PLFLT sat[] = {0.85, 0.85};
  PLINT alt[] = {0, 0};
  plscmap1n(256);
  plscmap1l(0, 2, pos, hue, light, sat, alt);
}

void legend(const std::vector<std::string>& names, const std::vector<int>& colours) {
  const auto n = static_cast<PLINT>(names.size());
  std::vector<PLINT> opts(names.size(), PL_LEGEND_LINE), colour(colours.begin(), colours.end()),
      styles(names.size(), 1), text_colours(names.size(), black);
  std::vector<PLFLT> widths(names.size(), 2.0);
  std::vector<const char*> text;
  for (const std::string& s : names) text.push_back(s.c_str());
  PLFLT w = 0, h = 0;
  pllegend(&w, &h, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX, PL_POSITION_TOP | PL_POSITION_RIGHT | PL_POSITION_INSIDE,
           0.01, 0.01, 0.08, 15, black, 1, 0, 0, n, opts.data(), 0.8, 0.7, 1.6, 0.0, text_colours.data(),
           text.data(), nullptr, nullptr, nullptr, nullptr, colour.data(), styles.data(), widths.data(), nullptr,
           nullptr, nullptr, nullptr);
}

void colour_bar(const std::string& label, Range z) {
  PLFLT bar_width = 0, bar_height = 0;
  const char* labels[] = {label.c_str()};
  PLINT label_opts[] = {PL_COLORBAR_LABEL_RIGHT};
  const char* axis_opts[] = {"bcvtm"};
  PLFLT ticks[] = {0.0};
  PLINT sub_ticks[] = {0};
  PLINT n_values[] = {2};
  PLFLT range[] = {z.low, z.high};
  const PLFLT* values[] = {range};
  plcol0(black);
  plcolorbar(&bar_width, &bar_height, PL_COLORBAR_IMAGE, PL_POSITION_RIGHT | PL_POSITION_VIEWPORT, 0.03, 0.0,
             0.035, 0.8, 0, 1, 1, 0.0, 0.0, 0, 0.0, 1, label_opts, labels, 1, axis_opts, ticks, sub_ticks,
             n_values, values);
}

// A curve broken where a value is not finite.
void curve(const std::vector<double>& x, const std::vector<double>& y, int colour, double scale = 1.0) {
  plcol0(colour);
  plwidth(2.0);
  std::vector<PLFLT> xs, ys;
  auto flush = [&] {
    if (xs.size() >= 2) plline(static_cast<PLINT>(xs.size()), xs.data(), ys.data());
    if (xs.size() == 1) plpoin(1, xs.data(), ys.data(), 17);
    xs.clear();
    ys.clear();
  };
  for (std::size_t k = 0; k < y.size() && k < x.size(); ++k) {
    if (std::isfinite(x[k]) && std::isfinite(y[k] * scale)) {
      xs.push_back(x[k]);
      ys.push_back(y[k] * scale);
    } else {
      flush();
    }
  }
  flush();
  plwidth(1.0);
}

struct MapLabels {
  std::string title, x, y, bar;
  bool lengths;  // axes in lengths (image) or direction sines (spectrum)
  std::string unit;
};

MapLabels map_labels(TableKind kind, const PlotOptions& o) {
  const TableSpec* spec = kind.spec();
  if (spec == nullptr) {
    return {"Map", "x (unit of the table)", "y (unit of the table)", "value (unit of the table)", false, ""};
  }
  auto axis = [&](const ColumnSpec& c) {
    return std::string(c.name) + " (" + unit_label(*spec, c.unit, o.length_unit, o.units) + ")";
  };
  const bool log = spec->map.value == MapValue::amplitude && o.log_amplitude;
  const bool lengths = spec->map_in_lengths();
  return {std::string(spec->map.picture_title), axis(spec->columns[0]), axis(spec->columns[1]),
          (log ? "log10 " : "") + std::string(spec->map.scale_label), lengths, lengths ? o.length_unit : ""};
}

// A map of one row or one column: the values along the other axis.
void draw_profile(const MapTable& map, const std::vector<double>& x, const std::vector<double>& y,
                  const MapLabels& l) {
  const bool along_x = map.x.size() > 1;
  const std::vector<double>& axis = along_x ? x : y;
  char where[96];
  std::snprintf(where, sizeof where, along_x ? " along y = %g" : " along x = %g", along_x ? y[0] : x[0]);
  const std::string at = where + (l.lengths ? " " + l.unit : std::string());
  const Range ar = finite_range(axis);
  const Range vr = padded(finite_range(map.values));
  pladv(0);
  plvsta();
  plwind(ar.low, ar.high, vr.low, vr.high);
  plcol0(black);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(along_x ? l.x.c_str() : l.y.c_str(), l.bar.c_str(), (l.title + at).c_str());
  curve(axis, map.values, blue);
}

void draw_map(TableKind kind, const MapTable& map, const PlotOptions& o) {
  const MapLabels labels = map_labels(kind, o);
  const MapValue value = kind.spec() != nullptr ? kind.spec()->map.value : MapValue::intensity;
  const double scale = labels.lengths ? o.length_scale : 1.0;
  std::vector<double> x = map.x, y = map.y;
  for (double& v : x) v *= scale;
  for (double& v : y) v *= scale;
  std::vector<double> values = map.values;
  Range z = finite_range(values);
  if (value == MapValue::amplitude && o.log_amplitude) {
    const double floor = z.high * std::pow(10.0, -log_decades);
    for (double& v : values) v = std::isfinite(v) ? std::log10(std::max(v, floor)) : v;
    z = finite_range(values);
  }
  if (value == MapValue::phase) {
    z = {-pi, pi};
    for (double& v : values) v = std::remainder(v, 2 * pi);
    // Where the amplitude is negligible the phase is noise: leave it blank.
    try {
      const MapTable amplitude = o.amplitude_table.empty() ? MapTable{} : parse_map(o.amplitude_table);
      if (amplitude.values.size() == values.size()) {
        const double strongest = finite_range(amplitude.values).high;
        for (std::size_t k = 0; k < values.size(); ++k) {
          if (!(amplitude.values[k] > negligible_amplitude * strongest)) values[k] = NAN;
        }
      }
    } catch (const TableError&) {
    }
  }
  if (map.x.size() == 1 || map.y.size() == 1) {
    MapTable profile = map;
    profile.values = values;
    draw_profile(profile, x, y, labels);
    return;
  }
  const std::size_t nx = x.size(), ny = y.size();
  PLFLT** data = nullptr;
  plAlloc2dGrid(&data, static_cast<PLINT>(nx), static_cast<PLINT>(ny));
  // Samples outside [z.low, z.high] are not drawn: that is how a value that
  // is not finite, or masked, stays blank.
  const double blank = z.high + (z.high - z.low) * 10 + 1;
  for (std::size_t i = 0; i < nx; ++i) {
    for (std::size_t j = 0; j < ny; ++j) {
      const double v = values[j * nx + i];
      data[i][j] = std::isfinite(v) ? v : blank;
    }
  }
  // Each sample covers half a step on either side of its coordinate.
  const double dx = (x.back() - x.front()) / static_cast<double>(nx - 1);
  const double dy = (y.back() - y.front()) / static_cast<double>(ny - 1);
  const double x0 = std::min(x.front() - dx / 2, x.back() + dx / 2), x1 = std::max(x.front() - dx / 2, x.back() + dx / 2);
  const double y0 = std::min(y.front() - dy / 2, y.back() + dy / 2), y1 = std::max(y.front() - dy / 2, y.back() + dy / 2);
  if (value == MapValue::phase) {
    set_cyclic_palette();
  } else {
    set_heat_palette();
  }
  pladv(0);
  // Equal scale on both axes: a square stays square.
  plvpas(0.10, 0.80, 0.10, 0.90, (y1 - y0) / (x1 - x0));
  plwind(x0, x1, y0, y1);
  // The colours span [z.low, z.high] whatever the blank samples hold.
  plimagefr(static_cast<PLFLT_MATRIX>(data), static_cast<PLINT>(nx), static_cast<PLINT>(ny), x0, x1, y0, y1,
            z.low, z.high, z.low, z.high, nullptr, nullptr);
  plFree2dGrid(data, static_cast<PLINT>(nx), static_cast<PLINT>(ny));
  plcol0(black);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(labels.x.c_str(), labels.y.c_str(), "");
  plmtex("t", 2.6, 0.5, 0.5, labels.title.c_str());
  if (value == MapValue::amplitude && std::isfinite(o.na) && o.na > 0) {
    // The pupil (NA) and the source (sigma NA) on the direction-sine axes.
    plcol0(15);
    plwidth(2.0);
    plarc(0.0, 0.0, o.na, o.na, 0.0, 360.0, 0.0, 0);
    if (std::isfinite(o.sigma) && o.sigma > 0) plarc(0.0, 0.0, o.sigma * o.na, o.sigma * o.na, 0.0, 360.0, 0.0, 0);
    plwidth(1.0);
    plcol0(black);
    plschr(0.0, 0.75);
    plmtex("t", 0.9, 0.5, 0.5, "outer circle: pupil (NA); inner circle: source (sigma NA)");
    plschr(0.0, 1.0);
  }
  if (value == MapValue::phase && !o.amplitude_table.empty()) {
    plschr(0.0, 0.75);
    plmtex("t", 0.9, 0.5, 0.5, "blank: amplitude below 1e-3 of the peak");
    plschr(0.0, 1.0);
  }
  colour_bar(labels.bar, z);
}

struct Trace {
  std::size_t column;
  std::string name;
  int colour;
};

struct Panel {
  std::string title;
  std::string y_label;
  std::vector<Trace> traces;
};

// The times and values a trace draws: the history of every step when there
// is one, else the table's rows.
struct Drawn {
  const std::vector<double>& t;
  const std::vector<double>& values;
};
Drawn drawn(const ColumnTable& t, std::size_t column, const PlotOptions& o) {
  if (o.every_step != nullptr && column < o.every_step->values.size()) {
    return {o.every_step->t[column], o.every_step->values[column]};
  }
  return {t.columns[0], t.columns[column]};
}

void draw_panel(const ColumnTable& t, const Panel& p, const std::string& x_label, const PlotOptions& o) {
  std::vector<double> all, times;
  for (const Trace& c : p.traces) {
    const Drawn d = drawn(t, c.column, o);
    all.insert(all.end(), d.values.begin(), d.values.end());
    times.insert(times.end(), d.t.begin(), d.t.end());
  }
  const Range xr = finite_range(times);
  const Range yr = padded(finite_range(all));
  pladv(0);
  plvsta();
  plwind(xr.low, xr.high, yr.low, yr.high);
  plcol0(black);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(x_label.c_str(), p.y_label.c_str(), p.title.c_str());
  std::vector<std::string> names;
  std::vector<int> colours;
  for (const Trace& c : p.traces) {
    const Drawn d = drawn(t, c.column, o);
    curve(d.t, d.values, c.colour);
    names.push_back(c.name);
    colours.push_back(c.colour);
  }
  if (p.traces.size() > 1) legend(names, colours);
}

// The servo error in counts, with the settling band.
void draw_error_panel(const ColumnTable& t, const PlotOptions& o) {
  const bool counts = std::isfinite(o.count) && o.count > 0;
  const double scale = counts ? 1.0 / o.count : 1.0;
  const Drawn d = drawn(t, o.error_column, o);
  std::vector<double> e = d.values;
  for (double& v : e) v *= scale;
  const double band = o.band * scale;
  Range yr = finite_range(e);
  // Settling is read near the band: beyond ten bands the trace leaves the
  // panel (the displacement panel shows it whole).
  const bool clipped = std::isfinite(band) && band > 0 && std::max(-yr.low, yr.high) > 10 * band;
  if (clipped) yr = {std::max(yr.low, -10 * band), std::min(yr.high, 10 * band)};
  if (std::isfinite(band)) yr = {std::min(yr.low, -band), std::max(yr.high, band)};
  yr = padded(yr);
  const Range xr = finite_range(d.t);
  pladv(0);
  plvsta();
  plwind(xr.low, xr.high, yr.low, yr.high);
  plcol0(black);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab("t (s)", counts ? "e (counts)" : "e (mm)",
        clipped ? "Servo error e and settling band (within 10 bands)" : "Servo error e and settling band");
  if (std::isfinite(band)) {
    plcol0(grey);
    pllsty(2);
    for (const double level : {-band, band}) {
      const PLFLT bx[] = {xr.low, xr.high}, by[] = {level, level};
      plline(2, bx, by);
    }
    pllsty(1);
  }
  curve(d.t, e, blue);
  if (std::isfinite(band)) legend({"e", "band"}, {blue, grey});
  // What the picture is drawn from, under the first panel's title.
  plschr(0.0, 0.65);
  plcol0(black);
  if (o.every_step != nullptr) {
    plmtex("t", 0.6, 0.5, 0.5, ("every step (" + std::to_string(o.every_step->states) + " states), least and largest per pixel column").c_str());
  } else if (!o.rows_note.empty()) {
    plcol0(red);
    plmtex("t", 0.6, 0.5, 0.5, o.rows_note.c_str());
  }
  plschr(0.0, 0.9);
}

int colour_of(Ink ink) {
  switch (ink) {
    case Ink::blue: return blue;
    case Ink::red: return red;
    case Ink::green: return green;
  }
  return black;
}

// A calculator's table as its layout draws it: column 0 along x, the
// layout's panels, each in the unit of its first curve's column.
std::vector<Panel> layout_panels(const TableSpec& spec, const PlotOptions& o) {
  std::vector<Panel> panels;
  for (const PanelSpec& p : spec.panels) {
    Panel panel{std::string(p.title), std::string(p.symbol), {}};
    for (const TraceSpec& trace : p.traces) {
      if (trace.column < 0) continue;
      if (panel.traces.empty()) {
        const std::string_view unit = spec.columns[static_cast<std::size_t>(trace.column)].unit;
        panel.y_label += " (" + unit_label(spec, unit, o.length_unit, o.units) + ")";
      }
      panel.traces.push_back({static_cast<std::size_t>(trace.column), std::string(trace.name), colour_of(trace.ink)});
    }
    panels.push_back(std::move(panel));
  }
  return panels;
}

void draw_columns(TableKind kind, const ColumnTable& t, const PlotOptions& o) {
  const TableSpec* spec = kind.spec();
  const bool stage = spec != nullptr && spec->error_column >= 0;
  std::vector<Panel> panels;
  std::string x_label = "first column (unit of the table)";
  if (spec != nullptr && !spec->panels.empty()) {
    x_label = std::string(spec->x_symbol) + " (" + unit_label(*spec, spec->columns[0].unit, o.length_unit, o.units) + ")";
    panels = layout_panels(*spec, o);
  } else {
    for (std::size_t k = 1; k < t.columns.size() && k <= 6; ++k) {
      panels.push_back({"column " + std::to_string(k + 1), "value (unit of the table)", {{k, "", blue}}});
    }
  }
  const std::size_t count = panels.size() + (stage ? 1 : 0);
  const int columns = count > 3 ? 2 : 1;
  const int rows = static_cast<int>((count + 1) / static_cast<std::size_t>(columns));
  plssub(columns, std::max(rows, 1));
  plschr(0.0, 0.9);
  if (stage) draw_error_panel(t, o);
  // The history of every step belongs to a stage's table only.
  PlotOptions from = o;
  if (!stage) from.every_step = nullptr;
  for (const Panel& p : panels) draw_panel(t, p, x_label, from);
}

int on_plplot_exit(PLCHAR_VECTOR message) {
  std::string line = "PLplot: ";
  line += message != nullptr ? message : "stopped";
  fail_child(line.c_str());
}

std::string first_abort;
void on_plplot_abort(PLCHAR_VECTOR message) {
  if (first_abort.empty() && message != nullptr) first_abort = std::string("PLplot: ") + message;
}

}  // namespace

std::string picture_path_problem(const std::string& png_path) {
  struct stat s {};
  if (lstat(png_path.c_str(), &s) == 0) {
    if (S_ISLNK(s.st_mode)) return png_path + " is a link; pictures are written only to a new name or a regular file";
    if (S_ISDIR(s.st_mode)) return png_path + " is a folder";
    if (!S_ISREG(s.st_mode)) {
      return png_path + " is a device or special file; pictures are written only to a new name or a regular file";
    }
  }
  fs::path folder = fs::path(png_path).parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return "the folder " + folder.string() + " does not exist";
  if (access(folder.c_str(), W_OK | X_OK) != 0) return "the folder " + folder.string() + " is not writable";
  return {};
}

namespace {

// Draws into a temporary beside `png_path` in a child process and renames
// it into place when PLplot succeeded.
std::string draw_picture(const std::string& png_path, const PlotOptions& options, const std::function<void()>& draw) {
  if (const std::string problem = picture_path_problem(png_path); !problem.empty()) return problem;
  if (!png_driver_available()) return "the PLplot cairo driver (pngcairo) is not installed";
  const std::string partial = temporary_beside(png_path);
  if (partial.empty()) return "cannot write in the folder of " + png_path;
  const std::string problem = run_in_child(
      [&]() -> std::string {
        plsexit(on_plplot_exit);
        plsabort(on_plplot_abort);
        start_page(partial, options);
        draw();
        plend();
        return first_abort;
      },
      "PLplot", {0.0, true});
  std::error_code ec;
  if (problem.empty() && fs::file_size(partial, ec) > 0 && !ec && std::rename(partial.c_str(), png_path.c_str()) == 0) {
    return {};
  }
  fs::remove(partial, ec);
  return problem.empty() ? "the picture could not be written to " + png_path : problem;
}

void draw_chart(const Chart& chart) {
  static constexpr int palette[][3] = {{20, 60, 200},  {200, 30, 30},  {0, 140, 0},    {230, 140, 0},
                                       {130, 40, 170}, {0, 150, 160},  {150, 90, 40},  {220, 60, 150},
                                       {90, 90, 90},   {120, 150, 30}, {40, 120, 230}, {180, 0, 60}};
  constexpr int first = 2, colours = static_cast<int>(std::size(palette));
  for (int k = 0; k < colours; ++k) plscol0(first + k, palette[k][0], palette[k][1], palette[k][2]);
  std::vector<double> xs, ys(chart.levels);
  for (const ChartCurve& c : chart.curves) {
    xs.insert(xs.end(), c.x.begin(), c.x.end());
    ys.insert(ys.end(), c.y.begin(), c.y.end());
  }
  const Range xr = finite_range(xs), yr = padded(finite_range(ys));
  pladv(0);
  plvsta();
  plwind(xr.low, xr.high, yr.low, yr.high);
  plcol0(black);
  plbox("bcgnst", 0.0, 0, "bcgnstv", 0.0, 0);
  pllab(chart.x_label.c_str(), chart.y_label.c_str(), chart.title.c_str());
  if (!chart.levels.empty()) {
    plcol0(black);
    pllsty(2);
    for (const double level : chart.levels) {
      const PLFLT bx[] = {xr.low, xr.high}, by[] = {level, level};
      plline(2, bx, by);
    }
    pllsty(1);
  }
  std::vector<std::string> names;
  std::vector<int> used;
  for (std::size_t k = 0; k < chart.curves.size(); ++k) {
    const int colour = first + static_cast<int>(k % colours);
    curve(chart.curves[k].x, chart.curves[k].y, colour);
    names.push_back(chart.curves[k].label);
    used.push_back(colour);
  }
  if (chart.curves.size() > 1 || !names.front().empty()) legend(names, used);
}

// A vertical dashed line at x across the window.
void mark(double x, double low, double high) {
  if (!std::isfinite(x)) return;
  const PLFLT bx[] = {x, x}, by[] = {low, high};
  plcol0(grey);
  pllsty(2);
  plline(2, bx, by);
  pllsty(1);
}

std::string short_number(double v) { return rounded_text(v, 3); }

void draw_loop(const LoopAnalysis& loop) {
  // From two decades below the slowest feature that matters to the Nyquist frequency.
  double features = loop.response.back().hz;
  for (const double hz : {loop.crossover_hz, loop.bandwidth_hz, loop.resonance_hz, loop.dominant.hz}) {
    if (std::isfinite(hz) && hz > 0) features = std::min(features, hz);
  }
  const double from = std::max(loop.response.front().hz, features / 100);
  std::vector<double> x, open_db, closed_db, sensitivity_db, phase;
  // The Nyquist frequency itself is left out: there L is real, and a zero
  // of the sampled plant on the unit circle there flips its phase.
  for (const LoopPoint& p : loop.response) {
    if (p.hz < from || &p == &loop.response.back()) continue;
    const std::complex<double> l = p.open_loop;
    x.push_back(std::log10(p.hz));
    open_db.push_back(20 * std::log10(std::abs(l)));
    closed_db.push_back(20 * std::log10(std::abs(l / (1.0 + l))));
    sensitivity_db.push_back(20 * std::log10(1 / std::abs(1.0 + l)));
    // The phase of a loop of lags, within (-360, 0]: a lightly damped mode
    // turns it by half a turn in a step, which no unwrapping can place.
    const double a = std::arg(l) * 180 / pi;
    phase.push_back(a > 0 ? a - 360 : a);
  }
  const Range xr = finite_range(x);
  std::vector<double> gains(open_db);
  gains.insert(gains.end(), closed_db.begin(), closed_db.end());
  gains.insert(gains.end(), sensitivity_db.begin(), sensitivity_db.end());
  Range gr = finite_range(gains);
  gr = padded({std::max(gr.low, -80.0), std::min(gr.high, 120.0)});
  plssub(1, 2);
  plschr(0.0, 0.9);
  // One of the two panels: log frequency across, `low` to `high` up.
  auto panel = [&xr](double low, double high) {
    pladv(0);
    plvsta();
    plwind(xr.low, xr.high, low, high);
    plcol0(black);
    plbox("bcglnst", 0.0, 0, "bcgnstv", 0.0, 0);
  };
  panel(gr.low, gr.high);
  const std::string title = "Loop gain: gain margin " + short_number(loop.gain_margin) + " (" +
                            short_number(loop.gain_margin_db) + " dB), sensitivity peak " +
                            short_number(loop.sensitivity_peak_db) + " dB";
  pllab("frequency (Hz)", "gain (dB)", title.c_str());
  mark(std::log10(loop.crossover_hz), gr.low, gr.high);
  mark(std::log10(loop.phase_crossover_hz), gr.low, gr.high);
  curve(x, open_db, blue);
  curve(x, closed_db, green);
  curve(x, sensitivity_db, red);
  legend({"open loop L", "closed loop T", "sensitivity S"}, {blue, green, red});
  Range pr = padded(finite_range(phase));
  pr = {std::min(pr.low, -200.0), std::max(pr.high, -160.0)};
  panel(pr.low, pr.high);
  const std::string phase_title = "Phase of L: phase margin " + short_number(loop.phase_margin) + " deg at " +
                                  short_number(loop.crossover_hz) + " Hz" + (loop.stable ? "" : " (the loop is not stable)");
  pllab("frequency (Hz)", "phase (deg)", phase_title.c_str());
  plcol0(grey);
  pllsty(2);
  const PLFLT bx[] = {xr.low, xr.high}, by[] = {-180.0, -180.0};
  plline(2, bx, by);
  pllsty(1);
  mark(std::log10(loop.crossover_hz), pr.low, pr.high);
  mark(std::log10(loop.phase_crossover_hz), pr.low, pr.high);
  curve(x, phase, blue);
}

// The focus-dose plane and the EL-DOF curve side by side.
void draw_window(const WindowPicture& p) {
  static constexpr int palette[][3] = {{200, 30, 30}, {230, 140, 0}, {130, 40, 170}, {0, 150, 160}, {150, 90, 40}};
  constexpr int first = 2, colours = static_cast<int>(std::size(palette));
  for (int k = 0; k < colours; ++k) plscol0(first + k, palette[k][0], palette[k][1], palette[k][2]);
  constexpr int window_colour = 8, box_colour = 9;
  plscol0(window_colour, 190, 215, 245);
  plscol0(box_colour, 20, 60, 200);
  plssub(2, 1);
  plschr(0.0, 0.85);

  // The plane: its ranges from the window and the contours near it.
  std::vector<double> xs(p.lower.x), ys;
  for (const ChartCurve* c : {&p.lower, &p.upper}) ys.insert(ys.end(), c->y.begin(), c->y.end());
  for (const ChartCurve& c : p.contours) xs.insert(xs.end(), c.x.begin(), c.x.end());
  Range yr = finite_range(ys);
  if (!any_finite(ys)) {
    for (const ChartCurve& c : p.contours) ys.insert(ys.end(), c.y.begin(), c.y.end());
    yr = finite_range(ys);
  }
  // Show the contours up to twice the window's height beyond it.
  const double room = yr.high - yr.low;
  yr = padded({std::max(yr.low - room, yr.low * 0.5), yr.high + room});
  const Range xr = finite_range(xs);
  pladv(1);
  plvsta();
  plwind(xr.low, xr.high, yr.low, yr.high);
  // The window, shaded run by run where it is open.
  plcol0(window_colour);
  std::vector<PLFLT> fx, fy;
  auto fill_run = [&](std::size_t a, std::size_t b) {
    fx.clear();
    fy.clear();
    for (std::size_t k = a; k < b; ++k) {
      fx.push_back(p.lower.x[k]);
      fy.push_back(std::clamp(p.lower.y[k], yr.low, yr.high));
    }
    for (std::size_t k = b; k-- > a;) {
      fx.push_back(p.upper.x[k]);
      fy.push_back(std::clamp(p.upper.y[k], yr.low, yr.high));
    }
    if (fx.size() >= 3) plfill(static_cast<PLINT>(fx.size()), fx.data(), fy.data());
  };
  for (std::size_t a = 0; a < p.lower.y.size();) {
    if (!std::isfinite(p.lower.y[a])) {
      ++a;
      continue;
    }
    std::size_t b = a;
    while (b < p.lower.y.size() && std::isfinite(p.lower.y[b])) ++b;
    fill_run(a, b);
    a = b;
  }
  plcol0(black);
  plbox("bcgnst", 0.0, 0, "bcgnstv", 0.0, 0);
  pllab(p.focus_label.c_str(), "relative dose (1 / threshold)", p.title.c_str());
  if (!p.note.empty()) {
    plschr(0.0, 0.7);
    plmtex("t", 0.6, 0.5, 0.5, p.note.c_str());
    plschr(0.0, 0.85);
  }
  std::vector<std::string> names;
  std::vector<int> used;
  for (std::size_t k = 0; k < p.contours.size(); ++k) {
    const int colour = first + static_cast<int>(k % colours);
    pllsty(k % 2 == 0 ? 2 : 3);
    curve(p.contours[k].x, p.contours[k].y, colour);
    pllsty(1);
    names.push_back(p.contours[k].label);
    used.push_back(colour);
  }
  plwidth(2.0);
  for (const WindowBox& b : p.boxes) {
    plcol0(box_colour);
    const PLFLT bx[] = {b.focus_low, b.focus_high, b.focus_high, b.focus_low, b.focus_low};
    const PLFLT by[] = {b.dose_low, b.dose_low, b.dose_high, b.dose_high, b.dose_low};
    plline(5, bx, by);
    plcol0(black);
    plschr(0.0, 0.6);
    plptex(b.focus_low, b.dose_high, 1.0, 0.0, 0.0, (" " + b.label).c_str());
    plschr(0.0, 0.85);
  }
  plwidth(1.0);
  if (std::isfinite(p.best_focus) && std::isfinite(p.dose_to_size)) {
    plcol0(black);
    const PLFLT bx[] = {p.best_focus}, by[] = {p.dose_to_size};
    plpoin(1, bx, by, 5);
    names.push_back("best focus, dose to size");
    used.push_back(black);
  }
  if (!names.empty()) legend(names, used);

  // The EL-DOF curve.
  pladv(2);
  plvsta();
  const Range dr = padded(finite_range(p.el_dof.x)), er = padded(finite_range(p.el_dof.y));
  plwind(std::min(0.0, dr.low), dr.high, std::min(0.0, er.low), er.high);
  plcol0(black);
  plbox("bcgnst", 0.0, 0, "bcgnstv", 0.0, 0);
  pllab(p.dof_label.c_str(), "exposure latitude (% of the dose to size)",
        "Exposure latitude against depth of focus");
  curve(p.el_dof.x, p.el_dof.y, box_colour);
  for (const WindowBox& b : p.boxes) {
    const PLFLT bx[] = {b.focus_high - b.focus_low}, by[] = {(b.dose_high - b.dose_low) / p.dose_to_size * 100};
    plcol0(box_colour);
    plpoin(1, bx, by, 17);
  }
}

}  // namespace

std::string plot_loop(const LoopAnalysis& loop, const std::string& png_path, const PlotOptions& options) {
  if (!loop.why_not.empty()) return loop.why_not;
  if (loop.response.empty()) return "no frequency response";
  return draw_picture(png_path, options, [&] { draw_loop(loop); });
}

std::string plot_process_window(const WindowPicture& picture, const std::string& png_path,
                                const PlotOptions& options) {
  if (!any_finite(picture.lower.y) && picture.contours.empty()) return "no window and no cd limit to draw";
  return draw_picture(png_path, options, [&] { draw_window(picture); });
}

std::string plot_table(const ResultTable& table, const std::string& png_path, const PlotOptions& options) {
  const TableKind kind = table.kind;
  if (options.width < smallest_picture || options.height < smallest_picture || options.width > largest_picture ||
      options.height > largest_picture) {
    return "picture size must lie between 64 and 8192 pixels a side";
  }
  if (kind == TableKind::empty) return "the table is empty";
  if (kind == TableKind::unknown) return "the table has no layout the host knows";
  // Checked before PLplot starts, so that a bad table leaves no half picture.
  const std::string problem = is_map(kind) ? map_problem(table.map) : columns_problem(kind, table.columns);
  if (!problem.empty()) return problem;
  return draw_picture(png_path, options, [&] {
    if (is_map(kind)) {
      draw_map(kind, table.map, options);
    } else {
      draw_columns(kind, table.columns, options);
    }
  });
}

std::string plot_chart(const Chart& chart, const std::string& png_path, const PlotOptions& options) {
  if (chart.curves.empty()) return "nothing to draw";
  bool finite = false;
  for (const ChartCurve& c : chart.curves) finite = finite || (any_finite(c.x) && any_finite(c.y));
  if (!finite) return "no finite value to draw";
  return draw_picture(png_path, options, [&] { draw_chart(chart); });
}

}  // namespace meridox::host
