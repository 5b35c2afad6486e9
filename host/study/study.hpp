#pragma once
// Studies: one calculator run over the full product of some varied
// parameters, each case in a process that starts from the library as
// loaded (or, for a calculator that recomputes everything at every call, in
// a warm worker), the engineering metrics of every case in one table
// (study.csv), each completed case's record in one file, and
// pictures of each metric against the first varied parameter. Plain inputs
// and outputs throughout, so that the command, a script binding or a worker
// on another machine can run a whole study, one case or a batch alike.
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/check.hpp"
#include "host/core/metrics.hpp"
#include "host/core/text.hpp"
#include "host/core/library.hpp"

namespace meridox::host {


struct Varied {
  std::string name;
  std::vector<double> values;
  // Varied together with the parameter before it, value for value (a
  // linked group such as the two edges of a biased line), not across it.
  bool with_previous = false;
};

// "NAME=FROM:TO:COUNT" (COUNT values evenly spaced, both ends included, each
// finite however far apart the ends) or "NAME=V1,V2,..."; nothing (and
// `why`, one line) when it is neither.
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
  std::vector<double> thresholds;  // image calculators; {default_threshold} when empty
  CutOptions cut;                  // its threshold is taken from `thresholds`
  std::vector<NamedCut> cuts;      // named cuts, measured instead of `cut` when given
  std::optional<double> band;      // stage settling band, mm
  std::optional<double> hold;      // stage settling hold, s
  std::optional<double> window;    // stage closing window, s
  double timeout = 0.0;            // seconds per case; 0 for none
  bool keep_tables = false;        // keep each case's tables and summary
  // The library the cases run: a case recorded with another build of it is
  // run again. Set by whoever loads the library (library_build).
  LibraryBuild library;
};

// Why a study cannot be made, or "": a name that is not one of the
// calculator's cells, a cell varied twice, a value its integer cell cannot
// take (every value is looked at), an option that is not a finite number in
// its range, no values or more than 10^7 cases.
std::string study_problem(const Calculator& calc, const StudySpec& spec);

struct StudyCase {
  std::string name;            // the case's folder and its text in the `case` column
  std::vector<double> values;  // of the varied parameters, in their order
};

// The cases of a study in case order: the full product of the varied values,
// the last varied parameter changing fastest. Nothing (and `why`) when
// study_problem finds one.
std::optional<std::vector<StudyCase>> study_cases(const Calculator& calc, const StudySpec& spec, std::string& why);

// The study's base sheet: the sheet with the settings made.
std::string base_sheet(const Calculator& calc, const StudySpec& spec);
// A case's sheet: the base sheet with each varied value written into its
// cell, a real as the shortest text that reads back as the same double, an
// integer as an integer. Made when the case runs, so that a study of
// millions of cases holds no sheets.
std::string case_sheet(const Calculator& calc, const std::string& base, const StudySpec& spec, const StudyCase& c);

// The cuts a study measures: its named cuts, or its one unnamed cut.
std::vector<NamedCut> cuts_of(const StudySpec& spec);
// The thresholds a study measures at: {0.3} when it gives none.
std::vector<double> thresholds_of(const StudySpec& spec);

// The metric columns of a calculator's study, in order, and their units
// (length units from the sheet).
std::vector<std::string> metric_names(const Calculator& calc);
std::vector<std::string> metric_units(const Calculator& calc, std::string_view sheet);
// Per metric column: whether the run measures it (false for the stage
// loop's margins, worked out from the sheet alone).
std::vector<bool> metrics_of_the_run(const Calculator& calc);
bool has_threshold_column(const Calculator& calc);

// The status of a stage case that ran to its end but whose error grew
// without bound: its metrics are kept, and it is no failure of the study.
inline constexpr const char* diverged_status = "diverged";

// The warnings of a study's sheets as `meridox check` gives them, each
// looked at once: the base sheet's, and for each value of each varied
// parameter those of the base sheet with that value (beyond the base's, and
// the base's that the value clears). A case's warnings are the base's with
// those of its values. Beside them, those of the cases taken together (a
// projection study whose neighbouring values of sigma or NA give the same
// image), which no single sheet shows.
struct ValueWarnings {
  std::vector<Warning> added;
  std::vector<std::size_t> cleared;  // indices into the base's
};
struct StudyCheck {
  std::vector<Warning> base;
  std::vector<std::vector<ValueWarnings>> values;  // [varied parameter][value]
  std::vector<Warning> together;                   // of the cases together
  std::size_t count() const;                       // the base's, every value's and those together
};
StudyCheck check_study(const Calculator& calc, const StudySpec& spec);

// Every warning of a study, one line each: "warning [code]: message", a
// value's ending " (cases with NAME = VALUE)".
std::vector<std::string> warning_lines(const StudySpec& spec, const StudyCheck& check);

struct CaseResult {
  std::string status = "ok";  // "ok", "diverged", or the one line that says what failed
  // One row of metrics per cut and threshold, the thresholds changing
  // fastest (image calculators), or one row.
  std::vector<std::vector<double>> metrics;
  bool reused = false;
  // Whether the case ran to its end and has its metrics ("ok" or "diverged").
  bool completed() const { return status == "ok" || status == diverged_status; }
};

