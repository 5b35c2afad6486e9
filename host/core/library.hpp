#pragma once
// Loading a calculator's library as the spreadsheet does: the folder that
// holds the libraries, the library file of a calculator and its entry.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The memory a loaded library writes: its initialised and zero-initialised
// globals and the part of its offset table the dynamic linker leaves
// writable. Copied while the library is as loaded (no call made yet) and put
// back before each call, it lets every call start from the library as
// freshly loaded, without a process of its own: a calculator that keeps
// state from one call to the next (a stage's control current, the plate's
// state vector) then writes what a fresh load of it writes. The calculators
// keep all their state in such globals and none on the heap.
class LoadedState {
 public:
  // The state, as it is now, of the library that holds `entry`; nothing
  // (and `why`) when no loaded library holds it.
  static std::optional<LoadedState> of(Entry entry, std::string& why);
  // Puts the copied state back.
  void restore() const;
  std::size_t bytes() const;

 private:
  struct Span {
    char* at;
    std::vector<char> bytes;
  };
  std::vector<Span> spans_;
};

}  // namespace meridox::host
