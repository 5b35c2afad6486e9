#pragma once
// The process window of a focus study: how far focus and dose may stray
// while the measured width stays within its tolerance of the target.
#include <vector>

#include "host/core/metrics.hpp"

namespace meridox::host {

// The process window of a focus study: per threshold, the depth of focus
// (the longest contiguous focus interval with |cd - target| <= tolerance x
// target, its ends interpolated linearly between sampled focus values), the
// best focus (that interval's middle) and the exposure latitude there.
struct WindowRow {
  double threshold;
  double best_focus = no_value;
  double depth_of_focus = 0.0;
  double focus_low = no_value, focus_high = no_value;
  double exposure_latitude = no_value;  // percent of the dose 1/threshold
};
std::vector<WindowRow> process_window(const std::vector<double>& focus, const std::vector<double>& thresholds,
                                      const std::vector<std::vector<double>>& cd, double target, double tolerance);

}  // namespace meridox::host
