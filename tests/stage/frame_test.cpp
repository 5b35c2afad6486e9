// The pieces of the stage frame: counts, the row rule, the control law with
// its offset rule, and the derivatives outside their systems.
#include "stage/frame.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "stage/nut_stage.hpp"
#include "stage/single_stage.hpp"
#include "stage/stage_base.hpp"

namespace meridox::stage {
namespace {

TEST(StageFrame, CountsRoundHalvesUpwardsAndPassNonFiniteReadings) {
  EXPECT_EQ(count_of(2.5, 1), 3);
  EXPECT_EQ(count_of(-2.5, 1), -2);
  EXPECT_EQ(count_of(-0.5, 1), 0);
  EXPECT_EQ(count_of(0.74, 0.5), 1);
  EXPECT_EQ(count_of(-0.76, 0.5), -2);
  EXPECT_EQ(count_of(1e300, 1e-300), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(count_of(0, 0)));
  EXPECT_EQ(count_of(-3, 0), -std::numeric_limits<double>::infinity());
}

TEST(StageFrame, RowsAreDueEveryMagnitudeOfTheInterval) {
  int due3 = 0, due_minus3 = 0, due_zero = 0, due_min = 0, due_max = 0;
  for (int i = 0; i < 30; ++i) {
    due3 += row_due(i, 3);
    due_minus3 += row_due(i, -3);
    EXPECT_EQ(row_due(i, -3), i % 3 == 0) << i;
    due_zero += row_due(i, 0);
    due_min += row_due(i, INT_MIN);
    due_max += row_due(i, INT_MAX);
  }
  EXPECT_EQ(due3, 10);
  EXPECT_EQ(due_minus3, 10);
  EXPECT_EQ(due_zero, 0);
  EXPECT_EQ(due_min, 1);
  EXPECT_EQ(due_max, 1);
  EXPECT_FALSE(row_due(INT_MAX - 1, INT_MIN));
}

struct Probe;

TEST(StageFrame, OffsetRulePushesCountZeroTowardsPositive) {
  const double I0 = 0.5, Kp = 3, r = 0.25, w = 2;
  ServoCells cells{1, w, 1, r, 1, 0, Kp, 0, I0};
  Frame<Probe>::time_step = 1e-3;
  Frame<Probe>::previous_count = 0;
  Frame<Probe>::position_count = 0;
  EXPECT_EQ(offset_servo_current<Probe>(cells), I0 + Kp * (1 + w / 2) * r);
  Frame<Probe>::position_count = 1;
  Frame<Probe>::previous_count = 1;
  EXPECT_EQ(offset_servo_current<Probe>(cells), I0 - Kp * (1 + w / 2) * r);
  cells.offset_width = 0;
  EXPECT_EQ(feedback_count(cells, 0), -1);
  EXPECT_EQ(feedback_count(cells, -4), -5);
  EXPECT_EQ(feedback_count(cells, 4), 4);
  cells.offset_switch = 0;
  EXPECT_EQ(feedback_count(cells, -4), -4);
  // The velocity term differences the plain counts over one step.
  Frame<Probe>::position_count = -2;
  Frame<Probe>::previous_count = 1;
  cells.velocity_gain = 0.01;
  EXPECT_EQ(offset_servo_current<Probe>(cells),
            (I0 - (Kp * -2) * r) - ((0.01 * (-2 - 1)) * r) / 1e-3);
}

TEST(StageFrame, DerivativesOfEquationsOutsideTheSystemAreZero) {
  const double CY[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (int i : {-1, 4, 9, INT_MAX}) {
    EXPECT_EQ(nut::derivative(i, 0, CY), 0) << i;
    EXPECT_EQ(base::derivative(i, 0, CY), 0) << i;
  }
  EXPECT_EQ(single::derivative(2, 0, CY), 0);
  EXPECT_EQ(single::derivative(0, 0, CY), 2);
  EXPECT_EQ(base::derivative(2, 0, CY), 4);
}

}  // namespace
}  // namespace meridox::stage
