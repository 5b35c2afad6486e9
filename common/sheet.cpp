#include "common/sheet.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/exchange.hpp"
#include "common/files.hpp"
#include "common/numbers.hpp"

namespace meridox {

Sheet::Sheet(GridShape shape)
    : shape_(shape),
      grid_(std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(shape.columns) *
                                                   static_cast<std::size_t>(shape.rows) *
                                                   static_cast<std::size_t>(shape.cell_bytes))),
      written_(static_cast<std::size_t>(shape.columns) * static_cast<std::size_t>(shape.rows), 0) {}

std::size_t Sheet::cell_index(int column, int row) const {
  return static_cast<std::size_t>(column) * static_cast<std::size_t>(shape_.rows) + static_cast<std::size_t>(row);
}

// The reader's cell (its place already inside the grid), its written part
// widened to cover its first `extent` bytes.
char* Sheet::open_cell(std::size_t extent) {
  const std::size_t cell = cell_index(column_, row_);
  if (written_[cell] < extent) written_[cell] = static_cast<std::uint16_t>(extent);
  return &grid_[cell * static_cast<std::size_t>(shape_.cell_bytes)];
}

// Stores a field's bytes from the reader's place on as one byte after
// another lands: those that fit in turn, each further one over the cell's
// last byte, where the last of them stays.
void Sheet::store(std::string_view text) {
  const auto last = static_cast<std::size_t>(shape_.cell_bytes - 1);
  const auto from = static_cast<std::size_t>(position_);
  const std::size_t to = std::min(from + text.size(), last + 1);
  char* const cell = open_cell(to);
  const std::size_t in_turn = std::min(text.size(), last - from);
  std::memcpy(cell + from, text.data(), in_turn);
  if (text.size() > in_turn) cell[last] = text.back();
  position_ = static_cast<int>(to);
}

// Ends the cell at the reader's place; the place stays.
void Sheet::end_cell() { open_cell(static_cast<std::size_t>(position_) + 1)[position_] = '\0'; }

void Sheet::saturate() {
  if (column_ > shape_.columns - 1) column_ = shape_.columns - 1;
  if (row_ > shape_.row_guard) row_ = shape_.row_guard;
  if (position_ > shape_.cell_bytes - 1) position_ = shape_.cell_bytes - 1;
}

void Sheet::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    saturate();
    std::size_t used = 1;
    switch (bytes.front()) {
      case '\n':
        end_cell();
        column_ = 0;
        ++row_;
        position_ = 0;
        break;
      case '\t':
        end_cell();
        ++column_;
        position_ = 0;
        break;
      case '\r':
        break;
      default:
        // The bytes up to the next TAB, LF or CR are stored in one go.
        while (used < bytes.size() && bytes[used] != '\n' && bytes[used] != '\t' && bytes[used] != '\r') ++used;
        store(bytes.substr(0, used));
        break;
    }
    bytes.remove_prefix(used);
  }
}

void Sheet::finish() {
  saturate();
  end_cell();
}

bool Sheet::load(const std::string& path) {
  std::FILE* file = files::open_regular(path);
  if (file == nullptr) return false;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    feed(std::string_view(buffer, got));
  }
  std::fclose(file);
  finish();
  return true;
}

std::string_view Sheet::cell(int column, int row) const {
  if (column < 0 || column >= shape_.columns || row < 0 || row >= shape_.rows) return {};
  const std::size_t cell = cell_index(column, row);
  const char* text = &grid_[cell * static_cast<std::size_t>(shape_.cell_bytes)];
  return std::string_view(text, strnlen(text, written_[cell]));
}

int Sheet::integer(int column, int row) const { return c_atoi(cell(column, row)); }

double Sheet::real(int column, int row) const { return c_atof(cell(column, row)); }

Sheet read_parameter_sheet(const std::string& folder, GridShape shape) {
  Sheet sheet(shape);
  sheet.load(folder + sheet_name);
  return sheet;
}

Sheet read_parameter_sheet(GridShape shape) { return read_parameter_sheet(exchange_folder(), shape); }

}  // namespace meridox
