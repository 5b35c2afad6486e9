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

// The servo error that matters for exposure: the stage (whichever sensor the
// nut-and-stage servo reads), the stage relative to its base.
inline constexpr TableSpec stage_tables[] = {
    {"OUT_M.txt", "stage", TableForm::columns, "stage time series", stage_columns, MetricKind::stage, 1, 2, "resolution"}};
inline constexpr TableSpec nut_stage_tables[] = {
    {"OUT_M.txt", "nut_stage", TableForm::columns, "nut and stage time series", nut_stage_columns, MetricKind::stage, 2, 3, "scale_resolution"}};
inline constexpr TableSpec stage_base_tables[] = {
    {"OUT_M.txt", "stage_base", TableForm::columns, "stage and base time series", stage_base_columns, MetricKind::stage, 3, 4, "resolution"}};

}  // namespace layout_data

inline constexpr Layout nut_stage_layout{"drovik1", "main2_1", "nut-stage", layout_data::grid,
                                         layout_data::nut_stage_cells, nullptr, layout_data::nut_stage_tables, ""};
inline constexpr Layout single_stage_layout{"drovik2", "main2_2", "stage", layout_data::grid,
                                            layout_data::servo_cells, nullptr, layout_data::stage_tables, ""};
inline constexpr Layout stage_base_layout{"drovik3", "main2_3", "stage-base", layout_data::grid,
                                          layout_data::stage_base_cells, nullptr, layout_data::stage_base_tables, ""};

}  // namespace meridox::stage
