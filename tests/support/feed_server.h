// A local HTTPS feed server for the update tests (tests/support/feed_server.py
// run with a certificate made for the product's update host at test time), and
// a curl wrapper that sends every connection for that host to this server on
// 127.0.0.1, trusts only its certificate, ignores proxies and curl's own
// configuration files. Nothing here can reach any other address.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "support/test_support.h"

extern char** environ;

namespace test {

// The program `name` on PATH, or "" (test::run needs a path).
inline std::string find_on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path ? path : "/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= rest.size()) {
    std::size_t end = rest.find(':', pos);
    if (end == std::string::npos) end = rest.size();
    const std::string candidate = rest.substr(pos, end - pos) + "/" + name;
    if (end > pos && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return "";
}

class FeedServer {
 public:
  static constexpr const char* kHost = "updates.keltharon.example";

  FeedServer() {
    const RunResult made = run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-keyout", dir_.file("key.pem"), "-out", dir_.file("cert.pem"), "-days", "2",
                                "-subj", std::string("/CN=") + kHost, "-addext", std::string("subjectAltName=DNS:") + kHost},
                               {}, 30000);
    if (made.status != 0) throw std::runtime_error("openssl failed: " + made.err);
    create_directories(dir_.file("control"));
    // The system's interpreter first: wrappers on PATH may take seconds to start.
    const std::string python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : find_on_path("python3");
    if (python.empty()) throw std::runtime_error("python3 is not installed");
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string script = std::string(KAV_SOURCE_DIR) + "/tests/support/feed_server.py";
    std::vector<std::string> args = {python, script, dir_.file("cert.pem"), dir_.file("key.pem"), control()};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, python.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      throw std::runtime_error("couldn't start the feed server");
    }
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
      char buf[64];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) throw std::runtime_error("the feed server did not report its port");
  }
  ~FeedServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  int port() const { return port_; }
  std::string control() const { return dir_.file("control"); }
  void set_mode(const std::string& mode) const { write_file_atomic(control() + "/mode", mode); }
  void set_body(const std::string& body) const { write_file_atomic(control() + "/body", body); }
  // Modes for the next requests, one each, before `mode` applies again.
  void queue_modes(const std::string& lines) const { write_file_atomic(control() + "/queue", lines); }
  std::string requests() const { return read_whole_file(control() + "/requests.log"); }

  // Writes an executable curl wrapper at `path`. Each run's arguments are
  // written one a line to `path` + ".args"; `extra` is appended after them
  // (curl lets a later --max-time override an earlier one).
  void write_curl_wrapper(const std::string& path, const std::string& extra = "") const {
    create_directories(parent_path(path));
    const std::string script =
        "#!/bin/sh\n"
        "printf '%s\\n' \"$@\" > '" + path + ".args'\n"
        "exec /usr/bin/curl -q --noproxy '*' --connect-to " + std::string(kHost) + ":443:127.0.0.1:" +
        std::to_string(port_) + " --cacert '" + dir_.file("cert.pem") + "' \"$@\" " + extra + "\n";
    write_file_atomic(path, script);
    ::chmod(path.c_str(), 0755);
  }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace test
