// Pictures: decoded and checked for their size and for showing something.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "host/plot.hpp"
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
  ASSERT_EQ(plot_table(TableKind::image, spot_map(), png("map.png"), options), "");
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
  ASSERT_EQ(plot_table(TableKind::stage, stage_series(), png("stage.png"), options), "");
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
  ASSERT_EQ(plot_table(TableKind::plate, plate, png("plate.png"), options), "");
  const testing::Picture picture = read_png(png("plate.png"));
  ASSERT_TRUE(picture.ok);
  EXPECT_EQ(picture.width, 960);
  EXPECT_GT(picture.distinct_colours(), 3u);
}

TEST_F(HostPlot, FlatAndNonFiniteMapsStillDraw) {
  const std::string flat = "\t0.000000\t1.000000\t\r\n0.000000\t0.000000\t0.000000\t\r\n"
                           "1.000000\t0.000000\t0.000000\t\r\n";
  ASSERT_EQ(plot_table(TableKind::proximity_image, flat, png("flat.png"), {}), "");
  EXPECT_TRUE(read_png(png("flat.png")).ok);
  const std::string odd = "\t0.000000\t1.000000\t\r\n0.000000\tnan\tinf\t\r\n1.000000\t-inf\t0.500000\t\r\n";
  ASSERT_EQ(plot_table(TableKind::proximity_image, odd, png("odd.png"), {}), "");
  EXPECT_TRUE(read_png(png("odd.png")).ok);
}

TEST_F(HostPlot, RefusesWhatItCannotDrawAndLeavesNoFile) {
  EXPECT_NE(plot_table(TableKind::empty, "", png("a.png"), {}), "");
  EXPECT_NE(plot_table(TableKind::proximity_image, "\t1.0\t\r\n0.0\tx\t\r\n", png("b.png"), {}), "");
  EXPECT_NE(plot_table(TableKind::stage, shift_jis("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)") + "\r\n",
                       png("c.png"), {}),
            "");
  PlotOptions tiny;
  tiny.width = 10;
  EXPECT_NE(plot_table(TableKind::image, spot_map(), png("d.png"), tiny), "");
  for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) {
    EXPECT_FALSE(std::filesystem::exists(png(name))) << name;
  }
}

}  // namespace
}  // namespace meridox::host
