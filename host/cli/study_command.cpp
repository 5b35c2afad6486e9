// The `study` command: the study machinery of study.cpp with its folder,
// its progress line, study.csv, study.json, the pictures and the process
// window.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <thread>

#include "host/cli/study_command.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/library.hpp"
#include "host/core/process.hpp"
#include "host/core/report.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"
#include "host/study/mask_error.hpp"
#include "host/study/process_window.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

std::string clock_text(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "--:--";
  const long s = std::lround(seconds);
  char buffer[32];
  if (s >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02ld:%02ld", s / 60, s % 60);
  }
  return buffer;
}

std::string short_text(double v) { return rounded_text(v, 4); }

std::string with_unit(const std::string& name, const std::string& unit) {
  return unit.empty() || unit == "-" || unit == "1" ? name : name + " (" + unit + ")";
}

struct Picture {
  std::string file;
  std::string problem;
};

// One picture per metric against the first varied parameter, a curve for
// each combination of the threshold and the other varied values.
std::vector<Picture> draw_metrics(const Calculator& calc, const StudySpec& spec, const std::string& base,
                                  const std::vector<StudyCase>& cases, const std::vector<CaseResult>& results,
                                  const fs::path& folder, const PlotOptions& plot) {
  std::vector<Picture> pictures;
  if (spec.vary.empty()) return pictures;
  const std::vector<std::string> names = metric_names(calc), units = metric_units(calc, base);
  const std::vector<bool> of_run = metrics_of_the_run(calc);
  const std::vector<double> thresholds = thresholds_of(spec);
  const std::vector<NamedCut> cuts = cuts_of(spec);
  const bool by_threshold = has_threshold_column(calc) && thresholds.size() > 1;
  const std::string x_name = spec.vary[0].name;
  const std::string x_label = with_unit(x_name, cell_unit(calc, base, x_name));
  const auto diverged = std::count_if(results.begin(), results.end(),
                                      [](const CaseResult& r) { return r.status == diverged_status; });
  for (std::size_t m = 0; m < names.size(); ++m) {
    if (names[m] == "feature") continue;  // words, not a number
    Chart chart;
    chart.title = names[m] == "cd" && by_threshold && x_name == calc.layout->focus_cell
                      ? "cd against " + x_name + " for each threshold (Bossung plot)"
                      : names[m] + " against " + x_name;
    chart.x_label = x_label;
    chart.y_label = with_unit(names[m], units[m]);
    std::map<std::string, std::size_t> curve_of;
    for (std::size_t k = 0; k < cases.size(); ++k) {
      for (std::size_t t = 0; t < results[k].metrics.size(); ++t) {
        std::string label;
        if (cuts.size() > 1) label = "cut " + cuts[t / thresholds.size() % cuts.size()].name;
        if (by_threshold) {
          label += (label.empty() ? "" : ", ") + ("threshold " + number_text(thresholds[t % thresholds.size()]));
        }
        for (std::size_t v = 1; v < spec.vary.size(); ++v) {
          label += (label.empty() ? "" : ", ") + spec.vary[v].name + " " + number_text(cases[k].values[v]);
        }
        auto [it, added] = curve_of.emplace(label, chart.curves.size());
        if (added) chart.curves.push_back({label, {}, {}});
        ChartCurve& c = chart.curves[it->second];
        c.x.push_back(cases[k].values[0]);
        c.y.push_back(results[k].status == diverged_status && of_run[m] ? NAN : results[k].metrics[t][m]);
      }
    }
    // A diverged case's numbers would set the scale for all the others.
    if (diverged > 0 && of_run[m]) chart.title += " (" + std::to_string(diverged) + " diverged runs left out)";
    const std::string file = (folder / (names[m] + ".png")).string();
    pictures.push_back({file, plot_chart(chart, file, plot)});
  }
  return pictures;
}

std::string percent_text(double v) { return short_text(v) + " %"; }

// The window in a few lines: dose to size at best focus, DOF at the asked latitudes.
void print_window(const ProcessWindow& w, const WindowRequest& r, const std::string& unit, std::ostream& out) {
  const std::string u = unit.empty() ? "" : " " + unit;
  std::string targets;
  for (const auto& [name, target] : r.targets) {
    targets += (targets.empty() ? "" : ", ") + (name.empty() ? "" : name + " ") + short_text(target) + u;
  }
  out << "process window (cd within " << percent_text(r.tolerance * 100) << " of " << targets;
  if (!std::isnan(r.min_nils)) out << ", nils at least " << short_text(r.min_nils);
  out << "): ";
  if (!w.open) {
    out << w.note << "\n";
    return;
  }
  out << "best focus " << short_text(w.best_focus) << u << ", dose to size " << short_text(w.dose_to_size)
      << " (threshold " << short_text(w.threshold_to_size) << ")\n";
  for (const WindowRectangle& e : w.requested) {
    out << "  DOF at EL " << percent_text(e.latitude) << ": " << short_text(e.depth_of_focus) << u;
    if (e.depth_of_focus > 0) {
      out << " (" << short_text(e.focus_low) << " to " << short_text(e.focus_high) << u << ")";
    }
    out << (e.reaches_end ? ", reaching the end of the focus range: a lower bound" : "") << "\n";
  }
  // One line for each thing worth knowing.
  for (std::size_t from = 0; from < w.note.size();) {
    const std::size_t end = std::min(w.note.find("; ", from), w.note.size());
    out << "  " << w.note.substr(from, end - from) << "\n";
    from = end + 2;
  }
}

