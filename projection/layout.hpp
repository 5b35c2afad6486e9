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
inline constexpr RectangleSpec rectangles{"rect_count", 25, true, "samples"};

inline constexpr ColumnSpec amplitude_columns[] = {
    {"direction sine x", "-"}, {"direction sine y", "-"}, {"mask spectrum amplitude", "-"}};
inline constexpr ColumnSpec phase_columns[] = {
    {"direction sine x", "-"}, {"direction sine y", "-"}, {"mask spectrum phase", "rad"}};
inline constexpr ColumnSpec image_columns[] = {
    {"x", "length"}, {"y", "length"}, {"intensity (1 = clear field)", "-"}};

inline constexpr TableSpec tables[] = {
    {.file = "OUT_MR.txt",
     .kind = "spectrum_amplitude",
     .form = TableForm::map,
     .title = "mask spectrum amplitude",
     // "フーリエ変換後の波動振幅" (wave amplitude after the Fourier transform)
     .header = "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc"
               "\x94\x67\x93\xae\x90\x55\x95\x9d",
     .columns = amplitude_columns,
     .map = {.value = MapValue::amplitude,
             .picture_title = "Mask spectrum: amplitude",
             .scale_label = "amplitude (1)",
             .summary_words = "amplitude, dimensionless",
             .axes = "direction sines",
             .pupil_cell = "NA",
             .source_cell = "sigma"}},
    {.file = "OUT_MI.txt",
     .kind = "spectrum_phase",
     .form = TableForm::map,
     .title = "mask spectrum phase",
     // "フーリエ変換後の光の位相" (phase of the light after the Fourier transform)
     .header = "\x83\x74\x81\x5b\x83\x8a\x83\x47\x95\xcf\x8a\xb7\x8c\xe3\x82\xcc"
               "\x8c\xf5\x82\xcc\x88\xca\x91\x8a",
     .columns = phase_columns,
     .map = {.value = MapValue::phase,
             .picture_title = "Mask spectrum: phase",
             .scale_label = "phase (rad)",
             .summary_words = "phase in rad",
             .axes = "direction sines",
             .mask_file = "OUT_MR.txt"}},
    {.file = "OUT_M.txt",
     .kind = "image",
     .form = TableForm::map,
     .title = "projection image intensity",
     // "投影像光強度分布II[i][j]" (light intensity distribution of the projected image)
     .header = "\x93\x8a\x89\x65\x91\x9c\x8c\xf5\x8b\xad\x93\x78\x95\xaa\x95\x7a"
               "II[i][j]",
     .columns = image_columns,
     .metrics = MetricKind::image,
     .map = {.picture_title = "Projection image: intensity",
             .scale_label = "intensity (1 = clear field)",
             .summary_words = "intensity, 1 = clear field"}},
};

inline constexpr CellCheck checks[] = {
    {"wavelength", CellRule::nonnegative, "a wavelength is positive"},
    {"sigma", CellRule::nonnegative, "a coherence factor lies between 0 and 1"},
    {"NA", CellRule::sine, "a numerical aperture is a sine"},
    {"pitch", CellRule::nonzero, "the spectrum axis divides by it; the tables hold inf or nan"},
    {"wavelength", CellRule::nonzero, "the pupil divides by it; the image holds inf or nan"},
    {"NA", CellRule::nonzero, "the pupil coordinates divide by it; the image holds inf or nan"},
};

}  // namespace layout_data

inline constexpr Layout layout{.deliverable = "orvalis",
                               .entry = "main4",
                               .alias = "projection",
                               .grid = {10, 1002, 100, 1000},
                               .cells = layout_data::cells,
                               .rectangles = &layout_data::rectangles,
                               .tables = layout_data::tables,
                               .length_unit_cell = "pitch",
                               .focus_cell = "defocus",
                               .image = {.grid = ImageGrid::periodic, .size_cell = "grid_size", .pitch_cell = "pitch"},
                               .checks = layout_data::checks,
                               .recomputes_every_call = true};
static_assert(names_only_its_cells(layout) && layout.holds(layout_data::rectangles.count_cell));

}  // namespace meridox::projection
