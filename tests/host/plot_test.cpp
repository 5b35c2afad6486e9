// Pictures: decoded and checked for their size and for showing something.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "host/core/calculators.hpp"
#include "host/pictures/plot.hpp"
#include "png_reader.hpp"
#include "support/harness.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The plotting and font libraries keep caches for the life of the process,
// which the leak checker would report at exit.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "detect_leaks=0";
}
#endif

namespace meridox::host {
namespace {

// A table's bytes read as `kind` and drawn, or why they cannot be.
std::string plot_bytes(TableKind kind, const std::string& bytes, const std::string& png, const PlotOptions& options) {
  try {
    return plot_table(read_result_table(bytes, kind), png, options);
  } catch (const TableError& e) {
    return e.what();
  }
}

using testing::printf_fixed;
using testing::read_png;
using testing::shift_jis;

// A 33 x 33 intensity map of a smooth bright spot on a dark field.
std::string spot_map() {
  std::string out = shift_jis("投影像光強度分布II[i][j]") + "\r\n\t";
  for (int q = 0; q < 33; ++q) out += printf_fixed(0.1 * (q - 16)) + "\t";
  out += "\r\n";
  for (int j = 0; j < 33; ++j) {
    out += printf_fixed(0.1 * (j - 16)) + "\t";
    for (int q = 0; q < 33; ++q) {
      const double r2 = (q - 16) * (q - 16) + (j - 10) * (j - 10);
      out += printf_fixed(std::exp(-r2 / 60.0)) + "\t";
    }
    out += "\r\n";
  }
  return out + "\r\n";
}

std::string stage_series() {
  std::string out = shift_jis("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)") + "\r\n";
  for (int k = 0; k <= 100; ++k) {
    const double t = 0.001 * k;
    out += printf_fixed(t) + "\t" + printf_fixed(std::exp(-t * 50) * std::cos(t * 300)) + "\t" +
           printf_fixed(-3 * std::sin(t * 300)) + "\t" + printf_fixed(std::sin(t * 300 + 1)) + "\r\n";
  }
  return out;
}

class HostPlot : public ::testing::Test {
 protected:
  testing::ExchangeFolder folder;
  std::string png(const char* name) const { return (folder.path() / name).string(); }
};

TEST_F(HostPlot, HeatMapHasTheAskedSizeAndAColourRange) {
  PlotOptions options;
  options.width = 800;
  options.height = 600;
  options.length_unit = "um";
  ASSERT_EQ(plot_bytes(table_kind("image"), spot_map(), png("map.png"), options), "");
  const testing::Picture picture = read_png(png("map.png"));
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 800);
  EXPECT_EQ(picture.height, 600);
  // A smooth spot and a colour bar give many shades; the map fills much of the page.
  EXPECT_GT(picture.distinct_colours(), 100u);
  EXPECT_GT(picture.share_not_background(), 0.3);
}

TEST_F(HostPlot, LineChartsOfStageAndPlateTables) {
  const PlotOptions options;
  ASSERT_EQ(plot_bytes(table_kind("stage"), stage_series(), png("stage.png"), options), "");
  const testing::Picture stage = read_png(png("stage.png"));
  ASSERT_TRUE(stage.ok);
  EXPECT_EQ(stage.width, 960);
  EXPECT_EQ(stage.height, 720);
  EXPECT_GT(stage.distinct_colours(), 3u);
  EXPECT_GT(stage.share_not_background(), 0.01);

  std::string plate = shift_jis("半径\t変位\t傾斜\t曲率\tﾓｰﾒﾝﾄMr\t応力σr\tピッチ誤差Pe") + "\r\n";
  for (int k = 0; k < 10; ++k) {
    const double r = 10 + 10 * k;
    plate += printf_fixed(r) + "\t" + printf_fixed(-r * r * 1e-5) + "\t" + printf_fixed(-r * 2e-5) +
             "\t0.000000\t1.000000\t" + printf_fixed(600 - 10 * r) + "\t" + printf_fixed(-r * 1e-5) + "\r\n";
  }
  plate += "100.000000\t-0.100000\t0.000000\t0.000000\t1.000000\t-400.000000\r\n";
  ASSERT_EQ(plot_bytes(table_kind("plate"), plate, png("plate.png"), options), "");
  const testing::Picture picture = read_png(png("plate.png"));
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 960);
  EXPECT_GT(picture.distinct_colours(), 3u);
}

