// The linearised stage loop against the simulators themselves: the gains at
// which a simulated stage stops settling agree with the predicted margins,
// its ringing with the predicted poles; the sheet check's warnings on the
// step; a diverging run and study as a user meets them; analyses one after
// another on a thread as analyses made alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_runner.hpp"
#include "host/core/calls.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/library.hpp"
#include "host/core/servo_loop.hpp"
#include "host/core/tables.hpp"
#include "host/core/units.hpp"
#include "support/harness.hpp"

namespace meridox::host {
namespace {

namespace fs = std::filesystem;

std::string text_of(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", v);
  return buffer;
}

// One simulator run at a time, each in a child process of its own (so each
// starts from the library as loaded), on sheets made from its example.
class Simulator {
 public:
  Simulator(const char* name, const std::vector<std::pair<std::string, std::string>>& settings)
      : calc_(*find_calculator(name)), sheet_(example_sheet(name)) {
    std::string why;
    for (const auto& [cell, value] : settings) sheet_ = *set_named_cell(calc_, sheet_, cell, value, why);
    entry_ = load_entry(calc_, std::string(MERIDOX_LIB_DIR), why);
    EXPECT_NE(entry_, nullptr) << why;
  }
  const Calculator& calc() const { return calc_; }
  const std::string& sheet() const { return sheet_; }
  double value(const char* cell) const {
    const std::optional<NamedCell> c = named_cell(calc_, cell);
    return sheet_of(calc_, sheet_).real(c->column, c->row);
  }
  std::string with(const char* cell, double value) const {
    std::string why;
    return *set_named_cell(calc_, sheet_, cell, text_of(value), why);
  }
  ColumnTable run(const std::string& sheet) const {
    EXPECT_EQ(replace_file(folder_.path() / "IN_FM.txt", sheet), "");
    EXPECT_EQ(call_entry(entry_, folder_.path(), calc_.name, 60), "");
    std::string bytes;
    EXPECT_EQ(read_bounded((folder_.path() / "OUT_M.txt").string(), table_byte_limit, bytes), "");
    return parse_columns(bytes);
  }

