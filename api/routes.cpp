#include "api/routes.h"

#include <httplib.h>

#include <vector>

#include "api/page_data.h"
#include "api/request_guard.h"
#include "api/state_document.h"
#include "core/protection_controller.h"
#include "core/signature_updater.h"
#include "platform/shell.h"

namespace {

// "paths": an array of strings in order; a single string stands for a list of
// one and an object for its values in key order. Any non-string element
// throws the JSON library's type error.
std::vector<std::string> scan_paths(const Json& body) {
  std::vector<std::string> paths;
  const auto it = body.find("paths");
  if (it == body.end()) return paths;
  if (it->is_string()) {
    paths.push_back(it->get<std::string>());
  } else {
    for (const Json& p : *it) paths.push_back(p.get<std::string>());
  }
  return paths;
}

}  // namespace

void serve_page(const httplib::Request&, httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("Content-Security-Policy", kContentSecurityPolicy);
  res.set_content(reinterpret_cast<const char*>(kPageData), kPageSize, "text/html; charset=utf-8");
}

void register_routes(httplib::Server& server, ProtectionController& controller, const std::string& token,
                     const int& port, std::atomic<bool>& quit_flag) {
  using httplib::Request;
  using httplib::Response;
  server.set_pre_routing_handler([&token, &port](const Request& req, Response& res) {
    return request_guard(req, res, token, port) ? httplib::Server::HandlerResponse::Handled
                                                : httplib::Server::HandlerResponse::Unhandled;
  });
  ProtectionController* c = &controller;

  server.Get("/", serve_page);
  server.Get("/api/state", [c](const Request&, Response& res) { send_json(res, state_document(*c)); });
  server.Post("/api/settings", [c](const Request& req, Response& res) {
    c->update_settings(read_json_body(req));
    send_json(res, c->settings_json());
  });
  server.Post("/api/scan", [c](const Request& req, Response& res) {
    const Json body = read_json_body(req);
    // Both inputs are read (and so type-checked) before anything starts.
    const std::string type = body.value("type", std::string("quick"));
    const std::vector<std::string> paths = scan_paths(body);
    send_json(res, Json{{"id", c->start_scan(type, paths)}});
  });
  server.Get("/api/scan", [c](const Request&, Response& res) { send_json(res, c->scan_status()); });
  server.Post("/api/scan/cancel", [c](const Request&, Response& res) {
    c->cancel_scan();
    send_json(res, Json{{"ok", true}});
  });
  server.Post("/api/threat", [c](const Request& req, Response& res) {
    const Json body = read_json_body(req);
    const std::string path = body.value("path", std::string());
    const std::string action = body.value("action", std::string("quarantine"));
    send_json(res, c->threat_action(path, action));
  });
  server.Get("/api/quarantine", [c](const Request&, Response& res) { send_json(res, c->quarantine_list()); });
  server.Post(R"(/api/quarantine/([^/]+)/([^/]+))", [c](const Request& req, Response& res) {
    send_json(res, c->quarantine_action(req.matches[1].str(), req.matches[2].str()));
  });
  server.Post("/api/protection", [c](const Request& req, Response& res) {
    const bool on = read_json_body(req).value("realtime", true);
    c->set_realtime(on);
    send_json(res, c->protection_state());
  });
  server.Post("/api/update", [c](const Request&, Response& res) {
    const std::string message = c->update_signatures();
    if (!message.empty()) {
      send_error(res, message, 400);
      return;
    }
    send_json(res, c->updates_state());
  });
  server.Post("/api/open", [](const Request& req, Response& res) {
    const std::string url = read_json_body(req).value("url", std::string());
    const std::string base = std::string(kSiteBaseUrl) + "/";
    if (url.size() >= base.size() && url.compare(0, base.size(), base) == 0) open_with_shell(url);
    send_json(res, Json{{"ok", true}});
  });
  server.Post("/api/quit", [&quit_flag](const Request&, Response& res) {
    quit_flag.exchange(true);
    send_json(res, Json{{"ok", true}});
  });
}
