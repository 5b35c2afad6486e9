// The engineering metrics against numbers worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/core/metrics.hpp"
#include "host/study/process_window.hpp"
#include "host/study/study.hpp"

namespace meridox::host {
namespace {

TEST(HostMetrics, ImageCutEdgesWidthLogSlopeAndContrast) {
  // A bright line from x = -1 to 1 on a 0.5 grid, threshold 0.3.
  const std::vector<double> x = {-2, -1.5, -1, -0.5, 0, 0.5, 1, 1.5, 2};
  const std::vector<double> row = {0.1, 0.2, 0.4, 0.8, 1.0, 0.8, 0.6, 0.2, 0.1};
  CutOptions o;
  const ImageMetrics m = cut_metrics(x, row, o);
  // Left edge between -1.5 (0.2) and -1 (0.4): -1.25; right between 1 (0.6) and 1.5 (0.2): 1.375.
  EXPECT_DOUBLE_EQ(m.edge_left, -1.25);
  EXPECT_DOUBLE_EQ(m.edge_right, 1.375);
  EXPECT_DOUBLE_EQ(m.cd, 2.625);
  // Slopes 0.2/0.5/0.3 and 0.4/0.5/0.3.
  EXPECT_NEAR(m.nils, 2.625 * (0.4 / 0.3 + 0.8 / 0.3) / 2, 1e-12);
  EXPECT_DOUBLE_EQ(m.contrast, 0.9 / 1.1);
  // A centre below the threshold: no feature, width 0; a dark tone measures the gap.
  o.cut_x = 2;
  const ImageMetrics none = cut_metrics(x, row, o);
  EXPECT_EQ(none.cd, 0.0);
  EXPECT_TRUE(std::isnan(none.edge_left) && std::isnan(none.nils));
  o.dark = true;
  o.cut_x = -2;  // the dark run reaches the row's end: not measurable
  EXPECT_TRUE(std::isnan(cut_metrics(x, row, o).cd));
  // Ties go to the lower index, for the cut row as for the centre.
  EXPECT_EQ(nearest_index({-1, 1}, 0.0), 0u);
  const std::vector<double> map = {0, 0, 0, 1, 1, 1};
  EXPECT_EQ(image_metrics({-1, 0, 1}, {-1, 1}, map, {}).row, 0u);
  EXPECT_TRUE(std::isnan(image_metrics({-1, 0, 1}, {-1, 1}, {NAN, NAN, NAN, NAN, NAN, NAN}, {}).peak));
}

TEST(HostMetrics, StageSettlingOvershootCurrentAndNan) {
  const std::vector<double> t = {0, 1, 2, 3, 4, 5};
  const std::vector<double> e = {4, -2, 0.5, -1.5, 0.9, 0.2};
  const std::vector<double> i = {3, -4, 1, NAN, 0, 0};
  const StageMetrics m = stage_metrics(t, e, i, 1.0);
  EXPECT_EQ(m.settling_time, 4.0);
  EXPECT_EQ(m.final_error, 0.2);
  EXPECT_EQ(m.max_excursion, 4.0);
  EXPECT_EQ(m.overshoot, 2.0);  // e starts positive: the largest swing below 0
  EXPECT_EQ(m.peak_current, -4.0);
  EXPECT_EQ(m.peak_current_time, 1.0);
  EXPECT_DOUBLE_EQ(m.rms_current, std::sqrt((9.0 + 16 + 1) / 5));  // the nan does not count
  EXPECT_EQ(m.non_finite, 1u);
  // Starting at 0: no overshoot is defined; still out at the end: not settled.
  const StageMetrics z = stage_metrics({0, 1}, {0, 3}, {0, 0}, 1.0);
  EXPECT_TRUE(std::isnan(z.overshoot));
  EXPECT_TRUE(std::isnan(z.settling_time));
  // No finite value: every metric is nan, never 0.
  const StageMetrics n = stage_metrics({0, 1}, {NAN, NAN}, {NAN, NAN}, 1.0);
  EXPECT_TRUE(std::isnan(n.peak_current) && std::isnan(n.rms_current) && std::isnan(n.max_excursion) &&
              std::isnan(n.settling_time));
}

TEST(HostMetrics, PlateExtremesKeepTheirSign) {
  const PlateMetrics m = plate_metrics({10, 55, 100}, {0, -0.02, 0.01}, {0.75, -0.15, -0.6}, {0, -0.0003, NAN});
  EXPECT_EQ(m.max_deflection, -0.02);
  EXPECT_EQ(m.max_deflection_r, 55.0);
  EXPECT_EQ(m.max_stress, 0.75);
  EXPECT_EQ(m.max_pitch_error, -0.0003);
  EXPECT_TRUE(std::isnan(plate_metrics({10}, {NAN}, {NAN}, {NAN}).max_deflection));
}

// The process window worked out by hand: a parabola of cd through focus
// meets the 10 % limit 0.55 between its samples; flat cds over three
// thresholds give the exposure latitude from the interpolated thresholds.
TEST(ProcessWindow, DepthOfFocusBestFocusAndExposureLatitude) {
  const std::vector<double> focus{-2, -1, 0, 1, 2};
  std::vector<WindowRow> w = process_window(focus, {0.3}, {{0.6, 0.52, 0.5, 0.52, 0.6}}, 0.5, 0.1);
  ASSERT_EQ(w.size(), 1u);
  EXPECT_DOUBLE_EQ(w[0].focus_low, -1.375);
  EXPECT_DOUBLE_EQ(w[0].focus_high, 1.375);
  EXPECT_DOUBLE_EQ(w[0].depth_of_focus, 2.75);
  EXPECT_DOUBLE_EQ(w[0].best_focus, 0.0);
  EXPECT_TRUE(std::isnan(w[0].exposure_latitude));  // a single threshold

  // The longer of two runs counts; a nan sample ends a run where it is.
  w = process_window(focus, {0.3}, {{0.5, NAN, 0.5, 0.5, 0.5}}, 0.5, 0.1);
  EXPECT_DOUBLE_EQ(w[0].focus_low, 0.0);
  EXPECT_DOUBLE_EQ(w[0].focus_high, 2.0);
  EXPECT_DOUBLE_EQ(w[0].best_focus, 1.0);

  const std::vector<double> flat_low(5, 0.6), flat(5, 0.5), flat_high(5, 0.4);
  w = process_window(focus, {0.2, 0.3, 0.4}, {flat_low, flat, flat_high}, 0.5, 0.1);
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0].depth_of_focus, 0.0);
  EXPECT_TRUE(std::isnan(w[0].best_focus));
  EXPECT_DOUBLE_EQ(w[1].depth_of_focus, 4.0);
  // Thresholds 0.25 to 0.35 hold the cd: doses 4 to 2.857 against 3.333.
  EXPECT_NEAR(w[1].exposure_latitude, (1 / 0.25 - 1 / 0.35) * 0.3 * 100, 1e-9);
  EXPECT_TRUE(std::isnan(w[2].exposure_latitude));
}

