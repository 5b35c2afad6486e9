#pragma once
// A literal, deliberately plain evaluation of the three stage simulators,
// written apart from the production code: its own Runge-Kutta step, its own
// counts and control laws, and "%f" through the C library. Tables built here
// are compared byte for byte with the tables the built libraries write.
#include <map>
#include <string>

namespace meridox::testing::stage_reference {

enum class Simulator { nut, single, base };

// A parameter sheet: the value of column 2 for each row. Rows that the
// simulator reads with atoi must hold whole numbers.
using Cells = std::map<int, double>;

// The rows of a simulator that are read as integers.
bool integer_row(Simulator sim, int row);

// The sheet text for the cells (labels in columns 0 and 1, as a host writes).
std::string sheet_text(Simulator sim, const Cells& cells);

// The bytes of "OUT_M.txt" for one run. `current` is the control current
// left by the previous run; on return it holds this run's last current.
std::string table(Simulator sim, const Cells& cells, double& current);

// The library of a simulator.
const char* library_name(Simulator sim);

}  // namespace meridox::testing::stage_reference
