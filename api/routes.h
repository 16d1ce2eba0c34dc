// The routes of the local server. Each route is a thin adapter over
// ProtectionController operations; the routes keep no state of their own.
//
//   GET  /                             the page (no token needed)
//   GET  /api/state                    the state document
//   POST /api/settings                 settings patch -> the settings in effect
//   POST /api/scan                     {"type", "paths"} -> {"id"}
//   GET  /api/scan                     the current scan job
//   POST /api/scan/cancel              {"ok": true}
//   POST /api/threat                   {"path", "action"} -> the action's reply
//   GET  /api/quarantine               the quarantine items
//   POST /api/quarantine/ID/ACTION     the action's reply
//   POST /api/protection               {"realtime"} -> the protection block
//   POST /api/update                   the updates block, or 400 {"error"}
//   POST /api/open                     {"url"} -> {"ok": true}; opens only addresses on the site
//   POST /api/quit                     {"ok": true}; sets the quit flag
//
// A field present with the wrong JSON type makes its handler throw, which the
// HTTP library answers with 500; nothing is changed in that case.
#pragma once

#include <atomic>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class ProtectionController;

// Installs request_guard (reading `token` and `port` on every request) as the
// pre-routing handler, then every route. `token` and `port` must outlive the
// server; `port` may be filled in after this call, before serving starts.
void register_routes(httplib::Server& server, ProtectionController& controller, const std::string& token,
                     const int& port, std::atomic<bool>& quit_flag);

// GET "/": the embedded page with "Cache-Control: no-store" and the content
// security policy.
void serve_page(const httplib::Request& req, httplib::Response& res);
