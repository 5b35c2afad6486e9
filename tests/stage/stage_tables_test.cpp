// The tables of the three built simulators, loaded as the host loads them,
// against the literal evaluation in reference.cpp.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "reference.hpp"
#include "support/harness.hpp"

namespace meridox::testing {
namespace {

using stage_reference::Cells;
using stage_reference::Simulator;

// Sheets of a stable servo: the sampling rate well above the loop's natural
// frequency, gains from a damping ratio, a few counts of start error.
Cells random_sheet(Simulator sim, std::mt19937_64& rng) {
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<>(lo, hi)(rng); };
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<>(lo, hi)(rng); };
  const int intervals[] = {1, 1, 3, 7, 50, 0, -4};
  Cells c;
  if (sim == Simulator::nut) {
    // Screw inertia comparable to the stage reflected through the lead, so
    // that both resonances of the nut spring lie well below 1 / h.
    const double L = uniform(1, 20), ms = uniform(0.5, 20), reflected = ms * std::pow(L / 6.28, 2);
    const double J = uniform(0.2, 2) * reflected;
    const double k = std::pow(uniform(50, 600), 2) * ms, Kt = uniform(0.1, 2);
    const double inertia = J + reflected;
    const double wn = uniform(20, 150), zeta = uniform(0.4, 1.2);
    const int scale = pick(0, 2);
    const double per = scale == 0 ? 1.0 : 6.28 / L;  // per radian or per length
    c = {{1, scale}, {2, uniform(1e-5, 1e-3)}, {3, uniform(1e-5, 1e-3)}, {4, J / 2}, {5, J / 2},
         {6, L}, {7, uniform(0, 1e-3)}, {8, Kt}, {9, ms}, {10, uniform(0, 2)}, {11, k},
         {12, wn * wn * inertia / Kt * per}, {13, 2 * zeta * wn * inertia / Kt * per},
         {14, uniform(-0.1, 0.1)}, {15, uniform(-2, 2)}, {16, uniform(-5, 5)},
         {17, uniform(-2, 2)}, {18, uniform(-5, 5)}, {19, uniform(1e-5, 1e-4)},
         {20, pick(1, 3000)}, {21, intervals[pick(0, 6)]}};
    return c;
  }
  const double m = uniform(0.5, 20), Kf = uniform(1, 20), wn = uniform(10, 100);
  const double zeta = uniform(0.4, 1.2);
  c = {{1, pick(0, 2)}, {2, uniform(0, 4)}, {3, Kf}, {4, uniform(1e-4, 1e-2)}, {5, m},
       {6, uniform(0, 5)}, {7, wn * wn * m / Kf}, {8, 2 * zeta * wn * m / Kf},
       {9, uniform(-0.5, 0.5)}, {10, uniform(-5, 5)}, {11, uniform(-10, 10)},
       {12, uniform(1e-4, 1e-3)}, {13, pick(1, 3000)}, {14, intervals[pick(0, 6)]}};
  if (sim == Simulator::base) {
    const double Mb = m * uniform(5, 50);
    c[15] = Mb;
    c[16] = std::pow(uniform(1, 20), 2) * Mb;
    c[17] = uniform(0, 5);
  }
  return c;
}

class StageTables : public ::testing::TestWithParam<Simulator> {
 protected:
  // Runs the built simulator and the reference on the same sheet; the
  // reference carries the current from run to run as the library must.
  void expect_same_table(const Cells& cells, const char* what) {
    folder_.write_sheet(stage_reference::sheet_text(GetParam(), cells));
    call_entry(stage_reference::library_name(GetParam()));
    const std::string expected = stage_reference::table(GetParam(), cells, current_);
    const std::string actual = folder_.read("OUT_M.txt");
    ASSERT_EQ(actual.size(), expected.size()) << what;
    ASSERT_TRUE(actual == expected) << what;
  }
  // Whether the last row of the table holds finite numbers only.
  bool ends_finite() const {
    const auto rows = split_table(folder_.read("OUT_M.txt"));
    for (const std::string& field : rows.back()) {
      if (!std::isfinite(std::strtod(field.c_str(), nullptr))) return false;
    }
    return true;
  }
  // Leaves a known current in the loaded library, whatever ran before:
  // one step with only a bias current of 0.25.
  void settle_current() {
    const bool nut = GetParam() == Simulator::nut;
    Cells c = nut ? Cells{{2, 1}, {3, 1}, {4, 1}, {6, 1}, {9, 1}, {14, 0.25}, {19, 1}, {20, 1}, {21, 1}}
                  : Cells{{3, 1}, {4, 1}, {5, 1}, {9, 0.25}, {12, 1}, {13, 1}, {14, 1}, {15, 1}};
    folder_.write_sheet(stage_reference::sheet_text(GetParam(), c));
    call_entry(stage_reference::library_name(GetParam()));
    current_ = 0.25;
  }
  ExchangeFolder folder_;
  double current_ = 0;
};

