#pragma once
// The screw-driven stage: a motor turns a screw whose nut drives, through an
// axial stiffness, a stage that slides against friction. The servo counts
// either the screw angle (rotary encoder) or the stage displacement (linear
// scale).
namespace meridox::stage::nut {

// One complete run: reads "IN_FM.txt", writes "OUT_M.txt".
void run();

// The right-hand side of the four equations of motion (screw angle and
// angular velocity; stage displacement and velocity); equation 1 also stores
// the control current. Any other equation gives 0.
double derivative(int i, double t, const double* CY);

}  // namespace meridox::stage::nut
