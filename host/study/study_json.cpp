#include <map>
#include <nlohmann/json.hpp>

#include "host/core/text.hpp"
#include "host/core/units.hpp"
#include "host/study/study.hpp"

namespace meridox::host {

std::map<std::string, std::string> study_units(const Calculator& calc, const StudySpec& spec) {
  const std::string base = base_sheet(calc, spec);
  std::map<std::string, std::string> units;
  for (const Varied& v : spec.vary) units[v.name] = cell_unit(calc, base, v.name);
  if (has_threshold_column(calc)) units["threshold"] = "1 (of the clear-field intensity)";
  const std::vector<std::string> names = metric_names(calc), metric_unit = metric_units(calc, base);
  for (std::size_t k = 0; k < names.size(); ++k) units[names[k]] = metric_unit[k];
  if (has_threshold_column(calc) && !spec.cuts.empty()) units["cut"] = "text (the cut's name)";
  return units;
}

std::string study_json(const Calculator& calc, const StudySpec& spec, const std::string& command,
                       const std::string& base_name, const StudyCounts& counts, const StudyCheck& check) {
  const std::string base = base_sheet(calc, spec);
  nlohmann::json info;
  info["calculator"] = calc.name;
  info["alias"] = calc.alias;
  info["library"] = spec.library.path;
  info["library_bytes"] = spec.library.bytes;
  info["library_hash"] = spec.library.hash;
  info["command"] = command;
  info["base_sheet"] = base_name;
  info["base_sheet_text"] = display_document(base);
  if (has_threshold_column(calc)) {
    for (const NamedCut& c : cuts_of(spec)) {
      info["cuts"].push_back({{"name", c.name},
                              {"along", c.cut.along == CutAxis::x ? "x" : "y"},
                              {"x", c.cut.cut_x},
                              {"y", c.cut.cut_y},
                              {"tone", c.cut.dark ? "dark" : "bright"}});
    }
  }
  info["columns"] = study_header(calc, spec);
  info["units"] = study_units(calc, spec);
  info["cases"] = counts.cases;
  info["failed"] = counts.failed;
  info["reused"] = counts.reused;
  // The warnings of the sheets, as `meridox check` gives them: the base
  // sheet's hold for every case, a value's for the cases with that value;
  // then those of the cases together.
  info["warnings"] = nlohmann::json::array();
  for (const Warning& w : check.base) {
    info["warnings"].push_back({{"code", w.code}, {"message", w.message}, {"cases", "every case"}});
  }
  for (std::size_t p = 0; p < check.values.size() && p < spec.vary.size(); ++p) {
    for (std::size_t k = 0; k < check.values[p].size() && k < spec.vary[p].values.size(); ++k) {
      for (const Warning& w : check.values[p][k].added) {
        info["warnings"].push_back({{"code", w.code},
                                    {"message", w.message},
                                    {"cases", spec.vary[p].name + " = " + number_text(spec.vary[p].values[k])}});
      }
    }
  }
  for (const Warning& w : check.together) {
    info["warnings"].push_back({{"code", w.code}, {"message", w.message}, {"cases", "the cases together"}});
  }
  return info.dump(2) + "\n";
}

}  // namespace meridox::host
