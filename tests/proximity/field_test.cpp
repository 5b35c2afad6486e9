// Diffraction sums: the direct literal sum against closed-form physics, and
// the factorised sum and its product kernels against the direct sum.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <utility>
#include <vector>

#include "proximity/complex_product.hpp"
#include "proximity/direct_field.hpp"
#include "proximity/fast_field.hpp"
#include "proximity/fresnel.hpp"
#include "proximity/model.hpp"
#include "proximity/proximity.hpp"

namespace px = meridox::proximity;

namespace {

struct Rect {
  double t_re, t_im, x1, x2, y1, y2;
};

// Sets up a run: lambda * z = 2, so the Fresnel scale is exactly 1.
void configure(int x_steps, double x0, double x1, int y_steps, double y0, double y1,
               const std::vector<Rect>& rects, double theta = 0.0) {
  px::wavelength = 0.5;
  px::gap = 4.0;
  px::source_half_angle = theta;
  px::x_start = x0;
  px::x_end = x1;
  px::x_steps = x_steps;
  px::y_start = y0;
  px::y_end = y1;
  px::y_steps = y_steps;
  px::rect_count = static_cast<int>(rects.size());
  for (int k = 0; k < px::rect_count; ++k) {
    px::rect_t_re[k] = rects[k].t_re;
    px::rect_t_im[k] = rects[k].t_im;
    px::rect_x1[k] = rects[k].x1;
    px::rect_x2[k] = rects[k].x2;
    px::rect_y1[k] = rects[k].y1;
    px::rect_y2[k] = rects[k].y2;
  }
  px::tabulate_fresnel();
}

double scale() {
  double a = 0.0;
  EXPECT_TRUE(px::fresnel_scale(a));
  return a;
}

void field_at_zero_offset() {
  const double zero = 0.0;
  px::aperture_field(zero, zero, scale());
}

TEST(DirectField, UnobstructedEdgeAndCorner) {
  // One large opening [-100, 100] x [-100, 100]; points in the middle, on
  // the right edge and at the upper right corner.
  configure(2, 0.0, 100.0, 2, 0.0, 100.0, {{1, 0, -100, 100, -100, 100}});
  field_at_zero_offset();
  EXPECT_EQ(px::field_re[0][0], 1.0);
  EXPECT_EQ(px::field_im[0][0], 0.0);
  EXPECT_EQ(px::field_re[2][0], 0.5);
  EXPECT_EQ(px::field_im[2][0], 0.0);
  EXPECT_EQ(px::field_re[2][2], 0.25);
  EXPECT_EQ(px::field_im[2][2], 0.0);
  px::clear_intensity();
  px::add_intensity();
  EXPECT_EQ(px::intensity[0][0], 1.0);
  EXPECT_EQ(px::intensity[2][0], 0.25);
  EXPECT_EQ(px::intensity[2][2], 0.0625);
}

// Amplitudes at zero offset over columns [first, first + columns) and every
// row of the grid.
std::vector<std::complex<double>> field(int first = 0, int columns = -1) {
  if (columns < 0) columns = px::column_count() - first;
  std::vector<std::complex<double>> out;
  for (int i = first; i < first + columns; ++i)
    for (int j = 0; j < px::row_count(); ++j) out.emplace_back(px::field_re[i][j], px::field_im[i][j]);
  return out;
}

std::vector<std::complex<double>> field_of(const std::vector<Rect>& rects) {
  configure(6, -5, 5, 5, -3, 3, rects);
  field_at_zero_offset();
  return field();
}

void expect_equal(const std::vector<std::complex<double>>& got,
                  const std::vector<std::complex<double>>& want, double tolerance = 0.0) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t n = 0; n < got.size(); ++n) {
    EXPECT_NEAR(got[n].real(), want[n].real(), tolerance) << n;
    EXPECT_NEAR(got[n].imag(), want[n].imag(), tolerance) << n;
  }
}

