// The settings file "settings.json": read, checked value by value against the
// known keys, merged over the defaults, and written back with care for a file
// that another process and the user may change too. A write happens only when
// the file still holds exactly what this store last saw; the previous bytes go
// to "settings.json.backup" first, and every write is read back. Any doubt
// switches the store to read-only for the rest of the process: the file is
// never touched again, changes keep applying in memory, and `warning` tells
// the user why. Not thread-safe: the protection controller's lock guards it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "platform/json_text.h"

struct SettingsFileState {
  bool exists = false;
  std::string content;
  std::int64_t mtime = 0;  // last-write time in nanoseconds
};

class SettingsStore {
 public:
  SettingsStore(NativePath path, Json defaults);

  // The known keys with their defaults; "watch_paths" holds the profile folder
  // (or "" when there is none).
  static Json default_settings();

  // (Re)reads the file and returns the settings in effect.
  Json load();
  // Applies the valid entries of an object patch and tries to save; returns the settings in effect.
  Json update(const Json& patch);
  // Whether `value` may be stored under `key`.
  bool validate(const std::string& key, const Json& value) const;
  // False when the file cannot be read consistently (not regular, over 4 MiB,
  // changed during the read, I/O error). A missing file is read as absent.
  bool read_file(SettingsFileState& out) const;
  void enter_read_only(const std::string& reason);

  const Json& current() const { return current_; }
  bool read_only() const { return read_only_; }
  const std::string& warning() const { return warning_; }
  const NativePath& path() const { return path_; }

 private:
  bool same_as_baseline(const SettingsFileState& s) const;
  void save();

  NativePath path_;
  Json defaults_;
  Json current_;
  bool baseline_exists_ = false;
  std::string baseline_content_;
  std::int64_t baseline_mtime_ = 0;
  bool loaded_ = false;
  bool read_only_ = false;
  std::string warning_;
};
