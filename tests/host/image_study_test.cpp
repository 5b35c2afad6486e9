// The image metrics and the exposure-defocus window as a lithographer meets
// them through `meridox run` and `meridox study`: widths that do not move
// with the sampling grid, cuts outside the image refused, and the window's
// table, record and picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "command_runner.hpp"
#include "support/harness.hpp"

namespace {

namespace fs = std::filesystem;

using Result = meridox::testing::CommandResult;
using meridox::testing::slurp;

// A CSV file of ours (no field quoted) as rows of named fields.
std::vector<std::map<std::string, std::string>> read_csv(const fs::path& path) {
  std::stringstream in(slurp(path));
  std::vector<std::string> header;
  std::vector<std::map<std::string, std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::stringstream cells(line);
    for (std::string f; std::getline(cells, f, ',');) fields.push_back(f);
    if (header.empty()) {
      header = fields;
      continue;
    }
    std::map<std::string, std::string> row;
    for (std::size_t k = 0; k < header.size() && k < fields.size(); ++k) row[header[k]] = fields[k];
    rows.push_back(row);
  }
  return rows;
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::size_t lines(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

class ImageStudy : public ::testing::Test {
 protected:
  meridox::testing::ExchangeFolder scratch;
  fs::path dir() const { return scratch.path(); }
  Result meridox(const std::string& args) const { return meridox::testing::run_command(dir(), MERIDOX_EXE, args); }
};

// The projection example's mask on a grid `scale` times as fine over the
// same window: 64 scale samples of 0.08 / scale um, the edges in samples
// times scale.
std::string same_window(double scale) {
  std::ostringstream s;
  s << "--set grid_size=" << 64 * scale << " --set pitch=" << 0.08 / scale;
  const double edges[4][4] = {{-15, -9, -16, 16}, {-3, 3, -16, 16}, {9, 15, -16, 16}, {20, 28, -4, 4}};
  const char* names[4] = {"rect_x1", "rect_x2", "rect_y1", "rect_y2"};
  for (int q = 0; q < 4; ++q) {
    for (int k = 0; k < 4; ++k) s << " --set " << names[k] << "[" << q << "]=" << edges[q][k] * scale;
  }
  return s.str();
}

// Through a fine focus scan the width and log slope change smoothly and a
// grid of 32 samples of 0.16 um gives what one of 128 samples of 0.04 um
// gives over the same window.
TEST_F(ImageStudy, WidthAndLogSlopeDoNotMoveWithTheGrid) {
  const std::string scan = " --vary defocus=0:0.6:25 --threshold 0.3 --no-pictures -j 2";
  const Result coarse = meridox("study projection " + same_window(0.5) + scan + " -o coarse");
  const Result fine = meridox("study projection " + same_window(2) + scan + " -o fine");
  ASSERT_EQ(coarse.status, 0) << coarse.err;
  ASSERT_EQ(fine.status, 0) << fine.err;
  const auto a = read_csv(dir() / "coarse" / "study.csv"), b = read_csv(dir() / "fine" / "study.csv");
  ASSERT_EQ(a.size(), 25u);
  ASSERT_EQ(b.size(), 25u);
  std::vector<double> nils;
  for (std::size_t k = 0; k < a.size(); ++k) {
    SCOPED_TRACE("defocus " + a[k].at("defocus"));
    ASSERT_EQ(a[k].at("feature"), "printed");
    for (const char* metric : {"cd", "nils", "peak"}) {
      EXPECT_NEAR(number(a[k].at(metric)), number(b[k].at(metric)), 1e-3 * number(b[k].at(metric))) << metric;
    }
    nils.push_back(number(a[k].at("nils")));
  }
  // No jump as an edge crosses a sample: second differences of a smooth
  // curve sampled every 0.025 um stay far below a per cent of it.
  for (std::size_t k = 1; k + 1 < nils.size(); ++k) {
    EXPECT_LT(std::fabs(nils[k + 1] - 2 * nils[k] + nils[k - 1]), 0.01 * nils[k]) << k;
  }
  EXPECT_LT(nils.back(), 0.9 * nils.front());  // and it does fall with defocus
}

// A cut's point outside the image is refused before anything runs; --unit
// gives the point in its unit; merged lines are nan with their reason.
TEST_F(ImageStudy, CutsOutsideTheImageAreRefusedAndInsideMeasured) {
  for (const char* args : {"run projection --cut-x 2.6 --out o", "run projection --cut-y -2610 --unit nm --out o",
                           "study projection --vary defocus=0 --cut hole=x@1.92,3 --out o",
                           "run proximity --cut-x 12.5 --out o"}) {
    const Result r = meridox(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find("lies outside the image"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir() / "o")) << args;
  }
  const Result um = meridox("run projection --cut-x 1.92 --out a --no-pictures");
  const Result nm = meridox("run projection --cut-x 1920 --unit nm --out b --no-pictures");
  ASSERT_EQ(um.status, 0) << um.err;
  const std::size_t at = um.out.find("  cd ");
  ASSERT_NE(at, std::string::npos) << um.out;
  EXPECT_NE(nm.out.find(um.out.substr(at, um.out.find('\n', at) - at)), std::string::npos) << nm.out;
  // Within half a sample past the last one the point is on the periodic image.
  EXPECT_EQ(meridox("run projection --cut-x 2.51 --out c --no-pictures").status, 0);
  // plot refuses a point outside the table's samples.
  const Result plot = meridox("plot a/OUT_M.txt --cut-y 2.53");
  EXPECT_EQ(plot.status, 2) << plot.err;
  // The default cut, not asked for, is not refused: it has no width there.
  const Result away = meridox("run proximity --set x_start=5 --set x_end=10 --out p --no-pictures");
  EXPECT_EQ(away.status, 0) << away.err;
  EXPECT_NE(away.out.find("cd nan (the cut's point lies outside the image)"), std::string::npos) << away.out;

  // At defocus -1.5 and threshold 0.25 the three lines print as one run:
  // merged, no width; the hole measured across and along y has one.
  const Result s = meridox(
      "study projection --vary defocus=-1.5,0 --threshold 0.25 --cut line=x@0,0 --cut hole_y=y@1.92,0 --no-pictures "
      "-o merged");
  ASSERT_EQ(s.status, 0) << s.err;
  const auto rows = read_csv(dir() / "merged" / "study.csv");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].at("cut"), "line");
  EXPECT_EQ(rows[0].at("feature"), "merged");
  EXPECT_EQ(rows[0].at("cd"), "nan");
  EXPECT_EQ(rows[0].at("nils"), "nan");
  EXPECT_LT(number(rows[0].at("contrast")), 0.5);
  EXPECT_EQ(rows[1].at("cut"), "hole_y");
  EXPECT_EQ(rows[1].at("mask_width"), "0.64");
  EXPECT_EQ(rows[2].at("feature"), "printed");
  EXPECT_NEAR(number(rows[2].at("cd")), 0.52, 0.01);  // 0.48 um on the mask, wider at this threshold
  EXPECT_EQ(rows[3].at("feature"), "printed");
  EXPECT_NEAR(number(rows[3].at("cd")), 0.68, 0.01);
}