TEST(DirectField, TransmissionsAndEdgeOrder) {
  const Rect opening{1, 0, -3, 2, -1.5, 4};
  const auto base = field_of({opening});
  std::vector<std::complex<double>> times_i, negated;
  for (const auto& v : base) times_i.emplace_back(-v.imag(), v.real()), negated.push_back(-v);

  Rect turned = opening;  // t = i: amplitude times i, same intensity
  turned.t_re = 0, turned.t_im = 1;
  expect_equal(field_of({turned}), times_i);
  Rect dark = opening;  // t = -1: negated amplitude
  dark.t_re = -1;
  expect_equal(field_of({dark}), negated);
  Rect swapped = opening;  // reversed edges negate the contribution
  std::swap(swapped.x1, swapped.x2);
  expect_equal(field_of({swapped}), negated);
  // The same area with transmissions 1 and -1: nothing at all.
  Rect cancel = opening;
  cancel.t_re = -1;
  expect_equal(field_of({opening, cancel}), std::vector<std::complex<double>>(base.size()));
  // Two neighbours sharing an edge, same transmission: one larger opening.
  const double t_re = 0.3, t_im = -0.8;
  expect_equal(field_of({{t_re, t_im, -2, 0.5, -1, 2}, {t_re, t_im, 0.5, 3, -1, 2}}),
               field_of({{t_re, t_im, -2, 3, -1, 2}}), 1e-14);
}

TEST(DirectField, SourceOffsetShiftsThePattern) {
  // Grid step 0.25; an offset of 0.5 moves the pattern by two columns.
  configure(12, -1.5, 1.5, 3, -1, 0.5, {{0.7, 0.2, -1, 0.75, -0.5, 1.25}});
  const double d = 0.5, zero = 0.0;
  px::aperture_field(d, zero, scale());
  const auto shifted = field(0, 11);
  field_at_zero_offset();
  expect_equal(shifted, field(2, 11), 1e-13);
}

// Random masks; some rectangles share both x edges or both y edges with an
// earlier one so that the grouping of factors is exercised along each axis.
std::vector<Rect> random_mask(std::mt19937_64& gen, int count, bool share_x) {
  std::uniform_real_distribution<double> pos(-6.0, 5.0), size(0.2, 4.0), t(-1.0, 1.0);
  std::vector<Rect> rects;
  for (int k = 0; k < count; ++k) {
    Rect r{t(gen), t(gen), pos(gen), 0, pos(gen), 0};
    r.x2 = r.x1 + size(gen);
    r.y2 = r.y1 + size(gen);
    if (k >= 2 && k % 3 == 0) {
      const Rect& earlier = rects[gen() % rects.size()];
      if (share_x) {
        r.x1 = earlier.x1, r.x2 = earlier.x2;
      } else {
        r.y1 = earlier.y1, r.y2 = earlier.y2;
      }
    }
    rects.push_back(r);
  }
  return rects;
}

void expect_fast_matches_direct(double tolerance) {
  double a = scale();
  px::clear_intensity();
  px::integrate_source_direct(a);
  ASSERT_EQ(px::source_count, 81);
  px::average_intensity();
  std::vector<double> reference;
  for (int i = 0; i < px::column_count(); ++i)
    for (int j = 0; j < px::row_count(); ++j) reference.push_back(px::intensity[i][j]);

  px::clear_intensity();
  px::integrate_source_fast(a);
  ASSERT_EQ(px::source_count, 81);
  px::average_intensity();
  double largest = 0.0;
  for (int i = 0, n = 0; i < px::column_count(); ++i)
    for (int j = 0; j < px::row_count(); ++j, ++n) {
      ASSERT_NEAR(px::intensity[i][j], reference[n], tolerance) << i << "," << j;
      largest = std::max(largest, reference[n]);
    }
  EXPECT_GT(largest, 0.02);  // the comparison saw light, not an empty map
}

