#include "host/core/check.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <limits>
#include <utility>

#include "common/numbers.hpp"
#include "common/sheet.hpp"
#include "host/core/servo_loop.hpp"
#include "host/core/text.hpp"
#include "plate/layout.hpp"
#include "projection/layout.hpp"
#include "proximity/layout.hpp"
#include "stage/layout.hpp"

namespace meridox::host {
namespace {

// Above these a run takes about a minute or more, or writes a table of
// hundreds of megabytes.
constexpr double long_step_count = 1e8;
constexpr double long_table_rows = 1e6;
constexpr double long_plate_divisions = 1e6;
constexpr double long_fresnel_evaluations = 1e9;


// The 13-point source's effective sigma may differ from the sheet's by this
// much before the check warns.
constexpr double sigma_tolerance = 0.01;

// At most this many rows are named one by one in a label warning.
constexpr int label_warning_limit = 5;

// The cells the rules below combine, by reference into the layouts: a cell
// renamed or removed there does not build here.
namespace projection_cells {
constexpr const Layout& layout = projection::layout;
constexpr const CellSpec& grid = cell_of(layout, "grid_size");
constexpr const CellSpec& pitch = cell_of(layout, "pitch");
constexpr const CellSpec& wavelength = cell_of(layout, "wavelength");
constexpr const CellSpec& na = cell_of(layout, "NA");
constexpr const CellSpec& sigma = cell_of(layout, "sigma");
}  // namespace projection_cells
namespace proximity_cells {
constexpr const Layout& layout = proximity::layout;
constexpr const CellSpec& wavelength = cell_of(layout, "wavelength");
constexpr const CellSpec& gap = cell_of(layout, "gap");
}  // namespace proximity_cells
namespace plate_cells {
constexpr const Layout& layout = plate::layout;
constexpr const CellSpec& support_case = cell_of(layout, "support_case");
constexpr const CellSpec& poisson = cell_of(layout, "poisson");
constexpr const CellSpec& r_start = cell_of(layout, "r_start");
constexpr const CellSpec& r_end = cell_of(layout, "r_end");
constexpr const CellSpec& divisions = cell_of(layout, "divisions");
}  // namespace plate_cells
// Cells every stage reads under the same name.
consteval std::string_view stage_cell(std::string_view name) {
  return cell_name<stage::nut_stage_layout, stage::single_stage_layout, stage::stage_base_layout>(name);
}
namespace nut_stage_cells {
constexpr const Layout& layout = stage::nut_stage_layout;
constexpr const CellSpec& scale_switch = cell_of(layout, "scale_switch");
constexpr const CellSpec& scale_resolution = cell_of(layout, "scale_resolution");
constexpr const CellSpec& encoder_resolution = cell_of(layout, "encoder_resolution");
constexpr const CellSpec& inertia1 = cell_of(layout, "inertia1");
constexpr const CellSpec& inertia2 = cell_of(layout, "inertia2");
constexpr const CellSpec& start = cell_of(layout, "initial_nut_displacement");
}  // namespace nut_stage_cells

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A label as it is compared: decoded to UTF-8 (Shift-JIS as a spreadsheet
// saves it, or UTF-8), without surrounding blanks, ASCII letters in lower
// case; labels differing only in case or surrounding blanks are the same.
std::string label_key(std::string_view cell) {
  if (cell.empty()) return {};  // most rows of a sheet's grid
  const std::string text = display_text(cell);
  std::string key(trimmed(text));
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// The label (column 0) of each row of a sheet up to its guard row, as
// compared; the rows beyond are never written.
std::vector<std::string> row_keys(const Sheet& sheet) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<std::size_t>(sheet.shape().row_guard) + 1);
  for (int row = 0; row <= sheet.shape().row_guard; ++row) keys.push_back(label_key(sheet.cell(0, row)));
  return keys;
}

// The non-empty labels of a calculator's value rows in a sheet.
struct RowLabel {
  int row;
  std::string_view name;  // the parameter the calculator reads in that row
  std::string key;   // as compared
};

std::vector<RowLabel> row_labels(const Calculator& calculator, const std::vector<std::string>& keys) {
  std::vector<RowLabel> labels;
  for (const CellSpec& c : calculator.layout->cells) {
    const auto row = static_cast<std::size_t>(c.row);
    if (row < keys.size() && !keys[row].empty()) labels.push_back({c.row, c.name, keys[row]});
  }
  return labels;
}

// The labels of a calculator's built-in example, read once: a study checks
// a sheet for each value it varies.
const std::vector<RowLabel>& example_labels(const Calculator& calculator) {
  static const std::vector<std::vector<RowLabel>> all = [] {
    std::vector<std::vector<RowLabel>> labels;
    for (const Calculator& c : calculators()) labels.push_back(row_labels(c, row_keys(sheet_of(c, example_sheet(c.name)))));
    return labels;
  }();
  return all[static_cast<std::size_t>(&calculator - calculators().data())];
}

// The example's row with this label: its own row when the label is there,
// otherwise the first; nullptr when the example has no such label.
const RowLabel* example_row(const std::vector<RowLabel>& example, const RowLabel& label) {
  const RowLabel* found = nullptr;
  for (const RowLabel& e : example) {
    if (e.key != label.key) continue;
    if (e.row == label.row) return &e;
    if (found == nullptr) found = &e;
  }
  return found;
}

std::string label_of(const Sheet& sheet, int row, bool with_unit) {
  std::string label = display_text(sheet.cell(0, row));
  if (with_unit) {
    const std::string unit = display_text(sheet.cell(1, row));
    if (!unit.empty()) label += label.empty() ? "[" + unit + "]" : " [" + unit + "]";
  }
  return label;
}

class Checker {
 public:
  Checker(const Calculator& calculator, std::string_view bytes)
      : calc_(calculator), layout_(*calculator.layout), sheet_(sheet_of(calculator, bytes)) {
    scan_layout(bytes);
    scan_encoding(bytes);
  }

