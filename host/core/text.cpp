#include "host/core/text.hpp"

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "common/numbers.hpp"

namespace meridox::host {
namespace {

bool is_ascii(std::string_view bytes) {
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t follow = 0;
    if (lead < 0x80) {
      follow = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      follow = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      follow = 3;
    } else {
      return false;
    }
    for (std::size_t k = 1; k <= follow; ++k) {
      if (i + k >= bytes.size()) return false;
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
    }
    i += follow + 1;
  }
  return true;
}

// Code page 932 to UTF-8; false when the bytes are not valid in it.
bool decode_cp932(std::string_view bytes, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(bytes);
  std::string output(bytes.size() * 4 + 8, '\0');
  char* in = input.data();
  std::size_t in_left = input.size();
  char* outp = output.data();
  std::size_t out_left = output.size();
  const std::size_t done = iconv(cd, &in, &in_left, &outp, &out_left);
  iconv_close(cd);
  if (done == static_cast<std::size_t>(-1) || in_left != 0) return false;
  output.resize(output.size() - out_left);
  out = std::move(output);
  return true;
}

std::string escaped(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::string display_text(std::string_view bytes) {
  bool control = false;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) control = true;
  }
  if (control) return escaped(bytes);
  if (is_ascii(bytes) || is_utf8(bytes)) return std::string(bytes);
  std::string decoded;
  if (decode_cp932(bytes, decoded)) return decoded;
  return escaped(bytes);
}

std::string display_document(std::string_view bytes) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    if (i == bytes.size() || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n') {
      out += display_text(bytes.substr(from, i - from));
      if (i < bytes.size()) out += bytes[i];
      from = i + 1;
    }
  }
  return out;
}

std::size_t integer_extent(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t digits_from = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i == digits_from ? 0 : i;
}

std::size_t real_extent(std::string_view text) {
  // The host never changes its locale, so strtod reads "." as the decimal
  // point, as the calculators' conversion does.
  const std::string copy(text);
  char* end = nullptr;
  std::strtod(copy.c_str(), &end);
  return static_cast<std::size_t>(end - copy.c_str());
}

namespace {

// A plain decimal "[-]digits[.digits]" of at most 15 significant digits
// and 22 fraction digits: its digits as an integer and a power of ten are
// both exact doubles, so one division rounds exactly as a full reading
// does. Nothing for any other form.
std::optional<double> short_decimal(std::string_view field) {
  std::size_t used = 0;
  const std::optional<double> value = plain_decimal_prefix(field, used);
  return value && used == field.size() ? value : std::nullopt;
}

}  // namespace

std::optional<double> whole_real(std::string_view field) {
  if (const std::optional<double> plain = short_decimal(field)) return plain;
  double value = 0.0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec == std::errc() && end == field.data() + field.size()) return value;
  const std::size_t extent = real_extent(field);
  if (extent == 0 || extent != field.size()) return std::nullopt;
  return c_atof(std::string(field));
}

std::string number_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string rounded_text(double value, int digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  return buffer;
}

std::string with_cell_text(std::string_view sheet, int column, int row, std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < sheet.size()) {
    std::size_t end = sheet.find('\n', start);
    if (end == std::string_view::npos) end = sheet.size();
    lines.push_back(sheet.substr(start, end - start));
    start = end + 1;
  }
  const bool final_line_end = !sheet.empty() && sheet.back() == '\n';
  const auto r = static_cast<std::size_t>(row);
  const bool added = lines.size() <= r;
  if (added) lines.resize(r + 1);
  std::string out;
  for (std::size_t l = 0; l < lines.size(); ++l) {
    std::string_view line = lines[l];
    const bool cr = !line.empty() && line.back() == '\r';
    if (cr) line.remove_suffix(1);
    if (l == r) {
      std::vector<std::string_view> fields;
      std::size_t from = 0;
      while (true) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
        if (tab == std::string_view::npos) break;
        from = tab + 1;
      }
      if (fields.size() <= static_cast<std::size_t>(column)) fields.resize(static_cast<std::size_t>(column) + 1);
      fields[static_cast<std::size_t>(column)] = text;
      std::string joined;
      for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k) joined += '\t';
        joined += fields[k];
      }
      out += joined;
    } else {
      out += line;
    }
    if (cr) out += '\r';
    if (l + 1 < lines.size() || final_line_end || added) out += '\n';
  }
  return out;
}

bool is_blank(std::string_view text) {
  for (const char c : text) {
    if (!is_space(c)) return false;
  }
  return true;
}

}  // namespace meridox::host
