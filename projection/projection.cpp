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
  read_parameters(read_parameter_sheet(projection_grid), parameters);
  mask_spectrum(parameters, field);
  write_amplitude_table(exchange_file("OUT_MR.txt"), parameters, field);
  write_phase_table(exchange_file("OUT_MI.txt"), parameters, field);
  form_image(parameters, field, II);
  write_intensity_table(exchange_file("OUT_M.txt"), parameters, II);
}

}  // namespace meridox::projection
