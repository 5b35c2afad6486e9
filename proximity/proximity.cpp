#include "proximity/proximity.hpp"

#include <limits>

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"
#include "proximity/fast_field.hpp"
#include "proximity/fresnel.hpp"
#include "proximity/model.hpp"

namespace meridox::proximity {

void run() {
  const std::string folder = start_run({result_table});
  read_parameters(read_parameter_sheet(folder, layout.grid));
  clear_intensity();
  tabulate_fresnel();
  integrate_source();
  average_intensity();
  write_intensity_table(folder + result_table);
}

void clear_intensity() {
  for (int i = 0; i < column_count(); ++i) {
    for (int j = 0; j < row_count(); ++j) intensity[i][j] = 0.0;
  }
}

void integrate_source() {
  double scale = 0.0;
  if (fresnel_scale(scale)) {
    integrate_source_fast(scale);
    return;
  }
  // No finite Fresnel scale: nothing can be looked up, the map is undefined.
  source_count = 0;
  for (int i = -source_radius; i <= source_radius; ++i) {
    for (int j = -source_radius; j <= source_radius; ++j) source_count += in_source_disc(i, j);
  }
  for (int i = 0; i < column_count(); ++i) {
    for (int j = 0; j < row_count(); ++j) intensity[i][j] = std::numeric_limits<double>::quiet_NaN();
  }
}

void average_intensity() {
  const double count = static_cast<double>(source_count);
  for (int i = 0; i < column_count(); ++i) {
    for (int j = 0; j < row_count(); ++j) intensity[i][j] = intensity[i][j] / count;
  }
}

// A map: the first line holds an empty corner field and the x coordinates,
// every other line a y coordinate and the intensities along x.
void write_intensity_table(const std::string& path) {
  TableWriter table(path);
  table.text("\t");
  for (int i = 0; i < column_count(); ++i) table.field(table_x(i));
  table.end_line();
  for (int j = 0; j < row_count(); ++j) {
    table.field(table_y(j));
    for (int i = 0; i < column_count(); ++i) table.field(intensity[i][j]);
    table.end_line();
  }
  table.close();
}

}  // namespace meridox::proximity
