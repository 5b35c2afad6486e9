#pragma once
// Text helpers of the host: decoding the labels of a sheet or a table for the
// terminal, and finding where the number at the start of a cell ends.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace meridox::host {

// A label for display as UTF-8: ASCII and valid UTF-8 pass unchanged,
// Shift-JIS (code page 932) text, as a Windows spreadsheet writes it, is
// decoded, anything else shows its non-ASCII bytes as \xNN.
std::string display_text(std::string_view bytes);

// How many bytes of `text` the integer conversion of a cell reads (white
// space, sign, digits); 0 when the cell holds no integer.
std::size_t integer_extent(std::string_view text);
// How many bytes the real conversion of a cell reads (white space, sign,
// decimal or hexadecimal number, inf, nan); 0 when it holds no number.
std::size_t real_extent(std::string_view text);
// A whole table field as a number, read as the C library reads it; nothing
// when the field is not wholly one number. The plain decimal forms the
// calculators print take the short, exactly rounded path; the rest (signs,
// spaces, hexadecimal) the C library's own reading.
std::optional<double> whole_real(std::string_view field);

// The sheet with the text of cell (column, row) replaced, every other byte
// kept; lines and fields are added when the sheet has too few.
std::string with_cell_text(std::string_view sheet, int column, int row, std::string_view text);

// True when the text holds only spaces, tabs and similar blanks.
bool is_blank(std::string_view text);

// Reads a whole file ("-" is the standard input) of at most `limit` bytes.
// Returns an empty string on success, otherwise why it was not read: missing,
// a folder, unreadable, or larger than the limit (a source that never ends,
// such as a device, is stopped there).
std::string read_bounded(const std::string& path, std::size_t limit, std::string& bytes);

// As read_bounded with no practical limit but memory; false on failure.
bool read_file(const std::string& path, std::string& bytes);

// Creates an empty file with a new hidden name beside `path` (".NAME.XXXXXX"),
// with the permissions a new file gets, and returns its name; "" on failure.
// Written and renamed over `path`, it replaces whatever was there (a link
// too) in one step.
std::string temporary_beside(const std::string& path);

// The largest sheet the host reads: every calculator's grid is far smaller
// (1,002 rows of 10 cells of 100 bytes at most), and the host refuses more.
inline constexpr std::size_t sheet_byte_limit = std::size_t{16} << 20;
// The largest result table the host reads back: a million-row stage table
// takes some 45 MB.
inline constexpr std::size_t table_byte_limit = std::size_t{256} << 20;

// "16 MiB", for messages.
std::string byte_size_text(std::size_t bytes);

}  // namespace meridox::host
