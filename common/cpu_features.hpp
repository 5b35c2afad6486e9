#pragma once
// The vector instructions this processor runs, checked once, and the one rule
// by which the calculators choose among the versions of a kernel.
//
// Wider versions live in files built with wider instructions (the CMake rule
// meridox_wide_sources); the rest of a library stays baseline x86-64. A build
// without those files (another compiler or processor) defines no
// MERIDOX_WIDE_KERNELS and passes nullptr for the versions it lacks.
//
// Windows: the wide files are built the same way for the DLLs, with every
// aligned vector move assembled as an unaligned one. GCC for Windows does not
// align the stack to 32 or 64 bytes for vectors it spills there; an aligned
// move to such a slot would fault, an unaligned move to it does not.
namespace meridox {

enum class VectorLevel {
  baseline = 0,  // SSE2: every x86-64 processor
  avx2 = 1,      // AVX2 and FMA
  avx512 = 2,    // AVX2, FMA and AVX-512 F, DQ and VL
};

// The widest level this processor and its operating system support.
VectorLevel processor_vector_level();

const char* vector_level_name(VectorLevel level);

// The widest version the processor runs among those given (nullptr: not in
// this build), falling back to the baseline version.
template <typename Kernel>
Kernel choose_kernel(Kernel baseline, Kernel avx2, Kernel avx512) {
  const VectorLevel level = processor_vector_level();
  if (level >= VectorLevel::avx512 && avx512 != nullptr) return avx512;
  if (level >= VectorLevel::avx2 && avx2 != nullptr) return avx2;
  return baseline;
}

// The version of a given level, nullptr when this build or processor lacks it;
// for tests and benchmarks that run every version.
template <typename Kernel>
Kernel kernel_of_level(VectorLevel level, Kernel baseline, Kernel avx2, Kernel avx512) {
  if (level > processor_vector_level()) return nullptr;
  switch (level) {
    case VectorLevel::avx512: return avx512;
    case VectorLevel::avx2: return avx2;
    case VectorLevel::baseline: break;
  }
  return baseline;
}

}  // namespace meridox
