#include "av/scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ai/detector.h"
#include "av/archive_scanner.h"
#include "av/script_review.h"
#include "av/signature_db.h"
#include "av/trust_check.h"
#include "platform/encoding.h"
#include "platform/sha256.h"

namespace av {
namespace {

constexpr std::size_t kChunk = 1048576;
constexpr std::size_t kCacheLimit = 200000;

const char* const kNotRegular = "Not a readable regular file";
const char* const kNoSize = "Couldn't read the file";
const char* const kNoOpen = "Couldn't open the file";
const char* const kChanged = "Couldn't read the complete file, or the file changed during scanning";
const char* const kTooBig = "Signature hash checked; content scan skipped because the file exceeds the size limit";
const char* const kKnown = "Known malware (signature database)";

void set_error(ScanResult& r, const char* detail) {
  r.verdict = Verdict::Error;
  r.detail = detail;
}

// Reads until `n` bytes arrived or the stream ends; returns the count read,
// or -1 on a hard error.
ssize_t read_full(int fd, std::uint8_t* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// True when the stream is at its end.
bool at_eof(int fd) {
  std::uint8_t peek;
  return read_full(fd, &peek, 1) == 0;
}

std::string percent_text(const char* format, double score) {
  char buf[96];
  std::snprintf(buf, sizeof buf, format, score * 100.0);
  return buf;
}

}  // namespace

Scanner::Scanner(std::shared_ptr<SignatureDB> db, std::shared_ptr<ai::Detector> detector)
    : db_(std::move(db)), detector_(std::move(detector)) {}

void Scanner::set_options(const ScanOptions& options) {
  std::lock_guard lock(mutex_);
  options_ = options;
  ++generation_;
  cache_.clear();
}

ScanOptions Scanner::options() const {
  std::lock_guard lock(mutex_);
  return options_;
}

std::size_t Scanner::cache_size() const {
  std::lock_guard lock(mutex_);
  return cache_.size();
}

bool Scanner::cached_result(const NativePath& path, ScanResult& out) const {
  FileStatus st;
  if (!file_status(path, st, /*follow=*/true) || !st.regular) return false;
  const std::uint64_t feed_version = db_ ? db_->version() : 0;
  std::lock_guard lock(mutex_);
  const auto it = cache_.find(from_native(path));
  if (it == cache_.end() || it->second.size != st.size || it->second.mtime != st.mtime_ns ||
      it->second.feed_version != feed_version || it->second.generation != generation_) {
    return false;
  }
  out = it->second.result;
  return true;
}

ScanResult Scanner::scan_file(const NativePath& path) {
  ScanResult result;
  result.path = from_native(path);

  FileStatus st;
  if (!file_status(path, st, /*follow=*/true) || !st.regular) {
    set_error(result, kNotRegular);
    return result;
  }
  if (st.size < 0) {
    set_error(result, kNoSize);
    return result;
  }
  result.size = st.size;
  const std::int64_t size = st.size;
  const std::int64_t mtime = st.mtime_ns;
  const std::uint64_t feed_version = db_ ? db_->version() : 0;

  ScanOptions options;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    options = options_;
    generation = generation_;
    const auto it = cache_.find(result.path);
    if (it != cache_.end() && it->second.size == size && it->second.mtime == mtime &&
        it->second.feed_version == feed_version && it->second.generation == generation) {
      return it->second.result;
    }
  }

