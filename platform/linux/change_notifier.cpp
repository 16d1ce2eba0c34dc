// inotify watches one folder per watch, so a tree costs one watch per folder.
// The notifier keeps the watch descriptor <-> folder maps itself and keeps
// them true as folders come and go: a created or moved-in folder is watched
// (and its existing content reported), a deleted one is forgotten when the
// kernel drops its watch, a folder moved away has its subtree's watches
// removed so that later events are never attributed to a stale path.
#include "platform/change_notifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>

namespace {

constexpr std::uint32_t kMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR |
                                IN_EXCL_UNLINK;
// At most this many buffer reads per wait, so a flood cannot starve the caller.
constexpr int kReadsPerWait = 64;

// The names in one folder, each with whether it is a real folder (not a link)
// and whether it is a regular file (following links).
struct Entry {
  std::string name;
  bool folder = false;
  bool file = false;
};

bool list_entries(const NativePath& dir, std::vector<Entry>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    Entry entry;
    entry.name = e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st {};
      const NativePath full = join_path(dir, entry.name);
      if (type == DT_UNKNOWN && ::lstat(full.c_str(), &st) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
      }
      if (type == DT_LNK && ::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) entry.file = true;
    }
    if (type == DT_DIR) entry.folder = true;
    if (type == DT_REG) entry.file = true;
    if (entry.folder || entry.file) out.push_back(std::move(entry));
  }
  ::closedir(d);
  return true;
}

class InotifyNotifier final : public ChangeNotifier {
 public:
  InotifyNotifier(int inotify_fd, int wake_fd, std::size_t cap) : fd_(inotify_fd), wake_fd_(wake_fd), cap_(cap) {}
  ~InotifyNotifier() override {
    ::close(fd_);
    ::close(wake_fd_);
  }

  bool add_tree(const NativePath& root, std::vector<ChangeEvent>& out) override {
    // The root may itself be a link to a folder; below it links are not followed.
    const int wd = add_watch(root, /*follow=*/true, out);
    if (wd < 0) return false;
    watch_below(root, /*report_files=*/false, out);
    return true;
  }

