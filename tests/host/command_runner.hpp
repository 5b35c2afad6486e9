#pragma once
// Runs the meridox command as a user does, in a folder of the test's own,
// and collects its exit status and both outputs.
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace meridox::testing {

struct CommandResult {
  int status;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string quoted(const std::string& s) { return "'" + s + "'"; }

// `executable args` run in `dir` by the shell; standard input is /dev/null
// unless the arguments redirect it.
inline CommandResult run_command(const std::filesystem::path& dir, const std::string& executable,
                                 const std::string& args) {
  const std::filesystem::path out = dir / ".stdout", err = dir / ".stderr";
  const std::string command = "cd " + quoted(dir.string()) + " && " + quoted(executable) + " " + args + " >" +
                              quoted(out.string()) + " 2>" + quoted(err.string()) +
                              (args.find('<') == std::string::npos ? " </dev/null" : "");
  const int raw = std::system(command.c_str());
  CommandResult r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return r;
}

}  // namespace meridox::testing
