// The package manager's record of installed files and their digests, used as
// a catalog: a file counts as catalog-signed when the database lists its exact
// path with a digest equal to the file's current content. The index is read
// once and reread only when the database folder changes. Thread-safe; a
// missing or unreadable database lists nothing.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/file_system.h"

namespace av {

class PackageCatalog {
 public:
  // `info_dir` holds one "<package>.md5sums" file per package, each line
  // "<32 hex digits>  <path without its leading slash>".
  explicit PackageCatalog(NativePath info_dir);

  // True, with the owning package's name, when `path` (absolute) is listed
  // and the file's MD5 digest matches the listed one.
  bool verify(const NativePath& path, std::string& package);

  // The catalog over the system's package database.
  static PackageCatalog& system();

 private:
  struct Entry {
    std::string md5;
    std::string package;
  };
  void refresh_locked();

  NativePath info_dir_;
  std::mutex mutex_;
  std::int64_t loaded_mtime_ = -1;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace av
