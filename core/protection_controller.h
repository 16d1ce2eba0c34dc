// The one application object of a process: it owns the signature database,
// the detector, the scanner, the quarantine store, the settings and the scan
// job, and every mode and route reaches the core through its operations.
//
// Locks: the main lock guards the settings store, the settings object and the
// scan job record; it may be held while the scanner's options are replaced.
// The recent-detections lock is a leaf. Nothing below the controller takes
// the main lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "av/realtime.h"
#include "av/scan_result.h"
#include "core/scan_job.h"
#include "core/signature_updater.h"
#include "platform/file_system.h"
#include "platform/json_text.h"
#include "platform/named_mutex.h"

namespace ai {
class Detector;
}
namespace av {
class Quarantine;
class Scanner;
class SignatureDB;
}  // namespace av
class SettingsStore;

class ProtectionController {
 public:
  ProtectionController();
  ~ProtectionController();
  ProtectionController(const ProtectionController&) = delete;
  ProtectionController& operator=(const ProtectionController&) = delete;

  // Loads settings, models and signatures and applies the scan options.
  // One-shot runs (console scan, update, self-test) start no background work;
  // the others claim real-time ownership (the first process to claim owns the
  // watcher, automatic updates, scheduled scans and the heartbeat until it
  // exits) and start the maintenance thread.
  void start(bool is_service, bool one_shot);
  // Ends the maintenance thread, the scan job and the watcher; an owner writes
  // its heartbeat a last time. Idempotent.
  void stop();

  // Real-time protection. protection_state is this process's
  // {"realtime", "mode", "blocking", "owner", "ai_ready", "models", "recent"},
  // taken from a live heartbeat of the owner when another process owns it.
  Json protection_state() const;
  void write_status() const;   // rt_status.json: the state plus "pid", "updated", "background"
  Json read_status() const;    // the heartbeat when younger than 90 s, else null
  void apply_realtime();       // watcher on when owner and "realtime"; owner writes the heartbeat
  bool owner() const { return owner_; }
  std::shared_ptr<av::Realtime> watcher() const { return watcher_; }
  // One-line notices from the maintenance loop (a replaced signature file or
  // an edited settings file that could not be used), oldest first; each is
  // handed out once.
  std::vector<std::string> take_notices();

  // Settings. Each takes the main lock.
  Json reload_settings();                      // (re)reads settings.json; the settings in effect
  Json settings_json() const;                  // a copy of the settings in effect
  Json settings_persistence() const;           // {"read_only": bool, "warning": string}
  Json update_settings(const Json& patch);     // valid entries saved (or kept in memory) and applied
  Json set_realtime(bool on);

  // Scan jobs: at most one runs at a time, on a worker thread of its own.
  // start_scan returns the new job's id, or the running job's id.
  std::string start_scan(const std::string& type, const std::vector<std::string>& paths);
  Json scan_status() const;
  void cancel_scan();
  // "ignore" drops the path from the job's threats, "delete" removes the file,
  // anything else rescans it and moves it into quarantine.
  Json threat_action(const std::string& path, const std::string& action);

  // Quarantine.
  // Every item's JSON, in list order; an item whose payload has gone carries
  // "payload_missing": true.
  Json quarantine_list() const;
  Json restore_quarantine(const std::string& id);  // {"ok", "error"}
  Json delete_quarantine(const std::string& id);   // {"ok"}
  // "restore" or "delete"; anything else answers {"ok": false, "error": "Unknown action"}.
  Json quarantine_action(const std::string& id, const std::string& action);

  // Downloads, validates and installs the signature feed (one update at a
  // time); "" on success, otherwise the sentence for the user.
  std::string update_signatures();
  // Loads the newer of the data directory's and the shipped feed into the
  // live database; false when neither loads (the live database is kept).
  bool reload_signatures();
  // {"ai_ready", "models", "signatures_count", "signatures_version"}.
  Json updates_state() const;
  // The automatic update, for the maintenance loop of the owning process: when
  // due (see AutoUpdateSchedule, timed from start()) and "auto_update" is on,
  // runs update_signatures and notes the attempt whatever its outcome. True
  // when an update was attempted. `now_ms` is monotonic_ms().
  bool maybe_auto_update(std::int64_t now_ms);
  // Replaces where updates come from (tests and tools); only while no update runs.
  void use_update_config(UpdaterConfig config);

  // Scans one path with the engine.
  av::ScanResult scan_path(const std::string& path);
  // Rescans and, for a detection, moves the file into quarantine; the new
  // item's id, or "" when nothing was quarantined.
  std::string quarantine_path(const std::string& path);
  // The regular files below a folder, in the order the scan job's folder walk
  // yields them. Problems of the walk itself come to `on_error` with the path.
  void walk_files(const std::string& folder, const std::function<void(const std::string&)>& on_file,
                  const std::function<void(const std::string&, const std::string&)>& on_error) const;

  // Detections of scheduled scans and real-time protection, newest first, at most 100.
  void record_detection(const av::RealtimeEvent& event);
  Json recent_detections() const;

  std::shared_ptr<av::SignatureDB> signatures() const { return signatures_; }
  std::shared_ptr<ai::Detector> detector() const { return detector_; }
  std::shared_ptr<av::Scanner> scanner() const { return scanner_; }
  std::shared_ptr<av::Quarantine> quarantine() const { return quarantine_; }
  const std::string& model_log() const { return model_log_; }

 private:
  Json reload_settings_locked();
  // Pushes the settings into the scanner and the watcher and switches the
  // watcher on or off; `threshold_default` stands in for a missing "ai_threshold".
  void apply_settings_locked(double threshold_default);
  void apply_realtime_locked();
  bool claim_ownership();
  void maintenance_loop();
  std::string quarantine_dir_utf8() const;

  std::shared_ptr<av::SignatureDB> signatures_;
  std::shared_ptr<ai::Detector> detector_;
  std::shared_ptr<av::Scanner> scanner_;
  std::shared_ptr<av::Quarantine> quarantine_;
  std::shared_ptr<av::Realtime> watcher_;
  std::string model_log_;
  std::unique_ptr<SignatureUpdater> updater_;
  AutoUpdateSchedule auto_update_;  // maintenance thread only
  bool started_ = false;

  void add_notice(std::string line);

  mutable std::mutex main_mutex_;
  std::mutex notice_mutex_;
  std::vector<std::string> notices_;
  std::unique_ptr<SettingsStore> settings_store_;
  Json settings_ = Json::object();
  ScanJob job_;
  std::atomic<bool> cancel_{false};
  std::mutex start_mutex_;  // serialises whole start_scan calls and stop
  std::thread worker_;

  mutable std::mutex recent_mutex_;  // a leaf
  std::deque<av::RealtimeEvent> recent_;

  bool is_service_ = false;
  std::atomic<bool> owner_{false};
  NamedMutex ownership_;
  std::thread maintenance_;
  std::atomic<bool> stop_{false};
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;
};
