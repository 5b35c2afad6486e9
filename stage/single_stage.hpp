#pragma once
// The single-axis stage: one rigid stage pushed by a current-driven force
// against friction, under the sampled position servo of the stage frame.
namespace meridox::stage::single {

// One complete run: reads "IN_FM.txt", writes "OUT_M.txt".
void run();

// The right-hand side of the equations of motion (x' = v, v' = force / m);
// equation 1 also stores the control current. Any other equation gives 0.
double derivative(int i, double t, const double* CY);

}  // namespace meridox::stage::single
