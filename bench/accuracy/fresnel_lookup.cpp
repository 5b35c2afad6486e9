// Prints the proximity calculator's tabulated Fresnel integrals: for every
// argument u read from standard input (one a line), "u C(u) S(u)" with 17
// significant digits, as the calculator's look-ups give them after its
// tabulation. accuracy.py compares them with exact Fresnel integrals.
#include <cstdio>

#include "proximity/fresnel.hpp"

int main() {
  using namespace meridox::proximity;
  tabulate_fresnel();
  double u = 0.0;
  while (std::scanf("%lf", &u) == 1) {
    std::printf("%.17g %.17g %.17g\n", u, fresnel_value(fresnel_c, u), fresnel_value(fresnel_s, u));
  }
  return 0;
}
