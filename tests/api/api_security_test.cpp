// The server as an attacker meets it: requests from a foreign origin, without
// or with a wrong token, oversize or malformed bodies, wrongly typed fields,
// paths with "..", and scan starts racing each other. Each gets its defined
// answer and none of them changes anything.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "api/api_fixture.h"
#include "api/request_guard.h"

namespace {

using test::HttpReply;

enum class Expect { Forbidden403Empty, Forbidden403Json, NotFound404, Ok200, Error500, TooLarge413 };

struct Attack {
  const char* name;
  std::string method;
  std::string target;  // "{T}" stands for the token
  std::string host;    // "{P}" stands for the port; empty sends no Host
  std::string headers; // "{T}" stands for the token
  std::string body;
  Expect expect;
};

std::string fill(std::string s, const std::string& token, int port) {
  for (auto pos = s.find("{T}"); pos != std::string::npos; pos = s.find("{T}")) s.replace(pos, 3, token);
  for (auto pos = s.find("{P}"); pos != std::string::npos; pos = s.find("{P}")) s.replace(pos, 3, std::to_string(port));
  return s;
}

class ApiSecurity : public test::ApiFixture {};

TEST_F(ApiSecurity, EveryAttackGetsItsAnswerAndChangesNothing) {
  const std::string tok = server_->token();
  std::string upper = tok;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string wrong = tok;
  wrong[17] = wrong[17] == 'a' ? 'b' : 'a';
  const std::string good = "X-AV-Token: {T}\r\n";
  const std::string big(kMaxRequestBody + 4096, ' ');
  const std::string victim = victim_;
  const std::vector<Attack> attacks = {
      // DNS rebinding: a foreign name that resolves to the loopback address.
      {"foreign host, page", "GET", "/", "evil.example:{P}", "", "", Expect::Forbidden403Empty},
      {"foreign host with token", "POST", "/api/quit", "evil.example:{P}", good, "", Expect::Forbidden403Empty},
      {"foreign host quarantines", "POST", "/api/threat", "evil.example:{P}", good,
       "{\"path\":\"" + victim + "\"}", Expect::Forbidden403Empty},
      {"host without port", "GET", "/", "127.0.0.1", "", "", Expect::Forbidden403Empty},
      {"host in capitals", "GET", "/", "LOCALHOST:{P}", "", "", Expect::Forbidden403Empty},
      {"ipv6 loopback host", "GET", "/api/state", "[::1]:{P}", good, "", Expect::Forbidden403Empty},
      {"other port", "GET", "/api/state", "127.0.0.1:1{P}", good, "", Expect::Forbidden403Empty},
      {"host with suffix", "GET", "/api/state", "127.0.0.1:{P}.evil.example", good, "", Expect::Forbidden403Empty},
      {"no host", "GET", "/api/state", "", good, "", Expect::Forbidden403Empty},
      // The token: missing, wrong, or where the guard does not look.
      {"no token", "GET", "/api/state", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"no token, quit", "POST", "/api/quit", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"no token, settings", "POST", "/api/settings", "127.0.0.1:{P}", "", "{\"realtime\":false}", Expect::Forbidden403Json},
      {"no token, threat", "POST", "/api/threat", "127.0.0.1:{P}", "", "{\"path\":\"" + victim + "\",\"action\":\"delete\"}",
       Expect::Forbidden403Json},
      {"wrong token, right length", "POST", "/api/quit", "127.0.0.1:{P}", "X-AV-Token: " + wrong + "\r\n", "",
       Expect::Forbidden403Json},
      {"token in capitals", "POST", "/api/quit", "127.0.0.1:{P}", "X-AV-Token: " + upper + "\r\n", "", Expect::Forbidden403Json},
      {"token prefix", "POST", "/api/quit", "127.0.0.1:{P}", "X-AV-Token: " + tok.substr(0, 47) + "\r\n", "",
       Expect::Forbidden403Json},
      {"token with extra digit", "POST", "/api/quit", "127.0.0.1:{P}", "X-AV-Token: {T}0\r\n", "", Expect::Forbidden403Json},
      {"empty token parameter", "POST", "/api/quit?t=", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"token in a cookie", "POST", "/api/quit", "127.0.0.1:{P}", "Cookie: t={T}\r\n", "", Expect::Forbidden403Json},
      {"token as bearer", "POST", "/api/quit", "127.0.0.1:{P}", "Authorization: Bearer {T}\r\n", "", Expect::Forbidden403Json},
      {"token in another parameter", "POST", "/api/quit?token={T}", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"token as second t", "POST", "/api/quit?t=0&t={T}", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"token in the body", "POST", "/api/quit", "127.0.0.1:{P}", "", "{\"t\":\"{T}\",\"X-AV-Token\":\"{T}\"}",
       Expect::Forbidden403Json},
      {"wrong header beats right parameter", "POST", "/api/quit?t={T}", "127.0.0.1:{P}", "X-AV-Token: " + wrong + "\r\n", "",
       Expect::Forbidden403Json},
      {"token in another header name", "POST", "/api/quit", "127.0.0.1:{P}", "X-AV-Tok: {T}\r\n", "", Expect::Forbidden403Json},
      // Paths that try to step around the guard or out of a route.
      {"api root without token", "GET", "/api/", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"dot-dot into the api", "POST", "/x/../api/quit", "127.0.0.1:{P}", "", "", Expect::NotFound404},
      {"double slash", "POST", "//api/quit", "127.0.0.1:{P}", "", "", Expect::NotFound404},
      {"api in capitals", "POST", "/API/quit", "127.0.0.1:{P}", "", "", Expect::NotFound404},
      {"dot-dot out of the api", "GET", "/api/../../etc/passwd", "127.0.0.1:{P}", "", "", Expect::Forbidden403Json},
      {"dot-dot with token", "GET", "/api/../../etc/passwd", "127.0.0.1:{P}", good, "", Expect::NotFound404},
      {"dot-dot quarantine id", "POST", "/api/quarantine/../restore", "127.0.0.1:{P}", good, "", Expect::Ok200},
      {"encoded slashes in id", "POST", "/api/quarantine/..%2F..%2Fsettings/delete", "127.0.0.1:{P}", good, "",
       Expect::NotFound404},
      {"extra segment", "POST", "/api/quarantine/a/b/restore", "127.0.0.1:{P}", good, "", Expect::NotFound404},
      {"unknown api path", "GET", "/api/secret", "127.0.0.1:{P}", good, "", Expect::NotFound404},
      {"wrong method", "GET", "/api/quit", "127.0.0.1:{P}", good, "", Expect::NotFound404},
      // Bodies: too large, malformed, not an object, wrongly typed.
      {"oversize body with token", "POST", "/api/settings", "127.0.0.1:{P}", good, big, Expect::TooLarge413},
      {"oversize body without token", "POST", "/api/settings", "127.0.0.1:{P}", "", big, Expect::Forbidden403Json},
      {"malformed json", "POST", "/api/settings", "127.0.0.1:{P}", good, "{\"realtime\": false", Expect::Ok200},
      {"json array", "POST", "/api/settings", "127.0.0.1:{P}", good, "[{\"realtime\": false}]", Expect::Ok200},
      {"json string", "POST", "/api/settings", "127.0.0.1:{P}", good, "\"realtime\"", Expect::Ok200},
      {"not json at all", "POST", "/api/settings", "127.0.0.1:{P}", good, "realtime=false", Expect::Ok200},
      {"nul byte in json", "POST", "/api/settings", "127.0.0.1:{P}", good, std::string("{\"realtime\":\0false}", 19),
       Expect::Ok200},
      {"wrongly typed setting", "POST", "/api/settings", "127.0.0.1:{P}", good, "{\"realtime\":\"no\",\"watch_paths\":7}",
       Expect::Ok200},
      {"unknown action on an item", "POST", "/api/quarantine/0123/explode", "127.0.0.1:{P}", good, "", Expect::Ok200},
      {"number in paths", "POST", "/api/scan", "127.0.0.1:{P}", good, "{\"type\":\"custom\",\"paths\":[\"/tmp\",1]}",
       Expect::Error500},
      {"number as type", "POST", "/api/scan", "127.0.0.1:{P}", good, "{\"type\":1,\"paths\":[]}", Expect::Error500},
      {"object in paths", "POST", "/api/scan", "127.0.0.1:{P}", good, "{\"type\":\"custom\",\"paths\":[{}]}", Expect::Error500},
      {"number as threat path", "POST", "/api/threat", "127.0.0.1:{P}", good, "{\"path\":5}", Expect::Error500},
      {"number as threat action", "POST", "/api/threat", "127.0.0.1:{P}", good,
       "{\"path\":\"" + victim + "\",\"action\":3}", Expect::Error500},
      {"string as realtime switch", "POST", "/api/protection", "127.0.0.1:{P}", good, "{\"realtime\":\"off\"}", Expect::Error500},
      {"number as realtime switch", "POST", "/api/protection", "127.0.0.1:{P}", good, "{\"realtime\":0}", Expect::Error500},
      {"array as url", "POST", "/api/open", "127.0.0.1:{P}", good, "{\"url\":[\"https://x\"]}", Expect::Error500},
      {"ignored threat that is not listed", "POST", "/api/threat", "127.0.0.1:{P}", good,
       "{\"path\":\"" + victim + "/../eicar.com\",\"action\":\"ignore\"}", Expect::Ok200},
  };

  // A first save writes the settings file, so every later comparison sees one.
  ASSERT_EQ(call("POST", "/api/settings", "{\"scan_archives\":true}").status, 200);
  const auto before = snapshot();
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.name);
    const HttpReply r = test::send_raw(port_, test::make_request(a.method, fill(a.target, tok, port_), fill(a.host, tok, port_),
                                                                 fill(a.headers, tok, port_), fill(a.body, tok, port_)));
    switch (a.expect) {
      case Expect::Forbidden403Empty:
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(r.body, "");
        EXPECT_FALSE(r.has("content-type"));
        EXPECT_FALSE(r.has("cache-control"));
        break;
      case Expect::Forbidden403Json:
        EXPECT_EQ(r.status, 403);
        EXPECT_EQ(r.body, "{\"error\":\"forbidden\"}");
        EXPECT_EQ(r.header("content-type"), "application/json");
        EXPECT_FALSE(r.has("cache-control"));
        break;
      case Expect::NotFound404:
        EXPECT_EQ(r.status, 404);
        EXPECT_EQ(r.body, "");
        break;
      case Expect::Ok200:
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.header("cache-control"), "no-store");
        EXPECT_TRUE(parse_json(r.body).has_value()) << r.body;
        break;
      case Expect::Error500:
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(r.body, "");
        break;
      case Expect::TooLarge413:
        EXPECT_EQ(r.status, 413);
        break;
    }
    EXPECT_TRUE(snapshot() == before);
  }
  // The page itself still answers, so the refusals above were the guard's doing.
  EXPECT_EQ(call("GET", "/").status, 200);
  EXPECT_EQ(call("GET", "/api/state").status, 200);
  EXPECT_TRUE(snapshot() == before);
}

