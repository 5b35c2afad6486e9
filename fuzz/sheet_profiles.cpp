#include "fuzz/sheet_profiles.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "plate/layout.hpp"
#include "projection/layout.hpp"
#include "proximity/layout.hpp"
#include "stage/layout.hpp"

namespace meridox::fuzzing {
namespace {

struct CountRoleOf {
  std::string_view name;
  CountRole role;
  int fuzz_cap;
};

// A profile from the calculator's layout: its grid, its integer cells with
// the role and cap given here (in this order), every real cell, its
// rectangle table.
SheetProfile profile_of(const Layout& layout, std::initializer_list<CountRoleOf> counts, int header_lines) {
  SheetProfile p{layout.deliverable, layout.grid, {}, {}, -1, header_lines};
  for (const CountRoleOf& count : counts) {
    const CellSpec* cell = layout.find(count.name);
    p.counts.push_back({cell->column, cell->row, count.role, count.fuzz_cap});
  }
  for (const CellSpec& cell : layout.cells) {
    if (cell.is_integer()) continue;
    if (!p.reals.empty() && p.reals.back().column == cell.column && p.reals.back().last_row + 1 == cell.row) {
      p.reals.back().last_row = cell.row;
    } else {
      p.reals.push_back({cell.column, cell.row, cell.row});
    }
  }
  if (layout.rectangles != nullptr) p.rect_first_row = layout.rectangles->first_row;
  return p;
}

const std::array<SheetProfile, 6>& profiles() {
  static const std::array<SheetProfile, 6> all{{
      profile_of(projection::layout,
                 {{"grid_size", CountRole::limited, 16}, {"rect_count", CountRole::limited, 6}}, 1),
      profile_of(proximity::layout,
                 {{"x_steps", CountRole::limited, 12},
                  {"y_steps", CountRole::limited, 12},
                  {"rect_count", CountRole::limited, 4}},
                 0),
      profile_of(plate::layout,
                 {{"load_case", CountRole::choice, 0},
                  {"support_case", CountRole::choice, 0},
                  {"divisions", CountRole::steps, 30}},
                 1),
      profile_of(stage::nut_stage_layout,
                 {{"scale_switch", CountRole::choice, 0},
                  {"step_count", CountRole::steps, 3000},
                  {"print_interval", CountRole::interval, 0}},
                 1),
      profile_of(stage::single_stage_layout,
                 {{"offset_switch", CountRole::choice, 0},
                  {"step_count", CountRole::steps, 3000},
                  {"print_interval", CountRole::interval, 0}},
                 1),
      profile_of(stage::stage_base_layout,
                 {{"offset_switch", CountRole::choice, 0},
                  {"step_count", CountRole::steps, 3000},
                  {"print_interval", CountRole::interval, 0}},
                 1),
  }};
  return all;
}

// One field of the sheet's bytes: the text between two separators, with the
// cell the reader stores it in (indices saturated as the reader saturates).
struct Segment {
  std::size_t begin;
  std::size_t end;
  int column;
  int row;
};

std::vector<Segment> segments(std::string_view bytes, GridShape shape) {
  std::vector<Segment> out;
  long long column = 0;
  long long row = 0;
  std::size_t begin = 0;
  auto cell_of = [&](std::size_t b, std::size_t e) {
    out.push_back({b, e, static_cast<int>(std::min<long long>(column, shape.columns - 1)),
                   static_cast<int>(std::min<long long>(row, shape.row_guard))});
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != '\t' && bytes[i] != '\n') continue;
    cell_of(begin, i);
    if (bytes[i] == '\t') {
      ++column;
    } else {
      column = 0;
      ++row;
    }
    begin = i + 1;
  }
  cell_of(begin, bytes.size());
  return out;
}

Sheet parse(std::string_view bytes, GridShape shape) {
  Sheet sheet(shape);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

bool within_caps(const Sheet& sheet, const SheetProfile& profile) {
  for (const CountCell& count : profile.counts) {
    if (count.fuzz_cap > 0 && sheet.integer(count.column, count.row) > count.fuzz_cap) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const SheetProfile* find_profile(std::string_view deliverable) {
  for (const SheetProfile& profile : profiles()) {
    if (profile.name == deliverable) return &profile;
  }
  return nullptr;
}

std::optional<std::string> bound_work(std::string_view sheet, const SheetProfile& profile) {
  const Sheet parsed = parse(sheet, profile.shape);
  if (within_caps(parsed, profile)) return std::string(sheet);

  // The text a cell shows is that of the last field stored into it: every
  // field ends with a NUL that hides what earlier fields left behind.
  const std::vector<Segment> fields = segments(sheet, profile.shape);
  std::vector<std::pair<Segment, std::string>> replacements;
  for (const CountCell& count : profile.counts) {
    if (count.fuzz_cap <= 0 || parsed.integer(count.column, count.row) <= count.fuzz_cap) continue;
    auto last = std::find_if(fields.rbegin(), fields.rend(), [&](const Segment& s) {
      return s.column == count.column && s.row == count.row;
    });
    if (last == fields.rend()) return std::nullopt;
    replacements.emplace_back(*last, std::to_string(count.fuzz_cap));
  }
  std::sort(replacements.begin(), replacements.end(),
            [](const auto& a, const auto& b) { return a.first.begin > b.first.begin; });
  std::string out(sheet);
  for (const auto& [segment, text] : replacements) {
    out.replace(segment.begin, segment.end - segment.begin, text);
  }
  if (!within_caps(parse(out, profile.shape), profile)) return std::nullopt;
  return out;
}

bool is_table_number(std::string_view field) {
  std::string_view s = field;
  const bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  if (s == "inf") return true;
  if (s == "nan") return !negative;
  std::size_t digits = 0;
  while (digits < s.size() && is_digit(s[digits])) ++digits;
  if (digits == 0 || s.size() < digits + 7 || s[digits] != '.') return false;
  for (std::size_t i = digits + 1; i < digits + 7; ++i) {
    if (!is_digit(s[i])) return false;
  }
  const std::string_view rest = s.substr(digits + 7);
  if (rest.empty()) return true;  // "%f"
  // "%.6e": one digit before the point, an exponent of two or three digits.
  if (digits != 1 || rest.size() < 4 || rest.size() > 5 || rest[0] != 'e') return false;
  if (rest[1] != '+' && rest[1] != '-') return false;
  return std::all_of(rest.begin() + 2, rest.end(), is_digit);
}

std::string table_fault(std::string_view bytes, int header_lines) {
  if (bytes.empty()) return {};
  if (bytes.size() < 2 || bytes.substr(bytes.size() - 2) != "\r\n") {
    return "the last line does not end with CR LF";
  }
  int line_number = 0;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    const std::string_view line = bytes.substr(start, end - start);
    start = end + 2;
    const std::string where = "line " + std::to_string(line_number + 1);
    if (line.find_first_of("\r\n") != std::string_view::npos) return where + ": a bare CR or LF";
    if (line_number++ < header_lines || line.empty()) continue;
    std::size_t field_start = 0;
    for (int field = 0;; ++field) {
      const std::size_t tab = line.find('\t', field_start);
      const bool last = tab == std::string_view::npos;
      const std::string_view text = line.substr(field_start, last ? std::string_view::npos : tab - field_start);
      if (text.empty() ? !(field == 0 || last) : !is_table_number(text)) {
        return where + ", field " + std::to_string(field + 1) + ": \"" +
               std::string(text.substr(0, 40)) + "\" is not a number";
      }
      if (last) break;
      field_start = tab + 1;
    }
  }
  return {};
}

}  // namespace meridox::fuzzing
