// The program in --browser mode as a child process: what it prints, the
// address it hands to the opener, and how each way of quitting ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "api/raw_http.h"
#include "platform/file_system.h"
#include "support/test_support.h"

namespace {

struct BrowserRun {
  test::TempDir home, data, bin;
  std::string opened = bin.file("opened.txt");
  std::string descriptors = bin.file("descriptors.txt");
  std::unique_ptr<test::Child> child;
  std::string address;
  int port = 0;
  std::string token;

  // Starts the program and reads its two lines; the stand-in opener must
  // have been handed the same address.
  void start() {
    // The opener also notes the descriptors it was handed.
    bin.write("xdg-open", "#!/bin/sh\nls -l /proc/$$/fd > '" + descriptors + "'\nprintf '%s\\n' \"$1\" >> '" + opened + "'\n");
    ASSERT_EQ(::chmod(bin.file("xdg-open").c_str(), 0755), 0);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    child = std::make_unique<test::Child>(std::vector<std::string>{KAV_EXE, "--browser"},
                                          std::vector<std::string>{"AV_DATA_DIR=" + data.path(), "HOME=" + home.path(),
                                                                   "PATH=" + bin.path() + ":" + path});
    std::string line;
    ASSERT_TRUE(child->read_line(line, 30000));
    const std::string prefix = "Keltharon Antivirus is running at ";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    address = line.substr(prefix.size());
    ASSERT_TRUE(child->read_line(line, 5000));
    EXPECT_EQ(line, "Press Ctrl+C to quit.");
    const std::string head = "http://127.0.0.1:";
    ASSERT_EQ(address.rfind(head, 0), 0u);
    port = std::atoi(address.c_str() + head.size());
    const auto t = address.find("/?t=");
    ASSERT_NE(t, std::string::npos);
    token = address.substr(t + 4);
    EXPECT_EQ(address, head + std::to_string(port) + "/?t=" + token);
    EXPECT_EQ(token.size(), 48u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    std::string seen;
    for (int i = 0; i < 100 && seen.empty(); ++i) {
      seen = read_whole_file(to_native(opened));
      if (seen.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(seen, address + "\n");
    // A browser started by the opener must not hold this process's pipes or sockets.
    const std::string fds = read_whole_file(to_native(descriptors));
    EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("pipe:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
  }
  test::HttpReply post(const std::string& target, const std::string& tok) {
    return test::send_raw(port, test::make_request("POST", target, "127.0.0.1:" + std::to_string(port),
                                                   "X-AV-Token: " + tok + "\r\n"));
  }
};

TEST(BrowserMode, QuitRouteEndsTheRunWithStatusZero) {
  BrowserRun run;
  ASSERT_NO_FATAL_FAILURE(run.start());
  // A wrong token is refused and the program keeps running.
  std::string wrong = run.token;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  EXPECT_EQ(run.post("/api/quit", wrong).status, 403);
  EXPECT_EQ(run.child->wait(500), -1);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run.post("/api/quit", run.token).body, "{\"ok\":true}");
  EXPECT_EQ(run.child->wait(5000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  // The port is closed with the run.
  EXPECT_EQ(test::send_raw(run.port, test::make_request("GET", "/", "127.0.0.1:" + std::to_string(run.port))).status, 0);
}

TEST(BrowserMode, InterruptAndTerminationEndTheRunWithStatusZero) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    BrowserRun run;
    ASSERT_NO_FATAL_FAILURE(run.start());
    run.child->signal(sig);
    EXPECT_EQ(run.child->wait(5000), 0);
  }
}

TEST(BrowserMode, EachRunHasItsOwnAddress) {
  BrowserRun first, second;
  ASSERT_NO_FATAL_FAILURE(first.start());
  ASSERT_NO_FATAL_FAILURE(second.start());
  EXPECT_NE(first.address, second.address);
  EXPECT_NE(first.token, second.token);
  // The first run's token opens nothing on the second.
  EXPECT_EQ(second.post("/api/quit", first.token).status, 403);
  first.child->signal(SIGTERM);
  second.child->signal(SIGTERM);
  EXPECT_EQ(first.child->wait(5000), 0);
  EXPECT_EQ(second.child->wait(5000), 0);
}

}  // namespace
