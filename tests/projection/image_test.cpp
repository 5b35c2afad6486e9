// The fast image formation against the direct evaluation, and the direct
// transform's closed-form properties.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <cpuid.h>
#endif

#include "projection/complex_rows.hpp"
#include "projection/image.hpp"
#include "projection/parameters.hpp"

namespace meridox::projection {
namespace {

struct ImageCase {
  std::unique_ptr<Parameters> p = std::make_unique<Parameters>();
  std::unique_ptr<Field> spectrum = std::make_unique<Field>();
};

// Random optics (pupil radius `radius` samples) and a random spectrum.
ImageCase random_image_case(std::mt19937_64& rng, int n, double radius, double sigma) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  ImageCase c;
  Parameters& p = *c.p;
  p.grid_size = n;
  p.pitch = 0.1 + 0.05 * unit(rng);
  p.wavelength = 0.3 + 0.1 * unit(rng);
  p.NA = radius * p.wavelength / (p.pitch * n);
  p.sigma = sigma;
  p.defocus = 0.4 * unit(rng);
  for (int k = 1; k <= 6; ++k) {
    p.aber_x[k] = 0.04 * unit(rng);
    p.aber_y[k] = 0.04 * unit(rng);
  }
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      c.spectrum->re[j][k] = unit(rng);
      c.spectrum->im[j][k] = unit(rng);
    }
  }
  return c;
}

std::unique_ptr<Intensity> fast_image(const ImageCase& c) {
  auto ii = std::make_unique<Intensity>();
  form_image(*c.p, *c.spectrum, *ii);
  return ii;
}

std::unique_ptr<Intensity> direct_image(const ImageCase& c) {
  auto field = std::make_unique<Field>(*c.spectrum);
  auto ii = std::make_unique<Intensity>();
  form_image_direct(*c.p, *field, *ii);
  return ii;
}

// Every intensity within 1e-9 of the reference, relative to the largest; NaN
// exactly where the reference is NaN.
void expect_same_image(const Intensity& fast, const Intensity& direct, int n) {
  double largest = 0;
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      if (std::isfinite(direct.at[j][k])) largest = std::max(largest, std::fabs(direct.at[j][k]));
    }
  }
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      const double a = fast.at[j][k];
      const double b = direct.at[j][k];
      if (!std::isfinite(b)) {
        ASSERT_EQ(std::isnan(a), std::isnan(b)) << j << " " << k << ": " << a << " " << b;
        if (!std::isnan(b)) {
          ASSERT_EQ(a, b) << j << " " << k;
        }
        continue;
      }
      ASSERT_NEAR(a, b, 1e-9 * largest) << j << " " << k;
    }
  }
}

TEST(FastImage, AgreesWithTheDirectEvaluation) {
  std::mt19937_64 rng(7);
  struct Shape {
    int n;
    double radius;
    double sigma;
  };
  // Odd and even N, pupils from one sample to beyond the grid, sigma 0 and 1,
  // shifts that push the spectrum partly or wholly off the grid.
  for (const Shape s : {Shape{2, 1, 0.5}, Shape{3, 1.5, 1}, Shape{4, 0.4, 0}, Shape{5, 2, 0.7},
                        Shape{8, 3, 1}, Shape{9, 20, 0.3}, Shape{16, 5, 0}, Shape{17, 6.3, 1},
                        Shape{20, 4, 4}, Shape{23, 30, 2.5}, Shape{32, 10, 0.5},
                        Shape{33, 9.5, 1.3}, Shape{127, 90, 1}}) {
    const ImageCase c = random_image_case(rng, s.n, s.radius, s.sigma);
    SCOPED_TRACE("N " + std::to_string(s.n) + " R " + std::to_string(s.radius));
    expect_same_image(*fast_image(c), *direct_image(c), s.n);
  }
}

