#pragma once
// The circular-plate calculator's sheet and table.
#include "common/layout.hpp"

namespace meridox::plate {
namespace layout_data {

inline constexpr CellSpec cells[] = {
    {"load_case", 2, 1, CellType::integer, "-"},
    {"support_case", 2, 2, CellType::integer, "-"},
    {"modulus", 2, 3, CellType::real, "N/mm^2"},
    {"poisson", 2, 4, CellType::real, "-"},
    {"thickness", 2, 5, CellType::real, "mm"},
    {"load", 2, 6, CellType::real, "N/mm^2"},
    {"r_start", 2, 7, CellType::real, "mm"},
    {"r_end", 2, 8, CellType::real, "mm"},
    {"divisions", 2, 9, CellType::integer, "-"},
};

// Units: "length" is the unit of r_start, "stress" that of the modulus,
// "thickness" that of the thickness.
inline constexpr ColumnSpec table_columns[] = {
    {"radius r", "length"},         {"deflection w", "length"},  {"slope w'", "rad"},
    {"curvature w''", "1/length"},  {"radial moment Mr", "stress length^2/length"},
    {"radial stress sigma r", "stress"}, {"pitch error Pe", "thickness"}};

inline constexpr PanelSpec panels[] = {{"Deflection", "w", {{1, "w", Ink::blue}}},
                                       {"Slope", "w'", {{2, "w'", Ink::blue}}},
                                       {"Radial stress", "sigma r", {{5, "sigma r", Ink::red}}},
                                       {"Pitch error", "Pe", {{6, "Pe", Ink::green}}}};
inline constexpr UnitSpec units[] = {{"stress", "modulus", "stress"}, {"thickness", "thickness", "length"}};

inline constexpr TableSpec tables[] = {
    {.file = "OUT_M.txt",
     .kind = "plate",
     .form = TableForm::columns,
     .title = "plate bending table",
     // "半径\t変位\t傾斜\t曲率\tﾓｰﾒﾝﾄMr\t応力σr\tピッチ誤差Pe" (radius, deflection,
     // slope, curvature, moment, stress, pitch error)
     .header = "\x94\xbc\x8c\x61\t"              // 半径
               "\x95\xcf\x88\xca\t"              // 変位
               "\x8c\x58\x8e\xce\t"              // 傾斜
               "\x8b\xc8\x97\xa6\t"              // 曲率
               "\xd3\xb0\xd2\xdd\xc4" "Mr\t"     // ﾓｰﾒﾝﾄMr
               "\x89\x9e\x97\xcd\x83\xd0" "r\t"  // 応力σr
               "\x83\x73\x83\x62\x83\x60\x8c\xeb\x8d\xb7" "Pe",  // ピッチ誤差Pe
     .columns = table_columns,
     .metrics = MetricKind::plate,
     .x_symbol = "radius r",
     .panels = panels,
     .units = units,
     .short_last_row_where = "at the end radius",
     .short_last_row_why = "no pitch error there",
     .plate = {.radius = 0,
               .deflection = 1,
               .slope = 2,
               .curvature = 3,
               .moment = 4,
               .stress = 5,
               .pitch_error = 6,
               .modulus_cell = "modulus",
               .poisson_cell = "poisson",
               .thickness_cell = "thickness"}},
};

inline constexpr CellCheck checks[] = {
    {"thickness", CellRule::nonnegative, "a plate has a positive thickness"},
    {"modulus", CellRule::nonnegative, "a modulus of elasticity is positive"},
    {"modulus", CellRule::nonzero, "the rigidity is 0 and the load term divides by it"},
    {"thickness", CellRule::nonzero, "the rigidity is 0 and the stress divides by t squared"},
};

}  // namespace layout_data

inline constexpr Layout layout{.deliverable = "talvek",
                               .entry = "main1",
                               .alias = "plate",
                               .grid = {10, 100, 200, 99},
                               .cells = layout_data::cells,
                               .rectangles = nullptr,
                               .tables = layout_data::tables,
                               .length_unit_cell = "r_start",
                               .checks = layout_data::checks};
static_assert(names_only_its_cells(layout));

}  // namespace meridox::plate
