#pragma once
// The exchange folder, where the host puts the parameter sheet and reads the
// result tables back. It is looked up at every call, never cached, so a host
// may point a loaded calculator at another folder between calls.
#include <string>

namespace meridox {

// The folder with a trailing separator: the environment variable MERIDOXWORK
// when it is set and not empty, otherwise C:\MERIDOXWORK\ on Windows and
// $HOME/MERIDOXWORK/ elsewhere.
std::string exchange_folder();

// A file in the exchange folder.
std::string exchange_file(const char* name);

}  // namespace meridox