TEST(FastImage, NonFiniteValuesSpreadAsInTheDirectSums) {
  std::mt19937_64 rng(11);
  for (int which = 0; which < 8; ++which) {
    ImageCase c = random_image_case(rng, 12, 3, 0.6);
    Parameters& p = *c.p;
    switch (which) {
      case 0: p.wavelength = 0; break;
      case 1: p.pitch = 0; break;
      case 2: p.NA = 0; break;
      case 3: p.defocus = 1e308; break;  // the far samples' phase overflows
      case 4: c.spectrum->re[6][6] = std::nan(""); break;  // inside the pupil
      case 5: c.spectrum->im[0][11] = INFINITY; break;     // outside it for every source point
      // The wavefront of one axis overflows outside the pupil only.
      case 6: p.aber_y[6] = 1e305; break;
      case 7: p.aber_x[6] = 1e305; break;
    }
    SCOPED_TRACE(which);
    const auto fast = fast_image(c);
    expect_same_image(*fast, *direct_image(c), 12);
    if (which != 5) {
      EXPECT_TRUE(std::isnan(fast->at[3][4]));
    } else {
      EXPECT_TRUE(std::isfinite(fast->at[3][4]));
    }
  }
}

TEST(FastImage, EachAxisAberrationActsInItsOwnPass) {
  std::mt19937_64 rng(13);
  // A spectrum that is zero outside frequency column x = c0 sees only the
  // y coefficients, so the x coefficients cannot change its image.
  ImageCase c = random_image_case(rng, 16, 6, 0);
  for (int j = 0; j < 16; ++j) {
    for (int k = 0; k < 16; ++k) {
      if (j != 8) c.spectrum->re[j][k] = c.spectrum->im[j][k] = 0;
    }
  }
  const auto before = fast_image(c);
  for (int k = 1; k <= 6; ++k) c.p->aber_x[k] = 0.3;
  const auto after = fast_image(c);
  for (int k = 1; k <= 6; ++k) c.p->aber_y[k] = 0.3;
  const auto both = fast_image(c);
  double changed = 0;
  for (int j = 0; j < 16; ++j) {
    for (int k = 0; k < 16; ++k) {
      ASSERT_NEAR(after->at[j][k], before->at[j][k], 1e-12);
      changed = std::max(changed, std::fabs(both->at[j][k] - before->at[j][k]));
    }
  }
  EXPECT_GT(changed, 1e-3);
}

TEST(DirectTransform, SingleSamplesGiveClosedFormLines) {
  auto p = std::make_unique<Parameters>();
  p->grid_size = 8;
  p->pitch = 0.1;
  p->wavelength = 0.3;
  p->NA = 0.5;
  p->defocus = 0.7;
  for (int k = 1; k <= 6; ++k) {
    p->aber_x[k] = 0.1 * k;
    p->aber_y[k] = -0.05 * k;
  }
  const auto line = [&](int sample, int count, int axis) {
    std::vector<double> re(static_cast<std::size_t>(count)), im(re.size());
    re[static_cast<std::size_t>(sample)] = 1;
    inverse_transform_1d_direct(*p, re.data(), im.data(), count, axis);
    std::vector<std::complex<double>> out;
    for (int i = 0; i < count; ++i) out.emplace_back(re[i], im[i]);
    return out;
  };
  // The sample at the centre has phase 0: a constant 1.
  for (const auto v : line(4, 8, 1)) EXPECT_EQ(v, std::complex<double>(1, 0));
  // End samples carry half weight.
  for (const auto v : line(0, 8, 2)) EXPECT_NEAR(std::abs(v), 0.5, 1e-15);
  for (const auto v : line(7, 8, 1)) EXPECT_NEAR(std::abs(v), 0.5, 1e-15);
  // Axis 2 and any other value select the x coefficients alike.
  EXPECT_EQ(line(5, 8, 2), line(5, 8, 7));
  EXPECT_NE(line(5, 8, 1), line(5, 8, 2));
  // One sample: no trapezoid, no light.
  EXPECT_EQ(line(0, 1, 1)[0], std::complex<double>(0, 0));

  // Without defocus and aberration, the sample one above the centre is a
  // plane wave of one cycle across the line; for an odd count the centre is
  // a half-integer, so sample 63 of 127 sits half a sample below it.
  p->defocus = 0;
  for (int k = 1; k <= 6; ++k) p->aber_x[k] = p->aber_y[k] = 0;
  const auto wave = line(5, 8, 1);
  p->grid_size = 127;
  const auto odd = line(63, 127, 1);
  for (int i = 0; i < 8; ++i) {
    const double u = i - 4.0;
    EXPECT_NEAR(std::abs(wave[i] - std::polar(1.0, 2 * M_PI * u / 8)), 0, 1e-13);
  }
  for (int i = 0; i < 127; ++i) {
    const double u = i - 63.5;
    EXPECT_NEAR(std::abs(odd[i] - std::polar(1.0, -2 * M_PI * 0.5 * u / 127)), 0, 1e-12);
  }
}

