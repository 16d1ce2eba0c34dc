// The routes against the real server: what each answers and what it changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "api/api_fixture.h"
#include "api/state_document.h"
#include "app/command_line.h"
#include "core/signature_updater.h"

namespace {

using test::HttpReply;

class ApiRoutes : public test::ApiFixture {
 protected:
  Json wait_for_scan_end() {
    Json job;
    for (int i = 0; i < 600; ++i) {
      job = json_of(call("GET", "/api/scan"));
      if (job.value("state", "") != "scanning") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return job;
  }
};

TEST_F(ApiRoutes, PageIsServedUnchangedWithItsSecurityHeaders) {
  // No token is needed for the page, and localhost names the server as well.
  const HttpReply r = test::send_raw(port_, test::make_request("GET", "/", "localhost:" + std::to_string(port_)));
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("content-type"), "text/html; charset=utf-8");
  EXPECT_EQ(r.header("cache-control"), "no-store");
  EXPECT_EQ(r.header("content-security-policy"),
            "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; img-src 'self' "
            "data:; connect-src 'self'");
  EXPECT_EQ(r.body, test::read_text(KAV_SOURCE_DIR "/api/page.html"));
  for (const char* id : {"id=\"ver\"", "id=\"aiState\"", "id=\"modelCount\"", "id=\"sigCount\"", "id=\"v-home\"",
                         "id=\"v-scan\"", "id=\"v-quarantine\"", "id=\"v-settings\""}) {
    EXPECT_NE(r.body.find(id), std::string::npos) << id;
  }
}

TEST_F(ApiRoutes, StateDocumentHasItsEightKeysInOrder) {
  // An empty X-AV-Token header lets the "t" parameter speak.
  const HttpReply r = test::send_raw(
      port_, test::make_request("GET", "/api/state?t=" + server_->token(), host_, "X-AV-Token: \r\n"));
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.header("cache-control"), "no-store");
  EXPECT_EQ(r.header("content-type"), "application/json");
  EXPECT_EQ(r.body.rfind("{\"elevated\":", 0), 0u) << r.body;
  EXPECT_NE(r.body.find(",\"version\":\"1.0.14\"}"), std::string::npos);
  const Json doc = json_of(r);
  ASSERT_TRUE(doc.is_object());
  EXPECT_EQ(doc.size(), 8u);
  EXPECT_EQ(doc["platform"], "linux");
  EXPECT_EQ(doc["elevated"], ::geteuid() == 0);
  EXPECT_EQ(doc["server"], kSiteBaseUrl);
  EXPECT_EQ(doc["version"], kProgramVersion);
  EXPECT_EQ(doc["settings"], controller_->settings_json());
  EXPECT_EQ(doc["settings_persistence"], (Json{{"read_only", false}, {"warning", ""}}));
  for (const char* k : {"realtime", "mode", "blocking", "owner", "ai_ready", "models", "recent"}) {
    EXPECT_TRUE(doc["protection"].contains(k)) << k;
  }
  EXPECT_EQ(doc["updates"], controller_->updates_state());
  // A one-shot controller owns nothing and watches nothing.
  EXPECT_EQ(doc["protection"]["realtime"], false);
  EXPECT_EQ(doc["protection"]["mode"], "off");
  EXPECT_EQ(state_document(*controller_)["platform"], "linux");
}

TEST_F(ApiRoutes, SettingsChangeValidEntriesOnlyAndPersist) {
  Json reply = json_of(call("POST", "/api/settings", "{\"ai_enabled\":false,\"scan_archives\":\"no\"}"));
  EXPECT_EQ(reply["ai_enabled"], false);
  EXPECT_EQ(reply["scan_archives"], true);
  EXPECT_EQ(reply, controller_->settings_json());
  const auto saved = parse_json(test::read_text(data_.file("settings.json")));
  ASSERT_TRUE(saved.has_value()) << test::read_text(data_.file("settings.json"));
  EXPECT_EQ((*saved)["ai_enabled"], false);
  // A body that is not JSON leaves everything as it was.
  const HttpReply r = call("POST", "/api/settings", "ai_enabled=true");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(json_of(r), reply);
  // The protection switch is a settings change; an empty body means on.
  EXPECT_EQ(call("POST", "/api/protection", "{\"realtime\":false}").status, 200);
  EXPECT_EQ(controller_->settings_json()["realtime"], false);
  const Json block = json_of(call("POST", "/api/protection"));
  EXPECT_EQ(controller_->settings_json()["realtime"], true);
  EXPECT_TRUE(block.contains("mode") && block.contains("owner"));
}

