#pragma once
// Reading result tables as text, for comparing the tables of two platforms:
// which differences are a last printed digit apart and which are not.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace meridox::windows_check {

// The two ways a table prints a number: "%f" and, for a record too long for
// the line buffer, "%.6e".
enum class NumberForm { none, fixed, exponent };
NumberForm number_form(std::string_view text);

// True when a and b are numbers printed in the same form that are at most
// one unit of their last printed digit apart (a rounding step of the sixth
// decimal, a carry into a new digit, or a zero printed with and without
// its minus sign). Equal texts are not "one digit apart".
bool last_digit_apart(std::string_view a, std::string_view b);

enum class DiffKind { identical, last_digit, other };

struct TableDiff {
  DiffKind kind = DiffKind::identical;
  int differing_fields = 0;
  // One line per difference (the first few), then a count of the rest.
  std::vector<std::string> report;
};

// Compares two tables as bytes, and where they differ, line by line (CR LF)
// and field by field (TAB).
TableDiff compare_table_bytes(std::string_view expected, std::string_view actual);

// The lines of a table that start with a number, split into fields; the
// header and empty lines are left out.
std::vector<std::vector<std::string>> data_rows(std::string_view bytes);

// Distance of two doubles, given by their bit patterns, in units in the
// last place (adjacent doubles are 1 apart; +0 and -0 are 0 apart).
std::uint64_t ulp_distance(std::uint64_t a_bits, std::uint64_t b_bits);

// The double with the given bit pattern.
double double_of(std::uint64_t bits);

}  // namespace meridox::windows_check
