#include "host/core/library.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string_view>

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

std::string build_text(const LibraryBuild& build) {
  if (build.path.empty()) return {};
  return std::to_string(build.bytes) + " bytes, hash " + build.hash;
}

}  // namespace meridox::host
