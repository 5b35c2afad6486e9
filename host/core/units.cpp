#include "host/core/units.hpp"

#include <algorithm>
#include <cmath>
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

std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes) {
  const std::string_view cell = calculator.layout->length_unit_cell;
  return unit_text(sheet_of(calculator, sheet_bytes), cell.empty() ? -1 : row_of(calculator, cell));
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
  c.count = sheet.real(2, row_of(calculator, t->count_cell));
  // The run ends after N steps of h; known before its states are read, so
  // that the closing window of a streamed history is known in advance.
  c.end_time = std::max(sheet.integer(2, row_of(calculator, "step_count")), 0) * sheet.real(2, row_of(calculator, "time_step"));
  return c;
}

PlateSection plate_section(const Calculator& calculator, std::string_view sheet_bytes) {
  const Sheet sheet = sheet_of(calculator, sheet_bytes);
  auto real = [&](std::string_view name) {
    const std::optional<NamedCell> cell = named_cell(calculator, name);
    return cell ? sheet.real(cell->column, cell->row) : not_known;
  };
  return {real("modulus"), real("poisson"), real("thickness")};
}

StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes) {
  return stage_columns_for(calculator, sheet_of(calculator, sheet_bytes));
}

UnitWords unit_words(const Calculator& calculator, const Sheet& sheet) {
  UnitWords words;
  for (const TableSpec& t : calculator.layout->tables) {
    for (const UnitSpec& u : t.units) words.texts.emplace_back(u.word, unit_text(sheet, row_of(calculator, u.cell)));
  }
  return words;
}

// The unit text of a named cell as the sheet gives it, else the layout's.
std::string cell_unit(const Calculator& calc, const std::string& sheet_bytes, const std::string& name) {
  const std::optional<NamedCell> cell = named_cell(calc, name);
  if (!cell) return {};
  const Sheet sheet = sheet_of(calc, sheet_bytes);
  const std::string text = display_text(sheet.cell(1, cell->row));
  if (!is_blank(text) && text.size() <= 24) return text;
  return cell->unit;
}

std::string describe_sheet(const Calculator& calculator, std::string_view sheet_bytes, const std::string& asked_unit,
                           SheetDescription& d) {
  const Sheet sheet = sheet_of(calculator, sheet_bytes);
  const std::string sheet_unit = length_unit(calculator, sheet_bytes);
  d.context.length_unit = sheet_unit;
  d.context.units = unit_words(calculator, sheet);
  bool lengths = false;  // whether a map of the calculator is drawn in lengths
  for (const TableSpec& t : calculator.layout->tables) {
    lengths = lengths || t.map_in_lengths();
    const CellSpec* pupil = calculator.layout->find(t.map.pupil_cell);
    const CellSpec* source = calculator.layout->find(t.map.source_cell);
    if (pupil != nullptr) d.na = sheet.real(pupil->column, pupil->row);
    if (source != nullptr) d.sigma = sheet.real(source->column, source->row);
  }
  d.context.servo = servo_loop(calculator, sheet_bytes);
  if (calculator.kind == Kind::plate) d.context.plate = plate_section(calculator, sheet_bytes);
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
