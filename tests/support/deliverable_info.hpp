#pragma once

#include <ostream>

namespace meridox::testing {

struct DeliverableInfo {
  const char* name;     // library name, e.g. "orvalis"
  const char* entry;    // exported entry, e.g. "main4"
  const char* library;  // path of the built shared library
};

inline void PrintTo(const DeliverableInfo& info, std::ostream* os) { *os << info.name; }

}  // namespace meridox::testing
