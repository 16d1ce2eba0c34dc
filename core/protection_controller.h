// The one application object of a process: it owns the signature database,
// the detector, the scanner and the rest of the engine, and every mode and
// route reaches the core through its operations.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "av/scan_result.h"
#include "core/signature_updater.h"
#include "platform/file_system.h"
#include "platform/json_text.h"

namespace ai {
class Detector;
}
namespace av {
class Scanner;
class SignatureDB;
}  // namespace av

class ProtectionController {
 public:
  ProtectionController();
  ~ProtectionController();
  ProtectionController(const ProtectionController&) = delete;
  ProtectionController& operator=(const ProtectionController&) = delete;

  // Loads signatures and models and applies the scan options. One-shot runs
  // (console scan, update, self-test) start no background work.
  void start(bool is_service, bool one_shot);
  void stop();

  // Scans one path with the engine.
  av::ScanResult scan_path(const std::string& path);
  // Rescans and, for a detection, moves the file into quarantine; the new
  // item's id, or "" when nothing was quarantined.
  std::string quarantine_path(const std::string& path);
  // The regular files below a folder, in the order the folder walk yields them.
  // Problems of the walk itself come to `on_error` with the path concerned.
  void walk_files(const std::string& folder, const std::function<void(const std::string&)>& on_file,
                  const std::function<void(const std::string&, const std::string&)>& on_error) const;

  Json settings_json() const;

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

  std::shared_ptr<av::SignatureDB> signatures() const { return signatures_; }
  std::shared_ptr<ai::Detector> detector() const { return detector_; }
  std::shared_ptr<av::Scanner> scanner() const { return scanner_; }
  const std::string& model_log() const { return model_log_; }

 private:
  std::shared_ptr<av::SignatureDB> signatures_;
  std::shared_ptr<ai::Detector> detector_;
  std::shared_ptr<av::Scanner> scanner_;
  std::string model_log_;
  std::unique_ptr<SignatureUpdater> updater_;
  AutoUpdateSchedule auto_update_;  // maintenance thread only
  bool started_ = false;
};
