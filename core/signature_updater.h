// Signature feed updates: download the feed from the product's site, prove it
// loads, install it as the data directory's live feed and load the newer of
// that and the feed installed beside the program. Nothing replaces the live
// file or the live database unless it has loaded successfully once, and an
// update leaves no "signatures.avsg.new" or ".new.part" file behind.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace av {
class SignatureDB;
}

// The product's web site (scheme and host, no trailing "/").
extern const char* const kSiteBaseUrl;
// kSiteBaseUrl followed by "/antivirus/signatures.avsg".
std::string signature_feed_url();

// The sentences an update reports (shown as they are by the command line and
// the update route).
std::string download_failed_message(int http_status);  // "Couldn't download updates (HTTP N)."
extern const char* const kInvalidUpdateMessage;          // "The downloaded update was invalid."
extern const char* const kInstallFailedMessage;          // the valid download could not replace the live feed

struct UpdaterConfig {
  NativePath data_dir;              // holds the live "signatures.avsg"
  NativePath shipped_dir;           // holds the feed installed with the program; may be empty
  std::string url;                  // the feed address
  std::string curl;                 // the curl to run; empty means find_curl()
  int time_limit_seconds = 600;
  // A body larger than any loadable feed is stopped as soon as it grows past this.
  std::uint64_t max_bytes = std::uint64_t{512} << 20;
};

// The configuration the program runs with: data_dir(), executable_dir(),
// signature_feed_url(), find_curl(), 600 seconds.
UpdaterConfig default_updater_config();

// Of the candidate feed files, in order, the first that loads is chosen and a
// later one replaces it only with a strictly greater version; the choice is
// loaded into `live`. False (and `live` untouched) when none loads.
bool load_newest_signatures(av::SignatureDB& live, const std::vector<NativePath>& candidates);

class SignatureUpdater {
 public:
  explicit SignatureUpdater(UpdaterConfig config) : config_(std::move(config)) {}

  // One whole update; concurrent callers wait and then run their own update
  // in turn. "" on success, otherwise the sentence for the user.
  std::string update(av::SignatureDB& live);
  // Loads the newer of the data directory's and the shipped feed into `live`.
  bool reload(av::SignatureDB& live) const;

  const UpdaterConfig& config() const { return config_; }
  NativePath live_path() const;

 private:
  UpdaterConfig config_;
  std::mutex update_lock_;
};

// When the automatic updates fall due, on a monotonic millisecond clock: the
// first more than 2 minutes after `started`, then each more than 6 hours after
// the previous attempt, whatever its outcome.
class AutoUpdateSchedule {
 public:
  static constexpr std::int64_t kFirstDelayMs = 120000;
  static constexpr std::int64_t kPeriodMs = 21600000;

  void start(std::int64_t started_ms);
  bool due(std::int64_t now_ms) const;
  void note_attempt(std::int64_t now_ms);

 private:
  std::int64_t started_ms_ = 0;
  bool attempted_ = false;
  std::int64_t last_attempt_ms_ = 0;
};
