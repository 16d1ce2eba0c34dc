#include "core/protection_controller.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "av/quarantine.h"
#include "core/data_directory.h"
#include "support/test_support.h"

namespace {

// The data directory is fixed for the life of a process: every controller test
// of this binary shares one fresh folder unless the caller chose one.
test::TempDir& shared_data_dir() {
  static test::TempDir dir;
  return dir;
}
const bool g_data_dir_chosen = [] {
  setenv("AV_DATA_DIR", shared_data_dir().path().c_str(), /*overwrite=*/0);
  return true;
}();

Json wait_for_job(ProtectionController& c) {
  for (int i = 0; i < 2000; ++i) {
    const Json s = c.scan_status();
    if (s["state"] != "scanning") return s;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return c.scan_status();
}

// Points the user's known folders at a test folder while alive.
class HomeFolders {
 public:
  explicit HomeFolders(const std::string& base) {
    set("HOME", base + "/home");
    set("TMPDIR", base + "/tmp");
    set("XDG_CONFIG_HOME", base + "/cfg");
    set("XDG_DATA_HOME", base + "/data");
  }
  ~HomeFolders() {
    for (const auto& [k, v] : saved_) {
      if (v.first) setenv(k.c_str(), v.second.c_str(), 1);
      else unsetenv(k.c_str());
    }
  }

 private:
  void set(const std::string& k, const std::string& v) {
    const char* old = getenv(k.c_str());
    saved_[k] = {old != nullptr, old ? old : ""};
    setenv(k.c_str(), v.c_str(), 1);
  }
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

}  // namespace

TEST(ProtectionControllerScan, CustomScanThreatActionsAndQuarantineRoundTrip) {
  ProtectionController c;
  c.start(false, true);
  test::TempDir dir;
  const std::string evil = dir.write("scan/eicar.com", test::eicar());
  dir.write("scan/readme.txt", "hello");
  // A plain copy planted in the quarantine folder is never walked into.
  const std::string planted = join_path(data_dir(), "quarantine/planted/eicar.com");
  create_directories(parent_path(planted));
  ASSERT_TRUE(write_file_atomic(planted, test::eicar()));

  const std::string id = c.start_scan("custom", {dir.file("scan"), from_native(data_dir()), evil});
  ASSERT_EQ(id.size(), 16u);
  const Json s = wait_for_job(c);
  EXPECT_EQ(s["id"], id);
  EXPECT_EQ(s["state"], "done");
  EXPECT_EQ(s["type"], "custom");
  EXPECT_EQ(s["current"], "");
  EXPECT_EQ(s["threats"], 2);  // the folder's file and the same file named directly
  ASSERT_EQ(s["found"].size(), 2u);
  for (const Json& f : s["found"]) EXPECT_EQ(f["path"], evil);

  // "ignore" drops every entry of the path; the count stays.
  EXPECT_EQ(c.threat_action(evil, "ignore"), Json({{"ok", true}}));
  EXPECT_TRUE(c.scan_status()["found"].empty());
  EXPECT_EQ(c.scan_status()["threats"], 2);

  const Json q = c.threat_action(evil, "quarantine");
  ASSERT_EQ(q["ok"], true) << q.dump();
  const std::string item = q["id"];
  EXPECT_FALSE(path_exists(evil));
  const Json list = c.quarantine_list();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["id"], item);
  EXPECT_EQ(list[0]["original_path"], evil);
  EXPECT_FALSE(list[0].contains("payload_missing"));

  EXPECT_EQ(c.quarantine_action(item, "open"), Json({{"ok", false}, {"error", "Unknown action"}}));
  EXPECT_EQ(c.threat_action(evil, "quarantine"),
            Json({{"ok", false}, {"error", "Couldn't quarantine the file (is it in use?)"}}));
  EXPECT_EQ(c.quarantine_action(item, "restore"), Json({{"ok", true}, {"error", ""}}));
  EXPECT_EQ(read_whole_file(evil), test::eicar());
  EXPECT_EQ(c.quarantine_action(item, "restore"), Json({{"ok", false}, {"error", "Not found"}}));

  const std::string again = c.quarantine_path(evil);
  ASSERT_EQ(again.size(), 24u);
  EXPECT_EQ(c.delete_quarantine(again), Json({{"ok", true}}));
  EXPECT_EQ(c.quarantine_list(), Json::array());
  // A clean file is not taken by the console's quarantine path.
  EXPECT_EQ(c.quarantine_path(dir.file("scan/readme.txt")), "");
  EXPECT_EQ(read_whole_file(dir.file("scan/readme.txt")), "hello");

  EXPECT_EQ(c.threat_action(dir.file("scan/readme.txt"), "delete"), Json({{"ok", true}, {"error", ""}}));
  EXPECT_FALSE(path_exists(dir.file("scan/readme.txt")));
  EXPECT_EQ(c.threat_action(dir.file("scan/readme.txt"), "delete"),
            Json({{"ok", false}, {"error", "Couldn't delete the file (is it in use?)"}}));
  remove_file(planted);
}

TEST(ProtectionControllerScan, ScheduledScanQuarantinesAndRecordsQuickScanDoesNot) {
  test::TempDir dir;
  HomeFolders home(dir.path());
  ProtectionController c;
  c.start(false, true);
  const std::string evil = dir.write("home/Downloads/eicar.com", test::eicar());
  create_directories(dir.file("tmp"));

  c.start_scan("quick", {});
  Json s = wait_for_job(c);
  // The Downloads folder lies inside the profile and is walked twice.
  EXPECT_EQ(s["threats"], 2);
  EXPECT_TRUE(path_exists(evil));
  EXPECT_EQ(c.recent_detections(), Json::array());

  c.start_scan("scheduled", {});
  s = wait_for_job(c);
  EXPECT_EQ(s["type"], "scheduled");
  EXPECT_EQ(s["threats"], 2);
  EXPECT_FALSE(path_exists(evil));
  const Json recent = c.recent_detections();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0]["path"], evil);
  EXPECT_EQ(recent[0]["blocked"], false);
  // The first finding was quarantined; the second saw the file already gone.
  EXPECT_EQ(recent[1]["quarantined"], true);
  EXPECT_EQ(recent[0]["quarantined"], false);
  const Json list = c.quarantine_list();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(c.restore_quarantine(list[0]["id"])["ok"], true);
  EXPECT_EQ(read_whole_file(evil), test::eicar());
}

