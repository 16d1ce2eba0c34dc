#include "core/protection_controller.h"

#include <cmath>
#include <utility>

#include "ai/detector.h"
#include "av/quarantine.h"
#include "av/scanner.h"
#include "av/signature_db.h"
#include "core/data_directory.h"
#include "core/maintenance_plan.h"
#include "core/settings_store.h"
#include "platform/clock.h"
#include "platform/random.h"

#include <unistd.h>

namespace {

constexpr std::size_t kMaxRecent = 100;

bool setting_bool(const Json& s, const char* key, bool fallback) {
  const auto it = s.find(key);
  return it != s.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

double setting_number(const Json& s, const char* key, double fallback) {
  const auto it = s.find(key);
  if (it == s.end() || !it->is_number()) return fallback;
  const double v = it->get<double>();
  return std::isfinite(v) ? v : fallback;
}

}  // namespace

ProtectionController::ProtectionController()
    : signatures_(std::make_shared<av::SignatureDB>()),
      detector_(std::make_shared<ai::Detector>()),
      scanner_(std::make_shared<av::Scanner>(signatures_, detector_)),
      quarantine_(std::make_shared<av::Quarantine>(join_path(data_dir(), "quarantine"))),
      watcher_(std::make_shared<av::Realtime>(
          scanner_, [q = quarantine_](const NativePath& path, const av::ScanResult& r) { return q->quarantine(path, r); })),
      updater_(std::make_unique<SignatureUpdater>(default_updater_config())) {}

ProtectionController::~ProtectionController() { stop(); }

void ProtectionController::start(bool is_service, bool one_shot) {
  if (started_) return;
  started_ = true;
  is_service_ = is_service;
  reload_settings();
  detector_->load(models_dir(), &model_log_);
  reload_signatures();
  auto_update_.start(monotonic_ms());
  watcher_->callback = [this](const av::RealtimeEvent& e) { record_detection(e); };
  {
    std::lock_guard<std::mutex> lock(main_mutex_);
    apply_settings_locked(scanner_->options().ai_malicious);
  }
  if (one_shot) return;
  claim_ownership();
  apply_realtime();
  stop_ = false;
  maintenance_ = std::thread([this] { maintenance_loop(); });
}

void ProtectionController::stop() {
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    stop_ = true;
  }
  wait_cv_.notify_all();
  if (maintenance_.joinable()) maintenance_.join();
  {
    std::lock_guard<std::mutex> start_lock(start_mutex_);
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
  }
  if (watcher_->running) watcher_->stop();
  if (started_ && owner_) write_status();
  started_ = false;
}

// ---- real-time ownership ----

namespace {
NativePath ownership_lock_path() { return join_path(data_dir(), "KeltharonAntivirusRealtime.lock"); }
NativePath status_path() { return join_path(data_dir(), "rt_status.json"); }
}  // namespace

bool ProtectionController::claim_ownership() {
  if (ownership_.try_claim(ownership_lock_path())) owner_ = true;
  return owner_;
}

void ProtectionController::apply_realtime() {
  {
    std::lock_guard<std::mutex> lock(main_mutex_);
    apply_realtime_locked();
  }
  if (owner_) write_status();
}

void ProtectionController::apply_realtime_locked() {
  const bool wanted = owner_ && setting_bool(settings_, "realtime", true);
  if (wanted && !watcher_->running) {
    watcher_->start();
  } else if (!wanted && watcher_->running) {
    watcher_->stop();
  }
}

Json ProtectionController::protection_state() const {
  Json state = Json::object();
  state["realtime"] = watcher_->running.load();
  state["mode"] = watcher_->mode();
  state["blocking"] = watcher_->blocking.load();
  state["owner"] = owner_ ? "self" : "none";
  state["ai_ready"] = detector_->ready();
  state["models"] = detector_->model_names();
  state["recent"] = recent_detections();
  if (!owner_) {
    const Json live = read_status();
    if (live.is_object()) {
      state["owner"] = "service";
      state["realtime"] = setting_bool(live, "realtime", false);
      const auto mode = live.find("mode");
      state["mode"] = mode != live.end() && mode->is_string() ? *mode : Json("off");
      state["blocking"] = setting_bool(live, "blocking", false);
      if (live.contains("recent")) state["recent"] = live["recent"];
    }
  }
  return state;
}