TEST(FastField, MatchesDirectSumOnRandomMasks) {
  std::mt19937_64 gen(20261207);
  struct Case {
    int nx, ny, rects;
    bool share_x;
    double theta;
  };
  const Case cases[] = {{23, 17, 40, true, 0.05},  {16, 25, 35, false, 0.08},
                        {9, 9, 1, true, 0.0},       {0, 30, 12, true, 0.1},
                        {31, 0, 12, false, 0.1},    {40, 40, 10, false, 0.03}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.nx << "x" << c.ny << " rects " << c.rects);
    configure(c.nx, -7, 6, c.ny, -6.5, 6.5, random_mask(gen, c.rects, c.share_x), c.theta);
    // lambda * z = 2 still, with a larger gap so that the source offsets
    // span several grid steps.
    px::gap = 12.5;
    px::wavelength = 0.16;
    // With the kernels of every vector level this processor runs.
    for (const meridox::VectorLevel level :
         {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
      if (!px::use_vector_level(level)) continue;
      SCOPED_TRACE(meridox::vector_level_name(level));
      expect_fast_matches_direct(1e-12);
    }
    ASSERT_TRUE(px::use_vector_level(meridox::processor_vector_level()));
  }
}

TEST(FastField, GroupsRectanglesSharingEdges) {
  // A line array: five lines sharing their y edges, two of them also
  // sharing x edges with each other.
  configure(10, -5, 5, 10, -5, 5,
            {{1, 0, -4, -3, -3, 3}, {1, 0, -2, -1, -3, 3}, {1, 0, 0, 1, -3, 3},
             {1, 0, 2, 3, -3, 3}, {0.5, 0.5, 2, 3, -3, 3}});
  EXPECT_EQ(px::factor_group_count(), 1);
  expect_fast_matches_direct(1e-12);
  configure(10, -5, 5, 10, -5, 5, {{1, 0, -4, -3, -3, 3}, {1, 0, -4, -3, 0, 3}, {1, 0, 2, 3, 1, 2}});
  EXPECT_EQ(px::factor_group_count(), 2);
  expect_fast_matches_direct(1e-12);
}

TEST(FastField, GridLinesBeyondTheFresnelTableOnWideMasks) {
  // Rectangles near the middle of a wide grid: the factors of lines more
  // than 20 Fresnel units away vanish exactly, and the products leave their
  // terms out. Every level matches the direct sum, the AVX2 and AVX-512
  // levels bit for bit, and the far columns are exactly dark.
  std::mt19937_64 gen(20261208);
  std::uniform_real_distribution<double> pos(-10.0, 8.0), size(0.2, 2.0), t(-1.0, 1.0);
  std::vector<Rect> rects;
  for (int k = 0; k < 12; ++k) {
    Rect r{t(gen), t(gen), pos(gen), 0, pos(gen), 0};
    r.x2 = r.x1 + size(gen);
    r.y2 = r.y1 + size(gen);
    rects.push_back(r);
  }
  configure(60, -60, 60, 50, -55, 55, rects, 0.05);
  std::vector<std::vector<double>> maps;
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    if (!px::use_vector_level(level)) continue;
    SCOPED_TRACE(meridox::vector_level_name(level));
    expect_fast_matches_direct(1e-12);
    maps.emplace_back(&px::intensity[0][0], &px::intensity[0][0] + px::max_points * px::max_points);
    EXPECT_EQ(px::intensity[0][25], 0.0);  // x = -60: every factor vanishes
    EXPECT_EQ(px::intensity[60][25], 0.0);
  }
  if (maps.size() == 3) {
    EXPECT_EQ(maps[1], maps[2]);
  }

  // Transmissions whose factor sums overflow: a vanishing factor meets an
  // infinite one in the far columns, so the whole sum there is NaN, and no
  // level may report a number instead by leaving those terms out.
  configure(60, -60, 60, 10, -5, 5,
            {{1.7e308, 0, -2, 2, -30, 30}, {1.7e308, 0, -2, 2, -30, 30}, {0.5, 0.5, 1, 3, -1, 1}});
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    if (!px::use_vector_level(level)) continue;
    SCOPED_TRACE(meridox::vector_level_name(level));
    px::clear_intensity();
    px::integrate_source_fast(scale());
    EXPECT_TRUE(std::isnan(px::intensity[0][5]));
    EXPECT_TRUE(std::isnan(px::intensity[60][5]));
  }
  ASSERT_TRUE(px::use_vector_level(meridox::processor_vector_level()));
}

