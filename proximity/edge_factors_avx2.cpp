// AVX2 version of the edge factors, four grid points at a time. This file is
// compiled with -mavx2 -mfma and holds nothing but the kernel (see
// complex_product_avx2.cpp). Every step is the portable version's operation
// on four lanes: separate multiplies and adds (no fused multiply-add), a true
// division by the table step, truncation for the interval, and the same
// choice of result beyond the table, so that the bits are the same.
#include <immintrin.h>

#include "proximity/edge_factors.hpp"
#include "proximity/fresnel.hpp"

namespace meridox::proximity {
namespace {

struct Pair {
  __m256d c;
  __m256d s;
};

// fresnel_value on both tables at four arguments.
Pair look_up(__m256d u, __m256d step) {
  const __m256d negative = _mm256_cmp_pd(u, _mm256_setzero_pd(), _CMP_LT_OQ);
  const __m256d sign = _mm256_blendv_pd(_mm256_set1_pd(1.0), _mm256_set1_pd(-1.0), negative);
  const __m256d q = _mm256_div_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), u), step);
  // Inside the table (false for NaN): the interval and the fraction; outside,
  // interval 0 is read and its result discarded.
  const __m256d inside = _mm256_cmp_pd(q, _mm256_set1_pd(fresnel_limit_index), _CMP_LT_OQ);
  const __m256d whole =
      _mm256_and_pd(_mm256_round_pd(q, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC), inside);
  const __m256d f = _mm256_sub_pd(q, whole);
  alignas(16) int n[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(n), _mm256_cvttpd_epi32(whole));
  // Rows C, dC, S, dS of the four intervals, transposed to one vector each.
  const __m256d r0 = _mm256_load_pd(fresnel_intervals[n[0]]);
  const __m256d r1 = _mm256_load_pd(fresnel_intervals[n[1]]);
  const __m256d r2 = _mm256_load_pd(fresnel_intervals[n[2]]);
  const __m256d r3 = _mm256_load_pd(fresnel_intervals[n[3]]);
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);  // C0 C1 S0 S1
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);  // dC0 dC1 dS0 dS1
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  const __m256d c0 = _mm256_permute2f128_pd(t0, t2, 0x20);
  const __m256d s0 = _mm256_permute2f128_pd(t0, t2, 0x31);
  const __m256d dc = _mm256_permute2f128_pd(t1, t3, 0x20);
  const __m256d ds = _mm256_permute2f128_pd(t1, t3, 0x31);
  const __m256d c = _mm256_mul_pd(sign, _mm256_add_pd(c0, _mm256_mul_pd(dc, f)));
  const __m256d s = _mm256_mul_pd(sign, _mm256_add_pd(s0, _mm256_mul_pd(ds, f)));
  // Beyond the table: q itself where it is NaN, else sign * 1/2.
  const __m256d nan = _mm256_cmp_pd(q, q, _CMP_UNORD_Q);
  const __m256d beyond = _mm256_blendv_pd(_mm256_mul_pd(sign, _mm256_set1_pd(0.5)), q, nan);
  return {_mm256_blendv_pd(beyond, c, inside), _mm256_blendv_pd(beyond, s, inside)};
}

}  // namespace

void edge_factors_avx2(const EdgeRun& run) {
  const __m256d start = _mm256_set1_pd(run.start);
  const __m256d step = _mm256_set1_pd(run.step);
  const __m256d e1 = _mm256_set1_pd(run.e1);
  const __m256d e2 = _mm256_set1_pd(run.e2);
  const __m256d offset = _mm256_set1_pd(run.offset);
  const __m256d a = _mm256_set1_pd(run.a);
  const __m256d table = _mm256_set1_pd(table_step);
  for (int p = 0; p < run.count; p += 4) {
    const __m256d index = _mm256_add_pd(_mm256_set1_pd(p), _mm256_setr_pd(0.0, 1.0, 2.0, 3.0));
    const __m256d x = _mm256_add_pd(start, _mm256_mul_pd(step, index));
    const __m256d v1 = _mm256_mul_pd(a, _mm256_sub_pd(_mm256_sub_pd(e1, x), offset));
    const __m256d v2 = _mm256_mul_pd(a, _mm256_sub_pd(_mm256_sub_pd(e2, x), offset));
    const Pair first = look_up(v1, table);
    const Pair second = look_up(v2, table);
    const __m256d c = _mm256_sub_pd(second.c, first.c);
    const __m256d s = _mm256_sub_pd(second.s, first.s);
    if (p + 4 <= run.count) {
      _mm256_storeu_pd(run.c + p, c);
      _mm256_storeu_pd(run.s + p, s);
    } else {  // the last one to three points
      alignas(32) double last_c[4], last_s[4];
      _mm256_store_pd(last_c, c);
      _mm256_store_pd(last_s, s);
      for (int k = 0; p + k < run.count; ++k) {
        run.c[p + k] = last_c[k];
        run.s[p + k] = last_s[k];
      }
    }
  }
}

}  // namespace meridox::proximity
