#pragma once
// The parameter sheet: a TAB-separated text file read into a grid of cells
// addressed (column, row), both counted from 0.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace meridox {

// Dimensions of a calculator's sheet grid and the guard that keeps the reader
// inside it: while reading, an index above its guard is set to the guard, so
// an over-long cell keeps its first cell_bytes - 1 bytes, fields beyond the
// last column are written over the last column, and lines beyond the guard
// row are written over that row. A cell holds at most 65535 bytes.
struct GridShape {
  int columns;
  int rows;
  int cell_bytes;
  int row_guard;
};

// Each calculator's grid is part of its layout (its folder's layout.hpp).

class Sheet {
 public:
  // An empty sheet: every cell empty. The grid lives on the heap, never on
  // the (possibly small) stack of the host's thread, and is not cleared: a
  // sheet fills a few hundred of its bytes, and only written bytes are read.
  explicit Sheet(GridShape shape);

  // Reads a whole regular file into the grid. A file that cannot be opened or
  // is not a regular file leaves the sheet empty and returns false.
  bool load(const std::string& path);

  // Feeds bytes to the reader as if they came from a file: LF ends a row, TAB
  // ends a cell, CR is ignored, every other byte is stored unchanged.
  void feed(std::string_view bytes);
  // Ends the input: the cell open at end of file ends there.
  void finish();

  // The text of a cell up to its first NUL; empty for a cell the file never
  // supplied and for addresses outside the grid.
  std::string_view cell(int column, int row) const;
  int integer(int column, int row) const;
  double real(int column, int row) const;

  const GridShape& shape() const { return shape_; }

 private:
  std::size_t cell_index(int column, int row) const;
  char* open_cell(std::size_t extent);
  void store(std::string_view text);
  void end_cell();
  void saturate();

  GridShape shape_;
  // cell_bytes bytes a cell, column after column, left uninitialised.
  std::unique_ptr<char[]> grid_;
  // For each cell, how many of its leading bytes the input has written: a
  // field landing on a cell writes its positions from 0 upwards, so these
  // bytes are all written, and the rest of the cell reads as the NULs of a
  // cleared grid would.
  std::vector<std::uint16_t> written_;
  int column_ = 0;
  int row_ = 0;
  int position_ = 0;
};

// Reads "IN_FM.txt" from `folder` (or the exchange folder) into a sheet of
// the given shape. A sheet that cannot be opened, or that is not a regular
// file (a FIFO, a device, a socket, a directory, also behind a link), reads
// as an empty sheet.
Sheet read_parameter_sheet(const std::string& folder, GridShape shape);
Sheet read_parameter_sheet(GridShape shape);

}  // namespace meridox
