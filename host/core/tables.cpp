#include "host/core/tables.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "common/numbers.hpp"
#include "host/core/calculators.hpp"
#include "host/core/text.hpp"

namespace meridox::host {
namespace {

double number(const std::string& field, std::size_t line, std::size_t column) {
  if (const std::optional<double> value = whole_real(field)) return *value;
  throw TableError("line " + std::to_string(line + 1) + ", field " + std::to_string(column + 1) + ": \"" +
                   display_text(field) + "\" is not a number");
}

bool is_number(const std::string& field) { return whole_real(field).has_value(); }

}  // namespace

namespace {

// The lines of a table one at a time, each split at its TABs as split_lines
// does, so that a table of millions of rows needs no copy of its text.
class LineReader {
 public:
  explicit LineReader(std::string_view bytes) : bytes_(bytes) {}
  // The next line's fields; false at the end (empty lines at the end dropped).
  bool next(std::vector<std::string_view>& fields) {
    fields.clear();
    if (start_ >= bytes_.size() || bytes_.find_first_not_of("\r\n", start_) == std::string_view::npos) return false;
    std::size_t end = bytes_.find('\n', start_);
    if (end == std::string_view::npos) end = bytes_.size();
    std::string_view line = bytes_.substr(start_, end - start_);
    start_ = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t from = 0;
    while (!line.empty()) {
      const std::size_t tab = line.find('\t', from);
      if (tab == std::string_view::npos) {
        if (from < line.size()) fields.push_back(line.substr(from));
        break;
      }
      fields.push_back(line.substr(from, tab - from));
      from = tab + 1;
    }
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t start_ = 0;
};

}  // namespace

std::vector<std::vector<std::string>> split_lines(std::string_view bytes) {
  std::vector<std::vector<std::string>> lines;
  LineReader reader(bytes);
  std::vector<std::string_view> fields;
  while (reader.next(fields)) lines.emplace_back(fields.begin(), fields.end());
  return lines;
}

MapTable parse_map(std::string_view bytes) {
  const auto lines = split_lines(bytes);
  MapTable map;
  std::size_t axis = 0;
  if (!lines.empty() && !(lines[0].size() >= 1 && lines[0][0].empty())) {
    // A title line; the axis line follows it.
    const std::size_t title_end = bytes.find_first_of("\r\n");
    map.title = std::string(bytes.substr(0, title_end));
    axis = 1;
  }
  if (lines.size() <= axis || lines[axis].empty() || !lines[axis][0].empty()) {
    throw TableError("no axis line (a line that starts with an empty cell)");
  }
  for (std::size_t k = 1; k < lines[axis].size(); ++k) map.x.push_back(number(lines[axis][k], axis, k));
  for (std::size_t l = axis + 1; l < lines.size(); ++l) {
    const auto& f = lines[l];
    if (f.size() != map.x.size() + 1) {
      throw TableError("line " + std::to_string(l + 1) + " has " + std::to_string(f.size()) +
                       " fields, the axis line " + std::to_string(map.x.size() + 1));
    }
    map.y.push_back(number(f[0], l, 0));
    for (std::size_t k = 1; k < f.size(); ++k) map.values.push_back(number(f[k], l, k));
  }
  return map;
}

ColumnTable parse_columns(std::string_view bytes) {
  LineReader reader(bytes);
  std::vector<std::string_view> f;
  if (!reader.next(f)) throw TableError("the table is empty");
  ColumnTable table;
  table.labels.assign(f.begin(), f.end());
  if (table.labels.empty()) throw TableError("no header line");
  table.columns.resize(table.labels.size());
  for (std::size_t l = 1; reader.next(f); ++l) {
    if (f.empty() || f.size() > table.labels.size()) {
      throw TableError("line " + std::to_string(l + 1) + " has " + std::to_string(f.size()) +
                       " fields under a header of " + std::to_string(table.labels.size()));
    }
    for (std::size_t k = 0; k < table.labels.size(); ++k) {
      table.columns[k].push_back(k < f.size() ? number(std::string(f[k]), l, k)
                                              : std::numeric_limits<double>::quiet_NaN());
    }
    table.widths.push_back(f.size());
  }
  return table;
}

TableKind identify_table(std::string_view bytes) {
  // The first two lines tell the kind: never split a whole large table here.
  std::size_t second_end = bytes.find('\n');
  if (second_end != std::string_view::npos) second_end = bytes.find('\n', second_end + 1);
  const auto lines = split_lines(bytes.substr(0, second_end == std::string_view::npos ? bytes.size() : second_end + 1));
  if (lines.empty()) return TableKind::empty;
  // A calculator's table by the first line it writes: a map's title (a map
  // without one starts with its axis line, whose first cell is empty), a
  // column table's labels (compared field by field, as a reader splits them).
  const bool untitled_map = !lines[0].empty() && lines[0][0].empty();
  const std::string_view title = bytes.substr(0, bytes.find_first_of("\r\n"));
  std::string labels;
  for (std::size_t k = 0; k < lines[0].size(); ++k) (labels += k ? "\t" : "") += lines[0][k];
  for (const Calculator& c : calculators()) {
    for (const TableSpec& t : c.layout->tables) {
      const bool same = t.form == TableForm::map ? (t.header.empty() ? untitled_map : !untitled_map && title == t.header)
                                                 : labels == t.header;
      if (same) return TableKind(t);
    }
  }
  if (untitled_map) return TableKind::other_map;
  if (lines.size() > 1 && !lines[1].empty() && lines[1][0].empty()) return TableKind::other_map;
  bool numeric_header = true;
  for (const std::string& f : lines[0]) numeric_header = numeric_header && is_number(f);
  return numeric_header ? TableKind::unknown : TableKind::other_columns;
}

bool is_map(TableKind kind) { return kind.generic() == TableKind::other_map; }

bool ResultTable::has_samples() const {
  if (is_map(kind)) return !map.x.empty() && !map.y.empty();
  return columns.rows() > 0;
}

ResultTable read_result_table(std::string_view bytes, TableKind kind) {
  ResultTable t;
  t.kind = kind;
  Finiteness& f = t.finiteness;
  auto count = [&f](double v) {
    ++f.values;
    if (!std::isfinite(v)) ++f.non_finite;
  };
  if (is_map(kind)) {
    t.map = parse_map(bytes);
    for (const double v : t.map.values) count(v);
  } else {
    t.columns = parse_columns(bytes);
    const ColumnTable& c = t.columns;
    for (std::size_t k = 0; k < c.columns.size(); ++k) {
      for (std::size_t r = 0; r < c.rows(); ++r) {
        if (k < c.widths[r]) count(c.columns[k][r]);
      }
    }
  }
  return t;
}

ResultTable read_result_table(std::string_view bytes) { return read_result_table(bytes, identify_table(bytes)); }

HistoryReducer::HistoryReducer(std::size_t columns, double t_start, double t_end, std::size_t bins)
    : columns_(columns), t_start_(t_start), t_end_(t_end), bins_(columns, std::vector<Bin>(std::max<std::size_t>(bins, 1))) {}

void HistoryReducer::add(const double* row) {
  ++states_;
  const double t = row[0];
  const std::size_t count = bins_.empty() ? 0 : bins_[0].size();
  std::size_t k = 0;
  if (t_end_ > t_start_ && std::isfinite(t)) {
    const double at = (t - t_start_) / (t_end_ - t_start_) * static_cast<double>(count);
    k = at <= 0 ? 0 : std::min(count - 1, static_cast<std::size_t>(at));
  }
  for (std::size_t c = 1; c < columns_; ++c) {
    Bin& b = bins_[c][k];
    const double v = row[c];
    if (!std::isfinite(v) || !std::isfinite(t)) {
      b.broken = true;
      continue;
    }
    if (!b.used) {
      b = {true, b.broken, t, v, t, v, t, v, t, v};
      continue;
    }
    if (v < b.low) b.low = v, b.t_low = t;
    if (v > b.high) b.high = v, b.t_high = t;
    b.last = v;
    b.t_last = t;
  }
}

DrawnHistory HistoryReducer::result() const {
  DrawnHistory d;
  d.states = states_;
  d.t.resize(columns_);
  d.values.resize(columns_);
  for (std::size_t c = 1; c < columns_; ++c) {
    for (const Bin& b : bins_[c]) {
      if (b.used) {
        std::pair<double, double> points[] = {{b.t_first, b.first}, {b.t_low, b.low}, {b.t_high, b.high}, {b.t_last, b.last}};
        std::sort(std::begin(points), std::end(points),
                  [](const auto& x, const auto& y) { return x.first < y.first; });
        for (std::size_t k = 0; k < 4; ++k) {
          if (k > 0 && points[k] == points[k - 1]) continue;
          d.t[c].push_back(points[k].first);
          d.values[c].push_back(points[k].second);
        }
      }
      if (b.broken) {
        d.t[c].push_back(std::numeric_limits<double>::quiet_NaN());
        d.values[c].push_back(std::numeric_limits<double>::quiet_NaN());
      }
    }
  }
  return d;
}

DrawnHistory reduce_table(const ColumnTable& table, std::size_t bins) {
  double low = INFINITY, high = -INFINITY;
  for (std::size_t k = 0; k < table.rows(); ++k) {
    if (std::isfinite(table.columns[0][k])) low = std::min(low, table.columns[0][k]), high = std::max(high, table.columns[0][k]);
  }
  HistoryReducer reducer(table.columns.size(), low, high, bins);
  std::vector<double> row(table.columns.size());
  for (std::size_t k = 0; k < table.rows(); ++k) {
    for (std::size_t c = 0; c < row.size(); ++c) row[c] = table.columns[c][k];
    reducer.add(row.data());
  }
  return reducer.result();
}

const char* describe(TableKind kind) {
  if (kind.spec() != nullptr) return kind.spec()->title.data();  // a calculator's table, as its layout calls it
  switch (kind.generic()) {
    case TableKind::empty: return "empty table";
    case TableKind::other_map: return "map";
    case TableKind::other_columns: return "column table";
    case TableKind::unknown: return "table of unknown layout";
  }
  return "table";
}

std::string UnitWords::text(std::string_view word) const {
  for (const auto& [w, text] : texts) {
    if (w == word) return text;
  }
  return {};
}

std::string unit_label(const TableSpec& spec, std::string_view unit, const std::string& length_unit,
                       const UnitWords& words) {
  if (unit == "length") return length_unit.empty() ? "length unit of the sheet" : length_unit;
  if (unit == "-") return "1";
  for (const UnitSpec& u : spec.units) {
    if (u.word != unit) continue;
    const std::string text = words.text(unit);
    return text.empty() ? std::string(u.quantity) + " unit of the sheet" : text;
  }
  // A compound unit ("stress length^2/length") in the sheet's words, each
  // word as a reader of the table names it.
  return column_unit(spec, unit, length_unit, words);
}

std::string column_unit(const TableSpec& spec, std::string_view unit, const std::string& length_unit,
                        const UnitWords& words) {
  if (unit == "-") return {};
  auto sheet_text = [&](std::string_view word) {
    std::string text = word == "length" ? length_unit : std::string();
    for (const UnitSpec& u : spec.units) {
      if (u.word == word) text = words.text(word);
    }
    return text.empty() ? std::string(word) : text;
  };
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  std::string out;
  for (std::size_t i = 0; i < unit.size();) {
    std::size_t end = i;
    while (end < unit.size() && letter(unit[end])) ++end;
    if (end == i) {
      out += unit[i++];
      continue;
    }
    out += sheet_text(unit.substr(i, end - i));
    i = end;
  }
  return out;
}

}  // namespace meridox::host
