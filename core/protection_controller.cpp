#include "core/protection_controller.h"

#include "ai/detector.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "core/data_directory.h"

ProtectionController::ProtectionController()
    : signatures_(std::make_shared<av::SignatureDB>()),
      detector_(std::make_shared<ai::Detector>()),
      scanner_(std::make_shared<av::Scanner>(signatures_, detector_)) {
  data_dir();
}

ProtectionController::~ProtectionController() { stop(); }

void ProtectionController::start(bool /*is_service*/, bool /*one_shot*/) {
  if (started_) return;
  started_ = true;
  detector_->load(models_dir(), &model_log_);
  load_signatures();
}

void ProtectionController::stop() { started_ = false; }

// Of the data directory's feed and the one installed beside the executable,
// the one with the strictly newer version wins; on a tie the data directory's.
void ProtectionController::load_signatures() {
  const NativePath candidates[] = {join_path(data_dir(), "signatures.avsg"),
                                   join_path(executable_dir(), "signatures.avsg")};
  const NativePath* chosen = nullptr;
  std::uint64_t chosen_version = 0;
  for (const NativePath& c : candidates) {
    av::SignatureDB probe;
    if (!probe.load(c)) continue;
    if (chosen == nullptr || probe.version() > chosen_version) {
      chosen = &c;
      chosen_version = probe.version();
    }
  }
  if (chosen) signatures_->load(*chosen);
}

av::ScanResult ProtectionController::scan_path(const std::string& path) {
  return scanner_->scan_file(to_native(path));
}

std::string ProtectionController::quarantine_path(const std::string& path) {
  const av::ScanResult r = scanner_->scan_file(to_native(path));
  (void)r;
  return "";  // the quarantine store is not part of this build yet
}

void ProtectionController::walk_files(const std::string& folder,
                                      const std::function<void(const std::string&)>& on_file,
                                      const std::function<void(const std::string&, const std::string&)>& on_error) const {
  const std::string quarantine = from_native(join_path(data_dir(), "quarantine"));
  FolderWalk walk;
  walk.descend = [&](const NativePath& dir) { return from_native(dir).rfind(quarantine, 0) != 0; };
  walk.on_file = [&](const NativePath& file) { on_file(from_native(file)); };
  walk.on_error = [&](const NativePath& where, const std::string& message) { on_error(from_native(where), message); };
  walk_folder(to_native(folder), walk);
}

Json ProtectionController::settings_json() const { return Json::object(); }
