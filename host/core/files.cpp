#include "host/core/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace meridox::host {

std::string read_bounded(const std::string& path, std::size_t limit, std::string& bytes) {
  bytes.clear();
  std::FILE* file = stdin;
  if (path != "-") {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return "it does not exist";
    if (std::filesystem::is_directory(status)) return "it is a folder";
    if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) > limit && !ec) {
      return "it is larger than " + byte_size_text(limit);
    }
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return std::strerror(errno);
  }
  // Read in pieces up to one byte past the limit: a source that never ends
  // (a device, an endless pipe) is stopped there instead of filling memory.
  std::string problem;
  std::vector<char> piece(std::size_t{1} << 16);
  while (true) {
    const std::size_t got = std::fread(piece.data(), 1, piece.size(), file);
    bytes.append(piece.data(), got);
    if (bytes.size() > limit) {
      problem = "it is larger than " + byte_size_text(limit) + " or does not end";
      break;
    }
    if (got < piece.size()) {
      if (std::ferror(file)) problem = std::strerror(errno);
      break;
    }
  }
  if (file != stdin) std::fclose(file);
  if (!problem.empty()) bytes.clear();
  return problem;
}

std::string temporary_beside(const std::string& path) {
  const std::filesystem::path target(path);
  std::string name = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(name.data());
  if (fd < 0) return {};
  // mkstemp makes the file private; give it the mode a new file would get.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  return name;
}

bool read_file(const std::string& path, std::string& bytes) {
  return read_bounded(path, std::string().max_size(), bytes).empty();
}

std::string byte_size_text(std::size_t bytes) {
  if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Writes a file by a temporary beside it and a rename, so that a link or
// anything else at the path is replaced, never written through.
std::string replace_file(const std::filesystem::path& path, const std::string& bytes) {
  const std::string partial = temporary_beside(path.string());
  if (partial.empty()) return std::strerror(errno);
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out || std::rename(partial.c_str(), path.c_str()) != 0) {
    const std::string reason = out ? std::strerror(errno) : "cannot write it";
    unlink(partial.c_str());
    return reason;
  }
  return {};
}

// Writes a file in a case folder the study made itself: straight over what
// is there (one open), never through a link.
std::string write_own_file(const std::filesystem::path& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = std::strerror(errno);
      close(fd);
      return why;
    }
    done += static_cast<std::size_t>(n);
  }
  return close(fd) == 0 ? std::string() : std::strerror(errno);
}

}  // namespace meridox::host
