#include "reference.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>

#include "support/harness.hpp"

namespace meridox::testing::stage_reference {
namespace {

// One classical Runge-Kutta step of n equations, as the stepper is documented:
// stages in order, x advanced by one addition of h, weights ((K1+2K2)+2K3)+K4.
void runge_kutta(int n, double* y, double& t, double h,
                 const std::function<double(int, const double*)>& f) {
  double k1[10], k2[10], k3[10], k4[10], trial[10];
  for (int i = 0; i < n; ++i) trial[i] = y[i];
  for (int i = 0; i < n; ++i) k1[i] = h * f(i, trial);
  for (int i = 0; i < n; ++i) trial[i] = y[i] + k1[i] / 2;
  for (int i = 0; i < n; ++i) k2[i] = h * f(i, trial);
  for (int i = 0; i < n; ++i) trial[i] = y[i] + k2[i] / 2;
  for (int i = 0; i < n; ++i) k3[i] = h * f(i, trial);
  for (int i = 0; i < n; ++i) trial[i] = y[i] + k3[i];
  for (int i = 0; i < n; ++i) k4[i] = h * f(i, trial);
  t = t + h;
  for (int i = 0; i < n; ++i) y[i] = y[i] + (((k1[i] + 2 * k2[i]) + 2 * k3[i]) + k4[i]) / 6;
}

// "%f" fields joined by TAB, CR LF at the end; a line too long for the
// 256-byte buffer is written in "%.6e" instead. NaN prints without a sign.
std::string row(std::initializer_list<double> values, const char* format = "%f") {
  std::string line;
  char text[400];
  for (double v : values) {
    if (!line.empty()) line += '\t';
    if (std::isnan(v)) {
      line += "nan";
    } else {
      std::snprintf(text, sizeof text, format, v);
      line += text;
    }
  }
  if (line.size() + 1 > 255 && format[1] == 'f') return row(values, "%.6e");
  return line + "\r\n";
}

std::string header(const char* utf8) {
  std::string sjis = shift_jis(utf8);
  return sjis + "\r\n";
}

double cell(const Cells& cells, int row) {
  const auto it = cells.find(row);
  return it == cells.end() ? 0.0 : it->second;
}
int whole(const Cells& cells, int row) { return static_cast<int>(cell(cells, row)); }

bool due(int i, int m) { return m != 0 && i % m == 0; }

std::string single_or_base(bool with_base, const Cells& c, double& I) {
  const int offset_switch = whole(c, 1);
  const double w = cell(c, 2), Kf = cell(c, 3), r = cell(c, 4), m = cell(c, 5), F = cell(c, 6);
  const double Kp = cell(c, 7), Kd = cell(c, 8), I0 = cell(c, 9), h = cell(c, 12);
  const int N = whole(c, 13), M = whole(c, 14);
  const double Mb = cell(c, 15), K = cell(c, 16), Fb = cell(c, 17);
  double y[4] = {cell(c, 10), cell(c, 11), 0.0, 0.0};
  double t = 0, n = 0, n_prev = 0;
  auto current = [&] {
    double fb = n;
    if (offset_switch != 0) fb = n > 0 ? n + w / 2 : n - (1 + w / 2);
    I = (I0 - (Kp * fb) * r) - ((Kd * (n - n_prev)) * r) / h;
  };
  auto f = [&](int i, const double* cy) -> double {
    if (!with_base) {
      if (i == 0) return cy[1];
      current();
      return cy[1] > 0 ? (Kf * I - F) / m : (Kf * I + F) / m;
    }
    const double fsb = cy[1] - cy[3] > 0 ? -F : F;
    if (i == 0) return cy[1];
    if (i == 2) return cy[3];
    current();
    if (i == 1) return (Kf * I + fsb) / m;
    if (offset_switch == 0) return ((-Kf * I - fsb) - K * cy[2]) / Mb;
    const double fg = cy[3] > 0 ? -Fb : Fb;
    return (((-Kf * I - fsb) + fg) - K * cy[2]) / Mb;
  };
  auto line = [&] {
    return with_base ? row({t, y[0], y[2], y[0] - y[2], I, y[1]}) : row({t, y[0], I, y[1]});
  };
  std::string out = with_base
      ? header("時間(s)\t変位s(mm)\t変位b(mm)\t変位差分(mm)\t制御電流(A)\t速度(mm/s)")
      : header("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)");
  for (int i = 0; i < N; ++i) {
    if (due(i, M)) out += line();
    n = std::floor((y[0] - y[2]) / r + 0.5);
    runge_kutta(with_base ? 4 : 2, y, t, h, f);
    n_prev = n;
  }
  return out + line();
}

std::string nut(const Cells& c, double& I) {
  const double PI = 3.14159265358979;
  const int scale = whole(c, 1);
  const double r = scale == 0 ? cell(c, 2) : cell(c, 3);
  const double J = cell(c, 4) + cell(c, 5), L = cell(c, 6), cr = cell(c, 7), Kt = cell(c, 8);
  const double ms = cell(c, 9), Fs = cell(c, 10), k = cell(c, 11), Kp = cell(c, 12);
  const double Kd = cell(c, 13), I0 = cell(c, 14), h = cell(c, 19);
  const int N = whole(c, 20), M = whole(c, 21);
  double y[4] = {((cell(c, 15) * 2) * PI) / L, ((cell(c, 16) * 2) * PI) / L, cell(c, 17),
                 cell(c, 18)};
  double t = 0, n = 0, n_prev = 0;
  auto f = [&](int i, const double* cy) -> double {
    const double xn = (L * cy[0]) / (2 * PI);
    if (i == 0) return cy[1];
    if (i == 2) return cy[3];
    if (i == 1) {
      I = (I0 - (Kp * n) * r) - ((Kd * (n - n_prev)) * r) / h;
      return ((Kt * I - cr * cy[1]) - ((k * (xn - cy[2])) * L) / (2 * PI)) / J;
    }
    return cy[3] > 0 ? -(k * (cy[2] - xn) + Fs) / ms : -(k * (cy[2] - xn) - Fs) / ms;
  };
  auto line = [&] {
    return row({t, (y[0] * L) / (2 * PI), y[2], I, (y[1] * L) / (2 * PI), y[3]});
  };
  std::string out = header(
      "時間(s)\tﾅｯﾄ変位(mm)\tｽﾃｰｼﾞ変位(mm)\t制御電流(A)\tﾅｯﾄ速度(mm/s)\tｽﾃｰｼﾞ速度(mm/s)");
  for (int i = 0; i < N; ++i) {
    if (due(i, M)) out += line();
    n = std::floor((scale == 0 ? y[0] : y[2]) / r + 0.5);
    runge_kutta(4, y, t, h, f);
    n_prev = n;
  }
  return out + line();
}

}  // namespace

bool integer_row(Simulator sim, int row) {
  if (sim == Simulator::nut) return row == 1 || row == 20 || row == 21;
  return row == 1 || row == 13 || row == 14;
}

std::string sheet_text(Simulator sim, const Cells& cells) {
  SheetBuilder sheet;
  sheet.set(0, 0, "stage parameters");
  for (const auto& [r, value] : cells) {
    sheet.set(0, r, "p" + std::to_string(r)).set(1, r, "unit");
    if (integer_row(sim, r)) {
      sheet.set(2, r, static_cast<int>(value));
    } else {
      sheet.set(2, r, value);
    }
  }
  return sheet.str();
}

std::string table(Simulator sim, const Cells& cells, double& current) {
  if (sim == Simulator::nut) return nut(cells, current);
  return single_or_base(sim == Simulator::base, cells, current);
}

const char* library_name(Simulator sim) {
  switch (sim) {
    case Simulator::nut:
      return "drovik1";
    case Simulator::single:
      return "drovik2";
    default:
      return "drovik3";
  }
}

}  // namespace meridox::testing::stage_reference
