// The simulators against motion known in closed form, and the relations
// between them, through the built libraries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "reference.hpp"
#include "support/harness.hpp"

namespace meridox::testing {
namespace {

using stage_reference::Cells;
using stage_reference::Simulator;
using Table = std::vector<std::vector<double>>;

// Runs a simulator and returns its data rows as numbers.
Table run(Simulator sim, const Cells& cells) {
  ExchangeFolder folder;
  folder.write_sheet(stage_reference::sheet_text(sim, cells));
  call_entry(stage_reference::library_name(sim));
  const auto lines = split_table(folder.read("OUT_M.txt"));
  Table rows;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    rows.emplace_back();
    for (const std::string& field : lines[i]) rows.back().push_back(std::strtod(field.c_str(), nullptr));
  }
  return rows;
}

// Time summed as the stepper sums it: one addition of h per step.
double summed_time(double h, int steps) {
  double t = 0;
  for (int k = 0; k < steps; ++k) t = t + h;
  return t;
}

TEST(StagePhysics, RowsFallOnEveryMthStepAndAfterTheLast) {
  const double h = 0.1;
  for (Simulator sim : {Simulator::nut, Simulator::single, Simulator::base}) {
    const bool nut = sim == Simulator::nut;
    const int n_row = nut ? 20 : 13;
    Cells base = nut ? Cells{{2, 1}, {4, 1}, {6, 1}, {9, 1}, {19, h}}
                     : Cells{{4, 1}, {5, 1}, {12, h}, {15, 1}};
    auto times = [&](int steps, int interval) {
      Cells c = base;
      c[n_row] = steps;
      c[n_row + 1] = interval;
      std::vector<double> t;
      for (const auto& row : run(sim, c)) t.push_back(row[0]);
      return t;
    };
    auto at = [&](std::initializer_list<int> steps) {
      std::vector<double> t;
      for (int k : steps) t.push_back(std::round(summed_time(h, k) * 1e6) / 1e6);
      return t;
    };
    EXPECT_EQ(times(5, 2), at({0, 2, 4, 5}));
    EXPECT_EQ(times(4, 1), at({0, 1, 2, 3, 4}));
    EXPECT_EQ(times(5, -2), at({0, 2, 4, 5}));
    EXPECT_EQ(times(5, 0), at({5}));
    EXPECT_EQ(times(0, 2), at({0}));
    EXPECT_EQ(times(-3, 2), at({0}));
  }
  // A million additions of 0.1 drift into the sixth decimal; N h would not.
  const Table rows = run(Simulator::single, {{4, 1}, {5, 1}, {12, 0.1}, {13, 1000000}, {14, 0}});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(printf_fixed(rows[0][0]), printf_fixed(summed_time(0.1, 1000000)));
  EXPECT_NE(printf_fixed(rows[0][0]), printf_fixed(1000000 * 0.1));
}

TEST(StagePhysics, ConstantForceGivesAParabolaWithFrictionAgainstTheMotion) {
  // Bias current only: a = (Kf I0 -+ F) / m while the stage keeps its direction.
  for (double v0 : {30.0, -30.0}) {
    const double Kf = 3, I0 = 2, m = 1.5, F = 0.75, x0 = 0.125, h = 0.01;
    const Cells c{{3, Kf}, {4, 1e-3}, {5, m}, {6, F}, {9, I0}, {10, x0}, {11, v0}, {12, h},
                  {13, 100}, {14, 10}, {15, 1e300}};
    const double a = (Kf * I0 + (v0 > 0 ? -F : F)) / m;
    for (Simulator sim : {Simulator::single, Simulator::base}) {
      const Table rows = run(sim, c);
      for (const auto& row : rows) {
        const double t = row[0];
        EXPECT_NEAR(row[1], x0 + v0 * t + a * t * t / 2, 2e-6) << t;
        EXPECT_NEAR(row.back(), v0 + a * t, 2e-6) << t;
        if (&row != &rows.front()) {
          EXPECT_EQ(row[sim == Simulator::single ? 2 : 4], I0);
        }
      }
    }
  }
}

TEST(StagePhysics, FrictionAtRestTakesThePlusSign) {
  // A body at rest under friction alone: the stages of one step see the
  // velocity flip sign, a, -a, a, -a, so v returns to 0 and x = h^2 a / 6,
  // positive because the friction of a body at rest counts as +F.
  const Table single = run(Simulator::single, {{3, 1}, {4, 1}, {5, 1}, {6, 6}, {12, 1}, {13, 1}, {14, 1}});
  EXPECT_EQ(single.at(1), (std::vector<double>{1, 1, 0, 0}));
  // Stage and base at equal velocity: +F on the stage, -F on the base.
  const Table pair = run(Simulator::base, {{3, 1}, {4, 1}, {5, 1}, {6, 6}, {12, 1}, {13, 1}, {14, 1},
                                          {15, 2}});
  EXPECT_EQ(pair.at(1), (std::vector<double>{1, 1, -0.5, 1.5, 0, 0}));
  // Switch on: the base at rest rubs on the ground with +Fb.
  const Table ground = run(Simulator::base, {{1, 1}, {3, 1}, {4, 1}, {5, 1}, {12, 1}, {13, 1},
                                            {14, 1}, {15, 2}, {17, 12}});
  EXPECT_EQ(ground.at(1), (std::vector<double>{1, 0, 1, -1, 0, 0}));
  const Table nut = run(Simulator::nut, {{2, 1}, {4, 1}, {6, 1}, {9, 1}, {10, 6}, {19, 1}, {20, 1},
                                         {21, 1}});
  EXPECT_EQ(nut.at(1), (std::vector<double>{1, 0, 1, 0, 0, 0}));
}

TEST(StagePhysics, ScrewUnderPureDampingDecaysExponentially) {
  // No current, no spring, no friction: w' = -cr w / J; the stage coasts.
  const double J1 = 0.3, J2 = 0.2, cr = 2, L = 5, xn0 = 1.5, vn0 = 4, xs0 = -1, vs0 = 0.5;
  const Cells c{{2, 1}, {4, J1}, {5, J2}, {6, L}, {7, cr}, {9, 1}, {15, xn0}, {16, vn0},
                {17, xs0}, {18, vs0}, {19, 1e-3}, {20, 1000}, {21, 100}};
  const double rate = cr / (J1 + J2);
  for (const auto& row : run(Simulator::nut, c)) {
    const double t = row[0];
    EXPECT_NEAR(row[1], xn0 + vn0 * (1 - std::exp(-rate * t)) / rate, 2e-6) << t;
    EXPECT_NEAR(row[4], vn0 * std::exp(-rate * t), 2e-6) << t;
    EXPECT_NEAR(row[2], xs0 + vs0 * t, 2e-6) << t;
    EXPECT_EQ(row[5], vs0);
  }
}

TEST(StagePhysics, EncoderCountsTheScrewAndScaleCountsTheStage) {
  // The stage sits 3.7 scale counts out while the screw stands at angle 0.
  const double rs = 0.1, Kp = 2, Kd = 0.5, I0 = 0.1, h = 1e-3;
  for (int scale : {0, 1, -1}) {
    const Cells c{{1, scale}, {2, 0.01}, {3, rs}, {4, 1}, {6, 1}, {9, 1}, {12, Kp}, {13, Kd},
                  {14, I0}, {17, 0.37}, {19, h}, {20, 1}, {21, 1}};
    const double n = scale == 0 ? 0 : 4;  // floor(3.7 + 0.5)
    const double expected = (I0 - (Kp * n) * rs) - ((Kd * (n - 0)) * rs) / h;
    EXPECT_EQ(run(Simulator::nut, c).at(1).at(3), std::strtod(printf_fixed(expected).c_str(), nullptr))
        << scale;
  }
}

TEST(StagePhysics, FreeStageAndBaseKeepTheirMomentum) {
  // Switch off, no base spring: drive and friction are internal, so the
  // centre of mass moves at the start momentum over the total mass.
  const double m = 1, Mb = 2, xs0 = 0.3, vs0 = -2;
  const Cells c{{3, 5}, {4, 1e-3}, {5, m}, {6, 0.8}, {7, 400}, {8, 8}, {9, 0.05}, {10, xs0},
                {11, vs0}, {12, 1e-3}, {13, 2000}, {14, 50}, {15, Mb}, {16, 0}, {17, 3}};
  const Table rows = run(Simulator::base, c);
  ASSERT_EQ(rows.size(), 41u);
  for (const auto& row : rows) {
    const double t = row[0];
    EXPECT_NEAR(m * row[1] + Mb * row[2], m * (xs0 + vs0 * t), 3e-6) << t;
    EXPECT_NEAR(row[3], row[1] - row[2], 1.5e-6);
  }
  EXPECT_GT(std::fabs(rows.back()[2]), 0.01);  // the base did move
}

TEST(StagePhysics, AnImmovableBaseReproducesTheSingleStage) {
  Cells c{{1, 1}, {2, 1}, {3, 5}, {4, 1e-3}, {5, 2}, {6, 0.3}, {7, 800}, {8, 24}, {9, 0.05},
          {10, 0.73}, {11, -1.3}, {12, 1e-3}, {13, 600}, {14, 7}};
  const Table single = run(Simulator::single, c);
  c[15] = 1e250;
  c[16] = 1;
  c[17] = 1;
  const Table based = run(Simulator::base, c);
  ASSERT_EQ(single.size(), based.size());
  for (std::size_t r = 0; r < single.size(); ++r) {
    // t, stage displacement, current (not the carried one), velocity
    EXPECT_EQ(based[r][0], single[r][0]);
    EXPECT_EQ(based[r][1], single[r][1]);
    if (r > 0) {
      EXPECT_EQ(based[r][4], single[r][2]);
    }
    EXPECT_EQ(based[r][5], single[r][3]);
    EXPECT_EQ(based[r][2], 0.0);
  }
}

TEST(StagePhysics, EveryRunStartsTheBaseAtRest) {
  Cells c{{3, 5}, {4, 1e-3}, {5, 2}, {7, 800}, {8, 24}, {10, 0.5}, {12, 1e-3}, {13, 300},
          {14, 300}, {15, 3}, {16, 2000}};
  const Table first = run(Simulator::base, c);
  const Table second = run(Simulator::base, c);
  EXPECT_NE(first.back()[2], 0.0);
  EXPECT_EQ(second.front()[2], 0.0);
  EXPECT_EQ(second.back(), first.back());
}

}  // namespace
}  // namespace meridox::testing