  bool wait(int timeout_ms, std::vector<ChangeEvent>& out) override {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int n = ::poll(fds, 2, timeout_ms);
    if (n < 0) return errno == EINTR;
    if (fds[1].revents & POLLIN) {
      std::uint64_t v;
      (void)!::read(wake_fd_, &v, sizeof v);
    }
    if (!(fds[0].revents & POLLIN)) return !(fds[0].revents & (POLLERR | POLLNVAL));
    alignas(inotify_event) char buf[65536];
    for (int i = 0; i < kReadsPerWait; ++i) {
      const ssize_t got = ::read(fd_, buf, sizeof buf);
      if (got < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN;
      }
      if (got == 0) return true;
      std::size_t off = 0;
      while (off + sizeof(inotify_event) <= static_cast<std::size_t>(got)) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        const std::size_t len = sizeof(inotify_event) + ev->len;
        if (off + len > static_cast<std::size_t>(got)) break;
        handle(*ev, out);
        off += len;
      }
    }
    return true;
  }

  void wake() override {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
  }

  std::size_t watch_count() const override { return by_wd_.size(); }
  std::vector<NativePath> folders() const override {
    std::vector<NativePath> out;
    out.reserve(by_path_.size());
    for (const auto& [path, wd] : by_path_) out.push_back(path);
    return out;
  }

 private:
  // Adds one folder's watch; -1 when it could not be added. Running out of
  // watches is reported; a folder that denies access or vanished is not.
  int add_watch(const NativePath& dir, bool follow, std::vector<ChangeEvent>& out) {
    if (cap_ > 0 && by_wd_.size() >= cap_ && by_path_.find(dir) == by_path_.end()) {
      report_limit(dir, out);
      return -1;
    }
    const int wd = ::inotify_add_watch(fd_, dir.c_str(), kMask | (follow ? 0u : IN_DONT_FOLLOW));
    if (wd < 0) {
      if (errno == ENOSPC) report_limit(dir, out);
      return -1;
    }
    // The same folder reached under a new name (moved) keeps its descriptor.
    const auto old = by_wd_.find(wd);
    if (old != by_wd_.end() && old->second != dir) by_path_.erase(old->second);
    by_wd_[wd] = dir;
    by_path_[dir] = wd;
    return wd;
  }

  void report_limit(const NativePath& dir, std::vector<ChangeEvent>& out) {
    ChangeEvent e;
    e.kind = ChangeEvent::Kind::Problem;
    e.path = dir;
    e.message = "The system's limit on watched folders ran out (fs.inotify.max_user_watches); \"" + from_native(dir) +
                "\" and the folders below it are not watched.";
    out.push_back(std::move(e));
  }

  // Watches every folder below `dir` (depth first, no links followed); with
  // `report_files`, every regular file found is reported as changed and every
  // folder as newly watched.
  void watch_below(const NativePath& dir, bool report_files, std::vector<ChangeEvent>& out) {
    std::vector<NativePath> stack{dir};
    while (!stack.empty()) {
      const NativePath cur = std::move(stack.back());
      stack.pop_back();
      std::vector<Entry> entries;
      if (!list_entries(cur, entries)) continue;
      for (const Entry& e : entries) {
        const NativePath full = join_path(cur, e.name);
        if (e.folder) {
          if (add_watch(full, /*follow=*/false, out) < 0) continue;
          if (report_files) out.push_back({ChangeEvent::Kind::Folder, full, {}});
          stack.push_back(full);
        } else if (report_files && e.file) {
          out.push_back({ChangeEvent::Kind::File, full, {}});
        }
      }
    }
  }

  // Forgets the watches of `dir` and of every folder below it.
  void drop_below(const NativePath& dir) {
    const auto forget = [this](std::map<NativePath, int>::iterator it) {
      ::inotify_rm_watch(fd_, it->second);
      by_wd_.erase(it->second);
      return by_path_.erase(it);
    };
    if (const auto it = by_path_.find(dir); it != by_path_.end()) forget(it);
    const NativePath prefix = dir + "/";
    for (auto it = by_path_.lower_bound(prefix); it != by_path_.end();) {
      if (it->first.compare(0, prefix.size(), prefix) != 0) break;
      it = forget(it);
    }
  }

  void handle(const inotify_event& ev, std::vector<ChangeEvent>& out) {
    if (ev.mask & IN_Q_OVERFLOW) {
      out.push_back({ChangeEvent::Kind::Overflow, {}, {}});
      return;
    }
    const auto it = by_wd_.find(ev.wd);
    if (it == by_wd_.end()) return;
    if (ev.mask & IN_IGNORED) {  // the folder is gone (or its watch was removed)
      by_path_.erase(it->second);
      by_wd_.erase(it);
      return;
    }
    if (ev.len == 0 || ev.name[0] == '\0') return;  // an event on the folder itself
    const NativePath full = join_path(it->second, std::string(ev.name));
    if (ev.mask & IN_ISDIR) {
      if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
        if (add_watch(full, /*follow=*/false, out) >= 0) {
          out.push_back({ChangeEvent::Kind::Folder, full, {}});
          watch_below(full, /*report_files=*/true, out);
        }
      } else if (ev.mask & IN_MOVED_FROM) {
        drop_below(full);
      }
      return;
    }
    if (ev.mask & (IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO)) {
      out.push_back({ChangeEvent::Kind::File, full, {}});
    }
  }

  int fd_;
  int wake_fd_;
  std::size_t cap_;
  std::unordered_map<int, NativePath> by_wd_;
  std::map<NativePath, int> by_path_;  // ordered, so a subtree is one range
};

}  // namespace

std::unique_ptr<ChangeNotifier> ChangeNotifier::create(std::string* error, std::size_t watch_cap) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "Couldn't start change notification: " + error_text(errno);
    return nullptr;
  }
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    if (error) *error = "Couldn't start change notification: " + error_text(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<InotifyNotifier>(fd, wake, watch_cap);
}
