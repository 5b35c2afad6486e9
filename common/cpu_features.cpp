#include "common/cpu_features.hpp"

namespace meridox {
namespace {

VectorLevel detect() {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
  // The runtime's check reads the processor's feature bits and whether the
  // operating system saves the wider registers (XGETBV).
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
    return VectorLevel::baseline;
  }
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl")) {
    return VectorLevel::avx512;
  }
  return VectorLevel::avx2;
#else
  return VectorLevel::baseline;
#endif
}

}  // namespace

VectorLevel processor_vector_level() {
  static const VectorLevel level = detect();
  return level;
}

const char* vector_level_name(VectorLevel level) {
  switch (level) {
    case VectorLevel::avx512: return "AVX-512";
    case VectorLevel::avx2: return "AVX2 and FMA";
    case VectorLevel::baseline: break;
  }
  return "baseline x86-64";
}

}  // namespace meridox