// The window of the example's middle line, checked against the study's own
// rows: the dose to size where cd crosses the target at best focus, the
// window's doses where it crosses the limits, interpolated in log dose.
TEST_F(ImageStudy, TheExposureDefocusWindowFromTheStudysOwnRows) {
  const Result r = meridox(
      "study projection --vary defocus=-1:1:11 --threshold 0.2:0.4:9 --target-cd 0.48 --el 5,10 --size 480x360 "
      "-j 2 -o w");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("best focus 0 um"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DOF at EL 10 %: "), std::string::npos) << r.out;
  const auto rows = read_csv(dir() / "w" / "study.csv");
  ASSERT_EQ(rows.size(), 99u);
  // cd against log dose at defocus 0 (case 05), thresholds descending = doses ascending.
  std::vector<double> u, cd;
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    if ((*it).at("case") != "05") continue;
    u.push_back(-std::log(number((*it).at("threshold"))));
    cd.push_back(number((*it).at("cd")));
  }
  ASSERT_EQ(u.size(), 9u);
  auto dose_where = [&](double level) {
    for (std::size_t t = 0; t + 1 < u.size(); ++t) {
      if ((cd[t] - level) * (cd[t + 1] - level) <= 0) {
        return std::exp(u[t] + (u[t + 1] - u[t]) * (level - cd[t]) / (cd[t + 1] - cd[t]));
      }
    }
    return std::nan("");
  };
  const nlohmann::json info = nlohmann::json::parse(slurp(dir() / "w" / "study.json"));
  const nlohmann::json& w = info.at("process_window");
  EXPECT_TRUE(w.at("open").get<bool>());
  EXPECT_NEAR(w.at("best_focus").get<double>(), 0.0, 1e-9);
  const double d0 = dose_where(0.48);
  EXPECT_NEAR(w.at("dose_to_size").get<double>(), d0, 1e-9 * d0);
  const auto focus = read_csv(dir() / "w" / "process-window.csv");
  ASSERT_EQ(focus.size(), 11u);
  EXPECT_EQ(focus[5].at("defocus"), "0");
  const double low = dose_where(0.432), high = dose_where(0.528);
  EXPECT_NEAR(number(focus[5].at("dose_low")), low, 1e-9 * low);
  EXPECT_NEAR(number(focus[5].at("dose_high")), high, 1e-9 * high);
  EXPECT_NEAR(number(focus[5].at("exposure_latitude_percent")), (high - low) / d0 * 100, 1e-7);
  // The DOF at 10 % EL lies within the focus range whose own latitude is 10 % or more.
  const nlohmann::json& ten = w.at("depth_of_focus").at(1);
  EXPECT_EQ(ten.at("exposure_latitude_percent").get<double>(), 10.0);
  for (const auto& row : focus) {
    const double f = number(row.at("defocus"));
    if (f > ten.at("focus_low").get<double>() && f < ten.at("focus_high").get<double>()) {
      EXPECT_GE(number(row.at("exposure_latitude_percent")), 10.0) << f;
    }
  }
  EXPECT_GT(read_csv(dir() / "w" / "el-dof.csv").size(), 10u);
  EXPECT_GT(fs::file_size(dir() / "w" / "process-window.png"), 1000u);

  // No window is a result: exit 0, the table and record say so.
  const Result none = meridox("study projection --vary defocus=-1:1:3 --threshold 0.3,0.35 --target-cd 2 "
                              "--no-pictures -o none");
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_NE(none.out.find("no window"), std::string::npos) << none.out;
  EXPECT_FALSE(nlohmann::json::parse(slurp(dir() / "none" / "study.json")).at("process_window").at("open").get<bool>());
  EXPECT_EQ(read_csv(dir() / "none" / "process-window.csv").at(1).at("dose_low"), "nan");
  // A window of a study that varies more than the focus, or of a cut the
  // study does not have, is refused before anything runs.
  for (const char* args : {"study projection --vary defocus=0,1 --vary sigma=0.3,0.5 --target-cd 0.48 -o x",
                           "study projection --vary defocus=0,1 --cut a=x@0,0 --target-cd b=0.48 -o x",
                           "study projection --vary defocus=0,1 --threshold 0.3:0.2:0 -o x"}) {
    const Result bad = meridox(args);
    EXPECT_EQ(bad.status, 2) << args;
    EXPECT_EQ(lines(bad.err), 1u) << bad.err;
    EXPECT_FALSE(fs::exists(dir() / "x")) << args;
  }
}

