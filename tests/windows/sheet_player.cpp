// Plays the spreadsheet's part for one calculator library: loads it once,
// then for each (sheet, result folder) pair writes the sheet as IN_FM.txt
// into the exchange folder, calls the entry, waits for it to return and
// copies the result tables it wrote into the result folder. The library
// stays loaded between calls, as it does in the spreadsheet, so state that a
// calculator keeps between calls shows in the tables of later calls.
//
// The same source builds for Windows (LoadLibrary, GetProcAddress, the fixed
// exchange folder C:\MERIDOXWORK\) and for Linux (dlopen, dlsym, the exchange
// folder given with --exchange), so that both platforms run the same
// sequence of calls.
//
// Usage:
//   sheet-player [--time] [--exchange FOLDER] LIBRARY ENTRY SHEET RESULTS [SHEET RESULTS ...]
//   sheet-player --crash
// --time prints the wall-clock time of each entry call ("entry SECONDS"),
// the call alone, without the copying of sheets and tables.
// A SHEET of "-" calls the entry with no IN_FM.txt in the exchange folder.
// --crash faults on purpose, to prove that a crash ends the process with
// crash_exit_code rather than a quiet 0.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#endif

namespace {

// Exit codes. A crash inside a calculator must never look like success.
constexpr int usage_exit_code = 2;
constexpr int load_exit_code = 3;
constexpr int environment_exit_code = 4;
constexpr int file_exit_code = 5;
constexpr int crash_exit_code = 201;

const char* const table_names[] = {"OUT_M.txt", "OUT_MR.txt", "OUT_MI.txt"};

using Entry = void (*)();

#if defined(_WIN32)
constexpr char separator = '\\';

LONG WINAPI terminate_on_crash(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info != nullptr ? info->ExceptionRecord : nullptr;
  std::fprintf(stderr, "sheet-player: unhandled exception 0x%08lX at %p; terminating with %d\n",
               record != nullptr ? static_cast<unsigned long>(record->ExceptionCode) : 0UL,
               record != nullptr ? record->ExceptionAddress : nullptr, crash_exit_code);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), crash_exit_code);
  return EXCEPTION_EXECUTE_HANDLER;
}

void guard_against_crashes() {
  // No error boxes, no debugger: a fault ends the process with our code.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(terminate_on_crash);
}

