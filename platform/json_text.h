// JSON text in and out without exceptions. Objects are written with their keys
// in ascending byte order; text that is not valid UTF-8 (a file name, say) is
// written with U+FFFD in place of each malformed sequence rather than failing.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

// Compact when indent < 0, otherwise indented by that many spaces.
std::string dump_json(const Json& value, int indent = -1);
// The parsed value, or nothing when the text is not one JSON document.
std::optional<Json> parse_json(std::string_view text);
