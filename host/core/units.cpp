#include "host/core/units.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "host/core/text.hpp"

namespace meridox::host {
namespace {

std::string unit_text(const Sheet& sheet, int row) {
  if (row < 0) return {};
  std::string unit = display_text(sheet.cell(1, row));
  if (unit.size() > 24 || is_blank(unit) || unit == "-") return {};
  return unit;
}

}  // namespace

std::string length_unit(const Calculator& calculator, const Sheet& sheet) {
  const std::string_view cell = calculator.layout->length_unit_cell;
  return unit_text(sheet, cell.empty() ? -1 : row_of(calculator, cell));
}

std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes) {
  return length_unit(calculator, sheet_of(calculator, sheet_bytes));
}

double metres_per(std::string_view unit) {
  static constexpr std::pair<std::string_view, double> units[] = {
      {"nm", 1e-9}, {"um", 1e-6}, {"\xC2\xB5m", 1e-6}, {"micron", 1e-6}, {"mm", 1e-3}, {"cm", 1e-2}, {"m", 1.0}};
  for (const auto& [name, metres] : units) {
    if (unit == name) return metres;
  }
  return not_known;
}

const TableSpec* stage_table(const Calculator& calculator) {
  for (const TableSpec& t : calculator.layout->tables) {
    if (t.metrics == MetricKind::stage) return &t;
  }
  return nullptr;
}

StageColumns stage_columns_for(const Calculator& calculator, const Sheet& sheet) {
  // The error that matters is the stage's, whichever sensor the servo reads;
  // its band is one count of that stage's sensor.
  const TableSpec* t = stage_table(calculator);
  if (t == nullptr) return stage_columns(TableKind::unknown);
  StageColumns c{static_cast<std::size_t>(t->error_column), static_cast<std::size_t>(t->current_column)};
  c.count = cell_value(calculator, sheet, t->count_cell);
  // The run ends after N steps of h; known before its states are read, so
  // that the closing window of a streamed history is known in advance.
  const StageSteps run = stage_steps(calculator, sheet);
  const CellSpec* step = calculator.layout->find(t->step_time_cell);
  c.end_time = static_cast<double>(std::max(run.steps, 0LL)) * (step ? sheet.real(step->column, step->row) : not_known);
  return c;
}

PlateSection plate_section(const Calculator& calculator, std::string_view sheet_bytes) {
  return plate_section(calculator, sheet_of(calculator, sheet_bytes));
}

PlateSection plate_section(const Calculator& calculator, const Sheet& sheet) {
  auto real = [&](std::string_view name) {
    const CellSpec* cell = calculator.layout->find(name);
    return cell ? sheet.real(cell->column, cell->row) : not_known;
  };
  const TableSpec* t = calculator.layout->table_with(MetricKind::plate);
  if (t == nullptr) return {};
  return {real(t->plate.modulus_cell), real(t->plate.poisson_cell), real(t->plate.thickness_cell)};
}

StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes) {
  return stage_columns_for(calculator, sheet_of(calculator, sheet_bytes));
}

StageSteps stage_steps(const Calculator& calculator, const Sheet& sheet) {
  StageSteps s;
  const TableSpec* t = stage_table(calculator);
  if (t == nullptr) return s;
  s.steps_cell = calculator.layout->find(t->steps_cell);
  s.interval_cell = calculator.layout->find(t->interval_cell);
  if (s.steps_cell != nullptr) s.steps = sheet.integer(s.steps_cell->column, s.steps_cell->row);
  if (s.interval_cell != nullptr) s.interval = sheet.integer(s.interval_cell->column, s.interval_cell->row);
  return s;
}

UnitWords unit_words(const Calculator& calculator, const Sheet& sheet) {
  UnitWords words;
  for (const TableSpec& t : calculator.layout->tables) {
    for (const UnitSpec& u : t.units) words.texts.emplace_back(u.word, unit_text(sheet, row_of(calculator, u.cell)));
  }
  return words;
}

// The unit text of a named cell as the sheet gives it, else the layout's.
// A rectangle's row holds its six values where a parameter's row holds its
// unit: its coordinates are in the sheet's length unit, its transmission a
// pure number.
std::string cell_unit(const Calculator& calc, const std::string& sheet_bytes, const std::string& name) {
  const std::optional<NamedCell> cell = named_cell(calc, name);
  if (!cell) return {};
  // A rectangle's row holds its other values in column 1, never a unit.
  if (cell->rectangle) return cell->unit == "length" ? length_unit(calc, sheet_bytes) : cell->unit;
  const Sheet sheet = sheet_of(calc, sheet_bytes);
  const std::string text = display_text(sheet.cell(1, cell->row));
  if (!is_blank(text) && text.size() <= 24) return text;
  return cell->unit;
}

ImageModel image_model(const Calculator& calculator) {
  return calculator.layout->image.grid == ImageGrid::periodic ? ImageModel::periodic : ImageModel::spline;
}

namespace {

// The samples of a periodic image's grid as the calculator uses them (the
// size limited to its cell's high).
int grid_samples(const Calculator& calc, const Sheet& sheet) {
  const CellSpec& size = calc.layout->at(calc.layout->image.size_cell);
  return std::min(sheet.integer(size.column, size.row), size.high);
}

}  // namespace

std::vector<MaskRectangle> mask_rectangles(const Calculator& calc, std::string_view sheet_bytes) {
  if (calc.layout->rectangles == nullptr) return {};
  return mask_rectangles(calc, sheet_of(calc, sheet_bytes));
}

