// Turns one file into one ScanResult: reads it within the size limits, hashes
// it, runs the signature feed, the built-in signature, the script review, the
// AI detector with its trust exemption, and the archive inspection, in that
// order. Every failure comes back as verdict error with a one-sentence detail.
// Unchanged files (same size, last-write time, feed version and options) are
// answered from a cache of up to 200000 results. Thread-safe; the lock is
// never held while a file is read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "av/scan_options.h"
#include "av/scan_result.h"
#include "platform/bytes.h"
#include "platform/file_system.h"

namespace ai {
class Detector;
}

namespace av {

class SignatureDB;

class Scanner {
 public:
  Scanner(std::shared_ptr<SignatureDB> db, std::shared_ptr<ai::Detector> detector);

  // Replaces the options, bumps the options generation and empties the cache.
  void set_options(const ScanOptions& options);
  ScanOptions options() const;

  ScanResult scan_file(const NativePath& path);

  // The content pipeline over bytes already in memory; fills `result` in place.
  // `member` is the name inside an archive (empty at depth 0).
  void scan_buffer(ByteSpan bytes, ScanResult& result, const ScanOptions& options, ExtractionBudget& budget,
                   int depth, const std::string& member) const;

  std::size_t cache_size() const;
  // The cached result of an unchanged file, found without opening the file;
  // false when answering would need a scan.
  bool cached_result(const NativePath& path, ScanResult& out) const;

 private:
  struct CacheEntry {
    std::int64_t size = 0;
    std::int64_t mtime = 0;
    std::uint64_t feed_version = 0;
    std::uint64_t generation = 0;
    ScanResult result;
  };

  void hash_only(int fd, std::int64_t size, ScanResult& result) const;
  void store(const NativePath& path, const ScanResult& result, std::int64_t size, std::int64_t mtime,
             std::uint64_t feed_version, std::uint64_t generation);

  std::shared_ptr<SignatureDB> db_;
  std::shared_ptr<ai::Detector> detector_;
  ScanOptions options_;
  std::uint64_t generation_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, CacheEntry> cache_;
};

}  // namespace av
