#include "platform/file_stream.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace {

void fill(const struct stat& st, FileStatus& out) {
  out = FileStatus{};
  out.regular = S_ISREG(st.st_mode);
  out.directory = S_ISDIR(st.st_mode);
  out.symlink = S_ISLNK(st.st_mode);
  out.size = static_cast<std::int64_t>(st.st_size);
  out.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  out.device = st.st_dev;
  out.inode = st.st_ino;
}

}  // namespace

InputFile::~InputFile() { close(); }

bool InputFile::open(const NativePath& path, bool no_follow, int* err) {
  close();
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (no_follow) flags |= O_NOFOLLOW;
  fd_ = ::open(path.c_str(), flags);
  if (fd_ < 0) {
    if (err) *err = errno;
    return false;
  }
  return true;
}

std::int64_t InputFile::read(std::uint8_t* buffer, std::size_t size) {
  if (fd_ < 0) return -1;
  for (;;) {
    const ssize_t r = ::read(fd_, buffer, size);
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : static_cast<std::int64_t>(r);
  }
}

bool InputFile::status(FileStatus& out) const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;
  fill(st, out);
  return true;
}

void InputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const NativePath& path, int* err, unsigned mode) {
  close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, static_cast<mode_t>(mode));
  if (fd_ < 0) {
    if (err) *err = errno;
    return false;
  }
  return true;
}

bool OutputFile::write(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) return false;
  while (size > 0) {
    const ssize_t w = ::write(fd_, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return true;
}

bool OutputFile::finish() {
  if (fd_ < 0) return false;
  const bool synced = ::fsync(fd_) == 0;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return synced && closed;
}

void OutputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool canonical_path(const NativePath& path, NativePath& out) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  out = resolved;
  std::free(resolved);
  return true;
}

bool weakly_canonical_path(const NativePath& path, NativePath& out) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::path(path), ec);
  if (ec) return false;
  out = p.string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return !out.empty();
}

bool path_is_within(const NativePath& path, const NativePath& root) {
  if (root.empty()) return false;
  if (root == "/") return !path.empty() && path.front() == '/';
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/';
}

bool rename_no_replace(const NativePath& from, const NativePath& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: a hard link also refuses an existing name.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
  }
  sync_directory(parent_path(to));
  if (parent_path(from) != parent_path(to)) sync_directory(parent_path(from));
  return true;
}

bool remove_file_durable(const NativePath& path) {
  if (::unlink(path.c_str()) != 0) return false;
  sync_directory(parent_path(path));
  return true;
}

bool read_file_exact(const NativePath& path, std::int64_t expected, std::string& out) {
  out.clear();
  if (expected < 0) return false;
  InputFile in;
  if (!in.open(path)) return false;
  FileStatus st;
  if (!in.status(st) || !st.regular) return false;
  out.resize(static_cast<std::size_t>(expected));
  std::size_t have = 0;
  while (have < out.size()) {
    const std::int64_t r = in.read(reinterpret_cast<std::uint8_t*>(out.data()) + have, out.size() - have);
    if (r <= 0) return false;
    have += static_cast<std::size_t>(r);
  }
  std::uint8_t extra = 0;
  return in.read(&extra, 1) == 0;
}

bool is_pseudo_file_system(const NativePath& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case PSTOREFS_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case NSFS_MAGIC:
    case HUGETLBFS_MAGIC:
    case BINFMTFS_MAGIC:
    case 0x62656570UL:  // configfs
    case 0x65735543UL:  // fusectl
    case 0x19800202UL:  // mqueue
    case AUTOFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}
