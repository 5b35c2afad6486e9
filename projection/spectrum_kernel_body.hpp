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

// Adds one rectangle's product (pr, pi) to a sample (r, i) with the
// transmission t: r = (r + t_re pr) - t_im pi, i = (i + t_re pi) + t_im pr.
// Re and Im: the transmission parts, 1 and -1 exact, 0 left out, 2 any value.
template <int Re, int Im>
__attribute__((always_inline)) inline void add_product(double& r, double& i, double pr, double pi,
                                                       double t_re, double t_im) {
  if constexpr (Re != 0) r = r + t_re * pr;
  if constexpr (Im != 0) r = r - t_im * pi;
  if constexpr (Re != 0) i = i + t_re * pi;
  if constexpr (Im != 0) i = i + t_im * pr;
}

// The part of a transmission as the kernels take it.
template <int Part>
double part(const double* parts, int q) {
  return Part == 2 ? parts[q] : Part;
}

// Adds rectangle q to lines [first, end).
template <int Re, int Im>
void add_rectangle(const SpectrumTerms& s, int q, Field& f, int first, int end) {
  const int n = s.n;
  const double t_re = part<Re>(s.t_re, q);
  const double t_im = part<Im>(s.t_im, q);
  const long row = static_cast<long>(q) * n;
  const double* __restrict fyr = s.fy_re + row;
  const double* __restrict fyi = s.fy_im + row;
  for (int j = first; j < end; ++j) {
    const double fxr = s.fx_re[row + j];
    const double fxi = s.fx_im[row + j];
    double* __restrict re = f.re[j];
    double* __restrict im = f.im[j];
    for (int k = 0; k < n; ++k) {
      double r = re[k];
      double i = im[k];
      add_product<Re, Im>(r, i, fxr * fyr[k] - fxi * fyi[k], fxr * fyi[k] + fxi * fyr[k], t_re, t_im);
      re[k] = r;
      im[k] = i;
    }
  }
}

// Adds rectangles q and q + 1 to lines [first, end) in one pass over the
// field: each sample receives q, then q + 1, as in the documented order, and
// is loaded and stored once instead of twice.
template <int Re1, int Im1, int Re2, int Im2>
void add_two_rectangles(const SpectrumTerms& s, int q, Field& f, int first, int end) {
  const int n = s.n;
  const double t1_re = part<Re1>(s.t_re, q), t1_im = part<Im1>(s.t_im, q);
  const double t2_re = part<Re2>(s.t_re, q + 1), t2_im = part<Im2>(s.t_im, q + 1);
  const long row1 = static_cast<long>(q) * n;
  const long row2 = row1 + n;
  const double* __restrict fyr1 = s.fy_re + row1;
  const double* __restrict fyi1 = s.fy_im + row1;
  const double* __restrict fyr2 = s.fy_re + row2;
  const double* __restrict fyi2 = s.fy_im + row2;
  for (int j = first; j < end; ++j) {
    const double fxr1 = s.fx_re[row1 + j], fxi1 = s.fx_im[row1 + j];
    const double fxr2 = s.fx_re[row2 + j], fxi2 = s.fx_im[row2 + j];
    double* __restrict re = f.re[j];
    double* __restrict im = f.im[j];
    for (int k = 0; k < n; ++k) {
      double r = re[k];
      double i = im[k];
      add_product<Re1, Im1>(r, i, fxr1 * fyr1[k] - fxi1 * fyi1[k], fxr1 * fyi1[k] + fxi1 * fyr1[k],
                            t1_re, t1_im);
      add_product<Re2, Im2>(r, i, fxr2 * fyr2[k] - fxi2 * fyi2[k], fxr2 * fyi2[k] + fxi2 * fyr2[k],
                            t2_re, t2_im);
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

// The value a part form stands for: 0 left out, 1 and -1 exact, 2 any.
constexpr int part_value[4] = {0, 1, -1, 2};

// Pairs of rectangles in one pass, for the transmissions masks use most:
// 1, i, another real value and any other value (forms 4, 1, 12 and 15).
constexpr int paired_forms[4] = {4, 1, 12, 15};
constexpr int pair_index(unsigned char form) {
  for (int p = 0; p < 4; ++p) {
    if (paired_forms[p] == form) return p;
  }
  return -1;
}

template <int F1, int F2>
constexpr AddOne two = add_two_rectangles<part_value[F1 / 4], part_value[F1 % 4], part_value[F2 / 4],
                                          part_value[F2 % 4]>;

template <int F1>
constexpr AddOne pairs_with[4] = {two<F1, 4>, two<F1, 1>, two<F1, 12>, two<F1, 15>};

constexpr const AddOne* add_pair[4] = {pairs_with<4>, pairs_with<1>, pairs_with<12>, pairs_with<15>};

void add_all(const SpectrumTerms& s, Field& f) {
  for (int first = 0; first < s.n; first += block_lines) {
    const int end = first + block_lines < s.n ? first + block_lines : s.n;
    int q = 0;
    while (q < s.count) {
      const int p1 = pair_index(s.form[q]);
      const int p2 = q + 1 < s.count ? pair_index(s.form[q + 1]) : -1;
      if (p1 >= 0 && p2 >= 0) {
        add_pair[p1][p2](s, q, f, first, end);
        q += 2;
      } else {
        // Form 0: transmission exactly 0, finite spectra.
        if (s.form[q] != 0) add_one[s.form[q]](s, q, f, first, end);
        ++q;
      }
    }
  }
}
