#include "proximity/fresnel.hpp"

#include <cmath>

namespace meridox::proximity {

double table_step = 0.0;
double fresnel_c[fresnel_entries];
double fresnel_s[fresnel_entries];
alignas(32) double fresnel_intervals[fresnel_limit_index][4];

namespace {
// The value of pi used throughout this calculator (fifteen significant digits).
constexpr double pi_literal = 3.14159265358979;
}  // namespace

void tabulate_fresnel() {
  table_step = 0.02;
  const double h = table_step / 2.0;
  fresnel_c[0] = 0.0;
  fresnel_s[0] = 0.0;
  double c_sum = 0.0;
  double s_sum = 0.0;
  for (int i = 0; i <= 1000; ++i) {
    const double t0 = (2 * i) * h;
    const double t1 = t0 + h;
    const double t2 = t1 + h;
    const double p0 = pi_literal * t0 * t0 / 2.0;
    const double p1 = pi_literal * t1 * t1 / 2.0;
    const double p2 = pi_literal * t2 * t2 / 2.0;
    // Simpson's rule on the panel [t0, t2], summed cumulatively.
    c_sum = c_sum + ((4.0 * std::cos(p1) + std::cos(p0)) + std::cos(p2)) * h / 3.0;
    s_sum = s_sum + ((4.0 * std::sin(p1) + std::sin(p0)) + std::sin(p2)) * h / 3.0;
    fresnel_c[i + 1] = c_sum;
    fresnel_s[i + 1] = s_sum;
  }
  for (int n = 0; n < fresnel_limit_index; ++n) {
    fresnel_intervals[n][0] = fresnel_c[n];
    fresnel_intervals[n][1] = fresnel_c[n + 1] - fresnel_c[n];
    fresnel_intervals[n][2] = fresnel_s[n];
    fresnel_intervals[n][3] = fresnel_s[n + 1] - fresnel_s[n];
  }
}

double fresnel_value(const double* table, double u) {
  const double sign = u < 0.0 ? -1.0 : 1.0;
  const double q = std::fabs(u) / table_step;
  // Only a quotient below the limit may become an index: this also keeps
  // infinities and values beyond the int range away from the cast.
  if (!(q < fresnel_limit_index)) {
    if (std::isnan(q)) return q;
    return sign * 0.5;
  }
  double X;
  const double f = std::modf(q, &X);
  const int n = static_cast<int>(X);
  return sign * (table[n] + (table[n + 1] - table[n]) * f);
}

double fresnel_c_diff(const double& v1, const double& v2) {
  const double first = fresnel_value(fresnel_c, v1);
  return fresnel_value(fresnel_c, v2) - first;
}

double fresnel_s_diff(const double& v1, const double& v2) {
  const double first = fresnel_value(fresnel_s, v1);
  return fresnel_value(fresnel_s, v2) - first;
}

}  // namespace meridox::proximity
