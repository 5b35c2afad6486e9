#include "stage/nut_stage.hpp"

#include "stage/frame.hpp"

namespace meridox::stage::nut {
namespace {

struct Sim;
using F = Frame<Sim>;

// pi as this simulator has always used it, set at the start of every run: all
// conversions between screw angle and nut displacement go through it.
double PI;

int scale_switch;           // 0: encoder on the screw; any other value: scale on the stage
double encoder_resolution;  // re, screw angle per count (rad)
double scale_resolution;    // rs, stage displacement per count
double inertia1;            // J1
double inertia2;            // J2 (only J1 + J2 matters)
double screw_lead;          // L, nut travel per revolution
double rotary_damping;      // cr, torque per angular velocity
double torque_constant;     // Kt, torque per unit of current
double stage_mass;          // ms
double friction_force;      // Fs, magnitude
double axial_stiffness;     // k, between nut and stage
double position_gain;       // Kp
double velocity_gain;       // Kd
double bias_current;        // I0
double initial_nut_displacement;
double initial_nut_velocity;

double sensor_resolution() { return scale_switch == 0 ? encoder_resolution : scale_resolution; }

struct Sim {
  static constexpr int equations = 4;  // Y[0] = angle, Y[1] = angular velocity, Y[2] = xs, Y[3] = vs
  static constexpr const Layout& layout = nut_stage_layout;
  static void load(const Sheet& sheet) {
    scale_switch = read_integer(sheet, cell_of(layout, "scale_switch"));
    encoder_resolution = read_real(sheet, cell_of(layout, "encoder_resolution"));
    scale_resolution = read_real(sheet, cell_of(layout, "scale_resolution"));
    inertia1 = read_real(sheet, cell_of(layout, "inertia1"));
    inertia2 = read_real(sheet, cell_of(layout, "inertia2"));
    screw_lead = read_real(sheet, cell_of(layout, "screw_lead"));
    rotary_damping = read_real(sheet, cell_of(layout, "rotary_damping"));
    torque_constant = read_real(sheet, cell_of(layout, "torque_constant"));
    stage_mass = read_real(sheet, cell_of(layout, "stage_mass"));
    friction_force = read_real(sheet, cell_of(layout, "friction_force"));
    axial_stiffness = read_real(sheet, cell_of(layout, "axial_stiffness"));
    position_gain = read_real(sheet, cell_of(layout, "position_gain"));
    velocity_gain = read_real(sheet, cell_of(layout, "velocity_gain"));
    bias_current = read_real(sheet, cell_of(layout, "bias_current"));
    initial_nut_displacement = read_real(sheet, cell_of(layout, "initial_nut_displacement"));
    initial_nut_velocity = read_real(sheet, cell_of(layout, "initial_nut_velocity"));
    F::Y[2] = read_real(sheet, cell_of(layout, "stage_displacement"));
    F::Y[3] = read_real(sheet, cell_of(layout, "stage_velocity"));
    F::time_step = read_real(sheet, cell_of(layout, "time_step"));
    F::step_count = read_integer(sheet, cell_of(layout, "step_count"));
    F::print_interval = read_integer(sheet, cell_of(layout, "print_interval"));
  }
  // The screw starts at the angle and angular velocity of the sheet's nut
  // displacement and velocity.
  static void start() {
    PI = 3.14159265358979;
    F::Y[0] = ((initial_nut_displacement * 2) * PI) / screw_lead;
    F::Y[1] = ((initial_nut_velocity * 2) * PI) / screw_lead;
  }
  static double measured_count() {
    return scale_switch == 0 ? count_of(F::Y[0], encoder_resolution)
                             : count_of(F::Y[2], scale_resolution);
  }
  static void step() { rk4_step<F::Y, F::sim_time, F::time_step, derivative>(equations); }
  static void write_row(TableWriter& table) {
    table.line({F::sim_time, (F::Y[0] * screw_lead) / (2 * PI), F::Y[2], F::control_current,
                (F::Y[1] * screw_lead) / (2 * PI), F::Y[3]});
  }
};

}  // namespace

double derivative(int i, double, const double* CY) {
  switch (i) {
    case 0:
      return CY[1];
    case 1: {
      const double n = F::position_count;
      const double I = servo_current(bias_current, position_gain, velocity_gain,
                                     sensor_resolution(), F::time_step, n, n, F::previous_count);
      F::control_current = I;
      // The nut-stage spring force acts back on the screw through the lead.
      const double xn = (screw_lead * CY[0]) / (2 * PI);
      return ((torque_constant * I - rotary_damping * CY[1]) -
              ((axial_stiffness * (xn - CY[2])) * screw_lead) / (2 * PI)) /
             (inertia1 + inertia2);
    }
    case 2:
      return CY[3];
    case 3: {
      // Friction opposes the stage velocity; at exactly zero it takes +Fs.
      const double xn = (screw_lead * CY[0]) / (2 * PI);
      if (CY[3] > 0) return -(axial_stiffness * (CY[2] - xn) + friction_force) / stage_mass;
      return -(axial_stiffness * (CY[2] - xn) - friction_force) / stage_mass;
    }
    default:
      return 0;
  }
}

void run() { stage::run<Sim>(); }

}  // namespace meridox::stage::nut
