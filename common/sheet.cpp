#include "common/sheet.hpp"

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

// Writes a byte at the reader's place (already inside the grid) and widens
// the cell's written part to cover it.
void Sheet::store(char byte) {
  const std::size_t cell = cell_index(column_, row_);
  grid_[cell * static_cast<std::size_t>(shape_.cell_bytes) + static_cast<std::size_t>(position_)] = byte;
  const auto extent = static_cast<std::uint16_t>(position_ + 1);
  if (written_[cell] < extent) written_[cell] = extent;
}

void Sheet::saturate() {
  if (column_ > shape_.columns - 1) column_ = shape_.columns - 1;
  if (row_ > shape_.row_guard) row_ = shape_.row_guard;
  if (position_ > shape_.cell_bytes - 1) position_ = shape_.cell_bytes - 1;
}

void Sheet::feed(std::string_view bytes) {
  for (const char byte : bytes) {
    saturate();
    switch (byte) {
      case '\n':
        store('\0');
        column_ = 0;
        ++row_;
        position_ = 0;
        break;
      case '\t':
        store('\0');
        ++column_;
        position_ = 0;
        break;
      case '\r':
        break;
      default:
        store(byte);
        ++position_;
        break;
    }
  }
}

void Sheet::finish() {
  saturate();
  store('\0');
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