// Values written into sheets and tables read back as the same double.
TEST(StudyNumbers, ShortestTextAndVariedValues) {
  EXPECT_EQ(number_text(0.1), "0.1");
  EXPECT_EQ(number_text(-NAN), "nan");
  EXPECT_EQ(number_text(-INFINITY), "-inf");
  EXPECT_EQ(number_text(2000), "2000");
  std::string why;
  const auto range = parse_vary("defocus=-1:1:5", why);
  ASSERT_TRUE(range) << why;
  EXPECT_EQ(range->values, (std::vector<double>{-1, -0.5, 0, 0.5, 1}));
  const auto third = parse_vary("x=0:0.3:4", why);
  EXPECT_EQ(third->values.back(), 0.3);  // the end exactly as given
  EXPECT_EQ(parse_vary("gap=10,2e1, 30", why)->values, (std::vector<double>{10, 20, 30}));
  // Ends whose difference overflows still give finite values between them.
  EXPECT_EQ(parse_vary("x=1e308:-1e308:3", why)->values, (std::vector<double>{1e308, 0, -1e308}));
  for (const char* bad : {"gap", "gap=", "gap=1:2", "gap=1:2:0", "gap=1:2:1.5", "gap=a,b", "gap=0:inf:3"}) {
    EXPECT_FALSE(parse_vary(bad, why)) << bad;
  }
}

}  // namespace
}  // namespace meridox::host
