#include "host/core/servo_loop.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numbers>
#include <type_traits>
#include <utility>

#include "stage/layout.hpp"

namespace meridox::host {
namespace {

using Complex = std::complex<double>;
constexpr double pi = std::numbers::pi;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The closed loop adds one state to the plant: the count of the step before.
constexpr std::size_t largest_loop = largest_plant + 1;
template <class T>
using Vector = std::array<T, largest_loop>;
template <class T>
using Matrix = std::array<Vector<T>, largest_loop>;
// A real polynomial of the closed loop's degree at most, by power.
using Coefficients = std::array<double, largest_loop + 1>;

// The gains are scanned up to this factor, and down to its inverse.
constexpr double largest_factor = 1e6;
constexpr double scan_ratio = 1.05;
// A closed loop whose largest pole lies closer than this to the unit
// circle is taken as not stable (a rigid body without position feedback);
// a mode the servo barely damps (a base on its mount, seen only relative to
// the stage) keeps its pole within 1e-10 of the circle and still counts.
constexpr double stability_tolerance = 1e-12;
// How far (relatively) beyond each end of a margin's bracket the
// closed-loop poles must confirm which side it is.
constexpr double confirmation_distance = 1e-9;
// The response is sampled over this many decades below the Nyquist frequency.
constexpr double response_decades = 5.0;
constexpr std::size_t response_points = 1200;

std::string g(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.4g", v);
  return buffer;
}

// The determinant of an n x n complex matrix by elimination with row pivoting.
Complex determinant(Matrix<Complex> m, std::size_t n) {
  Complex det = 1.0;
  for (std::size_t k = 0; k < n; ++k) {
    // The largest modulus in the column, each worked out once.
    std::size_t pivot = k;
    double largest = std::abs(m[k][k]);
    for (std::size_t i = k + 1; i < n; ++i) {
      const double size = std::abs(m[i][k]);
      if (size > largest) pivot = i, largest = size;
    }
    if (m[pivot][k] == 0.0) return 0.0;
    if (pivot != k) {
      std::swap(m[pivot], m[k]);
      det = -det;
    }
    det *= m[k][k];
    for (std::size_t i = k + 1; i < n; ++i) {
      const Complex f = m[i][k] / m[k][k];
      for (std::size_t j = k; j < n; ++j) m[i][j] -= f * m[k][j];
    }
  }
  return det;
}

// Complex numbers, up to the closed loop's degree + 1 of them, held in
// place: a polynomial's coefficients by power (highest last) or its roots.
struct Complexes {
  std::array<Complex, largest_loop + 1> v{};
  std::size_t size = 0;
  const Complex* begin() const { return v.data(); }
  const Complex* end() const { return v.data() + size; }
};

// Points on the unit circle by their number: tables[count][m] for m < count,
// each count's made on first use on this thread (the angles are the same
// on every call, so are their sines and cosines). Each rule for the angles
// is a lambda of a type of its own, and so has tables of its own.
template <class Angle>
const Complexes& circle_points(std::size_t count, Angle angle) {
  thread_local std::array<Complexes, largest_loop + 2> tables{};
  Complexes& t = tables[count];
  if (t.size != count) {
    for (std::size_t m = 0; m < count; ++m) t.v[m] = std::polar(1.0, angle(m, count));
    t.size = count;
  }
  return t;
}

// The characteristic polynomial det(z I - a) of an n x n real matrix, from
// its values at n + 1 points on the circle of radius `radius` (an exact
// interpolation, well conditioned when the roots lie near that circle).
Complexes characteristic_polynomial(const Matrix<double>& a, std::size_t n, double radius) {
  const std::size_t points = n + 1;
  // The points' angles are fractions m / points of a turn: the circle's
  // points and their inverse powers come from one table of them.
  const Complexes& turn = circle_points(points, [](std::size_t m, std::size_t count) {
    return 2 * pi * static_cast<double>(m) / static_cast<double>(count);
  });
  std::array<Complex, largest_loop + 1> values, z;
  for (std::size_t k = 0; k < points; ++k) {
    z[k] = radius * turn.v[k];
    Matrix<Complex> m{};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) m[i][j] = (i == j ? z[k] : 0.0) - a[i][j];
    }
    values[k] = determinant(m, n);
  }
  Complexes coefficients;
  coefficients.size = points;
  for (std::size_t j = 0; j < points; ++j) {
    Complex sum = 0.0;
    // (Any power of 1 is 1.)
    const double scale = radius == 1.0 ? 1.0 : std::pow(radius, -static_cast<double>(j));
    // z_k^-j = radius^-j e^{-2 pi i k j / points}, k j taken modulo points step by step
    for (std::size_t k = 0, turns = 0; k < points; ++k, turns = turns + j >= points ? turns + j - points : turns + j) {
      sum += values[k] * std::conj(turn.v[turns]) * scale;
    }
    // A real matrix has real coefficients; what is left is rounding.
    coefficients.v[j] = sum.real() / static_cast<double>(points);
  }
  coefficients.v[n] = 1.0;
  return coefficients;
}

// The roots start on a circle at these angles, off the axes.
double start_angle(std::size_t k, std::size_t n) {
  return 2 * pi * static_cast<double>(k) / static_cast<double>(n) + 0.4;
}

