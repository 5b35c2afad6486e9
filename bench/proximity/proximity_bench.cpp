// Proximity benchmark: for each sheet, main3 end to end (factorised field)
// against a run with the direct diffraction sum, same sheet, same process.
//
//   proximity_bench [--fast-only] [--level baseline|avx2|avx512] [sheet...]
// Without sheets it runs the Q-A, Q-M and Q-B sheets of examples/bench.
// --level times main3's run with the kernels of that vector level (through
// the core linked here, the same code as the library's) instead of the
// widest the processor runs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "bench/numpy_side.hpp"
#include "common/exchange.hpp"
#include "common/sheet.hpp"
#include "proximity/complex_product.hpp"
#include "proximity/direct_field.hpp"
#include "proximity/fast_field.hpp"
#include "proximity/fresnel.hpp"
#include "proximity/model.hpp"
#include "proximity/layout.hpp"
#include "proximity/proximity.hpp"

extern "C" void main3();

namespace {

namespace px = meridox::proximity;
using Clock = std::chrono::steady_clock;

std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The run of main3 with the direct sum in place of the factorised one.
void direct_run() {
  px::read_parameters(meridox::read_parameter_sheet(px::layout.grid));
  px::clear_intensity();
  px::tabulate_fresnel();
  double scale = 0.0;
  if (px::fresnel_scale(scale)) px::integrate_source_direct(scale);
  px::average_intensity();
  px::write_intensity_table(meridox::exchange_file(meridox::result_table));
}

// The intensities of a map table: every line after the first, without its
// leading y coordinate.
std::vector<double> map_values(const std::string& text) {
  std::vector<double> values;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string field;
    std::getline(fields, field, '\t');
    while (std::getline(fields, field, '\t')) {
      if (!field.empty() && field != "\r") values.push_back(std::strtod(field.c_str(), nullptr));
    }
  }
  return values;
}

int count_differing_lines(const std::string& a, const std::string& b) {
  std::istringstream sa(a), sb(b);
  std::string la, lb;
  int differing = 0;
  while (true) {
    const bool ga = static_cast<bool>(std::getline(sa, la));
    const bool gb = static_cast<bool>(std::getline(sb, lb));
    if (!ga && !gb) break;
    if (ga != gb || la != lb) ++differing;
  }
  return differing;
}

// Runs of main3 and of the numpy version per sheet (best of them).
constexpr int runs = 5;

void bench_sheet(const std::filesystem::path& sheet, const std::filesystem::path& folder,
                 bool fast_only, bool forced_level) {
  std::filesystem::copy_file(sheet, folder / "IN_FM.txt",
                             std::filesystem::copy_options::overwrite_existing);
  std::printf("%s\n", sheet.filename().string().c_str());

  double fast = 1e300;
  for (int repeat = 0; repeat < runs; ++repeat) {
    const auto start = Clock::now();
    if (forced_level) {
      px::run();
    } else {
      main3();
    }
    fast = std::min(fast, seconds_since(start));
  }
  const std::string fast_table = read_bytes(folder / "OUT_M.txt");
  std::printf("  main3 end to end (best of %d): %10.4f s\n", runs, fast);
  const meridox::bench::NumpySide numpy = meridox::bench::run_numpy_side("proximity_numpy.py", sheet, runs);
  if (numpy.ran) {
    const std::vector<double> table = map_values(fast_table);
    double difference = 0;
    for (std::size_t k = 0; k < std::min(numpy.map.size(), table.size()); ++k)
      difference = std::max(difference, std::fabs(numpy.map[k] - table[k]));
    std::printf("  numpy version (best of %d):    %10.4f s (%s)\n", runs, numpy.seconds, numpy.about.c_str());
    std::printf("  ratio numpy / main3:          %10.2f; numpy map against main3's table: largest "
                "difference %.1e%s\n",
                numpy.seconds / fast, difference,
                numpy.map.size() == table.size() ? "" : " (SIZES DIFFER)");
  } else {
    std::printf("  numpy version: %s\n", numpy.about.c_str());
  }
  if (fast_only) return;

  const auto start = Clock::now();
  direct_run();
  const double direct = seconds_since(start);
  const std::string direct_table = read_bytes(folder / "OUT_M.txt");

  // Largest intensity difference between the factorised and direct sums.
  double scale = 0.0;
  double worst = 0.0;
  if (px::fresnel_scale(scale)) {
    static double reference[px::max_points][px::max_points];
    for (int i = 0; i < px::column_count(); ++i)
      for (int j = 0; j < px::row_count(); ++j) reference[i][j] = px::intensity[i][j];
    px::clear_intensity();
    px::integrate_source_fast(scale);
    px::average_intensity();
    for (int i = 0; i < px::column_count(); ++i)
      for (int j = 0; j < px::row_count(); ++j)
        worst = std::max(worst, std::fabs(px::intensity[i][j] - reference[i][j]));
  }
  std::printf("  direct evaluation run:        %10.4f s\n", direct);
  std::printf("  ratio direct / main3:         %10.1f\n", direct / fast);
  std::printf("  factor groups %d, largest intensity difference %.3e, table lines differing %d\n",
              px::factor_group_count(), worst, count_differing_lines(fast_table, direct_table));
}