Entry load_entry(const std::string& library, const std::string& entry) {
  HMODULE module = LoadLibraryA(library.c_str());
  if (module == nullptr) {
    std::fprintf(stderr, "sheet-player: LoadLibrary(%s) failed, error %lu\n", library.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  FARPROC address = GetProcAddress(module, entry.c_str());
  if (address == nullptr) {
    std::fprintf(stderr, "sheet-player: GetProcAddress(%s) failed, error %lu\n", entry.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    return nullptr;
  }
  return reinterpret_cast<Entry>(reinterpret_cast<void*>(address));
}

bool make_one_folder(const std::string& folder) {
  return CreateDirectoryA(folder.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The spreadsheet's folder is fixed; an override in the environment would
// let the libraries write elsewhere and the check prove nothing.
bool fixed_exchange_folder(std::string& folder) {
  char value[2];
  if (GetEnvironmentVariableA("MERIDOXWORK", value, sizeof value) != 0 ||
      std::getenv("MERIDOXWORK") != nullptr) {
    std::fprintf(stderr, "sheet-player: MERIDOXWORK is set; the libraries must use C:\\MERIDOXWORK\\\n");
    return false;
  }
  folder = "C:\\MERIDOXWORK";
  return true;
}
#else
constexpr char separator = '/';

void guard_against_crashes() {}

Entry load_entry(const std::string& library, const std::string& entry) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "sheet-player: dlopen: %s\n", dlerror());
    return nullptr;
  }
  void* address = dlsym(handle, entry.c_str());
  if (address == nullptr) {
    std::fprintf(stderr, "sheet-player: dlsym(%s): %s\n", entry.c_str(), dlerror());
    return nullptr;
  }
  return reinterpret_cast<Entry>(address);
}

bool make_one_folder(const std::string& folder) {
  return mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST;
}
#endif

// Creates a folder and the folders above it that are missing.
bool make_folder(const std::string& folder) {
  for (std::size_t at = 1; at < folder.size(); ++at) {
    if ((folder[at] == '/' || folder[at] == separator) && folder[at - 1] != ':') {
      make_one_folder(folder.substr(0, at));
    }
  }
  return make_one_folder(folder);
}

bool read_file(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes.clear();
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool write_file(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool exists(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// One call as the spreadsheet makes it: the complete sheet first, then the
// call, then the tables, read only after the call has returned. Tables left
// from an earlier call are removed first, so that a table the call did not
// write cannot pass for one it did.
bool play(Entry entry, const std::string& exchange, const std::string& sheet,
          const std::string& results, bool timed) {
  const std::string in_fm = exchange + separator + "IN_FM.txt";
  std::remove(in_fm.c_str());
  for (const char* name : table_names) std::remove((exchange + separator + name).c_str());
  for (const char* name : table_names) {
    if (exists(exchange + separator + name)) {
      std::fprintf(stderr, "sheet-player: cannot remove the old %s\n", name);
      return false;
    }
  }
  if (sheet != "-") {
    std::string bytes;
    if (!read_file(sheet, bytes)) {
      std::fprintf(stderr, "sheet-player: cannot read %s\n", sheet.c_str());
      return false;
    }
    if (!write_file(in_fm, bytes)) {
      std::fprintf(stderr, "sheet-player: cannot write %s\n", in_fm.c_str());
      return false;
    }
  }

  const auto start = std::chrono::steady_clock::now();
  entry();
  if (timed) {
    std::printf("entry %.6f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }

  if (!make_folder(results)) {
    std::fprintf(stderr, "sheet-player: cannot create %s\n", results.c_str());
    return false;
  }
  for (const char* name : table_names) {
    std::string bytes;
    if (!read_file(exchange + separator + name, bytes)) continue;  // not written by this call
    if (!write_file(results + separator + name, bytes)) {
      std::fprintf(stderr, "sheet-player: cannot copy %s to %s\n", name, results.c_str());
      return false;
    }
  }
  return true;
}

[[noreturn]] void crash_on_purpose() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  std::abort();
}

int usage() {
  std::fprintf(stderr,
               "usage: sheet-player [--time] [--exchange FOLDER] LIBRARY ENTRY SHEET RESULTS [SHEET RESULTS ...]\n"
               "       sheet-player --crash\n");
  return usage_exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  guard_against_crashes();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--crash") crash_on_purpose();
  const bool timed = !args.empty() && args[0] == "--time";
  if (timed) args.erase(args.begin());

  std::string exchange;
#if defined(_WIN32)
  if (!args.empty() && args[0] == "--exchange") {
    std::fprintf(stderr, "sheet-player: on Windows the exchange folder is fixed\n");
    return usage();
  }
  if (!fixed_exchange_folder(exchange)) return environment_exit_code;
#else
  if (args.size() < 2 || args[0] != "--exchange") return usage();
  exchange = args[1];
  args.erase(args.begin(), args.begin() + 2);
  if (setenv("MERIDOXWORK", exchange.c_str(), 1) != 0) return environment_exit_code;
#endif
  if (args.size() < 4 || args.size() % 2 != 0) return usage();
  if (!make_folder(exchange)) {
    std::fprintf(stderr, "sheet-player: cannot create %s\n", exchange.c_str());
    return file_exit_code;
  }

  const Entry entry = load_entry(args[0], args[1]);
  if (entry == nullptr) return load_exit_code;
  for (std::size_t i = 2; i < args.size(); i += 2) {
    if (!play(entry, exchange, args[i], args[i + 1], timed)) return file_exit_code;
  }
  return 0;
}
