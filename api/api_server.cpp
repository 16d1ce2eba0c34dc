#include "api/api_server.h"

#include <httplib.h>

#include <chrono>

#include "api/request_guard.h"
#include "api/routes.h"
#include "platform/random.h"

ApiServer::ApiServer(ProtectionController& controller, std::atomic<bool>& quit_flag)
    : server_(std::make_unique<httplib::Server>()), token_(random_hex(24)) {
  // The body is read only for requests the guard let through; even those
  // never make the server buffer more than this.
  server_->set_payload_max_length(kMaxRequestBody);
  // Stopping waits for idle keep-alive connections to time out; a short idle
  // time lets the program end within about a second of being asked to.
  server_->set_keep_alive_timeout(1);
  // A reply goes out in more than one write; without this, each small reply
  // waits for the client's delayed acknowledgement (about 40 ms).
  server_->set_tcp_nodelay(true);
  register_routes(*server_, controller, token_, port_, quit_flag);
}

ApiServer::~ApiServer() { stop(); }

bool ApiServer::start(const std::string& host) {
  if (thread_.joinable()) return false;
  const int port = server_->bind_to_any_port(host);
  if (port <= 0) return false;
  port_ = port;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only reaches a loop that has begun, so wait for it to begin.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ApiServer::stop() {
  if (!thread_.joinable()) return;
  // Shuts the listening socket; the loop then lets the requests in progress
  // finish and returns. A loop that already ended on its own is only joined.
  server_->stop();
  thread_.join();
}

std::string ApiServer::address() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?t=" + token_;
}
