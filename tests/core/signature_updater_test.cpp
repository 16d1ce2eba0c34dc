#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "av/signature_db.h"
#include "core/signature_updater.h"
#include "platform/clock.h"
#include "platform/sha256.h"
#include "support/feed_server.h"
#include "support/test_support.h"

namespace {

// A valid feed of `version` with `entries` signatures.
std::string feed(std::uint64_t version, int entries = 3) {
  std::vector<av::FeedEntry> list;
  for (int i = 0; i < entries; ++i) {
    const std::string seed = "sample " + std::to_string(version) + "/" + std::to_string(i);
    list.push_back({sha256(ByteSpan(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size())),
                    "Test-Signature-" + std::to_string(i % 7)});
  }
  return av::encode_signature_feed(version, std::move(list));
}

// The same feed with its first two entry records swapped, so its keys are out of order.
std::string unsorted_feed() {
  std::string f = feed(30, 2);
  const std::size_t first = f.size() - 24;  // the two 12-byte entry records end the file
  const std::string a = f.substr(first, 12), b = f.substr(first + 12, 12);
  f.replace(first, 12, b);
  f.replace(first + 12, 12, a);
  return f;
}

class SignatureUpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.write_curl_wrapper(curl_);
    config_.data_dir = dir_.file("data");
    config_.shipped_dir = dir_.file("program");
    create_directories(config_.data_dir);
    create_directories(config_.shipped_dir);
    config_.url = signature_feed_url();
    config_.curl = curl_;
    config_.time_limit_seconds = 20;
  }
  std::string live_file() const { return config_.data_dir + "/signatures.avsg"; }
  void expect_no_leftovers() const {
    EXPECT_FALSE(path_exists(live_file() + ".new"));
    EXPECT_FALSE(path_exists(live_file() + ".new.part"));
  }

  test::FeedServer server_;
  test::TempDir dir_;
  std::string curl_ = dir_.file("bin/curl");
  UpdaterConfig config_;
};

TEST_F(SignatureUpdaterTest, InstallsAValidDownloadAndLoadsIt) {
  const std::string old_feed = feed(10), new_feed = feed(20, 50);
  ASSERT_TRUE(write_file_atomic(live_file(), old_feed));
  SignatureUpdater updater(config_);
  av::SignatureDB live;
  ASSERT_TRUE(updater.reload(live));
  EXPECT_EQ(live.version(), 10u);

  server_.set_mode("serve");
  server_.set_body(new_feed);
  EXPECT_EQ(updater.update(live), "");
  EXPECT_EQ(live.version(), 20u);
  EXPECT_EQ(live.count(), 50u);
  EXPECT_EQ(read_whole_file(live_file()), new_feed);
  expect_no_leftovers();
  EXPECT_NE(server_.requests().find("GET /antivirus/signatures.avsg HTTP/1.1"), std::string::npos);
}

