// The fast "%f" of the result tables against the C library's printf: random
// doubles, exact ties, the neighbours of every kind of rounding boundary, and
// the largest magnitudes on both sides of the fast range's limit.
#include "common/fixed_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/numbers.hpp"
#include "support/harness.hpp"

namespace meridox {
namespace {

std::string fast(double v) {
  char out[max_fixed_chars];
  return std::string(out, fixed_text(out, v));
}

// The value, its negation and both neighbours of each.
void expect_like_printf_around(double v) {
  for (const double s : {v, -v}) {
    for (const double x : {s, std::nextafter(s, -INFINITY), std::nextafter(s, INFINITY)}) {
      ASSERT_EQ(fast(x), testing::printf_fixed(x)) << x;
    }
  }
}

TEST(FixedText, RandomDoublesPrintAsPrintfDoes) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int n = 0; n < 20000; ++n) {
    double v;
    const std::uint64_t b = bits(rng);
    std::memcpy(&v, &b, sizeof v);
    if (std::isfinite(v)) {
      ASSERT_EQ(fast(v), testing::printf_fixed(v)) << v;
    }
    // And as many with magnitudes from 1e-9 to 1e14, where tables' values lie
    // and the integer path ends.
    const double w = (n % 2 ? -1 : 1) * std::pow(10.0, -9 + 23 * unit(rng));
    ASSERT_EQ(fast(w), testing::printf_fixed(w)) << w;
  }
  for (const double v : {0.0, -0.0, 4.9e-324, -4.9e-324, 1e-7, -1e-9, 0.5, 1.0, 3.14159265358979}) {
    EXPECT_EQ(fast(v), testing::printf_fixed(v)) << v;
  }
}

TEST(FixedText, TiesAndRoundingBoundaries) {
  // Exact ties: v * 10^6 ends in .5 exactly when v is an odd multiple of
  // 2^-7; printf rounds them to even.
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<std::int64_t> odd(0, (std::int64_t{1} << 35) - 1);
  std::vector<double> ties;
  for (std::int64_t k = 1; k < 4000; k += 2) ties.push_back(static_cast<double>(k) / 128);
  for (int n = 0; n < 4000; ++n) ties.push_back(static_cast<double>(2 * odd(rng) + 1) / 128);
  for (const double v : ties) {
    const double scaled = v * 1e6;
    ASSERT_EQ(scaled - std::floor(scaled), 0.5) << v;  // really a tie
    expect_like_printf_around(v);
  }
  // The doubles nearest to (k + 1/2) 10^-6, just below and above them, and
  // the carries of 0.9999995, 9.9999995, 99999.9999995 and so on.
  for (int k = 0; k < 3000; ++k) expect_like_printf_around((k + 0.5) / 1e6);
  for (int n = 0; n < 3000; ++n) {
    expect_like_printf_around((static_cast<double>(odd(rng) % 1000000000000) + 0.5) / 1e6);
  }
  for (double whole = 1; whole < 1e13; whole *= 10) expect_like_printf_around(whole - 0.5e-6);
}

TEST(FixedText, LargestMagnitudesOnBothSidesOfTheIntegerPath) {
  const double limit = std::ldexp(1.0, 43);
  for (const double v : {limit, limit / 2, 8.796093022207e12, 9.999999999999e12, 1e13, 1e15,
                         1e22, 1e300, std::numeric_limits<double>::max(),
                         std::numeric_limits<double>::min(),
                         std::numeric_limits<double>::denorm_min()}) {
    expect_like_printf_around(v);
  }
  EXPECT_EQ(fast(INFINITY), "inf");
  EXPECT_EQ(fast(-INFINITY), "-inf");
  EXPECT_EQ(fast(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

}  // namespace
}  // namespace meridox
