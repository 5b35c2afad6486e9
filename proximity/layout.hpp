#pragma once
// The proximity calculator's sheet and table.
#include "common/layout.hpp"

namespace meridox::proximity {
namespace layout_data {

inline constexpr CellSpec cells[] = {
    {"wavelength", 2, 2, CellType::real, "um"},
    {"gap", 2, 3, CellType::real, "um"},
    {"source_half_angle", 2, 4, CellType::real, "rad"},
    {"x_start", 2, 5, CellType::real, "um"},
    {"x_end", 2, 6, CellType::real, "um"},
    {"x_steps", 2, 7, CellType::integer, "-", INT_MIN, 140},
    {"y_start", 2, 8, CellType::real, "um"},
    {"y_end", 2, 9, CellType::real, "um"},
    {"y_steps", 2, 10, CellType::integer, "-", INT_MIN, 140},
    // Rows 14 to 699, the sheet's last: 686 rectangles at most.
    {"rect_count", 2, 11, CellType::integer, "-", 0, 686},
};

// Edges in the sheet's length unit.
inline constexpr RectangleSpec rectangles{"rect_count", 14, false, "length"};

inline constexpr ColumnSpec image_columns[] = {
    {"x", "length"}, {"y", "length"}, {"intensity (1 = open light)", "-"}};

inline constexpr TableSpec tables[] = {
    {.file = "OUT_M.txt",
     .kind = "proximity_image",
     .form = TableForm::map,
     .title = "proximity image intensity",
     .header = {},  // no title: the table starts with its axis line
     .columns = image_columns,
     .metrics = MetricKind::image,
     .map = {.picture_title = "Proximity image: relative intensity",
             .scale_label = "relative intensity (1 = open light)",
             .summary_words = "intensity, 1 = open light"}},
};

inline constexpr CellCheck checks[] = {
    {"wavelength", CellRule::nonnegative, "a wavelength is positive"},
    {"gap", CellRule::nonnegative, "the mask lies a positive gap above the resist"},
};

}  // namespace layout_data

inline constexpr Layout layout{.deliverable = "quendra",
                               .entry = "main3",
                               .alias = "proximity",
                               .grid = {8, 700, 100, 699},
                               .cells = layout_data::cells,
                               .rectangles = &layout_data::rectangles,
                               .tables = layout_data::tables,
                               .length_unit_cell = "x_start",
                               .focus_cell = "gap",
                               .image = {.grid = ImageGrid::window,
                                         .x = {"x_start", "x_end", "x_steps"},
                                         .y = {"y_start", "y_end", "y_steps"}},
                               .checks = layout_data::checks,
                               .recomputes_every_call = true};
static_assert(names_only_its_cells(layout) && layout.holds(layout_data::rectangles.count_cell));

}  // namespace meridox::proximity