TEST_F(ApiSecurity, UnknownQuarantineActionAndDotDotIdAnswerWithinTheReply) {
  EXPECT_EQ(json_of(call("POST", "/api/quarantine/0123/explode")), (Json{{"ok", false}, {"error", "Unknown action"}}));
  const Json dotdot = json_of(call("POST", "/api/quarantine/../restore"));
  EXPECT_EQ(dotdot.value("ok", true), false);
}

TEST_F(ApiSecurity, ConcurrentScanStartsShareOneJob) {
  // A full scan walks the whole machine, so it is still running while every
  // start below arrives; it is cancelled at the end.
  constexpr int kClients = 8;
  std::vector<std::string> ids(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { ids[i] = json_of(call("POST", "/api/scan", "{\"type\":\"full\"}")).value("id", ""); });
  }
  for (auto& t : clients) t.join();
  const Json job = json_of(call("GET", "/api/scan"));
  EXPECT_EQ(call("POST", "/api/scan/cancel").status, 200);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
  EXPECT_EQ(ids[0].size(), 16u);
  EXPECT_EQ(job.value("id", ""), ids[0]);
  for (int i = 0; i < 200 && controller_->scan_status().value("state", "") == "scanning"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(controller_->scan_status().value("state", ""), "cancelled");
  // After the cancel, a new start gets a new job.
  const std::string next = json_of(call("POST", "/api/scan", "{\"type\":\"custom\",\"paths\":[]}")).value("id", "");
  EXPECT_NE(next, ids[0]);
  EXPECT_EQ(next.size(), 16u);
}

TEST_F(ApiSecurity, TokensAndPortsDifferBetweenServers) {
  std::atomic<bool> quit{false};
  ApiServer other(*controller_, quit);
  ASSERT_TRUE(other.start("127.0.0.1"));
  EXPECT_NE(other.token(), server_->token());
  EXPECT_NE(other.port(), server_->port());
  EXPECT_EQ(server_->token().size(), 48u);
  EXPECT_EQ(server_->token().find_first_not_of("0123456789abcdef"), std::string::npos);
  // One server's token opens nothing on the other.
  const auto r = test::send_raw(other.port(), test::make_request("GET", "/api/state", "127.0.0.1:" + std::to_string(other.port()),
                                                                 "X-AV-Token: " + server_->token() + "\r\n"));
  EXPECT_EQ(r.status, 403);
  other.stop();
}

}  // namespace