TEST_F(HostPlot, FlatAndNonFiniteMapsStillDraw) {
  const std::string flat = "\t0.000000\t1.000000\t\r\n0.000000\t0.000000\t0.000000\t\r\n"
                           "1.000000\t0.000000\t0.000000\t\r\n";
  ASSERT_EQ(plot_bytes(table_kind("proximity_image"), flat, png("flat.png"), {}), "");
  EXPECT_TRUE(read_png(png("flat.png")).ok);
  const std::string odd = "\t0.000000\t1.000000\t\r\n0.000000\tnan\tinf\t\r\n1.000000\t-inf\t0.500000\t\r\n";
  ASSERT_EQ(plot_bytes(table_kind("proximity_image"), odd, png("odd.png"), {}), "");
  EXPECT_TRUE(read_png(png("odd.png")).ok);
}

TEST_F(HostPlot, RefusesWhatItCannotDrawAndLeavesNoFile) {
  EXPECT_NE(plot_bytes(TableKind::empty, "", png("a.png"), {}), "");
  EXPECT_NE(plot_bytes(table_kind("proximity_image"), "\t1.0\t\r\n0.0\tx\t\r\n", png("b.png"), {}), "");
  EXPECT_NE(plot_bytes(table_kind("stage"), shift_jis("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)") + "\r\n",
                       png("c.png"), {}),
            "");
  PlotOptions tiny;
  tiny.width = 10;
  EXPECT_NE(plot_bytes(table_kind("image"), spot_map(), png("d.png"), tiny), "");
  for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) {
    EXPECT_FALSE(std::filesystem::exists(png(name))) << name;
  }
}

}  // namespace
}  // namespace meridox::host

namespace meridox::host {
namespace {

// A proximity-layout map with `nx` x `ny` samples one unit apart.
std::string grid_map(int nx, int ny, const std::string& value) {
  std::string out = "\t";
  for (int q = 0; q < nx; ++q) out += printf_fixed(q - nx / 2) + "\t";
  out += "\r\n";
  for (int j = 0; j < ny; ++j) {
    out += printf_fixed(j - ny / 2) + "\t";
    for (int q = 0; q < nx; ++q) out += (value.empty() ? printf_fixed(0.1 * q + 0.05 * j) : value) + "\t";
    out += "\r\n";
  }
  return out;
}

// The box of coloured (not grey) pixels left of the colour bar.
struct Box {
  int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
};
Box coloured_box(const testing::Picture& p) {
  Box b;
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width * 8 / 10; ++x) {
      const std::uint32_t c = p.pixels[static_cast<std::size_t>(y * p.width + x)];
      const int r = static_cast<int>(c >> 16), g = static_cast<int>((c >> 8) & 0xFF), bl = static_cast<int>(c & 0xFF);
      if (std::max({r, g, bl}) - std::min({r, g, bl}) < 40) continue;
      b.left = std::min(b.left, x);
      b.right = std::max(b.right, x);
      b.top = std::min(b.top, y);
      b.bottom = std::max(b.bottom, y);
    }
  }
  return b;
}

