// What every request to the local server passes before routing, and the
// reply helpers the routes share.
//
// The guard answers only requests whose Host is exactly "127.0.0.1:PORT" or
// "localhost:PORT" (anything else: 403 with no body, so a foreign site cannot
// reach the server through a name that resolves to the loopback address), and
// under "/api/" only requests carrying the run's access token, byte for byte,
// in the X-AV-Token header or, when that header is empty, in the first "t"
// query parameter (otherwise: 403 with {"error":"forbidden"}).
#pragma once

#include <string>

#include "platform/json_text.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

// The page's content security policy.
extern const char* const kContentSecurityPolicy;
// The largest request body the server reads; a longer one is refused with 413
// before any handler runs.
constexpr std::size_t kMaxRequestBody = std::size_t{1} << 20;

// True when the request was answered here (refused); false lets routing go on.
// `port` is read on every request.
bool request_guard(const httplib::Request& req, httplib::Response& res, const std::string& token, const int& port);

// Status, "Cache-Control: no-store", and the value written compactly as
// "application/json".
void send_json(httplib::Response& res, const Json& value, int status = 200);
// send_json of {"error": message}.
void send_error(httplib::Response& res, const std::string& message, int status);
// The body when it is a JSON object; an empty object for anything else.
Json read_json_body(const httplib::Request& req);
