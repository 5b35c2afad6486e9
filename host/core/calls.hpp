#pragma once
// Calls of a calculator's entry in a child process, with the exchange folder
// set, and the runs of every step that a stage's metrics are made from.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/core/calculators.hpp"
#include "host/core/library.hpp"
#include "host/core/metrics.hpp"
#include "host/core/summary.hpp"

namespace meridox::host {

// A stage history beyond this many steps is summarised from its printed rows
// only: a table of every step takes some 40 bytes a step.
inline constexpr long long every_step_limit = 10'000'000;

// Scratch folders of the runs of every step; like the temporaries of the
// sheet and the pictures, named with a leading dot.
inline constexpr const char* every_step_prefix = ".every-step-";

// Calls the entry once in a child process with the exchange folder set; an
// empty string when it ran to its end, else one line saying what happened.
std::string call_entry(Entry entry, const std::filesystem::path& exchange, const std::string& what, double timeout);

// The metrics of a stage history read line by line from a table file; when
// `drawn` is given, every column of each line goes into it too.
std::optional<StageMetrics> stream_stage_metrics(const std::filesystem::path& table, const StageColumns& c,
                                                 HistoryReducer* drawn = nullptr);

// What a run of every step gives a picture: the history reduced to
// `bins` bins (one per pixel column, or more).
struct EveryStepDrawing {
  std::size_t bins = 0;
  std::optional<DrawnHistory> history;  // when the metrics come from every step
};

// Stage metrics from every step: the table in `folder` when it prints every
// step, else a second run printing every step in a scratch folder inside
// `folder`, removed afterwards, in a child of its own (call_entry). `why_not`
// says why there are none. With `drawing`, the same history reduced for the
// picture.
std::optional<StageMetrics> every_step_metrics(const Calculator& c, Entry entry, const std::string& sheet,
                                               const std::filesystem::path& folder, const StageColumns& columns,
                                               double timeout, std::string& why_not,
                                               EveryStepDrawing* drawing = nullptr);

// A run of the entry with `exchange` as its exchange folder, `what` naming
// it: an empty string when it ran to its end, else one line saying why not.
using EntryRun = std::function<std::string(const std::filesystem::path& exchange, const std::string& what)>;
// The same, with the run of every step made by `run_entry` (one that starts
// from the library as loaded, in a child or in this process).
std::optional<StageMetrics> every_step_metrics(const Calculator& c, const EntryRun& run_entry,
                                               const std::string& sheet, const std::filesystem::path& folder,
                                               const StageColumns& columns, std::string& why_not,
                                               EveryStepDrawing* drawing = nullptr);

// The picture file drawn of a table: its name with .png.
std::string picture_name(std::string_view table);

// The Bode picture of a stage's linearised loop, beside its table.
inline constexpr const char* loop_picture = "loop.png";

// Every table any calculator writes and its picture: an earlier run of
// another calculator in the same folder must not leave its tables beside
// this run's.
std::vector<std::string> every_result_file();

// What an interrupted earlier run may have left in a folder (partial tables,
// sheets, scratch folders of runs of every step): removed before a new run
// and after a study's case that failed.
void remove_leftovers(const std::filesystem::path& folder);

}  // namespace meridox::host
