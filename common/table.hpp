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

class TableWriter {
 public:
  // Creates or empties the file. When it cannot be created, every write is
  // skipped and is_open() is false.
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

  // Flushes and closes the file; called by the destructor too.
  void close();

 private:
  void record(std::span<const double> values, char last_separator);
  void flush_if_full();
  void write_pending();

  std::FILE* file_ = nullptr;
  std::string pending_;  // text formatted with LF line ends
  std::string crlf_;     // the same text converted for the file
};

}  // namespace meridox