TEST(ProtectionControllerScan, SettingsAreLoadedAppliedAndReportedReadOnly) {
  ProtectionController c;
  c.start(false, true);
  EXPECT_EQ(c.settings_persistence(), Json({{"read_only", false}, {"warning", ""}}));
  const Json s = c.update_settings({{"ai_threshold", 0.9}, {"scan_archives", false}, {"realtime", "no"}});
  EXPECT_EQ(s["ai_threshold"], 0.9);
  EXPECT_EQ(s["realtime"], true);
  EXPECT_EQ(c.settings_json(), s);
  EXPECT_EQ(*parse_json(read_whole_file(join_path(data_dir(), "settings.json"))), s);
  // Another process saved meanwhile: this one keeps the change in memory and says so.
  ASSERT_TRUE(write_file_atomic(join_path(data_dir(), "settings.json"), std::string("{\"schedule\": \"off\"}")));
  const Json after = c.set_realtime(false);
  EXPECT_EQ(after["realtime"], false);
  const Json p = c.settings_persistence();
  EXPECT_EQ(p["read_only"], true);
  EXPECT_EQ(p["warning"].get<std::string>().rfind("Your settings file changed outside this app", 0), 0u);
  remove_file(join_path(data_dir(), "settings.json"));
  remove_file(join_path(data_dir(), "settings.json.backup"));
}