TEST_F(SignatureUpdaterTest, EveryBadDownloadKeepsTheInstalledFeed) {
  const std::string installed = feed(10);
  std::string bad_magic = feed(40);
  bad_magic[0] = 'X';
  const std::string valid = feed(50);
  struct Case {
    std::string name, mode, body;
    std::string message;
    int seconds;
    std::string curl;  // replaces the wrapper when set
  } cases[] = {
      {"404", "status 404", valid, "Couldn't download updates (HTTP 404).", 20, ""},
      {"500", "status 500", valid, "Couldn't download updates (HTTP 500).", 20, ""},
      {"html page", "html", valid, kInvalidUpdateMessage, 20, ""},
      {"truncated feed", "serve", valid.substr(0, valid.size() - 5), kInvalidUpdateMessage, 20, ""},
      {"dropped mid-transfer", "truncated", valid, kInvalidUpdateMessage, 20, ""},
      {"bad magic", "serve", bad_magic, kInvalidUpdateMessage, 20, ""},
      {"unsorted keys", "serve", unsorted_feed(), kInvalidUpdateMessage, 20, ""},
      {"empty body", "serve", "", kInvalidUpdateMessage, 20, ""},
      {"huge body", "endless", valid, kInvalidUpdateMessage, 20, ""},
      {"stalled before answering", "stall-head", valid, "Couldn't download updates (HTTP 0).", 2, ""},
      {"stalled mid-body", "stall-body", valid, kInvalidUpdateMessage, 2, ""},
      {"curl missing", "serve", valid, "Couldn't download updates (HTTP 0).", 20, "/nonexistent/curl"},
  };
  {
    const std::string unsorted = unsorted_feed();
    av::SignatureDB::Data parsed;
    std::string why;
    EXPECT_FALSE(av::parse_signature_feed(ByteSpan(reinterpret_cast<const std::uint8_t*>(unsorted.data()), unsorted.size()),
                                          parsed, why));
    EXPECT_EQ(why, "entries not sorted");  // the fixture is wrong only in its order
  }
  ASSERT_TRUE(write_file_atomic(live_file(), installed));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdaterConfig config = config_;
    config.time_limit_seconds = c.seconds;
    config.max_bytes = 1 << 20;
    if (!c.curl.empty()) config.curl = c.curl;
    SignatureUpdater updater(config);
    av::SignatureDB live;
    ASSERT_TRUE(updater.reload(live));
    server_.set_mode(c.mode);
    server_.set_body(c.body);
    const std::int64_t t0 = monotonic_ms();
    EXPECT_EQ(updater.update(live), c.message);
    EXPECT_LT(monotonic_ms() - t0, 10000);
    EXPECT_EQ(live.version(), 10u);
    EXPECT_EQ(read_whole_file(live_file()), installed);
    expect_no_leftovers();
  }
}

TEST_F(SignatureUpdaterTest, LeftoversOfAnEarlierRunAreNeverInstalled) {
  const std::string installed = feed(10);
  ASSERT_TRUE(write_file_atomic(live_file(), installed));
  // A run that died after its download: a complete, valid ".new" is left.
  ASSERT_TRUE(write_file_atomic(live_file() + ".new", feed(99)));
  ASSERT_TRUE(write_file_atomic(live_file() + ".new.part", feed(98)));
  server_.set_mode("truncated");  // this run's download fails after its 200
  server_.set_body(feed(60, 200));
  SignatureUpdater updater(config_);
  av::SignatureDB live;
  EXPECT_EQ(updater.update(live), kInvalidUpdateMessage);
  EXPECT_EQ(live.version(), 0u);
  EXPECT_EQ(read_whole_file(live_file()), installed);
  expect_no_leftovers();
}

TEST_F(SignatureUpdaterTest, TheNewerOfTheShippedAndTheDownloadedFeedIsLoaded) {
  ASSERT_TRUE(write_file_atomic(config_.shipped_dir + "/signatures.avsg", feed(5)));
  ASSERT_TRUE(write_file_atomic(live_file(), feed(4)));
  SignatureUpdater updater(config_);
  av::SignatureDB live;
  ASSERT_TRUE(updater.reload(live));
  EXPECT_EQ(live.version(), 5u);

  server_.set_mode("serve");
  server_.set_body(feed(6));
  EXPECT_EQ(updater.update(live), "");
  EXPECT_EQ(live.version(), 6u);

  // A download older than the shipped feed is installed, but the shipped feed
  // stays in use, as it would after a restart.
  server_.set_body(feed(3));
  EXPECT_EQ(updater.update(live), "");
  EXPECT_EQ(read_whole_file(live_file()), feed(3));
  EXPECT_EQ(live.version(), 5u);

  // Equal versions: the data directory's copy wins.
  const std::string same_version = feed(5, 9);
  server_.set_body(same_version);
  EXPECT_EQ(updater.update(live), "");
  EXPECT_EQ(live.count(), 9u);
}