// The roots of sum_k coefficients[k] z^k (n + 1 of them, the last not 0)
// into z[0 .. n), by the simultaneous Aberth iteration; directions are the
// start angles' points on the unit circle, a, size (n + 1), found and
// modulus (n) room to work in.
void aberth_roots(const Complex* coefficients, std::size_t n, const Complex* directions, Complex* a, double* size,
                  Complex* z, bool* found, double* modulus) {
  for (std::size_t k = 0; k <= n; ++k) a[k] = coefficients[k] / coefficients[n];
  for (std::size_t k = 0; k <= n; ++k) size[k] = std::abs(a[k]);
  auto value = [&](Complex x, Complex& slope) {
    Complex p = a[n];
    slope = 0.0;
    for (std::size_t k = n; k-- > 0;) {
      slope = slope * x + p;
      p = p * x + a[k];
    }
    return p;
  };
  // Start on a circle of the roots' geometric mean modulus, off the axes.
  double radius = std::pow(size[0], 1.0 / static_cast<double>(n));
  if (!(radius > 0) || !std::isfinite(radius)) radius = 1.0;
  for (std::size_t k = 0; k < n; ++k) z[k] = {radius * directions[k].real(), radius * directions[k].imag()};
  // A root is found when its value is within the rounding of evaluating
  // the polynomial there; it then stays where it is.
  // (Each root's modulus is kept from where it last moved.)
  auto rounding = [&](std::size_t i) {
    double sum = 0.0;
    for (std::size_t k = n + 1; k-- > 0;) sum = sum * modulus[i] + size[k];
    return 8.0 * static_cast<double>(n) * std::numeric_limits<double>::epsilon() * sum;
  };
  for (std::size_t i = 0; i < n; ++i) found[i] = false, modulus[i] = std::abs(z[i]);
  // A modulus is at least the size of either part, so a part beyond a
  // bound settles a comparison without the modulus: a value with a part
  // beyond the rounding is no root, and a step with a part of 1e-14 of its
  // root's size keeps the iteration going.
  constexpr double settled = 1e-14;
  for (int iteration = 0; iteration < 500; ++iteration) {
    double largest_step = 0.0;
    bool moving = false;  // some step is at least `settled`: largest_step no longer matters
    for (std::size_t i = 0; i < n; ++i) {
      if (found[i]) continue;
      Complex slope;
      const Complex p = value(z[i], slope);
      const double within = rounding(i);
      const bool beyond = std::fabs(p.real()) > within || std::fabs(p.imag()) > within;
      if (!beyond && std::abs(p) <= within) {
        found[i] = true;
        continue;
      }
      const Complex ratio = p / slope;
      Complex others = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        if (j != i) others += 1.0 / (z[i] - z[j]);
      }
      Complex step = ratio / (1.0 - ratio * others);
      if (!std::isfinite(step.real()) || !std::isfinite(step.imag())) step = std::polar(1e-3 * (1 + modulus[i]), 1.0 * static_cast<double>(i));
      z[i] -= step;
      modulus[i] = std::abs(z[i]);
      const double size = std::max(1.0, modulus[i]);
      moving = moving || std::fabs(step.real()) / size >= settled || std::fabs(step.imag()) / size >= settled;
      if (!moving) largest_step = std::max(largest_step, std::abs(step) / size);
    }
    if (!moving && largest_step < settled) break;
  }
}

// The roots of a polynomial of the closed loop's degree at most.
Complexes roots_of(const Complexes& coefficients) {
  const std::size_t n = coefficients.size - 1;
  const Complexes& directions =
      circle_points(n, [](std::size_t k, std::size_t count) { return start_angle(k, count); });
  std::array<Complex, largest_loop + 1> a;
  std::array<double, largest_loop + 1> size;
  std::array<bool, largest_loop> found;
  std::array<double, largest_loop> modulus;
  Complexes z;
  z.size = n;
  aberth_roots(coefficients.v.data(), n, directions.v.data(), a.data(), size.data(), z.v.data(), found.data(),
               modulus.data());
  return z;
}

// The matrix scaled by a diagonal similarity (powers of 2, so exactly) until
// each state's row and column weigh alike: the same eigenvalues, and a norm
// near their size even when the states are in units far apart.
Matrix<double> balanced(Matrix<double> a, std::size_t n) {
  // Each sweep brings the norms closer; a few dozen suffice for any doubles.
  for (int sweep = 0; sweep < 100; ++sweep) {
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
      double column = 0.0, row = 0.0;
      for (std::size_t j = 0; j < n; ++j) {
        if (j == i) continue;
        column += std::fabs(a[j][i]);
        row += std::fabs(a[i][j]);
      }
      if (column == 0.0 || row == 0.0) continue;
      const double sum = column + row;
      double f = 1.0;
      while (column < row / 2) column *= 2, row /= 2, f *= 2;
      while (column >= row * 2) column /= 2, row *= 2, f /= 2;
      if (column + row < 0.95 * sum) {
        changed = true;
        for (std::size_t j = 0; j < n; ++j) a[j][i] *= f, a[i][j] /= f;
      }
    }
    if (!changed) break;
  }
  return a;
}

// The eigenvalues of a real n x n matrix; `scale` is told the norm of the
// balanced matrix, the size against which a computed eigenvalue is 0.
std::vector<Complex> eigenvalues(Matrix<double> a, std::size_t n, double& scale) {
  scale = 0.0;
  if (n == 0) return {};
  a = balanced(a, n);
  double norm = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double row = 0.0;
    for (std::size_t j = 0; j < n; ++j) row += std::fabs(a[i][j]);
    norm = std::max(norm, row);
  }
  scale = norm;
  if (norm == 0.0) return std::vector<Complex>(n, 0.0);
  // The interpolation is accurate for roots near its circle: start from the
  // matrix's norm and move the circle to the largest root found.
  double radius = norm;
  Complexes roots;
  for (int pass = 0; pass < 3; ++pass) {
    roots = roots_of(characteristic_polynomial(a, n, radius));
    double largest = 0.0;
    for (const Complex& z : roots) largest = std::max(largest, std::abs(z));
    if (!(largest > 0) || !std::isfinite(largest)) break;
    radius = largest;
  }
  return {roots.begin(), roots.end()};
}

// The plant as the stepper advances it over one step with the current held:
// x_{k+1} = phi x_k + gamma I_k, where with M = h A
//   phi = I + M + M^2/2 + M^3/6 + M^4/24,  gamma = h (I + M/2 + M^2/6 + M^3/24) B,
// which is what one classical Runge-Kutta step makes of dx/dt = A x + B I
// when I does not change within the step.
struct SampledPlant {
  Matrix<double> phi{};
  Vector<double> gamma{};
};

