#include "proximity/fast_field.hpp"

#include <cmath>

#include "proximity/complex_product.hpp"
#include "proximity/edge_factors.hpp"
#include "proximity/model.hpp"

namespace meridox::proximity {

namespace {

// Grid lines padded to whole product blocks (and row pairs) with zeros.
constexpr int padded = 144;
constexpr int col_blocks_max = padded / product_block;
static_assert(padded >= max_points && padded % product_block == 0);
static_assert(padded <= product_rows_max && max_rects <= product_depth_max);

// Factor groups: rectangles with identical edges along the grouped axis.
struct Groups {
  bool by_x = true;
  int count = 0;
  int of[max_rects];         // group of each rectangle
  int representative[max_rects];  // first rectangle of each group
  // The rectangles of group g in ascending order: members[first[g]] up to
  // members[first[g + 1]].
  int first[max_rects + 1];
  int members[max_rects];
};

Groups groups;

// x side of the product, for the current x offset: [i][g].
double left_re[padded * max_rects];
double left_im[padded * max_rects];
double left_sum[padded * max_rects];  // left_re + left_im
// y side of the product, for each y offset: panels of 8 rows j.
double right_re[source_offsets][col_blocks_max * max_rects * product_block];
double right_im[source_offsets][col_blocks_max * max_rects * product_block];
double right_sum[source_offsets][col_blocks_max * max_rects * product_block];
// Where each group's factors are nonzero: rows i of the x side, columns j of
// each y side; and whether every value of a side (sums included) is finite,
// which the kernels need before they leave out zero terms.
GroupSpan left_span[max_rects];
GroupSpan right_span[source_offsets][max_rects];
bool left_finite = true;
bool right_finite[source_offsets];
// Product for one source point: [i][j].
double product_re[padded * padded];
double product_im[padded * padded];

int count_groups(const double* e1, const double* e2, int* of, int* representative) {
  int count = 0;
  for (int k = 0; k < rect_count; ++k) {
    int g = 0;
    while (g < count && !(e1[representative[g]] == e1[k] && e2[representative[g]] == e2[k])) ++g;
    if (g == count) representative[count++] = k;
    of[k] = g;
  }
  return count;
}

void form_groups() {
  static int of_y[max_rects];
  static int rep_y[max_rects];
  const int gx = count_groups(rect_x1, rect_x2, groups.of, groups.representative);
  const int gy = count_groups(rect_y1, rect_y2, of_y, rep_y);
  groups.by_x = gx <= gy;
  groups.count = gx;
  if (!groups.by_x) {
    groups.count = gy;
    for (int k = 0; k < rect_count; ++k) groups.of[k] = of_y[k];
    for (int g = 0; g < gy; ++g) groups.representative[g] = rep_y[g];
  }
  for (int g = 0; g <= groups.count; ++g) groups.first[g] = 0;
  for (int k = 0; k < rect_count; ++k) ++groups.first[groups.of[k] + 1];
  for (int g = 0; g < groups.count; ++g) groups.first[g + 1] += groups.first[g];
  int placed[max_rects];
  for (int g = 0; g < groups.count; ++g) placed[g] = groups.first[g];
  for (int k = 0; k < rect_count; ++k) groups.members[placed[groups.of[k]]++] = k;
}

// The kernels the sum runs: the widest this processor runs unless
// use_vector_level chose others.
struct Kernels {
  void (*product)(const ComplexProduct&);
  void (*factors)(const EdgeRun&);
};

Kernels& kernels() {
  static Kernels chosen{complex_product_kernel(processor_vector_level()),
                        edge_factors_kernel(processor_vector_level())};
  return chosen;
}

// Forms the factors of one axis for one offset, group by group, and hands
// each group's column (zero beyond `points`, up to `padded`) to
// store(g, re, im). `grouped` tells whether the groups were formed along
// this axis: then each group's factor is its shared edge factor, otherwise
// the sum over its rectangles, in ascending order and starting from zero, of
// the transmission times the rectangle's factor.
template <class Store>
void fill_axis(const double* e1, const double* e2, double start, double step, int points,
               double offset, double a, bool grouped, Store store) {
  double c[padded], s[padded], re[padded], im[padded];
  EdgeRun run{0.0, 0.0, start, step, offset, a, points, c, s};
  const auto factors = kernels().factors;
  for (int g = 0; g < groups.count; ++g) {
    for (int p = 0; p < padded; ++p) re[p] = im[p] = 0.0;
    if (grouped) {
      const int k = groups.representative[g];
      run.e1 = e1[k];
      run.e2 = e2[k];
      factors(run);
      for (int p = 0; p < points; ++p) {
        re[p] = c[p];
        im[p] = s[p];
      }
    } else {
      for (int m = groups.first[g]; m < groups.first[g + 1]; ++m) {
        const int k = groups.members[m];
        const double t_re = rect_t_re[k];
        const double t_im = rect_t_im[k];
        run.e1 = e1[k];
        run.e2 = e2[k];
        factors(run);
        for (int p = 0; p < points; ++p) {
          re[p] += t_re * c[p] - t_im * s[p];
          im[p] += t_re * s[p] + t_im * c[p];
        }
      }
    }
    store(g, re, im);
  }
}

// The nonzero span of one group's column re + i im (padded entries), and
// false in `finite` where a value or a sum re + im is not finite.
GroupSpan nonzero_span(const double* re, const double* im, bool& finite) {
  GroupSpan span{0, 0};
  bool any = false;
  for (int p = 0; p < padded; ++p) {
    if (!std::isfinite(re[p]) || !std::isfinite(im[p]) || !std::isfinite(re[p] + im[p]))
      finite = false;
    if (re[p] != 0.0 || im[p] != 0.0) {
      if (!any) span.first = p;
      span.end = p + 1;
      any = true;
    }
  }
  return span;
}

// The transmissions go with whichever side was not grouped; when the x side
// is grouped they are carried by the y side, and the other way round.
void fill_left(double offset, double a, int columns) {
  const int depth = groups.count;
  left_finite = true;
  fill_axis(rect_x1, rect_x2, x_start, x_spacing(), columns, offset, a, groups.by_x,
            [depth](int g, const double* re, const double* im) {
              left_span[g] = nonzero_span(re, im, left_finite);
              for (int i = 0; i < padded; ++i) {
                left_re[i * depth + g] = re[i];
                left_im[i * depth + g] = im[i];
                left_sum[i * depth + g] = re[i] + im[i];
              }
            });
}

void fill_right(int slot, double offset, double a, int rows) {
  const int depth = groups.count;
  right_finite[slot] = true;
  fill_axis(rect_y1, rect_y2, y_start, y_spacing(), rows, offset, a, !groups.by_x,
            [depth, slot](int g, const double* re, const double* im) {
              right_span[slot][g] = nonzero_span(re, im, right_finite[slot]);
              for (int b = 0; b < col_blocks_max; ++b) {
                const int at = (b * depth + g) * product_block;
                for (int c = 0; c < product_block; ++c) {
                  right_re[slot][at + c] = re[b * product_block + c];
                  right_im[slot][at + c] = im[b * product_block + c];
                  right_sum[slot][at + c] = re[b * product_block + c] + im[b * product_block + c];
                }
              }
            });
}

// The product is sum of t X Y; the amplitude is that divided by 2i, whose
// real part is Im/2 and imaginary part -Re/2.
void add_product_intensity(int columns, int rows) {
  for (int i = 0; i < columns; ++i) {
    const double* p_re = product_re + i * padded;
    const double* p_im = product_im + i * padded;
    for (int j = 0; j < rows; ++j) {
      const double re = p_im[j] / 2.0;
      const double im = p_re[j] / 2.0;
      intensity[i][j] = (intensity[i][j] + re * re) + im * im;
    }
  }
}

}  // namespace

bool use_vector_level(VectorLevel level) {
  const auto product = complex_product_kernel(level);
  const auto factors = edge_factors_kernel(level);
  if (product == nullptr || factors == nullptr) return false;
  kernels() = {product, factors};
  return true;
}

int factor_group_count() {
  form_groups();
  return groups.count;
}

void integrate_source_fast(double scale) {
  const int columns = column_count();
  const int rows = row_count();
  const int r = source_radius;
  form_groups();
  for (int j = -r; j <= r; ++j) fill_right(j + r, source_offset(j), scale, rows);

  ComplexProduct product{};
  product.depth = groups.count;
  product.row_pairs = (columns + 1) / 2;
  product.col_blocks = (rows + product_block - 1) / product_block;
  product.l_re = left_re;
  product.l_im = left_im;
  product.l_sum = left_sum;
  product.p_re = product_re;
  product.p_im = product_im;
  product.p_stride = padded;

  source_count = 0;
  for (int i = -r; i <= r; ++i) {
    fill_left(source_offset(i), scale, columns);
    for (int j = -r; j <= r; ++j) {
      if (!in_source_disc(i, j)) continue;
      ++source_count;
      product.r_re = right_re[j + r];
      product.r_im = right_im[j + r];
      product.r_sum = right_sum[j + r];
      // Zero terms are left out only where no 0 * inf could have been among them.
      const bool spans = left_finite && right_finite[j + r];
      product.l_span = spans ? left_span : nullptr;
      product.r_span = spans ? right_span[j + r] : nullptr;
      kernels().product(product);
      add_product_intensity(columns, rows);
    }
  }
}

}  // namespace meridox::proximity
