#include "host/core/image_cut.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "host/core/text.hpp"

namespace meridox::host {
namespace {

constexpr double two_pi = 6.283185307179586476925286766559;

// Steps per sample when a cut is searched for threshold crossings and
// extremes: a band-limited image sampled at or above its Nyquist rate
// changes sign at most once within an eighth of a sample but at a tangent.
constexpr int search_steps_per_sample = 8;

// Bisections that pin a crossing or an extreme down to the last bits of a double.
constexpr int bisections = 80;

bool finite_all(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// Indices of an axis in ascending order of its values (tables may run
// downwards when a sheet's end lies below its start).
std::vector<std::size_t> ascending(const std::vector<double>& axis) {
  std::vector<std::size_t> order(axis.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  if (axis.size() > 1 && axis.front() > axis.back()) std::reverse(order.begin(), order.end());
  return order;
}

// The sample spacing of an ascending axis; 0 for a single sample.
double spacing(const std::vector<double>& axis) {
  if (axis.size() < 2) return 0.0;
  return std::fabs(axis.back() - axis.front()) / static_cast<double>(axis.size() - 1);
}

// The span an axis covers: half a sample beyond its outer samples when the
// image is periodic over the grid, its outer samples otherwise.
struct Span {
  double low, high;
};
Span span_of(const std::vector<double>& axis, ImageModel model) {
  const double a = std::min(axis.front(), axis.back()), b = std::max(axis.front(), axis.back());
  const double half = model == ImageModel::periodic ? spacing(axis) / 2 : 0.0;
  return {a - half, b + half};
}

bool within(const std::vector<double>& axis, double p, ImageModel model) {
  if (axis.empty() || !finite_all(axis) || !std::isfinite(p)) return false;
  if (axis.size() == 1) return std::fabs(p - axis[0]) <= 1e-9 * (1.0 + std::fabs(p));
  const Span s = span_of(axis, model);
  return s.low <= p && p <= s.high;
}

// Values of a line of samples (indices `order` of `values` with stride
// `stride` from `first`) and their positions, ascending.
struct Line {
  std::vector<double> s, v;
};

Line line_of(const std::vector<double>& axis, const std::vector<double>& values, std::size_t first,
             std::size_t stride) {
  Line line;
  for (const std::size_t k : ascending(axis)) {
    line.s.push_back(axis[k]);
    line.v.push_back(values[first + k * stride]);
  }
  return line;
}

Profile profile_of(const Line& line, ImageModel model) {
  if (model == ImageModel::periodic) return Profile::periodic(line.s.front(), spacing(line.s), line.v);
  return Profile::spline(line.s, line.v);
}

// The value at `p` across a line of samples: the sample itself when `p`
// lies on one, else the model's function through them.
double value_across(const Line& line, double p, ImageModel model) {
  const double h = spacing(line.s);
  for (std::size_t k = 0; k < line.s.size(); ++k) {
    if (std::fabs(line.s[k] - p) <= 1e-9 * std::max(h, 1e-300)) return line.v[k];
  }
  if (line.s.size() == 1) return line.v[0];
  return profile_of(line, model).value(p);
}

// Bisection for the point in [a, b] where `inside` changes from true (at a) to false (at b).
double boundary(double a, double b, const std::function<bool(double)>& inside) {
  for (int k = 0; k < bisections; ++k) {
    const double m = a + (b - a) / 2;
    if (m == a || m == b) break;
    (inside(m) ? a : b) = m;
  }
  return a + (b - a) / 2;
}

// The largest (sign 1) or smallest (sign -1) value over [low, high].
double extreme(const Profile& p, double low, double high, double sign) {
  const double step = p.step() / search_steps_per_sample;
  const std::size_t n = std::max<std::size_t>(2, static_cast<std::size_t>(std::ceil((high - low) / step)) + 1);
  const double h = (high - low) / static_cast<double>(n - 1);
  std::size_t best = 0;
  double best_value = -INFINITY;
  for (std::size_t k = 0; k < n; ++k) {
    const double v = sign * p.value(low + h * static_cast<double>(k));
    if (v > best_value) {
      best_value = v;
      best = k;
    }
  }
  // Between the best sample's neighbours the slope changes sign once: find where.
  double a = low + h * static_cast<double>(best == 0 ? 0 : best - 1);
  double b = low + h * static_cast<double>(std::min(best + 1, n - 1));
  if (sign * p.slope(a) > 0 && sign * p.slope(b) < 0) {
    const double at = boundary(a, b, [&](double s) { return sign * p.slope(s) > 0; });
    best_value = std::max(best_value, sign * p.value(at));
  }
  return sign * best_value;
}

struct Walk {
  double edge = no_length;  // where the run ends, when it ends before `bound`
  bool reached = false;     // the run holds up to `bound`
};

// From `from` (inside the run) towards `bound`, the first point where the
// run ends.
Walk walk(const Profile& p, double from, double bound, const std::function<bool(double)>& inside) {
  const double step = p.step() / search_steps_per_sample * (bound >= from ? 1.0 : -1.0);
  double s = from;
  while (true) {
    double next = s + step;
    if ((step > 0 && next >= bound) || (step < 0 && next <= bound)) next = bound;
    if (!inside(next)) return {boundary(s, next, inside), false};
    if (next == bound) return {no_length, true};
    s = next;
  }
}

}  // namespace

const char* feature_text(FeatureState state) {
  switch (state) {
    case FeatureState::printed: return "printed";
    case FeatureState::merged: return "merged";
    case FeatureState::runs_off: return "runs off the cut";
    case FeatureState::not_printed: return "not printed";
    case FeatureState::outside: return "outside the image";
    case FeatureState::no_image: return "no image";
  }
  return "no image";
}

std::string feature_reason(FeatureState state, bool dark) {
  switch (state) {
    case FeatureState::printed: return {};
    case FeatureState::merged:
      return "merged: the printed run passes the middle of the space to a neighbouring feature of the mask";
    case FeatureState::runs_off: return "the printed run reaches an end of the cut";
    case FeatureState::not_printed:
      return std::string("not printed: the intensity at the cut's point is ") + (dark ? "at or above" : "below") +
             " the threshold";
    case FeatureState::outside: return "the cut's point lies outside the image";
    case FeatureState::no_image: return "no image: the cut holds values that are not finite, or too few samples";
  }
  return {};
}

double feature_code(FeatureState state) { return static_cast<double>(static_cast<int>(state)); }

FeatureState feature_of_code(double code) {
  if (!(code >= 0 && code <= static_cast<double>(FeatureState::no_image)) || code != std::floor(code)) {
    return FeatureState::no_image;
  }
  return static_cast<FeatureState>(static_cast<int>(code));
}

// ---- Profile ----------------------------------------------------------------

Profile Profile::periodic(double s0, double h, const std::vector<double>& values) {
  Profile p;
  p.model_ = ImageModel::periodic;
  const std::size_t n = values.size();
  if (n < 2 || !(h > 0) || !std::isfinite(s0) || !finite_all(values)) return p;
  p.usable_ = true;
  p.s0_ = s0;
  p.step_ = h;
  p.period_ = h * static_cast<double>(n);
  p.low_ = s0 - h / 2;
  p.high_ = p.low_ + p.period_;
  const std::size_t harmonics = (n - 1) / 2;
  p.a_.assign(harmonics + 1, 0.0);
  p.b_.assign(harmonics + 1, 0.0);
  const double nd = static_cast<double>(n);
  for (std::size_t j = 0; j < n; ++j) p.a_[0] += values[j];
  p.a_[0] /= nd;
  for (std::size_t k = 1; k <= harmonics; ++k) {
    double a = 0, b = 0;
    for (std::size_t j = 0; j < n; ++j) {
      // k j taken modulo n keeps the angle small and exact.
      const double angle = two_pi * static_cast<double>((k * j) % n) / nd;
      a += values[j] * std::cos(angle);
      b += values[j] * std::sin(angle);
    }
    p.a_[k] = 2 * a / nd;
    p.b_[k] = 2 * b / nd;
  }
  if (n % 2 == 0) {
    for (std::size_t j = 0; j < n; ++j) p.half_rate_ += (j % 2 == 0 ? values[j] : -values[j]);
    p.half_rate_ /= nd;
  }
  return p;
}

Profile Profile::spline(const std::vector<double>& s, const std::vector<double>& values) {
  Profile p;
  p.model_ = ImageModel::spline;
  const std::size_t n = std::min(s.size(), values.size());
  if (n < 2 || !finite_all(s) || !finite_all(values)) return p;
  for (std::size_t k = 1; k < n; ++k) {
    if (!(s[k] > s[k - 1])) return p;
  }
  p.usable_ = true;
  p.s_.assign(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  p.v_.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
  p.low_ = s.front();
  p.high_ = s[n - 1];
  p.step_ = (p.high_ - p.low_) / static_cast<double>(n - 1);
  // Natural cubic spline: second derivatives from the tridiagonal system,
  // zero at both ends.
  p.m_.assign(n, 0.0);
  if (n > 2) {
    std::vector<double> diag(n, 0.0), rhs(n, 0.0), upper(n, 0.0);
    for (std::size_t k = 1; k + 1 < n; ++k) {
      const double h0 = s[k] - s[k - 1], h1 = s[k + 1] - s[k];
      diag[k] = (h0 + h1) / 3;
      upper[k] = h1 / 6;
      rhs[k] = (values[k + 1] - values[k]) / h1 - (values[k] - values[k - 1]) / h0;
      if (k > 1) {
        const double lower = h0 / 6, factor = lower / diag[k - 1];
        diag[k] -= factor * upper[k - 1];
        rhs[k] -= factor * rhs[k - 1];
      }
    }
    for (std::size_t k = n - 2; k >= 1; --k) {
      p.m_[k] = (rhs[k] - upper[k] * p.m_[k + 1]) / diag[k];
      if (k == 1) break;
    }
  }
  return p;
}

double Profile::value(double s) const {
  if (!usable_) return no_length;
  if (model_ == ImageModel::periodic) {
    const double t = (s - s0_) / step_;  // in samples
    const double theta = two_pi * t / static_cast<double>(period_ / step_);
    const double c1 = std::cos(theta), s1 = std::sin(theta);
    double c = 1, sn = 0, sum = a_[0];
    for (std::size_t k = 1; k < a_.size(); ++k) {
      const double c_next = c * c1 - sn * s1;
      sn = sn * c1 + c * s1;
      c = c_next;
      sum += a_[k] * c + b_[k] * sn;
    }
    if (half_rate_ != 0.0) sum += half_rate_ * std::cos(two_pi / 2 * t);
    return sum;
  }
  const std::size_t n = s_.size();
  std::size_t k = static_cast<std::size_t>(std::upper_bound(s_.begin(), s_.end(), s) - s_.begin());
  k = std::clamp<std::size_t>(k, 1, n - 1);
  const double h = s_[k] - s_[k - 1], a = (s_[k] - s) / h, b = (s - s_[k - 1]) / h;
  return a * v_[k - 1] + b * v_[k] + ((a * a * a - a) * m_[k - 1] + (b * b * b - b) * m_[k]) * h * h / 6;
}

double Profile::slope(double s) const {
  if (!usable_) return no_length;
  if (model_ == ImageModel::periodic) {
    const double samples = period_ / step_;
    const double t = (s - s0_) / step_;
    const double theta = two_pi * t / samples;
    const double c1 = std::cos(theta), s1 = std::sin(theta);
    double c = 1, sn = 0, sum = 0;
    for (std::size_t k = 1; k < a_.size(); ++k) {
      const double c_next = c * c1 - sn * s1;
      sn = sn * c1 + c * s1;
      c = c_next;
      sum += static_cast<double>(k) * (b_[k] * c - a_[k] * sn);
    }
    sum *= two_pi / samples;
    if (half_rate_ != 0.0) sum -= half_rate_ * (two_pi / 2) * std::sin(two_pi / 2 * t);
    return sum / step_;
  }
  const std::size_t n = s_.size();
  std::size_t k = static_cast<std::size_t>(std::upper_bound(s_.begin(), s_.end(), s) - s_.begin());
  k = std::clamp<std::size_t>(k, 1, n - 1);
  const double h = s_[k] - s_[k - 1], a = (s_[k] - s) / h, b = (s - s_[k - 1]) / h;
  return (v_[k] - v_[k - 1]) / h + ((1 - 3 * a * a) * m_[k - 1] + (3 * b * b - 1) * m_[k]) * h / 6;
}

// ---- Cuts of a map -----------------------------------------------------------

bool on_image(const std::vector<double>& x, const std::vector<double>& y, double px, double py, ImageModel model) {
  return within(x, px, model) && within(y, py, model);
}

Profile cut_profile(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& values,
                    const CutOptions& o, ImageModel model) {
  const std::size_t nx = x.size(), ny = y.size();
  if (nx == 0 || ny == 0 || values.size() < nx * ny || !on_image(x, y, o.cut_x, o.cut_y, model)) return {};
  const bool along_x = o.along == CutAxis::x;
  const std::vector<double>& along = along_x ? x : y;
  const double at = along_x ? o.cut_y : o.cut_x;
  Line cut;
  for (const std::size_t i : ascending(along)) {
    // The line across the cut through sample i along it.
    const Line line = along_x ? line_of(y, values, i, nx) : line_of(x, values, i * nx, 1);
    if (!finite_all(line.v)) return {};
    cut.s.push_back(along[i]);
    cut.v.push_back(value_across(line, at, model));
  }
  return profile_of(cut, model);
}

// ---- The mask along a cut ------------------------------------------------------

MaskShare mask_share(const std::vector<MaskRectangle>& mask, const CutOptions& o, double cut_low, double cut_high) {
  MaskShare share;
  const bool along_x = o.along == CutAxis::x;
  const double at = along_x ? o.cut_y : o.cut_x, centre = along_x ? o.cut_x : o.cut_y;
  struct Piece {
    double low, high, t_re, t_im;
  };
  std::vector<Piece> pieces;
  std::vector<double> breaks{cut_low, cut_high};
  for (const MaskRectangle& r : mask) {
    const double a1 = along_x ? r.x1 : r.y1, a2 = along_x ? r.x2 : r.y2;
    const double c1 = along_x ? r.y1 : r.x1, c2 = along_x ? r.y2 : r.x2;
    if (!(std::min(c1, c2) <= at && at <= std::max(c1, c2)) || a1 == a2 || c1 == c2) continue;
    // A rectangle given with an edge pair reversed counts with the opposite sign.
    const double sign = (a2 > a1 ? 1.0 : -1.0) * (c2 > c1 ? 1.0 : -1.0);
    pieces.push_back({std::min(a1, a2), std::max(a1, a2), sign * r.t_re, sign * r.t_im});
    for (const double e : {a1, a2}) {
      if (cut_low < e && e < cut_high) breaks.push_back(e);
    }
  }
  std::sort(breaks.begin(), breaks.end());
  breaks.erase(std::unique(breaks.begin(), breaks.end()), breaks.end());
  struct Run {
    double low, high;
    bool feature;
  };
  std::vector<double> power;
  double strongest = 0.0;
  for (std::size_t k = 0; k + 1 < breaks.size(); ++k) {
    const double mid = (breaks[k] + breaks[k + 1]) / 2;
    double re = 0, im = 0;
    for (const Piece& p : pieces) {
      if (p.low <= mid && mid < p.high) re += p.t_re, im += p.t_im;
    }
    power.push_back(re * re + im * im);
    strongest = std::max(strongest, power.back());
  }
  if (!(strongest > 0) || !std::isfinite(strongest)) return share;
  share.known = true;
  std::vector<Run> runs;
  for (std::size_t k = 0; k < power.size(); ++k) {
    const bool open = power[k] >= strongest / 2;
    const bool feature = o.dark ? !open : open;
    if (!runs.empty() && runs.back().feature == feature) {
      runs.back().high = breaks[k + 1];
    } else {
      runs.push_back({breaks[k], breaks[k + 1], feature});
    }
  }
  std::size_t here = 0;
  while (here + 1 < runs.size() && centre >= runs[here].high) ++here;
  const Run* before = nullptr;
  const Run* after = nullptr;
  for (std::size_t k = here; k-- > 0;) {
    if (runs[k].feature) {
      before = &runs[k];
      break;
    }
  }
  for (std::size_t k = here + 1; k < runs.size(); ++k) {
    if (runs[k].feature) {
      after = &runs[k];
      break;
    }
  }
  const Run& r = runs[here];
  if (r.feature) {
    // A feature cut by the image's edge has no known width.
    if (r.low > cut_low && r.high < cut_high) {
      share.feature_low = r.low;
      share.feature_high = r.high;
    }
    if (before) share.low = (before->high + r.low) / 2;
    if (after) share.high = (r.high + after->low) / 2;
  } else {
    if (before) share.low = before->high;
    if (after) share.high = after->low;
  }
  return share;
}

// ---- Metrics -------------------------------------------------------------------

ImageMetrics profile_metrics(const Profile& p, double centre, const CutOptions& o,
                             const std::vector<MaskRectangle>& mask) {
  ImageMetrics m;
  if (!p.usable()) return m;
  if (!(p.low() <= centre && centre <= p.high())) {
    m.state = FeatureState::outside;
    return m;
  }
  const MaskShare share = mask_share(mask, o, p.low(), p.high());
  m.mask_known = share.known;
  m.mask_width = share.feature_high - share.feature_low;
  const bool bounded_low = !std::isnan(share.low), bounded_high = !std::isnan(share.high);
  const double low = bounded_low ? std::max(share.low, p.low()) : p.low();
  const double high = bounded_high ? std::min(share.high, p.high()) : p.high();
  const double top = extreme(p, low, high, 1.0), bottom = extreme(p, low, high, -1.0);
  m.peak = top;
  if (top + bottom > 0) m.contrast = (top - bottom) / (top + bottom);

  const double t = o.threshold;
  auto inside = [&](double s) {
    const double v = p.value(s);
    return o.dark ? v < t : v >= t;
  };
  if (!inside(centre)) {
    m.state = FeatureState::not_printed;
    return m;
  }
  const Walk left = walk(p, centre, std::max(low, p.low()), inside);
  const Walk right = walk(p, centre, std::min(high, p.high()), inside);
  if (left.reached || right.reached) {
    // A share's end from the mask is the middle of the space to a neighbour.
    const bool merged = (left.reached && bounded_low && share.low > p.low()) ||
                        (right.reached && bounded_high && share.high < p.high());
    m.state = merged ? FeatureState::merged : FeatureState::runs_off;
    return m;
  }
  m.state = FeatureState::printed;
  m.edge_left = left.edge;
  m.edge_right = right.edge;
  m.cd = right.edge - left.edge;
  const double slope_left = std::fabs(p.slope(left.edge)) / t, slope_right = std::fabs(p.slope(right.edge)) / t;
  m.nils = m.cd * (slope_left + slope_right) / 2;
  return m;
}

ImageMetrics image_metrics(const std::vector<double>& x, const std::vector<double>& y,
                           const std::vector<double>& values, const CutOptions& o, ImageModel model,
                           const std::vector<MaskRectangle>& mask) {
  ImageMetrics m;
  if (x.empty() || y.empty() || values.size() < x.size() * y.size()) return m;
  if (!on_image(x, y, o.cut_x, o.cut_y, model)) {
    m.state = FeatureState::outside;
    return m;
  }
  const Profile p = cut_profile(x, y, values, o, model);
  return profile_metrics(p, o.along == CutAxis::x ? o.cut_x : o.cut_y, o, mask);
}

std::vector<ImageMetrics> threshold_metrics(const std::vector<double>& x, const std::vector<double>& y,
                                            const std::vector<double>& values, const CutOptions& o, ImageModel model,
                                            const std::vector<MaskRectangle>& mask,
                                            const std::vector<double>& thresholds) {
  ImageMetrics none;
  const bool empty = x.empty() || y.empty() || values.size() < x.size() * y.size();
  if (!empty && !on_image(x, y, o.cut_x, o.cut_y, model)) none.state = FeatureState::outside;
  std::vector<ImageMetrics> out(thresholds.size(), none);
  if (empty || none.state == FeatureState::outside) return out;
  const Profile p = cut_profile(x, y, values, o, model);
  for (std::size_t k = 0; k < thresholds.size(); ++k) {
    CutOptions at = o;
    at.threshold = thresholds[k];
    out[k] = profile_metrics(p, o.along == CutAxis::x ? o.cut_x : o.cut_y, at, mask);
  }
  return out;
}

std::optional<NamedCut> parse_cut(std::string_view text, const CutOptions& defaults, std::string& why) {
  auto fail = [&](const std::string& what) {
    why = "--cut takes NAME=AXIS@X,Y or NAME=AXIS@X,Y:TONE (AXIS x or y, TONE bright or dark), not \"" +
          std::string(text) + "\": " + what;
    return std::nullopt;
  };
  const std::size_t equals = text.find('='), at = text.find('@');
  if (equals == std::string_view::npos || at == std::string_view::npos || at < equals) return fail("= and @ missing");
  NamedCut c{std::string(text.substr(0, equals)), defaults};
  if (c.name.empty()) return fail("no name");
  for (const char ch : c.name) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                    ch == '-' || ch == '.';
    if (!ok) return fail("a name is letters, digits, _, - and .");
  }
  const std::string_view axis = text.substr(equals + 1, at - equals - 1);
  if (axis != "x" && axis != "y") return fail("the axis is x or y");
  c.cut.along = axis == "x" ? CutAxis::x : CutAxis::y;
  std::string_view point = text.substr(at + 1);
  if (const std::size_t colon = point.find(':'); colon != std::string_view::npos) {
    const std::string_view tone = point.substr(colon + 1);
    if (tone != "bright" && tone != "dark") return fail("the tone is bright or dark");
    c.cut.dark = tone == "dark";
    point = point.substr(0, colon);
  }
  const std::size_t comma = point.find(',');
  if (comma == std::string_view::npos) return fail("the point is X,Y");
  const std::optional<double> px = whole_real(point.substr(0, comma)), py = whole_real(point.substr(comma + 1));
  if (!px || !py || !std::isfinite(*px) || !std::isfinite(*py)) return fail("X and Y are finite numbers");
  c.cut.cut_x = *px;
  c.cut.cut_y = *py;
  return c;
}

}  // namespace meridox::host