  CheckReport run() {
    for (const CellSpec& c : layout_.cells) read_cell(c.column, c.row, std::string(c.name), c.is_integer(), true);
    if (layout_.rectangles != nullptr) read_rectangles();
    // A sheet that is not TAB-separated text reads as zeros: its one warning says why.
    if (!cell_warnings_) return std::move(report_);
    compare_labels();
    cell_rules();
    // The rules that combine cells, per calculator.
    if (&layout_ == &projection_cells::layout) projection();
    if (&layout_ == &proximity_cells::layout) proximity();
    if (&layout_ == &plate_cells::layout) plate();
    if (&layout_ == &nut_stage_cells::layout) nut_stage();
    if (layout_.servo != ServoModel::none) {
      step_counts();
      servo_step();
    }
    return std::move(report_);
  }

 private:
  void warn(const char* code, int column, int row, std::string message) {
    report_.warnings.push_back({code, column, row, std::move(message)});
  }
  void warn_at(const char* code, std::string_view name, std::string message) {
    const CheckedCell* c = report_.cell(name);
    const std::string where =
        c ? "(" + std::to_string(c->column) + "," + std::to_string(c->row) + ") " : std::string();
    warn(code, c ? c->column : -1, c ? c->row : -1, where + std::string(name) + ": " + std::move(message));
  }
  void warn_at(const char* code, const CellSpec& cell, std::string message) {
    warn_at(code, cell.name, std::move(message));
  }
  double v(std::string_view name) const { return report_.value(name); }
  double v(const CellSpec& cell) const { return report_.value(cell.name); }

  // Lines longer, wider or more numerous than the grid are folded into it by
  // the reader: the user should know before a value lands in the wrong cell.
  void scan_layout(std::string_view bytes) {
    const GridShape& s = layout_.grid;
    int row = 0, column = 0, position = 0;
    bool too_wide = false, too_long = false;
    int first_wide = -1, first_long = -1;
    for (const char b : bytes) {
      if (b == '\n') {
        ++row;
        column = 0;
        position = 0;
      } else if (b == '\t') {
        ++column;
        position = 0;
        if (column >= s.columns && !too_wide) {
          too_wide = true;
          first_wide = row;
        }
      } else if (b != '\r') {
        ++position;
        if (position > s.cell_bytes - 1 && !too_long) {
          too_long = true;
          first_long = row;
        }
      }
    }
    const int lines = row + ((!bytes.empty() && bytes.back() != '\n') ? 1 : 0);
    if (lines > s.row_guard + 1) {
      warn("sheet-overflow", -1, s.row_guard,
           "the sheet has " + std::to_string(lines) + " lines; lines after line " +
               std::to_string(s.row_guard + 1) + " are read over row " +
               std::to_string(s.row_guard));
    }
    if (too_wide) {
      warn("sheet-overflow", -1, first_wide,
           "row " + std::to_string(first_wide) + " has more than " + std::to_string(s.columns) +
               " fields; the extra fields are read over column " +
               std::to_string(s.columns - 1));
    }
    if (too_long) {
      warn("sheet-overflow", -1, first_long,
           "row " + std::to_string(first_long) + " has a cell longer than " +
               std::to_string(s.cell_bytes - 1) + " bytes; it is cut there");
    }
  }

