#pragma once
// Files as the host reads and writes them: whole, bounded, and replaced in
// one step, so that a reader never sees half a file and a link or a special
// file at the path is replaced, never written through.
#include <cstddef>
#include <filesystem>
#include <string>

namespace meridox::host {

// Reads a whole file ("-" is the standard input) of at most `limit` bytes.
// Returns an empty string on success, otherwise why it was not read: missing,
// a folder, unreadable, or larger than the limit (a source that never ends,
// such as a device, is stopped there).
std::string read_bounded(const std::string& path, std::size_t limit, std::string& bytes);

// As read_bounded with no practical limit but memory; false on failure.
bool read_file(const std::string& path, std::string& bytes);

// Creates an empty file with a new hidden name beside `path` (".NAME.XXXXXX"),
// with the permissions a new file gets, and returns its name; "" on failure.
// Written and renamed over `path`, it replaces whatever was there (a link
// too) in one step.
std::string temporary_beside(const std::string& path);

// The largest sheet the host reads: every calculator's grid is far smaller
// (1,002 rows of 10 cells of 100 bytes at most), and the host refuses more.
inline constexpr std::size_t sheet_byte_limit = std::size_t{16} << 20;
// The largest result table the host reads back: a million-row stage table
// takes some 45 MB.
inline constexpr std::size_t table_byte_limit = std::size_t{256} << 20;

// "16 MiB", for messages.
std::string byte_size_text(std::size_t bytes);

// Writes a file whole by a temporary beside it and a rename: the one way the
// host writes a file for a user (tables' sheets, study tables, records,
// pictures' companions). Returns why not, or "".
std::string replace_file(const std::filesystem::path& path, const std::string& bytes);

// Writes a file into a folder this process has just made and owns (a case
// folder): straight over what is there in one open, never through a link.
std::string write_own_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace meridox::host
