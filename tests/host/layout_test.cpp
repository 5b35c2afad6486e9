// Every name of a calculator's layout means the cell the calculator reads:
// a value written into that cell alone reaches the reader's parameter of
// that name (and no other), a limited cell is used at its limit, and for
// the stage simulators, whose readers are their own, a changed cell changes
// the table the library writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "host/core/calculators.hpp"
#include "host/core/check.hpp"
#include "host/cli/run_command.hpp"
#include "host/core/text.hpp"
#include "plate/layout.hpp"
#include "plate/plate.hpp"
#include "projection/parameters.hpp"
#include "proximity/model.hpp"
#include "support/harness.hpp"

namespace meridox::host {
namespace {

namespace fs = std::filesystem;
using Fields = std::map<std::string, double>;

Sheet sheet_of(const Layout& layout, const std::string& bytes) {
  Sheet sheet(layout.grid);
  sheet.feed(bytes);
  sheet.finish();
  return sheet;
}

Fields projection_fields(const std::string& bytes) {
  auto p = std::make_unique<projection::Parameters>();
  projection::read_parameters(sheet_of(projection::layout, bytes), *p);
  Fields f{{"grid_size", p->grid_size}, {"pitch", p->pitch},   {"wavelength", p->wavelength},
           {"NA", p->NA},               {"sigma", p->sigma},   {"tilt_x", p->tilt_x},
           {"tilt_y", p->tilt_y},       {"defocus", p->defocus}, {"rect_count", p->rect_count}};
  for (int k = 1; k <= 6; ++k) {
    f["aber_x[" + std::to_string(k) + "]"] = p->aber_x[k];
    f["aber_y[" + std::to_string(k) + "]"] = p->aber_y[k];
  }
  for (int q = 0; q < p->rect_count; ++q) {
    const std::string i = "[" + std::to_string(q) + "]";
    f["rect_t_re" + i] = p->rect_t_re[q], f["rect_t_im" + i] = p->rect_t_im[q];
    f["rect_x1" + i] = p->rect_x1[q], f["rect_x2" + i] = p->rect_x2[q];
    f["rect_y1" + i] = p->rect_y1[q], f["rect_y2" + i] = p->rect_y2[q];
  }
  return f;
}

Fields proximity_fields(const std::string& bytes) {
  namespace px = proximity;
  px::read_parameters(sheet_of(px::layout, bytes));
  Fields f{{"wavelength", px::wavelength}, {"gap", px::gap},         {"source_half_angle", px::source_half_angle},
           {"x_start", px::x_start},       {"x_end", px::x_end},     {"x_steps", px::x_steps},
           {"y_start", px::y_start},       {"y_end", px::y_end},     {"y_steps", px::y_steps},
           {"rect_count", px::rect_count}};
  for (int q = 0; q < px::rect_count; ++q) {
    const std::string i = "[" + std::to_string(q) + "]";
    f["rect_t_re" + i] = px::rect_t_re[q], f["rect_t_im" + i] = px::rect_t_im[q];
    f["rect_x1" + i] = px::rect_x1[q], f["rect_x2" + i] = px::rect_x2[q];
    f["rect_y1" + i] = px::rect_y1[q], f["rect_y2" + i] = px::rect_y2[q];
  }
  return f;
}

Fields plate_fields(const std::string& bytes) {
  plate::read_cells(sheet_of(plate::layout, bytes));
  return {{"load_case", plate::load_case}, {"support_case", plate::support_case}, {"modulus", plate::modulus},
          {"poisson", plate::poisson},     {"thickness", plate::thickness},       {"load", plate::load},
          {"r_start", plate::r_start},     {"r_end", plate::r_end},               {"divisions", plate::divisions}};
}

using Reader = Fields (*)(const std::string&);

// Each cell alone, with a value of its own (its row, and a half for reals),
// reaches the parameter of its name and leaves every other one at 0.
void expect_each_cell_reaches_its_name(const char* alias, Reader read) {
  const Calculator& calc = *find_calculator(alias);
  for (const CellSpec& cell : calc.layout->cells) {
    const double value = cell.row + (cell.is_integer() ? 0.0 : 0.5);
    std::string why;
    const auto sheet = set_named_cell(calc, "", cell.name, number_text(value), why);
    ASSERT_TRUE(sheet) << why;
    const Fields fields = read(*sheet);
    ASSERT_TRUE(fields.count(std::string(cell.name))) << alias << " reads no parameter " << cell.name;
    for (const auto& [name, got] : fields) {
      EXPECT_EQ(got, name == cell.name ? value : 0.0) << alias << ": " << cell.name << " set, " << name << " read";
    }
    if (cell.high != INT_MAX) {
      // The reader uses the limit for a value above it (written straight
      // into the cell: setting it by name refuses it).
      const std::string over = with_cell_text("", cell.column, cell.row, std::to_string(cell.high + 1));
      EXPECT_EQ(read(over).at(std::string(cell.name)), cell.high) << alias << ": " << cell.name << " above its limit";
      EXPECT_FALSE(set_named_cell(calc, "", cell.name, std::to_string(cell.high + 1), why)) << cell.name;
    }
  }
}

TEST(Layout, EveryScalarCellNameIsTheCellTheReaderReads) {
  expect_each_cell_reaches_its_name("projection", projection_fields);
  expect_each_cell_reaches_its_name("proximity", proximity_fields);
  expect_each_cell_reaches_its_name("plate", plate_fields);
}

TEST(Layout, RectangleCellNamesAreTheCellsTheReaderReads) {
  for (auto [alias, read] : {std::pair<const char*, Reader>{"projection", projection_fields},
                             std::pair<const char*, Reader>{"proximity", proximity_fields}}) {
    const Calculator& calc = *find_calculator(alias);
    std::string why;
    std::string sheet = std::string(example_sheet(calc.name));
    sheet = *set_named_cell(calc, sheet, "rect_count", "5", why);
    int k = 0;
    for (const std::string_view column : rectangle_columns) {
      const std::string name = std::string(column) + "[3]";
      const std::string value = number_text(1.25 + k++);
      const auto changed = set_named_cell(calc, sheet, name, value, why);
      ASSERT_TRUE(changed) << why;
      const Fields before = read(sheet), after = read(*changed);
      for (const auto& [field, got] : after) {
        if (field == name) {
          EXPECT_EQ(number_text(got), value) << alias << " " << name;
        } else {
          EXPECT_EQ(got, before.at(field)) << alias << ": " << name << " set, " << field << " changed";
        }
      }
    }
    // As many as the calculator uses and the sheet has rows for.
    const RectangleSpec& rectangles = *calc.layout->rectangles;
    const int most = std::min(calc.layout->find(rectangles.count_cell)->high,
                              calc.layout->grid.row_guard - rectangles.first_row + 1);
    EXPECT_TRUE(named_cell(calc, "rect_y2[" + std::to_string(most - 1) + "]")) << alias;
    EXPECT_FALSE(named_cell(calc, "rect_y2[" + std::to_string(most) + "]")) << alias;
  }
  EXPECT_FALSE(named_cell(*find_calculator("stage"), "rect_x1[0]"));
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The stage libraries read their sheets with readers of their own: a cell
// changed by name must change the table the library writes, from the
// example or from the example with its switch turned.
TEST(Layout, EveryStageCellNameChangesTheStageTable) {
  testing::ExchangeFolder scratch;
  for (const char* alias : {"nut-stage", "stage", "stage-base"}) {
    const Calculator& calc = *find_calculator(alias);
    const std::string switch_name(calc.layout->cells[0].name);
    auto table = [&](std::vector<std::pair<std::string, std::string>> set) {
      RunRequest request;
      request.calculator = alias;
      request.out = (scratch.path() / alias).string();
      request.lib_dir = MERIDOX_LIB_DIR;
      request.pictures = false;
      request.set = std::move(set);
      std::ostringstream out, err;
      EXPECT_NE(run(request, out, err), bad_input) << err.str();
      return slurp(scratch.path() / alias / "OUT_M.txt");
    };
    const Sheet example = sheet_of(*calc.layout, std::string(example_sheet(calc.name)));
    for (const std::string turned : {"0", "1"}) {
      SCOPED_TRACE(std::string(alias) + " " + switch_name + " = " + turned);
      const std::string base = table({{switch_name, turned}});
      for (const CellSpec& cell : calc.layout->cells) {
        if (cell.name == switch_name) continue;
        const double now = example.real(cell.column, cell.row);
        const std::string changed = cell.is_integer() ? std::to_string(static_cast<int>(now) + 3)
                                                      : number_text(now == 0.0 ? 0.25 : now * 1.5);
        const std::string other = table({{switch_name, turned}, {std::string(cell.name), changed}});
        // Cells that only matter with the switch turned (an offset width,
        // the scale behind an encoder servo) are checked in the other pass.
        const bool switch_only = turned == "0" && (cell.name == "offset_width" || cell.name == "base_friction" ||
                                                   cell.name == "scale_resolution");
        const bool scale_only = turned == "1" && cell.name == "encoder_resolution";
        if (!switch_only && !scale_only) {
          EXPECT_NE(other, base) << cell.name << " = " << changed;
        }
      }
    }
  }
}

// Each table a layout describes is told from every other by its first line
// alone, and its description is whole: the columns, cells and tables it
// names for the readers that draw and summarise it are the layout's own.
TEST(Layout, EveryTableIsToldByItsHeaderAndDescribedWhole) {
  for (const Calculator& c : calculators()) {
    for (const TableSpec& t : c.layout->tables) {
      SCOPED_TRACE(std::string(c.name) + " " + std::string(t.file));
      const std::size_t n = t.columns.size();
      std::string text = t.header.empty() ? std::string() : std::string(t.header) + "\r\n";
      if (t.form == TableForm::map) {
        text += "\t0.000000\t\r\n0.000000\t1.000000\t\r\n";
      } else {
        for (std::size_t k = 0; k < n; ++k) text += k + 1 < n ? "0.000000\t" : "0.000000\r\n";
      }
      EXPECT_TRUE(identify_table(text) == TableKind(t)) << describe(identify_table(text));
      for (const std::string_view cell : {t.count_cell, t.map.pupil_cell, t.map.source_cell}) {
        EXPECT_TRUE(cell.empty() || c.layout->find(cell) != nullptr) << cell;
      }
      if (t.form == TableForm::map) {
        ASSERT_EQ(n, 3u);
        EXPECT_FALSE(t.map.picture_title.empty() || t.map.scale_label.empty() || t.map.summary_words.empty());
        EXPECT_NE(t.map.axes.empty(), !t.map_in_lengths());
        if (!t.map.mask_file.empty()) {
          const TableSpec* mask = table_spec(c, t.map.mask_file);
          ASSERT_NE(mask, nullptr);
          EXPECT_EQ(mask->map.value, MapValue::amplitude);
        }
        continue;
      }
      EXPECT_EQ(static_cast<std::size_t>(std::count(t.header.begin(), t.header.end(), '\t')) + 1, n);
      EXPECT_LT(t.error_column, static_cast<int>(n));
      EXPECT_LT(t.current_column, static_cast<int>(n));
      EXPECT_FALSE(t.panels.empty());
      for (const PanelSpec& p : t.panels) {
        EXPECT_GT(p.traces[0].column, 0) << p.title;
        for (const TraceSpec& trace : p.traces) EXPECT_LT(trace.column, static_cast<int>(n)) << p.title;
      }
      for (const UnitSpec& u : t.units) {
        EXPECT_NE(c.layout->find(u.cell), nullptr) << u.cell;
        EXPECT_TRUE(std::any_of(t.columns.begin(), t.columns.end(), [&](const ColumnSpec& k) { return k.unit == u.word; }))
            << u.word;
      }
    }
  }
}

}  // namespace
}  // namespace meridox::host
