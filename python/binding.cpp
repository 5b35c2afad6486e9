// meridox._core: the host's own code (calculator list, sheets, checks,
// running a case in a child process, reading tables, metrics) for Python.
// The pure-Python package around it gives the user's API.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "common/sheet.hpp"
#include "host/calculators.hpp"
#include "host/check.hpp"
#include "host/process.hpp"
#include "host/tables.hpp"
#include "host/text.hpp"
#include "python/case.hpp"

namespace py = pybind11;
using namespace meridox;

namespace {

const host::Calculator& calculator(const std::string& name) {
  const host::Calculator* c = host::find_calculator(name);
  if (c == nullptr) {
    throw py::value_error("unknown calculator \"" + name + "\"; choose one of " + host::calculator_names());
  }
  return *c;
}

py::array_t<double> vector_array(const std::vector<double>& v) { return py::array_t<double>(v.size(), v.data()); }

// Per calculator: name, alias, entry, parameter names, metric names, the
// cell whose unit gives the tables' lengths, and per table its file, form
// and columns (English name, unit).
py::list calculators() {
  py::list out;
  for (const host::Calculator& c : host::calculators()) {
    py::list tables;
    for (const TableSpec& t : c.layout->tables) {
      py::list columns;
      for (const ColumnSpec& column : t.columns) columns.append(py::make_tuple(column.name, column.unit));
      tables.append(py::make_tuple(t.file, t.form == TableForm::map ? "map" : "columns", columns));
    }
    out.append(py::make_tuple(c.name, c.alias, c.entry, tables, host::cell_names(c), python::metric_names(c),
                              c.layout->length_unit_cell));
  }
  return out;
}

// (column, row, integer) of a named cell; ValueError naming it and the
// closest known names when the calculator has no such cell.
py::tuple named_cell_of(const std::string& calc, const std::string& name) {
  const host::Calculator& c = calculator(calc);
  const std::optional<host::NamedCell> cell = host::named_cell(c, name);
  if (!cell) {
    std::string why;
    host::set_named_cell(c, "", name, "", why);
    throw py::value_error(why);
  }
  return py::make_tuple(cell->column, cell->row, cell->integer);
}

// The sheet with a named cell set to `text` exactly as given.
py::bytes set_cell(const std::string& calc, const py::bytes& sheet, const std::string& name, const std::string& text) {
  std::string why;
  const std::optional<std::string> set = host::set_named_cell(calculator(calc), std::string(sheet), name, text, why);
  if (!set) throw py::value_error(why);
  return py::bytes(*set);
}

// The text of a cell and its value as the calculator converts it.
py::tuple cell_value(const std::string& calc, const py::bytes& sheet, int column, int row, bool integer) {
  const host::Calculator& c = calculator(calc);
  Sheet grid(c.shape);
  grid.feed(std::string(sheet));
  grid.finish();
  const py::bytes text(std::string(grid.cell(column, row)));
  if (integer) return py::make_tuple(text, py::int_(grid.integer(column, row)));
  return py::make_tuple(text, py::float_(grid.real(column, row)));
}

py::list check(const std::string& calc, const py::bytes& sheet) {
  const host::Calculator& c = calculator(calc);
  const host::CheckReport report = host::check_sheet(c, std::string(sheet));
  py::list out;
  for (const host::Warning& w : report.warnings) {
    py::object cell = py::none();
    for (const host::CheckedCell& checked : report.cells) {
      if (checked.column == w.column && checked.row == w.row) cell = py::str(checked.name);
    }
    out.append(py::make_tuple(w.code, cell, w.message));
  }
  return out;
}

// ("map", title, x, y, values[y, x]) or ("columns", labels, data[row, column]).
py::tuple read_table(const std::string& path) {
  std::string bytes;
  if (const std::string why = host::read_bounded(path, host::table_byte_limit, bytes); !why.empty()) {
    throw py::value_error("cannot read the table " + path + ": " + why);
  }
  try {
    if (host::is_map(host::identify_table(bytes))) {
      const host::MapTable map = host::parse_map(bytes);
      py::array_t<double> values({map.y.size(), map.x.size()});
      std::copy(map.values.begin(), map.values.end(), values.mutable_data());
      return py::make_tuple("map", py::bytes(map.title), vector_array(map.x), vector_array(map.y), values);
    }
    const host::ColumnTable table = host::parse_columns(bytes);
    const std::size_t rows = table.rows(), columns = table.columns.size();
    py::array_t<double> data({rows, columns});
    double* d = data.mutable_data();
    for (std::size_t k = 0; k < columns; ++k) {
      for (std::size_t i = 0; i < rows; ++i) d[i * columns + k] = table.columns[k][i];
    }
    std::vector<py::bytes> labels(table.labels.begin(), table.labels.end());
    return py::make_tuple("columns", labels, data);
  } catch (const host::TableError& e) {
    throw py::value_error(path + ": " + e.what());
  }
}

// Runs one case; "" or why it failed. The Python interpreter runs on while
// the child computes.
std::string run_case(const std::string& calc, const std::string& library, const py::bytes& sheet,
                     const std::string& folder, double timeout) {
  const host::Calculator& c = calculator(calc);
  const std::string bytes(sheet);
  py::gil_scoped_release release;
  return python::run_case(c, library, bytes, folder, timeout);
}

// The metrics of a finished case: a list of dicts (one per threshold for the
// image calculators).
py::list metrics(const std::string& calc, const std::string& library, const py::bytes& sheet,
                 const std::string& folder, const std::vector<double>& thresholds, double cut_y, double cut_x,
                 bool dark, double band, double timeout) {
  const host::Calculator& c = calculator(calc);
  const std::string bytes(sheet);
  std::vector<python::Metrics> sets;
  {
    py::gil_scoped_release release;
    sets = python::case_metrics(c, library, bytes, folder, {thresholds, cut_y, cut_x, dark, band}, timeout);
  }
  py::list out;
  for (const python::Metrics& set : sets) {
    py::dict d;
    for (const auto& [name, value] : set) d[py::str(name)] = value;
    out.append(d);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The meridox host's C++ code: calculators, sheets, runs in child processes, tables, metrics";
  py::register_exception<host::TableError>(m, "TableError", PyExc_ValueError);
  m.def("calculators", &calculators);
  m.def("example", [](const std::string& calc) { return py::bytes(std::string(host::example_sheet(calculator(calc).name))); });
  m.def("cell_of", &named_cell_of);
  m.attr("rectangle_columns") = std::vector<std::string>(std::begin(rectangle_columns), std::end(rectangle_columns));
  m.def("cell_value", &cell_value);
  m.def("set_cell", &set_cell);
  m.def("check", &check);
  m.def("shortest", &host::shortest);
  m.def("read_table", &read_table);
  m.def("run_case", &run_case);
  m.def("metrics", &metrics);
  m.def("interrupted", &host::interrupted);
  m.def("clear_interrupted", &host::clear_interrupted);
}
