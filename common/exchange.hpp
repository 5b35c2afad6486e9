#pragma once
// The exchange folder, where the host puts the parameter sheet and reads the
// result tables back. It is looked up once at the start of every call, never
// cached between calls, so a host may point a loaded calculator at another
// folder between calls, while every file of one call lies in one folder.
#include <initializer_list>
#include <string>

namespace meridox {

// The files of the exchange folder.
inline constexpr char sheet_name[] = "IN_FM.txt";
inline constexpr char result_table[] = "OUT_M.txt";
inline constexpr char amplitude_table[] = "OUT_MR.txt";  // projection only
inline constexpr char phase_table[] = "OUT_MI.txt";      // projection only

// The folder with a trailing separator: the environment variable MERIDOXWORK
// when it is set and not empty, otherwise C:\MERIDOXWORK\ on Windows and
// $HOME/MERIDOXWORK/ elsewhere.
std::string exchange_folder();

// A file in the exchange folder.
std::string exchange_file(const char* name);

// Starts a run: resolves the exchange folder once, for every file of the
// run, and removes the calculator's own tables that earlier runs left there
// (with the temporary files of runs killed while writing them), so that a
// run that dies never leaves tables of two runs side by side. The tables go
// in the order given: the main table first, so that a run killed in between
// leaves no main table beside part of its earlier set. Returns the folder.
std::string start_run(std::initializer_list<const char*> tables);

}  // namespace meridox
