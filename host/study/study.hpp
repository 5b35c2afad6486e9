#pragma once
// Studies: one calculator run over the full product of some varied
// parameters, each case in a folder of its own and in a child process of its
// own, the engineering metrics of every case in one table (study.csv), and
// pictures of each metric against the first varied parameter. Plain inputs
// and outputs throughout, so that the command, a script binding or a worker
// on another machine can run a whole study, one case or a batch alike.
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/metrics.hpp"
#include "host/core/library.hpp"

namespace meridox::host {

// A number as the study writes it: the shortest text that reads back as the
// same double; nan, inf and -inf for the others.
std::string number_text(double value);

struct Varied {
  std::string name;
  std::vector<double> values;
  // Varied together with the parameter before it, value for value (a
  // linked group such as the two edges of a biased line), not across it.
  bool with_previous = false;
};

// "NAME=FROM:TO:COUNT" (COUNT values evenly spaced, both ends included) or
// "NAME=V1,V2,..."; nothing (and `why`, one line) when it is neither.
std::optional<Varied> parse_vary(std::string_view text, std::string& why);

// "NAME1=VALUES;NAME2=VALUES;...": cells varied together, value for value,
// each part as parse_vary reads it and all of as many values; a text
// without ';' is parse_vary's. Nothing (and `why`) when a part is unusable.
std::optional<std::vector<Varied>> parse_linked_vary(std::string_view text, std::string& why);

// What a study computes: everything that decides its rows.
struct StudySpec {
  std::string calculator;  // deliverable name or alias
  std::string sheet;       // the base sheet's bytes, before the settings
  std::vector<std::pair<std::string, std::string>> set;  // applied to the base sheet first
  std::vector<Varied> vary;
  std::vector<double> thresholds;  // image calculators; {0.3} when empty
  CutOptions cut;                  // its threshold is taken from `thresholds`
  std::vector<NamedCut> cuts;      // named cuts, measured instead of `cut` when given
  std::optional<double> band;      // stage settling band, mm
  double timeout = 0.0;            // seconds per case; 0 for none
  bool keep_tables = false;        // keep each case's tables and summary
};

struct StudyCase {
  std::string name;            // the case's folder and its text in the `case` column
  std::vector<double> values;  // of the varied parameters, in their order
};

// The cases of a study in case order: the full product of the varied values,
// the last varied parameter changing fastest. Nothing (and `why`) when a
// name is not one of the calculator's cells or a setting cannot be made.
std::optional<std::vector<StudyCase>> study_cases(const Calculator& calc, const StudySpec& spec, std::string& why);

// The study's base sheet: the sheet with the settings made.
std::string base_sheet(const Calculator& calc, const StudySpec& spec);
// A case's sheet: the base sheet with each varied value written into its
// cell as the shortest text that reads back as the same double. Made when
// the case runs, so that a study of millions of cases holds no sheets.
std::string case_sheet(const Calculator& calc, const std::string& base, const StudySpec& spec, const StudyCase& c);

// The cuts a study measures: its named cuts, or its one unnamed cut.
std::vector<NamedCut> cuts_of(const StudySpec& spec);
// The thresholds a study measures at: {0.3} when it gives none.
std::vector<double> thresholds_of(const StudySpec& spec);

// The metric columns of a calculator's study, in order, and their units
// (length units from the sheet).
std::vector<std::string> metric_names(const Calculator& calc);
std::vector<std::string> metric_units(const Calculator& calc, std::string_view sheet);
bool has_threshold_column(const Calculator& calc);

struct CaseResult {
  std::string status = "ok";  // "ok", or the one line that says what failed
  // One row of metrics per cut and threshold, the thresholds changing
  // fastest (image calculators), or one row.
  std::vector<std::vector<double>> metrics;
  bool reused = false;
};

// Runs one case in `folder` (created if missing), all of it in a child
// process of its own: writes its IN_FM.txt, calls the entry once, computes
// its metrics, keeps its tables and summary only when asked, and leaves a
// record of its results there so that a rerun can reuse them. Never throws
// for a failed run: the result says so.
CaseResult run_case(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& study_case,
                    const std::string& folder);

// The results a case folder holds from an earlier run of the case's sheet;
// nothing when its sheet differs or its results are not complete.
std::optional<CaseResult> reusable_case(const Calculator& calc, const StudySpec& spec, const std::string& sheet,
                                        const std::string& folder);

// Makes `folder`/cases for a study and removes the study's earlier tables
// there. Cases made by another study (another command, script or set of
// options) are removed first, and `note` says so in one line. Returns an
// empty string, or why the folder cannot be used.
std::string prepare_study_folder(const Calculator& calc, const StudySpec& spec, const std::string& folder,
                                 std::string& note);

// The study table: header, then the rows in case order.
std::vector<std::string> study_header(const Calculator& calc, const StudySpec& spec);
std::vector<std::vector<std::string>> study_rows(const Calculator& calc, const StudySpec& spec,
                                                 const std::vector<StudyCase>& cases,
                                                 const std::vector<CaseResult>& results);
// RFC 4180: CR LF line ends, fields with a comma, quote or line end quoted.
std::string csv_text(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

// Runs the cases with `jobs` at once (each in its own child process, all
// started from the calling thread) and returns their results in case order,
// whatever order they finished in.
// Cases whose folder holds reusable results are not run again. `progress`
// is called after each case with (done, failed).
std::vector<CaseResult> run_cases(const Calculator& calc, Entry entry, const StudySpec& spec,
                                  const std::vector<StudyCase>& cases, const std::string& cases_folder, int jobs,
                                  const std::function<void(std::size_t, std::size_t)>& progress = {});

// study.json, beside study.csv: the calculator, the library, the command
// that made the study, its base sheet, the columns with their units, and
// how many cases there were, failed and were reused.
struct StudyCounts {
  std::size_t cases = 0, failed = 0, reused = 0;
};
std::string study_json(const Calculator& calc, const StudySpec& spec, const std::string& library,
                       const std::string& command, const std::string& base_name, const StudyCounts& counts);

}  // namespace meridox::host
