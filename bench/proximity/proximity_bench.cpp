// Proximity benchmark: for each sheet, main3 end to end (factorised field)
// against a run with the direct diffraction sum, same sheet, same process.
//
//   proximity_bench [--fast-only] [sheet...]
// Without sheets it runs the Q-A and Q-B sheets of examples/bench.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

void bench_sheet(const std::filesystem::path& sheet, const std::filesystem::path& folder,
                 bool fast_only) {
  std::filesystem::copy_file(sheet, folder / "IN_FM.txt",
                             std::filesystem::copy_options::overwrite_existing);
  std::printf("%s\n", sheet.filename().string().c_str());

  double fast = 1e300;
  for (int repeat = 0; repeat < 3; ++repeat) {
    const auto start = Clock::now();
    main3();
    fast = std::min(fast, seconds_since(start));
  }
  const std::string fast_table = read_bytes(folder / "OUT_M.txt");
  std::printf("  main3 end to end (best of 3): %10.4f s\n", fast);
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

}  // namespace

int main(int argc, char** argv) {
  bool fast_only = false;
  std::vector<std::filesystem::path> sheets;
  for (int n = 1; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg == "--fast-only") {
      fast_only = true;
    } else {
      sheets.emplace_back(arg);
    }
  }
  if (sheets.empty()) {
    sheets.emplace_back(std::filesystem::path(MERIDOX_EXAMPLES_DIR) / "proximity-qa.txt");
    sheets.emplace_back(std::filesystem::path(MERIDOX_EXAMPLES_DIR) / "proximity-qb.txt");
  }
  const auto folder = std::filesystem::temp_directory_path() / "meridox-proximity-bench";
  std::filesystem::create_directories(folder);
  setenv("MERIDOXWORK", (folder.string() + "/").c_str(), 1);
  std::printf("AVX2 product kernel: %s\n", px::avx2_available() ? "yes" : "no");
  for (const auto& sheet : sheets) bench_sheet(sheet, folder, fast_only);
  std::filesystem::remove_all(folder);
  return 0;
}