 private:
  const Calculator& calc_;
  std::string sheet_;
  Entry entry_ = nullptr;
  testing::ExchangeFolder folder_;
};

// Whether a run grows: its swing over the last quarter more than twice that
// over the second quarter (and clear of a count's noise), or not finite.
bool grows(const std::vector<double>& e) {
  const std::size_t n = e.size();
  double second = 0, last = 0;
  for (std::size_t k = n / 4; k < n; ++k) {
    if (!std::isfinite(e[k])) return true;
    (k < n / 2 ? second : last) = std::max(k < n / 2 ? second : last, std::fabs(e[k]));
  }
  return last > 2 * second && last > 1e-2;
}

// The factor on a cell at which runs start to grow, bisected five times
// between 0.85 and 1.15 times the predicted factor (about 1 % wide).
double simulated_boundary(const Simulator& s, const char* cell, std::size_t column, double predicted) {
  const double nominal = s.value(cell);
  auto grows_at = [&](double f) { return grows(s.run(s.with(cell, nominal * f)).columns[column]); };
  double low = 0.85 * predicted, high = 1.15 * predicted;
  EXPECT_FALSE(grows_at(low)) << cell << " x " << low;
  EXPECT_TRUE(grows_at(high)) << cell << " x " << high;
  for (int k = 0; k < 5; ++k) {
    const double mid = std::sqrt(low * high);
    (grows_at(mid) ? high : low) = mid;
  }
  return std::sqrt(low * high);
}

// Each simulator from a start offset (friction off, every step printed, two
// seconds): the position gain alone, and the drive's constant (the whole
// loop gain), raised until the stage stops settling, against the margins.
TEST(ServoLoop, MarginsAgreeWithTheGainsAtWhichEachSimulatorStopsSettling) {
  struct Case {
    const char* name;
    const char* drive;
    std::size_t column;  // of what the servo reads (the nut follows the screw angle)
    std::vector<std::pair<std::string, std::string>> start;
  };
  const std::vector<Case> cases = {
      {"drovik2", "force_constant", 1, {{"stage_displacement", "1"}, {"stage_velocity", "0"}}},
      {"drovik1",
       "torque_constant",
       1,
       {{"initial_nut_displacement", "1"}, {"stage_displacement", "1"}, {"initial_nut_velocity", "0"}, {"stage_velocity", "0"}}},
      {"drovik3", "force_constant", 3, {{"stage_displacement", "1"}, {"stage_velocity", "0"}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<std::string, std::string>> settings = {
        {"friction_force", "0"}, {"print_interval", "1"}, {"step_count", "20000"}};
    settings.insert(settings.end(), c.start.begin(), c.start.end());
    const Simulator s(c.name, settings);
    const LoopAnalysis loop = analyse_loop(*servo_loop(s.calc(), s.sheet()));
    ASSERT_TRUE(loop.stable);
    ASSERT_TRUE(std::isfinite(loop.position_gain_margin) && std::isfinite(loop.gain_margin));
    EXPECT_NEAR(simulated_boundary(s, "position_gain", c.column, loop.position_gain_margin) / loop.position_gain_margin,
                1.0, 0.03);
    EXPECT_NEAR(simulated_boundary(s, c.drive, c.column, loop.gain_margin) / loop.gain_margin, 1.0, 0.03);
    // The frequency response tells the same margin as the poles: the open
    // loop crosses -180 deg at -1 / gain_margin, and has gain 1 at the
    // crossover, where it misses -180 deg by the phase margin.
    const ServoLoop servo = *servo_loop(s.calc(), s.sheet());
    const std::complex<double> at_phase_crossover = open_loop_response(servo, loop.phase_crossover_hz);
    EXPECT_NEAR(at_phase_crossover.real() * loop.gain_margin, -1.0, 1e-6);
    EXPECT_NEAR(at_phase_crossover.imag() * loop.gain_margin, 0.0, 1e-6);
    const std::complex<double> at_crossover = open_loop_response(servo, loop.crossover_hz);
    EXPECT_NEAR(std::abs(at_crossover), 1.0, 1e-9);
    EXPECT_NEAR(180 - std::fabs(std::arg(at_crossover)) * 180 / 3.141592653589793, loop.phase_margin, 1e-6);
    EXPECT_GT(loop.phase_margin, 30.0);
  }
}

// Zero crossings of e - mean over [t0, t1]: the ringing frequency, and the
// swings of the successive half cycles.
struct Ringing {
  double hz = NAN;
  std::vector<double> swings;
};
Ringing ringing(const ColumnTable& t, std::size_t column, double t0, double t1) {
  double mean = 0;
  std::size_t n = 0;
  for (std::size_t k = 0; k < t.rows(); ++k) {
    if (t.columns[0][k] >= t0 && t.columns[0][k] <= t1) mean += t.columns[column][k], ++n;
  }
  mean /= static_cast<double>(n);
  Ringing r;
  std::vector<double> crossings;
  double swing = 0;
  for (std::size_t k = 1; k < t.rows(); ++k) {
    const double ta = t.columns[0][k - 1], tb = t.columns[0][k];
    if (ta < t0 || tb > t1) continue;
    const double a = t.columns[column][k - 1] - mean, b = t.columns[column][k] - mean;
    swing = std::max(swing, std::fabs(b));
    if ((a < 0) != (b < 0)) {
      crossings.push_back(ta + (tb - ta) * (-a) / (b - a));
      if (crossings.size() > 1) r.swings.push_back(swing);
      swing = 0;
    }
  }
  if (crossings.size() > 2) {
    r.hz = static_cast<double>(crossings.size() - 1) / (2 * (crossings.back() - crossings.front()));
  }
  return r;
}

// A lightly damped single stage rings at the dominant poles' damped
// frequency and decays at their rate; the nut-and-stage example rings at its
// axial mode as the closed loop moves it.
TEST(ServoLoop, SimulatedRingingIsTheDominantPoles) {
  const Simulator light("drovik2", {{"friction_force", "0"},
                                    {"print_interval", "1"},
                                    {"velocity_gain", "0.03"},
                                    {"stage_displacement", "1"},
                                    {"stage_velocity", "0"},
                                    {"step_count", "1000"}});
  const LoopAnalysis loop = analyse_loop(*servo_loop(light.calc(), light.sheet()));
  const Ringing r = ringing(light.run(light.sheet()), 1, 0.0, 0.1);
  EXPECT_NEAR(r.hz / loop.dominant.ringing_hz, 1.0, 0.005);
  // Half a period apart the swing falls by exp(-zeta omega_n / (2 f_d)).
  const double pi = 3.141592653589793;
  const double per_half_cycle =
      std::exp(-loop.dominant.damping * 2 * pi * loop.dominant.hz / (2 * loop.dominant.ringing_hz));
  ASSERT_GE(r.swings.size(), 6u);
  for (std::size_t k = 1; k < 6; ++k) EXPECT_NEAR(r.swings[k] / r.swings[k - 1] / per_half_cycle, 1.0, 0.03) << k;
  // A lightly damped loop's closed-loop resonance lies at its ringing.
  EXPECT_NEAR(loop.resonance_hz / loop.dominant.ringing_hz, 1.0, 0.03);

  const Simulator nut("drovik1", {{"friction_force", "0"}, {"print_interval", "1"}});
  const LoopAnalysis nut_loop = analyse_loop(*servo_loop(nut.calc(), nut.sheet()));
  const Ringing axial = ringing(nut.run(nut.sheet()), 2, 0.1, 0.3);
  EXPECT_NEAR(axial.hz / nut_loop.dominant.ringing_hz, 1.0, 0.005);
}

// The Runge-Kutta step holds an undamped mode up to omega h = 2 sqrt 2,
// where |1 + x + x^2/2 + x^3/6 + x^4/24| = 1 for x = j omega h.
TEST(ServoLoop, StepStabilityLimitAndRoots) {
  const double limit = 2 * std::sqrt(2.0);
  EXPECT_NEAR(integrated_mode({0, 1000}, limit / 1000).growth, 1.0, 1e-12);
  EXPECT_LT(integrated_mode({0, 1000}, 0.99 * limit / 1000).growth, 1.0);
  EXPECT_GT(integrated_mode({0, 1000}, 1.01 * limit / 1000).growth, 1.0);
  const double step = faithful_step({0, 1000});
  EXPECT_NEAR(integrated_mode({0, 1000}, step).step_error, step_accuracy_limit, 1e-6);
  // (z - 1)(z + 2)(z - 0.5j)(z + 0.5j) = z^4 + z^3 - 1.75 z^2 + 0.25 z - 0.5
  std::vector<std::complex<double>> roots = polynomial_roots({-0.5, 0.25, -1.75, 1, 1});
  std::vector<std::complex<double>> expected = {{1, 0}, {-2, 0}, {0, 0.5}, {0, -0.5}};
  for (const auto& e : expected) {
    double nearest = INFINITY;
    for (const auto& r : roots) nearest = std::min(nearest, std::abs(r - e));
    EXPECT_LT(nearest, 1e-12) << e;
  }
}

// The stability test that decides the margins' scan agrees with the roots
// on polynomials of every degree the closed loop has, with roots spread
// inside and outside the circle, real and in pairs, and counts a root on the
// circle (z = 1, a rigid body without position feedback) as not inside.
TEST(ServoLoop, StabilityTestAgreesWithTheRoots) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> modulus(0.05, 1.6), angle(0.0, 3.14159), coin(0.0, 1.0);
  int decided = 0, inside = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t degree = 1 + trial % 5;
    std::vector<std::complex<double>> roots;
    while (roots.size() < degree) {
      const double m = modulus(random);
      if (roots.size() + 2 <= degree && coin(random) < 0.5) {
        const std::complex<double> z = std::polar(m, angle(random));
        roots.push_back(z);
        roots.push_back(std::conj(z));
      } else {
        roots.push_back(coin(random) < 0.5 ? m : -m);
      }
    }
    double largest = 0.0;
    for (const auto& z : roots) largest = std::max(largest, std::abs(z));
    if (std::fabs(largest - 1.0) < 1e-6) continue;
    // The real coefficients of prod (z - root).
    std::vector<std::complex<double>> product = {1.0};
    for (const auto& r : roots) {
      std::vector<std::complex<double>> next(product.size() + 1, 0.0);
      for (std::size_t k = 0; k < product.size(); ++k) next[k + 1] += product[k], next[k] -= r * product[k];
      product = next;
    }
    std::vector<double> coefficients;
    for (const auto& c : product) coefficients.push_back(c.real() * 3.0);  // the leading one need not be 1
    const bool expected = largest < 1.0;
    EXPECT_EQ(roots_inside(coefficients, 1.0), expected) << "degree " << degree << ", largest root " << largest;
    // The same roots against a circle beyond them and one inside the largest.
    EXPECT_TRUE(roots_inside(coefficients, largest * 1.001));
    EXPECT_FALSE(roots_inside(coefficients, largest * 0.999));
    ++decided;
    inside += expected;
  }
  EXPECT_GT(decided, 2500);
  EXPECT_GT(inside, 300);
  EXPECT_LT(inside, decided - 300);
  // (z - 1)(z - 0.5): a root on the circle is not inside it.
  EXPECT_FALSE(roots_inside({0.5, -1.5, 1.0}, 1.0));
  EXPECT_TRUE(roots_inside({0.5, -1.5, 1.0}, 1.0 + 1e-9));
}

// Every number of an analysis, its response included, in order.
std::vector<double> numbers_of(const LoopAnalysis& r) {
  std::vector<double> v = {r.stable ? 1.0 : 0.0, r.spectral_radius, r.gain_margin, r.gain_margin_db,
                           r.position_gain_margin, r.phase_crossover_hz, r.phase_margin, r.crossover_hz,
                           r.bandwidth_hz, r.resonance_hz, r.resonance_peak, r.sensitivity_peak,
                           r.sensitivity_peak_db, r.sensitivity_peak_hz};
  auto pole = [&](const LoopPole& p) { v.insert(v.end(), {p.z.real(), p.z.imag(), p.hz, p.damping, p.ringing_hz}); };
  pole(r.dominant);
  for (const LoopPole& p : r.poles) pole(p);
  for (const PlantMode& m : r.modes) v.insert(v.end(), {m.s.real(), m.s.imag(), m.hz, m.damping, m.omega_h, m.growth, m.step_error});
  for (const LoopPoint& p : r.response) v.insert(v.end(), {p.hz, p.open_loop.real(), p.open_loop.imag()});
  v.insert(v.end(), {double(r.poles.size()), double(r.modes.size()), double(r.response.size())});
  return v;
}

bool same_bits(const std::vector<double>& x, const std::vector<double>& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
}

// The plant's part of an analysis is kept from one call to the next on a
// thread: analyses of plants and gains alternated and repeated on one thread
// are bit for bit those made each on a thread of its own, from nothing kept.
// The plants: the stage, the stage with a zero cell of the other sign, the
// stage at twice the step, and the nut-and-stage; each at two pairs of gains.
TEST(ServoLoop, AnalysesKeepNothingOfThePlantAnalysedBefore) {
  auto example = [](const char* name) { return *servo_loop(*find_calculator(name), example_sheet(name)); };
  const ServoLoop stage = example("drovik2");
  ServoLoop signed_zero = stage;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(stage.a[0][0]), 0u);
  signed_zero.a[0][0] = -0.0;
  ServoLoop slower = stage;
  slower.time_step *= 2;
  std::vector<ServoLoop> loops;
  for (const ServoLoop& plant : {stage, signed_zero, slower, example("drovik1")}) {
    ServoLoop other = plant;
    other.position_gain *= 1.5;
    other.velocity_gain *= 0.7;
    loops.push_back(plant);
    loops.push_back(other);
  }
  std::vector<std::vector<double>> fresh(loops.size());
  std::vector<std::string> fresh_why(loops.size());
  for (std::size_t i = 0; i < loops.size(); ++i) {
    std::thread([&, i] {
      const LoopAnalysis r = analyse_loop(loops[i]);
      fresh[i] = numbers_of(r);
      fresh_why[i] = r.why_not;
    }).join();
  }
  // Changing the step or the gains changes the numbers, so a kept plant
  // part would show.
  const std::pair<std::size_t, std::size_t> differing[] = {{0, 4}, {0, 1}, {0, 6}, {4, 5}};
  for (const auto& [x, y] : differing) EXPECT_FALSE(same_bits(fresh[x], fresh[y])) << x << " " << y;
  // Gains changed on one plant, then the next plant, back, and so on.
  for (int round = 0; round < 2; ++round) {
    for (std::size_t i = 0; i < loops.size(); ++i) {
      for (const std::size_t j : {i, i ^ 1, (i + 3) % loops.size(), i}) {
        const LoopAnalysis r = analyse_loop(loops[j]);
        EXPECT_EQ(r.why_not, fresh_why[j]);
        EXPECT_TRUE(same_bits(numbers_of(r), fresh[j])) << "loop " << j << " after loop " << i << ", round " << round;
      }
    }
  }
  // The response at each grid point is the open loop solved at its frequency.
  for (const std::size_t i : {0u, 5u, 6u}) {
    const LoopAnalysis r = analyse_loop(loops[i]);
    ASSERT_TRUE(r.why_not.empty() && r.response.size() > 1000) << r.why_not;
    for (const LoopPoint& p : r.response) {
      const std::complex<double> solved = open_loop_response(loops[i], p.hz);
      ASSERT_LE(std::abs(p.open_loop - solved), 1e-9 * std::abs(solved) + 1e-12) << "loop " << i << " at " << p.hz << " Hz";
    }
  }
}

// The check warns when the step cannot integrate the nut's axial mode (a
// coarse step: a wrong frequency; a coarser one: growth) and tells the
// first step's derivative kick of a start offset, Kd n r / h.
TEST(ServoLoop, CheckWarnsOnTheStepAndTheFirstStepsKick) {
  const Calculator& nut = *find_calculator("drovik1");
  const std::string example(example_sheet("drovik1"));
  std::string why;
  EXPECT_TRUE(check_sheet(nut, example).warnings.empty());
  const CheckReport coarse = check_sheet(nut, *set_named_cell(nut, example, "time_step", "0.0005", why));
  EXPECT_TRUE(coarse.has("coarse-step") && !coarse.has("unstable-step"));
  const CheckReport unstable = check_sheet(nut, *set_named_cell(nut, example, "time_step", "0.001", why));
  EXPECT_TRUE(unstable.has("unstable-step"));
  const Calculator& stage = *find_calculator("drovik2");
  const CheckReport kick = check_sheet(stage, *set_named_cell(stage, std::string(example_sheet("drovik2")),
                                                               "stage_displacement", "0.5", why));
  ASSERT_EQ(kick.warnings.size(), 1u);
  EXPECT_EQ(kick.warnings[0].code, "derivative-kick");
  // 0.5 mm is 5000 counts of 1e-4 mm: 0.176 * 5000 * 1e-4 / 1e-4 = 880 A.
  EXPECT_NE(kick.warnings[0].message.find("5000 counts"), std::string::npos) << kick.warnings[0].message;
  EXPECT_NE(kick.warnings[0].message.find("-880 A"), std::string::npos) << kick.warnings[0].message;
}

// The picture of a run is drawn from every step, reduced per pixel column:
// the peaks the summary reports lie on the drawn traces, however the table
// was printed, and the 500 Hz axial mode keeps its true period.
TEST(ServoLoop, TheDrawnHistoryHoldsEveryReportedPeak) {
  const Simulator nut("drovik1", {});
  const Calculator& c = nut.calc();
  testing::ExchangeFolder folder;
  ASSERT_EQ(replace_file(folder.path() / "IN_FM.txt", nut.sheet()), "");
  std::string why;
  const Entry entry = load_entry(c, std::string(MERIDOX_LIB_DIR), why);
  ASSERT_EQ(call_entry(entry, folder.path(), c.name, 60), "");
  const StageColumns columns = stage_columns_for(c, nut.sheet());
  EveryStepDrawing drawing{960, std::nullopt};
  const std::optional<StageMetrics> m =
      every_step_metrics(c, entry, nut.sheet(), folder.path(), columns, 60, why, &drawing);
  ASSERT_TRUE(m && drawing.history) << why;
  EXPECT_EQ(drawing.history->states, m->states);
  const std::vector<double>& current = drawing.history->values[columns.current];
  const std::vector<double>& error = drawing.history->values[columns.error];
  EXPECT_NE(std::find(current.begin(), current.end(), m->peak_current), current.end());
  double largest = 0;
  for (const double e : error) largest = std::max(largest, std::fabs(e));
  EXPECT_EQ(largest, m->max_excursion);
  EXPECT_LE(error.size(), 4u * 960u);
  // The printed rows, one every ten steps (1 ms) of a 1.93 ms mode, miss it.
  std::string printed;
  ASSERT_EQ(read_bounded((folder.path() / "OUT_M.txt").string(), table_byte_limit, printed), "");
  const ColumnTable rows = parse_columns(printed);
  double printed_peak = 0;
  for (const double i : rows.columns[columns.current]) printed_peak = std::max(printed_peak, std::fabs(i));
  EXPECT_LT(printed_peak, std::fabs(m->peak_current));
}

// A number of study.csv: the field `name` of line `line` (the header is line 0).
double csv_field(const std::string& csv, std::size_t line, const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::size_t from = 0;
  for (std::size_t end; (end = csv.find("\r\n", from)) != std::string::npos; from = end + 2) {
    rows.emplace_back();
    const std::string text = csv.substr(from, end - from);
    for (std::size_t a = 0, b; a <= text.size(); a = b + 1) {
      b = std::min(text.find(',', a), text.size());
      rows.back().push_back(text.substr(a, b - a));
    }
  }
  if (line >= rows.size()) return NAN;
  for (std::size_t k = 0; k < rows[0].size() && k < rows[line].size(); ++k) {
    if (rows[0][k] == name) return std::strtod(rows[line][k].c_str(), nullptr);
  }
  return NAN;
}

class ServoCommand : public ::testing::Test {
 protected:
  testing::ExchangeFolder scratch;
  testing::CommandResult meridox(const std::string& args) const {
    return testing::run_command(scratch.path(), MERIDOX_EXE, args);
  }
};

// A gain beyond the margin: run says the run diverged and exits 1, its
// metrics printed; a study marks the row, keeps its metrics and goes on;
// every example's study has an overshoot, from the push it starts with.
TEST_F(ServoCommand, DivergedRunsAndStudiesAndTheExamplesOvershoot) {
  testing::CommandResult r = meridox("run stage --set position_gain=3300 -o beyond");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("meridox: the run diverged: "), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("the closed loop is not stable"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(scratch.path() / "beyond" / "loop.png"));
  r = meridox("run stage -o within");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(scratch.path() / "within" / "loop.png"));