SampledPlant sampled(const ServoLoop& l) {
  const std::size_t n = l.order;
  const double h = l.time_step;
  // q = I + M/2 (I + M/3 (I + M/4)), built from the inside out.
  Matrix<double> q{};
  for (std::size_t i = 0; i < n; ++i) q[i][i] = 1.0;
  for (const double divisor : {4.0, 3.0, 2.0}) {
    Matrix<double> next{};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) sum += h * l.a[i][k] * q[k][j];
        next[i][j] = (i == j ? 1.0 : 0.0) + sum / divisor;
      }
    }
    q = next;
  }
  SampledPlant p;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double sum = 0.0;
      for (std::size_t k = 0; k < n; ++k) sum += h * l.a[i][k] * q[k][j];
      p.phi[i][j] = (i == j ? 1.0 : 0.0) + sum;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) sum += q[i][k] * l.b[k];
    p.gamma[i] = h * sum;
  }
  return p;
}

// The closed loop over the plant's states and the count of the step before,
// with the gains scaled:
//   I_k = -(fp Kp + fd Kd / h) y_k + (fd Kd / h) y_{k-1}.
Matrix<double> closed_loop(const SampledPlant& p, const ServoLoop& l, double fp, double fd) {
  const std::size_t n = l.order;
  const double kp = fp * l.position_gain, kd = fd * l.velocity_gain / l.time_step;
  Matrix<double> a{};
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) a[i][j] = p.phi[i][j] - p.gamma[i] * (kp + kd) * l.c[j];
    a[i][n] = p.gamma[i] * kd;
    a[n][i] = l.c[i];
  }
  return a;
}

Complexes closed_loop_poles(const SampledPlant& p, const ServoLoop& l, double fp, double fd) {
  return roots_of(characteristic_polynomial(closed_loop(p, l, fp, fd), l.order + 1, 1.0));
}

double radius_of(const Complexes& poles) {
  double r = 0.0;
  for (const Complex& z : poles) {
    const double modulus = std::abs(z);
    r = std::isnan(modulus) ? nan : std::max(r, modulus);
  }
  return r;
}

// The closed loop's characteristic polynomial as the factors on the gains
// vary. With the sampled plant y/I = b(z)/a(z), a(z) = det(zI - phi) and
// b(z) = C adj(zI - phi) gamma, the control I_k = -g1 y_k + g2 y_{k-1}
// (g1 = fp Kp + fd Kd/h, g2 = fd Kd/h) closes it into
//   z a(z) + g1 z b(z) - g2 b(z),
// affine in the factors: a and b are worked out once, and each factor then
// costs a few multiply-adds instead of determinants.
struct LoopPolynomial {
  std::size_t degree = 0;  // of the closed loop: the plant's states and one
  Coefficients a{}, b{};   // by power; a monic of the plant's order, b below it
  double kp = 0.0, kd = 0.0;  // Kp, and Kd / h

  // The closed loop's coefficients at the factors, its degree told.
  template <std::size_t m>
  Coefficients at(double fp, double fd) const {
    const double g1 = fp * kp + fd * kd, g2 = fd * kd;
    Coefficients p{};
    for (std::size_t k = 0; k <= m; ++k) p[k] = (k > 0 ? a[k - 1] + g1 * b[k - 1] : 0.0) - g2 * b[k];
    return p;
  }
};

// The plant's a(z) and b(z), the gains left at 0 (with_gains sets them).
LoopPolynomial loop_polynomial(const SampledPlant& p, const ServoLoop& l) {
  const std::size_t n = l.order;
  LoopPolynomial lp;
  lp.degree = n + 1;
  // s b(z) = det(zI - phi + s gamma C) - det(zI - phi), with s a power of 2
  // that makes s gamma C of the size of phi, so that the difference keeps
  // b's digits.
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) largest = std::max(largest, std::fabs(p.gamma[i] * l.c[j]));
  }
  const double s = largest > 0 && std::isfinite(largest) ? std::ldexp(1.0, -std::ilogb(largest)) : 1.0;
  Matrix<double> fed = p.phi;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) fed[i][j] -= s * p.gamma[i] * l.c[j];
  }
  const Complexes open = characteristic_polynomial(p.phi, n, 1.0);
  const Complexes closed = characteristic_polynomial(fed, n, 1.0);
  for (std::size_t k = 0; k < n; ++k) {
    lp.a[k] = open.v[k].real();
    lp.b[k] = (closed.v[k].real() - open.v[k].real()) / s;
  }
  lp.a[n] = 1.0;
  return lp;
}

LoopPolynomial with_gains(LoopPolynomial lp, const ServoLoop& l) {
  lp.kp = l.position_gain;
  lp.kd = l.velocity_gain / l.time_step;
  return lp;
}

// The powers rho^k, k up to the closed loop's degree, each the one before
// times rho.
Coefficients powers_of(double rho) {
  Coefficients powers{};
  double power = 1.0;
  for (double& p : powers) p = power, power *= rho;
  return powers;
}

// Whether every root of the real polynomial p of degree d lies inside the
// unit circle, by the Schur-Cohn recursion: a polynomial q of degree d has
// all its roots inside exactly when |q_0| < |q_d| and
// (q_d q(z) - q_0 q*(z)) / z, q* being q with its coefficients reversed,
// has them all there too. The degree is fixed when compiling, so that the
// steps unroll and the coefficients stay in registers.
template <std::size_t d>
bool schur_cohn(const Coefficients& p) {
  if constexpr (d == 0) {
    return true;
  } else {
    const double k = p[0] / p[d];
    if (!(std::fabs(k) < 1.0)) return false;  // NaN too
    Coefficients next{};
    for (std::size_t i = 0; i < d; ++i) next[i] = p[i + 1] - k * p[d - 1 - i];
    return schur_cohn<d - 1>(next);
  }
}

// Whether every root of the real polynomial p of degree m lies inside the
// circle of radius rho: the test on p(rho z), whose coefficients are p's
// times the powers of rho.
template <std::size_t m>
bool roots_inside(Coefficients p, const Coefficients& powers) {
  for (std::size_t k = 0; k <= m; ++k) p[k] *= powers[k];
  return schur_cohn<m>(p);
}

