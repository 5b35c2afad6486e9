#pragma once
// Edits one cell of a sheet's text, keeping every other byte, for tests that
// start from an example sheet and spoil one value: the host's own cell editor,
// the one `run --set` uses.
#include <string>
#include <string_view>

#include "host/core/text.hpp"

namespace meridox::testing {

inline std::string with_cell(std::string_view sheet, int column, int row, std::string_view text) {
  return host::with_cell_text(sheet, column, row, text);
}

}  // namespace meridox::testing
