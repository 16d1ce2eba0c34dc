// Streaming file access and the path operations that crash-safe stores need:
// exclusive creation, flushed writes, canonical paths, a rename that never
// replaces, and bounded reads that notice a file changing underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h"

// A file open for reading (other processes may keep reading and writing it).
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  // Opens without following a final symbolic link when `no_follow`.
  bool open(const NativePath& path, bool no_follow = false, int* err = nullptr);
  // Bytes read (0 at the end), or -1 on a hard error.
  std::int64_t read(std::uint8_t* buffer, std::size_t size);
  bool status(FileStatus& out) const;
  void close();

 private:
  int fd_ = -1;
};

// A file created exclusively (creation fails when the name exists). Written
// content is durable only after finish(), which flushes it to the disk.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // closes without flushing when finish() was not reached
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // `mode` is reduced by the process's umask as usual.
  bool create(const NativePath& path, int* err = nullptr, unsigned mode = 0600);
  bool write(const std::uint8_t* data, std::size_t size);  // false on any short write
  bool finish();                                           // flush to disk and close
  void close();

 private:
  int fd_ = -1;
};

// The absolute path with every link and "." / ".." resolved; the file must exist.
bool canonical_path(const NativePath& path, NativePath& out);
// As canonical_path, but the trailing components that do not exist are kept as given.
bool weakly_canonical_path(const NativePath& path, NativePath& out);
// True when `path` equals `root` or lies below it, comparing whole components.
bool path_is_within(const NativePath& path, const NativePath& root);

// Renames `from` to `to` only when `to` does not exist (atomically where the
// file system allows it), then flushes both folders.
bool rename_no_replace(const NativePath& from, const NativePath& to);
// Removes a file and flushes its folder so the removal is durable.
bool remove_file_durable(const NativePath& path);

// Reads a regular file that is expected to hold exactly `expected` bytes:
// false when it cannot be opened, is shorter, or has more bytes than that.
bool read_file_exact(const NativePath& path, std::int64_t expected, std::string& out);

// True for folders on kernel pseudo file systems (process, device, control and
// virtual file systems) whose entries are not files a user stores.
bool is_pseudo_file_system(const NativePath& folder);
