#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/data_directory.h"
#include "platform/clock.h"
#include "platform/curl_client.h"
#include "platform/process_runner.h"
#include "support/feed_server.h"
#include "support/test_support.h"

namespace {

const std::string kUrl = "https://updates.keltharon.example/antivirus/signatures.avsg";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

class CurlDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.write_curl_wrapper(curl_); }
  CurlOutcome download(const std::string& destination, std::uint64_t max_bytes = 0, int seconds = 20) {
    CurlDownload r;
    r.curl = curl_;
    r.url = kUrl;
    r.destination = destination;
    r.time_limit_seconds = seconds;
    r.max_bytes = max_bytes;
    return curl_download(r);
  }

  test::FeedServer server_;
  test::TempDir dir_;
  std::string curl_ = dir_.file("bin/curl");
};

TEST_F(CurlDownloadTest, RunsTheFixedCommandLineAndRenamesTheBodyIntoPlace) {
  server_.set_mode("serve");
  server_.set_body("feed body\n");
  const std::string dest = dir_.file("deep/er/feed.bin");  // missing folders are created
  const CurlOutcome got = download(dest);
  EXPECT_EQ(got.status, 200);
  EXPECT_EQ(got.exit_code, 0);
  EXPECT_TRUE(got.replaced);
  EXPECT_EQ(read_whole_file(dest), "feed body\n");
  EXPECT_FALSE(path_exists(dest + ".part"));
  const std::vector<std::string> expected = {"-sS", "-L", "--fail", "--max-time", "20", "-A", "KeltharonAntivirus/1.0.14",
                                             "-o", dest + ".part", "-w", "%{http_code}", kUrl};
  EXPECT_EQ(lines_of(read_whole_file(curl_ + ".args")), expected);
  EXPECT_NE(server_.requests().find("User-Agent: KeltharonAntivirus/1.0.14"), std::string::npos) << server_.requests();
}

TEST_F(CurlDownloadTest, FailuresNeverTouchTheDestinationNorLeaveThePartFile) {
  const std::string body(200000, 'f');
  server_.set_body(body);
  struct Case {
    const char* mode;
    int status;        // what the download reports
    bool too_large;
    int seconds;
  } cases[] = {
      {"status 404", 404, false, 20},
      {"status 500", 500, false, 20},
      {"truncated", 200, false, 20},   // a 2xx whose body was cut short
      {"stall-body", 200, false, 2},   // curl's time limit ends the body
      {"stall-head", 0, false, 2},     // no response at all
      {"endless", 0, true, 20},        // stopped as soon as it outgrows the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::string dest = dir_.file("feed.bin");
    test::TempDir scratch;
    ASSERT_TRUE(write_file_atomic(dest, std::string("old")));
    server_.set_mode(c.mode);
    const std::int64_t t0 = monotonic_ms();
    const CurlOutcome got = download(dest, 1 << 20, c.seconds);
    EXPECT_LT(monotonic_ms() - t0, 10000);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.too_large, c.too_large);
    EXPECT_FALSE(got.replaced);
    EXPECT_NE(got.exit_code, 0);
    EXPECT_EQ(read_whole_file(dest), "old");
    EXPECT_FALSE(path_exists(dest + ".part"));
  }
}

TEST(CurlDownload, AMissingCurlOrNoServerYieldsZeroAndNoFiles) {
  test::TempDir dir;
  const std::string dest = dir.file("x.bin");
  ASSERT_TRUE(write_file_atomic(dest + ".part", std::string("stale")));
  CurlDownload r;
  r.curl = dir.file("no/such/curl");
  r.url = kUrl;
  r.destination = dest;
  const CurlOutcome got = curl_download(r);
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.exit_code, kProcessNotStarted);
  EXPECT_FALSE(path_exists(dest + ".part"));
  EXPECT_FALSE(path_exists(dest));

  // The plain form with the system's curl: nothing listens on port 1 of the
  // loopback address, so there is no response.
  ASSERT_TRUE(write_file_atomic(dest, std::string("old")));
  EXPECT_EQ(curl_download("https://127.0.0.1:1/antivirus/signatures.avsg", dest, 5), 0);
  EXPECT_EQ(read_whole_file(dest), "old");
  EXPECT_FALSE(path_exists(dest + ".part"));
}

TEST(ParseHttpStatus, ReadsLeadingDigitsOnly) {
  const std::pair<const char*, int> cases[] = {{"200", 200}, {"404", 404}, {"000", 0}, {"", 0},
                                               {"abc", 0},   {"302x", 302}, {" 200", 0}, {"99999999999", 0}};
  for (const auto& [text, status] : cases) EXPECT_EQ(parse_http_status(text), status) << text;
}

TEST(FindTool, PrefersTheProgramFolderThenItsToolsFolder) {
  test::TempDir base;
  const auto make = [&](const std::string& name, mode_t mode) {
    const std::string p = base.write(name, "#!/bin/sh\n");
    ::chmod(p.c_str(), mode);
    return p;
  };
  EXPECT_EQ(find_tool("curl", base.path()), "");
  const std::string in_tools = make("tools/curl", 0755);
  EXPECT_EQ(find_tool("curl", base.path()), in_tools);
  const std::string beside = make("curl", 0755);
  EXPECT_EQ(find_tool("curl", base.path()), beside);
  // A file that cannot be run, or a folder of that name, is passed over.
  ::chmod(beside.c_str(), 0644);
  EXPECT_EQ(find_tool("curl", base.path()), in_tools);
  ::unlink(in_tools.c_str());
  create_directories(base.file("tools/curl"));
  EXPECT_EQ(find_tool("curl", base.path()), "");
  // Links are followed.
  test::TempDir elsewhere;
  const std::string target = elsewhere.write("real-curl", "#!/bin/sh\n");
  ::chmod(target.c_str(), 0755);
  ::unlink(beside.c_str());
  ASSERT_EQ(::symlink(target.c_str(), beside.c_str()), 0);
  EXPECT_EQ(find_tool("curl", base.path()), beside);
}

TEST(FindCurl, UsesTheSystemCurlWhenNoneIsBesideTheProgram) {
  ASSERT_EQ(find_tool("curl"), "") << "a curl sits beside the test program";
  FileStatus st;
  EXPECT_EQ(find_curl(), file_status("/usr/bin/curl", st) ? "/usr/bin/curl" : file_status("/bin/curl", st) ? "/bin/curl" : "curl");
}

}  // namespace
