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

  std::shared_ptr<av::SignatureDB> signatures() const { return signatures_; }
  std::shared_ptr<ai::Detector> detector() const { return detector_; }
  std::shared_ptr<av::Scanner> scanner() const { return scanner_; }
  const std::string& model_log() const { return model_log_; }

 private:
  void load_signatures();

  std::shared_ptr<av::SignatureDB> signatures_;
  std::shared_ptr<ai::Detector> detector_;
  std::shared_ptr<av::Scanner> scanner_;
  std::string model_log_;
  bool started_ = false;
};