// The window's picture from its result.
WindowPicture window_picture(const ProcessWindow& w, const WindowRequest& r, const std::string& focus_label,
                             const std::string& unit) {
  WindowPicture p;
  std::string targets;
  for (const auto& [name, target] : r.targets) {
    targets += (targets.empty() ? "" : ", ") + (name.empty() ? "" : name + " ") + number_text(target);
  }
  p.title = "Window: cd " + targets + " +- " + percent_text(r.tolerance * 100);
  p.focus_label = focus_label;
  p.dof_label = with_unit("depth of focus", unit);
  for (const WindowCurve& c : w.contours) p.contours.push_back({c.label, c.focus, c.dose});
  p.lower = {w.lower.label, w.lower.focus, w.lower.dose};
  p.upper = {w.upper.label, w.upper.focus, w.upper.dose};
  for (const WindowRectangle& e : w.requested) {
    if (e.depth_of_focus > 0) {
      p.boxes.push_back({"EL " + percent_text(e.latitude) + ": DOF " + short_text(e.depth_of_focus), e.focus_low,
                         e.focus_high, e.dose_low, e.dose_high});
    }
  }
  p.best_focus = w.best_focus;
  p.dose_to_size = w.dose_to_size;
  for (const WindowRectangle& e : w.curve) {
    p.el_dof.x.push_back(e.depth_of_focus);
    p.el_dof.y.push_back(e.latitude);
  }
  p.note = w.open ? "best focus " + short_text(w.best_focus) + ", dose to size " + short_text(w.dose_to_size)
                  : w.note;
  return p;
}

// Writes the window's tables (and picture), says where; returns why one
// could not be written, or "".
std::string report_window(const Calculator& calc, const StudySpec& spec, const std::string& base,
                          const ProcessWindow& w, const StudyRequest& request, const fs::path& folder,
                          std::ostream& out) {
  const std::string focus = spec.vary[0].name, unit = cell_unit(calc, base, focus);
  print_window(w, request.window, unit, out);
  for (const auto& [name, text] : {std::pair<const char*, std::string>{"process-window.csv", focus_table_csv(w, focus)},
                                   {"el-dof.csv", el_dof_csv(w)}}) {
    if (const std::string problem = replace_file(folder / name, text); !problem.empty()) {
      return "cannot write " + (folder / name).string() + ": " + problem;
    }
    out << "table: " << (folder / name).string() << "\n";
  }
  if (!request.pictures) return {};
  const std::string png = (folder / "process-window.png").string();
  if (const std::string problem =
          plot_process_window(window_picture(w, request.window, with_unit(focus, unit), unit), png, request.plot);
      !problem.empty()) {
    return "no picture of the process window: " + problem;
  }
  out << "picture: " << png << "\n";
  return {};
}

// A study that varies the mask's edges: its MEEF per focus and dose in
// meef.csv and one line; returns why the table could not be written, or "".
std::string report_mask_error(const Calculator& calc, const StudySpec& spec, const std::vector<StudyCase>& cases,
                              const std::vector<CaseResult>& results, const fs::path& folder, std::ostream& out) {
  const std::optional<MaskError> e = mask_error(calc, spec, cases, results);
  if (!e) return {};
  const fs::path file = folder / "meef.csv";
  if (const std::string problem = replace_file(file, csv_text(e->header, e->rows)); !problem.empty()) {
    return "cannot write " + file.string() + ": " + problem;
  }
  out << "mask error enhancement (d cd / d mask width): ";
  if (e->groups == 0) {
    out << "none (fewer than two mask widths with a printed width in every focus and dose)\n";
  } else if (e->lowest == e->highest) {
    out << short_text(e->lowest) << "\n";
  } else {
    out << short_text(e->lowest) << " to " << short_text(e->highest) << " over " << e->groups
        << " focus-dose settings\n";
  }
  out << "table: " << file.string() << "\n";
  return {};
}