  // A sheet saved as UTF-16 or with spaces between its fields reads as one
  // cell per line: say why once instead of once per empty cell.
  void scan_encoding(std::string_view bytes) {
    const std::size_t probe = std::min<std::size_t>(bytes.size(), 4096);
    const std::size_t nuls = static_cast<std::size_t>(std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(probe), '\0'));
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF" || (probe > 0 && nuls * 4 >= probe)) {
      warn("utf-16", -1, -1,
           "the sheet is UTF-16 text (NUL bytes between its characters): no cell reads as a number; save it as "
           "ANSI (Shift-JIS) or UTF-8 text with TABs between the fields");
      cell_warnings_ = false;
    } else if (bytes.find('\t') == std::string_view::npos && !is_blank(bytes)) {
      warn("no-tabs", -1, -1,
           "the sheet has no TAB: each line reads as one cell and every value as 0; separate the fields with TABs"
           " (spaces do not separate cells)");
      cell_warnings_ = false;
    }
  }

  // Columns 0 and 1 are the user's and no calculator reads them: a label
  // says something about the values only when it is one of a built-in
  // example's. Labels of this calculator's example in other rows than the
  // example's mean a line was added or deleted above them; labels that are
  // mostly another calculator's mean the sheet is that calculator's. Any other
  // wording (Japanese, the user's own English) is the user's: a note, no warning.
  void compare_labels() {
    const std::vector<RowLabel>& example = example_labels(calc_);
    const std::vector<std::string> keys = row_keys(sheet_);
    const std::vector<RowLabel> labels = row_labels(calc_, keys);
    int known = 0;
    std::vector<std::pair<const RowLabel*, const RowLabel*>> moved;  // the sheet's row, the example's
    for (const RowLabel& label : labels) {
      const RowLabel* home = example_row(example, label);
      if (home == nullptr) continue;
      ++known;
      if (home->row != label.row) moved.emplace_back(&label, home);
    }
    if (const LabelFit other = better_fitting_calculator(keys); other.calculator != nullptr) {
      warn("label-mismatch", -1, -1,
           "the sheet holds " + std::to_string(other.labels) + " of " + other.calculator->alias +
               "'s example labels and " + std::to_string(other.own) + " of " + calc_.alias +
               "'s: this looks like a sheet of " + other.calculator->alias + " (" + other.calculator->name + ")");
      return;
    }
    const std::size_t shown = std::min<std::size_t>(moved.size(), label_warning_limit);
    for (std::size_t k = 0; k < shown; ++k) {
      const auto [label, home] = moved[k];
      warn("label-mismatch", 0, label->row,
           "(0," + std::to_string(label->row) + ") " + std::string(label->name) + ": the label \"" +
               display_text(trimmed(sheet_.cell(0, label->row))) +
               "\" is the example's label of row " + std::to_string(home->row) + " (" + std::string(home->name) +
               "): a line added or deleted above it?");
    }
    if (moved.size() > shown) {
      warn("label-mismatch", -1, -1,
           std::to_string(moved.size()) + " labels lie in other rows than the example's (the first " +
               std::to_string(label_warning_limit) +
               " are shown): values may lie in other rows than the calculator reads (a line added or deleted?)");
    }
    const std::size_t own = labels.size() - static_cast<std::size_t>(known);
    if (own > 0) {
      report_.notes.push_back(std::to_string(own) + " of " + std::to_string(labels.size()) +
                              " labels are the sheet's own wording, not the example's: the values are read by "
                              "row, whatever the label says");
    }
  }

