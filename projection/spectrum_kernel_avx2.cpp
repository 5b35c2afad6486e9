// The spectrum accumulation built with AVX2 and FMA (meridox_wide_sources);
// no multiply-add is fused (-ffp-contract=off), so the sums are the
// baseline's to the bit.
#include "projection/spectrum_kernel.hpp"

namespace meridox::projection {
namespace {
#include "projection/spectrum_kernel_body.hpp"
}  // namespace

const SpectrumKernels spectrum_kernels_avx2 = {axis_row, add_all};

}  // namespace meridox::projection