  // O_NONBLOCK: if the path was swapped for a FIFO or device after the status
  // query, opening it must not wait; the descriptor is checked again below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    set_error(result, kNoOpen);
    return result;
  }
  struct stat fst {};
  if (::fstat(fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
    ::close(fd);
    set_error(result, kNoOpen);
    return result;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  if (options.max_content_bytes < 0 || size > options.max_content_bytes) {
    hash_only(fd, size, result);
    ::close(fd);
  } else {
    Bytes content;
    bool ok = true;
    try {
      content.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
    ok = ok && read_full(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) && at_eof(fd);
    ::close(fd);
    if (!ok) {
      set_error(result, kChanged);
      return result;
    }
    ExtractionBudget budget;
    scan_buffer(content, result, options, budget, 0, std::string());
  }
  store(path, result, size, mtime, feed_version, generation);
  return result;
}

void Scanner::hash_only(int fd, std::int64_t size, ScanResult& result) const {
  // One reused buffer aligned to 32 bytes.
  struct Free { void operator()(void* p) const { std::free(p); } };
  std::unique_ptr<std::uint8_t, Free> buf(static_cast<std::uint8_t*>(std::aligned_alloc(32, kChunk)));
  if (!buf) {
    set_error(result, kChanged);
    return;
  }
  Sha256 hasher;
  std::int64_t total = 0;
  bool hard_error = false;
  while (total < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(size - total, kChunk));
    const ssize_t got = read_full(fd, buf.get(), want);
    if (got < 0) { hard_error = true; break; }
    if (got == 0) break;
    hasher.update(buf.get(), static_cast<std::size_t>(got));
    total += got;
  }
  if (hard_error || total != size || !at_eof(fd)) {
    set_error(result, kChanged);
    return;
  }
  const Digest digest = hasher.finish();
  result.sha256 = to_hex(digest);
  std::string name;
  if (db_ && db_->lookup(digest, name)) {
    result.verdict = Verdict::Malware;
    result.name = name;
    result.detail = kKnown;
  } else {
    set_error(result, kTooBig);
  }
}

void Scanner::scan_buffer(ByteSpan bytes, ScanResult& result, const ScanOptions& options, ExtractionBudget& budget,
                          int depth, const std::string& member) const {
  const Digest digest = sha256(bytes);
  result.sha256 = to_hex(digest);

  std::string name;
  if (db_ && db_->lookup(digest, name)) {
    result.verdict = Verdict::Malware;
    result.name = name;
    result.detail = kKnown;
    return;
  }
  if (builtin_signature_match(bytes, name)) {
    result.verdict = Verdict::Malware;
    result.name = name;
    result.detail = "Matched a built-in signature";
    return;
  }

  const ScriptReview review = review_script(bytes, depth > 0 ? member : result.path);
  if (review.is_script) result.file_type = review.kind;
  if (review.incomplete) {
    result.incomplete = true;
    result.verdict = Verdict::Error;
    result.detail = "Static script review incomplete: input limit, encoded script, or unsupported bytes";
  }
  if (!review.findings.empty()) {
    result.verdict = Verdict::Suspicious;
    result.name = "Script/Review." + review.findings.front().id;
    std::string detail = "Review required (heuristic, not proof of malware): ";
    for (std::size_t i = 0; i < review.findings.size(); ++i) {
      if (i) detail += "; ";
      detail += review.findings[i].id + ": " + review.findings[i].description;
    }
    if (review.incomplete) detail += "; static script review incomplete";
    result.detail = detail;
  }
  const bool review_clean = review.findings.empty() && !review.incomplete;

  if (options.ai_enabled && detector_ && detector_->ready() && options.max_content_bytes >= 0 &&
      static_cast<std::uint64_t>(bytes.size()) <= static_cast<std::uint64_t>(options.max_content_bytes)) {
    const ai::DetectorResult scored = detector_->score(bytes);
    result.file_type = ember::file_kind_name(scored.info.kind);
    if (scored.valid) {
      const double s = scored.score;
      result.ai_score = s;
      if (s >= options.ai_suspicious && result.inner.empty() && !result.path.empty()) {
        const NativePath native = to_native(result.path);
        FileStatus st;
        if (file_status(native, st, true) && st.regular) {
          std::string publisher;
          if (is_signed_by_trusted_publisher(native, publisher)) {
            if (review_clean) result.detail = "Signed by " + (publisher.empty() ? std::string("a trusted publisher") : publisher);
            return;
          }
          if (is_operating_system_file(native)) {
            result.ai_score = -1.0;
            if (review_clean) result.detail = "Operating-system file";
            return;
          }
        }
      }
      const std::string kind = ember::file_kind_name(scored.info.kind);
      if (s >= options.ai_malicious) {
        result.verdict = Verdict::Malware;
        result.name = kind + "/AI.Malicious";
        result.detail = percent_text("AI model, %.0f%% confident this is malware", s);
        return;
      }
      if (s >= options.ai_suspicious) {
        result.verdict = Verdict::Suspicious;
        result.name = kind + "/AI.Suspicious";
        result.detail = percent_text("AI model flagged this as suspicious (%.0f%%)", s);
      }
    }
  }

  if (options.scan_archives && looks_like_zip(bytes)) inspect_zip(*this, bytes, result, options, budget, depth);
}

void Scanner::store(const NativePath& path, const ScanResult& result, std::int64_t size, std::int64_t mtime,
                    std::uint64_t feed_version, std::uint64_t generation) {
  if (result.verdict == Verdict::Error) return;
  FileStatus after;
  if (!file_status(path, after, true) || after.size != size || after.mtime_ns != mtime) return;
  std::lock_guard lock(mutex_);
  if (generation != generation_) return;
  if (cache_.size() > kCacheLimit) cache_.clear();
  cache_[result.path] = CacheEntry{size, mtime, feed_version, generation, result};
}

}  // namespace av