TEST(SumRows, EveryVersionFormsTheWeightedSumsOfMatrixRows) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<SumRows> versions = {sum_rows_baseline, sum_rows()};
  for (const VectorLevel level : {VectorLevel::avx2, VectorLevel::avx512}) {
    if (const SumRows wide = sum_rows_of_level(level)) versions.push_back(wide);
  }
  for (const int width : {16, 32, 48, 144}) {
    const std::ptrdiff_t stride = width + 3;
    std::vector<double> m(static_cast<std::size_t>(9 * stride));
    std::vector<double> ar(9), ai(9);
    for (double& v : m) v = unit(rng);
    for (double& v : ar) v = unit(rng);
    for (double& v : ai) v = unit(rng);
    for (const SumRows sum : versions) {
      // Rows of 0 to 5 terms, each starting at its own matrix row.
      std::vector<std::vector<double>> out(12, std::vector<double>(static_cast<std::size_t>(width), 9.0));
      std::vector<RowSum> rows;
      for (int r = 0; r < 6; ++r) {
        rows.push_back({ar.data() + r / 2, ai.data() + r / 2, m.data() + (r % 4) * stride, r,
                        out[2 * r].data(), out[2 * r + 1].data()});
      }
      sum(rows, width, stride);
      for (int r = 0; r < 6; ++r) {
        for (int k = 0; k < width; ++k) {
          std::complex<double> expected = 0;
          for (int t = 0; t < r; ++t) {
            const std::ptrdiff_t at = (r % 4 + t) * stride + k;
            expected += std::complex<double>(ar[r / 2 + t], ai[r / 2 + t]) * m[static_cast<std::size_t>(at)];
          }
          ASSERT_NEAR(out[2 * r][k], expected.real(), 1e-14) << width << " " << r << " " << k;
          ASSERT_NEAR(out[2 * r + 1][k], expected.imag(), 1e-14) << width << " " << r << " " << k;
        }
      }
    }
  }
}

#if defined(__GNUC__) && defined(__x86_64__)
// Whether the upper halves of the vector registers are in use (XINUSE bit 2),
// or -1 where the processor cannot tell.
int upper_halves_in_use() {
  unsigned a, b, c, d;
  if (!__get_cpuid_count(0xd, 1, &a, &b, &c, &d) || (a & 4) == 0) return -1;
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
  return (lo & 4) != 0 ? 1 : 0;
}

TEST(SumRows, WideVersionLeavesTheUpperRegisterHalvesClear) {
  // Baseline code run with the upper halves in use slows down severalfold
  // (the host's code included), so the wide version must clear them.
  const SumRows wide = sum_rows_of_level(VectorLevel::avx2);
  if (wide == nullptr || upper_halves_in_use() < 0) GTEST_SKIP() << "no AVX2 or no XINUSE";
  std::vector<double> m(200, 0.5), a(4, 0.25), out_re(144), out_im(144);
  const RowSum row{a.data(), a.data(), m.data(), 1, out_re.data(), out_im.data()};
  for (const int width : {144, 16}) {
    wide(std::span<const RowSum>(&row, 1), width, 0);
    EXPECT_EQ(upper_halves_in_use(), 0) << width;
  }
}
#endif

}  // namespace
}  // namespace meridox::projection
