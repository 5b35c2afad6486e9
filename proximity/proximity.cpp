#include "proximity/proximity.hpp"

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"

namespace meridox::proximity {

void run() {
  // Placeholder until the calculator lands: reads the sheet, writes an empty table.
  read_parameter_sheet(proximity_grid);
  TableWriter table(exchange_file("OUT_M.txt"));
}

}  // namespace meridox::proximity
