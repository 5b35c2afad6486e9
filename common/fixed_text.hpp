#pragma once
// A faster exact "%f" (six decimals, no exponent) for the result tables.
#include <cstddef>

namespace meridox {

// Writes the same text as format_fixed (common/numbers.hpp) to out, which
// must hold max_fixed_chars bytes, and returns its length. Values of
// magnitude below 2^43 are formatted with integer arithmetic on their binary
// value: v * 10^6 is formed exactly as a 128-bit integer times a power of two
// and rounded to the nearest integer, ties to even, as printf rounds; larger
// and non-finite values go through format_fixed.
std::size_t fixed_text(char* out, double v);

}  // namespace meridox
