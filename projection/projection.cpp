#include "projection/projection.hpp"

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "projection/image.hpp"
#include "projection/parameters.hpp"
#include "projection/spectrum.hpp"
#include "projection/tables.hpp"

namespace meridox::projection {
namespace {

// The calculator's data live as long as the library stays loaded; each run
// sets every element it reads.
Parameters parameters;
Field field;  // the mask spectrum
Intensity II;

}  // namespace

void run() {
  const std::string folder = start_run({result_table, amplitude_table, phase_table});
  read_parameters(read_parameter_sheet(folder, layout.grid), parameters);
  mask_spectrum(parameters, field);
  write_amplitude_table(folder + amplitude_table, parameters, field);
  write_phase_table(folder + phase_table, parameters, field);
  form_image(parameters, field, II);
  write_intensity_table(folder + result_table, parameters, II);
}

}  // namespace meridox::projection