// The window worked out here from the study's own rows: at each focus the
// run of thresholds whose cd is within 10 % of 0.48 um (many of them at best
// focus), widened to where cd, linear in log dose, meets the limits; the
// latitude in per cent of the dose to size. The ends of the focus range
// hold a latitude of some 40 %, so every latitude below it holds the whole
// range, and the EL-DOF curve ends at the latitude of best focus.
TEST_F(ImageStudy, TheWindowOverManyThresholdsInToleranceByHand) {
  const Result r = meridox("study projection --vary defocus=-0.4,0,0.4 --threshold 0.2:0.4:21 --target-cd 0.48 "
                           "--el 5,30 --no-pictures -o w");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = read_csv(dir() / "w" / "study.csv");
  ASSERT_EQ(rows.size(), 63u);
  const double target = 0.48, low_cd = 0.432, high_cd = 0.528;
  struct Focus {
    double focus, dose_low, dose_high;
  };
  std::vector<Focus> windows;
  double dose_to_size = NAN;
  for (const char* focus : {"-0.4", "0", "0.4"}) {
    SCOPED_TRACE(focus);
    // Doses ascending: thresholds descending.
    std::vector<double> u, cd;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      if (it->at("defocus") != focus) continue;
      u.push_back(-std::log(number(it->at("threshold"))));
      cd.push_back(number(it->at("cd")));
    }
    ASSERT_EQ(u.size(), 21u);
    std::size_t first = u.size(), last = 0;
    for (std::size_t t = 0; t < u.size(); ++t) {
      if (std::fabs(cd[t] - target) <= 0.1 * target) first = std::min(first, t), last = t;
    }
    ASSERT_GE(last, first + 2);  // three thresholds or more in tolerance
    ASSERT_TRUE(first > 0 && last + 1 < u.size());
    for (std::size_t t = first; t <= last; ++t) ASSERT_LE(std::fabs(cd[t] - target), 0.1 * target) << t;
    // cd falls with dose here: the low dose meets the upper limit.
    auto meet = [&](std::size_t t, double level) {
      return u[t] + (u[t + 1] - u[t]) * (level - cd[t]) / (cd[t + 1] - cd[t]);
    };
    const double up = cd[first - 1] > high_cd ? high_cd : low_cd, down = cd[last + 1] < low_cd ? low_cd : high_cd;
    windows.push_back({number(focus), std::exp(meet(first - 1, up)), std::exp(meet(last, down))});
    if (std::string(focus) == "0") {
      for (std::size_t t = first; t < last; ++t) {
        if ((cd[t] - target) * (cd[t + 1] - target) <= 0) dose_to_size = std::exp(meet(t, target));
      }
    }
  }
  ASSERT_TRUE(std::isfinite(dose_to_size));
  const nlohmann::json w = nlohmann::json::parse(slurp(dir() / "w" / "study.json")).at("process_window");
  EXPECT_EQ(w.at("best_focus").get<double>(), 0.0);
  EXPECT_NEAR(w.at("dose_to_size").get<double>(), dose_to_size, 1e-9 * dose_to_size);
  const auto table = read_csv(dir() / "w" / "process-window.csv");
  ASSERT_EQ(table.size(), 3u);
  double widest = 0, end_low = 0, end_high = INFINITY, end_latitude = INFINITY;
  for (std::size_t k = 0; k < 3; ++k) {
    const Focus& f = windows[k];
    const double latitude = (f.dose_high - f.dose_low) / dose_to_size * 100;
    EXPECT_EQ(number(table[k].at("defocus")), f.focus);
    EXPECT_NEAR(number(table[k].at("dose_low")), f.dose_low, 1e-9 * f.dose_low) << f.focus;
    EXPECT_NEAR(number(table[k].at("dose_high")), f.dose_high, 1e-9 * f.dose_high) << f.focus;
    EXPECT_NEAR(number(table[k].at("exposure_latitude_percent")), latitude, 1e-7) << f.focus;
    widest = std::max(widest, latitude);
    if (f.focus != 0) {
      end_low = std::max(end_low, f.dose_low), end_high = std::min(end_high, f.dose_high);
      end_latitude = std::min(end_latitude, latitude);
    }
  }
  ASSERT_GT(end_latitude, 30.0);
  ASSERT_GT(widest, end_latitude);
  for (const nlohmann::json& dof : w.at("depth_of_focus")) {
    const double el = dof.at("exposure_latitude_percent").get<double>();
    SCOPED_TRACE(el);
    EXPECT_EQ(dof.at("depth_of_focus").get<double>(), 0.8);
    EXPECT_EQ(dof.at("focus_low").get<double>(), -0.4);
    EXPECT_TRUE(dof.at("reaches_focus_end").get<bool>());
    const double lo = dof.at("dose_low").get<double>(), hi = dof.at("dose_high").get<double>();
    EXPECT_NEAR(hi - lo, el / 100 * dose_to_size, 1e-9 * dose_to_size);
    EXPECT_GE(lo, end_low * (1 - 1e-12));
    EXPECT_LE(hi, end_high * (1 + 1e-12));
  }
  const auto curve = read_csv(dir() / "w" / "el-dof.csv");
  ASSERT_FALSE(curve.empty());
  EXPECT_NEAR(number(curve.back().at("exposure_latitude_percent")), widest, 1e-7);
}

