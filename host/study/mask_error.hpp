#pragma once
// The mask error enhancement factor of a study that varies the mask: how
// much the printed width moves per unit change of the mask's width (at image
// scale), MEEF = d cd / d mask_width, for each focus and dose.
#include <optional>
#include <string>
#include <vector>

#include "host/study/study.hpp"

namespace meridox::host {

// The study's rows grouped by every varied value that is not a rectangle's
// edge, and by cut and threshold; in each group MEEF is the least-squares
// slope of cd against the measured feature's mask width over the rows that
// have both (at least two widths). Nothing when the study varies no edge.
struct MaskError {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  double lowest = no_value, highest = no_value;  // over the groups that have a MEEF
  std::size_t groups = 0;
};
std::optional<MaskError> mask_error(const Calculator& calc, const StudySpec& spec,
                                    const std::vector<StudyCase>& cases, const std::vector<CaseResult>& results);

}  // namespace meridox::host
