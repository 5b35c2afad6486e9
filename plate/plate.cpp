#include "plate/plate.hpp"

#include <climits>

#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "common/table.hpp"
#include "plate/layout.hpp"

namespace meridox::plate {

double Y[RK_MAX_EQ];
double radius;
double radial_step;

int load_case;
int support_case;
double modulus;
double poisson;
double thickness;
double load;
double r_start;
double r_end;
int divisions;

double PI;
double rigidity;
double Mr;
double sigma_r;
double Pe;

void run() {
  const std::string folder = start_run({result_table});
  read_cells(read_parameter_sheet(folder, layout.grid));
  PI = pi_value;

  const int steps = step_count(divisions);
  radial_step = (r_end - r_start) / steps;
  rigidity = flexural_rigidity(modulus, poisson, thickness);

  solve_start_values(steps);

  TableWriter table(folder + result_table);
  table.text(table_of(layout, result_table).header);
  table.end_line();
  write_profile(table, steps);
}

void read_cells(const Sheet& sheet) {
  load_case = read_integer(sheet, cell_of(layout, "load_case"));
  support_case = read_integer(sheet, cell_of(layout, "support_case"));
  modulus = read_real(sheet, cell_of(layout, "modulus"));
  poisson = read_real(sheet, cell_of(layout, "poisson"));
  thickness = read_real(sheet, cell_of(layout, "thickness"));
  load = read_real(sheet, cell_of(layout, "load"));
  r_start = read_real(sheet, cell_of(layout, "r_start"));
  r_end = read_real(sheet, cell_of(layout, "r_end"));
  divisions = read_integer(sheet, cell_of(layout, "divisions"));
}

int step_count(int division_count) {
  if (division_count > INT_MAX / steps_per_division) return INT_MAX;
  if (division_count < INT_MIN / steps_per_division) return INT_MIN;
  return division_count * steps_per_division;
}

double flexural_rigidity(double E, double nu, double t) {
  return (((E * t) * t) * t) / (12 * (1 - nu * nu));
}

void update_moment() {
  Mr = (-rigidity) * (Y[2] + (Y[1] * poisson) / radius);
  sigma_r = (Mr * 6) / (thickness * thickness);
}

void write_profile(TableWriter& table, int steps) {
  for (int i = 0; i < steps; ++i) {
    if (i % steps_per_division == 0) {
      update_moment();
      Pe = (Y[1] * thickness) / 2;
      table.line({radius, Y[0], Y[1], Y[2], Mr, sigma_r, Pe});
    }
    step();
  }
  // The final row, at the radius the steps reached, carries no pitch error.
  update_moment();
  table.line({radius, Y[0], Y[1], Y[2], Mr, sigma_r});
}

}  // namespace meridox::plate
