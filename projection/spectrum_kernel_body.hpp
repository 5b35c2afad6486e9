// The body of the spectrum accumulation, included once by each file that
// builds a version of it (baseline, AVX2, AVX-512) inside an unnamed
// namespace, so that every version keeps its own copy of every function and
// no code built for wider instructions can be shared with the baseline.
// No standard library templates are used here for the same reason.
//
// The field is taken in blocks of lines small enough to stay in the
// first-level cache while every rectangle is added to them; each sample still
// receives the rectangles in sheet order.

// Lines of the field per block: 8 lines of 128 complex samples are 16 KiB.
constexpr int block_lines = 8;

// Adds rectangle q to lines [first, end). Re and Im: the transmission parts,
// 1 and -1 exact, 0 left out, 2 any value.
template <int Re, int Im>
void add_rectangle(const SpectrumTerms& s, int q, Field& f, int first, int end) {
  const int n = s.n;
  const double t_re = Re == 2 ? s.t_re[q] : Re;
  const double t_im = Im == 2 ? s.t_im[q] : Im;
  const double* __restrict fyr = s.fy_re + static_cast<long>(q) * n;
  const double* __restrict fyi = s.fy_im + static_cast<long>(q) * n;
  for (int j = first; j < end; ++j) {
    const double fxr = s.fx_re[static_cast<long>(q) * n + j];
    const double fxi = s.fx_im[static_cast<long>(q) * n + j];
    double* __restrict re = f.re[j];
    double* __restrict im = f.im[j];
    for (int k = 0; k < n; ++k) {
      const double pr = fxr * fyr[k] - fxi * fyi[k];
      const double pi = fxr * fyi[k] + fxi * fyr[k];
      double r = re[k];
      double i = im[k];
      if constexpr (Re != 0) r = r + t_re * pr;
      if constexpr (Im != 0) r = r - t_im * pi;
      if constexpr (Re != 0) i = i + t_re * pi;
      if constexpr (Im != 0) i = i + t_im * pr;
      re[k] = r;
      im[k] = i;
    }
  }
}

void axis_row(const double* s1, const double* s2, const double* c1, const double* c2,
              const double* w, double* __restrict re, double* __restrict im, int n) {
  for (int j = 0; j < n; ++j) {
    re[j] = (s2[j] - s1[j]) / w[j];
    im[j] = (c2[j] - c1[j]) / w[j];
  }
}

using AddOne = void (*)(const SpectrumTerms&, int, Field&, int, int);

// Indexed by transmission_form: part forms zero, one, minus one, any.
constexpr AddOne add_one[16] = {
    add_rectangle<0, 0>,  add_rectangle<0, 1>,  add_rectangle<0, -1>,  add_rectangle<0, 2>,
    add_rectangle<1, 0>,  add_rectangle<1, 1>,  add_rectangle<1, -1>,  add_rectangle<1, 2>,
    add_rectangle<-1, 0>, add_rectangle<-1, 1>, add_rectangle<-1, -1>, add_rectangle<-1, 2>,
    add_rectangle<2, 0>,  add_rectangle<2, 1>,  add_rectangle<2, -1>,  add_rectangle<2, 2>,
};

void add_all(const SpectrumTerms& s, Field& f) {
  for (int first = 0; first < s.n; first += block_lines) {
    const int end = first + block_lines < s.n ? first + block_lines : s.n;
    for (int q = 0; q < s.count; ++q) {
      if (s.form[q] == 0) continue;  // transmission exactly 0, finite spectra
      add_one[s.form[q]](s, q, f, first, end);
    }
  }
}
