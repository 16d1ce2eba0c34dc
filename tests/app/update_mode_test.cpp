// `--update` of a copy of the program whose tools folder holds a curl wrapper
// that sends the update host to a local HTTPS server; the program itself runs
// unchanged, with its real feed address and command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "av/signature_db.h"
#include "platform/sha256.h"
#include "support/feed_server.h"
#include "support/test_support.h"

namespace {

std::string feed(std::uint64_t version, int entries = 3) {
  std::vector<av::FeedEntry> list;
  for (int i = 0; i < entries; ++i) {
    const std::string seed = "cli sample " + std::to_string(version) + "/" + std::to_string(i);
    list.push_back({sha256(ByteSpan(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size())), "Cli-Test"});
  }
  return av::encode_signature_feed(version, std::move(list));
}

class UpdateMode : public ::testing::Test {
 protected:
  void SetUp() override {
    create_directories(dir_.file("program"));
    std::filesystem::copy_file(KAV_EXE, exe_);
    create_directories(data_);
  }
  test::RunResult update(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {exe_, "--update"};
    args.insert(args.end(), extra.begin(), extra.end());
    return test::run(args, {"AV_DATA_DIR=" + data_, "HOME=" + dir_.path()}, 60000);
  }
  std::string live() const { return data_ + "/signatures.avsg"; }
  void expect_no_leftovers() const {
    EXPECT_FALSE(path_exists(live() + ".new"));
    EXPECT_FALSE(path_exists(live() + ".new.part"));
  }

  test::FeedServer server_;
  test::TempDir dir_;
  std::string exe_ = dir_.file("program/keltharon-antivirus");
  std::string curl_ = dir_.file("program/tools/curl");
  std::string data_ = dir_.file("data");
};

TEST_F(UpdateMode, InstallsANewerFeedFromTheServer) {
  server_.write_curl_wrapper(curl_);
  ASSERT_TRUE(write_file_atomic(live(), feed(10)));
  server_.set_mode("serve");
  server_.set_body(feed(20, 40));
  const test::RunResult r = update();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Signatures updated.\n");
  EXPECT_EQ(read_whole_file(live()), feed(20, 40));
  expect_no_leftovers();
  // The program found the curl in its tools folder and gave it the fixed command line.
  EXPECT_EQ(read_whole_file(curl_ + ".args"),
            "-sS\n-L\n--fail\n--max-time\n600\n-A\nKeltharonAntivirus/1.0.14\n-o\n" + live() +
                ".new.part\n-w\n%{http_code}\nhttps://updates.keltharon.example/antivirus/signatures.avsg\n");
}

TEST_F(UpdateMode, ACurlBesideTheProgramComesBeforeTheToolsFolder) {
  server_.write_curl_wrapper(curl_);
  const std::string beside = dir_.file("program/curl");
  server_.write_curl_wrapper(beside);
  server_.set_mode("serve");
  server_.set_body(feed(21));
  const test::RunResult r = update();
  EXPECT_EQ(r.out, "Signatures updated.\n");
  EXPECT_TRUE(path_exists(beside + ".args"));
  EXPECT_FALSE(path_exists(curl_ + ".args"));
}

TEST_F(UpdateMode, EveryBadDownloadPrintsItsMessageAndKeepsTheOldFeed) {
  // The wrapper shortens curl's time limit so the stalls end within seconds.
  server_.write_curl_wrapper(curl_, "--max-time 2");
  const std::string installed = feed(10);
  ASSERT_TRUE(write_file_atomic(live(), installed));
  const std::string valid = feed(30);
  std::string bad_magic = valid;
  bad_magic.replace(0, 5, "AVSG2");
  std::string unsorted = feed(31, 2);
  const std::string a = unsorted.substr(unsorted.size() - 24, 12), b = unsorted.substr(unsorted.size() - 12);
  unsorted.replace(unsorted.size() - 24, 24, b + a);
  const struct {
    const char* mode;
    std::string body, out;
  } cases[] = {
      {"status 404", valid, "Couldn't download updates (HTTP 404).\n"},
      {"status 500", valid, "Couldn't download updates (HTTP 500).\n"},
      {"html", valid, "The downloaded update was invalid.\n"},
      {"serve", valid.substr(0, valid.size() / 2), "The downloaded update was invalid.\n"},
      {"truncated", valid, "The downloaded update was invalid.\n"},
      {"serve", bad_magic, "The downloaded update was invalid.\n"},
      {"serve", unsorted, "The downloaded update was invalid.\n"},
      {"stall-head", valid, "Couldn't download updates (HTTP 0).\n"},
      {"stall-body", valid, "The downloaded update was invalid.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + ", " + std::to_string(c.body.size()) + " bytes");
    server_.set_mode(c.mode);
    server_.set_body(c.body);
    const test::RunResult r = update();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(read_whole_file(live()), installed);
    expect_no_leftovers();
  }
}

TEST_F(UpdateMode, WinsOverAScan) {
  server_.write_curl_wrapper(curl_);
  server_.set_mode("status 404");
  const std::string sample = dir_.write("sample.txt", test::eicar());
  const test::RunResult r = update({"--scan", sample});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Couldn't download updates (HTTP 404).\n");
}

}  // namespace
