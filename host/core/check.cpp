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

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A label as it is compared: decoded to UTF-8 (Shift-JIS as a spreadsheet
// saves it, or UTF-8), without surrounding blanks, ASCII letters in lower
// case; labels differing only in case or surrounding blanks are the same.
std::string label_key(std::string_view cell) {
  const std::string text = display_text(cell);
  std::string key(trimmed(text));
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// The non-empty labels (column 0) of a calculator's value rows in a sheet.
struct RowLabel {
  int row;
  const char* name;  // the parameter the calculator reads in that row
  std::string key;   // as compared
  std::string shown;  // as the user wrote it, decoded
};

std::vector<RowLabel> row_labels(const Calculator& calculator, const Sheet& sheet) {
  std::vector<RowLabel> labels;
  for (const Cell& c : calculator.cells) {
    std::string key = label_key(sheet.cell(0, c.row));
    if (!key.empty()) labels.push_back({c.row, c.name, std::move(key), display_text(trimmed(sheet.cell(0, c.row)))});
  }
  return labels;
}

// The labels of a calculator's built-in example, read once: a study checks
// a sheet for each value it varies.
const std::vector<RowLabel>& example_labels(const Calculator& calculator) {
  static const std::vector<std::vector<RowLabel>> all = [] {
    std::vector<std::vector<RowLabel>> labels;
    for (const Calculator& c : calculators()) labels.push_back(row_labels(c, sheet_of(c, example_sheet(c.name))));
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
      : calc_(calculator), bytes_(bytes), sheet_(calculator.shape) {
    sheet_.feed(bytes);
    sheet_.finish();
    scan_layout(bytes);
    scan_encoding(bytes);
  }

  CheckReport run() {
    for (const Cell& c : calc_.cells) read_cell(2, c.row, c.name, c.integer, true);
    if (calc_.has_rectangles) read_rectangles();
    // A sheet that is not TAB-separated text reads as zeros: its one warning says why.
    if (!cell_warnings_) return std::move(report_);
    compare_labels();
    implausible();
    switch (calc_.kind) {
      case Kind::projection: projection(); break;
      case Kind::proximity: proximity(); break;
      case Kind::plate: plate(); break;
      case Kind::stage: stage_frame("resolution"); break;
      case Kind::stage_base:
        stage_frame("resolution");
        zero_divides("base_mass", "the base's acceleration divides by its mass");
        break;
      case Kind::nut_stage: nut_stage(); break;
    }
    if (calc_.kind == Kind::stage || calc_.kind == Kind::stage_base || calc_.kind == Kind::nut_stage) servo_step();
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
  double v(std::string_view name) const { return report_.value(name); }

  // Lines longer, wider or more numerous than the grid are folded into it by
  // the reader: the user should know before a value lands in the wrong cell.
  void scan_layout(std::string_view bytes) {
    const GridShape& s = calc_.shape;
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
    const std::vector<RowLabel> labels = row_labels(calc_, sheet_);
    int known = 0;
    std::vector<std::pair<const RowLabel*, const RowLabel*>> moved;  // the sheet's row, the example's
    for (const RowLabel& label : labels) {
      const RowLabel* home = example_row(example, label);
      if (home == nullptr) continue;
      ++known;
      if (home->row != label.row) moved.emplace_back(&label, home);
    }
    if (const LabelFit other = better_fitting_calculator(); other.calculator != nullptr) {
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
           "(0," + std::to_string(label->row) + ") " + label->name + ": the label \"" + label->shown +
               "\" is the example's label of row " + std::to_string(home->row) + " (" + home->name +
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
  LabelFit better_fitting_calculator() const {
    std::vector<std::string> keys;
    for (int row = 0; row <= calc_.shape.row_guard; ++row) {
      std::string key = label_key(sheet_.cell(0, row));
      if (!key.empty()) keys.push_back(std::move(key));
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

  // Values no physical set-up has: the run goes on, but its results mean nothing.
  void implausible() {
    auto negative = [&](const char* name, const char* what) {
      if (report_.cell(name) && v(name) < 0.0) warn_at("implausible", name, "is negative: " + std::string(what));
    };
    for (const char* name : {"stage_mass", "base_mass", "inertia1", "inertia2"}) negative(name, "a mass or inertia is never below 0");
    for (const char* name : {"resolution", "scale_resolution", "encoder_resolution"}) negative(name, "a sensor's count has a positive length");
    negative("time_step", "time runs backwards");
    negative("thickness", "a plate has a positive thickness");
    negative("modulus", "a modulus of elasticity is positive");
    negative("wavelength", "a wavelength is positive");
    negative("gap", "the mask lies a positive gap above the resist");
    negative("sigma", "a coherence factor lies between 0 and 1");
    if (report_.cell("NA") && (v("NA") < 0.0 || v("NA") > 1.0)) {
      warn_at("implausible", "NA", number_text(v("NA")) + " lies outside (0, 1]: a numerical aperture is a sine");
    }
  }

  void read_cell(int column, int row, std::string name, bool integer, bool with_unit) {
    const std::string_view raw = sheet_.cell(column, row);
    const double value = integer ? static_cast<double>(c_atoi(raw)) : c_atof(raw);
    const std::size_t extent = integer ? integer_extent(raw) : real_extent(raw);
    report_.cells.push_back(
        {column, row, name, label_of(sheet_, row, with_unit), display_text(raw), value, integer});
    const std::string where = "(" + std::to_string(column) + "," + std::to_string(row) + ") ";
    if (!cell_warnings_) return;
    if (extent == 0) {
      warn("no-number", column, row,
           where + name +
               (is_blank(raw) ? ": the cell is empty; it reads as 0"
                              : ": \"" + display_text(raw) + "\" holds no number; it reads as 0"));
    } else if (!is_blank(raw.substr(extent))) {
      warn("trailing-text", column, row,
           where + name + ": \"" + display_text(raw) + "\" has text after the number; it reads as " +
               number_text(value));
    }
  }

  void read_rectangles() {
    const RectangleTable& t = calc_.rectangles;
    const long long given = static_cast<long long>(v("rect_count"));
    const int used = static_cast<int>(std::clamp<long long>(given, 0, t.max_count));
    if (given > t.max_count) {
      warn_at("limited", "rect_count",
              calc_.kind == Kind::projection
                  ? std::to_string(given) + " is above the limit; the calculator uses " + std::to_string(t.max_count) +
                        " rectangles"
                  : std::to_string(given) + " is more rectangles than the sheet holds (" +
                        std::to_string(t.max_count) + ", rows " + std::to_string(t.first_row) + " to " +
                        std::to_string(calc_.shape.row_guard) + ")");
    }
    const int last_row = calc_.shape.row_guard;
    const int available = std::max(0, last_row - t.first_row + 1);
    if (used > available) {
      warn_at("limited", "rect_count",
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

  void zero_divides(const char* name, const std::string& why) {
    if (report_.cell(name) && v(name) == 0.0) warn_at("divides-by-zero", name, "is 0: " + why);
  }

  // The largest value the calculator uses in an integer cell.
  int high(std::string_view name) const { return calc_.layout->find(name)->high; }

  void projection() {
    const int n = static_cast<int>(v("grid_size"));
    const int projection_grid_limit = high("grid_size");
    if (n > projection_grid_limit) {
      warn_at("limited", "grid_size",
              std::to_string(n) + " is above the largest grid; the calculator uses " +
                  std::to_string(projection_grid_limit));
    } else if (n <= 0) {
      warn_at("empty-result", "grid_size", "is 0 or below: the tables hold no samples");
    }
    zero_divides("pitch", "the spectrum axis divides by it; the tables hold inf or nan");
    zero_divides("wavelength", "the pupil divides by it; the image holds inf or nan");
    zero_divides("NA", "the pupil coordinates divide by it; the image holds inf or nan");
    if (v("rect_count") <= 0) {
      warn_at("empty-result", "rect_count", "no rectangles: the mask is opaque, every table is 0");
    }
    const int used_n = std::min(n, projection_grid_limit);
    if (used_n < 1) return;
    optics_sampling();
    const int c0 = used_n / 2;
    for (const CheckedCell& c : report_.cells) {
      if (c.column < 3 || c.column > 6 || c.row < calc_.rectangles.first_row) continue;
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
    const SourceSampling ss = source_sampling(calc_, bytes_);
    if (!ss.usable) return;
    const double sigma = v("sigma"), na = v("NA"), wavelength = v("wavelength");
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
      warn_at("source-sampling", "sigma", message + advice);
    } else if (sigma > 0) {
      report_.notes.push_back(acts);
    }
    if (!ss.band_limited()) {
      warn_at("coarse-pitch", "pitch",
              number_text(v("pitch")) + " is above wavelength / (4 NA) = " + number_text(wavelength / (4 * na)) +
                  ": the image's spectrum reaches 2 NA / wavelength and is not sampled above twice that, so the "
                  "image between its samples, and the widths and log slopes measured there, are not exact");
    }
    if (ss.grid % 2 == 1) {
      warn_at("odd-grid", "grid_size",
              std::to_string(ss.grid) + " is odd: the transform's centre lies half a sample from the grid's, so the "
              "defocus and aberration phases are taken half a sample away from each pupil sample's frequency and "
              "the image moves with focus; use an even grid");
    }
  }

  void proximity() {
    const double wavelength = v("wavelength"), gap = v("gap");
    if (!(wavelength * gap > 0.0)) {
      warn_at("divides-by-zero", wavelength > 0.0 ? "gap" : "wavelength",
              "wavelength x gap is not positive: the Fresnel scale divides by its square root");
    }
    long long points = 81 * static_cast<long long>(std::clamp(static_cast<int>(v("rect_count")), 0, high("rect_count")));
    for (const char* name : {"x_steps", "y_steps"}) {
      const int steps = static_cast<int>(v(name));
      const int proximity_step_limit = high(name);
      if (steps == 0) {
        warn_at("single-sample", name,
                std::string("is 0: the map has a single ") + (name[0] == 'x' ? "column, at x start" : "row, at y start"));
      } else if (steps < 0) {
        warn_at("empty-result", name, "is negative: the table has no intensities");
      } else if (steps > proximity_step_limit) {
        warn_at("limited", name,
                std::to_string(steps) + " is above the limit of " + std::to_string(proximity_step_limit) +
                    " intervals (" + std::to_string(proximity_step_limit + 1) + " points)");
      }
      points *= std::clamp(steps, 0, proximity_step_limit) + 1;
    }
    for (const char* axis : {"x", "y"}) {
      const std::string from = std::string(axis) + "_start", to = std::string(axis) + "_end",
                        steps = std::string(axis) + "_steps";
      if (v(from) == v(to) && v(steps) > 0) {
        warn_at("single-sample", to,
                "equals " + from + ": all " + std::to_string(std::min(static_cast<int>(v(steps)), high(steps)) + 1) +
                    " samples along " + axis + " lie at the same place");
      }
    }
    if (v("rect_count") <= 0) {
      warn_at("empty-result", "rect_count", "no rectangles: the intensity is 0 everywhere");
    }
    if (static_cast<double>(points) > long_fresnel_evaluations) {
      warn_at("long-run", "rect_count",
              "81 source points x rectangles x grid points = " + std::to_string(points) +
                  " diffraction sums: a long run");
    }
  }

  void plate() {
    const int support = static_cast<int>(v("support_case"));
    if (support < 0 || support > 2) {
      warn_at("unsupported", "support_case",
              std::to_string(support) + " is none of 0, 1, 2: no edge condition is solved; the run integrates from zero start values under the load");
    }
    zero_divides("modulus", "the rigidity is 0 and the load term divides by it");
    zero_divides("thickness", "the rigidity is 0 and the stress divides by t squared");
    if (std::fabs(v("poisson")) == 1.0) {
      warn_at("divides-by-zero", "poisson", "is +-1: the rigidity divides by 1 - nu^2 = 0");
    }
    const double r0 = v("r_start"), r1 = v("r_end");
    if (r0 == 0.0) {
      warn_at("divides-by-zero", "r_start", "is 0: the plate equation divides by the radius");
    } else if (r0 * r1 <= 0.0) {
      warn_at("divides-by-zero", "r_end", "the span from r_start to r_end passes through radius 0");
    } else if (r0 == r1 && (support == 0 || support == 2)) {
      warn_at("divides-by-zero", "r_end", "equals r_start: the shooting's difference quotient is 0/0");
    }
    const int divisions = static_cast<int>(v("divisions"));
    if (divisions <= 0) {
      warn_at(support == 0 || support == 2 ? "divides-by-zero" : "empty-result", "divisions",
              "is 0 or below: no step is taken" +
                  std::string(support == 0 || support == 2 ? " and the shooting divides by zero" : ""));
    } else if (divisions > long_plate_divisions) {
      const long long steps = std::min<long long>(10LL * divisions, std::numeric_limits<int>::max());
      warn_at("long-run", "divisions", "31 integrations of " + std::to_string(steps) + " steps each" +
                                           (steps < 10LL * divisions ? " (the step count stops at the largest int)" : "") +
                                           ": a long run");
    }
  }

  void stage_frame(const char* resolution) {
    zero_divides(resolution, "the position count divides by it");
    zero_divides("stage_mass", "the stage's acceleration divides by its mass");
    zero_divides("time_step", "the velocity term of the current divides by it");
    const int steps = static_cast<int>(v("step_count"));
    const int interval = static_cast<int>(v("print_interval"));
    if (interval == 0) {
      warn_at("print-interval-zero", "print_interval",
              "is 0: no row is written during the run; the table holds the final row only");
    }
    if (steps <= 0) {
      warn_at("empty-result", "step_count", "is 0 or below: the table holds the start row only");
    } else if (steps > long_step_count) {
      warn_at("long-run", "step_count",
              std::to_string(steps) + " steps: a long run (some seconds per 10^8 steps), and no summary of every step");
    }
    if (steps > 0 && interval != 0 && static_cast<double>(steps) / std::abs(static_cast<double>(interval)) >
                                          long_table_rows) {
      warn_at("long-run", "print_interval",
              "a row every " + std::to_string(interval) + " of " + std::to_string(steps) +
                  " steps writes more than a million rows");
    }
  }

  void nut_stage() {
    const bool scale = static_cast<int>(v("scale_switch")) != 0;
    stage_frame(scale ? "scale_resolution" : "encoder_resolution");
    zero_divides("screw_lead", "angle and nut displacement convert through the lead");
    if (v("inertia1") + v("inertia2") == 0.0) {
      warn_at("divides-by-zero", "inertia2", "inertia1 + inertia2 is 0: the screw's acceleration divides by it");
    }
  }

  // The step is both the servo's period and the integration's: a mode of
  // the plant too fast for it grows in the integration whatever the servo
  // does (an undamped mode once omega h > 2.83) or comes out with a wrong
  // frequency and decay; halving the step to check changes the loop too.
  // And the first step's velocity term sees a previous count of 0, so a
  // start offset acts as a jump of that many counts within one step.
  void servo_step() {
    const std::optional<ServoLoop> loop = servo_loop(calc_, bytes_);
    if (!loop || !(loop->time_step > 0) || !finite_loop(*loop)) return;
    for (const PlantMode& m : plant_modes(*loop)) {
      const std::string mode = "the plant's mode at " + shortest_of(m.hz) + " Hz (damping " + shortest_of(m.damping) +
                               ") has omega h = " + shortest_of(m.omega_h);
      const std::string better = "; a step of at most " + shortest_of(faithful_step(m.s)) +
                                 " s integrates it within 1 % (the step is also the servo period: the loop changes with it)";
      if (m.growth > 1 && m.damping >= 0) {
        warn_at("unstable-step", "time_step",
                mode + ", beyond the Runge-Kutta step's stability limit (omega h = 2.83 for an undamped mode): the "
                       "integration multiplies it by " + shortest_of(m.growth) + " a step, a growth no servo causes" + better);
      } else if (m.step_error > step_accuracy_limit) {
        warn_at("coarse-step", "time_step",
                mode + ", beyond the accuracy limit (about 1.1 for an undamped mode): the step's error in its "
                       "frequency and decay is " + shortest_of(100 * m.step_error) + " %" + better);
      }
    }
    const FirstStep first = first_step(*loop);
    if (first.count != 0 && std::isfinite(first.velocity_term)) {
      const char* cell = calc_.kind == Kind::nut_stage && v("scale_switch") == 0 ? "initial_nut_displacement"
                                                                                  : "stage_displacement";
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
  std::string bytes_;
  Sheet sheet_;
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
  SourceSampling ss;
  if (calc.kind != Kind::projection) return ss;
  const Sheet sheet = sheet_of(calc, sheet_bytes);
  auto real = [&](const char* name) {
    const CellSpec* c = calc.layout->find(name);
    return sheet.real(c->column, c->row);
  };
  const CellSpec* grid = calc.layout->find("grid_size");
  ss.grid = std::min(sheet.integer(grid->column, grid->row), grid->high);
  const double na = real("NA"), sigma = real("sigma"), pitch = real("pitch"), wavelength = real("wavelength");
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
