#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/random.h"

NativePath to_native(std::string_view utf8) { return NativePath(utf8); }
std::string from_native(const NativePath& path) { return path; }

namespace {

void fill_status(const struct stat& st, FileStatus& out) {
  out.regular = S_ISREG(st.st_mode);
  out.directory = S_ISDIR(st.st_mode);
  out.symlink = S_ISLNK(st.st_mode);
  out.size = static_cast<std::int64_t>(st.st_size);
  out.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  out.device = st.st_dev;
  out.inode = st.st_ino;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
  constexpr std::size_t kPiece = 1048576;
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n < kPiece ? n : kPiece);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

bool file_status(const NativePath& path, FileStatus& out, bool follow, int* err) {
  struct stat st {};
  const int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) {
    if (err) *err = errno;
    return false;
  }
  out = FileStatus{};
  fill_status(st, out);
  return true;
}

bool is_real_directory(const NativePath& path) {
  FileStatus st;
  return file_status(path, st, /*follow=*/false) && st.directory;
}

bool path_exists(const NativePath& path) {
  FileStatus st;
  return file_status(path, st, /*follow=*/false);
}

std::string error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the message pointer.
  return std::string(strerror_r(err, buf, sizeof buf));
}

NativePath join_path(const NativePath& base, std::string_view name) {
  if (!name.empty() && name.front() == '/') return NativePath(name);
  if (base.empty()) return NativePath(name);
  NativePath out = base;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

NativePath parent_path(const NativePath& path) {
  const auto slash = path.find_last_of('/');
  if (slash == NativePath::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string file_name(const NativePath& path) {
  const auto slash = path.find_last_of('/');
  return slash == NativePath::npos ? path : path.substr(slash + 1);
}

bool create_directories(const NativePath& path) {
  if (path.empty()) return false;
  if (is_real_directory(path)) return true;
  FileStatus st;
  if (file_status(path, st) && st.directory) return true;
  const NativePath parent = parent_path(path);
  if (!parent.empty() && parent != path) create_directories(parent);
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && file_status(path, st) && st.directory;
}

bool sync_directory(const NativePath& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool write_file_atomic(const NativePath& target, std::string_view content) {
  return write_file_atomic(target, as_bytes(content));
}

bool write_file_atomic(const NativePath& target, ByteSpan content) {
  const NativePath parent = parent_path(target);
  if (!parent.empty() && !create_directories(parent)) return false;
  NativePath temp;
  int fd = -1;
  try {
    for (int attempt = 0; attempt < 32 && fd < 0; ++attempt) {
      temp = target + ".tmp-" + random_hex(12);
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) return false;
    }
  } catch (...) {
    return false;
  }
  if (fd < 0) return false;
  bool ok = write_all(fd, content.data(), content.size());
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The content is in place; flushing the folder makes the rename durable.
  sync_directory(parent);
  return true;
}

std::string read_whole_file(const NativePath& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  std::string out;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {};
  }
  out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  return out;
}

bool remove_file(const NativePath& path) { return ::unlink(path.c_str()) == 0; }

bool rename_replace(const NativePath& from, const NativePath& to) {
  // Write-through: the moved file's data reaches the disk before the new name
  // does, so a power cut never leaves the target name on an empty or partial file.
  const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0) {
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // EINVAL: a file that cannot be synced, such as a FIFO
    ::close(fd);
    if (!synced) return false;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  sync_directory(parent_path(to));
  const NativePath from_dir = parent_path(from);
  if (from_dir != parent_path(to)) sync_directory(from_dir);
  return true;
}

bool list_directory(const NativePath& dir, std::vector<DirEntry>& out, int* err) {
  out.clear();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    if (err) *err = errno;
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    DirEntry entry;
    entry.name = e->d_name;
    FileStatus st;
    const NativePath full = join_path(dir, entry.name);
    if (file_status(full, st, false)) entry.symlink = st.symlink;
    if (file_status(full, st, true)) {
      entry.regular = st.regular;
      entry.directory = st.directory;
    }
    out.push_back(std::move(entry));
  }
  const int e = errno;
  ::closedir(d);
  if (e != 0) {
    if (err) *err = e;
    return false;
  }
  return true;
}

namespace {

// Reads one folder's names, then closes it before descending, so the depth of
// the tree never costs open file handles.
void walk_one(const NativePath& dir, const FolderWalk& walk, bool top, bool& stop) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    const int e = errno;
    if (e == EACCES || e == EPERM) return;
    if (walk.on_error) walk.on_error(dir, "Couldn't read folder: " + error_text(e));
    (void)top;
    return;
  }
  std::vector<std::string> names;
  NativePath last = dir;
  int advance_error = 0;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) {
      advance_error = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const std::string& name : names) {
    if (stop || (walk.cancelled && walk.cancelled())) {
      stop = true;
      return;
    }
    const NativePath full = join_path(dir, name);
    last = full;
    FileStatus lst;
    int err = 0;
    if (!file_status(full, lst, false, &err)) {
      if (err == ENOENT) continue;  // vanished since it was listed
      if (walk.on_error) walk.on_error(full, "Couldn't inspect path: " + error_text(err));
      continue;
    }
    if (lst.directory) {
      if (!walk.descend || walk.descend(full)) walk_one(full, walk, false, stop);
      continue;
    }
    FileStatus st = lst;
    if (lst.symlink && !file_status(full, st, true, &err)) continue;  // dangling link: nothing to scan
    if (st.regular && walk.on_file) walk.on_file(full);
  }
  if (advance_error != 0 && walk.on_error)
    walk.on_error(last, "Couldn't continue reading folder: " + error_text(advance_error));
}

}  // namespace

void walk_folder(const NativePath& root, const FolderWalk& walk) {
  bool stop = false;
  walk_one(root, walk, true, stop);
}