// f(std::integral_constant<std::size_t, m>) for a closed-loop degree m told
// when running, so that the code for each degree is made when compiling;
// `otherwise` for a degree outside 1 to largest_loop.
template <class R, class F>
R with_degree(std::size_t m, R otherwise, const F& f) {
  return [&]<std::size_t... d>(std::index_sequence<d...>) {
    R r = otherwise;
    (void)((m == d + 1 ? (r = f(std::integral_constant<std::size_t, d + 1>{}), true) : false) || ...);
    return r;
  }(std::make_index_sequence<largest_loop>{});
}

// The same, the degree told when running.
bool roots_inside(const Coefficients& p, std::size_t m, double rho) {
  const Coefficients powers = powers_of(rho);
  return with_degree(m, false, [&](auto degree) { return roots_inside<degree()>(p, powers); });
}

// Where a loop passes the boundary of stability as a factor f moves away
// from 1 (up for a stable loop, down for an unstable one): the last factor
// on the nominal side and the first beyond, a scan in steps of 5 % and a
// bisection of the step where the decision changes, until doubles hold no
// factor between them. `beyond` is inf (NaN for an unstable loop) when no
// factor within 10^6 of 1 passes.
struct Crossing {
  double inside = 1.0;
  double beyond = 0.0;
  double factor() const { return std::isfinite(beyond) ? std::sqrt(inside * beyond) : beyond; }
};

template <class UnstableAt>
Crossing boundary_crossing(bool stable, const UnstableAt& unstable_at) {
  Crossing c;
  for (double f = stable ? scan_ratio : 1 / scan_ratio; stable ? f <= largest_factor : f >= 1 / largest_factor;
       f = stable ? f * scan_ratio : f / scan_ratio) {
    if (unstable_at(f) == stable) {
      double a = c.inside, b = f;  // a on the nominal side, b beyond
      for (int k = 0; k < 80; ++k) {
        const double mid = std::sqrt(a * b);
        double& moved = unstable_at(mid) == stable ? b : a;
        // Once a halving leaves both ends where they are, so does every
        // further one: the bracket is as narrow as doubles make it.
        if (moved == mid) break;
        moved = mid;
      }
      c.inside = a;
      c.beyond = b;
      return c;
    }
    c.inside = f;
  }
  c.beyond = stable ? INFINITY : nan;
  return c;
}

// The factor on the gains at which the loop loses stability (or, when it is
// unstable, regains it); the gains at factor f are gains(f) = (fp, fd).
// The scan and bisection decide by the Schur-Cohn test, cheap enough for
// the hundreds of factors they try; the closed-loop poles then confirm the
// decision at both ends of the final bracket (at the scan's last factor
// when nothing passed). Should the poles disagree there, the search is made
// again deciding by the poles throughout.
// The closed loop's degree m is fixed when compiling (stability_boundary
// below picks it).
template <std::size_t m, class Gains>
double stability_boundary_of_degree(const SampledPlant& p, const ServoLoop& l, const LoopPolynomial& lp, bool stable,
                                    const Gains& gains) {
  static const Coefficients powers = powers_of(1.0 - stability_tolerance);
  auto unstable_by_poles = [&](double f) {
    const auto [fp, fd] = gains(f);
    return !(radius_of(closed_loop_poles(p, l, fp, fd)) < 1.0 - stability_tolerance);
  };
  auto unstable_by_test = [&](double f) {
    const auto [fp, fd] = gains(f);
    return !roots_inside<m>(lp.at<m>(fp, fd), powers);
  };
  const Crossing c = boundary_crossing(stable, unstable_by_test);
  // Near the boundary both decisions rest on the rounding of a pole's
  // modulus: they place it alike to better than 1e-9 of the factor, so
  // the poles confirm it a little way off each end.
  const double off = stable ? 1 + confirmation_distance : 1 - confirmation_distance;
  const bool confirmed = unstable_by_poles(c.inside / off) != stable &&
                         (std::isfinite(c.beyond) ? unstable_by_poles(c.beyond * off) == stable
                                                  : unstable_by_poles(c.inside) != stable);
  return (confirmed ? c : boundary_crossing(stable, unstable_by_poles)).factor();
}

template <class Gains>
double stability_boundary(const SampledPlant& p, const ServoLoop& l, const LoopPolynomial& lp, bool stable,
                          const Gains& gains) {
  return with_degree(lp.degree, nan,
                     [&](auto degree) { return stability_boundary_of_degree<degree()>(p, l, lp, stable, gains); });
}

