#pragma once
// Pictures of result tables, drawn with PLplot's cairo PNG driver: heat maps
// with axes and a colour scale for the optics maps, line charts for the plate
// and stage tables.
#include <string>

#include "host/tables.hpp"

namespace meridox::host {

struct PlotOptions {
  int width = 960;
  int height = 720;
  std::string length_unit;  // unit of the optics lengths; empty when not known
};

// Draws the table (bytes of kind `kind`) into a PNG file. Returns an empty
// string on success, otherwise why nothing was drawn.
std::string plot_table(TableKind kind, const std::string& bytes, const std::string& png_path,
                       const PlotOptions& options);

}  // namespace meridox::host
