// The engineering metrics against numbers worked out by hand.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/core/calls.hpp"
#include "host/core/image_cut.hpp"
#include "host/core/metrics.hpp"
#include "host/study/process_window.hpp"
#include "host/study/study.hpp"

namespace meridox::host {
namespace {

constexpr double pi = 3.14159265358979323846;

// A map of `rows` equal rows (y = 0, h, 2h, ...) of a function sampled at
// x = x0 + k h, k = 0..n-1.
struct Map {
  std::vector<double> x, y, values;
};
Map rows_of(double (*f)(double), double x0, double h, std::size_t n, std::size_t rows) {
  Map m;
  for (std::size_t k = 0; k < n; ++k) m.x.push_back(x0 + h * static_cast<double>(k));
  for (std::size_t j = 0; j < rows; ++j) {
    m.y.push_back(h * static_cast<double>(j));
    for (const double x : m.x) m.values.push_back(f(x));
  }
  return m;
}

// A band-limited image periodic over its grid: the edges, slopes and peak
// come from the function itself, not from lines between its samples.
TEST(HostMetrics, ImageCutFollowsTheImageBetweenItsSamples) {
  // 0.5 + 0.45 cos(2 pi x / 4) over a period of 4 in 16 samples, none at
  // the peak (x = 0) or the minimum (x = -2).
  auto f = [](double x) { return 0.5 + 0.45 * std::cos(2 * pi * x / 4); };
  const Map m = rows_of(f, -1.9, 0.25, 16, 1);
  CutOptions o;
  o.threshold = 0.3;
  const ImageMetrics r = image_metrics(m.x, m.y, m.values, o, ImageModel::periodic);
  const double edge = 4 / (2 * pi) * std::acos(-0.2 / 0.45);
  const double slope = 0.45 * (2 * pi / 4) * std::sin(std::acos(-0.2 / 0.45));
  EXPECT_EQ(r.state, FeatureState::printed);
  EXPECT_NEAR(r.edge_left, -edge, 1e-12);
  EXPECT_NEAR(r.edge_right, edge, 1e-12);
  EXPECT_NEAR(r.cd, 2 * edge, 1e-12);
  EXPECT_NEAR(r.nils, 2 * edge * slope / 0.3, 1e-10);
  EXPECT_NEAR(r.peak, 0.95, 1e-12);
  EXPECT_NEAR(r.contrast, 0.9, 1e-12);
  // Two harmonics, read anywhere between the samples, and across rows too.
  auto g = [](double x) { return 0.4 + 0.3 * std::cos(2 * pi * x / 4) + 0.1 * std::sin(2 * pi * 3 * x / 4); };
  Map two = rows_of(g, -2.0, 0.25, 16, 8);
  for (std::size_t j = 0; j < 8; ++j) {
    for (std::size_t i = 0; i < 16; ++i) two.values[j * 16 + i] *= 1 + 0.2 * std::cos(2 * pi * two.y[j] / 2);
  }
  CutOptions between;
  between.cut_y = 0.6;
  const Profile p = cut_profile(two.x, two.y, two.values, between, ImageModel::periodic);
  for (const double x : {-1.9, -0.123, 0.77, 1.8}) {
    EXPECT_NEAR(p.value(x), g(x) * (1 + 0.2 * std::cos(2 * pi * 0.6 / 2)), 1e-12) << x;
  }
  // A smooth image that is not periodic follows a cubic spline: the same
  // edges within the spline's error.
  const Map open = rows_of(f, -2.0, 0.1, 41, 1);
  const ImageMetrics s = image_metrics(open.x, open.y, open.values, o, ImageModel::spline);
  EXPECT_NEAR(s.cd, 2 * edge, 2e-4);
  EXPECT_NEAR(s.nils, 2 * edge * slope / 0.3, 2e-3);
}

// Lines of width 0.5 at x = -1, 0, 1 (pitch 1) and their image
// 0.5 + 0.4 cos(2 pi x): what the cut finds, and why a width is nan.
TEST(HostMetrics, ImageCutStatesAndTheFeaturesShare) {
  auto f = [](double x) { return 0.5 + 0.4 * std::cos(2 * pi * x); };
  const Map m = rows_of(f, -2.0, 0.125, 32, 2);
  std::vector<MaskRectangle> lines;
  for (const double c : {-1.0, 0.0, 1.0}) lines.push_back({1, 0, c - 0.25, c + 0.25, -1, 1});
  auto at = [&](double threshold, double x, bool dark, const std::vector<MaskRectangle>& mask) {
    CutOptions o;
    o.threshold = threshold;
    o.cut_x = x;
    o.dark = dark;
    return image_metrics(m.x, m.y, m.values, o, ImageModel::periodic, mask);
  };
  // Printed: cos(2 pi x) >= -1/2 within |x| <= 1/3; peak and contrast of the
  // line's share, from the middle of one space to the next.
  ImageMetrics r = at(0.3, 0.0, false, lines);
  EXPECT_EQ(r.state, FeatureState::printed);
  EXPECT_NEAR(r.cd, 2.0 / 3, 1e-12);
  EXPECT_NEAR(r.mask_width, 0.5, 1e-15);
  EXPECT_NEAR(r.peak, 0.9, 1e-12);
  EXPECT_NEAR(r.contrast, 0.8, 1e-12);
  // The dark space at x = 0.5: I < 0.3 for 1/3 < x < 2/3.
  r = at(0.3, 0.5, true, lines);
  EXPECT_EQ(r.state, FeatureState::printed);
  EXPECT_NEAR(r.edge_left, 1.0 / 3, 1e-12);
  EXPECT_NEAR(r.edge_right, 2.0 / 3, 1e-12);
  // Below the spaces' minimum the run passes the middle of the space: merged;
  // without the mask it reaches the end of the cut.
  r = at(0.05, 0.0, false, lines);
  EXPECT_EQ(r.state, FeatureState::merged);
  EXPECT_TRUE(std::isnan(r.cd) && std::isnan(r.edge_left) && std::isnan(r.nils));
  EXPECT_NEAR(r.peak, 0.9, 1e-12);
  EXPECT_EQ(at(0.05, 0.0, false, {}).state, FeatureState::runs_off);
  // Above the peak: not printed. Within half a sample past the last sample
  // (x = 1.875) the image's next line reaches the cut's end; beyond, the
  // point lies outside. A sample that is not finite: no image.
  EXPECT_EQ(at(0.95, 0.0, false, lines).state, FeatureState::not_printed);
  EXPECT_EQ(at(0.3, 1.93, false, lines).state, FeatureState::runs_off);
  EXPECT_EQ(at(0.3, 1.9376, false, lines).state, FeatureState::outside);
  Map broken = m;
  broken.values[5] = NAN;
  CutOptions o;
  EXPECT_EQ(image_metrics(broken.x, broken.y, broken.values, o, ImageModel::periodic).state, FeatureState::no_image);
  // A vertical cut of the transposed map finds the same line.
  Map t;
  t.x = m.y;
  t.y = m.x;
  for (std::size_t j = 0; j < m.x.size(); ++j) t.values.insert(t.values.end(), {m.values[j], m.values[j]});
  std::vector<MaskRectangle> turned;
  for (const MaskRectangle& q : lines) turned.push_back({1, 0, q.y1, q.y2, q.x1, q.x2});
  o.along = CutAxis::y;
  r = image_metrics(t.x, t.y, t.values, o, ImageModel::periodic, turned);
  EXPECT_NEAR(r.cd, 2.0 / 3, 1e-12);
  EXPECT_NEAR(r.mask_width, 0.5, 1e-15);
  // Named cuts as the study reads them.
  std::string why;
  const auto hole = parse_cut("hole_y=y@1.92,-0.5:dark", CutOptions{}, why);
  ASSERT_TRUE(hole) << why;
  EXPECT_EQ(hole->name, "hole_y");
  EXPECT_EQ(hole->cut.along, CutAxis::y);
  EXPECT_EQ(hole->cut.cut_x, 1.92);
  EXPECT_EQ(hole->cut.cut_y, -0.5);
  EXPECT_TRUE(hole->cut.dark);
  for (const char* bad : {"h=z@0,0", "=x@0,0", "h x=x@0,0", "h=x@0", "h=x@0,0:grey", "h=x@nan,0", "h@x=0,0"}) {
    EXPECT_FALSE(parse_cut(bad, CutOptions{}, why)) << bad;
  }
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
  // Starting at 0 and swinging out without coming back: no overshoot; still
  // out at the end: not settled. Never leaving 0: no swing, no overshoot.
  const StageMetrics z = stage_metrics({0, 1}, {0, 3}, {0, 0}, 1.0);
  EXPECT_EQ(z.overshoot, 0.0);
  EXPECT_EQ(z.first_peak, 3.0);
  EXPECT_TRUE(std::isnan(z.settling_time));
  EXPECT_TRUE(std::isnan(stage_metrics({0, 1}, {0, 0}, {0, 0}, 1.0).overshoot));
  // No finite value: every metric is nan, never 0.
  const StageMetrics n = stage_metrics({0, 1}, {NAN, NAN}, {NAN, NAN}, 1.0);
  EXPECT_TRUE(std::isnan(n.peak_current) && std::isnan(n.rms_current) && std::isnan(n.max_excursion) &&
              std::isnan(n.settling_time));
}

// From rest at zero error a push swings the error out to a first peak; the
// overshoot is the largest swing of the other sign after it. The closing
// window (the last tenth, or the asked length) gives the steady error and
// the residual oscillation; a hold asks the band to be kept that long.
TEST(HostMetrics, StageFirstSwingWindowHoldAndDivergence) {
  std::vector<double> t, e, i;
  for (int k = 0; k <= 100; ++k) {
    t.push_back(k * 0.01);
    // Out to +4 at t = 0.05, back through 0 to -1 at t = 0.15, then a
    // steady 0.25 with a swing of +-0.05 from t = 0.5 on.
    const double x = k <= 5 ? 0.8 * k : k <= 10 ? 4 - 0.8 * (k - 5) : k <= 15 ? -0.2 * (k - 10) : k < 50 ? -0.5 : 0.25 + (k % 2 ? 0.05 : -0.05);
    e.push_back(x);
    i.push_back(0.0);
  }
  StageJudging j;
  j.band = 0.5;
  StageMetrics m = stage_metrics(t, e, i, j);
  EXPECT_DOUBLE_EQ(m.first_peak, 4.0);
  EXPECT_DOUBLE_EQ(m.overshoot, 1.0);
  EXPECT_DOUBLE_EQ(m.overshoot_percent, 25.0);
  EXPECT_DOUBLE_EQ(m.peak_time, 0.05);
  // The last tenth of 0 to 1 s: t = 0.9 to 1, eleven states about 0.25.
  EXPECT_EQ(m.window_states, 11u);
  EXPECT_NEAR(m.steady_error, 0.25 - 0.05 / 11, 1e-12);  // six states at 0.2, five at 0.3
  EXPECT_NEAR(m.residual_oscillation, 0.1, 1e-12);
  EXPECT_FALSE(m.diverged);
  // Within the band (|e| <= 0.5) from t = 0.16 on: -1 at t = 0.15 is out.
  EXPECT_DOUBLE_EQ(m.settling_time, 0.16);
  j.hold = 0.9;  // 0.84 s of the run are left after 0.16: not held long enough
  EXPECT_TRUE(std::isnan(stage_metrics(t, e, i, j).settling_time));
  j.hold = 0.8;
  EXPECT_DOUBLE_EQ(stage_metrics(t, e, i, j).settling_time, 0.16);
  j.window = 0.55;  // t = 0.45 to 1: the last states at -0.5 and those about 0.25
  m = stage_metrics(t, e, i, j);
  EXPECT_EQ(m.window_states, 56u);
  EXPECT_NEAR(m.residual_oscillation, 0.8, 1e-12);

  // Growing without bound: a swing ten times the first peak at the end, or
  // an error that is no longer a number.
  std::vector<double> grow;
  for (int k = 0; k <= 100; ++k) grow.push_back(std::sin(k * 0.7) * std::exp(k * 0.05));
  m = stage_metrics(t, grow, i, StageJudging{});
  EXPECT_TRUE(m.diverged);
  EXPECT_GT(m.window_amplitude, 10 * m.first_peak);
  grow[60] = NAN;
  m = stage_metrics(t, grow, i, StageJudging{});
  EXPECT_TRUE(m.diverged);
  EXPECT_DOUBLE_EQ(m.non_finite_error_time, 0.6);
  // A steady swing of a count or two about 0 after a start within a count is
  // a limit cycle, not a divergence.
  std::vector<double> dither;
  for (int k = 0; k <= 100; ++k) dither.push_back(k == 0 ? 0.4 : (k % 2 ? 1.5 : -1.5));
  j = StageJudging{};
  j.band = 1.0;
  m = stage_metrics(t, dither, i, j);
  EXPECT_FALSE(m.diverged);
  EXPECT_DOUBLE_EQ(m.residual_oscillation, 3.0);
  // The same error with a current that grows e^4 times over the run, some
  // 37 times from the first tenth (up to e^0.4) to the last (e^4): a mode
  // the error does not show runs away. A current growing 1 + 4 t, 3.6
  // times, is no divergence, unless the linearised loop is unstable.
  std::vector<double> current;
  for (int k = 0; k <= 100; ++k) current.push_back((k % 2 ? 1 : -1) * std::exp(4.0 * k / 100));
  m = stage_metrics(t, dither, current, j);
  EXPECT_TRUE(m.diverged && m.current_diverged);
  for (int k = 0; k <= 100; ++k) current[k] = (k % 2 ? 1 : -1) * (1 + 4.0 * k / 100);
  EXPECT_FALSE(stage_metrics(t, dither, current, j).diverged);
  j.loop_unstable = true;
  EXPECT_TRUE(stage_metrics(t, dither, current, j).diverged);
}

TEST(HostMetrics, PlateExtremesKeepTheirSign) {
  const PlateMetrics m = plate_metrics({10, 55, 100}, {0, -0.02, 0.01}, {0.75, -0.15, -0.6}, {0, -0.0003, NAN});
  EXPECT_EQ(m.max_deflection, -0.02);
  EXPECT_EQ(m.max_deflection_r, 55.0);
  EXPECT_EQ(m.max_stress, 0.75);
  EXPECT_EQ(m.max_pitch_error, -0.0003);
  EXPECT_TRUE(std::isnan(plate_metrics({10}, {NAN}, {NAN}, {NAN}).max_deflection));
}

// The hoop moment against two deflections whose moments are known: a
// spherical dish w = c r^2 bends equally both ways (M_theta = M_r), and
// w = c ln r bends the hoops against the radii (M_theta = -M_r), the
// radial moment being the table's -D (w'' + nu w'/r).
TEST(HostMetrics, HoopMomentOfKnownDeflections) {
  const PlateSection s{210.0, 0.3, 2.0};
  const double d = 210.0 * 8 / (12 * (1 - 0.09));
  EXPECT_DOUBLE_EQ(s.rigidity(), d);
  const std::vector<double> r = {10, 20, 40};
  std::vector<double> slope, curvature, radial;
  for (const double x : r) slope.push_back(2e-4 * x), curvature.push_back(2e-4);
  for (std::size_t k = 0; k < r.size(); ++k) radial.push_back(-d * (curvature[k] + 0.3 * slope[k] / r[k]));
  HoopMetrics h = hoop_metrics(r, slope, curvature, s);
  EXPECT_NEAR(h.moment.value, radial[0], 1e-12);
  EXPECT_NEAR(h.stress.value, 6 * radial[0] / 4, 1e-12);
  slope.clear(), curvature.clear(), radial.clear();
  for (const double x : r) slope.push_back(0.01 / x), curvature.push_back(-0.01 / (x * x));
  for (std::size_t k = 0; k < r.size(); ++k) radial.push_back(-d * (curvature[k] + 0.3 * slope[k] / r[k]));
  h = hoop_metrics(r, slope, curvature, s);
  EXPECT_NEAR(h.moment.value, -radial[0], 1e-12);  // largest at the smallest radius
  EXPECT_EQ(h.moment.at, 10.0);
  // Six printed decimals of w' and w'' leave at most D (0.5e-6 / r + nu 0.5e-6).
  EXPECT_NEAR(h.rounding, d * (0.5e-6 / 10 + 0.3 * 0.5e-6), 1e-15);
}

// The exposure-defocus window worked out by hand. Doses 2 and 4
// (thresholds 0.5, 0.25), foci -1, 0, 1; cd rises linearly in log dose,
// from 0.8 to 1.2 at focus 0 and from 0.75 to 1.15 at foci -1 and 1, so
// that with s = log2(dose) - 1 and target 1 +- 10 %, the window at focus f
// (cd linear in f between the foci) runs over s from 0.25 + |f| / 8 to
// 0.75 + |f| / 8.
TEST(ProcessWindow, DoseToSizeLatitudeAndDepthOfFocusByHand) {
  WindowInput in;
  in.focus = {1, 0, -1};  // any order
  in.thresholds = {0.25, 0.5};
  in.features = {{"", 1.0, {{1.15, 1.2, 1.15}, {0.75, 0.8, 0.75}}, {}}};
  in.tolerance = 0.1;
  in.latitudes = {5, 30, 33};
  ProcessWindow w = process_window(in);
  ASSERT_TRUE(w.open) << w.note;
  // One dose holds the whole focus range: best focus is its middle; there
  // cd = 1 at s = 1/2.
  EXPECT_NEAR(w.best_focus, 0.0, 1e-12);
  const double d0 = std::pow(2.0, 1.5);
  EXPECT_NEAR(w.dose_to_size, d0, 1e-12);
  EXPECT_NEAR(w.threshold_to_size, 1 / d0, 1e-12);
  EXPECT_TRUE(w.dose_to_size_reached);
  EXPECT_TRUE(w.reaches_end);
  ASSERT_EQ(w.per_focus.size(), 3u);
  EXPECT_EQ(w.per_focus[0].focus, -1.0);
  EXPECT_NEAR(w.per_focus[0].dose_low, std::pow(2.0, 1.375), 1e-12);
  EXPECT_NEAR(w.per_focus[0].dose_high, std::pow(2.0, 1.875), 1e-12);
  // EL in per cent of the dose to size, not of each focus's own dose.
  EXPECT_NEAR(w.per_focus[1].latitude, (std::pow(2.0, 0.25) - std::pow(2.0, -0.25)) * 100, 1e-9);
  EXPECT_NEAR(w.per_focus[2].latitude, (std::pow(2.0, 0.375) - std::pow(2.0, -0.125)) * 100, 1e-9);
  EXPECT_NEAR(w.per_focus[1].cd_at_dose_to_size, 1.0, 1e-12);
  // DOF at EL e: the rectangle over [-F, F] with 2^(1/8 F) = sqrt(2) - e 2^(1/4),
  // up to the sampled range's ends.
  auto half_dof = [](double e) { return 8 * std::log2(std::sqrt(2.0) - e * std::pow(2.0, 0.25)); };
  ASSERT_EQ(w.requested.size(), 3u);
  EXPECT_NEAR(w.requested[0].depth_of_focus, 2.0, 1e-12);
  EXPECT_TRUE(w.requested[0].reaches_end);
  for (const std::size_t k : {1, 2}) {
    const double e = in.latitudes[k] / 100, f = half_dof(e);
    SCOPED_TRACE(in.latitudes[k]);
    EXPECT_NEAR(w.requested[k].depth_of_focus, 2 * f, 1e-9);
    EXPECT_NEAR(w.requested[k].focus_low, -f, 1e-9);
    EXPECT_FALSE(w.requested[k].reaches_end);
    EXPECT_NEAR(w.requested[k].dose_high - w.requested[k].dose_low, e * d0, 1e-12);
    EXPECT_NEAR(w.requested[k].dose_high, std::pow(2.0, 1.75), 1e-8);
  }
  // The EL-DOF curve falls from the whole range at EL 0 to a single focus.
  ASSERT_GT(w.curve.size(), 10u);
  EXPECT_NEAR(w.curve.front().depth_of_focus, 2.0, 1e-12);
  EXPECT_NEAR(w.curve.back().latitude, w.per_focus[0].latitude, 1e-9);
  for (std::size_t k = 1; k < w.curve.size(); ++k) {
    EXPECT_LE(w.curve[k].depth_of_focus, w.curve[k - 1].depth_of_focus + 1e-12);
  }

  // A nils floor of 3 with nils from 2 at dose 2 to 4 at dose 4: the window
  // starts at s = 1/2 near best focus.
  in.features[0].nils = {{4, 4, 4}, {2, 2, 2}};
  in.min_nils = 3;
  w = process_window(in);
  EXPECT_NEAR(w.per_focus[1].dose_low, d0, 1e-12);
  EXPECT_NEAR(w.per_focus[1].latitude, (std::pow(2.0, 0.25) - 1) * 100, 1e-9);
  // A width that cannot be measured (merged) closes the window there.
  in.min_nils = no_value;
  in.features[0].cd[0][0] = NAN;  // dose 4 at focus 1
  w = process_window(in);
  EXPECT_TRUE(std::isnan(w.per_focus[2].dose_low));
  EXPECT_NEAR(w.per_focus[0].dose_low, std::pow(2.0, 1.375), 1e-12);
  // No dose and focus hold the target: no window is a result, not a failure.
  in.features[0].target = 2;
  w = process_window(in);
  EXPECT_FALSE(w.open);
  EXPECT_EQ(w.note.rfind("no window", 0), 0u) << w.note;
  EXPECT_TRUE(std::isnan(w.best_focus) && std::isnan(w.per_focus[1].latitude));
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

namespace meridox::host {

// A stage table read as it streams gives the metrics of the same history
// held whole, whatever forms its lines take (as the calculators print them,
// exponents, long digit runs, no CR, blank lines, fewer or more columns)
// and wherever the blocks it is read in cut them; a line whose needed
// fields are not all numbers fails the whole table.
TEST(HostStageStream, ReadsWhatTheWholeTableHolds) {
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / ("meridox-stream-" + std::to_string(getpid()) + ".txt");
  const StageColumns columns{1, 2};
  std::mt19937_64 random(20261209);
  auto read_back = [](const char* field) { return std::strtod(field, nullptr); };
  for (int trial = 0; trial < 5; ++trial) {
    std::string text = "t\terror\tcurrent\tspeed\r\n";
    std::vector<double> t, e, i;
    for (int row = 0, rows = 3000 + 1777 * trial; row < rows; ++row) {
      const double values[] = {row * 1e-4, std::ldexp(static_cast<double>(random() % 2'000'001) - 1e6, -22),
                               (static_cast<double>(random() % 200'001) - 1e5) / 997.0};
      const char* formats[] = {"%.6f\t%.6f\t%.6f\t0.5\r\n", "%.6f\t%.9e\t%.6f\r\n", "%.6f\t%.6f\t%.6f\n",
                               "%.17g\t%.17g\t%.17g\t1\t2\r\n", "%.6f\t%.6f\t%.3f\r\n"};
      const int form = static_cast<int>(random() % 6);
      if (form == 5) {
        text += "\r\n";  // a blank line holds no state
        continue;
      }
      char line[200], field[3][64];
      std::snprintf(line, sizeof line, formats[form], values[0], values[1], values[2]);
      text += line;
      std::sscanf(line, "%63[^\t]\t%63[^\t]\t%63[^\t\r\n]", field[0], field[1], field[2]);
      t.push_back(read_back(field[0]));
      e.push_back(read_back(field[1]));
      i.push_back(read_back(field[2]));
    }
    { std::ofstream(file, std::ios::binary) << text; }
    StageColumns ending = columns;  // the run ends at its last state
    ending.end_time = t.back();
    const std::optional<StageMetrics> streamed = stream_stage_metrics(file, ending);
    ASSERT_TRUE(streamed) << "trial " << trial;
    const StageMetrics whole = stage_metrics(t, e, i, ending.judging(true));
    EXPECT_EQ(streamed->states, t.size());
    for (const auto member : {&StageMetrics::final_error, &StageMetrics::settling_time, &StageMetrics::max_excursion,
                              &StageMetrics::peak_time, &StageMetrics::overshoot, &StageMetrics::steady_error,
                              &StageMetrics::peak_current, &StageMetrics::rms_current, &StageMetrics::final_time}) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>((*streamed).*member), std::bit_cast<std::uint64_t>(whole.*member))
          << "trial " << trial;
    }
  }
  for (const char* bad : {"0.1\t0.2\r\t0.3\r\n", "0.1\t0.2\t0.3\r9\r\n", "0.1\t\t0.3\r\n", "0.1\t0.2\r\n", "0.1\t0.2\t0.3x\r\n"}) {
    { std::ofstream(file, std::ios::binary) << "t\te\ti\r\n0.0\t0.0\t0.0\r\n" << bad << "0.2\t0.0\t0.0\r\n"; }
    EXPECT_FALSE(stream_stage_metrics(file, columns)) << bad;
  }
  fs::remove(file);
}

}  // namespace meridox::host
