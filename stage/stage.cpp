#include "stage/stage.hpp"

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"

namespace meridox::stage {

void run_nut_stage() {
  // Placeholder until the calculator lands: reads the sheet, writes an empty table.
  read_parameter_sheet(small_grid);
  TableWriter table(exchange_file("OUT_M.txt"));
}
void run_single_stage() {
  // Placeholder until the calculator lands: reads the sheet, writes an empty table.
  read_parameter_sheet(small_grid);
  TableWriter table(exchange_file("OUT_M.txt"));
}
void run_stage_base() {
  // Placeholder until the calculator lands: reads the sheet, writes an empty table.
  read_parameter_sheet(small_grid);
  TableWriter table(exchange_file("OUT_M.txt"));
}

}  // namespace meridox::stage
