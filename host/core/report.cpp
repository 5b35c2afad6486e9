#include "host/core/report.hpp"

#include <ostream>
#include <utility>

#include "host/core/files.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
TableReport summarize_table(const fs::path& folder, const char* table, TableKind expected,
                            const SummaryContext& context, std::ostream& out) {
  TableReport r;
  const std::string path = (folder / table).string();
  std::string bytes;
  if (const std::string why = read_bounded(path, table_byte_limit, bytes); !why.empty()) {
    r.problem = fs::exists(path) ? "cannot read " + std::string(table) + ": " + why
                                 : "the calculator wrote no " + std::string(table);
    return r;
  }
  TableKind kind = identify_table(bytes);
  r.table.kind = kind;
  if (kind == TableKind::empty) {
    out << table << ": empty (the calculator wrote no rows), no picture\n";
    return r;
  }
  // A header in other words but the expected shape: read it as expected.
  if ((kind == TableKind::other_map && is_map(expected)) || (kind == TableKind::other_columns && !is_map(expected))) {
    kind = expected;
  }
  r.table.kind = kind;
  if (kind != expected) {
    r.problem = std::string(table) + " is not a " + describe(expected) + " (it reads as a " + describe(kind) + ")";
    return r;
  }
  out << table << ": " << describe(kind) << "\n";
  try {
    r.table = read_result_table(bytes, kind);
    out << summary_text(r.table, context);
  } catch (const TableError& e) {
    r.problem = std::string(table) + ": " + e.what();
    return r;
  }
  const Finiteness& f = r.table.finiteness;
  if (std::string none = no_finite_value(table, f); !none.empty()) {
    out << "  no finite values, no picture\n";
    r.problem = std::move(none);
    return r;
  }
  return r;
}

}  // namespace meridox::host
