#pragma once

namespace meridox::proximity {

// One complete run: read the parameter sheet, compute, write the tables.
void run();

}  // namespace meridox::proximity
