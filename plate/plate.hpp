#pragma once
// The circular-plate calculator: axisymmetric small-deflection bending of a
// circular plate of constant thickness over the ring r0 <= r <= r1.
//
// The plate equation is integrated as three first-order equations in the
// radius (w, w' and w'' in Y[0..2]) with the shared Runge-Kutta stepper. The
// edge conditions fix w = 0 and one more value at r0 and one quantity at r1;
// the start value they leave open is found by shooting: ten Newton
// iterations whose slope is a central difference of whole integrations.
//
// The state lives in globals, as the stepper expects, and keeps its values
// between runs of the entry. Every run reads all parameters afresh and sets
// every start value it integrates from.
#include "common/rk4.hpp"

namespace meridox {
class Sheet;
class TableWriter;
}  // namespace meridox

namespace meridox::plate {

// --- State, shared with the stepper ---------------------------------------
extern double Y[RK_MAX_EQ];  // w, w' = dw/dr, w'' = d2w/dr2 in slots 0..2
extern double radius;        // r, advanced by the stepper
extern double radial_step;   // h = (r1 - r0) / N

// --- Parameters of the sheet ------------------------------------------------
extern int load_case;     // 1: uniform pressure q; any other value: total load P
extern int support_case;  // edge conditions, see solve_start_values()
extern double modulus;    // E
extern double poisson;    // nu
extern double thickness;  // t
extern double load;       // q in load case 1, P otherwise
extern double r_start;    // r0, where the integration begins
extern double r_end;      // r1, where the far edge condition holds
extern int divisions;     // printed intervals between r0 and r1

// --- Values of the run --------------------------------------------------------
extern double PI;
extern double rigidity;  // D
extern double Mr;        // radial bending moment of the last printed row
extern double sigma_r;   // radial bending stress of the last printed row
extern double Pe;        // pitch error of the last seven-field row

inline constexpr double pi_value = 3.14159265358979;
inline constexpr int equation_count = 3;
inline constexpr int newton_iterations = 10;
inline constexpr double perturbation = 0.001;  // delta of the central difference
inline constexpr int steps_per_division = 10;

// One complete run: read the parameter sheet, solve, write the table.
void run();

// Converts the calculator's cells (column 2, rows 1 to 9) into the globals.
void read_cells(const Sheet& sheet);

// Integration steps for a number of printed intervals: ten per interval.
// Saturates at the ends of the int range instead of overflowing; a count of
// zero or less means no step at all.
int step_count(int division_count);

// D = E t^3 / (12 (1 - nu^2)), multiplied out left to right.
double flexural_rigidity(double E, double nu, double t);

// --- Plate equations -------------------------------------------------------------
// The shear term Q/D of the third equation at radius x: q x / (2 D) for a
// uniform pressure, P / (2 pi x D) for a total load carried through every
// circle.
double load_term(double x);

// dy_i/dr at radius x for the trial state CY = (w, w', w''):
//   w' ,  w'' ,  (Q/D - w''/x) + w'/x^2.
// An equation index other than 0..2 gives 0.
double derivative(int i, double x, const double* CY);

// One Runge-Kutta step of the three plate equations.
void step();

// --- Shooting ------------------------------------------------------------------
// Both runs set radius := start_radius and Y := (w0, s0, c0), take `steps`
// steps of `n` equations (none if steps <= 0) and leave Y at the end.
// shoot_slope returns w' at the end; shoot_moment returns w'' + nu w'/r
// there, the radial moment divided by -D.
double shoot_slope(int steps, int n, double start_radius, double w0, double s0, double c0);
double shoot_moment(int steps, int n, double start_radius, double w0, double s0, double c0);

// The curvature that makes the radial moment vanish at r0 for slope s0:
// w'' = -nu w'/r0.
double supported_curvature(double s0);

// One Newton update of the unknown u from the end quantity at u - delta,
// u and u + delta.
double newton_update(double u, double f_minus, double f0, double f_plus);

// Finds the open start value for the support case and leaves radius = r0
// and Y = the start values at r0:
//   0: w = w' = 0 at r0, w' = 0 at r1; unknown w''(r0)
//   1: w = 0 and Mr = 0 at r0, w' = 0 at r1; unknown w'(r0)
//   2: w = w' = 0 at r0, Mr = 0 at r1; unknown w''(r0)
//   other: nothing to solve; the start is w = w' = w'' = 0.
// `steps` is the step count of every trial integration.
void solve_start_values(int steps);

// --- Result table ------------------------------------------------------------
// The header line is the layout's.

// Sets Mr and sigma_r from the current state and radius.
void update_moment();

// Integrates `steps` steps from the current state, writing a seven-field
// row before every tenth step and the six-field final row after the last.
void write_profile(TableWriter& table, int steps);

}  // namespace meridox::plate