// Sigma values whose source points round to the same whole samples give
// the same image, and the study says so once before its cases, as one of
// its warnings: in study.json, and refused by --strict.
TEST_F(ImageStudy, RepeatedImagesOfASigmaSweepAreTold) {
  // 0.565 and 0.575 both act as sigma 0.5706 (outer points 4 samples out,
  // inner 2, of a pupil radius of 7.01 samples), near enough for no sheet
  // of theirs to warn: the only warning is that of the two cases together.
  const std::string alike = "study projection --set sigma=0.57 --vary sigma=0.565,0.575 --no-pictures";
  Result r = meridox(alike + " -o alike");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(", 1 warning,"), std::string::npos) << r.out;
  const nlohmann::json warnings = nlohmann::json::parse(slurp(dir() / "alike" / "study.json")).at("warnings");
  ASSERT_EQ(warnings.size(), 1u) << warnings;
  EXPECT_EQ(warnings[0].at("code"), "repeated-images");
  EXPECT_EQ(warnings[0].at("cases"), "the cases together");
  r = meridox(alike + " --strict -o strict");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("warning [repeated-images]: the study's 2 cases give 1 distinct image:"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("--strict: 1 warning; no case was run"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir() / "strict" / "study.csv"));

  // sigma R / 2 = 1.75 to 1.82 (shift 2) and sigma R = 3.51 to 3.65 (shift 4)
  // for 0.5 to 0.52; 0.3 moves them by 1 and 2.
  r = meridox("study projection --vary sigma=0.3,0.5,0.51,0.52 --no-pictures -o s");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("warning [repeated-images]: the study's 4 cases give 2 distinct images"), std::string::npos)
      << r.err;
  const auto rows = read_csv(dir() / "s" / "study.csv");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].at("cd"), rows[3].at("cd"));
  EXPECT_NE(rows[0].at("cd"), rows[1].at("cd"));
  EXPECT_EQ(meridox("study projection --vary defocus=0,0.1 --no-pictures -o d").err.find("repeated-images"),
            std::string::npos);
}