// One product of the size of a full sheet (141 x 141 points, 686 factor
// groups) with each kernel: time and complex multiply-adds per second.
void bench_kernels() {
  const int depth = px::max_rects, pairs = 71, blocks = 18, stride = 144;
  std::vector<double> l(static_cast<std::size_t>(2 * pairs * depth), 0.25);
  std::vector<double> r(static_cast<std::size_t>(blocks * depth * px::product_block), 0.5);
  std::vector<double> out_re(static_cast<std::size_t>(2 * pairs * stride)), out_im(out_re.size());
  const px::ComplexProduct product{depth, pairs, blocks, l.data(), l.data(), r.data(), r.data(),
                                   l.data(), r.data(), out_re.data(), out_im.data(), stride};
  const double complex_madds = 2.0 * pairs * blocks * px::product_block * depth;
  std::printf("product kernels, one %d x %d x %d product:", 2 * pairs, blocks * px::product_block, depth);
  for (const meridox::VectorLevel level :
       {meridox::VectorLevel::baseline, meridox::VectorLevel::avx2, meridox::VectorLevel::avx512}) {
    const auto kernel = px::complex_product_kernel(level);
    if (kernel == nullptr) continue;
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
      const auto start = Clock::now();
      kernel(product);
      best = std::min(best, seconds_since(start));
    }
    std::printf(" %s %.2f ms (%.1f G complex multiply-adds/s);", meridox::vector_level_name(level),
                best * 1e3, complex_madds / best * 1e-9);
  }
  std::printf("\n");
}

// The vector level named on the command line.
bool parse_level(const std::string& name, meridox::VectorLevel& level) {
  const char* const names[] = {"baseline", "avx2", "avx512"};  // in VectorLevel order
  for (int n = 0; n < 3; ++n) {
    if (name == names[n]) {
      level = static_cast<meridox::VectorLevel>(n);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool fast_only = false;
  bool forced_level = false;
  meridox::VectorLevel level = meridox::processor_vector_level();
  std::vector<std::filesystem::path> sheets;
  for (int n = 1; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg == "--fast-only") {
      fast_only = true;
    } else if (arg == "--level") {
      if (n + 1 >= argc || !parse_level(argv[n + 1], level)) {
        std::fprintf(stderr, "proximity_bench: --level takes baseline, avx2 or avx512\n");
        return 2;
      }
      if (!px::use_vector_level(level)) {
        std::fprintf(stderr, "proximity_bench: this build or processor has no %s kernels\n",
                     meridox::vector_level_name(level));
        return 2;
      }
      forced_level = true;
      ++n;
    } else {
      sheets.emplace_back(arg);
    }
  }
  if (sheets.empty()) {
    sheets.emplace_back(std::filesystem::path(MERIDOX_EXAMPLES_DIR) / "proximity-qa.txt");
    sheets.emplace_back(std::filesystem::path(MERIDOX_EXAMPLES_DIR) / "proximity-qm.txt");
    sheets.emplace_back(std::filesystem::path(MERIDOX_EXAMPLES_DIR) / "proximity-qb.txt");
  }
  for (const auto& sheet : sheets) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(sheet, error)) {
      std::fprintf(stderr, "proximity_bench: no sheet file %s\n", sheet.string().c_str());
      return 2;
    }
  }
  const auto folder = std::filesystem::temp_directory_path() / "meridox-proximity-bench";
  std::filesystem::create_directories(folder);
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  std::printf("processor: %s; main3 runs with the %s kernels%s\n",
              meridox::vector_level_name(meridox::processor_vector_level()),
              meridox::vector_level_name(level), forced_level ? " (--level, through the linked core)" : "");
  bench_kernels();
  for (const auto& sheet : sheets) bench_sheet(sheet, folder, fast_only, forced_level);
  std::filesystem::remove_all(folder);
  return 0;
}