TEST_F(HostPlot, MapsAtEqualScaleProfilesAndBlanks) {
  // 9 x 3 samples one unit apart: 9 by 3 units, whatever the page's shape.
  ASSERT_EQ(plot_bytes(table_kind("proximity_image"), grid_map(9, 3, ""), png("wide.png"), {}), "");
  const Box b = coloured_box(read_png(png("wide.png")));
  const double aspect = static_cast<double>(b.right - b.left + 1) / (b.bottom - b.top + 1);
  EXPECT_NEAR(aspect, 3.0, 0.1) << b.left << " " << b.right << " " << b.top << " " << b.bottom;
  // A single row is a line plot: some ink, not a filled field, no blank page.
  ASSERT_EQ(plot_bytes(table_kind("proximity_image"), grid_map(9, 1, ""), png("row.png"), {}), "");
  const testing::Picture row = read_png(png("row.png"));
  EXPECT_GT(row.share_not_background(), 0.01);
  EXPECT_LT(row.share_not_background(), 0.2);
  // A blank sample leaves the other samples' colours as they were.
  std::string holed = grid_map(9, 3, "");
  holed.replace(holed.find("0.100000", holed.find("\r\n")), 8, "nan");
  ASSERT_EQ(plot_bytes(table_kind("proximity_image"), holed, png("holed.png"), {}), "");
  const testing::Picture full = read_png(png("wide.png")), hole = read_png(png("holed.png"));
  std::size_t same = 0, coloured = 0;
  for (std::size_t k = 0; k < full.pixels.size(); ++k) {
    if (static_cast<int>(k % static_cast<std::size_t>(full.width)) >= full.width * 7 / 10) continue;
    coloured += full.pixels[k] != 0xFFFFFF ? 1 : 0;
    same += full.pixels[k] == hole.pixels[k] && full.pixels[k] != 0xFFFFFF ? 1 : 0;
  }
  EXPECT_GT(same, coloured * 9 / 10);
  // No finite value, or axes that are not finite: no picture at all.
  EXPECT_NE(plot_bytes(table_kind("proximity_image"), grid_map(3, 3, "nan"), png("nan.png"), {}), "");
  std::string bad_axes = grid_map(3, 3, "");
  bad_axes.replace(bad_axes.find("-1.000000"), 9, "nan");
  EXPECT_NE(plot_bytes(table_kind("proximity_image"), bad_axes, png("axes.png"), {}), "");
  EXPECT_FALSE(std::filesystem::exists(png("nan.png")) || std::filesystem::exists(png("axes.png")));
  // The phase is left blank where the amplitude is negligible.
  const std::string phase = shift_jis("フーリエ変換後の光の位相") + "\r\n" + grid_map(9, 9, "1.000000");
  PlotOptions masked;
  masked.amplitude_table = shift_jis("フーリエ変換後の波動振幅") + "\r\n" + grid_map(9, 9, "");
  masked.amplitude_table.replace(masked.amplitude_table.find("\t0.000000\t") + 1, 8, "0.000000");
  ASSERT_EQ(plot_bytes(table_kind("spectrum_phase"), phase, png("all.png"), {}), "");
  ASSERT_EQ(plot_bytes(table_kind("spectrum_phase"), phase, png("masked.png"), masked), "");
  // One sample of 81 masked (the amplitude 0 at the first sample).
  EXPECT_LT(read_png(png("masked.png")).share_not_background(), read_png(png("all.png")).share_not_background());
}

}  // namespace
}  // namespace meridox::host

namespace meridox::host {
namespace {

// The window's picture: the shaded window, its rectangle and the EL-DOF
// curve show; a picture with nothing to draw is refused and leaves no file.
TEST(HostPlotWindow, PlaneAndCurveSideBySide) {
  testing::ExchangeFolder folder;
  WindowPicture p;
  p.title = "Window: cd 0.48 +- 10 %";
  p.focus_label = "defocus (um)";
  p.dof_label = "depth of focus (um)";
  for (int k = 0; k <= 40; ++k) {
    const double f = -1 + k / 20.0;
    p.lower.x.push_back(f);
    p.upper.x.push_back(f);
    p.lower.y.push_back(2.8 + 0.1 * f * f);
    p.upper.y.push_back(3.6 - 0.4 * f * f);
  }
  p.contours = {{"cd = 0.432", p.lower.x, p.lower.y}, {"cd = 0.528", p.upper.x, p.upper.y}};
  p.boxes = {{"EL 10 %", -0.7, 0.7, 3.0, 3.3}};
  p.best_focus = 0;
  p.dose_to_size = 3.2;
  p.el_dof = {"", {2, 1.4, 0}, {0, 10, 25}};
  const std::string path = (folder.path() / "w.png").string();
  ASSERT_EQ(plot_process_window(p, path, {}), "");
  const testing::Picture picture = testing::read_png(path);
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 960);
  EXPECT_GT(picture.distinct_colours(), 8u);
  EXPECT_GT(picture.share_not_background(), 0.08);
  EXPECT_NE(plot_process_window(WindowPicture{}, (folder.path() / "none.png").string(), {}), "");
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "none.png"));
}

}  // namespace
}  // namespace meridox::host
