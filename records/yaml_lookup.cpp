#include "records/yaml_lookup.hpp"

namespace yaml_lookup {

YAML::Node entry(const YAML::Node& parent, const std::string& name) { return parent[name]; }

YAML::Mark key_mark(const YAML::Node& parent, const std::string& name) {
    for (YAML::const_iterator it = parent.begin(); it != parent.end(); ++it) {
        if (it->first.IsScalar() && it->first.Scalar() == name) return it->first.Mark();
    }
    return YAML::Mark::null_mark();
}

std::string mark_text(const YAML::Mark& mark) {
    if (mark.is_null()) return "";
    return ", line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
}

}  // namespace yaml_lookup
