#pragma once
// Loading a calculator's library as the spreadsheet does: the folder that
// holds the libraries, the library file of a calculator and its entry.
#include <optional>
#include <string>

#include "host/core/calculators.hpp"

namespace meridox::host {

using Entry = void (*)();

// The folder that holds the calculators' libraries: --lib-dir, else the
// environment variable MERIDOX_LIB_DIR, else ../lib beside the executable.
std::string library_folder(const std::optional<std::string>& chosen);

// The calculator's library file in that folder.
std::string library_path(const Calculator& calc, const std::optional<std::string>& lib_dir);

// The entry loaded from the calculator's library; nullptr, with `why`, when
// the library is missing or has no such entry.
Entry load_entry(const Calculator& calc, const std::optional<std::string>& lib_dir, std::string& why);

}  // namespace meridox::host