  // The calculator more of whose example labels the sheet holds than of this
  // one's, and most of them; of two equally fitting, the one with fewer rows
  // (a sheet of the stage is all but the base rows of the stage on a base).
  // In which rows the labels lie does not matter here: a sheet of another
  // calculator with a line added is still that calculator's. No calculator
  // when none fits better.
  struct LabelFit {
    const Calculator* calculator = nullptr;
    int labels = 0;  // its example's labels that the sheet holds
    int own = 0;     // this calculator's example's labels that the sheet holds
  };
  LabelFit better_fitting_calculator(const std::vector<std::string>& row_keys) const {
    std::vector<std::string_view> keys;
    for (const std::string& key : row_keys) {
      if (!key.empty()) keys.push_back(key);
    }
    auto fit = [&](const std::vector<RowLabel>& example) {
      int n = 0;
      for (const RowLabel& e : example) n += std::find(keys.begin(), keys.end(), e.key) != keys.end() ? 1 : 0;
      return n;
    };
    const int own = fit(example_labels(calc_));
    LabelFit best{nullptr, own, own};
    std::size_t best_rows = 0;
    for (const Calculator& other : calculators()) {
      if (&other == &calc_) continue;
      const std::vector<RowLabel>& theirs = example_labels(other);
      const int labels = fit(theirs);
      if (2 * static_cast<std::size_t>(labels) <= theirs.size()) continue;
      if (labels > best.labels ||
          (best.calculator != nullptr && labels == best.labels && theirs.size() < best_rows)) {
        best = {&other, labels, own};
        best_rows = theirs.size();
      }
    }
    return best;
  }

  // The layout's rules of single cells: values no physical set-up has (the
  // run goes on, but its results mean nothing) and values divided by.
  void cell_rules() {
    for (const CellCheck& rule : layout_.checks) {
      const double value = v(rule.cell);
      switch (rule.rule) {
        case CellRule::nonzero:
          zero_divides(rule.cell, std::string(rule.why));
          break;
        case CellRule::nonnegative:
          if (value < 0.0) warn_at("implausible", rule.cell, "is negative: " + std::string(rule.why));
          break;
        case CellRule::sine:
          if (value < 0.0 || value > 1.0) {
            warn_at("implausible", rule.cell, number_text(value) + " lies outside (0, 1]: " + std::string(rule.why));
          }
          break;
      }
    }
  }

  void read_cell(int column, int row, std::string name, bool integer, bool with_unit) {
    const std::string_view raw = sheet_.cell(column, row);
    const double value = integer ? static_cast<double>(c_atoi(raw)) : c_atof(raw);
    const std::size_t extent = integer ? integer_extent(raw) : real_extent(raw);
    report_.cells.push_back(
        {column, row, name, label_of(sheet_, row, with_unit), display_text(raw), value, integer});
    if (!cell_warnings_) return;
    auto where = [&] { return "(" + std::to_string(column) + "," + std::to_string(row) + ") "; };
    if (extent == 0) {
      warn("no-number", column, row,
           where() + name +
               (is_blank(raw) ? ": the cell is empty; it reads as 0"
                              : ": \"" + display_text(raw) + "\" holds no number; it reads as 0"));
    } else if (!is_blank(raw.substr(extent))) {
      warn("trailing-text", column, row,
           where() + name + ": \"" + display_text(raw) + "\" has text after the number; it reads as " +
               number_text(value));
    }
  }

  void read_rectangles() {
    const RectangleSpec& t = *layout_.rectangles;
    const int most = layout_.rectangle_limit();
    const long long given = static_cast<long long>(v(t.count_cell));
    const int used = static_cast<int>(std::clamp<long long>(given, 0, most));
    const int last_row = layout_.grid.row_guard;
    const int available = layout_.rectangle_rows();
    if (given > most) {
      // A limit other than the sheet's rectangle rows is the calculator's own.
      warn_at("limited", t.count_cell,
              most != available
                  ? std::to_string(given) + " is above the limit; the calculator uses " + std::to_string(most) +
                        " rectangles"
                  : std::to_string(given) + " is more rectangles than the sheet holds (" + std::to_string(most) +
                        ", rows " + std::to_string(t.first_row) + " to " + std::to_string(last_row) + ")");
    }
    if (used > available) {
      warn_at("limited", t.count_cell,
              "rectangles from rect[" + std::to_string(available) + "] on lie beyond row " + std::to_string(last_row) +
                  ", the sheet's last, and contribute nothing");
    }
    // Wholly empty rectangle rows read as empty rectangles: one line for all.
    int empty_rows = 0, first_empty = -1;
    for (int q = 0; q < std::min(used, available); ++q) {
      const int row = t.first_row + q;
      bool empty = true;
      for (int k = 1; k <= 6; ++k) empty = empty && is_blank(sheet_.cell(k, row));
      const bool keep = cell_warnings_;
      if (empty) {
        ++empty_rows;
        if (first_empty < 0) first_empty = q;
        cell_warnings_ = false;
      }
      for (int k = 0; k < 6; ++k) {
        read_cell(k + 1, row, std::string(rectangle_columns[k]) + "[" + std::to_string(q) + "]", false, false);
      }
      cell_warnings_ = keep;
    }
    if (empty_rows > 0 && cell_warnings_) {
      warn("no-number", -1, t.first_row + first_empty,
           std::to_string(empty_rows) + (empty_rows == 1 ? " rectangle row is" : " rectangle rows are") +
               " empty, from rect[" + std::to_string(first_empty) + "] (row " +
               std::to_string(t.first_row + first_empty) + "): each reads as 0, a rectangle of no area");
    }
  }

