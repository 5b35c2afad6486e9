#include "common/sheet.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "plate/layout.hpp"
#include "projection/layout.hpp"
#include "proximity/layout.hpp"
#include "support/harness.hpp"

namespace meridox {
namespace {

Sheet parse(std::string_view bytes, GridShape shape = plate::layout.grid) {
  Sheet sheet(shape);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

TEST(SheetReader, CrLfAndLfGiveTheSameCells) {
  const std::string lf = "title\nlabel\tunit\t12.5\n\t\t7\n";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const Sheet a = parse(lf);
  const Sheet b = parse(crlf);
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      EXPECT_EQ(a.cell(column, row), b.cell(column, row)) << column << "," << row;
    }
  }
  EXPECT_EQ(a.cell(2, 1), "12.5");
  EXPECT_EQ(a.real(2, 1), 12.5);
  EXPECT_EQ(a.integer(2, 1), 12);
  EXPECT_EQ(a.cell(2, 2), "7");
}

TEST(SheetReader, EmptyAndMissingCellsConvertToZero) {
  const Sheet sheet = parse("a\t\tletters\n\nx\ty\t0.25mm");
  EXPECT_EQ(sheet.cell(1, 0), "");
  EXPECT_EQ(sheet.real(2, 0), 0.0);  // letters only
  EXPECT_EQ(sheet.cell(0, 1), "");   // empty line
  EXPECT_EQ(sheet.real(2, 2), 0.25);  // unit suffix; last line without LF
  EXPECT_EQ(sheet.real(5, 50), 0.0);  // never supplied
  EXPECT_EQ(sheet.cell(-1, 0), "");
  EXPECT_EQ(sheet.cell(0, 100000), "");
}

TEST(SheetReader, StoresOtherBytesUnchanged) {
  const std::string label = "\x83\x65\x83\x58\x83\x67";  // Shift-JIS text
  const Sheet sheet = parse(label + "\t\x01\xff\n");
  EXPECT_EQ(sheet.cell(0, 0), label);
  EXPECT_EQ(sheet.cell(1, 0), "\x01\xff");
}

TEST(SheetReader, OverLongCellKeepsItsFirstBytes) {
  const std::string long_cell(500, 'x');
  for (const GridShape& shape : {projection::layout.grid, proximity::layout.grid, plate::layout.grid}) {
    std::string text = long_cell;
    text.append("\tnext\n").append(long_cell);
    const Sheet sheet = parse(text, shape);
    const auto expected = static_cast<std::size_t>(shape.cell_bytes - 1);
    EXPECT_EQ(sheet.cell(0, 0), long_cell.substr(0, expected));
    EXPECT_EQ(sheet.cell(1, 0), "next");
    EXPECT_EQ(sheet.cell(0, 1), long_cell.substr(0, expected));  // open at end of file
  }
}

TEST(SheetReader, FieldsBeyondTheLastColumnLandInIt) {
  std::string line;
  for (int f = 0; f < 12; ++f) line += "f" + std::to_string(f) + (f < 11 ? "\t" : "\n");
  const Sheet proximity = parse(line, proximity::layout.grid);
  EXPECT_EQ(proximity.cell(7, 0), "f11");
  EXPECT_EQ(proximity.cell(6, 0), "f6");
  const Sheet small = parse(line, plate::layout.grid);
  EXPECT_EQ(small.cell(9, 0), "f11");
  EXPECT_EQ(small.cell(8, 0), "f8");
}

TEST(SheetReader, LinesBeyondTheGuardRowLandOnIt) {
  std::string text;
  for (int row = 0; row < 1200; ++row) text += "\t\t" + std::to_string(row) + "\n";
  const Sheet projection = parse(text, projection::layout.grid);
  EXPECT_EQ(projection.cell(2, 999), "999");
  EXPECT_EQ(projection.cell(2, 1000), "1199");
  EXPECT_EQ(projection.cell(2, 1001), "");  // above the guard: never written
  const Sheet proximity = parse(text, proximity::layout.grid);
  EXPECT_EQ(proximity.cell(2, 699), "1199");
  const Sheet small = parse(text, plate::layout.grid);
  EXPECT_EQ(small.cell(2, 98), "98");
  EXPECT_EQ(small.cell(2, 99), "1199");
}

TEST(SheetReader, OverwrittenCellEndsAtItsNewText) {
  // A shorter field written over a longer one ends at its own NUL.
  const Sheet sheet = parse("a\tb\tc\td\te\tf\tg\tlongtext\tz\n", proximity::layout.grid);
  EXPECT_EQ(sheet.cell(7, 0), "z");
}

TEST(SheetReader, NulByteEndsTheCellText) {
  const Sheet sheet = parse(std::string("12\0" "34\t5\n", 7));
  EXPECT_EQ(sheet.cell(0, 0), "12");
  EXPECT_EQ(sheet.cell(1, 0), "5");
}

// The reader's rules on a grid cleared to NULs before reading: what every
// cell must read as.
class ClearedGrid {
 public:
  explicit ClearedGrid(GridShape shape)
      : s_(shape), bytes_(static_cast<std::size_t>(shape.columns * shape.rows * shape.cell_bytes), '\0') {}
  void feed(std::string_view bytes) {
    for (const char b : bytes) {
      if (b == '\r') continue;
      put(b == '\t' || b == '\n' ? '\0' : b);
      if (b == '\t') ++column_;
      if (b == '\n') column_ = 0, ++row_;
      position_ = b == '\t' || b == '\n' ? 0 : position_ + 1;
    }
  }
  void finish() { put('\0'); }
  std::string_view cell(int column, int row) const {
    if (column < 0 || column >= s_.columns || row < 0 || row >= s_.rows) return {};
    const char* text = &bytes_[static_cast<std::size_t>((column * s_.rows + row) * s_.cell_bytes)];
    return {text, strnlen(text, static_cast<std::size_t>(s_.cell_bytes))};
  }

