// Real-time protection for a list of folder trees. Every file created,
// written, or moved in under a new name below a watched folder is scanned with
// the shared scanner once it has been quiet for 1.5 seconds, so a file written
// in pieces costs one scan after its last write. Detections (malware or
// suspicious) become RealtimeEvents handed to `callback`; with
// `auto_quarantine`, malware is moved into quarantine first.
//
// Where the platform grants on-access blocking (root with fanotify permission
// events here), `start` also guards the watched folders: opening or executing
// malware there fails while the watcher runs, such a detection reports
// `blocked`, and `blocking` is set. Otherwise `notice` says in one line why the
// watcher only detects.
//
// Paths inside the data directory (the program's own files) are never scanned.
// `stop` must not be called from the callback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "av/scan_result.h"
#include "platform/file_system.h"
#include "platform/json_text.h"

#include "platform/access_guard.h"

class ChangeNotifier;
struct stat;

namespace av {

class Scanner;

struct RealtimeEvent {
  std::string path;          // the file as notified
  ScanResult result;         // its scan result
  bool blocked = false;      // an open of the file was refused before it happened
  bool quarantined = false;  // the file was moved into quarantine
};

// The ScanResult's JSON object plus "blocked" and "quarantined".
Json to_json(const RealtimeEvent& e);

// True when `path` lies inside the data directory (a byte-prefix comparison
// that respects folder boundaries); an empty data directory matches nothing.
bool is_in_data_dir(const std::string& path, const std::string& data_directory);

class Realtime {
 public:
  // Moves one detected file into quarantine; the new item's id, or "" when
  // nothing was quarantined.
  using QuarantineFn = std::function<std::string(const NativePath& path, const ScanResult& result)>;

  // `quarantine` may be empty (no store: nothing is quarantined).
  // `data_directory` defaults to the program's data directory.
  Realtime(std::shared_ptr<Scanner> scanner, QuarantineFn quarantine);
  Realtime(std::shared_ptr<Scanner> scanner, QuarantineFn quarantine, std::string data_directory);
  ~Realtime();
  Realtime(const Realtime&) = delete;
  Realtime& operator=(const Realtime&) = delete;

  // Starts watching the current folder list unless already running; true.
  bool start();
  // Stops both threads (and the guard) and forgets pending paths.
  void stop();
  // Replaces the folder list; takes effect at the next start.
  void set_paths(const std::vector<std::string>& folders);
  std::vector<std::string> paths() const;
  // "off", "block" or "watch".
  std::string mode() const;
  // One line for the user when protection is less than asked for (no blocking,
  // the watch limit ran out); empty when all is well. Reset at each start.
  std::string notice() const;
  // Folders watched for changes right now.
  std::size_t watch_count() const;

  // Set by the owner before `start`; called on the watcher's threads.
  std::function<void(const RealtimeEvent&)> callback;
  // Observes every file the scan thread scanned (whatever the verdict).
  std::function<void(const std::string& path, const ScanResult& result)> on_scanned;

  std::atomic<bool> running{false};
  std::atomic<bool> blocking{false};
  std::atomic<bool> auto_quarantine{true};
  // Whether `start` tries on-access blocking at all.
  std::atomic<bool> try_blocking{true};

  // Quiet time before a changed file is scanned, and the pending-path cap.
  static constexpr std::int64_t kSettleMs = 1500;
  static constexpr std::size_t kMaxPending = 50000;
  // Longest an open waits for the on-access verdict before it is allowed.
  static constexpr int kAnswerWithinMs = 5000;

  // Test hook: limits the watcher to this many watched folders (0: the system's limit).
  std::size_t watch_cap = 0;

 private:
  void watch_loop();
  void scan_loop();
  void enqueue(const std::string& path, bool recovered = false);
  void enqueue_recent_after_overflow();
  void emit(const std::string& path, const ScanResult& result, bool blocked);
  bool decide_open(const AccessRequest& request);
  AccessGuard::Quick quick_open(const AccessRequest& request);
  bool open_in_scope(const AccessRequest& request, struct stat& fd_st) const;
  bool refuse_if_malware(const std::string& path, const struct stat& fd_st, const ScanResult& result);
  bool excluded(const std::string& path) const;
  void add_notice(const std::string& line);
  void guard_folder(const NativePath& dir);

  std::shared_ptr<Scanner> scanner_;
  QuarantineFn quarantine_;
  std::string data_dir_;

  mutable std::mutex folders_mutex_;
  std::vector<std::string> folders_;
  std::vector<std::string> watching_;  // the list this run started with

  std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  struct Pending {
    std::int64_t stamp = 0;  // monotonic ms of the latest notification
    bool recovered = false;  // found by the sweep after lost notifications
  };
  std::map<std::string, Pending> pending_;
  // Detections refused at open, waiting for the scan thread to report them.
  std::vector<std::pair<std::string, ScanResult>> blocked_reports_;
  // What the scan thread last scanned per path (size, mtime), so the sweep
  // after lost notifications does not scan unchanged files again.
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> scanned_;
  std::int64_t last_clean_wall_ms_ = 0;  // watch thread: last read without loss

  mutable std::mutex notice_mutex_;
  std::string notice_;
  std::atomic<std::size_t> watch_count_{0};

  // Files reported as blocked, by identity, so repeated opens report once.
  std::mutex blocked_mutex_;
  std::set<std::string> blocked_seen_;

  // Both are created by `start` and released by `stop`; between the two the
  // watch thread alone uses the notifier (`wake` excepted).
  std::unique_ptr<AccessGuard> guard_;
  std::unique_ptr<ChangeNotifier> notifier_;
  std::thread watch_thread_;
  std::thread scan_thread_;
};

}  // namespace av