  void zero_divides(std::string_view name, const std::string& why) {
    if (report_.cell(name) && v(name) == 0.0) warn_at("divides-by-zero", name, "is 0: " + why);
  }

  void projection() {
    using namespace projection_cells;
    const int n = static_cast<int>(v(grid));
    const int projection_grid_limit = grid.high;
    if (n > projection_grid_limit) {
      warn_at("limited", grid,
              std::to_string(n) + " is above the largest grid; the calculator uses " +
                  std::to_string(projection_grid_limit));
    } else if (n <= 0) {
      warn_at("empty-result", grid, "is 0 or below: the tables hold no samples");
    }
    if (v(layout.rectangles->count_cell) <= 0) {
      warn_at("empty-result", layout.rectangles->count_cell, "no rectangles: the mask is opaque, every table is 0");
    }
    const int used_n = std::min(n, projection_grid_limit);
    if (used_n < 1) return;
    optics_sampling();
    const int c0 = used_n / 2;
    for (const CheckedCell& c : report_.cells) {
      if (c.column < 3 || c.column > 6 || c.row < layout.rectangles->first_row) continue;
      if (c.value > c0 || c.value < -c0) {
        const double limited = c.value > c0 ? c0 : -c0;
        warn("limited", c.column, c.row,
             c.name + " = " + number_text(c.value) + " lies beyond the edge of the " +
                 std::to_string(used_n) + "-sample grid; it is used as " + number_text(limited));
      }
    }
  }

  // What the grid does to the optics: the source's whole-sample shifts, a
  // pitch too coarse for the image between samples, an odd grid.
  void optics_sampling() {
    using namespace projection_cells;
    const SourceSampling ss = source_sampling(calc_, sheet_);
    if (!ss.usable) return;
    const double sigma = v(projection_cells::sigma), na = v(projection_cells::na),
                 wavelength = v(projection_cells::wavelength);
    char acts[200];
    std::snprintf(acts, sizeof acts,
                  "the 13-point source acts as sigma %.3g (outer points %d samples out, inner %d, of a pupil radius "
                  "of %.3g samples)",
                  ss.outer_sigma, ss.outer, ss.inner, ss.pupil_radius);
    if (sigma > 0 && (std::fabs(ss.outer_sigma - sigma) > sigma_tolerance ||
                      std::fabs(ss.inner_sigma - sigma) > sigma_tolerance)) {
      std::string message = std::string(acts) + ", not " + number_text(sigma);
      if (ss.inner_sigma != ss.outer_sigma) {
        char inner[64];
        std::snprintf(inner, sizeof inner, " (its inner points as %.3g)", ss.inner_sigma);
        message += inner;
      }
      char advice[200];
      std::snprintf(advice, sizeof advice,
                    ": the points move the spectrum by whole samples of 1/(N pitch); N pitch a whole multiple of "
                    "%.4g (2 wavelength / (NA sigma)) puts them where sigma says",
                    2 * wavelength / (na * sigma));
      warn_at("source-sampling", projection_cells::sigma, message + advice);
    } else if (sigma > 0) {
      report_.notes.push_back(acts);
    }
    if (!ss.band_limited()) {
      warn_at("coarse-pitch", pitch,
              number_text(v(pitch)) + " is above wavelength / (4 NA) = " + number_text(wavelength / (4 * na)) +
                  ": the image's spectrum reaches 2 NA / wavelength and is not sampled above twice that, so the "
                  "image between its samples, and the widths and log slopes measured there, are not exact");
    }
    if (ss.grid % 2 == 1) {
      warn_at("odd-grid", grid,
              std::to_string(ss.grid) + " is odd: the transform's centre lies half a sample from the grid's, so the "
              "defocus and aberration phases are taken half a sample away from each pupil sample's frequency and "
              "the image moves with focus; use an even grid");
    }
  }

