#include "proximity/edge_factors.hpp"

#include <cmath>

#include "proximity/fresnel.hpp"

namespace meridox::proximity {
namespace {

struct Pair {
  double c;
  double s;
};

// fresnel_value on both tables at once.
Pair look_up(double u) {
  const double sign = u < 0.0 ? -1.0 : 1.0;
  const double q = std::fabs(u) / table_step;
  if (!(q < fresnel_limit_index)) {
    if (std::isnan(q)) return {q, q};
    return {sign * 0.5, sign * 0.5};
  }
  // 0 <= q < 1000: the cast truncates, and q - n is exact, as modf's part.
  const int n = static_cast<int>(q);
  const double f = q - n;
  const double* row = fresnel_intervals[n];
  return {sign * (row[0] + row[1] * f), sign * (row[2] + row[3] * f)};
}

}  // namespace

void edge_factors_portable(const EdgeRun& run) {
  for (int p = 0; p < run.count; ++p) {
    const double x = run.start + run.step * p;
    const double v1 = run.a * ((run.e1 - x) - run.offset);
    const double v2 = run.a * ((run.e2 - x) - run.offset);
    const Pair first = look_up(v1);
    const Pair second = look_up(v2);
    run.c[p] = second.c - first.c;
    run.s[p] = second.s - first.s;
  }
}

using Kernel = void (*)(const EdgeRun&);

#if MERIDOX_WIDE_KERNELS
constexpr Kernel avx2_kernel = edge_factors_avx2;
#else
constexpr Kernel avx2_kernel = nullptr;
#endif

Kernel edge_factors_kernel(VectorLevel level) {
  return kernel_of_level<Kernel>(level, edge_factors_portable, avx2_kernel, avx2_kernel);
}

}  // namespace meridox::proximity
