#pragma once
// The stage on a base: the drive and the stage-base friction push the stage
// forward and the base backward; the base is held to the ground by a spring
// and, with the mode switch on, rubs on the ground. The servo sees only the
// stage's displacement relative to the base.
namespace meridox::stage::base {

// One complete run: reads "IN_FM.txt", writes "OUT_M.txt". Every run starts
// the base at rest with its spring relaxed.
void run();

// The right-hand side of the four equations of motion (stage x, v; base x, v);
// equations 1 and 3 also store the control current. Any other equation gives 0.
double derivative(int i, double t, const double* CY);

}  // namespace meridox::stage::base