  void proximity() {
    using namespace proximity_cells;
    const double lambda = v(wavelength), z = v(gap);
    if (!(lambda * z > 0.0)) {
      warn_at("divides-by-zero", lambda > 0.0 ? gap : wavelength,
              "wavelength x gap is not positive: the Fresnel scale divides by its square root");
    }
    const CellSpec& count = layout.at(layout.rectangles->count_cell);
    long long points = 81 * static_cast<long long>(std::clamp(static_cast<int>(v(count)), 0, count.high));
    // The image window's axes, x then y.
    const ImageSpec& image = layout.image;
    static constexpr const char* axes[2] = {"x", "y"};
    for (int axis = 0; axis < 2; ++axis) {
      const CellSpec& cell = layout.at(image.axis(axis).steps_cell);
      const int steps = static_cast<int>(v(cell));
      const int proximity_step_limit = cell.high;
      if (steps == 0) {
        warn_at("single-sample", cell,
                std::string("is 0: the map has a single ") + (axis == 0 ? "column, at x start" : "row, at y start"));
      } else if (steps < 0) {
        warn_at("empty-result", cell, "is negative: the table has no intensities");
      } else if (steps > proximity_step_limit) {
        warn_at("limited", cell,
                std::to_string(steps) + " is above the limit of " + std::to_string(proximity_step_limit) +
                    " intervals (" + std::to_string(proximity_step_limit + 1) + " points)");
      }
      points *= std::clamp(steps, 0, proximity_step_limit) + 1;
    }
    for (int axis = 0; axis < 2; ++axis) {
      const std::string_view from = image.axis(axis).start_cell, to = image.axis(axis).end_cell;
      const CellSpec& steps = layout.at(image.axis(axis).steps_cell);
      if (v(from) == v(to) && v(steps) > 0) {
        warn_at("single-sample", to,
                "equals " + std::string(from) + ": all " +
                    std::to_string(std::min(static_cast<int>(v(steps)), steps.high) + 1) + " samples along " +
                    axes[axis] + " lie at the same place");
      }
    }
    if (v(count) <= 0) {
      warn_at("empty-result", count, "no rectangles: the intensity is 0 everywhere");
    }
    if (static_cast<double>(points) > long_fresnel_evaluations) {
      warn_at("long-run", count,
              "81 source points x rectangles x grid points = " + std::to_string(points) +
                  " diffraction sums: a long run");
    }
  }

  void plate() {
    using namespace plate_cells;
    const int support = static_cast<int>(v(support_case));
    if (support < 0 || support > 2) {
      warn_at("unsupported", support_case,
              std::to_string(support) + " is none of 0, 1, 2: no edge condition is solved; the run integrates from zero start values under the load");
    }
    if (std::fabs(v(poisson)) == 1.0) {
      warn_at("divides-by-zero", poisson, "is +-1: the rigidity divides by 1 - nu^2 = 0");
    }
    const double r0 = v(r_start), r1 = v(r_end);
    if (r0 == 0.0) {
      warn_at("divides-by-zero", r_start, "is 0: the plate equation divides by the radius");
    } else if (r0 * r1 <= 0.0) {
      warn_at("divides-by-zero", r_end, "the span from r_start to r_end passes through radius 0");
    } else if (r0 == r1 && (support == 0 || support == 2)) {
      warn_at("divides-by-zero", r_end, "equals r_start: the shooting's difference quotient is 0/0");
    }
    const int n = static_cast<int>(v(divisions));
    if (n <= 0) {
      warn_at(support == 0 || support == 2 ? "divides-by-zero" : "empty-result", divisions,
              "is 0 or below: no step is taken" +
                  std::string(support == 0 || support == 2 ? " and the shooting divides by zero" : ""));
    } else if (n > long_plate_divisions) {
      const long long steps = std::min<long long>(10LL * n, std::numeric_limits<int>::max());
      warn_at("long-run", divisions, "31 integrations of " + std::to_string(steps) + " steps each" +
                                         (steps < 10LL * n ? " (the step count stops at the largest int)" : "") +
                                         ": a long run");
    }
  }

