// Fuzzes the parameter-sheet reader with one grid shape (chosen at build time
// by MERIDOX_FUZZ_SHAPE). Besides the sanitizers' checks, every input must
// give the cells that a plain model of the reading rules gives: each field of
// the file lands in the cell its TAB and LF count name, with indices held at
// the grid's guards; the cell shows the last field stored there, without CR,
// up to a NUL byte and cut to the cell's size. Feeding the bytes in two
// pieces must give the same cells as feeding them at once.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/sheet.hpp"
#include "plate/layout.hpp"
#include "projection/layout.hpp"
#include "proximity/layout.hpp"

namespace {

constexpr meridox::GridShape shape = meridox::MERIDOX_FUZZ_SHAPE;

std::vector<std::string> model_cells(std::string_view bytes) {
  std::vector<std::string> cells(static_cast<std::size_t>(shape.columns) * shape.rows);
  long long column = 0;
  long long row = 0;
  std::string field;
  auto store = [&] {
    const long long c = std::min<long long>(column, shape.columns - 1);
    const long long r = std::min<long long>(row, shape.row_guard);
    std::string shown = field.substr(0, field.find('\0'));
    if (shown.size() > static_cast<std::size_t>(shape.cell_bytes - 1)) shown.resize(shape.cell_bytes - 1);
    cells[static_cast<std::size_t>(c * shape.rows + r)] = shown;
    field.clear();
  };
  for (const char byte : bytes) {
    if (byte == '\t') {
      store();
      ++column;
    } else if (byte == '\n') {
      store();
      column = 0;
      ++row;
    } else if (byte != '\r') {
      field.push_back(byte);
    }
  }
  store();
  return cells;
}

[[noreturn]] void fail(const char* what, int column, int row) {
  std::fprintf(stderr, "sheet reader: %s at cell (%d, %d)\n", what, column, row);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  meridox::Sheet whole(shape);
  whole.feed(bytes);
  whole.finish();

  const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
  meridox::Sheet pieces(shape);
  pieces.feed(bytes.substr(0, split));
  pieces.feed(bytes.substr(split));
  pieces.finish();

  const std::vector<std::string> expected = model_cells(bytes);
  for (int column = 0; column < shape.columns; ++column) {
    for (int row = 0; row < shape.rows; ++row) {
      const std::string_view cell = whole.cell(column, row);
      if (cell != expected[static_cast<std::size_t>(column * shape.rows + row)]) {
        fail("cell differs from the reading rules", column, row);
      }
      if (pieces.cell(column, row) != cell) fail("split input reads differently", column, row);
      if (!cell.empty()) {
        // The conversions must cope with whatever a cell holds.
        const int i = whole.integer(column, row);
        const double d = whole.real(column, row);
        const bool digit = cell.front() >= '0' && cell.front() <= '9';
        if (digit && (i < 0 || !(d >= 0))) fail("digits convert negative", column, row);
      }
    }
  }
  // Addresses outside the grid read as empty.
  if (!whole.cell(-1, 0).empty() || !whole.cell(shape.columns, 0).empty() ||
      !whole.cell(0, shape.rows).empty() || !whole.cell(0, -1).empty()) {
    fail("an address outside the grid is not empty", -1, -1);
  }
  return 0;
}
