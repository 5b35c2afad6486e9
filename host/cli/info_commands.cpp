#include <cstdio>
#include <filesystem>
#include <iostream>

#include "host/cli/commands.hpp"
#include "host/core/check.hpp"
#include "host/core/files.hpp"
#include "host/core/library.hpp"
#include "host/core/report.hpp"

namespace meridox::host {

int check_command(const std::string& name, const std::string& sheet_path) {
  const Calculator* calc = calculator_or_complain(name);
  if (calc == nullptr) return bad_input;
  std::string bytes;
  if (const std::string why = read_bounded(sheet_path, sheet_byte_limit, bytes); !why.empty()) {
    std::cerr << "meridox: cannot read the sheet " << sheet_path << ": " << why << "\n";
    return bad_input;
  }
  const CheckReport report = check_sheet(*calc, bytes);
  std::cout << format_report(*calc, report);
  return report.warnings.empty() ? 0 : 1;
}

int sheet_command(const std::string& name) {
  const Calculator* calc = calculator_or_complain(name);
  if (calc == nullptr) return bad_input;
  const std::string_view sheet = example_sheet(calc->name);
  std::fwrite(sheet.data(), 1, sheet.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : bad_input;
}

int list_command(const std::optional<std::string>& lib_dir) {
  const std::string folder = library_folder(lib_dir);
  int found = 0;
  for (const Calculator& c : calculators()) {
    const std::filesystem::path lib = std::filesystem::path(folder) / library_file_name(c);
    std::error_code ec;
    std::printf("%-11s %-8s entry %-8s %s%s\n", c.alias, c.name, c.entry, lib.string().c_str(),
                std::filesystem::exists(lib, ec) ? "" : " (missing)");
    found += std::filesystem::exists(lib, ec) ? 1 : 0;
  }
  if (found == 0) {
    std::fflush(stdout);
    std::cerr << "meridox: no calculator library in " << folder << " (build them, or give --lib-dir)\n";
    return not_installed;
  }
  return 0;
}

}  // namespace meridox::host