std::vector<MaskRectangle> mask_rectangles(const Calculator& calc, const Sheet& sheet) {
  std::vector<MaskRectangle> mask;
  const Layout& layout = *calc.layout;
  if (layout.rectangles == nullptr) return mask;
  const CellSpec& given = layout.at(layout.rectangles->count_cell);
  const int count = std::min({sheet.integer(given.column, given.row), layout.rectangle_limit(), layout.rectangle_rows()});
  // Edges in samples from the centre are kept within half the grid (its
  // size limited first) and scaled by the pitch into lengths.
  double scale = 1.0, half = INFINITY;
  if (layout.rectangles->edges_within_grid && layout.image.grid == ImageGrid::periodic) {
    half = grid_samples(calc, sheet) / 2;
    scale = cell_value(calc, sheet, layout.image.pitch_cell);
  }
  auto edge = [&](int column, int row) {
    const double e = sheet.real(column, row);
    return (e > half ? half : e < -half ? -half : e) * scale;
  };
  for (int q = 0; q < count; ++q) {
    const int row = layout.rectangles->first_row + q;
    mask.push_back({sheet.real(1, row), sheet.real(2, row), edge(3, row), edge(4, row), edge(5, row), edge(6, row)});
  }
  return mask;
}

void image_axes(const Calculator& calc, std::string_view sheet_bytes, std::vector<double>& x, std::vector<double>& y) {
  x.clear();
  y.clear();
  const Sheet sheet = sheet_of(calc, sheet_bytes);
  const ImageSpec& image = calc.layout->image;
  if (image.grid == ImageGrid::periodic) {
    const int n = grid_samples(calc, sheet);
    const double pitch = cell_value(calc, sheet, image.pitch_cell);
    for (int q = 0; q < n; ++q) x.push_back(pitch * (q - n / 2));
    y = x;
  } else if (image.grid == ImageGrid::window) {
    for (int axis = 0; axis < 2; ++axis) {
      const CellSpec& steps = calc.layout->at(image.axis(axis).steps_cell);
      const int n = sheet.integer(steps.column, steps.row);
      if (n < 1 || n > steps.high) continue;
      const double from = cell_value(calc, sheet, image.axis(axis).start_cell);
      const double to = cell_value(calc, sheet, image.axis(axis).end_cell);
      std::vector<double>& out = axis == 0 ? x : y;
      for (int i = 0; i <= n; ++i) out.push_back(from + i * (to - from) / n);
    }
  }
}

std::string cut_outside_axes(const std::vector<double>& x, const std::vector<double>& y, const CutOptions& cut,
                             ImageModel model, const std::string& unit) {
  if (x.empty() || y.empty() || on_image(x, y, cut.cut_x, cut.cut_y, model)) return {};
  auto g = [](double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return std::string(buffer);
  };
  // A periodic image covers half a sample beyond its outer samples.
  auto range = [&](const std::vector<double>& axis) {
    const double half = model == ImageModel::periodic && axis.size() > 1
                            ? std::fabs(axis.back() - axis.front()) / static_cast<double>(axis.size() - 1) / 2
                            : 0.0;
    return g(std::min(axis.front(), axis.back()) - half) + " to " + g(std::max(axis.front(), axis.back()) + half);
  };
  return "the cut's point (" + g(cut.cut_x) + ", " + g(cut.cut_y) + ")" + (unit.empty() ? "" : " " + unit) +
         " lies outside the image (x from " + range(x) + ", y from " + range(y) + ")";
}

std::string cut_outside_image(const Calculator& calc, std::string_view sheet_bytes, const CutOptions& cut) {
  std::vector<double> x, y;
  image_axes(calc, sheet_bytes, x, y);
  return cut_outside_axes(x, y, cut, image_model(calc), length_unit(calc, sheet_bytes));
}

std::string describe_sheet(const Calculator& calculator, std::string_view sheet_bytes, const std::string& asked_unit,
                           SheetDescription& d) {
  const Sheet sheet = sheet_of(calculator, sheet_bytes);
  const std::string sheet_unit = length_unit(calculator, sheet);
  d.context.length_unit = sheet_unit;
  d.context.units = unit_words(calculator, sheet);
  d.context.mask = mask_rectangles(calculator, sheet);
  bool lengths = false;  // whether a map of the calculator is drawn in lengths
  for (const TableSpec& t : calculator.layout->tables) {
    lengths = lengths || t.map_in_lengths();
    const CellSpec* pupil = calculator.layout->find(t.map.pupil_cell);
    const CellSpec* source = calculator.layout->find(t.map.source_cell);
    if (pupil != nullptr) d.na = sheet.real(pupil->column, pupil->row);
    if (source != nullptr) d.sigma = sheet.real(source->column, source->row);
  }
  d.context.servo = servo_loop(calculator, sheet);
  if (calculator.layout->table_with(MetricKind::plate) != nullptr) d.context.plate = plate_section(calculator, sheet);
  if (d.context.servo) d.context.loop = analyse_loop(*d.context.servo);
  d.length_unit = sheet_unit;
  d.length_scale = 1.0;
  if (!asked_unit.empty() && asked_unit != sheet_unit) {
    const double from = metres_per(sheet_unit), to = metres_per(asked_unit);
    if (!lengths) return "--unit applies to the optics calculators' lengths only";
    if (std::isnan(to)) return "--unit takes nm, um, mm, cm or m, not \"" + asked_unit + "\"";
    if (std::isnan(from)) {
      return "--unit converts from the sheet's length unit, and the sheet's \"" + sheet_unit +
             "\" is none of nm, um, mm, cm, m";
    }
    d.length_unit = asked_unit;
    d.length_scale = from / to;
  }
  return {};
}

}  // namespace meridox::host
