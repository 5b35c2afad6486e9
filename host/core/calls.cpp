#include "host/core/calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/exchange.hpp"
#include "common/table.hpp"
#include "host/core/files.hpp"
#include "host/core/process.hpp"
#include "host/core/text.hpp"
#include "host/core/units.hpp"

namespace fs = std::filesystem;

namespace meridox::host {

std::string picture_name(std::string_view table) {
  return std::string(table.substr(0, table.rfind('.'))) + ".png";
}

// Calls the entry once in a child process with the exchange folder set: a
// calculator that crashes, ends the process or runs past the timeout ends
// the child, not the host.
std::string call_entry(Entry entry, const std::filesystem::path& exchange, const std::string& what, double timeout) {
  return run_in_child(
      [&]() -> std::string {
        setenv("MERIDOXWORK", (exchange.string() + "/").c_str(), 1);
        entry();
        return {};
      },
      what, {timeout, false});
}

// The metrics of a stage history read line by line from a table file, in
// blocks, so that ten million steps need no more memory than one block.
std::optional<StageMetrics> stream_stage_metrics(const std::filesystem::path& table, const StageColumns& c,
                                                 HistoryReducer* drawn) {
  const int fd = open(table.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  StageMetricsBuilder builder(c.judging(true));
  const std::size_t need = std::max(std::max(c.error, c.current) + 1, drawn ? drawn->columns() : 0);
  std::vector<double> fields(need);
  constexpr std::size_t block_size = 1 << 16;
  // A line's fields, read: one state of the history.
  auto keep = [&] {
    builder.add(fields[0], fields[c.error], fields[c.current]);
    if (drawn) drawn->add(fields.data());
  };
  // One line: its first `need` TAB-separated fields, each wholly a number.
  auto take = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return true;
    for (std::size_t k = 0; k < need; ++k) {
      // A plain decimal ending at a TAB or the line's end is read in one
      // pass; any other form as a whole field.
      std::size_t used = 0;
      std::optional<double> value = plain_decimal_prefix(line, used);
      std::size_t tab = used;
      if (!value || (used < line.size() && line[used] != '\t')) {
        tab = line.find('\t');
        value = whole_real(line.substr(0, tab));
      }
      if (!value) return false;
      fields[k] = *value;
      line = tab >= line.size() ? std::string_view() : line.substr(tab + 1);
    }
    keep();
    return true;
  };
  // The line at `from`, read where it lies when its fields are the plain
  // decimals the calculators print, each ending at a TAB (the last one
  // read may end the line): where the next line starts, or nothing for any
  // other line, which `take` then reads whole.
  auto take_plain = [&](const char* from, const char* end) -> const char* {
    const char* at = from;
    for (std::size_t k = 0; k < need; ++k) {
      std::size_t used = 0;
      const std::optional<double> value = plain_decimal_prefix(std::string_view(at, end - at), used);
      at += used;
      if (!value || end - at < 2) return nullptr;
      const bool tab = *at == '\t', line_end = *at == '\n' || (at[0] == '\r' && at[1] == '\n');
      if (!(tab || (k + 1 == need && line_end))) return nullptr;
      fields[k] = *value;
      if (tab) ++at;
    }
    const char* const next = static_cast<const char*>(std::memchr(at, '\n', end - at));
    if (next == nullptr) return nullptr;
    keep();
    return next + 1;
  };
  // Uninitialised, so that a fresh process touches only the pages it reads into.
  const std::unique_ptr<char[]> block(new char[block_size]);
  std::string carried;  // a line that runs on into the next block
  bool header = true, ok = true;
  while (ok) {
    const ssize_t n = read(fd, block.get(), block_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    std::string_view rest(block.get(), static_cast<std::size_t>(n));
    while (ok) {
      // The lines that lie whole in the block, read where they lie.
      if (!header && carried.empty()) {
        while (const char* next = take_plain(rest.data(), rest.data() + rest.size())) {
          rest.remove_prefix(static_cast<std::size_t>(next - rest.data()));
        }
      }
      const std::size_t end = rest.find('\n');
      if (end == std::string_view::npos) break;
      std::string_view line = rest.substr(0, end);
      if (!carried.empty()) line = (carried.append(line));
      if (!header) ok = take(line);
      header = false;
      carried.clear();
      rest.remove_prefix(end + 1);
    }
    carried.append(rest);
  }
  close(fd);
  if (ok && !carried.empty()) {
    if (!header) ok = take(carried);
    header = false;
  }
  if (!ok || header) return std::nullopt;
  return builder.result();
}

// Stage metrics from every step: the table itself when it prints every
// step, else a second run printing every step in a scratch folder inside
// the output folder, removed afterwards. `why_not` says why there are none.
std::optional<StageMetrics> every_step_metrics(const Calculator& c, Entry entry, const std::string& sheet,
                                               const std::filesystem::path& folder, const StageColumns& columns,
                                               double timeout, std::string& why_not, EveryStepDrawing* drawing) {
  const EntryRun in_child = [&](const fs::path& exchange, const std::string& what) {
    return call_entry(entry, exchange, what, timeout);
  };
  return every_step_metrics(c, in_child, sheet, folder, columns, why_not, drawing);
}

std::optional<StageMetrics> every_step_metrics(const Calculator& c, const EntryRun& run_entry,
                                               const std::string& sheet, const std::filesystem::path& folder,
                                               const StageColumns& columns, std::string& why_not,
                                               EveryStepDrawing* drawing) {
  // The picture's bins span the run, from t = 0 to N h.
  std::optional<HistoryReducer> reducer;
  if (drawing) reducer.emplace(stage_table(c)->columns.size(), 0.0, columns.end_time, drawing->bins);
  HistoryReducer* drawn = reducer ? &*reducer : nullptr;
  const StageSteps run = stage_steps(c, sheet_of(c, sheet));
  const long long steps = run.steps;
  const int interval = run.interval;
  // A table of every step holds the N + 1 states t = 0, h, ..., N h; fewer
  // (a full disk, a stopped run) would pass part of a history for all of it.
  const std::size_t states = static_cast<std::size_t>(std::max(steps, 0LL)) + 1;
  auto complete = [&](std::optional<StageMetrics> m) -> std::optional<StageMetrics> {
    if (m && m->states != states) {
      why_not = "the table of every step holds " + std::to_string(m->states) + " of the " + std::to_string(states) +
                " states";
      return std::nullopt;
    }
    if (!m && why_not.empty()) why_not = "the table of every step cannot be read";
    if (m && drawn) drawing->history = drawn->result();
    return m;
  };
  if (steps <= 0 || interval == 1) return complete(stream_stage_metrics(folder / stage_table(c)->file, columns, drawn));
  if (steps > every_step_limit) {
    why_not = std::to_string(steps) + " steps are more than the 10^7 a table of every step may hold";
    return std::nullopt;
  }
  std::string pattern_text = std::string(every_step_prefix) + "XXXXXX";
  std::string scratch = (folder / pattern_text).string();
  if (mkdtemp(scratch.data()) == nullptr) {
    why_not = std::string("no scratch folder for a run of every step: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::optional<StageMetrics> metrics;
  const std::string every = with_cell_text(sheet, run.interval_cell->column, run.interval_cell->row, "1");
  if (const std::string problem = replace_file(fs::path(scratch) / sheet_name, every); !problem.empty()) {
    why_not = "cannot write the sheet of a run of every step: " + problem;
  } else if (const std::string failed = run_entry(scratch, std::string(c.name) + " (every step)");
             !failed.empty()) {
    why_not = failed;
  } else {
    metrics = complete(stream_stage_metrics(fs::path(scratch) / stage_table(c)->file, columns, drawn));
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return metrics;
}


void remove_leftovers(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool scratch = name.rfind(every_step_prefix, 0) == 0 && it->is_directory(ec) && !it->is_symlink(ec);
    bool partial = false;
    for (const std::string& result : every_result_file()) {
      // The host's temporaries (".OUT_M.txt.XXXXXX") and a calculator's
      // ("OUT_M.txt.partial-PID-N"), which a killed run leaves behind.
      partial = partial || name.rfind("." + result + ".", 0) == 0 || name.rfind(temporary_prefix(result), 0) == 0;
    }
    partial = partial || name.rfind("." + std::string(sheet_name) + ".", 0) == 0;
    if (scratch) fs::remove_all(it->path(), ec);
    if (partial && it->is_regular_file(ec) && !it->is_symlink(ec)) fs::remove(it->path(), ec);
  }
}

std::vector<std::string> every_result_file() {
  std::vector<std::string> names;
  for (const Calculator& c : calculators()) {
    for (const TableSpec& table : c.layout->tables) {
      for (const std::string& name : {std::string(table.file), picture_name(table.file)}) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
    }
  }
  names.emplace_back(loop_picture);
  return names;
}

}  // namespace meridox::host
