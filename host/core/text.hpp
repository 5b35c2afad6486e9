#pragma once
// Text helpers of the host: decoding the labels of a sheet or a table for the
// terminal, and finding where the number at the start of a cell ends.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace meridox::host {

// A label for display as UTF-8: ASCII and valid UTF-8 pass unchanged,
// Shift-JIS (code page 932) text, as a Windows spreadsheet writes it, is
// decoded, anything else shows its non-ASCII bytes as \xNN.
std::string display_text(std::string_view bytes);

// A whole text, such as a sheet, for display as UTF-8: its TABs and line
// ends kept, each field between them decoded as display_text decodes a
// label.
std::string display_document(std::string_view bytes);

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
// The plain decimal "[-]digits[.digits]" (at most 19 digits, 15 of them
// significant, 22 after the point) at the start of `text`, read exactly as
// whole_real reads it, and in `used` how many characters it took; nothing
// when `text` starts with no such number (whole_real then reads it the long
// way). For readers of long tables, which find each field's end as they
// read it.
std::optional<double> plain_decimal_prefix(std::string_view text, std::size_t& used);

// A number as the host writes it for a reader to read back: the shortest
// text that reads back as the same double; nan, inf and -inf for the others.
std::string number_text(double value);

// A number rounded to `digits` significant digits for a person to read
// ("%.6g" style: 0.000123457, 1.5e+07).
std::string rounded_text(double value, int digits = 6);

// The sheet with the text of cell (column, row) replaced, every other byte
// kept; lines and fields are added when the sheet has too few.
std::string with_cell_text(std::string_view sheet, int column, int row, std::string_view text);

// True when the text holds only spaces, tabs and similar blanks.
bool is_blank(std::string_view text);

// Defined here so that a table reader's loop takes it in without a call
// (and without passing the optional through memory).
inline std::optional<double> plain_decimal_prefix(std::string_view text, std::size_t& used) {
  static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  std::uint64_t digits = 0;
  // A run of digits appended to `digits`; how many.
  auto run = [&] {
    const char* from = p;
    for (; p != end && static_cast<unsigned char>(*p - '0') < 10; ++p) {
      digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    return p - from;
  };
  const std::ptrdiff_t whole = run();
  std::ptrdiff_t fraction = 0;
  if (p != end && *p == '.') {
    ++p;
    fraction = run();
  }
  // At most 19 digits cannot overflow the integer; below 10^15 it has at
  // most 15 significant ones. Anything else is left to the full reading.
  if (whole + fraction == 0 || whole + fraction > 19 || fraction > 22 || digits >= 1'000'000'000'000'000u) {
    return std::nullopt;
  }
  used = static_cast<std::size_t>(p - text.data());
  const double value = static_cast<double>(digits) / powers[fraction];
  return negative ? -value : value;
}

}  // namespace meridox::host
