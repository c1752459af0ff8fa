// Look-ups in a parsed YAML document that leave the document as it is and
// tell where a value that will not do stands. Each program phrases its own
// messages around them.
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>

namespace yaml_lookup {

// The entry `name` of the map `parent`, undefined when there is none. Looked
// up through a const node: a lookup through a non-const one adds the key to
// the document, and a missing key then reports only "bad conversion".
YAML::Node entry(const YAML::Node& parent, const std::string& name);

// Where the key `name` of the map `parent` stands, or the null mark when it
// is absent. An empty value has no position of its own; its key has one.
YAML::Mark key_mark(const YAML::Node& parent, const std::string& name);

// ", line L, column C", 1-based as yaml-cpp counts in its own messages;
// empty for the null mark.
std::string mark_text(const YAML::Mark& mark);

// `value` as a T. A value that does not convert calls `refuse` with the mark
// the parser gives it (the line and column of the value), which raises the
// caller's own error; should `refuse` return, the parser's error goes on.
template <typename T, typename Refuse>
T converted(const YAML::Node& value, Refuse&& refuse) {
    try {
        return value.as<T>();
    } catch (const YAML::BadConversion& e) {
        refuse(e.mark);
        throw;
    }
}

}  // namespace yaml_lookup
