// The two pieces of JSON text the program's records are made of (the
// detection record, the stream server's figures).
#pragma once

#include <string>
#include <string_view>

// `text` as a JSON string, quotes included; control characters escaped.
std::string json_string(std::string_view text);

// `value` as a JSON number with up to `decimals` decimals; "null" when it is
// not finite.
std::string json_number(double value, int decimals = 3);
