// Files and folders. Paths at this interface are native paths: on Linux the
// exact bytes of the file name, which need not be valid UTF-8. The core keeps
// paths as UTF-8 strings; on Linux that conversion is the identity, so a name
// that is not valid UTF-8 survives every round trip (scan, quarantine,
// restore) byte for byte. Only display and JSON output replace bad sequences.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

using NativePath = std::string;

NativePath to_native(std::string_view utf8);
std::string from_native(const NativePath& path);

struct FileStatus {
  bool regular = false;
  bool directory = false;
  bool symlink = false;           // only meaningful without following links
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;      // last-write time, nanoseconds since 1970
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Status of `path`, following symbolic links when `follow`. On failure returns
// false and, when `err` is given, stores the errno value.
bool file_status(const NativePath& path, FileStatus& out, bool follow = true, int* err = nullptr);
bool is_real_directory(const NativePath& path);   // a folder and not a link to one
bool path_exists(const NativePath& path);
std::string error_text(int err);                  // the platform's sentence for an errno value

// Joins per the platform's rules: an absolute `name` replaces `base`; otherwise
// one separator is inserted unless `base` is empty or already ends with one.
NativePath join_path(const NativePath& base, std::string_view name);
NativePath parent_path(const NativePath& path);   // "" when there is none
std::string file_name(const NativePath& path);    // the last component
bool create_directories(const NativePath& path);  // true when the folder exists afterwards

// Writes `content` to a new temporary file beside `target` (its name followed
// by ".tmp-" and 24 hex digits), flushes it to disk, renames it over `target`
// and flushes the folder. On any failure the temporary file is removed, the
// target keeps its old content, and false is returned.
bool write_file_atomic(const NativePath& target, ByteSpan content);
bool write_file_atomic(const NativePath& target, std::string_view content);

// The whole file; empty when it cannot be opened (indistinguishable from empty).
std::string read_whole_file(const NativePath& path);

bool remove_file(const NativePath& path);
// Flushes the file's data, renames it over an existing target, then flushes
// the folders involved.
bool rename_replace(const NativePath& from, const NativePath& to);
bool sync_directory(const NativePath& dir);

struct DirEntry {
  std::string name;
  bool regular = false;    // following links
  bool directory = false;  // following links
  bool symlink = false;
};
// The entries of one folder (not "." or ".."), in the order the file system yields them.
bool list_directory(const NativePath& dir, std::vector<DirEntry>& out, int* err = nullptr);

// Depth-first walk of a folder tree in the order the file system yields entries.
// Folders that deny access are skipped silently; folder links are not followed.
struct FolderWalk {
  std::function<bool()> cancelled;                          // tested before each entry; may be empty
  std::function<bool(const NativePath& folder)> descend;    // false skips a subfolder; may be empty
  std::function<void(const NativePath& file)> on_file;      // each entry that is a regular file (following links)
  // Problems, already worded: "Couldn't read folder: ...", "Couldn't inspect path: ...",
  // "Couldn't continue reading folder: ...".
  std::function<void(const NativePath& path, const std::string& message)> on_error;
};
void walk_folder(const NativePath& root, const FolderWalk& walk);