// Why the study's cuts cannot be measured on the base sheet's image: the
// first whose point lies outside it; "" when all lie on it. A case whose
// own image (a varied pitch or grid) leaves the point out says so in its
// feature column.
std::string cuts_outside_image(const Calculator& calc, const StudySpec& spec, const std::string& base) {
  if (!has_threshold_column(calc)) return {};
  for (const NamedCut& c : cuts_of(spec)) {
    if (const std::string problem = cut_outside_image(calc, base, c.cut); !problem.empty()) {
      return (c.name.empty() ? "" : "--cut " + c.name + ": ") + problem;
    }
  }
  return {};
}


// At most this many warnings are printed one by one; study.json holds all.
constexpr std::size_t printed_warnings = 10;

void print_warnings(const std::vector<std::string>& lines, std::ostream& err) {
  for (std::size_t k = 0; k < lines.size() && k < printed_warnings; ++k) err << lines[k] << "\n";
  if (lines.size() > printed_warnings) {
    err << "meridox: " << lines.size() - printed_warnings << " more warnings (each in the status of its rows and in "
        << "study.json)\n";
  }
}

}  // namespace


namespace {

// One case of a study run alone into its folder in cases/, as the study
// ran it, with its tables and summary kept: the way to look at a case or
// run it again (`meridox run` there reads the same sheet).
int run_one_case(const Calculator& calc, Entry entry, const StudySpec& spec, const std::vector<StudyCase>& cases,
                 const fs::path& cases_folder, const std::string& name, std::ostream& out, std::ostream& err) {
  const auto found = std::find_if(cases.begin(), cases.end(), [&](const StudyCase& c) { return c.name == name; });
  if (found == cases.end()) {
    err << "meridox: the study has no case " << name << " (its cases are " << cases.front().name << " to "
        << cases.back().name << ")\n";
    return bad_input;
  }
  StudySpec kept = spec;
  kept.keep_tables = true;
  const fs::path folder = cases_folder / name;
  std::error_code ec;
  fs::remove(folder / "results.txt", ec);  // run it, whatever an earlier run left
  const CaseResult r = run_case(calc, entry, kept, *found, folder.string());
  out << "case " << name << ": " << r.status << "\n";
  out << "folder: " << folder.string() << "\n";
  return r.completed() ? ok : incomplete;
}

}  // namespace