TEST_P(StageTables, RandomSheetsMatchTheLiteralEvaluationRunAfterRun) {
  settle_current();
  std::mt19937_64 rng(20261207 + static_cast<int>(GetParam()));
  for (int run = 0; run < 12; ++run) {
    const Cells cells = random_sheet(GetParam(), rng);
    expect_same_table(cells, ("run " + std::to_string(run)).c_str());
    // A stable servo stays bounded: the comparison covers real motion.
    EXPECT_TRUE(ends_finite()) << "run " << run;
    // The same sheet again: only the first row's current may change.
    if (run % 4 == 0) expect_same_table(cells, ("repeat of run " + std::to_string(run)).c_str());
  }
}

TEST_P(StageTables, DegenerateSheetsGiveTheSameNonFiniteRows) {
  settle_current();
  std::mt19937_64 rng(99);
  const bool nut = GetParam() == Simulator::nut;
  // zero resolution, zero mass, zero step, an empty sheet
  const std::vector<int> zero_rows = nut ? std::vector<int>{2, 9, 19, 6} : std::vector<int>{4, 5, 12};
  for (int row : zero_rows) {
    Cells cells = random_sheet(GetParam(), rng);
    cells[1] = 0;
    cells[row] = 0;
    cells[nut ? 20 : 13] = 40;
    expect_same_table(cells, ("zero in row " + std::to_string(row)).c_str());
  }
  expect_same_table(Cells{}, "empty sheet");
}

TEST_P(StageTables, ExtremeCountsAndIntervalsStayDefined) {
  settle_current();
  std::mt19937_64 rng(7);
  const bool nut = GetParam() == Simulator::nut;
  const int n_row = nut ? 20 : 13;
  for (const auto& [steps, interval] : {std::pair{5, INT_MIN}, {7, -1}, {0, 3}, {-9, 2}, {6, 0},
                                       {4, INT_MAX}}) {
    Cells cells = random_sheet(GetParam(), rng);
    cells[n_row] = steps;
    cells[n_row + 1] = interval;
    expect_same_table(cells, ("N " + std::to_string(steps) + " M " + std::to_string(interval)).c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Simulators, StageTables,
                         ::testing::Values(Simulator::nut, Simulator::single, Simulator::base),
                         [](const auto& info) { return stage_reference::library_name(info.param); });

// A private copy of a simulator's library, loaded afresh: its globals are
// those of a library just loaded, whatever this process ran before.
class FreshCopy {
 public:
  explicit FreshCopy(const char* name)
      : path_(std::filesystem::temp_directory_path() /
              ("fresh-" + std::to_string(::getpid()) + "-" + name + ".so")) {
    std::filesystem::copy_file(deliverable(name).library, path_,
                               std::filesystem::copy_options::overwrite_existing);
    library_ = std::make_unique<Library>(path_.string());
    entry_ = library_->entry(deliverable(name).entry);
  }
  ~FreshCopy() {
    library_.reset();
    std::filesystem::remove(path_);
  }
  void operator()() const { entry_(); }

 private:
  std::filesystem::path path_;
  std::unique_ptr<Library> library_;
  Library::Entry entry_ = nullptr;
};

TEST(SingleStage, WorkedExampleRowsAfterLoading) {
  ExchangeFolder folder;
  folder.write_sheet(SheetBuilder()
                         .set(2, 1, 0).set(2, 2, 0).set(2, 3, 1).set(2, 4, 1).set(2, 5, 1)
                         .set(2, 6, 0).set(2, 7, 0).set(2, 8, 0).set(2, 9, 1).set(2, 10, 0)
                         .set(2, 11, 0).set(2, 12, 0.2).set(2, 13, 1).set(2, 14, 1)
                         .str());
  FreshCopy drovik2("drovik2");
  drovik2();
  EXPECT_EQ(folder.read("OUT_M.txt"),
            shift_jis("時間(s)\t変位(mm)\t制御電流(A)\t速度(mm/s)\r\n") +
                "0.000000\t0.000000\t0.000000\t0.000000\r\n"
                "0.200000\t0.020000\t1.000000\t0.200000\r\n");
  // The second run starts its table with the current the first one left.
  drovik2();
  EXPECT_EQ(split_table(folder.read("OUT_M.txt")).at(1).at(2), "1.000000");
}

TEST(StageFrame, EveryFreshLibraryStartsWithZeroCurrentAndCarriesItOn) {
  for (Simulator sim : {Simulator::nut, Simulator::single, Simulator::base}) {
    ExchangeFolder folder;
    std::mt19937_64 rng(3);
    const Cells first = random_sheet(sim, rng);
    const Cells second = random_sheet(sim, rng);
    FreshCopy library(stage_reference::library_name(sim));
    double current = 0;
    for (const Cells* cells : {&first, &second}) {
      folder.write_sheet(stage_reference::sheet_text(sim, *cells));
      library();
      EXPECT_EQ(folder.read("OUT_M.txt"), stage_reference::table(sim, *cells, current))
          << stage_reference::library_name(sim);
    }
    const int current_column = sim == Simulator::single ? 2 : sim == Simulator::nut ? 3 : 4;
    const auto table = split_table(folder.read("OUT_M.txt"));
    EXPECT_NE(table.at(1).at(current_column), "0.000000");
  }
}

}  // namespace
}  // namespace meridox::testing