// The response of the sampled plant from current to y at z, C w with
// (zI - phi) w = gamma solved by elimination with row pivoting (pivots
// chosen by |re| + |im|), in real arithmetic: the response is sampled at
// thousands of frequencies per analysis. Every loop is unrolled (n is at
// most 4), so that the matrix is indexed only by constants and may stay in
// registers.
template <std::size_t n>
Complex response_of_order(const SampledPlant& p, const ServoLoop& l, Complex z) {
  double mr[n][n], mi[n][n];
  double wr[n], wi[n], inverse_r[n], inverse_i[n];
  #pragma GCC unroll 4
  for (std::size_t i = 0; i < n; ++i) {
    #pragma GCC unroll 4
    for (std::size_t j = 0; j < n; ++j) {
      mr[i][j] = (i == j ? z.real() : 0.0) - p.phi[i][j];
      mi[i][j] = i == j ? z.imag() : 0.0;
    }
    wr[i] = p.gamma[i];
    wi[i] = 0.0;
  }
  #pragma GCC unroll 4
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t pivot = k;
    double largest = std::fabs(mr[k][k]) + std::fabs(mi[k][k]);
    #pragma GCC unroll 4
    for (std::size_t i = k + 1; i < n; ++i) {
      const double size = std::fabs(mr[i][k]) + std::fabs(mi[i][k]);
      if (size > largest) pivot = i, largest = size;
    }
    // The pivot's row swapped in by indices known when compiling, so that
    // the unrolled elimination may keep the matrix in registers.
    #pragma GCC unroll 4
    for (std::size_t i = k + 1; i < n; ++i) {
      if (i != pivot) continue;
      #pragma GCC unroll 4
      for (std::size_t j = k; j < n; ++j) std::swap(mr[i][j], mr[k][j]), std::swap(mi[i][j], mi[k][j]);
      std::swap(wr[i], wr[k]);
      std::swap(wi[i], wi[k]);
    }
    // 1 / pivot (a singular matrix gives infinities).
    const double size = mr[k][k] * mr[k][k] + mi[k][k] * mi[k][k];
    inverse_r[k] = size == 0.0 ? INFINITY : mr[k][k] / size;
    inverse_i[k] = size == 0.0 ? 0.0 : -mi[k][k] / size;
    #pragma GCC unroll 4
    for (std::size_t i = k + 1; i < n; ++i) {
      const double fr = mr[i][k] * inverse_r[k] - mi[i][k] * inverse_i[k];
      const double fi = mr[i][k] * inverse_i[k] + mi[i][k] * inverse_r[k];
      #pragma GCC unroll 4
      for (std::size_t j = k + 1; j < n; ++j) {
        mr[i][j] -= fr * mr[k][j] - fi * mi[k][j];
        mi[i][j] -= fr * mi[k][j] + fi * mr[k][j];
      }
      const double rr = wr[i] - (fr * wr[k] - fi * wi[k]);
      wi[i] -= fr * wi[k] + fi * wr[k];
      wr[i] = rr;
    }
  }
  double yr = 0.0, yi = 0.0;
  #pragma GCC unroll 4
  for (std::size_t back = 0; back < n; ++back) {
    const std::size_t k = n - 1 - back;
    double sr = wr[k], si = wi[k];
    #pragma GCC unroll 4
    for (std::size_t j = k + 1; j < n; ++j) {
      sr -= mr[k][j] * wr[j] - mi[k][j] * wi[j];
      si -= mr[k][j] * wi[j] + mi[k][j] * wr[j];
    }
    wr[k] = sr * inverse_r[k] - si * inverse_i[k];
    wi[k] = sr * inverse_i[k] + si * inverse_r[k];
  }
  #pragma GCC unroll 4
  for (std::size_t i = 0; i < n; ++i) yr += l.c[i] * wr[i], yi += l.c[i] * wi[i];
  return {yr, yi};
}

// Each plant order has its own elimination, unrolled by the compiler.
Complex plant_response(const SampledPlant& p, const ServoLoop& l, Complex z) {
  static_assert(largest_plant == 4);
  switch (l.order) {
    case 1: return response_of_order<1>(p, l, z);
    case 2: return response_of_order<2>(p, l, z);
    case 3: return response_of_order<3>(p, l, z);
    case 4: return response_of_order<4>(p, l, z);
    default: return 0.0;
  }
}

// The control law K = Kp + Kd/h (1 - 1/z) at z = e^{j omega h} on the unit
// circle, where 1/z is z's conjugate.
Complex control_law(const ServoLoop& l, Complex z) {
  return l.position_gain + l.velocity_gain / l.time_step * (1.0 - std::conj(z));
}

// L = K G at z on the unit circle.
Complex open_loop_at(const SampledPlant& p, const ServoLoop& l, Complex z) {
  return control_law(l, z) * plant_response(p, l, z);
}

Complex open_loop(const SampledPlant& p, const ServoLoop& l, double hz) {
  return open_loop_at(p, l, std::polar(1.0, 2 * pi * hz * l.time_step));
}

// |v| without the overflow guard of the library's: the loop's values are
// far from the ends of the double range.
double magnitude(Complex v) { return std::sqrt(v.real() * v.real() + v.imag() * v.imag()); }

// The frequencies the response is sampled at, as angles omega h, the same
// for every time step: logarithmically spaced over `response_decades` up to
// the Nyquist frequency (omega h = pi), with their points on the circle.
struct ResponseGrid {
  std::array<double, response_points> angle;
  std::array<Complex, response_points> z;
};

const ResponseGrid& response_grid() {
  static const ResponseGrid grid = [] {
    ResponseGrid g;
    for (std::size_t k = 0; k < response_points; ++k) {
      const double decades = response_decades * static_cast<double>(response_points - 1 - k) / (response_points - 1);
      g.angle[k] = pi * std::pow(10.0, -decades);
      g.z[k] = std::polar(1.0, g.angle[k]);
    }
    return g;
  }();
  return grid;
}

// Where a function of frequency passes 0 between a and b (it has other
// signs there), by bisection on the logarithm of the frequency.
template <class F>
double crossing(const F& f, double a, double b) {
  const bool below = f(a) < 0;
  for (int k = 0; k < 80; ++k) {
    const double mid = std::sqrt(a * b);
    double& moved = (f(mid) < 0) == below ? a : b;
    if (moved == mid) break;  // as narrow as doubles make it
    moved = mid;
  }
  return std::sqrt(a * b);
}

// The frequency of the largest value of f between a and b, by golden section.
template <class F>
double largest_between(const F& f, double a, double b) {
  const double r = (std::sqrt(5.0) - 1) / 2;
  double x = std::log(a), y = std::log(b);
  double c = y - r * (y - x), d = x + r * (y - x);
  double fc = f(std::exp(c)), fd = f(std::exp(d));
  // Each step keeps one of the two inner points; stop when the interval is
  // as narrow as doubles make it.
  for (int k = 0; k < 100 && y - x > 4 * std::numeric_limits<double>::epsilon() * std::max(std::fabs(x), std::fabs(y));
       ++k) {
    if (fc > fd) {
      y = d, d = c, fd = fc;
      c = y - r * (y - x);
      fc = f(std::exp(c));
    } else {
      x = c, c = d, fc = fd;
      d = x + r * (y - x);
      fd = f(std::exp(d));
    }
  }
  return std::exp((x + y) / 2);
}

