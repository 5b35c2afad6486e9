#pragma once
// The stage frame shared by the three stage simulators: a sampled position
// servo that, once per time step, rounds the measured position to a count,
// forms the control current from it and holds that current while the
// Runge-Kutta stepper advances the equations of motion by one step.
//
// A simulator supplies only what is its own, as a struct `Sim` with
//   static constexpr int equations;          // equations passed to the stepper
//   static constexpr const Layout& layout;    // its sheet and table (with its header)
//   static void load(const Sheet&);          // its cell map
//   static void start();                     // state set at the start of a run
//   static double measured_count();          // count of its sensor, now
//   static void step();                      // one rk4_step of its mechanics
//   static void write_row(TableWriter&);     // one table row, now
// and the frame runs the sheet reading, the driver loop and the table.
#include <cmath>
#include <string_view>

#include "common/exchange.hpp"
#include "common/rk4.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"
#include "stage/layout.hpp"

namespace meridox::stage {

// The frame's globals of one simulator. Every simulator instantiates the
// frame with its own tag type, so each has its own copy; they are zero when
// the library is loaded and keep their values between runs. In particular a
// run never resets control_current: the first row of a run shows the current
// that the previous run in the same process left behind.
template <class Sim>
struct Frame {
  static inline double Y[RK_MAX_EQ];
  static inline double sim_time;         // t, the stepper's independent variable
  static inline double time_step;        // h, the stepper's step
  static inline double position_count;   // n, a whole number held as a double
  static inline double previous_count;   // n of the preceding step
  static inline double control_current;  // I, held constant over each step
  static inline int step_count;          // N
  static inline int print_interval;      // M
};

// The position count of a sensor of resolution r reading q: q / r rounded
// half upwards (2.5 gives 3, -2.5 gives -2). The count stays a double and is
// never converted to int, so an infinite, NaN or enormous reading (a zero
// resolution, a diverging run) carries through as that value instead of
// invoking an undefined conversion.
inline double count_of(double q, double r) { return std::floor(q / r + 0.5); }

// The control law: a position term on the feedback count c and a velocity
// term on the backward difference of the plain counts over one step,
//   I = (I0 - (Kp c) r) - ((Kd (n - n_prev)) r) / h,
// in exactly this grouping. The current is neither limited nor saturated.
inline double servo_current(double I0, double Kp, double Kd, double r, double h, double c,
                            double n, double n_prev) {
  return (I0 - (Kp * c) * r) - ((Kd * (n - n_prev)) * r) / h;
}

// Rows 1 to 14 of the sheet of the single stage and of the stage on a base.
struct ServoCells {
  int offset_switch;      // 0 off, any other value on
  double offset_width;    // w, in counts
  double force_constant;  // Kf
  double resolution;      // r
  double stage_mass;      // m
  double friction_force;  // F, magnitude
  double position_gain;   // Kp
  double velocity_gain;   // Kd
  double bias_current;    // I0
};

// The feedback count of the position term. With the offset rule on, the
// positive side is shifted by w/2 counts and the side n <= 0 by one count
// more (n - (1 + w/2)), so that count 0 pushes towards positive displacement.
inline double feedback_count(const ServoCells& cells, double n) {
  if (cells.offset_switch == 0) return n;
  return n > 0 ? n + cells.offset_width / 2 : n - (1 + cells.offset_width / 2);
}

// The control current of the single stage and the stage on a base, from the
// counts the driver set for the present step.
template <class Sim>
double offset_servo_current(const ServoCells& cells) {
  using F = Frame<Sim>;
  const double n = F::position_count;
  return servo_current(cells.bias_current, cells.position_gain, cells.velocity_gain,
                       cells.resolution, F::time_step, feedback_count(cells, n), n,
                       F::previous_count);
}

// Reads rows 1 to 14, in row order: the servo cells, the start displacement
// and velocity of the stage into Y[0] and Y[1], the time step, the step count
// and the print interval.
template <class Sim>
void load_servo_rows(const Sheet& sheet, ServoCells& cells) {
  using F = Frame<Sim>;
  cells.offset_switch = read_integer(sheet, cell_of(Sim::layout, "offset_switch"));
  cells.offset_width = read_real(sheet, cell_of(Sim::layout, "offset_width"));
  cells.force_constant = read_real(sheet, cell_of(Sim::layout, "force_constant"));
  cells.resolution = read_real(sheet, cell_of(Sim::layout, "resolution"));
  cells.stage_mass = read_real(sheet, cell_of(Sim::layout, "stage_mass"));
  cells.friction_force = read_real(sheet, cell_of(Sim::layout, "friction_force"));
  cells.position_gain = read_real(sheet, cell_of(Sim::layout, "position_gain"));
  cells.velocity_gain = read_real(sheet, cell_of(Sim::layout, "velocity_gain"));
  cells.bias_current = read_real(sheet, cell_of(Sim::layout, "bias_current"));
  F::Y[0] = read_real(sheet, cell_of(Sim::layout, "stage_displacement"));
  F::Y[1] = read_real(sheet, cell_of(Sim::layout, "stage_velocity"));
  F::time_step = read_real(sheet, cell_of(Sim::layout, "time_step"));
  F::step_count = read_integer(sheet, cell_of(Sim::layout, "step_count"));
  F::print_interval = read_integer(sheet, cell_of(Sim::layout, "print_interval"));
}

// Whether the loop writes a row at step i: every |M|-th step from step 0. The
// remainder takes the sign of i, which is never negative, so a negative M
// acts as its magnitude (INT_MIN included, without forming its magnitude).
// M = 0 writes no loop rows: the table then holds the header and the final
// row, after all N steps have run.
inline bool row_due(int i, int print_interval) {
  return print_interval != 0 && i % print_interval == 0;
}

// The driver loop: N steps, a row every M steps, and a final row for the
// state after the last step whatever N and M are (N <= 0 runs no step).
template <class Sim>
void drive(TableWriter& table) {
  using F = Frame<Sim>;
  table.text(table_of(Sim::layout, result_table).header);
  table.end_line();
  F::previous_count = 0;
  const int steps = F::step_count;
  const int interval = F::print_interval;
  for (int i = 0; i < steps; ++i) {
    if (row_due(i, interval)) Sim::write_row(table);
    F::position_count = Sim::measured_count();
    Sim::step();
    F::previous_count = F::position_count;
  }
  Sim::write_row(table);
}

// One complete run: read the sheet, start at t = 0, write "OUT_M.txt" row by
// row while integrating.
template <class Sim>
void run() {
  using F = Frame<Sim>;
  const std::string folder = start_run({result_table});
  {
    const Sheet sheet = read_parameter_sheet(folder, Sim::layout.grid);
    Sim::load(sheet);
  }
  F::sim_time = 0;
  Sim::start();
  TableWriter table(folder + result_table);
  drive<Sim>(table);
  table.close();
}

}  // namespace meridox::stage
