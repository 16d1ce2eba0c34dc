#include "av/realtime.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "av/scanner.h"
#include "core/data_directory.h"
#include "platform/access_guard.h"
#include "platform/bytes.h"
#include "platform/change_notifier.h"
#include "platform/clock.h"

namespace av {
namespace {

constexpr std::int64_t kScanPassMs = 300;
// mtime granularity and clock skew allowance for the sweep after lost notifications.
constexpr std::int64_t kSweepMarginMs = 2000;
constexpr std::size_t kScannedMemory = 200000;
constexpr std::size_t kBlockedMemory = 10000;

bool under(const std::string& path, const std::string& root) {
  if (root.empty() || path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root.back() == '/' || path[root.size()] == '/';
}

// The identity of the file behind a descriptor: a changed file is a new one.
std::string identity(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

Json to_json(const RealtimeEvent& e) {
  Json j = to_json(e.result);
  j["blocked"] = e.blocked;
  j["quarantined"] = e.quarantined;
  return j;
}

bool is_in_data_dir(const std::string& path, const std::string& data_directory) {
  return under(path, data_directory);
}

Realtime::Realtime(std::shared_ptr<Scanner> scanner, QuarantineFn quarantine)
    : Realtime(std::move(scanner), std::move(quarantine), from_native(data_dir())) {}

Realtime::Realtime(std::shared_ptr<Scanner> scanner, QuarantineFn quarantine, std::string data_directory)
    : scanner_(std::move(scanner)), quarantine_(std::move(quarantine)), data_dir_(std::move(data_directory)) {}

Realtime::~Realtime() { stop(); }

void Realtime::set_paths(const std::vector<std::string>& folders) {
  std::lock_guard lock(folders_mutex_);
  folders_ = folders;
}

std::vector<std::string> Realtime::paths() const {
  std::lock_guard lock(folders_mutex_);
  return folders_;
}

std::string Realtime::mode() const {
  if (!running) return "off";
  return blocking ? "block" : "watch";
}

std::string Realtime::notice() const {
  std::lock_guard lock(notice_mutex_);
  return notice_;
}

std::size_t Realtime::watch_count() const { return watch_count_; }

void Realtime::add_notice(const std::string& line) {
  std::lock_guard lock(notice_mutex_);
  if (notice_.find(line) != std::string::npos) return;
  if (!notice_.empty()) notice_ += "\n";
  notice_ += line;
}

bool Realtime::excluded(const std::string& path) const { return is_in_data_dir(path, data_dir_); }

bool Realtime::start() {
  if (running) return true;
  {
    std::lock_guard lock(notice_mutex_);
    notice_.clear();
  }
  {
    std::lock_guard lock(blocked_mutex_);
    blocked_seen_.clear();
  }
  {
    std::lock_guard lock(folders_mutex_);
    watching_ = folders_;
  }
  scanned_.clear();
  blocking = false;

  // The watches exist before start returns, so nothing written after it is missed.
  std::string error;
  notifier_ = ChangeNotifier::create(&error, watch_cap);
  std::vector<ChangeEvent> problems;
  if (!notifier_) {
    add_notice(error);
  } else {
    // A folder that does not exist or cannot be opened is simply not watched.
    for (const std::string& f : watching_) notifier_->add_tree(to_native(f), problems);
    for (const ChangeEvent& e : problems)
      if (e.kind == ChangeEvent::Kind::Problem) add_notice(e.message);
    watch_count_ = notifier_->watch_count();
  }

  if (try_blocking) {
    std::string why;
    guard_ = AccessGuard::create([this](const AccessRequest& r) { return decide_open(r); }, kAnswerWithinMs, &why,
                                 [this](const AccessRequest& r) { return quick_open(r); });
    if (guard_ && notifier_ && notifier_->watch_count() > 0) {
      std::size_t marked = 0;
      for (const NativePath& dir : notifier_->folders()) {
        if (guard_->add_folder(dir, &why)) ++marked;
      }
      if (marked == 0) {
        guard_->stop();
        guard_.reset();
        why = "the kernel refused fanotify permission events on the watched folders: " + why;
      }
    }
    if (guard_) {
      blocking = true;
    } else {
      add_notice("On-access blocking is unavailable (" + why + "); real-time protection detects and quarantines only.");
    }
  }

  last_clean_wall_ms_ = now_ms();
  running = true;
  scan_thread_ = std::thread([this] { scan_loop(); });
  watch_thread_ = std::thread([this] { watch_loop(); });
  return true;
}

void Realtime::stop() {
  if (!running.exchange(false)) return;
  // The guard first: pending opens are allowed before anything else winds down.
  if (guard_) guard_->stop();
  if (notifier_) notifier_->wake();
  if (watch_thread_.joinable()) watch_thread_.join();
  queue_cv_.notify_all();
  if (scan_thread_.joinable()) scan_thread_.join();
  guard_.reset();
  notifier_.reset();
  blocking = false;
  watch_count_ = 0;
  std::lock_guard lock(queue_mutex_);
  pending_.clear();
  blocked_reports_.clear();
}

void Realtime::guard_folder(const NativePath& dir) {
  if (guard_) guard_->add_folder(dir, nullptr);
}

void Realtime::watch_loop() {
  std::vector<ChangeEvent> events;
  while (running) {
    events.clear();
    if (!notifier_ || !notifier_->wait(1000, events)) {
      if (notifier_) add_notice("Change notification failed; changed files are no longer noticed until protection restarts.");
      // Nothing left to wait on: idle until stopped.
      while (running) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return;
    }
    bool lost = false;
    for (const ChangeEvent& e : events) {
      switch (e.kind) {
        case ChangeEvent::Kind::File:
          enqueue(from_native(e.path));
          break;
        case ChangeEvent::Kind::Folder:
          // Guard first, so opens in the new folder are judged from now on.
          guard_folder(e.path);
          break;
        case ChangeEvent::Kind::Overflow:
          lost = true;
          break;
        case ChangeEvent::Kind::Problem:
          add_notice(e.message);
          break;
      }
    }
    watch_count_ = notifier_->watch_count();
    if (lost) {
      enqueue_recent_after_overflow();
    } else {
      last_clean_wall_ms_ = now_ms();
    }
  }
}

// Notifications were lost: every file below the watched folders changed since
// the last complete read (with a margin) is queued again.
void Realtime::enqueue_recent_after_overflow() {
  const std::int64_t since_ns = (last_clean_wall_ms_ - kSweepMarginMs) * 1000000;
  last_clean_wall_ms_ = now_ms();
  for (const std::string& root : watching_) {
    FolderWalk walk;
    walk.cancelled = [this] { return !running; };
    walk.descend = [this](const NativePath& dir) { return !excluded(from_native(dir)); };
    walk.on_file = [&](const NativePath& file) {
      FileStatus st;
      if (file_status(file, st, true) && st.mtime_ns >= since_ns) enqueue(from_native(file), true);
    };
    walk_folder(to_native(root), walk);
  }
}

void Realtime::enqueue(const std::string& path, bool recovered) {
  if (excluded(path)) return;
  bool was_empty;
  {
    std::lock_guard lock(queue_mutex_);
    was_empty = pending_.empty();
    auto it = pending_.find(path);
    if (it == pending_.end()) {
      if (pending_.size() >= kMaxPending) return;  // the scan thread must catch up first
      pending_.emplace(path, Pending{monotonic_ms(), recovered});
    } else {
      it->second.stamp = monotonic_ms();
      it->second.recovered = it->second.recovered && recovered;
    }
  }
  if (was_empty) queue_cv_.notify_one();
}

void Realtime::scan_loop() {
  while (running) {
    std::vector<std::pair<std::string, bool>> due;
    std::vector<std::pair<std::string, ScanResult>> blocked;
    {
      std::unique_lock lock(queue_mutex_);
      // Sleep until the earliest entry settles (at most one pass interval).
      std::int64_t wait_ms = kScanPassMs;
      const std::int64_t now = monotonic_ms();
      for (const auto& [path, p] : pending_) wait_ms = std::min(wait_ms, p.stamp + kSettleMs - now);
      if (blocked_reports_.empty() && wait_ms > 0) queue_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms));
      if (!running) break;
      const std::int64_t then = monotonic_ms();
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (then - it->second.stamp >= kSettleMs) {
          due.emplace_back(it->first, it->second.recovered);
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
      blocked.swap(blocked_reports_);
    }
    for (const auto& [path, result] : blocked) {
      try {
        emit(path, result, true);
      } catch (...) {
      }
    }
    for (const auto& [path, recovered] : due) {
      if (!running) break;
      try {
        if (excluded(path)) continue;
        FileStatus st;
        if (!file_status(to_native(path), st, true) || !st.regular) continue;
        const auto before = scanned_.find(path);
        if (recovered && before != scanned_.end() && before->second == std::make_pair(st.size, st.mtime_ns)) continue;
        const ScanResult result = scanner_->scan_file(to_native(path));
        if (scanned_.size() >= kScannedMemory) scanned_.clear();
        scanned_[path] = {st.size, st.mtime_ns};
        if (on_scanned) on_scanned(path, result);
        if (!result.is_threat()) continue;
        // A file already refused at open has been reported; once is enough.
        struct stat now_st {};
        if (::stat(path.c_str(), &now_st) == 0) {
          std::lock_guard lock(blocked_mutex_);
          if (blocked_seen_.count(identity(now_st))) continue;
        }
        emit(path, result, false);
      } catch (...) {
        // One file's failure never stops the watcher.
      }
    }
  }
}

void Realtime::emit(const std::string& path, const ScanResult& result, bool blocked) {
  RealtimeEvent event;
  event.path = path;
  event.result = result;
  event.blocked = blocked;
  if (auto_quarantine && result.verdict == Verdict::Malware && quarantine_) {
    event.quarantined = !quarantine_(to_native(path), result).empty();
  }
  if (callback) callback(event);
}

// Whether an open concerns a regular file below the watched folders (and
// outside the data directory); fills the descriptor's status.
bool Realtime::open_in_scope(const AccessRequest& request, struct stat& fd_st) const {
  const std::string path = from_native(request.path);
  if (excluded(path)) return false;
  bool watched = false;
  for (const std::string& root : watching_) watched = watched || under(path, root);
  if (!watched) return false;  // e.g. moved out of the watched folders
  return ::fstat(request.fd, &fd_st) == 0 && S_ISREG(fd_st.st_mode);
}

// Refuses malware (suspicious files open; the scan thread reports them) and
// queues a blocked report the first time a given file is refused.
bool Realtime::refuse_if_malware(const std::string& path, const struct stat& fd_st, const ScanResult& result) {
  if (result.verdict != Verdict::Malware) return false;
  const std::string id = identity(fd_st);
  bool first;
  {
    std::lock_guard lock(blocked_mutex_);
    if (blocked_seen_.size() >= kBlockedMemory) blocked_seen_.clear();
    first = blocked_seen_.insert(id).second;
  }
  if (first) {
    // Reported (and quarantined) by the scan thread, after this open is refused.
    std::lock_guard lock(queue_mutex_);
    blocked_reports_.emplace_back(path, result);
    queue_cv_.notify_one();
  }
  return true;
}

// On the guard's reading thread: a cached verdict answers at once; anything
// that needs the file read is passed on.
AccessGuard::Quick Realtime::quick_open(const AccessRequest& request) {
  struct stat fd_st {};
  if (!open_in_scope(request, fd_st)) return AccessGuard::Quick::Allow;
  struct stat path_st {};
  if (::stat(request.path.c_str(), &path_st) != 0 || path_st.st_dev != fd_st.st_dev || path_st.st_ino != fd_st.st_ino)
    return AccessGuard::Quick::Ask;
  ScanResult result;
  if (!scanner_->cached_result(request.path, result)) return AccessGuard::Quick::Ask;
  return refuse_if_malware(from_native(request.path), fd_st, result) ? AccessGuard::Quick::Deny
                                                                     : AccessGuard::Quick::Allow;
}

// On a guard worker while another process waits in open().
bool Realtime::decide_open(const AccessRequest& request) {
  struct stat fd_st {};
  if (!open_in_scope(request, fd_st)) return false;
  const std::string path = from_native(request.path);
  ScanResult result;
  struct stat path_st {};
  if (::stat(request.path.c_str(), &path_st) == 0 && path_st.st_dev == fd_st.st_dev && path_st.st_ino == fd_st.st_ino) {
    result = scanner_->scan_file(request.path);
  } else {
    // The name now leads elsewhere: judge the very file being opened, through its descriptor.
    const ScanOptions options = scanner_->options();
    result.path = path;
    result.size = fd_st.st_size;
    if (fd_st.st_size < 0 || fd_st.st_size > options.max_content_bytes) return false;
    Bytes content(static_cast<std::size_t>(fd_st.st_size));
    std::size_t got = 0;
    while (got < content.size()) {
      const ssize_t n = ::pread(request.fd, content.data() + got, content.size() - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != content.size()) return false;
    ExtractionBudget budget;
    scanner_->scan_buffer(content, result, options, budget, 0, std::string());
  }
  return refuse_if_malware(path, fd_st, result);
}

}  // namespace av
