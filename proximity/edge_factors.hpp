#pragma once
// Fresnel differences of one edge pair along a line of grid points, the
// look-ups that fill the factor matrices of the factorised sum.
//
// For the points x = start + step * p, p = 0 ... count - 1:
//   v1 = a ((e1 - x) - offset),  v2 = a ((e2 - x) - offset),
//   c[p] = C(v2) - C(v1),        s[p] = S(v2) - S(v1),
// with the same arguments, operations and bits as fresnel_c_diff and
// fresnel_s_diff in the direct sum, at every vector level: only the two
// integrals at one argument share one look-up (fresnel_intervals).

#include "common/cpu_features.hpp"

namespace meridox::proximity {

struct EdgeRun {
  double e1;
  double e2;
  double start;
  double step;
  double offset;
  double a;
  int count;
  double* c;
  double* s;
};

// Portable version, any processor.
void edge_factors_portable(const EdgeRun& run);
// AVX2 version (built only with the wide kernels); call only where the
// processor has AVX2.
void edge_factors_avx2(const EdgeRun& run);
// The version a vector level runs (the AVX-512 level runs the AVX2 one),
// nullptr where this build or processor lacks the level.
void (*edge_factors_kernel(VectorLevel level))(const EdgeRun&);

}  // namespace meridox::proximity