void ProtectionController::write_status() const {
  Json doc = protection_state();
  doc["pid"] = static_cast<std::int64_t>(::getpid());
  doc["updated"] = now_ms();
  doc["background"] = is_service_;
  write_file_atomic(status_path(), dump_json(doc));  // a failed write is replaced by the next one
}

Json ProtectionController::read_status() const {
  const std::optional<Json> doc = parse_json(read_whole_file(status_path()));
  if (!doc || !doc->is_object()) return nullptr;
  std::int64_t updated = 0;
  if (const auto it = doc->find("updated"); it != doc->end() && it->is_number_integer()) updated = it->get<std::int64_t>();
  if (now_ms() - updated >= maintenance_timings().heartbeat_fresh_ms) return nullptr;
  return *doc;
}

void ProtectionController::maintenance_loop() {
  const MaintenanceTimings& t = maintenance_timings();
  MaintenancePlan plan(now_ms(), t);
  const NativePath settings_file = join_path(data_dir(), "settings.json");
  const NativePath feed_file = join_path(data_dir(), "signatures.avsg");
  auto mtime = [](const NativePath& p) -> std::int64_t {
    FileStatus st;
    return file_status(p, st) ? st.mtime_ns : -1;
  };
  std::int64_t settings_seen = mtime(settings_file);
  std::int64_t feed_seen = mtime(feed_file);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(wait_mutex_);
      wait_cv_.wait_for(lock, std::chrono::milliseconds(t.pass_ms), [this] { return stop_.load(); });
      if (stop_) return;
    }
    const std::int64_t now = now_ms();
    if (!owner_ && plan.claim_due(now) && claim_ownership()) apply_realtime();

    const std::int64_t settings_now = mtime(settings_file);
    if (settings_now != -1 && settings_now != settings_seen) {
      settings_seen = settings_now;
      std::string warning;
      {
        std::lock_guard<std::mutex> lock(main_mutex_);
        const std::string before = settings_store_ ? settings_store_->warning() : std::string();
        reload_settings_locked();
        apply_settings_locked(0.8);
        if (settings_store_->warning() != before) warning = settings_store_->warning();
      }
      if (!warning.empty()) add_notice(warning);
    }
    const std::int64_t feed_now = mtime(feed_file);
    if (feed_now != -1 && feed_now != feed_seen) {
      feed_seen = feed_now;
      std::string error;
      av::SignatureDB probe;
      // A damaged replacement never downgrades the running database to the
      // older feed shipped beside the program: what is loaded stays in use.
      if (probe.load(feed_file, &error)) {
        reload_signatures();
      } else {
        add_notice("The changed signature file could not be used (" + error + "); scans go on with " +
                   std::to_string(signatures_->count()) + " signatures of version " +
                   std::to_string(signatures_->version()) + " until a valid one replaces it.");
      }
    }
    if (!owner_) continue;
    if (plan.heartbeat_due(now)) write_status();
    if (maybe_auto_update(monotonic_ms())) feed_seen = mtime(feed_file);

    const Json settings = settings_json();
    bool scanning;
    {
      std::lock_guard<std::mutex> lock(main_mutex_);
      scanning = job_.state == "scanning";
    }
    switch (plan.schedule_action(settings, now, scanning)) {
      case MaintenancePlan::ScheduleAction::SetBaseline:
        update_settings(Json{{"last_scheduled_scan", now}});
        break;
      case MaintenancePlan::ScheduleAction::StartScan:
        update_settings(Json{{"last_scheduled_scan", now}});
        start_scan("scheduled", {});
        break;
      case MaintenancePlan::ScheduleAction::None:
        break;
    }
  }
}

void ProtectionController::add_notice(std::string line) {
  std::lock_guard<std::mutex> lock(notice_mutex_);
  notices_.push_back(std::move(line));
}

