#include "api/request_guard.h"

#include <httplib.h>

const char* const kContentSecurityPolicy =
    "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; connect-src 'self'";

bool request_guard(const httplib::Request& req, httplib::Response& res, const std::string& token, const int& port) {
  const std::string host = req.get_header_value("Host");
  const std::string port_text = std::to_string(port);
  if (host != "127.0.0.1:" + port_text && host != "localhost:" + port_text) {
    res.status = 403;
    return true;
  }
  if (req.path.size() >= 5 && req.path.compare(0, 5, "/api/") == 0) {
    std::string given = req.get_header_value("X-AV-Token");
    if (given.empty()) given = req.get_param_value("t");
    if (given.size() == token.size() && given == token) return false;
    res.status = 403;
    res.set_content("{\"error\":\"forbidden\"}", "application/json");
    return true;
  }
  return false;
}

void send_json(httplib::Response& res, const Json& value, int status) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(dump_json(value), "application/json");
}

void send_error(httplib::Response& res, const std::string& message, int status) {
  send_json(res, Json{{"error", message}}, status);
}

Json read_json_body(const httplib::Request& req) {
  std::optional<Json> parsed = parse_json(req.body);
  if (parsed && parsed->is_object()) return std::move(*parsed);
  return Json::object();
}
