#pragma once

namespace meridox::stage {

// One complete run of each simulator: read the sheet, integrate, write the table.
void run_nut_stage();
void run_single_stage();
void run_stage_base();

}  // namespace meridox::stage
