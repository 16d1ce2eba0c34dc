// The controller's side of real-time protection: the watcher it owns, the
// detections it records, and the protection state built from them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "api/state_document.h"
#include "av/realtime.h"
#include "core/protection_controller.h"
#include "support/test_support.h"

namespace {

// Keeps the controller's data directory out of the user's own.
const test::TempDir& data_folder() {
  static const test::TempDir dir;
  setenv("AV_DATA_DIR", dir.path().c_str(), 0);
  return dir;
}

av::RealtimeEvent event_for(const std::string& path) {
  av::RealtimeEvent e;
  e.path = path;
  e.result.path = path;
  e.result.verdict = av::Verdict::Suspicious;
  return e;
}

TEST(ProtectionControllerRealtime, AWatchedDetectionReachesTheProtectionState) {
  data_folder();
  ProtectionController controller;
  controller.start(false, /*one_shot=*/true);
  EXPECT_FALSE(controller.watcher()->running) << "a one-shot run never watches";
  Json state = controller.protection_state();
  EXPECT_EQ(state["realtime"], false);
  EXPECT_EQ(state["mode"], "off");
  EXPECT_EQ(state["blocking"], false);
  EXPECT_TRUE(state["recent"].empty());

  test::TempDir watched;
  controller.watcher()->try_blocking = false;
  controller.watcher()->set_paths({watched.path()});
  ASSERT_TRUE(controller.watcher()->start());
  const std::string target = watched.file("eicar.com");
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string body = test::eicar();
  ASSERT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  ::close(fd);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (controller.protection_state()["recent"].empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  state = controller.protection_state();
  ASSERT_EQ(state["recent"].size(), 1u) << state.dump();
  const Json& e = state["recent"][0];
  EXPECT_EQ(e["path"], target);
  EXPECT_EQ(e["verdict"], "malware");
  EXPECT_EQ(e["blocked"], false);
  EXPECT_TRUE(e["quarantined"].is_boolean());
  EXPECT_EQ(state["realtime"], true);
  EXPECT_EQ(state["mode"], "watch");
  // The page reads the same detections from the state document.
  const Json doc = state_document(controller);
  EXPECT_EQ(doc["protection"]["recent"], state["recent"]) << doc.dump();
  controller.stop();
  EXPECT_EQ(controller.protection_state()["mode"], "off");
}

TEST(ProtectionControllerRealtime, RecentDetectionsKeepTheNewestHundred) {
  data_folder();
  ProtectionController controller;
  for (int i = 0; i < 105; ++i) controller.record_detection(event_for("/f/" + std::to_string(i)));
  const Json recent = controller.protection_state()["recent"];
  ASSERT_EQ(recent.size(), 100u);
  EXPECT_EQ(recent.front()["path"], "/f/104");
  EXPECT_EQ(recent.back()["path"], "/f/5");
  EXPECT_EQ(recent.front().size(), 12u);  // the scan result's ten keys plus blocked and quarantined
}

TEST(ProtectionControllerRealtime, AServiceStartRunsTheWatcherAndStopEndsIt) {
  data_folder();
  ProtectionController controller;
  controller.start(/*is_service=*/true, /*one_shot=*/false);
  ASSERT_TRUE(controller.owner());
  EXPECT_TRUE(controller.watcher()->running);
  const Json state = controller.protection_state();
  EXPECT_EQ(state["owner"], "self");
  EXPECT_EQ(state["mode"], controller.watcher()->blocking ? "block" : "watch");
  controller.stop();
  EXPECT_FALSE(controller.watcher()->running);
}

}  // namespace
