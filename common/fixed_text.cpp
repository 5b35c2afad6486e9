#include "common/fixed_text.hpp"

#include <cstdint>
#include <cstring>

#include "common/numbers.hpp"

namespace meridox {
namespace {

constexpr std::uint64_t million = 1000000;
// Below this magnitude v * 10^6 < 2^63.
constexpr int largest_fast_exponent = 43;

// Two-digit texts of 0 to 99.
struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs digit_pairs;

// |v| * 10^6 rounded to the nearest integer, ties to even, where
// |v| = mantissa * 2^-shift exactly (mantissa < 2^53; shift > 0 for every
// value of the fast range).
std::uint64_t scaled_round(std::uint64_t mantissa, int shift) {
  const unsigned __int128 product = static_cast<unsigned __int128>(mantissa) * million;  // < 2^73
  if (shift > 73) return 0;  // product < 2^73 <= half a unit: rounds to 0
  const std::uint64_t whole = static_cast<std::uint64_t>(product >> shift);
  const unsigned __int128 rest = product - (static_cast<unsigned __int128>(whole) << shift);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (whole & 1) != 0)) return whole + 1;
  return whole;
}

}  // namespace

std::size_t fixed_text(char* out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased >= 1023 + largest_fast_exponent) return format_fixed(out, v);  // large, inf, nan
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int shift = 1074;  // subnormals and zero
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    shift = 1075 - biased;
  }
  const std::uint64_t scaled = scaled_round(mantissa, shift);
  std::uint64_t whole = scaled / million;
  std::uint32_t fraction = static_cast<std::uint32_t>(scaled % million);

  char* at = out;
  if ((bits >> 63) != 0) *at++ = '-';  // printf keeps the sign of -0 and of values rounding to 0

  // The digits of the whole part (at most 13), written from the last.
  int digits = 1;
  for (std::uint64_t power = 10; whole >= power; power *= 10) ++digits;
  char* digit = at + digits;
  while (whole >= 100) {
    digit -= 2;
    std::memcpy(digit, digit_pairs.text + 2 * (whole % 100), 2);
    whole /= 100;
  }
  if (whole >= 10) {
    std::memcpy(digit - 2, digit_pairs.text + 2 * whole, 2);
  } else {
    digit[-1] = static_cast<char>('0' + whole);
  }
  at += digits;
  *at++ = '.';
  for (int pair = 2; pair >= 0; --pair) {
    std::memcpy(at + 2 * pair, digit_pairs.text + 2 * (fraction % 100), 2);
    fraction /= 100;
  }
  at += 6;
  return static_cast<std::size_t>(at - out);
}

}  // namespace meridox
