#include "host/core/report.hpp"

#include <ostream>
#include <utility>

#include "host/core/files.hpp"

namespace fs = std::filesystem;

namespace meridox::host {
namespace {

// Whether a table that parses holds anything to draw: a grid size of 0 or a
// header without rows is a valid result with no picture.
bool has_samples(TableKind kind, const std::string& bytes) {
  if (is_map(kind)) {
    const MapTable map = parse_map(bytes);
    return !map.x.empty() && !map.y.empty();
  }
  return parse_columns(bytes).rows() > 0;
}

}  // namespace

TableReport summarize_table(const fs::path& folder, const char* table, TableKind expected,
                            const SummaryContext& context, std::ostream& out) {
  TableReport r;
  const std::string path = (folder / table).string();
  if (const std::string why = read_bounded(path, table_byte_limit, r.bytes); !why.empty()) {
    r.problem = fs::exists(path) ? "cannot read " + std::string(table) + ": " + why
                                 : "the calculator wrote no " + std::string(table);
    return r;
  }
  TableKind kind = identify_table(r.bytes);
  r.kind = kind;
  if (kind == TableKind::empty) {
    out << table << ": empty (the calculator wrote no rows), no picture\n";
    return r;
  }
  // A header in other words but the expected shape: read it as expected.
  if ((kind == TableKind::other_map && is_map(expected)) || (kind == TableKind::other_columns && !is_map(expected))) {
    kind = expected;
  }
  r.kind = kind;
  if (kind != expected) {
    r.problem = std::string(table) + " is not a " + describe(expected) + " (it reads as a " + describe(kind) + ")";
    return r;
  }
  out << table << ": " << describe(kind) << "\n";
  Finiteness f;
  try {
    out << summary_text(kind, r.bytes, context);
    f = finiteness(kind, r.bytes);
  } catch (const TableError& e) {
    r.problem = std::string(table) + ": " + e.what();
    return r;
  }
  if (std::string none = no_finite_value(table, f); !none.empty()) {
    out << "  no finite values, no picture\n";
    r.problem = std::move(none);
    return r;
  }
  r.drawable = has_samples(kind, r.bytes);
  return r;
}

}  // namespace meridox::host
