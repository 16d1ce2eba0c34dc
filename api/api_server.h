// The local server of the application modes: the page and the JSON API on
// 127.0.0.1 at a port the operating system chooses, guarded by a per-run
// access token, with the accept loop on a thread of its own.
//
// start() binds and starts serving; stop() shuts the listening socket, lets
// the requests in progress finish and joins the thread. The token and the
// port never change while the server lives. The controller and the quit flag
// must outlive the server.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

class ProtectionController;

class ApiServer {
 public:
  // Creates the token (48 lower-case hexadecimal characters) and registers
  // the routes. Throws std::runtime_error when no random token can be drawn.
  ApiServer(ProtectionController& controller, std::atomic<bool>& quit_flag);
  ~ApiServer();  // stops
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds to `host` on a free port and starts the accept thread; false when
  // binding fails (nothing is started then). Call once.
  bool start(const std::string& host = "127.0.0.1");
  // Idempotent; safe when start() failed or was never called.
  void stop();

  int port() const { return port_; }
  const std::string& token() const { return token_; }
  // "http://127.0.0.1:" + port + "/?t=" + token.
  std::string address() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string token_;
  int port_ = 0;
  std::thread thread_;
};
