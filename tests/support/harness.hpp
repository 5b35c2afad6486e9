#pragma once
// Test harness: loads the built calculators the way the spreadsheet host
// does, gives each test its own exchange folder, writes sheets and reads the
// result tables back.
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/deliverable_info.hpp"

namespace meridox::testing {

// Every deliverable of the suite, from the one list the build keeps.
std::span<const DeliverableInfo> deliverables();
const DeliverableInfo& deliverable(std::string_view name);

// Loads (once per process, and keeps loaded, as the host does) the library of
// a deliverable and calls its entry. Globals that persist between calls of
// an entry therefore persist between calls made through this function.
void call_entry(std::string_view deliverable_name);

// Loads a library by path; unloads it on destruction.
class Library {
 public:
  explicit Library(const std::string& path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool loaded() const { return handle_ != nullptr; }
  using Entry = void (*)();
  Entry entry(const char* symbol) const;

 private:
  void* handle_ = nullptr;
};

// A fresh temporary exchange folder; MERIDOXWORK points at it for the
// object's lifetime (the previous value is restored afterwards).
class ExchangeFolder {
 public:
  ExchangeFolder();
  ~ExchangeFolder();
  ExchangeFolder(const ExchangeFolder&) = delete;
  ExchangeFolder& operator=(const ExchangeFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void write_sheet(std::string_view bytes) const;
  void write_file(const char* name, std::string_view bytes) const;
  // The raw bytes of a file, or std::nullopt-like empty with exists() false.
  std::string read(const char* name) const;
  bool exists(const char* name) const;

 private:
  std::filesystem::path path_;
  std::string previous_;
  bool had_previous_ = false;
};

// Builds a sheet cell by cell; rows end with CR LF, as a Windows host writes.
class SheetBuilder {
 public:
  SheetBuilder& set(int column, int row, std::string_view text);
  SheetBuilder& set(int column, int row, double value);
  SheetBuilder& set(int column, int row, int value);
  std::string str(std::string_view line_end = "\r\n") const;

 private:
  std::vector<std::vector<std::string>> cells_;  // [row][column]
};

// Splits a table's bytes into lines at CR LF and lines into fields at TAB.
// Returns the lines without their line ends; a final empty line after the
// last CR LF is not included. Fails the current test on a bare LF or CR.
std::vector<std::vector<std::string>> split_table(std::string_view bytes);

// The code page 932 (Shift-JIS) bytes of a UTF-8 text, converted at test time.
std::string shift_jis(std::string_view utf8);

// "%f" through the C library, for comparing with the tables in tests.
std::string printf_fixed(double value);

}  // namespace meridox::testing
