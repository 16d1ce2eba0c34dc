#include "core/scan_job.h"

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"
#include "platform/file_stream.h"
#include "platform/file_system.h"
#include "platform/known_folders.h"

void ScanJob::add_result(const av::ScanResult& result) {
  ++scanned;
  current = result.path;
  if (result.is_threat()) {
    ++threats;
    found.push_back(result);
  }
  if (result.verdict == av::Verdict::Error || result.incomplete) {
    ++errors;
    if (error_samples.size() < kMaxErrorSamples) error_samples.push_back(result);
  }
}

void ScanJob::add_error(const std::string& path, const std::string& message) {
  av::ScanResult r;
  r.path = path;
  r.verdict = av::Verdict::Error;
  r.detail = message;
  r.ai_score = -1.0;
  ++errors;
  if (error_samples.size() < kMaxErrorSamples) error_samples.push_back(std::move(r));
}

Json ScanJob::to_json() const {
  Json j = Json::object();
  j["id"] = id;
  j["type"] = type;
  j["state"] = state;
  j["current"] = current;
  j["scanned"] = scanned;
  j["threats"] = threats;
  j["errors"] = errors;
  j["started"] = started;
  j["finished"] = finished;
  Json f = Json::array();
  for (const av::ScanResult& r : found) f.push_back(av::to_json(r));
  j["found"] = std::move(f);
  Json e = Json::array();
  for (const av::ScanResult& r : error_samples) e.push_back(av::to_json(r));
  j["error_samples"] = std::move(e);
  return j;
}

std::vector<std::string> scan_targets(const std::string& type, const std::vector<std::string>& paths) {
  if (type == "custom") return paths;
  std::vector<std::string> targets;
  const auto add = [&](const NativePath& p) {
    if (!p.empty()) targets.push_back(from_native(p));
  };
  if (type == "quick" || type == "scheduled") {
    add(known_folder_path(KnownFolder::Temp));
    add(known_folder_path(KnownFolder::Profile));
    add(known_folder_path(KnownFolder::RoamingAppData));
    add(known_folder_path(KnownFolder::LocalAppData));
    add(known_folder_path(KnownFolder::Downloads));
  } else {
    // One tree holds every mounted file system; the walk leaves out the
    // kernel's pseudo file systems. /dev/shm is shared memory that programs
    // (and malware) drop files into, so it is scanned on its own.
    for (const char* root : {"/", "/dev/shm"}) {
      FileStatus st;
      if (file_status(root, st) && st.directory) targets.emplace_back(root);
    }
  }
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  return targets;
}

namespace {

bool pseudo_folder(const NativePath& folder) {
  return folder == "/proc" || folder == "/sys" || folder == "/dev" || is_pseudo_file_system(folder);
}

}  // namespace

void walk_scan_folder(const std::string& folder, const ScanWalk& walk) {
  FolderWalk w;
  w.cancelled = walk.cancelled;
  w.descend = [&](const NativePath& dir) {
    const std::string utf8 = from_native(dir);
    if (!walk.quarantine_dir.empty() && utf8.compare(0, walk.quarantine_dir.size(), walk.quarantine_dir) == 0)
      return false;
    return !pseudo_folder(dir);
  };
  w.on_file = [&](const NativePath& file) {
    if (walk.on_file) walk.on_file(from_native(file));
  };
  w.on_error = [&](const NativePath& where, const std::string& message) {
    if (walk.on_error) walk.on_error(from_native(where), message);
  };
  // A target that is itself the quarantine is not walked either.
  if (!walk.quarantine_dir.empty() && folder.compare(0, walk.quarantine_dir.size(), walk.quarantine_dir) == 0) return;
  walk_folder(to_native(folder), w);
}

void run_scan_job(const std::string& type, const std::vector<std::string>& targets, const std::string& quarantine_dir,
                  const ScanJobHost& host) {
  const auto cancelled = [&] { return host.cancel && host.cancel->load(); };
  const auto scan_one = [&](const std::string& path) {
    host.with_job([&](ScanJob& job) { job.current = path; });
    const av::ScanResult r = host.scan(path);
    host.with_job([&](ScanJob& job) { job.add_result(r); });
  };
  const auto report = [&](const std::string& path, const std::string& message) {
    host.with_job([&](ScanJob& job) { job.add_error(path, message); });
  };
  if (targets.empty()) report("", "No paths were selected for scanning.");
  ScanWalk walk;
  walk.quarantine_dir = quarantine_dir;
  walk.cancelled = cancelled;
  walk.on_file = scan_one;
  walk.on_error = report;
  for (const std::string& target : targets) {
    if (cancelled()) break;
    FileStatus st;
    int err = 0;
    const bool ok = file_status(to_native(target), st, /*follow=*/true, &err);
    if (ok && st.regular) {
      scan_one(target);
    } else if (ok && st.directory) {
      walk_scan_folder(target, walk);
    } else if (type == "custom") {
      report(target, ok ? "The path is not a regular file or folder." : error_text(err));
    } else if (!ok && err != ENOENT) {
      report(target, error_text(err));
    }
  }
  if (type == "scheduled") {
    std::vector<av::ScanResult> found;
    host.with_job([&](ScanJob& job) { found = job.found; });
    for (const av::ScanResult& r : found) {
      bool quarantined = false;
      if (r.verdict == av::Verdict::Malware && host.auto_quarantine && host.auto_quarantine() && host.quarantine)
        quarantined = !host.quarantine(r).empty();
      if (host.record_detection) host.record_detection(r, quarantined);
    }
  }
  const bool was_cancelled = cancelled();
  host.with_job([&](ScanJob& job) {
    job.state = was_cancelled ? "cancelled" : "done";
    job.finished = now_ms();
    job.current.clear();
  });
}
