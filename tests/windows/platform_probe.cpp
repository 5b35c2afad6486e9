// Prints what the platform's runtime makes of numbers, so that the Windows
// build (under wine) and the Linux build can be compared line by line.
//
//   platform-probe numbers   the shared kit's conversions: the sheet's
//                            atoi/atof and the tables' "%f" and "%.6e" text,
//                            which rest on std::from_chars and std::to_chars.
//                            Both platforms must print the same bytes.
//   platform-probe math      the bit patterns of sin, cos, atan, sqrt, floor,
//                            fabs and modf over a fixed set of arguments; the
//                            two C runtimes may differ in the last bit, and
//                            the comparison tells in which functions and how
//                            often.
//   platform-probe tables FOLDER/
//                            the kit's table writing in an empty folder: a
//                            table put over an earlier one by the replacing
//                            rename, and the removal of what earlier runs
//                            left. Both platforms must print the same bytes.
//   platform-probe vector    the vector level the kit's CPU-feature check
//                            finds, which chooses the calculators' kernels:
//                            the DLLs must find what the Linux build finds.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "common/cpu_features.hpp"
#include "common/files.hpp"
#include "common/numbers.hpp"
#include "common/table.hpp"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace {

std::uint64_t bits_of(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

double from_bits(std::uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// A fixed 64-bit generator (SplitMix64), the same sequence everywhere.
struct Sequence {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi), from 53 random bits.
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1.0p-53);
  }
};

void print_formats(double v) {
  char fixed[meridox::max_fixed_chars];
  char exponent[40];
  const std::size_t nf = meridox::format_fixed(fixed, v);
  const std::size_t ne = meridox::format_exponent(exponent, v);
  // The text read back must give the same double where "%.6e" keeps enough
  // digits to say, so print the bits of the parse as well.
  const double back = meridox::c_atof(std::string_view(fixed, nf));
  std::printf("%016" PRIx64 " f=%.*s e=%.*s back=%016" PRIx64 "\n", bits_of(v), static_cast<int>(nf),
              fixed, static_cast<int>(ne), exponent, bits_of(back));
}

void print_parse(const char* text) {
  std::printf("parse [%s] atof=%016" PRIx64 " atoi=%d\n", text, bits_of(meridox::c_atof(text)),
              meridox::c_atoi(text));
}

int numbers() {
  // Values whose "%f" text is easy to get wrong: ties at the sixth decimal,
  // exact binary fractions, the extremes of the range, signed zeros.
  const double fixed_values[] = {0.0,
                                 -0.0,
                                 0.5e-6,
                                 -0.5e-6,
                                 1.5e-6,
                                 2.5e-6,
                                 0.0000004999999999,
                                 0.1,
                                 0.125,
                                 0.0000015,
                                 1.0 / 3.0,
                                 2.0 / 3.0,
                                 3.14159265358979,
                                 123456.7890125,
                                 9007199254740993.0,
                                 1e15 + 0.3,
                                 1e22,
                                 1e23,
                                 4.35e-7,
                                 std::numeric_limits<double>::max(),
                                 -std::numeric_limits<double>::max(),
                                 std::numeric_limits<double>::min(),
                                 std::numeric_limits<double>::denorm_min(),
                                 std::numeric_limits<double>::epsilon(),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()};
  for (double v : fixed_values) print_formats(v);

  // Random bit patterns over the whole range, and random values of the
  // magnitudes tables hold.
  Sequence sequence{20260101};
  for (int i = 0; i < 3000; ++i) print_formats(from_bits(sequence.next()));
  for (int i = 0; i < 3000; ++i) {
    // Scaling by a power of two is exact, so both platforms format the
    // same doubles whatever their pow would give.
    const int exponent = static_cast<int>(sequence.next() % 68) - 27;
    print_formats(std::ldexp(sequence.uniform(-1.0, 1.0), exponent));
  }
  // Exact six-decimal ties: k + 0.5e-6 for some k, in binary never exactly a tie.
  for (int k = 0; k < 200; ++k) print_formats(k * 1e-6 + 0.5e-6);

  // What the sheet's cells may hold.
  const char* texts[] = {"",
                         "   ",
                         "12.5",
                         "  -12.5mm",
                         "+7",
                         "0.25mm",
                         ".5",
                         "5.",
                         "-.",
                         "abc",
                         "1e400",
                         "-1e400",
                         "1e-400",
                         "1e",
                         "1e+",
                         "2.5e-3x",
                         "0x1p-1074",
                         "0x1.8p1",
                         "0x",
                         "0X1A",
                         "inf",
                         "-Infinity",
                         "nan",
                         "NaN(123)",
                         "infinit",
                         "4.9406564584124654e-324",
                         "2.4703282292062327e-324",
                         "2.4703282292062328e-324",
                         "2.2250738585072011e-308",
                         "1.7976931348623157e308",
                         "1.7976931348623159e308",
                         "0.1000000000000000055511151231257827021181583404541015625",
                         "123456789012345678901234567890",
                         "2147483647",
                         "2147483648",
                         "-2147483648",
                         "-2147483649",
                         "99999999999999999999",
                         "\t 42\tx",
                         "3,5",
                         "1 000"};
  for (const char* text : texts) print_parse(text);
  for (int i = 0; i < 2000; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "%" PRIu64 "e%d", static_cast<std::uint64_t>(sequence.next() % 100000000000000000ULL),
                  static_cast<int>(sequence.next() % 660) - 340);
    print_parse(text);
  }
  return 0;
}

