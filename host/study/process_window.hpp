#pragma once
// The exposure-defocus window of a focus study: the doses and foci that keep
// the measured width within its tolerance of the target, as a lithographer
// reports them.
//
// Dose is taken as inversely proportional to the threshold: a resist that
// clears at intensity T under the clear-field dose prints at relative dose
// D = 1/T (1 at threshold 1). Between the sampled thresholds cd is
// interpolated linearly in log dose, between the sampled foci linearly in
// focus. Then:
// - at each focus the window is the longest dose interval in which every
//   targeted feature's |cd - target| <= tolerance x target (and, when asked,
//   nils >= the floor);
// - best focus is the middle of the longest focus range that one dose keeps
//   within the window (the depth of focus at 0 % exposure latitude): the
//   centre of the window, which exists whether or not the Bossung curves have
//   an extremum in the sampled range;
// - the dose to size is the dose at which the first targeted feature's cd
//   equals its target at best focus;
// - the exposure latitude (EL) of a dose interval is its width in percent of
//   the dose to size; the depth of focus (DOF) at an EL is the longest focus
//   range over which one dose interval of that EL stays in the window (the
//   largest rectangle of that height in the focus-dose plane).
// A window or rectangle that reaches the first or last sampled focus is
// flagged: its DOF is then a lower bound; a window that reaches the lowest or
// highest sampled dose likewise, its exposure latitudes then lower bounds.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/metrics.hpp"
#include "host/study/study.hpp"

namespace meridox::host {

// One feature that the window must hold: its cd (and nils) at each
// threshold and focus, [threshold][focus].
struct WindowFeature {
  std::string name;  // the cut's name ("" for the study's one cut)
  double target = no_value;
  std::vector<std::vector<double>> cd, nils;
};

struct WindowInput {
  std::vector<double> focus;       // the sampled foci, in any order
  std::vector<double> thresholds;  // in any order; positive
  std::vector<WindowFeature> features;
  double tolerance = 0.1;          // of the target
  double min_nils = no_value;      // no floor when NaN
  std::vector<double> latitudes{5, 10};  // EL values (percent) whose DOF is reported
};

// The window at one focus; NaN doses when it is closed there.
struct FocusWindow {
  double focus = no_value;
  double dose_low = no_value, dose_high = no_value;
  double latitude = no_value;        // (dose_high - dose_low) / dose to size, percent
  double cd_at_dose_to_size = no_value;  // the first feature's, interpolated in log dose
};

// The largest rectangle of a given EL in the window.
struct WindowRectangle {
  double latitude = no_value;  // percent of the dose to size
  double depth_of_focus = no_value;  // 0 when no focus range holds it
  double focus_low = no_value, focus_high = no_value;
  double dose_low = no_value, dose_high = no_value;  // the rectangle, centred in the dose band it has
  bool reaches_end = false;    // it touches the first or last sampled focus: its DOF is a lower bound
};

// A boundary of the window or a cd limit contour, dose against focus.
struct WindowCurve {
  std::string label;
  std::vector<double> focus, dose;
};

struct ProcessWindow {
  bool open = false;  // some focus has a window; otherwise "no window" is the result
  double best_focus = no_value;
  double dose_to_size = no_value;
  double threshold_to_size = no_value;  // 1 / dose to size
  bool dose_to_size_reached = false;    // cd meets the target at best focus; else the window's middle dose
  bool reaches_end = false;             // the window is open at the first or last sampled focus
  bool reaches_dose_end = false;        // it reaches the lowest or highest sampled dose: its ELs are lower bounds
  std::vector<FocusWindow> per_focus;   // at the sampled foci, ascending
  std::vector<WindowRectangle> requested;  // at the input's latitudes
  std::vector<WindowRectangle> curve;      // the EL-DOF curve, EL ascending from 0
  // For the picture: the window's lower and upper dose boundary on a fine
  // focus grid (NaN where closed), and each feature's cd limit contours.
  WindowCurve lower, upper;
  std::vector<WindowCurve> contours;
  std::string note;  // why there is no window, or what bounds it; "" when nothing to say
};

ProcessWindow process_window(const WindowInput& input);

// What a study asks of its window.
struct WindowRequest {
  std::vector<std::pair<std::string, double>> targets;  // cut name ("" for all cuts) and target cd
  double tolerance = 0.1;
  double min_nils = no_value;
  std::vector<double> latitudes{5, 10};
};

// The window's input from a study that varies the focus alone, its cuts
// and thresholds; "" or why the study gives no window (`why`).
std::optional<WindowInput> window_input(const Calculator& calc, const StudySpec& spec,
                                        const std::vector<CaseResult>& results, const WindowRequest& request,
                                        std::string& why);

// The window as tables: per focus, and the EL-DOF curve with the requested
// latitudes among its rows.
std::string focus_table_csv(const ProcessWindow& w, const std::string& focus_name);
std::string el_dof_csv(const ProcessWindow& w);

// study.json (its text) with the window added under "process_window".
std::string with_window_json(const std::string& study_json_text, const ProcessWindow& w, const WindowRequest& r);

}  // namespace meridox::host