 private:
  void put(char b) {
    column_ = std::min(column_, s_.columns - 1);
    row_ = std::min(row_, s_.row_guard);
    position_ = std::min(position_, s_.cell_bytes - 1);
    bytes_[static_cast<std::size_t>((column_ * s_.rows + row_) * s_.cell_bytes + position_)] = b;
  }
  GridShape s_;
  std::string bytes_;
  int column_ = 0, row_ = 0, position_ = 0;
};

// Random text of short and over-long cells, TABs, LFs, CRs and NULs, more
// fields and lines than the grid holds (a row above the guard row is never
// written), fed in random pieces: every cell, read after each piece (a cell
// still open included) and after the end, is what the cleared grid holds.
TEST(SheetReader, EveryCellReadsAsOnACleanGrid) {
  constexpr GridShape shape{4, 7, 6, 5};
  std::mt19937 rng(20261209);
  const std::string alphabet("\t\t\t\n\n\r\0\0ab1.", 13);
  auto expect_same = [&](const Sheet& sheet, const ClearedGrid& grid, const std::string& text) {
    for (int column = -1; column <= shape.columns; ++column) {
      for (int row = -1; row <= shape.rows; ++row) {
        ASSERT_EQ(sheet.cell(column, row), grid.cell(column, row))
            << "cell (" << column << "," << row << ") of " << ::testing::PrintToString(text);
      }
    }
  };
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    const int length = static_cast<int>(rng() % 160);
    while (static_cast<int>(text.size()) < length) {
      if (rng() % 12 == 0) {
        text.append(rng() % 12, static_cast<char>('k' + rng() % 3));  // a cell that may run over
      } else {
        text += alphabet[rng() % alphabet.size()];
      }
    }
    Sheet sheet(shape);
    ClearedGrid grid(shape);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t piece = std::min<std::size_t>(text.size() - at, rng() % 20);
      sheet.feed(std::string_view(text).substr(at, piece));
      grid.feed(std::string_view(text).substr(at, piece));
      at += piece;
      expect_same(sheet, grid, text);
    }
    if (trial % 2 == 0) {
      sheet.finish();
      grid.finish();
      expect_same(sheet, grid, text);
    }
  }
}

TEST(SheetReader, MissingFileReadsAsEmptySheet) {
  testing::ExchangeFolder folder;
  Sheet sheet = read_parameter_sheet(plate::layout.grid);
  EXPECT_EQ(sheet.cell(2, 1), "");
  EXPECT_FALSE(sheet.load((folder.path() / "absent.txt").string()));
}

TEST(SheetReader, ReadsTheSheetOfTheExchangeFolder) {
  testing::ExchangeFolder folder;
  folder.write_sheet(testing::SheetBuilder().set(2, 3, 0.125).set(1, 25, "-1").str());
  const Sheet sheet = read_parameter_sheet(projection::layout.grid);
  EXPECT_EQ(sheet.real(2, 3), 0.125);
  EXPECT_EQ(sheet.integer(1, 25), -1);
}

}  // namespace
}  // namespace meridox
