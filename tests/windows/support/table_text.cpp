#include "support/table_text.hpp"

#include <cstddef>
#include <cstring>

namespace meridox::windows_check {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return true;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string_view strip_zeros(std::string_view digits) {
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

// a + 1 for a string of decimal digits.
std::string plus_one(std::string_view digits) {
  std::string out(digits);
  for (std::size_t i = out.size(); i-- > 0;) {
    if (out[i] != '9') {
      ++out[i];
      return out;
    }
    out[i] = '0';
  }
  return "1" + out;
}

// |a - b| <= 1 for magnitudes given as decimal digit strings.
bool within_one(std::string_view a, std::string_view b) {
  a = strip_zeros(a);
  b = strip_zeros(b);
  return a == b || plus_one(a) == b || plus_one(b) == a;
}

bool is_zero(std::string_view digits) { return strip_zeros(digits) == "0"; }

struct Printed {
  bool negative = false;
  std::string digits;  // all printed digits, the point removed
  int exponent = 0;    // "%.6e" only
};

Printed parse(std::string_view text, NumberForm form) {
  Printed p;
  if (text.front() == '-') {
    p.negative = true;
    text.remove_prefix(1);
  }
  const std::size_t point = text.find('.');
  if (form == NumberForm::fixed) {
    p.digits = std::string(text.substr(0, point)) + std::string(text.substr(point + 1));
  } else {
    const std::size_t e = text.find('e');
    p.digits = std::string(text.substr(0, point)) + std::string(text.substr(point + 1, e - point - 1));
    const std::string_view exponent = text.substr(e + 2);
    for (char c : exponent) p.exponent = p.exponent * 10 + (c - '0');
    if (text[e + 1] == '-') p.exponent = -p.exponent;
  }
  return p;
}

}  // namespace

NumberForm number_form(std::string_view text) {
  std::string_view body = text;
  if (!body.empty() && body.front() == '-') body.remove_prefix(1);
  const std::size_t point = body.find('.');
  if (point == std::string_view::npos || !all_digits(body.substr(0, point))) return NumberForm::none;
  const std::string_view after = body.substr(point + 1);
  if (after.size() == 6 && all_digits(after)) return NumberForm::fixed;
  // d.dddddde+XX or e-XXX
  if (point == 1 && after.size() >= 10 && all_digits(after.substr(0, 6)) && after[6] == 'e' &&
      (after[7] == '+' || after[7] == '-') && all_digits(after.substr(8)) && after.size() <= 11) {
    return NumberForm::exponent;
  }
  return NumberForm::none;
}

bool last_digit_apart(std::string_view a, std::string_view b) {
  if (a == b) return false;
  const NumberForm form = number_form(a);
  if (form == NumberForm::none || form != number_form(b)) return false;
  Printed pa = parse(a, form);
  Printed pb = parse(b, form);
  if (form == NumberForm::exponent && pa.exponent != pb.exponent) {
    // A carry into the next power of ten: 9.999999e+02 against 1.000000e+03.
    if (pa.exponent < pb.exponent) std::swap(pa, pb);
    if (pa.exponent != pb.exponent + 1 || is_zero(pa.digits)) return false;
    pa.digits += '0';
  }
  if (pa.negative == pb.negative) return within_one(pa.digits, pb.digits);
  // Opposite signs: one unit apart at most when one side is zero and the
  // other at most one unit, or both are zero (-0.000000 against 0.000000).
  return (is_zero(pa.digits) && within_one(pb.digits, "0")) ||
         (is_zero(pb.digits) && within_one(pa.digits, "0"));
}

TableDiff compare_table_bytes(std::string_view expected, std::string_view actual) {
  TableDiff diff;
  if (expected == actual) return diff;
  constexpr std::size_t report_limit = 12;
  auto note = [&](DiffKind kind, std::string text) {
    if (kind == DiffKind::other || diff.kind == DiffKind::identical) diff.kind = kind;
    ++diff.differing_fields;
    if (diff.report.size() < report_limit) diff.report.push_back(std::move(text));
  };
  const auto lines_e = split(expected, "\r\n");
  const auto lines_a = split(actual, "\r\n");
  if (lines_e.size() != lines_a.size()) {
    note(DiffKind::other, std::to_string(lines_e.size()) + " lines on Linux, " +
                              std::to_string(lines_a.size()) + " on Windows");
  }
  const std::size_t lines = std::min(lines_e.size(), lines_a.size());
  for (std::size_t l = 0; l < lines; ++l) {
    if (lines_e[l] == lines_a[l]) continue;
    const auto fields_e = split(lines_e[l], "\t");
    const auto fields_a = split(lines_a[l], "\t");
    const std::string where = "line " + std::to_string(l + 1);
    if (fields_e.size() != fields_a.size()) {
      note(DiffKind::other, where + ": " + std::to_string(fields_e.size()) + " fields on Linux, " +
                                std::to_string(fields_a.size()) + " on Windows");
      continue;
    }
    for (std::size_t f = 0; f < fields_e.size(); ++f) {
      if (fields_e[f] == fields_a[f]) continue;
      const bool near = last_digit_apart(fields_e[f], fields_a[f]);
      note(near ? DiffKind::last_digit : DiffKind::other,
           where + " field " + std::to_string(f + 1) + ": Linux " + std::string(fields_e[f]) +
               ", Windows " + std::string(fields_a[f]) +
               (near ? " (last digit)" : ""));
    }
  }
  if (diff.kind == DiffKind::identical) {
    // Same lines and fields but different bytes: line ends or stray bytes.
    note(DiffKind::other, "the bytes differ outside the fields (line ends?)");
  }
  if (static_cast<std::size_t>(diff.differing_fields) > diff.report.size()) {
    diff.report.push_back("... " + std::to_string(diff.differing_fields - diff.report.size()) +
                          " more differences");
  }
  return diff;
}

std::vector<std::vector<std::string>> data_rows(std::string_view bytes) {
  std::vector<std::vector<std::string>> rows;
  for (std::string_view line : split(bytes, "\r\n")) {
    const auto fields = split(line, "\t");
    if (fields.empty() || number_form(fields.front()) == NumberForm::none) continue;
    rows.emplace_back(fields.begin(), fields.end());
  }
  return rows;
}

std::uint64_t ulp_distance(std::uint64_t a_bits, std::uint64_t b_bits) {
  // Map the bit patterns onto a line where adjacent doubles are adjacent
  // integers: negatives below zero, both zeros at the same point.
  constexpr std::uint64_t sign = 0x8000000000000000ULL;
  auto ordered = [](std::uint64_t bits) -> std::uint64_t {
    return (bits & sign) ? sign - (bits & ~sign) : sign + bits;
  };
  const std::uint64_t a = ordered(a_bits);
  const std::uint64_t b = ordered(b_bits);
  return a > b ? a - b : b - a;
}

double double_of(std::uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace meridox::windows_check
