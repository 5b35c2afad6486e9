// A library built the wrong way on purpose: two exports, and the C++ runtime
// linked as a DLL. The export check must reject it on both counts; the
// Windows check runs it against this library to prove that it can fail.
#include <string>

extern "C" __declspec(dllexport) int leaky_entry(const char* text) {
  return static_cast<int>(std::string(text).size());
}

extern "C" __declspec(dllexport) int leaky_second_entry() { return 2; }
