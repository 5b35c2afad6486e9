#include "common/exchange.hpp"

#include <cstdlib>

#include "common/table.hpp"

namespace meridox {
namespace {

#if defined(_WIN32)
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

bool ends_with_separator(const std::string& folder) {
  if (folder.empty()) return false;
  const char last = folder.back();
  return last == '/' || last == separator;
}

}  // namespace

std::string exchange_folder() {
  std::string folder;
  if (const char* chosen = std::getenv("MERIDOXWORK"); chosen != nullptr && *chosen != '\0') {
    folder = chosen;
  } else {
#if defined(_WIN32)
    folder = "C:\\MERIDOXWORK\\";
#else
    const char* home = std::getenv("HOME");
    folder = (home != nullptr && *home != '\0') ? std::string(home) : std::string(".");
    if (!ends_with_separator(folder)) folder += separator;
    folder += "MERIDOXWORK";
#endif
  }
  if (!ends_with_separator(folder)) folder += separator;
  return folder;
}

std::string exchange_file(const char* name) { return exchange_folder() + name; }

std::string start_run(std::initializer_list<const char*> tables) {
  std::string folder = exchange_folder();
  for (const char* name : tables) remove_table(folder, name);
  return folder;
}

}  // namespace meridox
