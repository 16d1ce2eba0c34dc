// A real controller over a fresh data directory with the real server on
// 127.0.0.1, and a snapshot of everything a request could change.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "api/api_server.h"
#include "api/raw_http.h"
#include "core/protection_controller.h"
#include "platform/file_system.h"
#include "platform/json_text.h"
#include "support/test_support.h"

namespace test {

inline std::string read_text(const std::string& path) { return read_whole_file(to_native(path)); }

// The data directory is read once per process, so every test of a run
// shares one, emptied before each test.
inline const TempDir& shared_data_dir() {
  static TempDir dir;
  return dir;
}

class ApiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("AV_DATA_DIR", data_.path().c_str(), 1);
    for (const auto& entry : std::filesystem::directory_iterator(data_.path())) std::filesystem::remove_all(entry.path());
    controller_ = std::make_unique<ProtectionController>();
    controller_->start(/*is_service=*/false, /*one_shot=*/true);
    server_ = std::make_unique<ApiServer>(*controller_, quit_);
    ASSERT_TRUE(server_->start("127.0.0.1"));
    port_ = server_->port();
    host_ = "127.0.0.1:" + std::to_string(port_);
    victim_ = files_.write("victim/eicar.com", eicar());
  }
  void TearDown() override {
    server_->stop();
    controller_->stop();
  }

  // A request with the right Host and, unless `token` says otherwise, the right token.
  HttpReply call(const std::string& method, const std::string& target, const std::string& body = "") {
    return send_raw(port_, make_request(method, target, host_, "X-AV-Token: " + server_->token() + "\r\n", body));
  }
  Json json_of(const HttpReply& r) { return parse_json(r.body).value_or(Json()); }

  struct Snapshot {
    std::string settings, settings_file, scan_id, quarantine;
    bool quit = false, victim_present = false;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot snapshot() {
    Snapshot s;
    s.settings = dump_json(controller_->settings_json());
    s.settings_file = read_text(data_.file("settings.json"));
    s.scan_id = controller_->scan_status().value("id", std::string());
    s.quarantine = dump_json(controller_->quarantine_list());
    s.quit = quit_.load();
    FileStatus st;
    s.victim_present = file_status(to_native(victim_), st, /*follow=*/false);
    return s;
  }

  const TempDir& data_ = shared_data_dir();
  TempDir files_;
  std::atomic<bool> quit_{false};
  std::unique_ptr<ProtectionController> controller_;
  std::unique_ptr<ApiServer> server_;
  int port_ = 0;
  std::string host_;
  std::string victim_;
};

}  // namespace test