// What the analysis takes from the plant alone (order, A, B, C and the
// step), whatever the gains: the plant's modes, the sampled plant, the
// open-loop a(z) and b(z), and the plant's response G = C (zI - phi)^-1 gamma
// at the points of the response grid with their frequencies. The gains then
// only scale G by the control law at each point.
struct PlantPart {
  std::vector<PlantMode> modes;
  SampledPlant sampled;
  LoopPolynomial polynomial;  // the gains left at 0
  std::vector<double> hz;     // of the grid's points for this step
  std::vector<Complex> response;
};

// Worked out into `part`, whose vectors keep their storage from plant to plant.
void work_out_plant_part(const ServoLoop& l, PlantPart& part) {
  part.modes = plant_modes(l);
  part.sampled = sampled(l);
  part.polynomial = loop_polynomial(part.sampled, l);
  const ResponseGrid& grid = response_grid();
  part.hz.resize(response_points);
  part.response.resize(response_points);
  for (std::size_t k = 0; k < response_points; ++k) {
    part.hz[k] = grid.angle[k] / (2 * pi * l.time_step);
    part.response[k] = plant_response(part.sampled, l, grid.z[k]);
  }
}

// The plant cells as bits: two plants are the same only when every bit is
// (0.0 and -0.0 differ, and a NaN is the same as itself, which == denies).
using PlantKey = std::array<std::uint64_t, 2 + largest_plant * largest_plant + 2 * largest_plant>;

PlantKey key_of(const ServoLoop& l) {
  PlantKey key{};
  std::size_t at = 0;
  key[at++] = l.order;
  key[at++] = std::bit_cast<std::uint64_t>(l.time_step);
  for (const auto& row : l.a) {
    for (const double v : row) key[at++] = std::bit_cast<std::uint64_t>(v);
  }
  for (const double v : l.b) key[at++] = std::bit_cast<std::uint64_t>(v);
  for (const double v : l.c) key[at++] = std::bit_cast<std::uint64_t>(v);
  return key;
}

// The plant part of the last loop analysed on this thread, kept: a study
// varying only the gains analyses one plant case after case. One entry per
// thread, so threads never share it and callers never see it.
const PlantPart& plant_part(const ServoLoop& l) {
  struct Memo {
    std::optional<PlantKey> key;
    PlantPart part;
  };
  thread_local Memo memo;
  const PlantKey key = key_of(l);
  if (memo.key != key) {
    memo.key.reset();  // an exception while working it out leaves no entry
    work_out_plant_part(l, memo.part);
    memo.key = key;
  }
  return memo.part;
}

LoopPole pole_of(Complex z, double h) {
  LoopPole p;
  p.z = z;
  if (std::abs(z) == 0.0) return p;  // gone in one step: no frequency
  const Complex s = std::log(z) / h;
  p.hz = std::abs(s) / (2 * pi);
  p.damping = -s.real() / std::abs(s);
  p.ringing_hz = std::fabs(s.imag()) / (2 * pi);
  return p;
}

}  // namespace

bool roots_inside(const std::vector<double>& coefficients, double radius) {
  Coefficients p{};
  if (coefficients.size() < 2 || coefficients.size() > p.size()) return false;
  std::copy(coefficients.begin(), coefficients.end(), p.begin());
  return roots_inside(p, coefficients.size() - 1, radius);
}

std::vector<Complex> polynomial_roots(const std::vector<Complex>& coefficients) {
  const std::size_t n = coefficients.size() - 1;
  std::vector<Complex> directions(n), a(n + 1), z(n);
  for (std::size_t k = 0; k < n; ++k) directions[k] = std::polar(1.0, start_angle(k, n));
  std::vector<double> size(n + 1), modulus(n);
  const auto found = std::make_unique<bool[]>(n);
  aberth_roots(coefficients.data(), n, directions.data(), a.data(), size.data(), z.data(), found.get(), modulus.data());
  return z;
}

namespace {

// The cells each servo model reads, by name, checked while compiling
// against the layouts of the stages it models.
using stage::nut_stage_layout;
using stage::single_stage_layout;
using stage::stage_base_layout;
// Every stage.
consteval std::string_view servo_cell(std::string_view name) {
  return cell_name<nut_stage_layout, single_stage_layout, stage_base_layout>(name);
}
// A screw and nut.
consteval std::string_view screw_cell(std::string_view name) { return cell_name<nut_stage_layout>(name); }
// A linear motor, on the ground or on a base.
consteval std::string_view linear_cell(std::string_view name) {
  return cell_name<single_stage_layout, stage_base_layout>(name);
}
// The base.
consteval std::string_view base_cell(std::string_view name) { return cell_name<stage_base_layout>(name); }

}  // namespace

std::optional<ServoLoop> servo_loop(const Calculator& calc, std::string_view sheet_bytes) {
  if (calc.layout->servo == ServoModel::none) return std::nullopt;
  return servo_loop(calc, sheet_of(calc, sheet_bytes));
}