template <typename F>
void print_function(const char* name, F f, double lo, double hi, int count, Sequence& sequence) {
  for (int i = 0; i < count; ++i) {
    const double x = sequence.uniform(lo, hi);
    std::printf("%s %016" PRIx64 " %016" PRIx64 "\n", name, bits_of(x), bits_of(f(x)));
  }
}

int math() {
  Sequence sequence{7};
  // Arguments of the sizes the calculators use: phases of a few turns and
  // of many turns, ratios for arc tangents, squares for roots.
  const int n = 4000;
  print_function("sin", [](double x) { return std::sin(x); }, -7.0, 7.0, n, sequence);
  print_function("sin", [](double x) { return std::sin(x); }, -2000.0, 2000.0, n, sequence);
  print_function("cos", [](double x) { return std::cos(x); }, -7.0, 7.0, n, sequence);
  print_function("cos", [](double x) { return std::cos(x); }, -2000.0, 2000.0, n, sequence);
  print_function("atan", [](double x) { return std::atan(x); }, -3.0, 3.0, n, sequence);
  print_function("atan", [](double x) { return std::atan(x); }, -1e6, 1e6, n, sequence);
  print_function("sqrt", [](double x) { return std::sqrt(x); }, 0.0, 1e6, n, sequence);
  print_function("floor", [](double x) { return std::floor(x); }, -1e6, 1e6, n, sequence);
  print_function("fabs", [](double x) { return std::fabs(x); }, -1e6, 1e6, n, sequence);
  print_function("modf", [](double x) {
    double whole;
    return std::modf(x, &whole);
  }, -1e6, 1e6, n, sequence);
  print_function("modf-whole", [](double x) {
    double whole;
    std::modf(x, &whole);
    return whole;
  }, -1e6, 1e6, n, sequence);
  return 0;
}

void print_folder(const char* title, const std::string& folder) {
  std::vector<std::string> names = meridox::files::names_in(folder);
  std::sort(names.begin(), names.end());
  std::printf("%s:", title);
  for (const std::string& name : names) {
    std::string bytes;
    if (std::FILE* file = std::fopen((folder + name).c_str(), "rb")) {
      char buffer[256];
      std::size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
      std::fclose(file);
    }
    // A temporary file's name holds the process number: printed without it.
    const bool temporary = name.starts_with(meridox::temporary_prefix("OUT_M.txt"));
    std::printf(" %s=", temporary ? "(temporary file of OUT_M.txt)" : name.c_str());
    for (const char c : bytes) {
      if (c == '\r') {
        std::fputs("\\r", stdout);
      } else if (c == '\n') {
        std::fputs("\\n", stdout);
      } else {
        std::putchar(c);
      }
    }
  }
  std::printf("\n");
}

void write_file(const std::string& path, const char* text) {
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fputs(text, file);
    std::fclose(file);
  }
}

int tables(const std::string& folder) {
  if (!meridox::files::names_in(folder).empty()) {
    std::fprintf(stderr, "platform-probe: %s is not an empty folder\n", folder.c_str());
    return 2;
  }
  write_file(folder + "OUT_M.txt", "an earlier run");
  {
    meridox::TableWriter table(folder + "OUT_M.txt");
    table.text("head\n");
    table.line({1.5, -2.0});
    print_folder("while writing", folder);
  }
  print_folder("written over an earlier table", folder);
  write_file(folder + "OUT_M.txt.partial-1-0", "1.0");
  write_file(folder + "OUT_MR.txt", "another calculator's");
  meridox::remove_table(folder, "OUT_M.txt");
  print_folder("after removing what earlier runs left of OUT_M.txt", folder);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // LF line ends on both platforms, so that the outputs compare as bytes.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc == 2 && std::strcmp(argv[1], "numbers") == 0) return numbers();
  if (argc == 2 && std::strcmp(argv[1], "math") == 0) return math();
  if (argc == 3 && std::strcmp(argv[1], "tables") == 0) return tables(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "vector") == 0) {
    std::printf("%s\n", meridox::vector_level_name(meridox::processor_vector_level()));
    return 0;
  }
  std::fprintf(stderr, "usage: platform-probe numbers|math|tables FOLDER/|vector\n");
  return 2;
}
