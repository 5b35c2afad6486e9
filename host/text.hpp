#pragma once
// Text helpers of the host: decoding the labels of a sheet or a table for the
// terminal, and finding where the number at the start of a cell ends.
#include <cstddef>
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

// True when the text holds only spaces, tabs and similar blanks.
bool is_blank(std::string_view text);

// Reads a whole file ("-" is the standard input); returns false when it is
// missing, a folder, or cannot be read.
bool read_file(const std::string& path, std::string& bytes);

}  // namespace meridox::host
