#include "png_reader.hpp"

#include <png.h>

#include <cstdio>
#include <set>

namespace meridox::testing {

std::size_t Picture::distinct_colours() const {
  return std::set<std::uint32_t>(pixels.begin(), pixels.end()).size();
}

double Picture::share_not_background() const {
  if (pixels.empty()) return 0.0;
  std::size_t other = 0;
  for (const std::uint32_t p : pixels) other += p != pixels.front() ? 1 : 0;
  return static_cast<double>(other) / static_cast<double>(pixels.size());
}

Picture read_png(const std::string& path) {
  Picture picture;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> buffer(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) {
    png_image_free(&image);
    return picture;
  }
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.reserve(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height));
  for (std::size_t k = 0; k + 2 < buffer.size(); k += 3) {
    picture.pixels.push_back((std::uint32_t{buffer[k]} << 16) | (std::uint32_t{buffer[k + 1]} << 8) |
                             std::uint32_t{buffer[k + 2]});
  }
  picture.ok = true;
  return picture;
}

}  // namespace meridox::testing
