#include "common/numbers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <iterator>
#include <random>
#include <string>

#include "support/harness.hpp"

namespace meridox {
namespace {

std::string fixed(double v) {
  char text[max_fixed_chars];
  return std::string(text, format_fixed(text, v));
}

std::string exponent(double v) {
  char text[32];
  return std::string(text, format_exponent(text, v));
}

TEST(CAtoi, ReadsLikeTheCLibrary) {
  for (const char* text : {"12", "  12", "\t-7", "+3", "12.5", "0x1A", "12abc", "abc", "", "-",
                           "2147483647", "-2147483648", " \n\v\f\r42", "007"}) {
    EXPECT_EQ(c_atoi(text), std::atoi(text)) << '"' << text << '"';
  }
}

TEST(CAtoi, SaturatesBeyondTheIntRange) {
  EXPECT_EQ(c_atoi("2147483648"), std::numeric_limits<int>::max());
  EXPECT_EQ(c_atoi("99999999999999999999999999"), std::numeric_limits<int>::max());
  EXPECT_EQ(c_atoi("-2147483649"), std::numeric_limits<int>::min());
  EXPECT_EQ(c_atoi("-99999999999999999999999999"), std::numeric_limits<int>::min());
}

TEST(CAtof, ReadsLikeTheCLibrary) {
  for (const char* text :
       {"12.5", "0.25mm", "  -3e2x", "+.5", "1.", ".", "-", "abc", "", "1e", "1e+", "2E-3",
        "0x1.8p1", "0x", "0xg", "-0x10", "1e308", "1e309", "-1e999", "1e-400", "4e-320",
        "123456789012345678901234567890", "0.1000000000000000055511151231257827",
        "  \t7.25\t", "1,5", "00012.000", "-0"}) {
    const double expected = std::strtod(text, nullptr);
    const double got = c_atof(text);
    EXPECT_EQ(std::signbit(got), std::signbit(expected)) << '"' << text << '"';
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got)) << text;
    } else {
      EXPECT_EQ(got, expected) << '"' << text << '"';
    }
  }
  for (const char* text : {"inf", "-INF", "Infinity", "nan", "NaN(123)", "-nan"}) {
    const double expected = std::strtod(text, nullptr);
    const double got = c_atof(text);
    EXPECT_EQ(std::isinf(got), std::isinf(expected)) << text;
    EXPECT_EQ(std::isnan(got), std::isnan(expected)) << text;
    if (std::isinf(expected)) {
      EXPECT_EQ(got, expected) << text;
    }
  }
}

// atoi as documented: strtol's value, saturated at the ends of the int range.
int saturated_atoi(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

TEST(CAtofAndCAtoi, RandomTextsMatchTheCLibrary) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> power(-320, 310);
  char text[64];
  for (int n = 0; n < 20000; ++n) {
    std::snprintf(text, sizeof text, "%.*ge%d", 1 + n % 19, mantissa(rng), power(rng));
    EXPECT_EQ(c_atof(text), std::strtod(text, nullptr)) << text;
  }
  // Texts from pieces that meet at every boundary of the grammar: doubled and
  // mixed signs, signs before inf, nan and hex, white space between a sign and
  // its digits, lone points, exponents with and without digits.
  const char* const pieces[] = {"+", "-", "+", "-", " ", "\t", ".", "0", "1", "7", "9", "00",
                                "e", "E", "e-", "p", "x", "0x", "0X", "a", "F", "inf", "INF",
                                "infinity", "nan", "nan(1)", "99999999999", "e999", "e-999"};
  std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 6);
  for (int n = 0; n < 200000; ++n) {
    std::string random_text;
    for (int k = length(rng); k > 0; --k) random_text += pieces[piece(rng)];
    const char* t = random_text.c_str();
    const double expected = std::strtod(t, nullptr);
    const double got = c_atof(t);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(got)) << '"' << t << '"';
    } else {
      ASSERT_EQ(got, expected) << '"' << t << '"';
      ASSERT_EQ(std::signbit(got), std::signbit(expected)) << '"' << t << '"';
    }
    ASSERT_EQ(c_atoi(t), saturated_atoi(t)) << '"' << t << '"';
  }
  // The faults this comparison was widened for.
  for (const char* t : {"--5", "+-5", "-+5", "--inf", "+-nan", "--0x10", "- 5", "-.", "--0.002"}) {
    EXPECT_EQ(c_atof(t), 0.0) << t;
    EXPECT_EQ(c_atoi(t), 0) << t;
  }
}

TEST(CAtof, IgnoresTheHostLocale) {
  const char* german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (german == nullptr) german = std::setlocale(LC_NUMERIC, "de_DE");
  EXPECT_EQ(c_atof("12.5"), 12.5);
  EXPECT_EQ(c_atof("12,5"), 12.0);
  std::setlocale(LC_NUMERIC, "C");
}

TEST(FormatFixed, MatchesPrintfF) {
  for (double v : {0.0, -0.0, 1.0, -1.0, 0.5, 1e-7, -1e-7, 0.0000005, 0.0000015, 2.5e-6,
                   123456.789, 1e15, 1e22, 1.7976931348623157e308, -1.7976931348623157e308,
                   4.9e-324, 3.14159265358979, -2.0, 1.0 / 3.0}) {
    EXPECT_EQ(fixed(v), testing::printf_fixed(v)) << v;
  }
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<std::uint64_t> bits;
  for (int n = 0; n < 20000; ++n) {
    double v;
    const std::uint64_t b = bits(rng);
    std::memcpy(&v, &b, sizeof v);
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(fixed(v), testing::printf_fixed(v)) << v;
  }
}

TEST(FormatFixed, NonFiniteValuesPrintTheSameOnEveryPlatform) {
  EXPECT_EQ(fixed(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(fixed(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(fixed(-std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(exponent(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

TEST(FormatExponent, MatchesPrintfE) {
  char expected[64];
  for (double v : {0.0, -0.0, 1e300, -1.5e-300, 123.456, 4.9e-324, 1.7976931348623157e308}) {
    std::snprintf(expected, sizeof expected, "%.6e", v);
    EXPECT_EQ(exponent(v), expected) << v;
  }
}

}  // namespace
}  // namespace meridox