  // The stage table's step count and print interval.
  void step_counts() {
    const TableSpec& table = *layout_.table_with(MetricKind::stage);
    const std::string_view steps_cell = table.steps_cell, interval_cell = table.interval_cell;
    const int steps = static_cast<int>(v(steps_cell));
    const int interval = static_cast<int>(v(interval_cell));
    if (interval == 0) {
      warn_at("print-interval-zero", interval_cell,
              "is 0: no row is written during the run; the table holds the final row only");
    }
    if (steps <= 0) {
      warn_at("empty-result", steps_cell, "is 0 or below: the table holds the start row only");
    } else if (steps > long_step_count) {
      warn_at("long-run", steps_cell,
              std::to_string(steps) + " steps: a long run (some seconds per 10^8 steps), and no summary of every step");
    }
    if (steps > 0 && interval != 0 && static_cast<double>(steps) / std::abs(static_cast<double>(interval)) >
                                          long_table_rows) {
      warn_at("long-run", interval_cell,
              "a row every " + std::to_string(interval) + " of " + std::to_string(steps) +
                  " steps writes more than a million rows");
    }
  }

  // The sensor the switch chooses and the screw's inertia.
  void nut_stage() {
    using namespace nut_stage_cells;
    const bool scale = static_cast<int>(v(scale_switch)) != 0;
    zero_divides((scale ? scale_resolution : encoder_resolution).name, "the position count divides by it");
    if (v(inertia1) + v(inertia2) == 0.0) {
      warn_at("divides-by-zero", inertia2, "inertia1 + inertia2 is 0: the screw's acceleration divides by it");
    }
  }

  // The step is both the servo's period and the integration's: a mode of
  // the plant too fast for it grows in the integration whatever the servo
  // does (an undamped mode once omega h > 2.83) or comes out with a wrong
  // frequency and decay; halving the step to check changes the loop too.
  // And the first step's velocity term sees a previous count of 0, so a
  // start offset acts as a jump of that many counts within one step.
  void servo_step() {
    const std::optional<ServoLoop> loop = servo_loop(calc_, sheet_);
    if (!loop || !(loop->time_step > 0) || !finite_loop(*loop)) return;
    const std::string_view time_step = layout_.table_with(MetricKind::stage)->step_time_cell;
    for (const PlantMode& m : plant_modes(*loop)) {
      const std::string mode = "the plant's mode at " + shortest_of(m.hz) + " Hz (damping " + shortest_of(m.damping) +
                               ") has omega h = " + shortest_of(m.omega_h);
      const std::string better = "; a step of at most " + shortest_of(faithful_step(m.s)) +
                                 " s integrates it within 1 % (the step is also the servo period: the loop changes with it)";
      if (m.growth > 1 && m.damping >= 0) {
        warn_at("unstable-step", time_step,
                mode + ", beyond the Runge-Kutta step's stability limit (omega h = 2.83 for an undamped mode): the "
                       "integration multiplies it by " + shortest_of(m.growth) + " a step, a growth no servo causes" + better);
      } else if (m.step_error > step_accuracy_limit) {
        warn_at("coarse-step", time_step,
                mode + ", beyond the accuracy limit (about 1.1 for an undamped mode): the step's error in its "
                       "frequency and decay is " + shortest_of(100 * m.step_error) + " %" + better);
      }
    }
    const FirstStep first = first_step(*loop);
    if (first.count != 0 && std::isfinite(first.velocity_term)) {
      // The start offset of what the sensor reads.
      const std::string_view cell = &layout_ == &nut_stage_cells::layout && v(nut_stage_cells::scale_switch) == 0
                                        ? nut_stage_cells::start.name
                                        : stage_cell("stage_displacement");
      warn_at("derivative-kick", cell,
              "a start offset of " + shortest_of(first.count) + " counts: the first step's velocity term sees a "
              "previous count of 0 and drives " + shortest_of(first.velocity_term) + " A (Kd n r / h) for one step, "
              "besides the position term's " + shortest_of(first.position_term) + " A, as if the stage had jumped "
              "there within one step");
    }
  }

  // A value with four significant digits, for messages about the physics.
  static std::string shortest_of(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
  }

