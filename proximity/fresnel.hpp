#pragma once
// Tabulated Fresnel integrals C(u) and S(u) with their look-ups.
//
// Every run tabulates both integrals once by Simpson's rule on arguments
// 0, 0.02, ..., 20.02; afterwards each value is a table look-up with linear
// interpolation, odd symmetry for negative arguments and the limit 1/2 from
// u = 20 on.

namespace meridox::proximity {

inline constexpr int fresnel_entries = 1002;  // entries 0 ... 1001
inline constexpr int fresnel_limit_index = 1000;

extern double table_step;
extern double fresnel_c[fresnel_entries];
extern double fresnel_s[fresnel_entries];
// The tables by interval, for look-ups of both integrals at once: row n
// (0 ... 999) holds C[n], C[n+1] - C[n], S[n], S[n+1] - S[n]. Interpolating
// with a row gives the same bits as fresnel_value on each table.
alignas(32) extern double fresnel_intervals[fresnel_limit_index][4];

// Sets table_step and fills the tables; must run before any look-up.
void tabulate_fresnel();

// Interpolated value of one table at the signed argument u. Exactly odd in u;
// +-0.5 for |u| >= 20 (infinities included). A NaN argument gives NaN and
// never reaches the table.
double fresnel_value(const double* table, double u);

// C(v2) - C(v1) and S(v2) - S(v1), looking up v1 first.
double fresnel_c_diff(const double& v1, const double& v2);
double fresnel_s_diff(const double& v1, const double& v2);

}  // namespace meridox::proximity
