#include "common/table.hpp"

#include "common/files.hpp"
#include "common/fixed_text.hpp"
#include "common/numbers.hpp"

namespace meridox {
namespace {

constexpr std::size_t flush_threshold = 1 << 16;
constexpr int max_attempts = 16;

}  // namespace

std::size_t format_record(std::string& out, std::span<const double> values, char last_separator) {
  const std::size_t start = out.size();
  char number[max_fixed_chars];
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t length = fixed_text(number, values[i]);
    out.append(number, length);
    out.push_back(i + 1 < values.size() ? '\t' : last_separator);
    if (out.size() - start > line_buffer_bytes - 1) break;
  }
  if (out.size() - start <= line_buffer_bytes - 1) return out.size() - start;

  // Too long for the line buffer: the whole record in exponent notation.
  out.resize(start);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t length = format_exponent(number, values[i]);
    out.append(number, length);
    out.push_back(i + 1 < values.size() ? '\t' : last_separator);
  }
  return out.size() - start;
}

std::string temporary_prefix(const std::string& path) { return path + ".partial-"; }

void remove_table(const std::string& folder, const char* name) {
  files::remove_file_or_link(folder + name);
  const std::string prefix = temporary_prefix(name);
  for (const std::string& entry : files::names_in(folder)) {
    if (entry.starts_with(prefix)) files::remove_file_or_link(folder + entry);
  }
}

TableWriter::TableWriter(const std::string& path) : path_(path) {
  const files::Entry entry = files::entry_at(path_);
  if (entry != files::Entry::missing && entry != files::Entry::regular && entry != files::Entry::link) {
    return;
  }
  // A name of its own for this process; another library of the same process
  // writing the same table at the same moment takes the next number.
  const std::string prefix = temporary_prefix(path_) + std::to_string(files::process_id()) + "-";
  for (int attempt = 0; attempt < max_attempts && file_ == nullptr; ++attempt) {
    temporary_ = prefix + std::to_string(attempt);
    file_ = files::create_new(temporary_);
  }
  if (file_ != nullptr) pending_.reserve(flush_threshold + 4096);
}

TableWriter::~TableWriter() { close(); }

void TableWriter::text(std::string_view bytes) {
  if (file_ == nullptr) return;
  pending_.append(bytes);
  flush_if_full();
}

void TableWriter::record(std::span<const double> values, char last_separator) {
  if (file_ == nullptr) return;
  format_record(pending_, values, last_separator);
  flush_if_full();
}

void TableWriter::write_pending() {
  if (!failed_) {
    // Each LF becomes CR LF; the text between line ends is copied whole.
    crlf_.clear();
    const std::string_view text = pending_;
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
      crlf_.append(text, start, lf - start);
      crlf_.append("\r\n", 2);
      start = lf + 1;
    }
    crlf_.append(text, start, text.size() - start);
    failed_ = std::fwrite(crlf_.data(), 1, crlf_.size(), file_) != crlf_.size();
  }
  pending_.clear();
}

void TableWriter::flush_if_full() {
  if (pending_.size() >= flush_threshold) write_pending();
}

void TableWriter::close() {
  if (file_ == nullptr) return;
  write_pending();
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (closed && !failed_ && files::replace(temporary_, path_)) return;
  // An incomplete table must not be taken for a result.
  files::remove_file_or_link(temporary_);
  files::remove_file_or_link(path_);
}

}  // namespace meridox