std::optional<ServoLoop> servo_loop(const Calculator& calc, const Sheet& sheet) {
  const ServoModel model = calc.layout->servo;
  if (model == ServoModel::none) return std::nullopt;
  auto real = [&](std::string_view name) {
    const CellSpec& cell = calc.layout->at(name);
    return sheet.real(cell.column, cell.row);
  };
  auto integer = [&](std::string_view name) {
    const CellSpec& cell = calc.layout->at(name);
    return sheet.integer(cell.column, cell.row);
  };
  ServoLoop l;
  l.position_gain = real(servo_cell("position_gain"));
  l.velocity_gain = real(servo_cell("velocity_gain"));
  l.time_step = real(servo_cell("time_step"));
  const double bias = real(servo_cell("bias_current"));
  double drive = 0.0;  // force (or torque) per ampere
  const double friction = real(servo_cell("friction_force"));
  double friction_lever = 1.0;  // from the friction force to the drive's force or torque
  if (model == ServoModel::screw_and_nut) {
    // Screw angle, its rate, the stage and its velocity; the nut follows the
    // screw through the lead, the stage the nut through the axial stiffness.
    const double lead = real(screw_cell("screw_lead")) / (2 * pi);  // nut travel per radian
    const double inertia = real(screw_cell("inertia1")) + real(screw_cell("inertia2"));
    const double k = real(screw_cell("axial_stiffness")), mass = real(servo_cell("stage_mass"));
    drive = real(screw_cell("torque_constant"));
    friction_lever = lead;
    l.order = 4;
    l.a[0][1] = 1.0;
    l.a[1][0] = -k * lead * lead / inertia;
    l.a[1][1] = -real(screw_cell("rotary_damping")) / inertia;
    l.a[1][2] = k * lead / inertia;
    l.a[2][3] = 1.0;
    l.a[3][0] = k * lead / mass;
    l.a[3][2] = -k / mass;
    l.b[1] = drive / inertia;
    if (integer(screw_cell("scale_switch")) == 0) {
      l.c[0] = 1.0;
      l.resolution = real(screw_cell("encoder_resolution"));
      l.start_measured = real(screw_cell("initial_nut_displacement")) / lead;
      l.sensor = "the screw angle (rotary encoder)";
      l.measured_unit = "rad";
    } else {
      l.c[2] = 1.0;
      l.resolution = real(screw_cell("scale_resolution"));
      l.start_measured = real(servo_cell("stage_displacement"));
      l.sensor = "the stage displacement (linear scale)";
      l.measured_unit = "mm";
    }
  } else {
    drive = real(linear_cell("force_constant"));
    const double mass = real(servo_cell("stage_mass"));
    l.resolution = real(linear_cell("resolution"));
    l.start_measured = real(servo_cell("stage_displacement"));
    l.measured_unit = "mm";
    if (model == ServoModel::direct) {
      l.order = 2;
      l.a[0][1] = 1.0;
      l.b[1] = drive / mass;
      l.c[0] = 1.0;
      l.sensor = "the stage displacement";
    } else {
      // Stage and base; the drive pushes them apart, the mount holds the base.
      const double base = real(base_cell("base_mass"));
      l.order = 4;
      l.a[0][1] = 1.0;
      l.a[2][3] = 1.0;
      l.a[3][2] = -real(base_cell("base_stiffness")) / base;
      l.b[1] = drive / mass;
      l.b[3] = -drive / base;
      l.c[0] = 1.0;
      l.c[2] = -1.0;
      l.sensor = "the stage displacement relative to the base";
      if (integer(linear_cell("offset_switch")) != 0 && real(base_cell("base_friction")) != 0.0) {
        l.left_out.push_back("the base's friction on the ground (" + g(real(base_cell("base_friction"))) + ")");
      }
    }
    if (integer(linear_cell("offset_switch")) != 0) {
      l.left_out.push_back("the offset rule (the count shifted by w/2, and one more at and below 0: a relay of " +
                           g(l.position_gain * (1 + real(linear_cell("offset_width"))) * l.resolution) + " A across count 0)");
    }
  }
  if (friction != 0.0) {
    // Held by friction the stage stops where the position term balances it.
    l.left_out.push_back("friction (" + g(friction) + "; the stage may stop up to F/(K Kp) = " +
                         g(std::fabs(friction * friction_lever / (drive * l.position_gain))) + " " + l.measured_unit +
                         " from 0)");
  }
  if (bias != 0.0) {
    l.left_out.push_back("the bias current (it moves the rest position by I0/Kp = " +
                         g(bias / l.position_gain) + " " + l.measured_unit + ")");
  }
  l.left_out.push_back("the sensor's rounding to counts of " + g(l.resolution) + " " + l.measured_unit);
  return l;
}

std::complex<double> open_loop_response(const ServoLoop& loop, double hz) {
  return open_loop(sampled(loop), loop, hz);
}

PlantMode integrated_mode(Complex s, double h) {
  PlantMode m;
  m.s = s;
  m.hz = std::abs(s) / (2 * pi);
  m.damping = -s.real() / std::abs(s);
  m.omega_h = std::abs(s) * h;
  const Complex x = s * h;
  const Complex p = 1.0 + x * (1.0 + x / 2.0 * (1.0 + x / 3.0 * (1.0 + x / 4.0)));
  m.growth = std::abs(p);
  m.step_error = std::abs(std::log(p) / h - s) / std::abs(s);
  return m;
}

double faithful_step(Complex s) {
  auto faithful = [&](double h) {
    const PlantMode m = integrated_mode(s, h);
    return m.step_error <= step_accuracy_limit && (m.growth <= 1 || m.damping < 0);
  };
  double a = 0.0, b = 4.0 / std::abs(s);  // no mode is integrated faithfully at omega h = 4
  for (int k = 0; k < 60; ++k) (faithful((a + b) / 2) ? a : b) = (a + b) / 2;
  return a;
}

bool finite_loop(const ServoLoop& l) {
  bool finite = std::isfinite(l.position_gain) && std::isfinite(l.velocity_gain);
  for (std::size_t i = 0; i < l.order; ++i) {
    finite = finite && std::isfinite(l.b[i]) && std::isfinite(l.c[i]);
    for (std::size_t j = 0; j < l.order; ++j) finite = finite && std::isfinite(l.a[i][j]);
  }
  return finite;
}

FirstStep first_step(const ServoLoop& l) {
  FirstStep f;
  f.count = std::floor(l.start_measured / l.resolution + 0.5);
  f.velocity_term = -((l.velocity_gain * f.count) * l.resolution) / l.time_step;
  f.position_term = -(l.position_gain * f.count) * l.resolution;
  return f;
}

