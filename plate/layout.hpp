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

inline constexpr TableSpec tables[] = {
    {"OUT_M.txt", "plate", TableForm::columns, "plate bending table", table_columns, MetricKind::plate},
};

}  // namespace layout_data

inline constexpr Layout layout{"talvek", "main1",           "plate", {10, 100, 200, 99}, layout_data::cells,
                               nullptr,  layout_data::tables, "r_start"};

}  // namespace meridox::plate