// A case that failed for `why`: its rows of metrics all NaN.
CaseResult failed_case(const Calculator& calc, const StudySpec& spec, const std::string& why);

// Runs one case in `folder` (created if missing), away from this process:
// writes its IN_FM.txt, calls the entry once, computes its metrics, keeps
// its tables and summary only when asked, and leaves a record of its
// results there so that a rerun can reuse them. Never throws for a failed
// run: the result says so.
CaseResult run_case(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& study_case,
                    const std::string& folder);

// Runs one case in this very process, as run_case's child does, in a
// folder made for it, keeping no record of its results there (the caller
// has them): for a child kept warm between cases, whose every call of the
// entry starts afresh (the optics calculators) or, with `as_loaded` (the
// library's memory copied before it was ever called), after that memory is
// put back. Never throws for a failed run: the result says so; a crash of
// the calculator ends this process.
CaseResult run_case_here(const Calculator& calc, Entry entry, const StudySpec& spec, const StudyCase& study_case,
                         const std::string& folder, const LoadedState* as_loaded = nullptr);

// A single run for a script into `folder`, as `meridox run` makes one: the
// case runs in a scratch folder inside it, and only the sheet and the tables
// come out, replacing those names (and the earlier tables and pictures of
// any calculator, which would pass for this run's); every other file there
// is left alone. This moves the sheet and tables of the finished run in
// `from` into `folder` and removes the earlier tables and pictures there.
// Returns why a file could not be moved, or "".
std::string adopt_run(const Calculator& calc, const std::string& from, const std::string& folder);

// The results a case folder holds from an earlier run of the case's sheet;
// nothing when its sheet differs or its results are not complete.
std::optional<CaseResult> reusable_case(const Calculator& calc, const StudySpec& spec, const std::string& sheet,
                                        const std::string& folder);

// A study folder held for one study at a time: a lock on a file inside it,
// taken when the study prepares the folder and given up when this goes (or
// the process ends). Another study into the same folder meanwhile is refused.
class StudyLock {
 public:
  StudyLock() = default;
  StudyLock(StudyLock&& other) noexcept;
  StudyLock& operator=(StudyLock&& other) noexcept;
  ~StudyLock();
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  friend std::string prepare_study_folder(const Calculator&, const StudySpec&, const std::string&, std::string&,
                                          StudyLock&, bool);
  int fd_ = -1;
};

// Takes `folder` for a study (`lock` holds it until the study is done) and
// makes `folder`/cases. Cases a meridox study made under another study key
// (another command, script, set of options or build of the library) are
// removed first, with the files that study wrote beside them, and `note`
// says so in one line; a cases/ that holds no study key is not this
// program's and is never touched. The study's files beside cases/ (its
// table, pictures) are removed too, unless `one_case` (a run of one case of
// the same study, which leaves them as they are). Returns an empty string,
// or why the folder cannot be used (one line).
std::string prepare_study_folder(const Calculator& calc, const StudySpec& spec, const std::string& folder,
                                 std::string& note, StudyLock& lock, bool one_case = false);

// The study table: header, then the rows in case order. A row's status is
// the case's, followed by the warnings of its sheet.
std::vector<std::string> study_header(const Calculator& calc, const StudySpec& spec);
std::vector<std::vector<std::string>> study_rows(const Calculator& calc, const StudySpec& spec,
                                                 const std::vector<StudyCase>& cases,
                                                 const std::vector<CaseResult>& results, const StudyCheck& check);
// RFC 4180: CR LF line ends, fields with a comma, quote or line end quoted.
std::string csv_text(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

// Runs the cases with `jobs` at once (in one warm worker per job, all
// watched from the calling thread) and returns their results in case order,
// whatever order they finished in. Without kept tables each completed case
// is recorded in `cases_folder`/records.txt and keeps no folder; a failed one
// keeps `cases_folder`/<case>/ with its sheet. Cases recorded complete for
// the same sheet and options (in that record, or with kept tables in their
// folder) are not run again. `progress` is called after each case with
// (done, failed).
std::vector<CaseResult> run_cases(const Calculator& calc, Entry entry, const StudySpec& spec,
                                  const std::vector<StudyCase>& cases, const std::string& cases_folder, int jobs,
                                  const std::function<void(std::size_t, std::size_t)>& progress = {});

// study.json, beside study.csv: the calculator, the library (its path, size
// and hash), the command that made the study, its base sheet, the columns
// with their units, how many cases there were, failed and were reused, and
// the warnings of its sheets.
struct StudyCounts {
  std::size_t cases = 0, failed = 0, reused = 0;
};
std::string study_json(const Calculator& calc, const StudySpec& spec, const std::string& command,
                       const std::string& base_name, const StudyCounts& counts, const StudyCheck& check);

// The files a study writes beside study.csv (study.json, the process window,
// the pictures of every metric of every calculator): an earlier study's are
// removed when a study starts afresh.
std::vector<std::string> study_files();

// The unit of each column of the study table that has one (varied
// parameters, threshold, metrics), as study.json gives them.
std::map<std::string, std::string> study_units(const Calculator& calc, const StudySpec& spec);

}  // namespace meridox::host