  const Calculator& calc_;
  const Layout& layout_;
  const Sheet sheet_;  // read once: every rule and the servo loop read its cells
  CheckReport report_;
  bool cell_warnings_ = true;
};

}  // namespace

const CheckedCell* CheckReport::cell(std::string_view name) const {
  for (const CheckedCell& c : cells) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

double CheckReport::value(std::string_view name) const {
  const CheckedCell* c = cell(name);
  return c ? c->value : 0.0;
}

bool CheckReport::has(std::string_view code, int row) const {
  for (const Warning& w : warnings) {
    if (w.code == code && (row < 0 || w.row == row)) return true;
  }
  return false;
}

std::string CheckReport::cell_of(const Warning& w) const {
  std::string name;
  for (const CheckedCell& c : cells) {
    if (c.column == w.column && c.row == w.row) name = c.name;
  }
  return name;
}

CheckReport check_sheet(const Calculator& calculator, std::string_view sheet_bytes) {
  return Checker(calculator, sheet_bytes).run();
}

SourceSampling source_sampling(const Calculator& calc, std::string_view sheet_bytes) {
  if (calc.layout != &projection_cells::layout) return {};
  return source_sampling(calc, sheet_of(calc, sheet_bytes));
}

SourceSampling source_sampling(const Calculator& calc, const Sheet& sheet) {
  SourceSampling ss;
  using namespace projection_cells;
  if (calc.layout != &layout) return ss;
  ss.grid = read_integer(sheet, grid);
  const double na = read_real(sheet, projection_cells::na), sigma = read_real(sheet, projection_cells::sigma),
               pitch = read_real(sheet, projection_cells::pitch), wavelength = read_real(sheet, projection_cells::wavelength);
  const double nd = ss.grid;
  ss.pupil_radius = na * pitch * nd / wavelength;
  ss.usable = ss.grid > 0 && std::isfinite(ss.pupil_radius) && ss.pupil_radius > 0;
  if (!ss.usable) return ss;
  // The calculator's rounding: halves upwards, in this order of operations.
  auto shift = [&](int m) {
    const double s = std::floor(m * na * sigma / 2 * pitch * nd / wavelength + 0.5);
    return std::isfinite(s) ? static_cast<int>(std::clamp(s, -nd, nd)) : ss.grid;
  };
  ss.inner = shift(1);
  ss.outer = shift(2);
  ss.inner_sigma = 2 * ss.inner / ss.pupil_radius;
  ss.outer_sigma = ss.outer / ss.pupil_radius;
  // The pupil: the largest sum of two squares within R^2 (samples lie at
  // whole offsets from the centre).
  const double r2 = std::min(ss.pupil_radius * ss.pupil_radius, 2.0 * nd * nd);
  for (long long k = static_cast<long long>(std::floor(r2)); k >= 0; --k) {
    bool sum = false;
    for (long long a = 0; a * a <= k && !sum; ++a) {
      const long long b = static_cast<long long>(std::llround(std::sqrt(static_cast<double>(k - a * a))));
      sum = b * b == k - a * a;
    }
    if (sum) {
      ss.pupil_r2 = k;
      break;
    }
  }
  return ss;
}

namespace {

// `text` padded with spaces to `width` characters (longer text is kept whole).
std::string column(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size() + 1, ' ');
}

}  // namespace

std::string format_report(const Calculator& calculator, const CheckReport& report) {
  std::string out = std::string(calculator.alias) + " (" + calculator.name + "): " +
                    std::to_string(report.cells.size()) + " cells used\n";
  out += column("cell", 8) + column("parameter", 26) + column("value", 16) + column("raw text", 18) + "label [unit]\n";
  for (const CheckedCell& c : report.cells) {
    const std::string cell = "(" + std::to_string(c.column) + "," + std::to_string(c.row) + ")";
    out += column(cell, 8) + column(c.name, 26) + column(number_text(c.value), 16) + column("\"" + c.raw + "\"", 18) +
           c.label + "\n";
  }
  for (const std::string& note : report.notes) out += "note: " + note + "\n";
  if (report.warnings.empty()) {
    out += "no warnings\n";
  } else {
    out += std::to_string(report.warnings.size()) +
           (report.warnings.size() == 1 ? " warning:\n" : " warnings:\n");
    for (const Warning& w : report.warnings) out += "warning [" + w.code + "]: " + w.message + "\n";
  }
  return out;
}

}  // namespace meridox::host
