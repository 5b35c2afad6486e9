#include "common/sheet.hpp"

#include <cstdio>
#include <cstring>

#include "common/exchange.hpp"
#include "common/files.hpp"
#include "common/numbers.hpp"

namespace meridox {

Sheet::Sheet(GridShape shape)
    : shape_(shape),
      grid_(static_cast<std::size_t>(shape.columns) * static_cast<std::size_t>(shape.rows) *
                static_cast<std::size_t>(shape.cell_bytes),
            '\0') {}

char* Sheet::at(int column, int row, int position) {
  const std::size_t index =
      (static_cast<std::size_t>(column) * static_cast<std::size_t>(shape_.rows) +
       static_cast<std::size_t>(row)) *
          static_cast<std::size_t>(shape_.cell_bytes) +
      static_cast<std::size_t>(position);
  return &grid_[index];
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
        *at(column_, row_, position_) = '\0';
        column_ = 0;
        ++row_;
        position_ = 0;
        break;
      case '\t':
        *at(column_, row_, position_) = '\0';
        ++column_;
        position_ = 0;
        break;
      case '\r':
        break;
      default:
        *at(column_, row_, position_) = byte;
        ++position_;
        break;
    }
  }
}

void Sheet::finish() {
  saturate();
  *at(column_, row_, position_) = '\0';
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
  const std::size_t index =
      (static_cast<std::size_t>(column) * static_cast<std::size_t>(shape_.rows) +
       static_cast<std::size_t>(row)) *
      static_cast<std::size_t>(shape_.cell_bytes);
  const char* text = &grid_[index];
  return std::string_view(text, strnlen(text, static_cast<std::size_t>(shape_.cell_bytes)));
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
