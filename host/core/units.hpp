#pragma once
// What a sheet says of its tables beyond their numbers: the unit of the
// optics lengths, the words for the other units, the stage's columns, count
// and band, and the optics of the pupil and source that its maps show.
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/sheet.hpp"
#include "host/core/calculators.hpp"
#include "host/core/image_cut.hpp"
#include "host/core/summary.hpp"

namespace meridox::host {

// The unit text of the optics lengths in a sheet (column 1 of the row that
// gives the pitch or the image window).
std::string length_unit(const Calculator& calculator, std::string_view sheet_bytes);
std::string length_unit(const Calculator& calculator, const Sheet& sheet);

// Metres in one of the length units the pictures can convert between (nm,
// um, mm, cm, m); NaN for any other text.
double metres_per(std::string_view unit);

// The stage table of a calculator's layout; nullptr for the others.
const TableSpec* stage_table(const Calculator& calculator);

// Which columns, count and band the stage summary uses, from the sheet.
StageColumns stage_columns_for(const Calculator& calculator, std::string_view sheet_bytes);
StageColumns stage_columns_for(const Calculator& calculator, const Sheet& sheet);

// A stage sheet's step count and print interval as the simulator reads
// them, with their cells; nullptr cells (and zeros) for other calculators.
struct StageSteps {
  const CellSpec* steps_cell = nullptr;
  const CellSpec* interval_cell = nullptr;
  long long steps = 0;
  int interval = 0;
};
StageSteps stage_steps(const Calculator& calculator, const Sheet& sheet);

// The plate's section (modulus, Poisson's ratio, thickness) from its sheet.
PlateSection plate_section(const Calculator& calculator, std::string_view sheet_bytes);
PlateSection plate_section(const Calculator& calculator, const Sheet& sheet);

// The sheet's texts of the unit words of its calculator's table columns.
UnitWords unit_words(const Calculator& calculator, const Sheet& sheet);

// The unit of a named cell as the sheet gives it in column 1, else the
// layout's; a rectangle cell's from the layout (its edges in the sheet's
// length unit or in samples); "" for a name that is not one of the
// calculator's cells.
std::string cell_unit(const Calculator& calc, const std::string& sheet_bytes, const std::string& name);

// How a calculator's image is followed between its samples: a projection
// image is band-limited and periodic over its grid, a proximity image is not.
ImageModel image_model(const Calculator& calculator);

// The mask's rectangles as the calculator uses them (their count and edges
// limited as it limits them), edges in the image's lengths: a projection
// sheet gives them in samples of its pitch. None for a calculator without.
std::vector<MaskRectangle> mask_rectangles(const Calculator& calculator, std::string_view sheet_bytes);
std::vector<MaskRectangle> mask_rectangles(const Calculator& calculator, const Sheet& sheet);

// The axes of a calculator's image as its sheet gives them (empty when the
// calculator has no image or the sheet gives it no samples).
void image_axes(const Calculator& calculator, std::string_view sheet_bytes, std::vector<double>& x,
                std::vector<double>& y);

// Why a cut cannot be measured on the image the sheet gives: its point lies
// outside it; "" when it lies on it, or the image has no samples.
std::string cut_outside_image(const Calculator& calculator, std::string_view sheet_bytes, const CutOptions& cut);
// The same for an image of the given axes (lengths in `unit`).
std::string cut_outside_axes(const std::vector<double>& x, const std::vector<double>& y, const CutOptions& cut,
                             ImageModel model, const std::string& unit);

// What a run's summary and pictures take from its sheet: the summary
// context, the pupil and source of the spectrum maps, and the length unit
// the pictures draw in with its scale from the sheet's.
struct SheetDescription {
  SummaryContext context;
  double na = std::numeric_limits<double>::quiet_NaN();
  double sigma = std::numeric_limits<double>::quiet_NaN();
  std::string length_unit;  // as drawn: the unit asked for, else the sheet's
  double length_scale = 1.0;
};

// Describes a sheet, with lengths drawn in `asked_unit` when one is given.
// Returns why the asked unit cannot be used, or "".
std::string describe_sheet(const Calculator& calculator, std::string_view sheet_bytes, const std::string& asked_unit,
                           SheetDescription& description);

}  // namespace meridox::host
