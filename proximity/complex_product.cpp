#include "proximity/complex_product.hpp"

#include "common/cpu_features.hpp"

namespace meridox::proximity {

namespace {

using Word = unsigned long long;
constexpr int word_bits = 64;
constexpr int words_max = (product_depth_max + word_bits - 1) / word_bits;
constexpr int bands_max = product_rows_max / 2;
constexpr int tiles_max = bands_max * product_panels_max;

// The groups of each set bit of a byte, and how many there are: a list is
// written eight entries at a time without a branch per group.
struct ByteGroups {
  std::uint16_t at[8];
  int count;
};

constexpr auto byte_groups = [] {
  struct Table {
    ByteGroups of[256];
  } table{};
  for (int byte = 0; byte < 256; ++byte) {
    int count = 0;
    for (int bit = 0; bit < 8; ++bit) {
      if (byte & (1 << bit)) table.of[byte].at[count++] = static_cast<std::uint16_t>(bit);
    }
    table.of[byte].count = count;
  }
  return table;
}();

// Every tile's list, tile t = panel * bands + band at tile_first[t]; room for
// the eight entries the last byte of the last list may write.
std::uint16_t tile_lists[tiles_max * product_depth_max + 8];
int tile_first[tiles_max + 1];

}  // namespace

TileGroups::TileGroups(const ComplexProduct& p, int band_rows) {
  const int rows = 2 * p.row_pairs;
  if (p.l_span == nullptr || p.r_span == nullptr || p.depth > product_depth_max ||
      rows > product_rows_max || p.col_blocks > product_panels_max || band_rows < 2) {
    return;
  }
  sparse_ = true;
  bands_ = (rows + band_rows - 1) / band_rows;
  const int words = (p.depth + word_bits - 1) / word_bits;
  Word band_masks[bands_max][words_max] = {};            // groups nonzero in the band's rows
  Word panel_masks[product_panels_max][words_max] = {};  // groups nonzero in the panel
  // Each group marks the bands and panels its spans reach (within the rows
  // and columns the product forms).
  const int columns = p.col_blocks * product_block;
  for (int g = 0; g < p.depth; ++g) {
    const Word bit = Word{1} << (g % word_bits);
    const int w = g / word_bits;
    const int row_first = p.l_span[g].first < 0 ? 0 : p.l_span[g].first;
    const int row_end = p.l_span[g].end > rows ? rows : p.l_span[g].end;
    const int col_first = p.r_span[g].first < 0 ? 0 : p.r_span[g].first;
    const int col_end = p.r_span[g].end > columns ? columns : p.r_span[g].end;
    if (row_first >= row_end || col_first >= col_end) continue;  // no nonzero term anywhere
    for (int band = row_first / band_rows; band <= (row_end - 1) / band_rows; ++band)
      band_masks[band][w] |= bit;
    for (int b = col_first / product_block; b <= (col_end - 1) / product_block; ++b)
      panel_masks[b][w] |= bit;
  }
  // The groups of a tile are the bits of its band's and panel's masks both.
  int at = 0;
  for (int b = 0; b < p.col_blocks; ++b) {
    for (int band = 0; band < bands_; ++band) {
      tile_first[b * bands_ + band] = at;
      for (int w = 0; w < words; ++w) {
        Word both = band_masks[band][w] & panel_masks[b][w];
        for (int base = w * word_bits; base < (w + 1) * word_bits; base += 8, both >>= 8) {
          const ByteGroups& byte = byte_groups.of[both & 0xff];
          for (int k = 0; k < 8; ++k)
            tile_lists[at + k] = static_cast<std::uint16_t>(base + byte.at[k]);
          at += byte.count;
        }
      }
    }
  }
  tile_first[p.col_blocks * bands_] = at;
}

bool TileGroups::sparse() const { return sparse_; }

const std::uint16_t* TileGroups::groups(int band, int panel, int& count) const {
  const int t = panel * bands_ + band;
  count = tile_first[t + 1] - tile_first[t];
  return tile_lists + tile_first[t];
}

void complex_product_portable(const ComplexProduct& p) {
  constexpr int w = product_block;
  const TileGroups tiles(p, 2);
  const bool sparse = tiles.sparse();
  for (int b = 0; b < p.col_blocks; ++b) {
    const double* r_re = p.r_re + b * p.depth * w;
    const double* r_im = p.r_im + b * p.depth * w;
    for (int pair = 0; pair < p.row_pairs; ++pair) {
      const int i0 = 2 * pair;
      const double* l0_re = p.l_re + i0 * p.depth;
      const double* l0_im = p.l_im + i0 * p.depth;
      const double* l1_re = l0_re + p.depth;
      const double* l1_im = l0_im + p.depth;
      double s0_re[w] = {}, s0_im[w] = {}, s1_re[w] = {}, s1_im[w] = {};
      int count = p.depth;
      const std::uint16_t* groups = sparse ? tiles.groups(pair, b, count) : nullptr;
      for (int k = 0; k < count; ++k) {
        const int g = sparse ? groups[k] : k;
        const double* rr = r_re + g * w;
        const double* ri = r_im + g * w;
        const double a0r = l0_re[g], a0i = l0_im[g];
        const double a1r = l1_re[g], a1i = l1_im[g];
        for (int c = 0; c < w; ++c) {
          s0_re[c] += a0r * rr[c] - a0i * ri[c];
          s0_im[c] += a0r * ri[c] + a0i * rr[c];
          s1_re[c] += a1r * rr[c] - a1i * ri[c];
          s1_im[c] += a1r * ri[c] + a1i * rr[c];
        }
      }
      double* out0_re = p.p_re + i0 * p.p_stride + b * w;
      double* out0_im = p.p_im + i0 * p.p_stride + b * w;
      for (int c = 0; c < w; ++c) {
        out0_re[c] = s0_re[c];
        out0_im[c] = s0_im[c];
        out0_re[c + p.p_stride] = s1_re[c];
        out0_im[c + p.p_stride] = s1_im[c];
      }
    }
  }
}

using Kernel = void (*)(const ComplexProduct&);

#if MERIDOX_WIDE_KERNELS
constexpr Kernel avx2_kernel = complex_product_avx2;
constexpr Kernel avx512_kernel = complex_product_avx512;
#else
constexpr Kernel avx2_kernel = nullptr;
constexpr Kernel avx512_kernel = nullptr;
#endif

Kernel complex_product_kernel(VectorLevel level) {
  return kernel_of_level<Kernel>(level, complex_product_portable, avx2_kernel, avx512_kernel);
}

void complex_product(const ComplexProduct& p) {
  static const Kernel chosen = choose_kernel<Kernel>(complex_product_portable, avx2_kernel, avx512_kernel);
  chosen(p);
}

}  // namespace meridox::proximity
