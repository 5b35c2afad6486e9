// meridox._core: the host's own code for Python: the calculators and their
// layouts, sheets by name, checks, units, the study table and record, the
// one whole-file writer, and reading result tables into numpy arrays. No
// calculator runs in this process or in a fork of it: the package runs its
// cases through the case runner (meridox-cases). The pure-Python package
// around it gives the user's API.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "common/sheet.hpp"
#include "host/core/calculators.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/servo_loop.hpp"
#include "host/study/process_window.hpp"
#include "host/study/study.hpp"
#include "host/core/tables.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"

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

// Per calculator: name, alias, entry, per table its file, title and columns
// (English name, unit; a map's x, y and value), parameter names, metric names, and the cell whose
// unit gives the tables' lengths.
py::list calculators() {
  py::list out;
  for (const host::Calculator& c : host::calculators()) {
    py::list tables;
    for (const TableSpec& t : c.layout->tables) {
      py::list columns;
      for (const ColumnSpec& column : t.columns) columns.append(py::make_tuple(column.name, column.unit));
      tables.append(py::make_tuple(t.file, t.title, columns));
    }
    out.append(py::make_tuple(c.name, c.alias, c.entry, tables, host::cell_names(c), host::metric_names(c),
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
  const Sheet grid = host::sheet_of(calculator(calc), std::string(sheet));
  const py::bytes text(std::string(grid.cell(column, row)));
  if (integer) return py::make_tuple(text, py::int_(grid.integer(column, row)));
  return py::make_tuple(text, py::float_(grid.real(column, row)));
}

py::list check(const std::string& calc, const py::bytes& sheet) {
  const host::CheckReport report = host::check_sheet(calculator(calc), std::string(sheet));
  py::list out;
  for (const host::Warning& w : report.warnings) {
    const std::string cell = report.cell_of(w);
    out.append(py::make_tuple(w.code, cell.empty() ? py::object(py::none()) : py::object(py::str(cell)), w.message));
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
    const host::ResultTable read = host::read_result_table(bytes);
    if (host::is_map(read.kind)) {
      const host::MapTable& map = read.map;
      py::array_t<double> values({map.y.size(), map.x.size()});
      std::copy(map.values.begin(), map.values.end(), values.mutable_data());
      return py::make_tuple("map", py::bytes(map.title), vector_array(map.x), vector_array(map.y), values);
    }
    const host::ColumnTable& table = read.columns;
    const std::size_t rows = table.rows(), columns = table.columns.size();
    py::array_t<double> data({rows, columns});
    double* d = data.mutable_data();
    for (std::size_t k = 0; k < columns; ++k) {
      for (std::size_t i = 0; i < rows; ++i) d[i * columns + k] = table.columns[k][i];
    }
    return py::make_tuple("columns", std::vector<py::bytes>(table.labels.begin(), table.labels.end()), data);
  } catch (const host::TableError& e) {
    throw py::value_error(path + ": " + e.what());
  }
}

// ---- Studies ---------------------------------------------------------------
// A study travels between Python processes (and machines) as a plain dict:
// calculator, sheet (bytes), set [(name, text)], vary [(name, [values])],
// thresholds, cut_y, cut_x, dark, band (None or mm), timeout, keep_tables,
// and optionally hold and window (None or s).

host::StudySpec spec_of(const py::dict& d) {
  host::StudySpec spec;
  spec.calculator = calculator(d["calculator"].cast<std::string>()).name;
  spec.sheet = d["sheet"].cast<std::string>();
  spec.set = d["set"].cast<std::vector<std::pair<std::string, std::string>>>();
  for (const auto& [name, values] : d["vary"].cast<std::vector<std::pair<std::string, std::vector<double>>>>()) {
    spec.vary.push_back({name, values});
  }
  spec.thresholds = d["thresholds"].cast<std::vector<double>>();
  spec.cut.cut_y = d["cut_y"].cast<double>();
  spec.cut.cut_x = d["cut_x"].cast<double>();
  spec.cut.dark = d["dark"].cast<bool>();
  spec.band = d["band"].cast<std::optional<double>>();
  // The stage's settling hold and closing window (s), when the dict gives them.
  if (d.contains("hold")) spec.hold = d["hold"].cast<std::optional<double>>();
  if (d.contains("window")) spec.window = d["window"].cast<std::optional<double>>();
  spec.timeout = d["timeout"].cast<double>();
  spec.keep_tables = d["keep_tables"].cast<bool>();
  return spec;
}

// The build of the calculator's library in `lib_dir`, which the study key
// and the case records name; OSError when it cannot be read.
host::LibraryBuild build_or_raise(const host::Calculator& calc, const std::string& lib_dir) {
  host::LibraryBuild build;
  const std::string path = host::library_path(calc, lib_dir);
  if (const std::string why = host::library_build(path, build); !why.empty()) {
    PyErr_SetString(PyExc_OSError, ("cannot read the library " + path + ": " + why).c_str());
    throw py::error_already_set();
  }
  return build;
}

// Checks a study's names, options, size and every varied value; ValueError
// (one line) when unusable.
void validate(const py::dict& d) {
  const host::StudySpec spec = spec_of(d);
  if (const std::string why = host::study_problem(calculator(spec.calculator), spec); !why.empty()) {
    throw py::value_error(why);
  }
}

// Moves the sheet and tables of a finished run into `folder`, as
// `meridox run` leaves them; OSError when one cannot be moved.
void adopt_run(const std::string& calc, const std::string& from, const std::string& folder) {
  if (const std::string problem = host::adopt_run(calculator(calc), from, folder); !problem.empty()) {
    PyErr_SetString(PyExc_OSError, problem.c_str());
    throw py::error_already_set();
  }
}

// The warnings of a study's sheets, one line each, as the command prints them.
std::vector<std::string> check_study(const py::dict& d) {
  const host::StudySpec spec = spec_of(d);
  return host::warning_lines(spec, host::check_study(calculator(spec.calculator), spec));
}

// The study table as study.csv holds it: (header, rows of texts).
py::tuple study_table(const py::dict& d, const std::vector<std::pair<std::string, std::vector<double>>>& named_values,
                      const std::vector<std::pair<std::string, std::vector<std::vector<double>>>>& results) {
  const host::StudySpec spec = spec_of(d);
  const host::Calculator& calc = calculator(spec.calculator);
  std::vector<host::StudyCase> cases;
  std::vector<host::CaseResult> case_results;
  for (std::size_t k = 0; k < named_values.size() && k < results.size(); ++k) {
    cases.push_back({named_values[k].first, named_values[k].second});
    host::CaseResult r;
    r.status = results[k].first;
    r.metrics = results[k].second;
    case_results.push_back(std::move(r));
  }
  const host::StudyCheck check = host::check_study(calc, spec);
  return py::make_tuple(host::study_header(calc, spec), host::study_rows(calc, spec, cases, case_results, check));
}

// The exposure-defocus window of a study's rows, as the study command works
// it out: the whole of it as a dict (per focus, at the asked exposure
// latitudes, the EL-DOF curve); ValueError when the study cannot have one.
py::dict process_window(const py::dict& d, const std::vector<std::pair<std::string, std::vector<std::vector<double>>>>& rows,
                        double target, double tolerance, double min_nils, const std::vector<double>& latitudes) {
  const host::StudySpec spec = spec_of(d);
  const host::Calculator& calc = calculator(spec.calculator);
  std::vector<host::CaseResult> results;
  for (const auto& [status, metrics] : rows) {
    host::CaseResult r;
    r.status = status;
    r.metrics = metrics;
    results.push_back(std::move(r));
  }
  host::WindowRequest request;
  request.targets = {{"", target}};
  request.tolerance = tolerance;
  request.min_nils = min_nils;
  request.latitudes = latitudes;
  std::string why;
  const std::optional<host::WindowInput> input = host::window_input(calc, spec, results, request, why);
  if (!input) throw py::value_error(why);
  const host::ProcessWindow w = host::process_window(*input);
  auto rectangles = [](const std::vector<host::WindowRectangle>& list) {
    py::list out;
    for (const host::WindowRectangle& r : list) {
      out.append(py::dict(py::arg("latitude") = r.latitude, py::arg("depth_of_focus") = r.depth_of_focus,
                          py::arg("focus_low") = r.focus_low, py::arg("focus_high") = r.focus_high,
                          py::arg("dose_low") = r.dose_low, py::arg("dose_high") = r.dose_high,
                          py::arg("reaches_end") = r.reaches_end));
    }
    return out;
  };
  py::list per_focus;
  for (const host::FocusWindow& f : w.per_focus) {
    per_focus.append(py::dict(py::arg("focus") = f.focus, py::arg("dose_low") = f.dose_low,
                              py::arg("dose_high") = f.dose_high, py::arg("latitude") = f.latitude,
                              py::arg("cd_at_dose_to_size") = f.cd_at_dose_to_size));
  }
  return py::dict(py::arg("open") = w.open, py::arg("best_focus") = w.best_focus,
                  py::arg("dose_to_size") = w.dose_to_size, py::arg("threshold_to_size") = w.threshold_to_size,
                  py::arg("dose_to_size_reached") = w.dose_to_size_reached, py::arg("reaches_end") = w.reaches_end,
                  py::arg("reaches_dose_end") = w.reaches_dose_end, py::arg("note") = w.note,
                  py::arg("per_focus") = per_focus, py::arg("requested") = rectangles(w.requested),
                  py::arg("curve") = rectangles(w.curve));
}

// A study folder taken as the command takes it: out/cases made, another
// study's cases replaced (`note` says so), and the folder locked until
// release() (or the end of a `with` block). OSError when the folder cannot
// be used, another study runs in it, or its cases/ is not a study's.
struct StudyFolder {
  std::string note;
  host::StudyLock lock;
};

std::unique_ptr<StudyFolder> take_study_folder(const py::dict& d, const std::string& out, const std::string& lib_dir) {
  host::StudySpec spec = spec_of(d);
  const host::Calculator& calc = calculator(spec.calculator);
  spec.library = build_or_raise(calc, lib_dir);
  auto folder = std::make_unique<StudyFolder>();
  if (const std::string problem = host::prepare_study_folder(calc, spec, out, folder->note, folder->lock);
      !problem.empty()) {
    PyErr_SetString(PyExc_OSError, problem.c_str());
    throw py::error_already_set();
  }
  return folder;
}

// study.json as the meridox study command writes it.
std::string study_json(const py::dict& d, const std::string& lib_dir, const std::string& command,
                       const std::string& base_name, std::size_t cases, std::size_t failed, std::size_t reused) {
  host::StudySpec spec = spec_of(d);
  const host::Calculator& calc = calculator(spec.calculator);
  spec.library = build_or_raise(calc, lib_dir);
  return host::study_json(calc, spec, command, base_name, {cases, failed, reused}, host::check_study(calc, spec));
}

// Writes a file whole by a temporary beside it and a rename (a link, a hard
// link or a pipe at the path is replaced, never written through); OSError
// when it cannot.
void replace_file(const std::string& path, const py::bytes& bytes) {
  if (const std::string problem = host::replace_file(path, std::string(bytes)); !problem.empty()) {
    PyErr_SetString(PyExc_OSError, ("cannot write " + path + ": " + problem).c_str());
    throw py::error_already_set();
  }
}

// ---- What Python asks the host of a calculator -----------------------------

// Beside the layout: the library's file name, whether the metrics come one
// row per threshold, and the main table (the one the metrics are read from).
py::dict calculator_facts(const std::string& name) {
  const host::Calculator& c = calculator(name);
  py::dict facts;
  facts["library_file"] = host::library_file_name(c);
  facts["threshold_rows"] = host::has_threshold_column(c);
  std::string main_table(c.layout->tables.front().file);
  for (const TableSpec& t : c.layout->tables) {
    if (t.metrics != MetricKind::none) {
      main_table = t.file;
      break;
    }
  }
  facts["main_table"] = main_table;
  return facts;
}

// A named cell's unit as the sheet gives it (else the layout's), decoded as
// the host decodes labels; "" for a name the calculator does not have.
std::string cell_unit(const std::string& calc, const py::bytes& sheet, const std::string& name) {
  return host::cell_unit(calculator(calc), std::string(sheet), name);
}

// The columns (English name, unit in the sheet's words, "" for none) of a
// result table of a calculator.
std::vector<std::pair<std::string, std::string>> table_columns(const std::string& calc, const py::bytes& sheet,
                                                               const std::string& file) {
  const host::Calculator& c = calculator(calc);
  const TableSpec* spec = host::table_spec(c, file);
  if (spec == nullptr) throw py::value_error(std::string(c.name) + " writes no table " + file);
  const std::string bytes(sheet);
  const std::string length = host::length_unit(c, bytes);
  const host::UnitWords words = host::unit_words(c, host::sheet_of(c, bytes));
  std::vector<std::pair<std::string, std::string>> out;
  for (const ColumnSpec& column : spec->columns) {
    out.emplace_back(column.name, host::column_unit(*spec, column.unit, length, words));
  }
  return out;
}

// A stage sheet's loop, linearised: its margins, bandwidth and poles by the
// names of the study's columns, its frequency response and its plant's modes.
py::dict loop_analysis(const std::string& calc, const py::bytes& sheet) {
  const host::Calculator& c = calculator(calc);
  const std::optional<host::ServoLoop> servo = host::servo_loop(c, std::string(sheet));
  if (!servo) throw py::value_error(std::string(c.name) + " is no stage: it has no servo loop");
  const host::LoopAnalysis a = host::analyse_loop(*servo);
  if (!a.why_not.empty()) throw py::value_error(a.why_not);
  py::dict d;
  d["stable"] = a.stable;
  d["gain_margin"] = a.gain_margin;
  d["gain_margin_db"] = a.gain_margin_db;
  d["position_gain_margin"] = a.position_gain_margin;
  d["phase_margin"] = a.phase_margin;
  d["crossover_hz"] = a.crossover_hz;
  d["phase_crossover_hz"] = a.phase_crossover_hz;
  d["bandwidth_hz"] = a.bandwidth_hz;
  d["resonance_hz"] = a.resonance_hz;
  d["sensitivity_peak"] = a.sensitivity_peak;
  d["sensitivity_peak_db"] = a.sensitivity_peak_db;
  d["dominant_hz"] = a.dominant.hz;
  d["dominant_damping"] = a.dominant.damping;
  py::list poles, modes;
  for (const host::LoopPole& p : a.poles) poles.append(py::make_tuple(p.z, p.hz, p.damping));
  for (const host::PlantMode& m : a.modes) modes.append(py::make_tuple(m.hz, m.damping, m.omega_h, m.step_error));
  d["poles"] = poles;  // (z, Hz, damping), the closed loop's, on or above the real axis
  d["modes"] = modes;  // (Hz, damping, omega h, the step's relative error), the plant's
  std::vector<double> hz;
  std::vector<std::complex<double>> open_loop;
  for (const host::LoopPoint& p : a.response) hz.push_back(p.hz), open_loop.push_back(p.open_loop);
  d["frequency_hz"] = vector_array(hz);
  d["open_loop"] = py::array_t<std::complex<double>>(open_loop.size(), open_loop.data());
  d["left_out"] = servo->left_out;
  return d;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The meridox host's C++ code: calculators, sheets, units, study tables, tables, files";
  m.def("calculators", &calculators);
  m.def("example", [](const std::string& calc) { return py::bytes(std::string(host::example_sheet(calculator(calc).name))); });
  m.def("cell_of", &named_cell_of);
  m.attr("rectangle_columns") = std::vector<std::string>(std::begin(rectangle_columns), std::end(rectangle_columns));
  m.def("cell_value", &cell_value);
  m.def("set_cell", &set_cell);
  m.def("check", &check);
  m.def("loop", &loop_analysis);
  m.def("number_text", &host::number_text);
  m.def("feature_text", [](double code) { return std::string(host::feature_text(host::feature_of_code(code))); });
  m.def("read_table", &read_table);
  m.def("validate", &validate);
  m.def("study_table", &study_table);
  m.def("process_window", &process_window);
  m.def("csv_text", &host::csv_text);
  m.def("study_json", &study_json);
  m.attr("version") = MERIDOX_VERSION;
  m.def("calculator_facts", &calculator_facts);
  m.attr("default_threshold") = host::CutOptions{}.threshold;
  m.def("cell_unit", &cell_unit);
  m.def("table_columns", &table_columns);
  m.def("replace_file", &replace_file);
  m.def("display_text", [](const py::bytes& bytes) { return host::display_text(std::string(bytes)); });
  m.def("study_units", [](const py::dict& d) {
    const host::StudySpec spec = spec_of(d);
    return host::study_units(calculator(spec.calculator), spec);
  });
  m.def("adopt_run", &adopt_run);
  m.def("check_study", &check_study);
  py::class_<StudyFolder, std::unique_ptr<StudyFolder>>(m, "StudyFolder")
      .def(py::init(&take_study_folder))
      .def_readonly("note", &StudyFolder::note)
      .def("release", [](StudyFolder& f) { f.lock.release(); })
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](StudyFolder& f, py::args) {
        f.lock.release();
        return false;
      });
}
