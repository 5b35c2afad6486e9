#pragma once
// The three stage simulators' sheets and tables. The single stage and the
// stage on a base read the same rows 1 to 14; the stage on a base reads its
// base from the three rows after them.
#include <array>

#include "common/layout.hpp"

namespace meridox::stage {
namespace layout_data {

inline constexpr GridShape grid{10, 100, 200, 99};

inline constexpr CellSpec nut_stage_cells[] = {
    {"scale_switch", 2, 1, CellType::integer, "-"},
    {"encoder_resolution", 2, 2, CellType::real, "rad/count"},
    {"scale_resolution", 2, 3, CellType::real, "mm/count"},
    {"inertia1", 2, 4, CellType::real, "kg mm^2"},
    {"inertia2", 2, 5, CellType::real, "kg mm^2"},
    {"screw_lead", 2, 6, CellType::real, "mm/rev"},
    {"rotary_damping", 2, 7, CellType::real, "mN mm s/rad"},
    {"torque_constant", 2, 8, CellType::real, "mN mm/A"},
    {"stage_mass", 2, 9, CellType::real, "kg"},
    {"friction_force", 2, 10, CellType::real, "mN"},
    {"axial_stiffness", 2, 11, CellType::real, "mN/mm"},
    {"position_gain", 2, 12, CellType::real, "A/rad"},
    {"velocity_gain", 2, 13, CellType::real, "A s/rad"},
    {"bias_current", 2, 14, CellType::real, "A"},
    {"initial_nut_displacement", 2, 15, CellType::real, "mm"},
    {"initial_nut_velocity", 2, 16, CellType::real, "mm/s"},
    {"stage_displacement", 2, 17, CellType::real, "mm"},
    {"stage_velocity", 2, 18, CellType::real, "mm/s"},
    {"time_step", 2, 19, CellType::real, "s"},
    {"step_count", 2, 20, CellType::integer, "-"},
    {"print_interval", 2, 21, CellType::integer, "-"},
};

inline constexpr std::array<CellSpec, 14> servo_cells = {{
    {"offset_switch", 2, 1, CellType::integer, "-"},
    {"offset_width", 2, 2, CellType::real, "counts"},
    {"force_constant", 2, 3, CellType::real, "mN/A"},
    {"resolution", 2, 4, CellType::real, "mm/count"},
    {"stage_mass", 2, 5, CellType::real, "kg"},
    {"friction_force", 2, 6, CellType::real, "mN"},
    {"position_gain", 2, 7, CellType::real, "A/mm"},
    {"velocity_gain", 2, 8, CellType::real, "A s/mm"},
    {"bias_current", 2, 9, CellType::real, "A"},
    {"stage_displacement", 2, 10, CellType::real, "mm"},
    {"stage_velocity", 2, 11, CellType::real, "mm/s"},
    {"time_step", 2, 12, CellType::real, "s"},
    {"step_count", 2, 13, CellType::integer, "-"},
    {"print_interval", 2, 14, CellType::integer, "-"},
}};

inline constexpr std::array<CellSpec, 17> stage_base_cells = [] {
  std::array<CellSpec, 17> all{};
  for (std::size_t k = 0; k < servo_cells.size(); ++k) all[k] = servo_cells[k];
  all[14] = {"base_mass", 2, 15, CellType::real, "kg"};
  all[15] = {"base_stiffness", 2, 16, CellType::real, "mN/mm"};
  all[16] = {"base_friction", 2, 17, CellType::real, "mN"};
  return all;
}();

inline constexpr ColumnSpec stage_columns[] = {
    {"time", "s"}, {"stage displacement", "mm"}, {"control current", "A"}, {"stage velocity", "mm/s"}};
inline constexpr ColumnSpec nut_stage_columns[] = {
    {"time", "s"},          {"nut displacement", "mm"}, {"stage displacement", "mm"},
    {"control current", "A"}, {"nut velocity", "mm/s"}, {"stage velocity", "mm/s"}};
inline constexpr ColumnSpec stage_base_columns[] = {
    {"time", "s"},          {"stage displacement", "mm"},      {"base displacement", "mm"},
    {"stage minus base", "mm"}, {"control current", "A"}, {"stage velocity", "mm/s"}};

inline constexpr PanelSpec stage_panels[] = {{"Displacement", "x", {{1, "x", Ink::blue}}},
                                             {"Control current", "I", {{2, "I", Ink::red}}},
                                             {"Velocity", "v", {{3, "v", Ink::green}}}};
inline constexpr PanelSpec nut_stage_panels[] = {
    {"Displacement", "x", {{1, "nut", Ink::red}, {2, "stage", Ink::blue}}},
    {"Control current", "I", {{3, "I", Ink::red}}},
    {"Velocity", "v", {{4, "nut", Ink::red}, {5, "stage", Ink::blue}}}};
inline constexpr PanelSpec stage_base_panels[] = {
    {"Displacement", "x", {{1, "stage", Ink::blue}, {2, "base", Ink::red}, {3, "stage - base", Ink::green}}},
    {"Control current", "I", {{4, "I", Ink::red}}},
    {"Stage velocity", "v", {{5, "v", Ink::blue}}}};

// The servo error that matters for exposure: the stage (whichever sensor the
// nut-and-stage servo reads), the stage relative to its base.
inline constexpr TableSpec stage_tables[] = {
    {.file = "OUT_M.txt",
     .kind = "stage",
     .form = TableForm::columns,
     .title = "stage time series",
     // "時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)" (time, displacement, control
     // current, velocity)
     .header = "\x8e\x9e\x8a\xd4(s)\t\x95\xcf\x88\xca(mm)\t\x90\xa7\x8c\xe4\x93"
               "d\x97\xac(A)\t\x91\xac\x93x(mm/s)",
     .columns = stage_columns,
     .metrics = MetricKind::stage,
     .error_column = 1,
     .current_column = 2,
     .count_cell = "resolution",
     .steps_cell = "step_count",
     .interval_cell = "print_interval",
     .step_time_cell = "time_step",
     .x_symbol = "t",
     .panels = stage_panels}};
inline constexpr TableSpec nut_stage_tables[] = {
    {.file = "OUT_M.txt",
     .kind = "nut_stage",
     .form = TableForm::columns,
     .title = "nut and stage time series",
     // "時間(s)\tﾅｯﾄ変位(mm)\tｽﾃｰｼﾞ変位(mm)\t制御電流(A)\tﾅｯﾄ速度(mm/s)\tｽﾃｰｼﾞ速度(mm/s)"
     // (time, nut displacement, stage displacement, control current, nut
     // velocity, stage velocity); the katakana are half-width, one byte each
     .header = "\x8e\x9e\x8a\xd4(s)\t\xc5\xaf\xc4\x95\xcf\x88\xca(mm)\t\xbd\xc3\xb0\xbc\xde\x95\xcf\x88\xca"
               "(mm)\t\x90\xa7\x8c\xe4\x93"
               "d\x97\xac(A)\t\xc5\xaf\xc4\x91\xac\x93x(mm/s)\t\xbd\xc3\xb0\xbc\xde\x91\xac\x93x(mm/s)",
     .columns = nut_stage_columns,
     .metrics = MetricKind::stage,
     .error_column = 2,
     .current_column = 3,
     .count_cell = "scale_resolution",
     .steps_cell = "step_count",
     .interval_cell = "print_interval",
     .step_time_cell = "time_step",
     .x_symbol = "t",
     .panels = nut_stage_panels}};
inline constexpr TableSpec stage_base_tables[] = {
    {.file = "OUT_M.txt",
     .kind = "stage_base",
     .form = TableForm::columns,
     .title = "stage and base time series",
     // "時間(s)\t変位s(mm)\t変位b(mm)\t変位差分(mm)\t制御電流(A)\t速度(mm/s)" (time,
     // stage displacement, base displacement, their difference, control
     // current, velocity)
     .header = "\x8e\x9e\x8a\xd4(s)\t\x95\xcf\x88\xcas(mm)\t\x95\xcf\x88\xca"
               "b(mm)\t\x95\xcf\x88\xca\x8d\xb7\x95\xaa(mm)\t\x90\xa7\x8c\xe4\x93"
               "d\x97\xac(A)\t\x91\xac\x93x(mm/s)",
     .columns = stage_base_columns,
     .metrics = MetricKind::stage,
     .error_column = 3,
     .current_column = 4,
     .count_cell = "resolution",
     .steps_cell = "step_count",
     .interval_cell = "print_interval",
     .step_time_cell = "time_step",
     .x_symbol = "t",
     .panels = stage_base_panels}};

// A mass, an inertia and a step below 0 mean nothing physical; a 0 among
// them is divided by. (Which sensor's resolution the nut-and-stage servo
// divides by depends on its switch: the check tells that in code.)
inline constexpr CellCheck stage_checks[] = {
    {"stage_mass", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"resolution", CellRule::nonnegative, "a sensor's count has a positive length"},
    {"time_step", CellRule::nonnegative, "time runs backwards"},
    {"resolution", CellRule::nonzero, "the position count divides by it"},
    {"stage_mass", CellRule::nonzero, "the stage's acceleration divides by its mass"},
    {"time_step", CellRule::nonzero, "the velocity term of the current divides by it"},
};
inline constexpr CellCheck stage_base_checks[] = {
    {"stage_mass", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"base_mass", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"resolution", CellRule::nonnegative, "a sensor's count has a positive length"},
    {"time_step", CellRule::nonnegative, "time runs backwards"},
    {"resolution", CellRule::nonzero, "the position count divides by it"},
    {"stage_mass", CellRule::nonzero, "the stage's acceleration divides by its mass"},
    {"time_step", CellRule::nonzero, "the velocity term of the current divides by it"},
    {"base_mass", CellRule::nonzero, "the base's acceleration divides by its mass"},
};
inline constexpr CellCheck nut_stage_checks[] = {
    {"stage_mass", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"inertia1", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"inertia2", CellRule::nonnegative, "a mass or inertia is never below 0"},
    {"scale_resolution", CellRule::nonnegative, "a sensor's count has a positive length"},
    {"encoder_resolution", CellRule::nonnegative, "a sensor's count has a positive length"},
    {"time_step", CellRule::nonnegative, "time runs backwards"},
    {"stage_mass", CellRule::nonzero, "the stage's acceleration divides by its mass"},
    {"time_step", CellRule::nonzero, "the velocity term of the current divides by it"},
    {"screw_lead", CellRule::nonzero, "angle and nut displacement convert through the lead"},
};

}  // namespace layout_data

inline constexpr Layout nut_stage_layout{.deliverable = "drovik1",
                                         .entry = "main2_1",
                                         .alias = "nut-stage",
                                         .grid = layout_data::grid,
                                         .cells = layout_data::nut_stage_cells,
                                         .rectangles = nullptr,
                                         .tables = layout_data::nut_stage_tables,
                                         .length_unit_cell = "",
                                         .servo = ServoModel::screw_and_nut,
                                         .checks = layout_data::nut_stage_checks};
inline constexpr Layout single_stage_layout{.deliverable = "drovik2",
                                            .entry = "main2_2",
                                            .alias = "stage",
                                            .grid = layout_data::grid,
                                            .cells = layout_data::servo_cells,
                                            .rectangles = nullptr,
                                            .tables = layout_data::stage_tables,
                                            .length_unit_cell = "",
                                            .servo = ServoModel::direct,
                                            .checks = layout_data::stage_checks};
inline constexpr Layout stage_base_layout{.deliverable = "drovik3",
                                          .entry = "main2_3",
                                          .alias = "stage-base",
                                          .grid = layout_data::grid,
                                          .cells = layout_data::stage_base_cells,
                                          .rectangles = nullptr,
                                          .tables = layout_data::stage_base_tables,
                                          .length_unit_cell = "",
                                          .servo = ServoModel::on_base,
                                          .checks = layout_data::stage_base_checks};
static_assert(names_only_its_cells(nut_stage_layout));
static_assert(names_only_its_cells(single_stage_layout));
static_assert(names_only_its_cells(stage_base_layout));

}  // namespace meridox::stage
