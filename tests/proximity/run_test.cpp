// main3 as the host calls it: sheet in, intensity map out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/harness.hpp"

namespace mt = meridox::testing;

namespace {

struct Rect {
  double t_re, t_im, x1, x2, y1, y2;
};

struct Params {
  double wavelength = 0.5, gap = 4.0, theta = 0.0;
  double x0 = -1, x1 = 1;
  int nx = 4;
  double y0 = -1, y1 = 1;
  int ny = 4;
  std::vector<Rect> rects;
  std::optional<int> rect_count;  // default: the number of rectangles listed
};

std::string sheet_text(const Params& p) {
  mt::SheetBuilder b;
  b.set(0, 0, "proximity test sheet");
  b.set(0, 2, "wavelength").set(2, 2, p.wavelength);
  b.set(0, 3, "gap").set(2, 3, p.gap);
  b.set(2, 4, p.theta);
  b.set(2, 5, p.x0).set(2, 6, p.x1).set(2, 7, p.nx);
  b.set(2, 8, p.y0).set(2, 9, p.y1).set(2, 10, p.ny);
  b.set(2, 11, p.rect_count.value_or(static_cast<int>(p.rects.size())));
  for (std::size_t k = 0; k < p.rects.size(); ++k) {
    const Rect& r = p.rects[k];
    const int row = 14 + static_cast<int>(k);
    b.set(0, row, static_cast<int>(k)).set(1, row, r.t_re).set(2, row, r.t_im);
    b.set(3, row, r.x1).set(4, row, r.x2).set(5, row, r.y1).set(6, row, r.y2);
  }
  return b.str();
}

std::vector<std::vector<std::string>> run_quendra(const Params& p, std::string* raw = nullptr) {
  mt::ExchangeFolder folder;
  folder.write_sheet(sheet_text(p));
  mt::call_entry("quendra");
  const std::string bytes = folder.read("OUT_M.txt");
  if (raw) *raw = bytes;
  return mt::split_table(bytes);
}

// Independent evaluation of the whole run, written from the physics and the
// documented table rules: Simpson table, interpolating look-ups, literal
// sum over rectangles, 81 source points, "%f" fields.
class LiteralModel {
 public:
  explicit LiteralModel(const Params& p) : p_(p) {
    const double pi = 3.14159265358979;
    c_[0] = s_[0] = 0;
    double cs = 0, ss = 0;
    for (int i = 0; i <= 1000; ++i) {
      const double t[3] = {i * 0.02, i * 0.02 + 0.01, i * 0.02 + 0.02};
      double fc[3], fs[3];
      for (int m = 0; m < 3; ++m) {
        fc[m] = std::cos(pi * t[m] * t[m] / 2);
        fs[m] = std::sin(pi * t[m] * t[m] / 2);
      }
      cs += (fc[0] + 4 * fc[1] + fc[2]) * 0.01 / 3;
      ss += (fs[0] + 4 * fs[1] + fs[2]) * 0.01 / 3;
      c_[i + 1] = cs;
      s_[i + 1] = ss;
    }
  }

  double look(const double* table, double u) const {
    const double a = std::fabs(u) / 0.02;
    if (a >= 1000) return u < 0 ? -0.5 : 0.5;
    const int n = static_cast<int>(a);
    const double v = table[n] + (table[n + 1] - table[n]) * (a - n);
    return u < 0 ? -v : v;
  }

