#include "host/core/library.hpp"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string_view>
#include <utility>

#include "host/core/files.hpp"

namespace fs = std::filesystem;

namespace meridox::host {

Entry load_entry(const Calculator& calc, const std::optional<std::string>& lib_dir, std::string& why) {
  const std::string library = library_path(calc, lib_dir);
  std::error_code ec;
  if (!fs::is_regular_file(library, ec)) {
    why = "the library " + library + " is missing (build it first, or give --lib-dir)";
    return nullptr;
  }
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    why = "cannot load " + library + ": " + dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<Entry>(dlsym(handle, calc.entry));
  if (entry == nullptr) why = library + " has no entry " + calc.entry;
  return entry;
}

std::string library_path(const Calculator& calc, const std::optional<std::string>& lib_dir) {
  return (fs::path(library_folder(lib_dir)) / library_file_name(calc)).string();
}

std::string library_folder(const std::optional<std::string>& chosen) {
  if (chosen) return *chosen;
  if (const char* env = std::getenv("MERIDOX_LIB_DIR"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "lib";
  return (exe.parent_path().parent_path() / "lib").string();
}

std::string library_build(const std::string& path, LibraryBuild& build) {
  std::string bytes;
  if (std::string why = read_bounded(path, std::string().max_size(), bytes); !why.empty()) return why;
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(std::hash<std::string_view>{}(bytes)));
  build = {path, bytes.size(), hash};
  return {};
}

namespace {

// The writable ranges of the loaded object that holds an address.
struct WritableRanges {
  std::uintptr_t address;
  bool found = false;
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> ranges;
};

int find_writable(dl_phdr_info* info, std::size_t, void* data) {
  auto& wanted = *static_cast<WritableRanges*>(data);
  bool holds = false;
  std::uintptr_t relro_start = 0, relro_end = 0;
  for (int k = 0; k < info->dlpi_phnum; ++k) {
    const ElfW(Phdr)& h = info->dlpi_phdr[k];
    const std::uintptr_t start = info->dlpi_addr + h.p_vaddr;
    if (h.p_type == PT_LOAD && wanted.address >= start && wanted.address < start + h.p_memsz) holds = true;
    if (h.p_type == PT_GNU_RELRO) relro_start = start, relro_end = start + h.p_memsz;
  }
  if (!holds) return 0;
  wanted.found = true;
  for (int k = 0; k < info->dlpi_phnum; ++k) {
    const ElfW(Phdr)& h = info->dlpi_phdr[k];
    if (h.p_type != PT_LOAD || (h.p_flags & PF_W) == 0) continue;
    // What relocation wrote and the linker then made read-only never
    // changes: the segment without it.
    const std::uintptr_t start = info->dlpi_addr + h.p_vaddr, end = start + h.p_memsz;
    const std::uintptr_t before = std::min(end, std::max(start, relro_start));
    const std::uintptr_t after = std::max(start, std::min(end, relro_end));
    if (relro_end <= start || relro_start >= end) {
      wanted.ranges.emplace_back(start, end);
      continue;
    }
    if (start < before) wanted.ranges.emplace_back(start, before);
    if (after < end) wanted.ranges.emplace_back(after, end);
  }
  return 1;
}

// Copies bytes of a library's globals. A sanitizer build lays guard zones
// between a library's globals, which this copies too: it is neither checked
// nor handed to a checked copy.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void copy_globals(char* to, const char* from, std::size_t bytes) {
  volatile char* out = to;
  for (std::size_t k = 0; k < bytes; ++k) out[k] = from[k];
}

}  // namespace

std::optional<LoadedState> LoadedState::of(Entry entry, std::string& why) {
  WritableRanges wanted{reinterpret_cast<std::uintptr_t>(entry), false, {}};
  dl_iterate_phdr(find_writable, &wanted);
  if (!wanted.found) {
    why = "no loaded library holds the entry";
    return std::nullopt;
  }
  LoadedState state;
  for (const auto& [start, end] : wanted.ranges) {
    char* at = reinterpret_cast<char*>(start);
    std::vector<char> bytes(end - start);
    copy_globals(bytes.data(), at, bytes.size());
    state.spans_.push_back({at, std::move(bytes)});
  }
  return state;
}

void LoadedState::restore() const {
  for (const Span& s : spans_) copy_globals(s.at, s.bytes.data(), s.bytes.size());
}

std::size_t LoadedState::bytes() const {
  std::size_t n = 0;
  for (const Span& s : spans_) n += s.bytes.size();
  return n;
}

std::string build_text(const LibraryBuild& build) {
  if (build.path.empty()) return {};
  return std::to_string(build.bytes) + " bytes, hash " + build.hash;
}

}  // namespace meridox::host