int study(const StudyRequest& request, std::ostream& out, std::ostream& err) {
  const Calculator* calc = find_calculator(request.spec.calculator);
  if (calc == nullptr) {
    err << "meridox: unknown calculator \"" << request.spec.calculator << "\"; choose one of " << calculator_names()
        << "\n";
    return bad_input;
  }
  StudySpec spec = request.spec;
  if (request.sheet_path) {
    if (const std::string why = read_bounded(*request.sheet_path, sheet_byte_limit, spec.sheet); !why.empty()) {
      err << "meridox: cannot read the sheet " << *request.sheet_path << ": " << why << "\n";
      return bad_input;
    }
  } else {
    spec.sheet = std::string(example_sheet(calc->name));
  }
  if (spec.vary.empty()) {
    err << "meridox: a study varies at least one parameter (--vary NAME=FROM:TO:COUNT or NAME=V1,V2,...)\n";
    return bad_input;
  }
  if (!spec.thresholds.empty() && !has_threshold_column(*calc)) {
    err << "meridox: --threshold applies to the image calculators only\n";
    return bad_input;
  }
  if (!request.window.targets.empty() && !has_threshold_column(*calc)) {
    err << "meridox: --target-cd applies to the image calculators only\n";
    return bad_input;
  }
  std::string why;
  const std::optional<std::vector<StudyCase>> cases = study_cases(*calc, spec, why);
  if (!cases) {
    err << "meridox: " << why << "\n";
    return bad_input;
  }
  const std::string base = base_sheet(*calc, spec);
  if (const std::string problem = cuts_outside_image(*calc, spec, base); !problem.empty() && request.cut_given) {
    err << "meridox: " << problem << "\n";
    return bad_input;
  }
  if (!request.window.targets.empty() && !window_input(*calc, spec, {}, request.window, why)) {
    err << "meridox: " << why << "\n";
    return bad_input;
  }
  // Every sheet of the study as `meridox check` reads it (the base sheet
  // once, each varied value once), and its cases together.
  const StudyCheck check = check_study(*calc, spec);
  const std::vector<std::string> warnings = warning_lines(spec, check);
  print_warnings(warnings, err);
  if (request.strict && !warnings.empty()) {
    err << "meridox: --strict: " << warnings.size() << (warnings.size() == 1 ? " warning" : " warnings")
        << "; no case was run\n";
    return incomplete;
  }
  const std::string library = library_path(*calc, request.lib_dir);
  const Entry entry = load_entry(*calc, request.lib_dir, why);
  if (entry == nullptr) {
    err << "meridox: " << why << "\n";
    return not_installed;
  }
  if (const std::string problem = library_build(library, spec.library); !problem.empty()) {
    err << "meridox: cannot read the library " << library << ": " << problem << "\n";
    return not_installed;
  }
  const fs::path folder(request.out);
  const fs::path cases_folder = folder / "cases";
  std::string note;
  StudyLock lock;
  if (const std::string problem = prepare_study_folder(*calc, spec, folder.string(), note, lock, request.only_case.has_value());
      !problem.empty()) {
    err << "meridox: " << problem << "\n";
    return bad_input;
  }
  if (!note.empty()) err << "meridox: " << note << "\n";
  if (request.only_case) return run_one_case(*calc, entry, spec, *cases, cases_folder, *request.only_case, out, err);

  const int jobs = request.jobs > 0 ? request.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const bool terminal = isatty(STDERR_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  double shown = -1.0;
  auto progress = [&](std::size_t done, std::size_t failed) {
    if (!terminal) return;
    const double now = elapsed();
    if (done < cases->size() && now - shown < 0.1) return;
    shown = now;
    const double left = done > 0 ? now / static_cast<double>(done) * static_cast<double>(cases->size() - done) : NAN;
    err << "\r" << done << " of " << cases->size() << " cases, " << failed << " failed, " << clock_text(now)
        << " elapsed, " << clock_text(left) << " left   " << std::flush;
  };
  const std::vector<CaseResult> results = run_cases(*calc, entry, spec, *cases, cases_folder.string(), jobs, progress);
  if (terminal) err << "\n";
  if (interrupted() != 0) {
    err << "meridox: the study was interrupted; rerun the same command to resume it\n";
    return incomplete;
  }
  std::size_t failed = 0, reused = 0, diverged = 0;
  for (const CaseResult& r : results) {
    failed += r.completed() ? 0 : 1;
    diverged += r.status == diverged_status ? 1 : 0;
    reused += r.reused ? 1 : 0;
  }

  const std::vector<std::string> header = study_header(*calc, spec);
  if (const std::string problem =
          replace_file(folder / "study.csv", csv_text(header, study_rows(*calc, spec, *cases, results, check)));
      !problem.empty()) {
    err << "meridox: cannot write " << (folder / "study.csv").string() << ": " << problem << "\n";
    return incomplete;
  }

  std::optional<ProcessWindow> window;
  if (!request.window.targets.empty()) {
    window = process_window(*window_input(*calc, spec, results, request.window, why));
  }
  std::string info = study_json(*calc, spec, request.command_line,
                                request.sheet_path ? *request.sheet_path : std::string("built-in example"),
                                {cases->size(), failed, reused}, check);
  if (window) info = with_window_json(info, *window, request.window);
  if (const std::string problem = replace_file(folder / "study.json", info); !problem.empty()) {
    err << "meridox: cannot write " << (folder / "study.json").string() << ": " << problem << "\n";
    return incomplete;
  }

  out << calc->alias << " (" << calc->name << "): " << cases->size() << " cases";
  if (reused > 0) out << " (" << reused << " reused from an earlier run)";
  out << ", " << failed << " failed";
  if (!warnings.empty()) out << ", " << warnings.size() << (warnings.size() == 1 ? " warning" : " warnings");
  out << ", " << clock_text(elapsed()) << "\n";
  if (diverged > 0) {
    out << diverged << " of " << cases->size()
        << " cases diverged (status diverged in study.csv; their metrics are kept there, left out of the pictures)\n";
  }
  out << "table: " << (folder / "study.csv").string() << "\n";

  // Every file the study was asked for is written or the study says why.
  std::vector<std::string> problems;
  if (const std::string problem = report_mask_error(*calc, spec, *cases, results, folder, out); !problem.empty()) {
    problems.push_back(problem);
  }
  if (window) {
    if (const std::string problem = report_window(*calc, spec, base, *window, request, folder, out); !problem.empty()) {
      problems.push_back(problem);
    }
  }
  if (request.pictures) {
    for (const Picture& p : draw_metrics(*calc, spec, base, *cases, results, folder, request.plot)) {
      if (p.problem.empty()) {
        out << "picture: " << p.file << "\n";
      } else {
        out << "no picture " << p.file << ": " << p.problem << "\n";
        problems.push_back("no picture " + p.file + ": " + p.problem);
      }
    }
  }
  out.flush();
  if (!problems.empty()) {
    err << "meridox: " << problems.front();
    if (problems.size() > 1) err << " (and " << problems.size() - 1 << " more)";
    err << "\n";
    return incomplete;
  }
  if (failed > 0) {
    err << "meridox: " << failed << " of " << cases->size() << " cases failed; see the status column of study.csv\n";
    return incomplete;
  }
  return ok;
}

}  // namespace meridox::host