// A bias study: the middle line's two edges varied together, value for
// value, and its MEEF, the slope of cd against the mask width, per focus and
// dose from the study's own rows.
TEST_F(ImageStudy, MaskErrorOfABiasStudy) {
  const Result r = meridox(
      "study projection --vary defocus=0,0.5 --vary 'rect_x1[1]=-2.75:-3.25:3;rect_x2[1]=2.75:3.25:3' "
      "--threshold 0.3,0.35 --no-pictures -o b");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("mask error enhancement"), std::string::npos) << r.out;
  const auto rows = read_csv(dir() / "b" / "study.csv");
  ASSERT_EQ(rows.size(), 12u);  // 2 foci x 3 biases x 2 thresholds, not 2 x 3 x 3 x 2
  EXPECT_EQ(rows[2].at("rect_x1[1]"), "-3");
  EXPECT_EQ(rows[2].at("rect_x2[1]"), "3");
  const auto meef = read_csv(dir() / "b" / "meef.csv");
  ASSERT_EQ(meef.size(), 4u);
  for (const auto& m : meef) {
    SCOPED_TRACE(m.at("defocus") + " " + m.at("threshold"));
    std::vector<double> w, cd;
    for (const auto& row : rows) {
      if (row.at("defocus") == m.at("defocus") && row.at("threshold") == m.at("threshold")) {
        w.push_back(number(row.at("mask_width")));
        cd.push_back(number(row.at("cd")));
      }
    }
    ASSERT_EQ(w.size(), 3u);
    EXPECT_NEAR(w[2] - w[0], 0.08, 1e-12);  // 5.5 to 6.5 samples of 0.08 um
    const double mw = (w[0] + w[1] + w[2]) / 3, mc = (cd[0] + cd[1] + cd[2]) / 3;
    double sxy = 0, sxx = 0;
    for (int k = 0; k < 3; ++k) sxy += (w[k] - mw) * (cd[k] - mc), sxx += (w[k] - mw) * (w[k] - mw);
    EXPECT_NEAR(number(m.at("meef")), sxy / sxx, 1e-9);
    EXPECT_EQ(m.at("points"), "3");
  }
  const Result uneven = meridox("study projection --vary 'rect_x1[1]=-3,-4;rect_x2[1]=3,4,5' -o u");
  EXPECT_EQ(uneven.status, 2);
  EXPECT_EQ(lines(uneven.err), 1u) << uneven.err;
}

}  // namespace
