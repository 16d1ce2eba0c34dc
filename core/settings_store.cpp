#include "core/settings_store.h"

#include <cerrno>
#include <cmath>
#include <utility>

#include "platform/file_stream.h"
#include "platform/known_folders.h"

namespace {

constexpr std::int64_t kMaxSettingsBytes = 4194304;

const char kReadOnlyTail[] =
    ". The original file is preserved. Protection continues; settings changes apply only for this session. "
    "Repair settings.json or restore settings.json.backup, then restart to save changes.";

}  // namespace

SettingsStore::SettingsStore(NativePath path, Json defaults)
    : path_(std::move(path)), defaults_(std::move(defaults)), current_(defaults_) {
  if (!defaults_.is_object()) defaults_ = Json::object();
  if (!current_.is_object()) current_ = defaults_;
}

Json SettingsStore::default_settings() {
  Json d = Json::object();
  d["realtime"] = true;
  d["ai_enabled"] = true;
  d["scan_archives"] = true;
  d["auto_quarantine"] = true;
  d["ai_threshold"] = 0.8;
  d["schedule"] = "weekly";
  d["auto_update"] = true;
  d["last_scheduled_scan"] = 0;
  d["watch_paths"] = Json::array({from_native(known_folder_path(KnownFolder::Profile))});
  return d;
}

bool SettingsStore::validate(const std::string& key, const Json& value) const {
  if (key == "last_scheduled_scan") {
    if (value.is_number_unsigned()) return static_cast<std::int64_t>(value.get<std::uint64_t>()) >= 0;
    return value.is_number_integer() && value.get<std::int64_t>() >= 0;
  }
  const auto def = defaults_.find(key);
  if (def == defaults_.end()) return true;
  if (def->is_boolean()) return value.is_boolean();
  if (key == "ai_threshold") {
    if (!value.is_number()) return false;
    const double v = value.get<double>();
    return std::isfinite(v) && v >= 0.0 && v <= 1.0;
  }
  if (key == "schedule")
    return value.is_string() && (value == "off" || value == "daily" || value == "weekly");
  if (key == "watch_paths") {
    if (!value.is_array()) return false;
    for (const Json& e : value)
      if (!e.is_string()) return false;
    return true;
  }
  return value.type() == def->type();
}

bool SettingsStore::read_file(SettingsFileState& out) const {
  out = SettingsFileState{};
  FileStatus st;
  int err = 0;
  if (!file_status(path_, st, /*follow=*/true, &err)) return err == ENOENT;
  if (!st.regular || st.size > kMaxSettingsBytes) return false;
  std::string content;
  if (!read_file_exact(path_, st.size, content)) return false;
  FileStatus after;
  if (!file_status(path_, after, /*follow=*/true) || !after.regular || after.mtime_ns != st.mtime_ns ||
      after.size != st.size || after.inode != st.inode || after.device != st.device)
    return false;
  out.exists = true;
  out.content = std::move(content);
  out.mtime = st.mtime_ns;
  return true;
}

void SettingsStore::enter_read_only(const std::string& reason) {
  read_only_ = true;
  warning_ = reason + kReadOnlyTail;
}

bool SettingsStore::same_as_baseline(const SettingsFileState& s) const {
  return s.exists == baseline_exists_ && s.content == baseline_content_ && s.mtime == baseline_mtime_;
}

Json SettingsStore::load() {
  if (loaded_ && read_only_) return current_;
  loaded_ = true;
  SettingsFileState file;
  if (!read_file(file)) {
    enter_read_only("Your settings file could not be read");
    return current_;
  }
  baseline_exists_ = file.exists;
  baseline_content_ = file.content;
  baseline_mtime_ = file.mtime;
  if (!file.exists) {
    current_ = defaults_;
    return current_;
  }
  try {
    std::optional<Json> parsed = parse_json(file.content);
    if (!parsed || !parsed->is_object()) {
      enter_read_only("Your settings file contains invalid JSON");
      return current_;
    }
    Json merged = std::move(*parsed);
    for (const auto& [key, def] : defaults_.items()) {
      const auto it = merged.find(key);
      if (it == merged.end()) {
        merged[key] = def;
      } else if (!validate(key, *it)) {
        *it = def;
        enter_read_only("Some saved settings could not be read safely");
      }
    }
    current_ = std::move(merged);
  } catch (...) {
    enter_read_only("Your settings file could not be read safely");
  }
  return current_;
}

Json SettingsStore::update(const Json& patch) {
  if (!loaded_) load();
  if (patch.is_object())
    for (const auto& [key, value] : patch.items())
      if (validate(key, value)) current_[key] = value;
  if (!read_only_) save();
  return current_;
}

void SettingsStore::save() {
  try {
    SettingsFileState file;
    if (!read_file(file) || !same_as_baseline(file)) {
      enter_read_only("Your settings file changed outside this app");
      return;
    }
    if (baseline_exists_ && !write_file_atomic(path_ + ".backup", baseline_content_)) {
      enter_read_only("A safe backup of your settings could not be saved");
      return;
    }
    if (!read_file(file) || !same_as_baseline(file)) {
      enter_read_only("Your settings file changed outside this app");
      return;
    }
    // Strict serialisation: text that is not valid UTF-8 must not be written
    // with replacements the user never saw; it throws and ends in read-only.
    const std::string text = current_.dump(2, ' ', false, Json::error_handler_t::strict);
    if (!write_file_atomic(path_, text)) {
      enter_read_only("Your settings could not be saved");
      return;
    }
    if (!read_file(file) || !file.exists || file.content != text) {
      enter_read_only("Your settings file changed while saving");
      return;
    }
    baseline_exists_ = true;
    baseline_content_ = std::move(file.content);
    baseline_mtime_ = file.mtime;
  } catch (...) {
    enter_read_only("Your settings could not be saved safely");
  }
}
