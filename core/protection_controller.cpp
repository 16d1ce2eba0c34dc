#include "core/protection_controller.h"

#include "ai/detector.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "core/data_directory.h"
#include "platform/clock.h"

ProtectionController::ProtectionController()
    : signatures_(std::make_shared<av::SignatureDB>()),
      detector_(std::make_shared<ai::Detector>()),
      scanner_(std::make_shared<av::Scanner>(signatures_, detector_)),
      updater_(std::make_unique<SignatureUpdater>(default_updater_config())) {}

ProtectionController::~ProtectionController() { stop(); }

void ProtectionController::start(bool /*is_service*/, bool /*one_shot*/) {
  if (started_) return;
  started_ = true;
  detector_->load(models_dir(), &model_log_);
  reload_signatures();
  auto_update_.start(monotonic_ms());
}

void ProtectionController::stop() { started_ = false; }

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

std::string ProtectionController::update_signatures() { return updater_->update(*signatures_); }

bool ProtectionController::reload_signatures() { return updater_->reload(*signatures_); }

Json ProtectionController::updates_state() const {
  Json block = Json::object();
  block["signatures_version"] = signatures_->version();
  block["signatures_count"] = signatures_->count();
  block["models"] = detector_->model_names();
  block["ai_ready"] = detector_->ready();
  return block;
}

bool ProtectionController::maybe_auto_update(std::int64_t now_ms) {
  if (!auto_update_.due(now_ms)) return false;
  const Json settings = settings_json();
  const auto it = settings.find("auto_update");
  if (it != settings.end() && it->is_boolean() && !it->get<bool>()) return false;
  update_signatures();  // the outcome is reported only to interactive callers
  auto_update_.note_attempt(now_ms);
  return true;
}

void ProtectionController::use_update_config(UpdaterConfig config) {
  updater_ = std::make_unique<SignatureUpdater>(std::move(config));
}
