#include "stage/single_stage.hpp"

#include "stage/frame.hpp"

namespace meridox::stage::single {
namespace {

struct Sim;
using F = Frame<Sim>;

ServoCells cells;

struct Sim {
  static constexpr int equations = 2;  // Y[0] = x, Y[1] = v
  static constexpr const Layout& layout = single_stage_layout;
  static void load(const Sheet& sheet) { load_servo_rows<Sim>(sheet, cells); }
  static void start() {}
  static double measured_count() { return count_of(F::Y[0], cells.resolution); }
  static void step() { rk4_step<F::Y, F::sim_time, F::time_step, derivative>(equations); }
  static void write_row(TableWriter& table) {
    table.line({F::sim_time, F::Y[0], F::control_current, F::Y[1]});
  }
};

}  // namespace

double derivative(int i, double, const double* CY) {
  if (i == 0) return CY[1];
  if (i != 1) return 0;
  const double I = offset_servo_current<Sim>(cells);
  F::control_current = I;
  // Friction opposes the trial velocity; at exactly zero it takes +F.
  if (CY[1] > 0) return (cells.force_constant * I - cells.friction_force) / cells.stage_mass;
  return (cells.force_constant * I + cells.friction_force) / cells.stage_mass;
}

void run() { stage::run<Sim>(); }

}  // namespace meridox::stage::single
