#pragma once
// The projection-exposure calculator: the aerial image that a projection lens
// forms of a mask of rectangles under partially coherent illumination.

namespace meridox::projection {

// One complete run: read the parameter sheet, write the spectrum tables
// "OUT_MR.txt" and "OUT_MI.txt", form the image and write "OUT_M.txt".
void run();

}  // namespace meridox::projection