TEST(ComplexProduct, KernelsAgreeWithTheDefiningSum) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> v(-1.0, 1.0);
  const int depth = 37, pairs = 3, blocks = 2, stride = 16;
  std::vector<double> l_re(2 * pairs * depth), l_im(l_re.size());
  std::vector<double> r_re(blocks * depth * 8), r_im(r_re.size());
  for (auto* m : {&l_re, &l_im, &r_re, &r_im})
    for (double& x : *m) x = v(gen);
  std::vector<double> l_sum(l_re.size()), r_sum(r_re.size());
  for (std::size_t k = 0; k < l_sum.size(); ++k) l_sum[k] = l_re[k] + l_im[k];
  for (std::size_t k = 0; k < r_sum.size(); ++k) r_sum[k] = r_re[k] + r_im[k];
  auto run_kernel = [&](void (*kernel)(const px::ComplexProduct&), std::vector<double>& p_re,
                        std::vector<double>& p_im) {
    p_re.assign(2 * pairs * stride, -99.0);
    p_im.assign(p_re.size(), -99.0);
    kernel({depth, pairs, blocks, l_re.data(), l_im.data(), r_re.data(), r_im.data(), l_sum.data(),
            r_sum.data(), p_re.data(), p_im.data(), stride});
  };
  std::vector<double> portable_re, portable_im, dispatched_re, dispatched_im;
  run_kernel(px::complex_product_portable, portable_re, portable_im);
  run_kernel(px::complex_product, dispatched_re, dispatched_im);
  // Every wide kernel this processor runs, forced.
  for (const meridox::VectorLevel level : {meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    const auto kernel = px::complex_product_kernel(level);
    if (kernel == nullptr) continue;
    std::vector<double> wide_re, wide_im;
    run_kernel(kernel, wide_re, wide_im);
    for (std::size_t k = 0; k < wide_re.size(); ++k) {
      EXPECT_NEAR(wide_re[k], portable_re[k], 1e-13);
      EXPECT_NEAR(wide_im[k], portable_im[k], 1e-13);
    }
  }
  // No rows (a grid without columns) or no panels: every kernel forms nothing.
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    const auto kernel = px::complex_product_kernel(level);
    if (kernel == nullptr) continue;
    for (const auto& [no_pairs, no_blocks] : {std::pair{0, blocks}, std::pair{pairs, 0}}) {
      std::vector<double> re(2 * pairs * stride, -99.0), im(re.size(), -99.0);
      kernel({depth, no_pairs, no_blocks, l_re.data(), l_im.data(), r_re.data(), r_im.data(),
              l_sum.data(), r_sum.data(), re.data(), im.data(), stride});
      EXPECT_EQ(re, std::vector<double>(re.size(), -99.0)) << meridox::vector_level_name(level);
      EXPECT_EQ(im, std::vector<double>(im.size(), -99.0)) << meridox::vector_level_name(level);
    }
  }
  for (int i = 0; i < 2 * pairs; ++i)
    for (int j = 0; j < 8 * blocks; ++j) {
      double sr = 0, si = 0;
      for (int g = 0; g < depth; ++g) {
        const double ar = l_re[i * depth + g], ai = l_im[i * depth + g];
        const int at = ((j / 8) * depth + g) * 8 + j % 8;
        sr += ar * r_re[at] - ai * r_im[at];
        si += ar * r_im[at] + ai * r_re[at];
      }
      EXPECT_NEAR(portable_re[i * stride + j], sr, 1e-13);
      EXPECT_NEAR(portable_im[i * stride + j], si, 1e-13);
      EXPECT_NEAR(dispatched_re[i * stride + j], sr, 1e-13);
      EXPECT_NEAR(dispatched_im[i * stride + j], si, 1e-13);
    }
}

}  // namespace

