// Two protection processes on one data directory, with the maintenance loop's
// timings shortened through the test copy of the program.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/json_text.h"
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
