#include "host/calculators.hpp"

namespace meridox::host {
namespace {

// Rows 1 to 14, read alike by the single stage and the stage on a base.
std::vector<Cell> servo_cells() {
  return {{1, "offset_switch", true},   {2, "offset_width", false},
          {3, "force_constant", false}, {4, "resolution", false},
          {5, "stage_mass", false},     {6, "friction_force", false},
          {7, "position_gain", false},  {8, "velocity_gain", false},
          {9, "bias_current", false},   {10, "stage_displacement", false},
          {11, "stage_velocity", false}, {12, "time_step", false},
          {13, "step_count", true},     {14, "print_interval", true}};
}

// The stage on a base reads three rows more: its base.
std::vector<Cell> with_base_cells(std::vector<Cell> cells) {
  cells.push_back({15, "base_mass", false});
  cells.push_back({16, "base_stiffness", false});
  cells.push_back({17, "base_friction", false});
  return cells;
}

const std::vector<Calculator>& table() {
  static const std::vector<Calculator> all = {
      {"orvalis", "main4", "projection", Kind::projection, projection_grid,
       {{2, "grid_size", true},  {3, "pitch", false},      {4, "wavelength", false},
        {5, "NA", false},        {6, "sigma", false},      {7, "tilt_x", false},
        {8, "tilt_y", false},    {9, "defocus", false},    {10, "aber_x[1]", false},
        {11, "aber_x[2]", false}, {12, "aber_x[3]", false}, {13, "aber_x[4]", false},
        {14, "aber_x[5]", false}, {15, "aber_x[6]", false}, {16, "aber_y[1]", false},
        {17, "aber_y[2]", false}, {18, "aber_y[3]", false}, {19, "aber_y[4]", false},
        {20, "aber_y[5]", false}, {21, "aber_y[6]", false}, {22, "rect_count", true}},
       true, {22, 25, 1000}, {"OUT_MR.txt", "OUT_MI.txt", "OUT_M.txt"}},
      {"quendra", "main3", "proximity", Kind::proximity, proximity_grid,
       {{2, "wavelength", false}, {3, "gap", false},     {4, "source_half_angle", false},
        {5, "x_start", false},    {6, "x_end", false},   {7, "x_steps", true},
        {8, "y_start", false},    {9, "y_end", false},   {10, "y_steps", true},
        {11, "rect_count", true}},
       true, {11, 14, 686}, {"OUT_M.txt"}},
      {"talvek", "main1", "plate", Kind::plate, small_grid,
       {{1, "load_case", true},
        {2, "support_case", true},
        {3, "modulus", false},
        {4, "poisson", false},
        {5, "thickness", false},
        {6, "load", false},
        {7, "r_start", false},
        {8, "r_end", false},
        {9, "divisions", true}},
       false, {}, {"OUT_M.txt"}},
      {"drovik1", "main2_1", "nut-stage", Kind::nut_stage, small_grid,
       {{1, "scale_switch", true},
        {2, "encoder_resolution", false},
        {3, "scale_resolution", false},
        {4, "inertia1", false},
        {5, "inertia2", false},
        {6, "screw_lead", false},
        {7, "rotary_damping", false},
        {8, "torque_constant", false},
        {9, "stage_mass", false},
        {10, "friction_force", false},
        {11, "axial_stiffness", false},
        {12, "position_gain", false},
        {13, "velocity_gain", false},
        {14, "bias_current", false},
        {15, "initial_nut_displacement", false},
        {16, "initial_nut_velocity", false},
        {17, "stage_displacement", false},
        {18, "stage_velocity", false},
        {19, "time_step", false},
        {20, "step_count", true},
        {21, "print_interval", true}},
       false, {}, {"OUT_M.txt"}},
      {"drovik2", "main2_2", "stage", Kind::stage, small_grid, servo_cells(), false, {},
       {"OUT_M.txt"}},
      {"drovik3", "main2_3", "stage-base", Kind::stage_base, small_grid,
       with_base_cells(servo_cells()), false, {}, {"OUT_M.txt"}},
  };
  return all;
}

}  // namespace

std::span<const Calculator> calculators() { return table(); }

const Calculator* find_calculator(std::string_view name) {
  for (const Calculator& c : table()) {
    if (name == c.name || name == c.alias) return &c;
  }
  return nullptr;
}

std::string calculator_names() {
  std::string out;
  for (const Calculator& c : table()) {
    if (!out.empty()) out += ", ";
    out += c.alias;
    out += " (";
    out += c.name;
    out += ")";
  }
  return out;
}

int row_of(const Calculator& calculator, std::string_view name) {
  for (const Cell& cell : calculator.cells) {
    if (name == cell.name) return cell.row;
  }
  return -1;
}

}  // namespace meridox::host
