#pragma once

namespace meridox::plate {

// One complete run: read the parameter sheet, compute, write the tables.
void run();

}  // namespace meridox::plate
