#pragma once
// Result tables: text files of TAB-separated numbers, written with CR LF line
// ends on every platform so that a run writes the same bytes everywhere.
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace meridox {

// The line buffer of the result tables holds 255 characters and a NUL.
inline constexpr std::size_t line_buffer_bytes = 256;

// Formats one record: each value as "%f", followed by a TAB, except the last,
// which is followed by `last_separator` ('\t' or '\n'). When that text would
// not fit the line buffer, every value of the record is written as "%.6e"
// instead, with the same separators, so that nothing is cut or overflows.
// Appends to `out` and returns the number of characters appended.
std::size_t format_record(std::string& out, std::span<const double> values, char last_separator);

// Writes a table so that its name never shows a partial one: the text goes
// to a temporary file in the same folder, which replaces the name in one step
// once it is complete and every write and the close succeeded. When a write
// fails, the temporary file is removed and no table is left under the name.
class TableWriter {
 public:
  // Creates the temporary file. A name taken by a directory, FIFO, device,
  // socket or read-only file is left alone and the table is skipped: every
  // write then does nothing and is_open() is false. A link at the name is
  // replaced by the table, never followed.
  explicit TableWriter(const std::string& path);
  ~TableWriter();
  TableWriter(const TableWriter&) = delete;
  TableWriter& operator=(const TableWriter&) = delete;

  bool is_open() const { return file_ != nullptr; }

  // Writes text byte for byte (a header in its stored encoding); each LF is
  // written as CR LF.
  void text(std::string_view bytes);
  // One line formatted in one piece: "%f\t%f\t...%f\n".
  void line(std::initializer_list<double> values) { record(values, '\n'); }
  void line(std::span<const double> values) { record(values, '\n'); }
  // One field formatted on its own: "%f\t".
  void field(double value) {
    const double values[1] = {value};
    record(values, '\t');
  }
  void end_line() { text("\n"); }

  // Writes what is pending, closes the file and puts the table under its
  // name (or removes it after a write error); called by the destructor too.
  void close();

 private:
  void record(std::span<const double> values, char last_separator);
  void flush_if_full();
  void write_pending();

  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;  // a write failed: the table is not put in place
  std::string pending_;  // text formatted with LF line ends
  std::string crlf_;     // the same text converted for the file
};

// The names of the temporary files of the table at `path` start with this.
// They do not look like a table, and a killed run may leave one behind.
std::string temporary_prefix(const std::string& path);

// Removes what earlier runs left of the table `name` in `folder`: the table
// and the temporary files of runs that were killed while writing it. Only
// regular files and links are removed (never what a link points to); a
// read-only table and every other kind of entry stay.
void remove_table(const std::string& folder, const char* name);

}  // namespace meridox