std::vector<PlantMode> plant_modes(const ServoLoop& l) {
  Matrix<double> a{};
  for (std::size_t i = 0; i < l.order; ++i) {
    for (std::size_t j = 0; j < l.order; ++j) a[i][j] = l.a[i][j];
  }
  std::vector<PlantMode> modes;
  double norm = 0.0;
  for (const Complex& s : eigenvalues(a, l.order, norm)) {
    // The rigid body's eigenvalues 0 (found within rounding of a double
    // root) are no mode; of a pair, the upper one.
    if (std::abs(s) <= 1e-6 * norm || s.imag() < -1e-9 * std::abs(s)) continue;
    modes.push_back(integrated_mode(s, l.time_step));
  }
  std::sort(modes.begin(), modes.end(), [](const PlantMode& x, const PlantMode& y) { return x.hz < y.hz; });
  return modes;
}

LoopAnalysis analyse_loop(const ServoLoop& l) {
  LoopAnalysis r;
  const double h = l.time_step;
  if (!(h > 0) || !std::isfinite(h)) {
    r.why_not = "the time step is not a positive number";
    return r;
  }
  if (!finite_loop(l)) {
    r.why_not = "a mass, inertia or lead of 0 leaves the plant without finite coefficients";
    return r;
  }
  const PlantPart& part = plant_part(l);
  r.modes = part.modes;
  const SampledPlant& p = part.sampled;
  const Complexes poles = closed_loop_poles(p, l, 1.0, 1.0);
  r.spectral_radius = radius_of(poles);
  r.stable = r.spectral_radius < 1.0 - stability_tolerance;
  for (const Complex& z : poles) {
    if (z.imag() < -1e-12 * std::max(1.0, std::abs(z)) || std::abs(z) < 1e-12) continue;
    r.poles.push_back(pole_of(z, h));
    if (std::isnan(r.dominant.hz) || std::abs(z) > std::abs(r.dominant.z) + 1e-12) r.dominant = r.poles.back();
  }
  std::sort(r.poles.begin(), r.poles.end(), [](const LoopPole& a, const LoopPole& b) { return a.hz < b.hz; });
  const LoopPolynomial lp = with_gains(part.polynomial, l);
  r.gain_margin = stability_boundary(p, l, lp, r.stable, [](double f) { return std::pair{f, f}; });
  r.gain_margin_db = 20 * std::log10(r.gain_margin);
  r.position_gain_margin = stability_boundary(p, l, lp, r.stable, [](double f) { return std::pair{f, 1.0}; });

  // The frequency response, logarithmically spaced up to the Nyquist
  // frequency: the plant's response there scaled by the control law.
  const ResponseGrid& grid = response_grid();
  r.response.reserve(response_points);
  for (std::size_t k = 0; k < response_points; ++k) {
    r.response.push_back({part.hz[k], control_law(l, grid.z[k]) * part.response[k]});
  }
  auto L = [&](double hz) { return open_loop(p, l, hz); };
  auto magnitude_above_1 = [&](double hz) { return magnitude(L(hz)) - 1.0; };
  auto imaginary = [&](double hz) { return L(hz).imag(); };
  auto sensitivity = [&](double hz) { return 1.0 / magnitude(1.0 + L(hz)); };
  auto closed = [&](double hz) {
    const Complex v = L(hz);
    return magnitude(v) / magnitude(1.0 + v);
  };
  double best_sensitivity = -1, best_closed = -1, nearest_miss = INFINITY;
  std::size_t at_sensitivity = 0, at_closed = 0;
  double gain_before = 0.0, closed_before = 0.0;  // |L| and |T| at the point before
  for (std::size_t k = 0; k < r.response.size(); ++k) {
    const Complex v = r.response[k].open_loop;
    const double gain = magnitude(v), s = 1.0 / magnitude(1.0 + v), t = gain * s;
    if (s > best_sensitivity) best_sensitivity = s, at_sensitivity = k;
    if (t > best_closed) best_closed = t, at_closed = k;
    if (k > 0) {
      const double a = r.response[k - 1].hz, b = r.response[k].hz;
      const Complex u = r.response[k - 1].open_loop;
      if ((gain_before < 1.0) != (gain < 1.0)) {
        // The angle by which L misses -180 deg where its gain is 1.
        const double hz = crossing(magnitude_above_1, a, b);
        const double margin = 180 - std::fabs(std::arg(L(hz))) * 180 / pi;
        if (std::isnan(r.phase_margin) || margin < r.phase_margin) {
          r.phase_margin = margin;
          r.crossover_hz = hz;
        }
      }
      if ((u.imag() < 0) != (v.imag() < 0) && (u.real() < 0 || v.real() < 0)) {
        // Crossing -180 deg: the gain that would take L through -1 there.
        const double hz = crossing(imaginary, a, b);
        const Complex there = L(hz);
        const double miss = std::fabs(std::log(1 / magnitude(there) / r.gain_margin));
        if (there.real() < 0 && std::isfinite(miss) && miss < nearest_miss) {
          nearest_miss = miss;
          r.phase_crossover_hz = hz;
        }
      }
      if (std::isnan(r.bandwidth_hz) && closed_before >= 1 / std::sqrt(2.0) && t < 1 / std::sqrt(2.0)) {
        r.bandwidth_hz = crossing([&](double hz) { return closed(hz) - 1 / std::sqrt(2.0); }, a, b);
      }
    }
    gain_before = gain;
    closed_before = t;
  }
  // An unstable loop has a negative margin.
  if (!r.stable) r.phase_margin = -r.phase_margin;
  auto neighbours = [&](std::size_t k) {
    return std::pair{r.response[k == 0 ? 0 : k - 1].hz, r.response[std::min(k + 1, r.response.size() - 1)].hz};
  };
  const auto [s0, s1] = neighbours(at_sensitivity);
  r.sensitivity_peak_hz = largest_between(sensitivity, s0, s1);
  r.sensitivity_peak = sensitivity(r.sensitivity_peak_hz);
  r.sensitivity_peak_db = 20 * std::log10(r.sensitivity_peak);
  const auto [c0, c1] = neighbours(at_closed);
  r.resonance_hz = largest_between(closed, c0, c1);
  r.resonance_peak = closed(r.resonance_hz);
  return r;
}

}  // namespace meridox::host
