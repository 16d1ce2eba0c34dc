// A deliberately plain HTTP/1.1 client for tests that must send exactly the
// bytes an attacker would: any Host (or none), any header, any target.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <map>
#include <string>

namespace test {

struct HttpReply {
  int status = 0;                             // 0 when no reply came
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool has(const std::string& name) const { return headers.count(name) != 0; }
  std::string header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// Sends `request` verbatim to 127.0.0.1:port and reads until the server
// closes the connection (the request should say "Connection: close").
inline HttpReply send_raw(int port, const std::string& request, int timeout_s = 15) {
  HttpReply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return reply;
  timeval tv{timeout_s, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return reply;
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server may refuse a large body before reading it all
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    raw.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const auto head_end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  std::size_t pos = raw.find("\r\n") + 2;
  while (pos < head_end) {
    const auto eol = raw.find("\r\n", pos);
    const std::string line = raw.substr(pos, eol - pos);
    pos = eol + 2;
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    reply.headers[name] = value;
  }
  reply.body = raw.substr(head_end + 4);
  return reply;
}

// A request with the given method, target, Host (omitted when `host` is
// empty), extra header lines ("Name: value\r\n" each) and body.
inline std::string make_request(const std::string& method, const std::string& target, const std::string& host,
                                const std::string& extra_headers = "", const std::string& body = "") {
  std::string r = method + " " + target + " HTTP/1.1\r\n";
  if (!host.empty()) r += "Host: " + host + "\r\n";
  r += extra_headers;
  r += "Connection: close\r\n";
  if (method == "POST" || !body.empty()) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "\r\n" + body;
  return r;
}

}  // namespace test
