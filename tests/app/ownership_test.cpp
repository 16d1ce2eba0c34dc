// Two protection processes on one data directory, with the maintenance loop's
// timings shortened through the test copy of the program.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "av/signature_db.h"
#include "platform/file_system.h"
#include "platform/json_text.h"
#include "platform/random.h"
#include "platform/sha256.h"
#include "support/test_support.h"

namespace {

const char* const kTimings = "KAV_TEST_TIMINGS=pass=100,claim=600,heartbeat=300,fresh=2500,day=2500,week=5000";

class Ownership : public ::testing::Test {
 protected:
  void SetUp() override {
    data.write("settings.json", Json{{"realtime", true}, {"watch_paths", {watched.path()}}, {"schedule", "off"}}.dump());
  }
  std::vector<std::string> env() const {
    return {"AV_DATA_DIR=" + data.path(), "HOME=" + home.path(), "TMPDIR=" + home.path(), kTimings};
  }
  Json heartbeat() const {
    const auto j = parse_json(read_whole_file(data.file("rt_status.json")));
    return j ? *j : Json();
  }
  // Waits until the heartbeat satisfies `ok`.
  template <typename F>
  bool wait_for(F ok, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (ok(heartbeat())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  test::TempDir data, watched, home;
};

TEST_F(Ownership, OneOwnerTheOtherWaitsAndTakesOverAfterAKill) {
  test::Child first({KAV_SEAMED_EXE, "--service"}, env());
  std::string line;
  ASSERT_TRUE(first.read_line(line, 20000));
  EXPECT_EQ(line.rfind("Keltharon Antivirus protection service running (", 0), 0u) << line;
  EXPECT_EQ(line.find("waiting"), std::string::npos) << line;
  ASSERT_TRUE(wait_for([&](const Json& h) { return h.is_object() && h["pid"] == first.pid(); }, 10000));
  const Json owner_beat = heartbeat();
  EXPECT_EQ(owner_beat["background"], true);
  EXPECT_EQ(owner_beat["owner"], "self");
  EXPECT_EQ(owner_beat["realtime"], true);

  test::Child second({KAV_SEAMED_EXE, "--service"}, env());
  ASSERT_TRUE(second.read_line(line, 20000));
  // The waiting process shows the owner's mode from its heartbeat.
  EXPECT_EQ(line, "Keltharon Antivirus protection service running (" + owner_beat["mode"].get<std::string>() +
                      ", waiting for the app to hand over).");
  // While the first lives, it keeps writing the heartbeat and the second never takes over.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(heartbeat()["pid"], first.pid());

  first.signal(SIGKILL);
  EXPECT_EQ(first.wait(5000), 128 + SIGKILL);
  ASSERT_TRUE(wait_for([&](const Json& h) { return h.is_object() && h["pid"] == second.pid(); }, 10000))
      << "the waiting process did not take over";
  EXPECT_EQ(heartbeat()["realtime"], true);

  second.signal(SIGTERM);
  EXPECT_EQ(second.wait(10000), 0);
  const Json last = heartbeat();
  EXPECT_EQ(last["pid"], second.pid());
  EXPECT_EQ(last["realtime"], false) << "the last heartbeat reports protection off";
}

TEST_F(Ownership, InterruptStopsTheServiceCleanly) {
  test::Child service({KAV_SEAMED_EXE, "--service"}, env());
  std::string line;
  ASSERT_TRUE(service.read_line(line, 20000));
  service.signal(SIGINT);
  EXPECT_EQ(service.wait(10000), 0);
  EXPECT_EQ(heartbeat()["realtime"], false);
}

TEST_F(Ownership, ScheduledScansRunOnceAPeriodInTheOwnerOnly) {
  // A test file in the temporary folder, which scheduled scans cover.
  home.write("planted/eicar.com", test::eicar());
  data.write("settings.json",
             Json{{"realtime", false}, {"schedule", "daily"}, {"last_scheduled_scan", 0}, {"auto_quarantine", true}}.dump());
  test::Child a({KAV_SEAMED_EXE, "--service"}, env());
  std::string line;
  ASSERT_TRUE(a.read_line(line, 20000));
  test::Child b({KAV_SEAMED_EXE, "--service"}, env());
  ASSERT_TRUE(b.read_line(line, 20000));
  EXPECT_NE(line.find("waiting"), std::string::npos);
  // The first pass sets the baseline; a "day" (2.5 s here) later the scan runs.
  std::vector<std::int64_t> marks;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(7000);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto s = parse_json(read_whole_file(data.file("settings.json")));
    if (s && s->contains("last_scheduled_scan") && (*s)["last_scheduled_scan"].is_number_integer()) {
      const std::int64_t v = (*s)["last_scheduled_scan"].get<std::int64_t>();
      if (v != 0 && (marks.empty() || marks.back() != v)) marks.push_back(v);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(marks.size(), 2u) << "baseline and at least one scheduled scan";
  for (std::size_t i = 1; i < marks.size(); ++i) EXPECT_GE(marks[i] - marks[i - 1], 2500) << "two runs in one period";
  // The planted file was quarantined by exactly one scan.
  EXPECT_FALSE(path_exists(home.file("planted/eicar.com")));
  const auto index = parse_json(read_whole_file(data.file("quarantine/index.json")));
  ASSERT_TRUE(index.has_value());
  const Json items = index->is_array() ? *index : (*index).value("items", Json::array());
  EXPECT_EQ(items.size(), 1u) << index->dump();
  const Json beat = heartbeat();
  ASSERT_TRUE(beat.is_object());
  EXPECT_EQ(beat["pid"], a.pid());
  ASSERT_FALSE(beat["recent"].empty());
  EXPECT_EQ(beat["recent"][0]["quarantined"], true);
  a.signal(SIGTERM);
  b.signal(SIGTERM);
  EXPECT_EQ(a.wait(10000), 0);
  EXPECT_EQ(b.wait(10000), 0);
}

}  // namespace

namespace {

// Waits for `ok` for at most `ms`.
template <typename F>
bool eventually(F ok, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ok()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Reads lines until one contains `text`.
bool read_until(test::Child& child, const std::string& text, int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::string line;
  while (std::chrono::steady_clock::now() < deadline)
    if (child.read_line(line, 200) && line.find(text) != std::string::npos) return true;
  return false;
}

TEST_F(Ownership, ReplacedFilesArePickedUpAndBrokenOnesChangeNothing) {
  test::Child service({KAV_SEAMED_EXE, "--service"}, env());
  std::string line;
  ASSERT_TRUE(service.read_line(line, 20000));
  ASSERT_TRUE(wait_for([&](const Json& h) { return h.is_object() && h["realtime"] == true; }, 10000));

  // A newer feed naming a sample the shipped feed does not know.
  const std::string sample = "sample known only to the replacement feed " + random_hex(8);
  const Digest d = sha256(ByteSpan(reinterpret_cast<const std::uint8_t*>(sample.data()), sample.size()));
  ASSERT_TRUE(write_file_atomic(data.file("signatures.avsg"),
                                av::encode_signature_feed(4000000000ULL, {{d, "Replacement-Feed-Sample"}})));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // several maintenance passes
  watched.write("one.bin", sample);
  EXPECT_TRUE(eventually([&] { return !path_exists(watched.file("one.bin")); }, 6000))
      << "the replaced feed was not picked up";

  // A damaged replacement is reported and the loaded feed stays in use.
  ASSERT_TRUE(write_file_atomic(data.file("signatures.avsg"), std::string("AVSG1 but not really a feed")));
  EXPECT_TRUE(read_until(service, "The changed signature file could not be used", 5000));
  watched.write("two.bin", sample);
  EXPECT_TRUE(eventually([&] { return !path_exists(watched.file("two.bin")); }, 6000))
      << "a damaged feed replaced the loaded one";

  // An edited settings file applies: protection off.
  Json s = *parse_json(read_whole_file(data.file("settings.json")));
  s["realtime"] = false;
  ASSERT_TRUE(write_file_atomic(data.file("settings.json"), s.dump()));
  EXPECT_TRUE(wait_for([&](const Json& h) { return h.is_object() && h["realtime"] == false; }, 5000));
  s["realtime"] = true;
  ASSERT_TRUE(write_file_atomic(data.file("settings.json"), s.dump()));
  EXPECT_TRUE(wait_for([&](const Json& h) { return h.is_object() && h["realtime"] == true; }, 5000));

  // A broken one is reported and changes nothing.
  ASSERT_TRUE(write_file_atomic(data.file("settings.json"), std::string("{\"realtime\": fal")));
  EXPECT_TRUE(read_until(service, "Your settings file contains invalid JSON", 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(heartbeat()["realtime"], true);
  EXPECT_EQ(read_whole_file(data.file("settings.json")), "{\"realtime\": fal") << "the broken file is left for repair";

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(10000), 0);
}

}  // namespace
