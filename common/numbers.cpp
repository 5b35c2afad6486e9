#include "common/numbers.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <optional>

namespace meridox {
namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

std::string_view skip_space(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  return text.substr(i);
}

// When from_chars reports a value out of range it leaves the result unset;
// strtod gives an infinity on overflow and a zero on underflow. Which one it
// is follows from the position of the leading significant digit and the
// exponent: a number of magnitude at least 1 that is out of range overflows.
bool out_of_range_is_overflow(std::string_view digits, bool hex) {
  const char exponent_mark = hex ? 'p' : 'e';
  long long magnitude = 0;  // exponent of the leading significant digit
  bool seen_point = false;
  bool seen_significant = false;
  std::size_t i = 0;
  for (; i < digits.size(); ++i) {
    const char c = digits[i];
    if (c == '.') {
      seen_point = true;
      continue;
    }
    if (!(hex ? is_hex_digit(c) : is_digit(c))) break;
    if (c != '0' && !seen_significant) seen_significant = true;
    if (!seen_point && seen_significant) ++magnitude;
    if (seen_point && !seen_significant) --magnitude;
  }
  if (hex) magnitude *= 4;
  if (i < digits.size() && lower(digits[i]) == exponent_mark) {
    ++i;
    bool negative = false;
    if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
    long long exponent = 0;
    for (; i < digits.size() && is_digit(digits[i]); ++i) {
      if (exponent < 1000000000LL) exponent = exponent * 10 + (digits[i] - '0');
    }
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude > 0;
}

// The magnitude of the number at the start of text, or nullopt when no number
// starts there.
std::optional<double> parse_unsigned(std::string_view text) {
  // The one sign was taken by the caller; from_chars would take a second '-'.
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  if (starts_with_nocase(text, "inf")) return std::numeric_limits<double>::infinity();
  if (starts_with_nocase(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
  bool hex = false;
  std::string_view digits = text;
  if (text.size() > 2 && text[0] == '0' && lower(text[1]) == 'x' &&
      (is_hex_digit(text[2]) || (text[2] == '.' && text.size() > 3 && is_hex_digit(text[3])))) {
    hex = true;
    digits = text.substr(2);
  }
  double value = 0.0;
  const auto format = hex ? std::chars_format::hex : std::chars_format::general;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value, format);
  if (result.ec == std::errc::result_out_of_range) {
    return out_of_range_is_overflow(digits, hex) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace

int c_atoi(std::string_view text) {
  text = skip_space(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // Accumulate the magnitude, saturating just past the int range.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long magnitude = 0;
  for (char c : text) {
    if (!is_digit(c)) break;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) {
      magnitude = limit;
    }
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

double c_atof(std::string_view text) {
  text = skip_space(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // A sign with no number after it converts to +0, as strtod does.
  const std::optional<double> magnitude = parse_unsigned(text);
  if (!magnitude) return 0.0;
  return negative ? -*magnitude : *magnitude;
}

std::size_t format_fixed(char* out, double v) {
  if (std::isnan(v)) {
    out[0] = 'n';
    out[1] = 'a';
    out[2] = 'n';
    return 3;
  }
  const auto result = std::to_chars(out, out + max_fixed_chars, v, std::chars_format::fixed, 6);
  return static_cast<std::size_t>(result.ptr - out);
}

std::size_t format_exponent(char* out, double v) {
  if (std::isnan(v)) return format_fixed(out, v);
  const auto result = std::to_chars(out, out + 32, v, std::chars_format::scientific, 6);
  return static_cast<std::size_t>(result.ptr - out);
}

}  // namespace meridox
