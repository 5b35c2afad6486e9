#pragma once
// Number conversions of the parameter sheet and the result tables.
//
// The sheet's cells are converted as the C library's atoi and atof do in the
// "C" locale, whatever locale the host process has set, and the tables print
// numbers exactly as "%f" does, on every platform: the Windows C runtime
// prints infinities and long numbers differently, so nothing here goes
// through the platform's printf or strtod.
#include <cstddef>
#include <string_view>

namespace meridox {

// atoi: leading white space, an optional sign, decimal digits; stops at the
// first other character. A value beyond the int range saturates at its end.
int c_atoi(std::string_view text);

// atof: leading white space, an optional sign, then a decimal or hexadecimal
// number, "inf", "infinity" or "nan" (case-insensitive); stops at the first
// character that cannot continue the number; no number gives 0. Overflow
// gives an infinity, underflow a zero, as strtod does.
double c_atof(std::string_view text);

// Longest text format_fixed can produce ("-" + 309 digits + "." + 6 digits).
inline constexpr std::size_t max_fixed_chars = 317;

// Writes the "%f" text of v (six decimals, no exponent) to out, which must
// hold max_fixed_chars bytes; returns its length. Infinities print as "inf"
// and "-inf", NaN as "nan" without a sign.
std::size_t format_fixed(char* out, double v);

// Writes the "%.6e" text of v to out (at least 32 bytes); returns its length.
std::size_t format_exponent(char* out, double v);

}  // namespace meridox