std::vector<std::string> ProtectionController::take_notices() {
  std::lock_guard<std::mutex> lock(notice_mutex_);
  return std::exchange(notices_, {});
}

// ---- signatures ----

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
  if (!setting_bool(settings_json(), "auto_update", true)) return false;
  update_signatures();  // the outcome is reported only to interactive callers
  auto_update_.note_attempt(now_ms);
  return true;
}

void ProtectionController::use_update_config(UpdaterConfig config) {
  updater_ = std::make_unique<SignatureUpdater>(std::move(config));
}

// ---- settings ----

Json ProtectionController::reload_settings_locked() {
  if (!settings_store_)
    settings_store_ =
        std::make_unique<SettingsStore>(join_path(data_dir(), "settings.json"), SettingsStore::default_settings());
  settings_ = settings_store_->load();
  return settings_;
}

Json ProtectionController::reload_settings() {
  std::lock_guard<std::mutex> lock(main_mutex_);
  return reload_settings_locked();
}

Json ProtectionController::settings_json() const {
  std::lock_guard<std::mutex> lock(main_mutex_);
  return settings_;
}

Json ProtectionController::settings_persistence() const {
  std::lock_guard<std::mutex> lock(main_mutex_);
  Json j = Json::object();
  j["read_only"] = settings_store_ ? settings_store_->read_only() : false;
  j["warning"] = settings_store_ ? settings_store_->warning() : std::string();
  return j;
}

Json ProtectionController::update_settings(const Json& patch) {
  std::lock_guard<std::mutex> lock(main_mutex_);
  if (!settings_store_) reload_settings_locked();
  settings_ = settings_store_->update(patch);
  apply_settings_locked(0.8);
  return settings_;
}

Json ProtectionController::set_realtime(bool on) { return update_settings(Json{{"realtime", on}}); }

void ProtectionController::apply_settings_locked(double threshold_default) {
  av::ScanOptions o = scanner_->options();
  o.ai_enabled = setting_bool(settings_, "ai_enabled", true);
  o.scan_archives = setting_bool(settings_, "scan_archives", true);
  o.ai_malicious = setting_number(settings_, "ai_threshold", threshold_default);
  scanner_->set_options(o);
  watcher_->auto_quarantine = setting_bool(settings_, "auto_quarantine", true);
  std::vector<std::string> folders;
  if (const auto it = settings_.find("watch_paths"); it != settings_.end() && it->is_array()) {
    for (const Json& f : *it)
      if (f.is_string()) folders.push_back(f.get<std::string>());
  }
  if (folders != watcher_->paths()) {
    // A new folder list takes effect at the watcher's next start.
    const bool was_running = watcher_->running;
    if (was_running) watcher_->stop();
    watcher_->set_paths(folders);
  }
  apply_realtime_locked();
}

// ---- scan jobs ----

std::string ProtectionController::quarantine_dir_utf8() const {
  return from_native(join_path(data_dir(), "quarantine"));
}

std::string ProtectionController::start_scan(const std::string& type, const std::vector<std::string>& paths) {
  // The scheduler and the page may start together: the whole start is one
  // critical section, so only one worker is ever installed.
  std::lock_guard<std::mutex> start_lock(start_mutex_);
  {
    std::lock_guard<std::mutex> lock(main_mutex_);
    if (job_.state == "scanning") return job_.id;
  }
  if (worker_.joinable()) worker_.join();
  cancel_ = false;
  std::string id;
  try {
    id = random_hex(8);
  } catch (...) {
    return "";
  }
  std::vector<std::string> targets = scan_targets(type, paths);
  {
    std::lock_guard<std::mutex> lock(main_mutex_);
    job_ = ScanJob{};
    job_.id = id;
    job_.type = type;
    job_.state = "scanning";
    job_.started = now_ms();
  }
  worker_ = std::thread([this, type, targets = std::move(targets)] {
    ScanJobHost host;
    host.scan = [this](const std::string& path) { return scanner_->scan_file(to_native(path)); };
    host.with_job = [this](const std::function<void(ScanJob&)>& change) {
      std::lock_guard<std::mutex> lock(main_mutex_);
      change(job_);
    };
    host.cancel = &cancel_;
    host.auto_quarantine = [this] {
      std::lock_guard<std::mutex> lock(main_mutex_);
      return setting_bool(settings_, "auto_quarantine", true);
    };
    host.quarantine = [this](const av::ScanResult& r) { return quarantine_->quarantine(to_native(r.path), r); };
    host.record_detection = [this](const av::ScanResult& r, bool quarantined) {
      record_detection(av::RealtimeEvent{r.path, r, /*blocked=*/false, quarantined});
    };
    run_scan_job(type, targets, quarantine_dir_utf8(), host);
  });
  return id;
}

