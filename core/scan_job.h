// On-demand and scheduled scans: the job record the page polls, the target
// lists of each scan type, the folder walk (shared with the console scan) and
// the worker that runs one job. The record is guarded by the protection
// controller's main lock; the worker reaches it only through `ScanJobHost`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "av/scan_result.h"
#include "platform/json_text.h"

struct ScanJob {
  static constexpr std::size_t kMaxErrorSamples = 20;

  std::string id;     // 16 lower-case hex characters; "" before the first job
  std::string type;   // as requested
  std::string state;  // "", "scanning", "done", "cancelled"
  std::string current;
  std::int64_t scanned = 0;
  std::int64_t threats = 0;
  std::int64_t errors = 0;
  std::int64_t started = 0;
  std::int64_t finished = 0;
  std::vector<av::ScanResult> found;
  std::vector<av::ScanResult> error_samples;

  // Counts one scanned file: a threat when malware or suspicious, an error when
  // verdict error or incomplete (both can hold).
  void add_result(const av::ScanResult& result);
  // Counts a walk problem as an error report naming `path`.
  void add_error(const std::string& path, const std::string& message);
  Json to_json() const;
};

// The targets of a scan type. "custom": the given paths unchanged. "quick" and
// "scheduled": temporary, profile, roaming and local application-data folders
// and Downloads. Any other type (the page sends "full"): the root folder "/"
// plus "/dev/shm" (the only place under the skipped /dev where users' files
// live). Every list but "custom" is sorted and free of duplicates.
std::vector<std::string> scan_targets(const std::string& type, const std::vector<std::string>& paths);

// The depth-first folder walk of scan jobs. Folders denying access are skipped
// silently, folder links are not followed, and no folder is entered whose path
// begins with `quarantine_dir` or that lies on a kernel pseudo file system
// (/proc, /sys, /dev and their kind), nor /proc, /sys or /dev themselves.
// Problems arrive at `on_error` already worded.
struct ScanWalk {
  std::string quarantine_dir;
  std::function<bool()> cancelled;  // may be empty
  std::function<void(const std::string& file)> on_file;
  std::function<void(const std::string& path, const std::string& message)> on_error;
};
void walk_scan_folder(const std::string& folder, const ScanWalk& walk);

// What the worker needs from its owner.
struct ScanJobHost {
  std::function<av::ScanResult(const std::string& path)> scan;
  // Runs `change` on the job record under the owner's lock.
  std::function<void(const std::function<void(ScanJob&)>& change)> with_job;
  const std::atomic<bool>* cancel = nullptr;
  // Scheduled scans only.
  std::function<bool()> auto_quarantine;
  std::function<std::string(const av::ScanResult& result)> quarantine;  // item id or ""
  std::function<void(const av::ScanResult& result, bool quarantined)> record_detection;
};

// Runs one job over `targets` to its end (or cancellation) and marks it finished.
void run_scan_job(const std::string& type, const std::vector<std::string>& targets, const std::string& quarantine_dir,
                  const ScanJobHost& host);