  // Intensity map [i][j] averaged over the source disc.
  std::vector<std::vector<double>> map() const {
    const double scale = std::sqrt(2 / (p_.wavelength * p_.gap));
    std::vector<std::vector<double>> sum(p_.nx + 1, std::vector<double>(p_.ny + 1, 0.0));
    int sources = 0;
    for (int si = -5; si <= 5; ++si)
      for (int sj = -5; sj <= 5; ++sj) {
        if (si * si + sj * sj > 25) continue;
        ++sources;
        const double ox = si * p_.gap * p_.theta / 5, oy = sj * p_.gap * p_.theta / 5;
        for (int i = 0; i <= p_.nx; ++i)
          for (int j = 0; j <= p_.ny; ++j) {
            const double x = p_.x0 + (p_.x1 - p_.x0) / p_.nx * i;
            const double y = p_.y0 + (p_.y1 - p_.y0) / p_.ny * j;
            double re = 0, im = 0;
            for (const Rect& r : p_.rects) {
              const double ux1 = scale * (r.x1 - x - ox), ux2 = scale * (r.x2 - x - ox);
              const double uy1 = scale * (r.y1 - y - oy), uy2 = scale * (r.y2 - y - oy);
              const double cx = look(c_, ux2) - look(c_, ux1), sx = look(s_, ux2) - look(s_, ux1);
              const double cy = look(c_, uy2) - look(c_, uy1), sy = look(s_, uy2) - look(s_, uy1);
              // (cx + i sx)(cy + i sy) / (2i) times t
              const double fre = (cx * sy + sx * cy) / 2, fim = (sx * sy - cx * cy) / 2;
              re += r.t_re * fre - r.t_im * fim;
              im += r.t_re * fim + r.t_im * fre;
            }
            sum[i][j] += re * re + im * im;
          }
      }
    for (auto& column : sum)
      for (double& v : column) v /= sources;
    return sum;
  }

 private:
  Params p_;
  double c_[1002], s_[1002];
};

// Equal "%f" texts, or texts one unit apart in the sixth decimal.
bool same_to_last_digit(const std::string& got, double expected) {
  if (got == mt::printf_fixed(expected)) return true;
  return std::fabs(std::strtod(got.c_str(), nullptr) - expected) <= 1.0000001e-6;
}

TEST(QuendraRun, AgreesWithLiteralEvaluationToTheLastDigit) {
  std::mt19937_64 gen(4242);
  std::uniform_real_distribution<double> pos(-3.0, 2.0), size(0.1, 2.5), t(-1.0, 1.0);
  for (int sheet = 0; sheet < 4; ++sheet) {
    Params p;
    p.wavelength = 0.4 + 0.1 * sheet;
    p.gap = 3.0 + sheet;
    p.theta = 0.02 * sheet;
    p.nx = 7 + sheet;
    p.ny = 5 + 2 * sheet;
    p.x0 = -3.3, p.x1 = 2.9, p.y0 = -2.7, p.y1 = 3.1;
    for (int k = 0; k < 6 + sheet; ++k) {
      Rect r{t(gen), t(gen), pos(gen), 0, pos(gen), 0};
      r.x2 = r.x1 + size(gen);
      r.y2 = r.y1 + size(gen);
      p.rects.push_back(r);
    }
    const auto table = run_quendra(p);
    const auto expected = LiteralModel(p).map();
    ASSERT_EQ(table.size(), static_cast<std::size_t>(p.ny + 2));
    for (int i = 0; i <= p.nx; ++i)
      EXPECT_TRUE(same_to_last_digit(table[0][1 + i], p.x0 + i * (p.x1 - p.x0) / p.nx));
    for (int j = 0; j <= p.ny; ++j) {
      ASSERT_EQ(table[1 + j].size(), static_cast<std::size_t>(p.nx + 3));
      EXPECT_TRUE(same_to_last_digit(table[1 + j][0], p.y0 + j * (p.y1 - p.y0) / p.ny));
      for (int i = 0; i <= p.nx; ++i)
        EXPECT_TRUE(same_to_last_digit(table[1 + j][1 + i], expected[i][j]))
            << "sheet " << sheet << " at " << i << "," << j << ": " << table[1 + j][1 + i]
            << " vs " << expected[i][j];
    }
  }
}

TEST(QuendraRun, TwoByOneLayoutAndRepeatability) {
  Params p;
  p.nx = 2, p.ny = 1;
  p.x0 = 0, p.x1 = 100, p.y0 = 0, p.y1 = 100;
  p.rects = {{1, 0, -100, 100, -100, 100}};
  std::string first, second;
  run_quendra(p, &first);
  run_quendra(p, &second);
  EXPECT_EQ(first, second);
  // Interior 1, edge 1/4 (x = 100 or y = 100), corner 1/16.
  EXPECT_EQ(first,
            "\t0.000000\t50.000000\t100.000000\t\r\n"
            "0.000000\t1.000000\t1.000000\t0.250000\t\r\n"
            "100.000000\t0.250000\t0.250000\t0.062500\t\r\n");
}

TEST(QuendraRun, NoRectanglesGivesDarkMap) {
  Params p;
  p.theta = 0.05;
  const auto table = run_quendra(p);
  ASSERT_EQ(table.size(), 6u);
  for (std::size_t j = 1; j < table.size(); ++j) {
    ASSERT_EQ(table[j].size(), 7u);
    for (std::size_t i = 1; i <= 5; ++i) EXPECT_EQ(table[j][i], "0.000000");
  }
}

TEST(QuendraRun, MirrorSymmetricMaskGivesMirroredColumns) {
  Params p;
  p.theta = 0.03;
  p.gap = 20, p.wavelength = 0.4;
  p.x0 = -5, p.x1 = 5, p.nx = 20, p.y0 = -4, p.y1 = 3, p.ny = 7;
  p.rects = {{1, 0, -3, 3, -2, 1}, {0.2, 0.7, -1.5, -0.5, 1.5, 2.5}, {0.2, 0.7, 0.5, 1.5, 1.5, 2.5}};
  const auto table = run_quendra(p);
  double largest = 0;
  for (std::size_t j = 1; j < table.size(); ++j)
    for (int i = 0; i <= 10; ++i) {
      const double left = std::stod(table[j][1 + i]), right = std::stod(table[j][1 + 20 - i]);
      EXPECT_NEAR(left, right, 1.0000001e-6) << j << "," << i;
      largest = std::max(largest, left);
    }
  EXPECT_GT(largest, 0.5);
}

TEST(QuendraRun, StepCountsOutsideTheGrid) {
  Params p;
  p.rects = {{1, 0, -0.5, 0.5, -0.5, 0.5}};
  p.x0 = -2, p.x1 = 2, p.y0 = -3, p.y1 = 3;

  p.nx = 500, p.ny = 1000;  // used as 140
  auto table = run_quendra(p);
  ASSERT_EQ(table.size(), 142u);
  EXPECT_EQ(table[0].size(), 143u);
  EXPECT_EQ(table[0][1], "-2.000000");
  EXPECT_EQ(table[0][141], "2.000000");
  EXPECT_EQ(table[141][0], "3.000000");

  p.nx = 0, p.ny = 3;  // a single column at x_start
  table = run_quendra(p);
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[0], (std::vector<std::string>{"", "-2.000000", ""}));
  for (std::size_t j = 1; j < table.size(); ++j) ASSERT_EQ(table[j].size(), 3u);
  // The cut computes the same points as the first column of a full grid.
  const std::string cut = table[2][1];
  p.nx = 4;
  const auto full = run_quendra(p);
  EXPECT_EQ(full[2][1], cut);

