#include "host/text.hpp"

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

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

bool is_blank(std::string_view text) {
  for (const char c : text) {
    if (!is_space(c)) return false;
  }
  return true;
}

bool read_file(const std::string& path, std::string& bytes) {
  if (path == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::error_code ec;
  if (!std::filesystem::exists(path, ec) || std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace meridox::host
