#include "core/signature_updater.h"

#include "av/signature_db.h"
#include "core/data_directory.h"
#include "platform/curl_client.h"

const char* const kSiteBaseUrl = "https://updates.keltharon.example";
const char* const kInvalidUpdateMessage = "The downloaded update was invalid.";
const char* const kInstallFailedMessage = "Couldn't install the downloaded update.";

namespace {
constexpr const char* kFeedName = "signatures.avsg";
}

std::string signature_feed_url() { return std::string(kSiteBaseUrl) + "/antivirus/signatures.avsg"; }

std::string download_failed_message(int http_status) {
  return "Couldn't download updates (HTTP " + std::to_string(http_status) + ").";
}

UpdaterConfig default_updater_config() {
  UpdaterConfig c;
  c.data_dir = data_dir();
  c.shipped_dir = executable_dir();
  c.url = signature_feed_url();
  return c;
}

bool load_newest_signatures(av::SignatureDB& live, const std::vector<NativePath>& candidates) {
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
  // The chosen file is read again; should it have changed in between into
  // something that no longer loads, `live` keeps what it had.
  return chosen != nullptr && live.load(*chosen);
}

NativePath SignatureUpdater::live_path() const { return join_path(config_.data_dir, kFeedName); }

bool SignatureUpdater::reload(av::SignatureDB& live) const {
  std::vector<NativePath> candidates = {live_path()};
  if (!config_.shipped_dir.empty()) candidates.push_back(join_path(config_.shipped_dir, kFeedName));
  return load_newest_signatures(live, candidates);
}

std::string SignatureUpdater::update(av::SignatureDB& live) {
  std::lock_guard<std::mutex> hold(update_lock_);
  const NativePath live_file = live_path();
  const NativePath download = live_file + ".new";
  // Leftovers of a run that died mid-update must never pass for this download.
  remove_file(download + ".part");
  remove_file(download);

  CurlDownload request;
  request.curl = config_.curl;
  request.url = config_.url;
  request.destination = download;
  request.time_limit_seconds = config_.time_limit_seconds;
  request.max_bytes = config_.max_bytes;
  const CurlOutcome got = curl_download(request);
  if (got.too_large) {
    remove_file(download);
    return kInvalidUpdateMessage;
  }
  if (got.status < 200 || got.status > 299) return download_failed_message(got.status);

  av::SignatureDB probe;
  if (!probe.load(download)) {
    remove_file(download);
    return kInvalidUpdateMessage;
  }
  if (!rename_replace(download, live_file)) {
    remove_file(download);
    return kInstallFailedMessage;
  }
  // The installed file has loaded once; the live database takes the newer of
  // it and the shipped feed, the same choice a restart would make.
  if (!reload(live)) return kInstallFailedMessage;
  return "";
}

void AutoUpdateSchedule::start(std::int64_t started_ms) {
  started_ms_ = started_ms;
  attempted_ = false;
  last_attempt_ms_ = 0;
}

bool AutoUpdateSchedule::due(std::int64_t now_ms) const {
  if (!attempted_) return now_ms - started_ms_ > kFirstDelayMs;
  return now_ms - last_attempt_ms_ > kPeriodMs;
}

void AutoUpdateSchedule::note_attempt(std::int64_t now_ms) {
  attempted_ = true;
  last_attempt_ms_ = now_ms;
}