  p.nx = 2, p.ny = 0;  // a single row at y_start
  table = run_quendra(p);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[1][0], "-3.000000");
  EXPECT_EQ(table[1].size(), 5u);

  for (int negative : {-3, std::numeric_limits<int>::min()}) {  // no x fields, no intensities
    p.nx = negative, p.ny = 2;
    table = run_quendra(p);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0], (std::vector<std::string>{"", ""}));
    EXPECT_EQ(table[3], (std::vector<std::string>{"3.000000", ""}));
  }

  p.nx = 2, p.ny = -1;  // the first line only
  table = run_quendra(p);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].size(), 5u);
}

TEST(QuendraRun, RectangleCountBeyondTheSheetIsCut) {
  Params p;
  p.theta = 0.01;
  p.rects = {{0.5, 0.5, -0.7, 0.4, -0.3, 0.9}, {1, 0, 0.2, 0.8, -0.8, 0.1}};
  const auto listed = run_quendra(p);
  p.rect_count = 2000000000;  // used as 686; the empty rows are empty openings
  EXPECT_EQ(run_quendra(p), listed);
  p.rect_count = -5;  // none
  const auto none = run_quendra(p);
  EXPECT_EQ(none[1][1], "0.000000");
}

TEST(QuendraRun, NoFresnelScaleGivesNotANumber) {
  Params p;
  p.rects = {{1, 0, -0.5, 0.5, -0.5, 0.5}};
  p.nx = 2, p.ny = 1;
  for (double gap : {0.0, -3.0, std::nan("")}) {
    p.gap = gap;
    const auto table = run_quendra(p);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0][1], "-1.000000");
    EXPECT_EQ(table[2][0], "1.000000");
    for (std::size_t j = 1; j < 3; ++j)
      for (std::size_t i = 1; i <= 3; ++i) EXPECT_EQ(table[j][i], "nan") << gap;
  }
}

}  // namespace
