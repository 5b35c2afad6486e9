#include "stage/stage_base.hpp"

#include "stage/frame.hpp"

namespace meridox::stage::base {
namespace {

struct Sim;
using F = Frame<Sim>;

ServoCells cells;       // rows 1 to 14; the switch also turns on ground friction
double base_mass;       // Mb
double base_stiffness;  // K, spring between base and ground
double base_friction;   // Fb, friction between base and ground, magnitude

struct Sim {
  static constexpr int equations = 4;  // Y[0] = xs, Y[1] = vs, Y[2] = xb, Y[3] = vb
  static constexpr const Layout& layout = stage_base_layout;
  static void load(const Sheet& sheet) {
    load_servo_rows<Sim>(sheet, cells);
    base_mass = read_real(sheet, cell_of(layout, "base_mass"));
    base_stiffness = read_real(sheet, cell_of(layout, "base_stiffness"));
    base_friction = read_real(sheet, cell_of(layout, "base_friction"));
  }
  // No cell gives the base's start state; starting it from rest with the
  // spring relaxed on every run keeps a run independent of the history of
  // earlier runs, which the user cannot see.
  static void start() {
    F::Y[2] = 0;
    F::Y[3] = 0;
  }
  static double measured_count() { return count_of(F::Y[0] - F::Y[2], cells.resolution); }
  static void step() { rk4_step<F::Y, F::sim_time, F::time_step, derivative>(equations); }
  // The base velocity is not written.
  static void write_row(TableWriter& table) {
    table.line({F::sim_time, F::Y[0], F::Y[2], F::Y[0] - F::Y[2], F::control_current, F::Y[1]});
  }
};

// Friction between stage and base, on the stage: against the relative
// velocity u, +F at exactly u = 0. The base feels its negative.
double stage_base_friction(const double* CY) {
  return CY[1] - CY[3] > 0 ? -cells.friction_force : cells.friction_force;
}

}  // namespace

double derivative(int i, double, const double* CY) {
  switch (i) {
    case 0:
      return CY[1];
    case 1: {
      const double I = offset_servo_current<Sim>(cells);
      F::control_current = I;
      return (cells.force_constant * I + stage_base_friction(CY)) / cells.stage_mass;
    }
    case 2:
      return CY[3];
    case 3: {
      const double I = offset_servo_current<Sim>(cells);
      F::control_current = I;
      const double Fsb = stage_base_friction(CY);
      if (cells.offset_switch == 0) {
        return (((-cells.force_constant) * I - Fsb) - base_stiffness * CY[2]) / base_mass;
      }
      // Ground friction against the base velocity, +Fb at exactly zero.
      const double Fg = CY[3] > 0 ? -base_friction : base_friction;
      return ((((-cells.force_constant) * I - Fsb) + Fg) - base_stiffness * CY[2]) / base_mass;
    }
    default:
      return 0;
  }
}

void run() { stage::run<Sim>(); }

}  // namespace meridox::stage::base