  r = meridox("study stage --vary position_gain=79,3300 --no-pictures -o gains");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string csv = testing::slurp(scratch.path() / "gains" / "study.csv");
  EXPECT_NE(csv.find(",ok\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find(",diverged\r\n"), std::string::npos) << csv;
  // The diverged case keeps its metrics, and its margins say why.
  EXPECT_TRUE(std::isfinite(csv_field(csv, 2, "max_excursion"))) << csv;
  EXPECT_LT(csv_field(csv, 2, "gain_margin"), 1.0) << csv;
  EXPECT_GT(csv_field(csv, 1, "gain_margin"), 1.0) << csv;

  // A study varying the step judges each case over its own closing window,
  // as a run of that case does.
  r = meridox("study stage --vary time_step=0.0001,0.0002 --no-pictures -o steps");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string steps = testing::slurp(scratch.path() / "steps" / "study.csv");
  r = meridox("run stage --set time_step=0.0002 --no-pictures -o step2");
  const std::size_t at = r.out.find("steady_error: mean error ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const double run_steady = std::strtod(r.out.c_str() + at + 25, nullptr);
  EXPECT_NEAR(csv_field(steps, 2, "steady_error"), run_steady, 1e-6 * std::fabs(run_steady)) << steps;

  for (const char* calc : {"stage", "nut-stage", "stage-base"}) {
    r = meridox(std::string("study ") + calc + " --vary position_gain=30,40 --no-pictures -o " + calc);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string table = testing::slurp(scratch.path() / calc / "study.csv");
    for (const std::size_t line : {1u, 2u}) EXPECT_TRUE(std::isfinite(csv_field(table, line, "overshoot"))) << table;
  }
}

}  // namespace
}  // namespace meridox::host