Json ProtectionController::scan_status() const {
  std::lock_guard<std::mutex> lock(main_mutex_);
  return job_.to_json();
}

void ProtectionController::cancel_scan() { cancel_ = true; }

Json ProtectionController::threat_action(const std::string& path, const std::string& action) {
  if (action == "ignore") {
    std::lock_guard<std::mutex> lock(main_mutex_);
    std::erase_if(job_.found, [&](const av::ScanResult& r) { return r.path == path; });
    return Json{{"ok", true}};
  }
  if (action == "delete") {
    if (remove_file(to_native(path))) return Json{{"ok", true}, {"error", ""}};
    return Json{{"ok", false}, {"error", "Couldn't delete the file (is it in use?)"}};
  }
  const av::ScanResult fresh = scanner_->scan_file(to_native(path));
  const std::string id = quarantine_->quarantine(to_native(path), fresh);
  if (!id.empty()) return Json{{"ok", true}, {"id", id}};
  return Json{{"ok", false}, {"error", "Couldn't quarantine the file (is it in use?)"}};
}

// ---- quarantine ----

Json ProtectionController::quarantine_list() const {
  Json out = Json::array();
  for (const av::QuarantineItem& item : quarantine_->list()) {
    Json j = av::Quarantine::item_json(item);
    if (!quarantine_->payload_present(item.id)) j["payload_missing"] = true;
    out.push_back(std::move(j));
  }
  return out;
}

Json ProtectionController::restore_quarantine(const std::string& id) {
  std::string message;
  const bool ok = quarantine_->restore(id, message);
  return Json{{"ok", ok}, {"error", ok ? std::string() : message}};
}

Json ProtectionController::delete_quarantine(const std::string& id) { return Json{{"ok", quarantine_->remove(id)}}; }

Json ProtectionController::quarantine_action(const std::string& id, const std::string& action) {
  if (action == "restore") return restore_quarantine(id);
  if (action == "delete") return delete_quarantine(id);
  return Json{{"ok", false}, {"error", "Unknown action"}};
}

av::ScanResult ProtectionController::scan_path(const std::string& path) {
  return scanner_->scan_file(to_native(path));
}

std::string ProtectionController::quarantine_path(const std::string& path) {
  const av::ScanResult r = scanner_->scan_file(to_native(path));
  if (!r.is_threat()) return "";
  return quarantine_->quarantine(to_native(path), r);
}

void ProtectionController::walk_files(const std::string& folder,
                                      const std::function<void(const std::string&)>& on_file,
                                      const std::function<void(const std::string&, const std::string&)>& on_error) const {
  ScanWalk walk;
  walk.quarantine_dir = quarantine_dir_utf8();
  walk.on_file = on_file;
  walk.on_error = on_error;
  walk_scan_folder(folder, walk);
}

// ---- recent detections ----

void ProtectionController::record_detection(const av::RealtimeEvent& event) {
  std::lock_guard<std::mutex> lock(recent_mutex_);
  recent_.push_front(event);
  while (recent_.size() > kMaxRecent) recent_.pop_back();
}

Json ProtectionController::recent_detections() const {
  std::lock_guard<std::mutex> lock(recent_mutex_);
  Json out = Json::array();
  for (const av::RealtimeEvent& e : recent_) out.push_back(av::to_json(e));
  return out;
}
