#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "meridox_deliverables.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <iconv.h>
#include <unistd.h>
#endif

namespace meridox::testing {

std::span<const DeliverableInfo> deliverables() { return built_deliverables; }

const DeliverableInfo& deliverable(std::string_view name) {
  for (const auto& d : built_deliverables) {
    if (name == d.name) return d;
  }
  throw std::invalid_argument("unknown deliverable " + std::string(name));
}

Library::Library(const std::string& path) {
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

Library::~Library() {
  if (handle_ == nullptr) return;
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

Library::Entry Library::entry(const char* symbol) const {
  if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
  return reinterpret_cast<Entry>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), symbol));
#else
  return reinterpret_cast<Entry>(dlsym(handle_, symbol));
#endif
}

void call_entry(std::string_view deliverable_name) {
  static std::map<std::string, std::unique_ptr<Library>, std::less<>> loaded;
  const DeliverableInfo& info = deliverable(deliverable_name);
  auto it = loaded.find(deliverable_name);
  if (it == loaded.end()) {
    it = loaded.emplace(std::string(deliverable_name), std::make_unique<Library>(info.library)).first;
  }
  const Library::Entry entry = it->second->entry(info.entry);
  ASSERT_NE(entry, nullptr) << "cannot load " << info.library << " or find " << info.entry;
  entry();
}

namespace {

void set_env(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

void unset_env(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

}  // namespace

ExchangeFolder::ExchangeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "meridox-test-XXXXXX").string();
#if defined(_WIN32)
  path_ = std::filesystem::temp_directory_path() / ("meridox-test-" + std::to_string(GetTickCount64()));
  std::filesystem::create_directories(path_);
#else
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
  if (const char* previous = std::getenv("MERIDOXWORK")) {
    previous_ = previous;
    had_previous_ = true;
  }
  set_env("MERIDOXWORK", path_.string());
}

ExchangeFolder::~ExchangeFolder() {
  if (had_previous_) {
    set_env("MERIDOXWORK", previous_);
  } else {
    unset_env("MERIDOXWORK");
  }
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ExchangeFolder::write_sheet(std::string_view bytes) const { write_file("IN_FM.txt", bytes); }

void ExchangeFolder::write_file(const char* name, std::string_view bytes) const {
  std::ofstream out(path_ / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ExchangeFolder::read(const char* name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ExchangeFolder::exists(const char* name) const {
  return std::filesystem::is_regular_file(path_ / name);
}

SheetBuilder& SheetBuilder::set(int column, int row, std::string_view text) {
  if (cells_.size() <= static_cast<std::size_t>(row)) cells_.resize(static_cast<std::size_t>(row) + 1);
  auto& line = cells_[static_cast<std::size_t>(row)];
  if (line.size() <= static_cast<std::size_t>(column)) line.resize(static_cast<std::size_t>(column) + 1);
  line[static_cast<std::size_t>(column)] = std::string(text);
  return *this;
}

SheetBuilder& SheetBuilder::set(int column, int row, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return set(column, row, std::string_view(text));
}

SheetBuilder& SheetBuilder::set(int column, int row, int value) {
  return set(column, row, std::string_view(std::to_string(value)));
}

std::string SheetBuilder::str(std::string_view line_end) const {
  std::string out;
  for (const auto& line : cells_) {
    for (std::size_t c = 0; c < line.size(); ++c) {
      if (c > 0) out += '\t';
      out += line[c];
    }
    out += line_end;
  }
  return out;
}

std::vector<std::vector<std::string>> split_table(std::string_view bytes) {
  std::vector<std::vector<std::string>> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    const std::string_view line =
        bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string_view::npos) << "stray line end in a table line";
    std::vector<std::string> fields;
    std::size_t f = 0;
    while (true) {
      const std::size_t tab = line.find('\t', f);
      fields.emplace_back(line.substr(f, tab == std::string_view::npos ? std::string_view::npos : tab - f));
      if (tab == std::string_view::npos) break;
      f = tab + 1;
    }
    lines.push_back(std::move(fields));
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return lines;
}

std::string shift_jis(std::string_view utf8) {
#if defined(_WIN32)
  return std::string(utf8);  // tests that need it run on Linux
#else
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv has no CP932");
  std::string in(utf8);
  std::string out(in.size() * 2 + 16, '\0');
  char* src = in.data();
  std::size_t src_left = in.size();
  char* dst = out.data();
  std::size_t dst_left = out.size();
  const std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) throw std::runtime_error("text not representable in CP932");
  out.resize(out.size() - dst_left);
  return out;
#endif
}

std::string printf_fixed(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

}  // namespace meridox::testing
