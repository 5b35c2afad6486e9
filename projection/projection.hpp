#pragma once

namespace meridox::projection {

// One complete run: read the parameter sheet, compute, write the tables.
void run();

}  // namespace meridox::projection
