#include "platform/json_text.h"

std::string dump_json(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

std::optional<Json> parse_json(std::string_view text) {
  Json v = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (v.is_discarded()) return std::nullopt;
  return v;
}
