// Fuzzes one calculator's entry with a fuzzed parameter sheet, as the host
// calls it: the sheet is written to the exchange folder, the entry runs, and
// every table it writes must be well-formed. The calculator is built into
// this program from its own entry source and core library, so the sanitizers
// and the coverage feedback see all of its code. The deliverable and its
// entry are chosen at build time (MERIDOX_FUZZ_DELIVERABLE, MERIDOX_FUZZ_ENTRY).
//
// Counts that ask for work (steps, divisions, grid and rectangle counts) are
// capped in the fuzzed bytes before the call, so that each input runs in
// milliseconds; the calculators themselves limit nothing for the fuzzer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz/sheet_profiles.hpp"

extern "C" void MERIDOX_FUZZ_ENTRY();

namespace {

namespace fs = std::filesystem;

fs::path folder;
const meridox::fuzzing::SheetProfile* profile = nullptr;

void write(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", MERIDOX_FUZZ_DELIVERABLE, what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "meridox-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("cannot create an exchange folder");
  folder = pattern;
  setenv("MERIDOXWORK", folder.c_str(), 1);
  profile = meridox::fuzzing::find_profile(MERIDOX_FUZZ_DELIVERABLE);
  if (profile == nullptr) {
    std::fprintf(stderr, "%s: no sheet profile; counts are not capped\n", MERIDOX_FUZZ_DELIVERABLE);
  }
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view fuzzed(reinterpret_cast<const char*>(data), size);
  std::string sheet(fuzzed);
  if (profile != nullptr) {
    auto bounded = meridox::fuzzing::bound_work(fuzzed, *profile);
    if (!bounded) return -1;  // not worth running: keep it out of the corpus
    sheet = std::move(*bounded);
  }
  write(folder / "IN_FM.txt", sheet);
  // A stale table must never survive a run: the host would read it as new.
  write(folder / "OUT_M.txt", "stale");
  MERIDOX_FUZZ_ENTRY();

  const std::string main_table = read(folder / "OUT_M.txt");
  if (main_table == "stale") fail("OUT_M.txt was not replaced");
  const int header_lines = profile != nullptr ? profile->header_lines : 1;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name == "IN_FM.txt") continue;
    const std::string fault = meridox::fuzzing::table_fault(read(entry.path()), header_lines);
    if (!fault.empty()) fail(name + ": " + fault);
  }
  return 0;
}