TEST(LoadNewestSignatures, PassesOverFilesThatDoNotLoad) {
  test::TempDir dir;
  av::SignatureDB live;
  EXPECT_FALSE(load_newest_signatures(live, {dir.file("missing"), dir.write("junk", "not a feed")}));
  EXPECT_EQ(live.version(), 0u);
  const std::string a = dir.write("a", feed(7)), b = dir.write("b", feed(8)), c = dir.write("c", feed(8, 5));
  EXPECT_TRUE(load_newest_signatures(live, {dir.file("junk"), a, b, c}));
  EXPECT_EQ(live.version(), 8u);
  EXPECT_EQ(live.count(), 3u);  // b: the later c does not replace it on an equal version
  EXPECT_FALSE(load_newest_signatures(live, {dir.file("junk")}));
  EXPECT_EQ(live.version(), 8u);  // a failed choice keeps what was loaded
}

TEST_F(SignatureUpdaterTest, ConcurrentUpdatesRunOneAfterTheOtherWithTheirOwnOutcome) {
  ASSERT_TRUE(write_file_atomic(live_file(), feed(10)));
  server_.set_mode("serve");
  server_.set_body(feed(20, 2000));
  server_.queue_modes("status 404\n");  // whichever asks first gets the 404
  SignatureUpdater updater(config_);
  av::SignatureDB live;
  std::string first, second;
  std::thread a([&] { first = updater.update(live); });
  std::thread b([&] { second = updater.update(live); });
  a.join();
  b.join();
  std::vector<std::string> outcomes = {first, second};
  std::sort(outcomes.begin(), outcomes.end());
  EXPECT_EQ(outcomes, (std::vector<std::string>{"", "Couldn't download updates (HTTP 404)."}));
  EXPECT_EQ(live.version(), 20u);
  EXPECT_EQ(read_whole_file(live_file()), feed(20, 2000));
  expect_no_leftovers();
}

TEST_F(SignatureUpdaterTest, AFullDiskKeepsTheInstalledFeed) {
  const std::string small_disk = dir_.file("small");
  create_directories(small_disk);
  if (::mount("tmpfs", small_disk.c_str(), "tmpfs", 0, "size=128k") != 0) {
    GTEST_SKIP() << "a small tmpfs cannot be mounted here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small_disk};
  config_.data_dir = small_disk;
  const std::string installed = feed(10);
  ASSERT_TRUE(write_file_atomic(live_file(), installed));
  server_.set_mode("serve");
  server_.set_body(feed(20, 40000));  // about 480 KiB, more than the disk holds
  SignatureUpdater updater(config_);
  av::SignatureDB live;
  EXPECT_EQ(updater.update(live), kInvalidUpdateMessage);
  EXPECT_EQ(read_whole_file(live_file()), installed);
  expect_no_leftovers();
}

TEST(SignatureFeedUrl, IsTheSiteFollowedByTheFeedPath) {
  EXPECT_EQ(signature_feed_url(), "https://updates.keltharon.example/antivirus/signatures.avsg");
  EXPECT_EQ(download_failed_message(0), "Couldn't download updates (HTTP 0).");
  EXPECT_EQ(download_failed_message(503), "Couldn't download updates (HTTP 503).");
}

TEST(AutoUpdateSchedule, FirstAfterTwoMinutesThenEverySixHoursAfterEachAttempt) {
  AutoUpdateSchedule s;
  const std::int64_t t0 = 5000000;
  s.start(t0);
  EXPECT_FALSE(s.due(t0));
  EXPECT_FALSE(s.due(t0 + 120000));      // "more than" two minutes
  EXPECT_TRUE(s.due(t0 + 120001));
  EXPECT_TRUE(s.due(t0 + 86400000));     // still due until an attempt is noted
  const std::int64_t first = t0 + 130000;
  s.note_attempt(first);
  EXPECT_FALSE(s.due(first + 1));
  EXPECT_FALSE(s.due(first + 21600000));
  EXPECT_TRUE(s.due(first + 21600001));
  const std::int64_t second = first + 25000000;  // a late pass
  s.note_attempt(second);
  EXPECT_FALSE(s.due(second + 21600000));         // six hours from the attempt, not from the schedule
  EXPECT_TRUE(s.due(second + 21600001));
  s.start(second);                                // a new run starts over
  EXPECT_FALSE(s.due(second + 120000));
  EXPECT_TRUE(s.due(second + 120001));
}

}  // namespace
