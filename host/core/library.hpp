#pragma once
// Loading a calculator's library as the spreadsheet does: the folder that
// holds the libraries, the library file of a calculator and its entry.
#include <cstdint>
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

// A build of a library: its path, size and a hash of its bytes (the
// standard library's 64-bit hash, in hexadecimal). Results recorded with one
// build are not taken for another's, whatever its time stamp; the same
// bytes, wherever they are loaded from (--lib-dir, MERIDOX_LIB_DIR, a
// worker's folder), are the same build.
struct LibraryBuild {
  std::string path;
  std::uintmax_t bytes = 0;
  std::string hash;
};
// The build of the library at `path`; why it cannot be read, or "".
std::string library_build(const std::string& path, LibraryBuild& build);
// "N bytes, hash H", what decides results; "" for no library.
std::string build_text(const LibraryBuild& build);

// The entry loaded from the calculator's library; nullptr, with `why`, when
// the library is missing or has no such entry.
Entry load_entry(const Calculator& calc, const std::optional<std::string>& lib_dir, std::string& why);

}  // namespace meridox::host
