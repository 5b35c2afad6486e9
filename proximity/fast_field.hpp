#pragma once
// Factorised diffraction sum over the source lattice.
//
// A rectangle's contribution at grid point (i, j) for source point (Ox, Oy)
// is t * X(i, Ox) * Y(j, Oy) / (2i), where X and Y are its Fresnel
// differences along x and along y. The offsets take only 11 values per axis,
// so X and Y are looked up once per rectangle, grid line and offset; the
// amplitude of a source point is then one complex matrix product of an
// x-factor matrix and a (transmission-weighted) y-factor matrix. Rectangles
// that share both x edges (or both y edges) share one factor, which shrinks
// the inner dimension of the product. A factor is exactly zero where the grid
// line lies beyond the Fresnel table's reach from both edges on one side; the
// products leave out the terms such zeros make, keeping the sums' bits.

#include "common/cpu_features.hpp"

namespace meridox::proximity {

// Sums the intensities of all source lattice points into `intensity`
// (not averaged); sets source_count. `scale` is the Fresnel scale.
void integrate_source_fast(double scale);

// Makes the sum run the kernels of `level` from now on (benchmarks that time
// each level end to end); false, and no change, where this build or
// processor lacks the level. The widest level the processor runs is the
// default.
bool use_vector_level(VectorLevel level);

// Number of factor groups the product runs over for the current mask
// (distinct x edge pairs or distinct y edge pairs, whichever is fewer).
int factor_group_count();

}  // namespace meridox::proximity