namespace {

// Runs `kernel` on the product given, into fresh output filled with -99.
std::pair<std::vector<double>, std::vector<double>> run_product(
    void (*kernel)(const px::ComplexProduct&), px::ComplexProduct p) {
  std::vector<double> re(2 * p.row_pairs * p.p_stride, -99.0), im(re.size(), -99.0);
  p.p_re = re.data();
  p.p_im = im.data();
  kernel(p);
  return {re, im};
}

}  // namespace

TEST(ComplexProduct, KernelsLeaveOutOnlyTermsZeroBySpans) {
  // Factors zero outside each group's spans, as far grid lines give them;
  // 14 rows (bands of 6 and of 12 end short), 3 panels, 70 groups (two mask
  // words), among them groups without a nonzero row or column and spans that
  // reach past the rows formed. Groups 35 on reach the last rows but only the
  // first 10 columns, so rows 7 ... 13 of columns 10 on have no nonzero term.
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> v(-1.0, 1.0);
  const int depth = 70, pairs = 7, blocks = 3, stride = 24, rows = 2 * pairs, columns = 8 * blocks;
  const auto span = [&gen](int low, int high) {  // within [low, high)
    const int a = low + static_cast<int>(gen() % (high - low + 1));
    const int b = low + static_cast<int>(gen() % (high - low + 1));
    return px::GroupSpan{std::min(a, b), std::max(a, b)};
  };
  std::vector<px::GroupSpan> l_span(depth), r_span(depth);
  for (int g = 0; g < depth; ++g) {
    l_span[g] = g % 17 == 5 ? px::GroupSpan{3, 3} : g < 35 ? span(0, 7) : span(5, rows + 2);
    r_span[g] = g % 13 == 7 ? px::GroupSpan{9, 9} : g < 35 ? span(0, columns) : span(0, 10);
  }
  std::vector<double> l_re(rows * depth, 0.0), l_im(l_re.size(), 0.0);
  std::vector<double> r_re(blocks * depth * 8, 0.0), r_im(r_re.size(), 0.0);
  for (int i = 0; i < rows; ++i)
    for (int g = 0; g < depth; ++g)
      if (i >= l_span[g].first && i < l_span[g].end) {
        l_re[i * depth + g] = v(gen);
        l_im[i * depth + g] = v(gen);
      }
  for (int j = 0; j < columns; ++j)
    for (int g = 0; g < depth; ++g)
      if (j >= r_span[g].first && j < r_span[g].end) {
        const int at = ((j / 8) * depth + g) * 8 + j % 8;
        r_re[at] = v(gen);
        r_im[at] = v(gen);
      }
  std::vector<double> l_sum(l_re.size()), r_sum(r_re.size());
  for (std::size_t k = 0; k < l_sum.size(); ++k) l_sum[k] = l_re[k] + l_im[k];
  for (std::size_t k = 0; k < r_sum.size(); ++k) r_sum[k] = r_re[k] + r_im[k];
  const px::ComplexProduct whole{depth,       pairs,       blocks,       l_re.data(),
                                 l_im.data(), r_re.data(), r_im.data(),  l_sum.data(),
                                 r_sum.data(), nullptr,    nullptr,      stride};
  px::ComplexProduct spans = whole;
  spans.l_span = l_span.data();
  spans.r_span = r_span.data();
  bool no_term = false;
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    const auto kernel = px::complex_product_kernel(level);
    if (kernel == nullptr) continue;
    SCOPED_TRACE(meridox::vector_level_name(level));
    const auto [all_re, all_im] = run_product(kernel, whole);
    const auto [some_re, some_im] = run_product(kernel, spans);
    // The same values (an exact zero may change its sign, which == ignores).
    for (std::size_t k = 0; k < all_re.size(); ++k) {
      ASSERT_EQ(some_re[k], all_re[k]) << k;
      ASSERT_EQ(some_im[k], all_im[k]) << k;
      no_term = no_term || (all_re[k] == 0.0 && all_im[k] == 0.0);
    }
  }
  EXPECT_TRUE(no_term);  // the spans left whole tiles without a term
}
