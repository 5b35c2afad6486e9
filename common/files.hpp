#pragma once
// The few file calls of the operating system that the exchange needs beyond
// the C library: what a name in the folder is (a link not followed), opening
// a sheet without ever blocking, creating a new file, replacing a name in one
// step and listing a folder. One branch for POSIX systems, one for Windows.
#include <cstdio>
#include <string>
#include <vector>

namespace meridox::files {

enum class Entry {
  missing,    // nothing of that name
  regular,    // a regular file the calculator may replace
  read_only,  // a regular file its owner protected from writing
  link,       // a symbolic link, whatever it points to
  other,      // a directory, FIFO, device or socket
};

// What the name is; a link is reported as a link, never followed.
Entry entry_at(const std::string& path);

// Opens a regular file (also through a link) for reading in binary mode.
// Anything else, a FIFO, a device, a socket or a directory, gives nullptr
// without blocking and without reading from it.
std::FILE* open_regular(const std::string& path);

// Creates a file that does not exist yet and opens it for writing in binary
// mode; nullptr when the name exists or the file cannot be created. A link
// at the name is not followed.
std::FILE* create_new(const std::string& path);

// Renames `from` to `to` in one step, replacing a file or a link (the link
// itself) at `to`; false when that fails.
bool replace(const std::string& from, const std::string& to);

// Removes the name when it is a regular file (read-only ones excepted) or a
// link (never what the link points to); leaves anything else alone.
void remove_file_or_link(const std::string& path);

// The names of the entries of a folder ("." and ".." excluded); empty when
// the folder cannot be listed.
std::vector<std::string> names_in(const std::string& folder);

// The number of the running process.
unsigned long process_id();

}  // namespace meridox::files