TEST_F(ApiRoutes, CustomScanFindsTheThreatWhichIsQuarantinedAndRestored) {
  const Json started = json_of(call("POST", "/api/scan", "{\"type\":\"custom\",\"paths\":[\"" + files_.path() + "/victim\"]}"));
  ASSERT_EQ(started.value("id", "").size(), 16u);
  const Json job = wait_for_scan_end();
  EXPECT_EQ(job["id"], started["id"]);
  EXPECT_EQ(job["state"], "done");
  EXPECT_EQ(job["scanned"], 1);
  EXPECT_EQ(job["threats"], 1);
  ASSERT_EQ(job["found"].size(), 1u);
  EXPECT_EQ(job["found"][0]["path"], victim_);
  EXPECT_EQ(job["found"][0]["verdict"], "malware");

  // Only a path: the default action quarantines.
  const Json q = json_of(call("POST", "/api/threat", "{\"path\":\"" + victim_ + "\"}"));
  EXPECT_EQ(q.value("ok", false), true);
  const std::string id = q.value("id", "");
  EXPECT_EQ(id.size(), 24u);
  EXPECT_FALSE(path_exists(to_native(victim_)));
  const Json list = json_of(call("GET", "/api/quarantine"));
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["id"], id);
  EXPECT_EQ(list[0]["original_path"], victim_);

  EXPECT_EQ(json_of(call("POST", "/api/quarantine/" + id + "/restore", "{\"ignored\":1}")),
            (Json{{"ok", true}, {"error", ""}}));
  EXPECT_EQ(test::read_text(victim_), test::eicar());
  EXPECT_EQ(json_of(call("GET", "/api/quarantine")), Json::array());

  // Ignore drops the path from the job's list; delete removes the file.
  EXPECT_EQ(json_of(call("POST", "/api/threat", "{\"path\":\"" + victim_ + "\",\"action\":\"ignore\"}")), (Json{{"ok", true}}));
  EXPECT_EQ(json_of(call("GET", "/api/scan"))["found"], Json::array());
  EXPECT_EQ(json_of(call("POST", "/api/threat", "{\"path\":\"" + victim_ + "\",\"action\":\"delete\"}")),
            (Json{{"ok", true}, {"error", ""}}));
  EXPECT_FALSE(path_exists(to_native(victim_)));
  EXPECT_EQ(json_of(call("POST", "/api/threat", "{\"path\":\"" + victim_ + "\",\"action\":\"delete\"}")).value("ok", true), false);
}

TEST_F(ApiRoutes, EmptyScanBodyStartsAQuickScanAndCancelAnswersAtOnce) {
  const Json started = json_of(call("POST", "/api/scan"));
  ASSERT_EQ(started.value("id", "").size(), 16u);
  EXPECT_EQ(json_of(call("POST", "/api/scan/cancel")), (Json{{"ok", true}}));
  const Json job = wait_for_scan_end();
  EXPECT_EQ(job["type"], "quick");
  EXPECT_NE(job["state"], "scanning");
  // Cancelling with nothing running is still the ok reply.
  EXPECT_EQ(json_of(call("POST", "/api/scan/cancel")), (Json{{"ok", true}}));
}

TEST_F(ApiRoutes, FailedUpdateAnswers400AndKeepsTheSignatures) {
  UpdaterConfig config = default_updater_config();
  config.url = "https://127.0.0.1:1/antivirus/signatures.avsg";
  config.time_limit_seconds = 10;
  controller_->use_update_config(config);
  const Json before = controller_->updates_state();
  const HttpReply r = call("POST", "/api/update");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.header("cache-control"), "no-store");
  const Json body = json_of(r);
  ASSERT_TRUE(body.is_object());
  EXPECT_EQ(body.size(), 1u);
  EXPECT_FALSE(body.value("error", "").empty());
  EXPECT_EQ(controller_->updates_state(), before);
}

TEST_F(ApiRoutes, OpenFollowsOnlyAddressesOnTheSite) {
  // A stand-in opener on PATH records what it is asked to open.
  test::TempDir bin;
  const std::string log = bin.file("opened.txt");
  bin.write("xdg-open", "#!/bin/sh\necho \"$1\" >> '" + log + "'\n");
  ASSERT_EQ(::chmod(bin.file("xdg-open").c_str(), 0755), 0);
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (bin.path() + ":" + old_path).c_str(), 1);
  const std::string base = kSiteBaseUrl;
  for (const std::string& url : {std::string("https://evil.example/"), base, base + ".evil.example/x", std::string("file:///etc/passwd"),
                                 std::string(""), base + "/antivirus/help"}) {
    const HttpReply r = call("POST", "/api/open", Json{{"url", url}}.dump());
    EXPECT_EQ(json_of(r), (Json{{"ok", true}})) << url << " " << r.status << " " << r.body;
  }
  for (int i = 0; i < 100 && test::read_text(log).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  setenv("PATH", old_path.c_str(), 1);
  EXPECT_EQ(test::read_text(log), base + "/antivirus/help\n");
}

TEST_F(ApiRoutes, QuitSetsTheFlag) {
  EXPECT_FALSE(quit_.load());
  EXPECT_EQ(json_of(call("POST", "/api/quit")), (Json{{"ok", true}}));
  EXPECT_TRUE(quit_.load());
}

}  // namespace
