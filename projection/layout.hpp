#pragma once
// The projection calculator's sheet and tables.
#include "common/layout.hpp"

namespace meridox::projection {
namespace layout_data {

inline constexpr CellSpec cells[] = {
    {"grid_size", 2, 2, CellType::integer, "samples", INT_MIN, 128},
    {"pitch", 2, 3, CellType::real, "um"},
    {"wavelength", 2, 4, CellType::real, "um"},
    {"NA", 2, 5, CellType::real, "-"},
    {"sigma", 2, 6, CellType::real, "-"},
    {"tilt_x", 2, 7, CellType::real, "-"},
    {"tilt_y", 2, 8, CellType::real, "-"},
    {"defocus", 2, 9, CellType::real, "um"},
    {"aber_x[1]", 2, 10, CellType::real, "um"},
    {"aber_x[2]", 2, 11, CellType::real, "um"},
    {"aber_x[3]", 2, 12, CellType::real, "um"},
    {"aber_x[4]", 2, 13, CellType::real, "um"},
    {"aber_x[5]", 2, 14, CellType::real, "um"},
    {"aber_x[6]", 2, 15, CellType::real, "um"},
    {"aber_y[1]", 2, 16, CellType::real, "um"},
    {"aber_y[2]", 2, 17, CellType::real, "um"},
    {"aber_y[3]", 2, 18, CellType::real, "um"},
    {"aber_y[4]", 2, 19, CellType::real, "um"},
    {"aber_y[5]", 2, 20, CellType::real, "um"},
    {"aber_y[6]", 2, 21, CellType::real, "um"},
    {"rect_count", 2, 22, CellType::integer, "-", INT_MIN, 1000},
};

// Edges in samples from the centre, kept within half a grid.
inline constexpr RectangleSpec rectangles{"rect_count", 25, true};

inline constexpr ColumnSpec amplitude_columns[] = {
    {"direction sine x", "-"}, {"direction sine y", "-"}, {"mask spectrum amplitude", "-"}};
inline constexpr ColumnSpec phase_columns[] = {
    {"direction sine x", "-"}, {"direction sine y", "-"}, {"mask spectrum phase", "rad"}};
inline constexpr ColumnSpec image_columns[] = {
    {"x", "length"}, {"y", "length"}, {"intensity (1 = clear field)", "-"}};

inline constexpr TableSpec tables[] = {
    {"OUT_MR.txt", "spectrum_amplitude", TableForm::map, "mask spectrum amplitude", amplitude_columns},
    {"OUT_MI.txt", "spectrum_phase", TableForm::map, "mask spectrum phase", phase_columns},
    {"OUT_M.txt", "image", TableForm::map, "projection image intensity", image_columns, MetricKind::image},
};

}  // namespace layout_data

inline constexpr Layout layout{"orvalis",           "main4", "projection", {10, 1002, 100, 1000},
                               layout_data::cells, &layout_data::rectangles, layout_data::tables,
                               "pitch"};

}  // namespace meridox::projection
