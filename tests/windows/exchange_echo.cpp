// A stand-in calculator with a known answer, for testing the sheet player
// itself: each call writes OUT_M.txt holding the number of calls made since
// the library was loaded and then the sheet it found (or "no sheet"), so
// that a test can tell which call wrote which table and that the library
// stayed loaded between calls. A sheet that starts with "fault" makes it
// write through a null pointer, as a faulty calculator might. It uses the
// kit's exchange folder, so on Windows it reads and writes the folder
// C:\MERIDOXWORK\ as the calculators do.
#include <cstdio>
#include <string>

#include "common/exchange.hpp"
#include "common/export.hpp"

namespace {

int calls = 0;

}  // namespace

MERIDOX_ENTRY void echo_call() {
  ++calls;
  std::string text = "call " + std::to_string(calls) + "\n";
  if (std::FILE* in = std::fopen(meridox::exchange_file("IN_FM.txt").c_str(), "rb")) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
    std::fclose(in);
    if (text.compare(text.find('\n') + 1, 5, "fault") == 0) {
      volatile int* nowhere = nullptr;
      *nowhere = calls;
    }
  } else {
    text += "no sheet";
  }
  if (std::FILE* out = std::fopen(meridox::exchange_file("OUT_M.txt").c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
  }
}
