#include "common/table.hpp"

#include "common/fixed_text.hpp"
#include "common/numbers.hpp"

namespace meridox {
namespace {

constexpr std::size_t flush_threshold = 1 << 16;

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

TableWriter::TableWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
  pending_.reserve(flush_threshold + 4096);
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
  crlf_.clear();
  for (const char c : pending_) {
    if (c == '\n') crlf_.push_back('\r');
    crlf_.push_back(c);
  }
  std::fwrite(crlf_.data(), 1, crlf_.size(), file_);
  pending_.clear();
}

void TableWriter::flush_if_full() {
  if (pending_.size() >= flush_threshold) write_pending();
}

void TableWriter::close() {
  if (file_ == nullptr) return;
  write_pending();
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace meridox
