#pragma once
// Decodes a PNG file for the picture tests.
#include <cstdint>
#include <string>
#include <vector>

namespace meridox::testing {

struct Picture {
  bool ok = false;
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0xRRGGBB, row by row
  std::size_t distinct_colours() const;
  // Share of pixels whose colour differs from the corner's (the background).
  double share_not_background() const;
};

Picture read_png(const std::string& path);

}  // namespace meridox::testing
