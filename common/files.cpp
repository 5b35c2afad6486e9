#include "common/files.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace meridox::files {

#if defined(_WIN32)

Entry entry_at(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return Entry::missing;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Entry::other;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Entry::link;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return Entry::read_only;
  return Entry::regular;
}

std::FILE* open_regular(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

std::FILE* create_new(const std::string& path) {
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
  return file;
}

bool replace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void remove_file_or_link(const std::string& path) {
  const Entry entry = entry_at(path);
  if (entry == Entry::regular || entry == Entry::link) DeleteFileA(path.c_str());
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found) != 0);
  FindClose(search);
  return names;
}

unsigned long process_id() { return GetCurrentProcessId(); }

#else

Entry entry_at(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return Entry::missing;
  if (S_ISLNK(status.st_mode)) return Entry::link;
  if (!S_ISREG(status.st_mode)) return Entry::other;
  if (access(path.c_str(), W_OK) != 0) return Entry::read_only;
  return Entry::regular;
}

std::FILE* open_regular(const std::string& path) {
  // The name is looked at before it is opened, so that no device is ever
  // opened; O_NONBLOCK keeps the open from waiting for a FIFO's writer should
  // the name change in between, and the descriptor is checked once more.
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

std::FILE* create_new(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

bool replace(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void remove_file_or_link(const std::string& path) {
  const Entry entry = entry_at(path);
  if (entry == Entry::regular || entry == Entry::link) unlink(path.c_str());
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* found = readdir(dir)) {
    const std::string name = found->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

#endif

}  // namespace meridox::files
