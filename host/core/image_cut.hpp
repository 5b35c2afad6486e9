#pragma once
// The metrics of an optics image along a cut: the width of the feature the
// cut passes through, its edges, its normalised image log slope, and the
// peak and contrast of the feature and its surroundings.
//
// They are measured on the image as it is between its samples, not on
// straight lines joined between them. A projection image is periodic over
// its grid and band-limited (its spectrum ends at 2 NA / wavelength), so the
// cut's Fourier series over the grid reproduces it exactly whenever the
// pitch is at most wavelength / (4 NA); a proximity image is neither, and is
// followed by a cubic spline through its samples. Where the mask is known,
// it says where the measured feature's neighbours are, so that a printed run
// that joins a neighbour is told apart from a wide feature.
// Plain numbers in and out, so that a run summary, a study or a script can
// use them alike.
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace meridox::host {

// The edge threshold of the image metrics unless one is asked for, as a
// fraction of the clear-field intensity 1.
inline constexpr double default_threshold = 0.3;

// ---- Where and what to measure -------------------------------------------

enum class CutAxis { x, y };  // along x (a horizontal cut at cut_y) or along y (a vertical one at cut_x)

struct CutOptions {
  // The point the cut passes through, the middle of the measured feature.
  double cut_y = 0.0;
  double cut_x = 0.0;
  CutAxis along = CutAxis::x;
  double threshold = default_threshold;  // of the clear-field intensity 1
  bool dark = false;       // measure a dark feature (I < threshold) instead of a bright one
};

// A named cut of a study: several let a line end, a hole's two sizes or two
// features be measured in one study.
struct NamedCut {
  std::string name;
  CutOptions cut;
};

// How the image is followed between its samples.
enum class ImageModel {
  periodic,  // band-limited and periodic over the grid: the Fourier series of the samples
  spline,    // smooth but not band-limited: a natural cubic spline through the samples
};

// One rectangle of the mask, edges in the image's lengths (at image scale).
struct MaskRectangle {
  double t_re = 0, t_im = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

// ---- What the cut found ---------------------------------------------------

// Why a feature has a width or has none.
enum class FeatureState {
  printed,      // both edges found within the feature's share of the cut
  merged,       // the printed run passes the middle of the space to a neighbouring feature
  runs_off,     // the printed run reaches an end of the cut (the image's edge)
  not_printed,  // the intensity at the cut's point is on the wrong side of the threshold
  outside,      // the cut's point lies outside the image
  no_image,     // the cut holds values that are not finite, or too few samples
};
// The state as the study's `feature` column writes it ("printed", "merged",
// "runs off the cut", "not printed", "outside the image", "no image").
const char* feature_text(FeatureState state);
// Why a state has no width, in a sentence for the summary ("" when printed).
std::string feature_reason(FeatureState state, bool dark);
// The state's code in a study's metric row, and back (nothing else reads it).
double feature_code(FeatureState state);
FeatureState feature_of_code(double code);

inline constexpr double no_length = std::numeric_limits<double>::quiet_NaN();

struct ImageMetrics {
  double peak = no_length;      // the largest intensity of the feature's share of the cut
  double contrast = no_length;  // (max - min) / (max + min) over that share
  double cd = no_length;        // edge_right - edge_left
  double edge_left = no_length;   // the edge at the lower end along the cut (left, or bottom)
  double edge_right = no_length;  // the edge at the upper end (right, or top)
  double nils = no_length;      // cd times the mean image log slope |dI/ds| / threshold of the two edges
  double mask_width = no_length;  // the measured feature's width on the mask, along the cut
  FeatureState state = FeatureState::no_image;
  bool mask_known = false;      // whether the feature's share came from the mask
};

// ---- The cut as a function ------------------------------------------------

// Samples along one line of the image and the function through them.
class Profile {
 public:
  // Samples at s0 + k h, k = 0..n-1, periodic with period n h.
  static Profile periodic(double s0, double h, const std::vector<double>& values);
  // Samples at ascending positions s.
  static Profile spline(const std::vector<double>& s, const std::vector<double>& values);

  double value(double s) const;
  double slope(double s) const;
  // The span of the cut: one period from half a sample before the first
  // sample (periodic), or from the first sample to the last (spline).
  double low() const { return low_; }
  double high() const { return high_; }
  double step() const { return step_; }
  bool usable() const { return usable_; }

 private:
  ImageModel model_ = ImageModel::spline;
  bool usable_ = false;
  double low_ = 0, high_ = 0, step_ = 0;
  // periodic: s0, period, cosine and sine coefficients (index 0..K) and the
  // coefficient of the cosine at the sampling's half rate (even n)
  double s0_ = 0, period_ = 0, half_rate_ = 0;
  std::vector<double> a_, b_;
  // spline: knots, values and second derivatives
  std::vector<double> s_, v_, m_;
};

// The cut of a map (values[j * x.size() + i] at (x[i], y[j])) through the
// options' point along their axis, followed between the rows (or columns)
// as along them; an unusable profile when the point lies outside the image
// or the line holds values that are not finite.
Profile cut_profile(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& values,
                    const CutOptions& options, ImageModel model);

// Whether (x, y) lies on the image: within half a sample of its outer
// samples (periodic), or between them (spline).
bool on_image(const std::vector<double>& x, const std::vector<double>& y, double px, double py, ImageModel model);

// The metrics along a profile, the feature centred near `centre` (a position
// along it) with the mask's rectangles (none when unknown) seen along the cut.
ImageMetrics profile_metrics(const Profile& profile, double centre, const CutOptions& options,
                             const std::vector<MaskRectangle>& mask);

// The metrics of a map along the options' cut.
ImageMetrics image_metrics(const std::vector<double>& x, const std::vector<double>& y,
                           const std::vector<double>& values, const CutOptions& options, ImageModel model,
                           const std::vector<MaskRectangle>& mask = {});

// The metrics of a map along one cut at each threshold (the cut's own
// threshold is not used): the cut's function is made once for them all.
std::vector<ImageMetrics> threshold_metrics(const std::vector<double>& x, const std::vector<double>& y,
                                            const std::vector<double>& values, const CutOptions& options,
                                            ImageModel model, const std::vector<MaskRectangle>& mask,
                                            const std::vector<double>& thresholds);

// "NAME=AXIS@X,Y" or "NAME=AXIS@X,Y:TONE": a named cut along AXIS (x or y)
// through the point (X, Y), its tone bright or dark (`defaults`' when not
// given). The name is letters, digits, '_', '-' or '.'. Nothing (and `why`,
// one line) when the text is not such a cut.
std::optional<NamedCut> parse_cut(std::string_view text, const CutOptions& defaults, std::string& why);

// ---- The mask along a cut ------------------------------------------------

// The features the mask shows along the cut, and the measured one's share:
// a feature of a bright tone is a run of the cut where the mask's
// transmission |t|^2 is at least half its largest along the cut (an
// opening); of a dark tone, a run where it is less. The share of the feature
// holding the cut's point reaches to the middle of the space to each
// neighbouring feature (to the cut's end when there is none); a point in no
// feature has the space between its two neighbours as its share.
struct MaskShare {
  bool known = false;            // the mask transmits somewhere along the cut
  double low = no_length, high = no_length;            // the share; NaN: the cut's end
  double feature_low = no_length, feature_high = no_length;  // the feature; NaN when the point is in none
};
MaskShare mask_share(const std::vector<MaskRectangle>& mask, const CutOptions& options, double cut_low,
                     double cut_high);

}  // namespace meridox::host
