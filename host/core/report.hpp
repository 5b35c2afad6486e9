#pragma once
// A run's report: the exit statuses every front end shares, and one result
// table read from its folder, told apart and summarised.
#include <filesystem>
#include <iosfwd>
#include <string>

#include "host/core/summary.hpp"
#include "host/core/tables.hpp"

namespace meridox::host {

// Exit statuses of the command.
enum Status : int {
  ok = 0,
  incomplete = 1,    // the run failed or timed out, a table is missing, unreadable or without a
                     // finite value, or a picture failed; with --strict also any warning or
                     // value that is not finite
  bad_input = 2,     // unknown calculator, unreadable sheet, bad option, output folder not usable
  not_installed = 3  // the calculator's library or its entry cannot be loaded
};

// One table of a run as read back, once: `problem` the one line that says
// what failed ("" when all is well), and the table as read.
struct TableReport {
  std::string problem;
  ResultTable table;
};

// Reads the table `table` from `folder`, tells its kind (a header in other
// words but the expected shape is read as expected) and writes its summary
// to `out`.
TableReport summarize_table(const std::filesystem::path& folder, const char* table, TableKind expected,
                            const SummaryContext& context, std::ostream& out);

}  // namespace meridox::host
