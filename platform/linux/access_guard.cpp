// fanotify permission events on the guarded folders (inode marks with
// FAN_EVENT_ON_CHILD, so only opens inside those folders ever wait on us, not
// every open on the file system). One reader thread drains the fanotify
// descriptor, answers this process's own opens itself, and enforces the time
// bound; worker threads run `decide` and answer. Each request is answered
// exactly once, by whichever comes first.
#include "platform/access_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 2;
constexpr std::size_t kMaxQueued = 4096;

struct Request {
  int fd = -1;
  int pid = 0;
  bool exec = false;
  Clock::time_point deadline;
  std::mutex mutex;
  bool answered = false;
  ~Request() {
    if (fd >= 0) ::close(fd);
  }
};

class FanotifyGuard final : public AccessGuard {
 public:
  FanotifyGuard(int fan_fd, int wake_fd, Decide decide, QuickDecide quick, int bound_ms)
      : fan_(fan_fd),
        wake_(wake_fd),
        decide_(std::move(decide)),
        quick_(std::move(quick)),
        bound_(std::chrono::milliseconds(bound_ms)) {
    reader_ = std::thread([this] { read_loop(); });
    for (int i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { work_loop(); });
  }
  ~FanotifyGuard() override { stop(); }

  bool add_folder(const NativePath& dir, std::string* error) override {
    std::uint64_t mask = FAN_OPEN_PERM | FAN_EVENT_ON_CHILD | (exec_supported_ ? FAN_OPEN_EXEC_PERM : 0);
    int rc = ::fanotify_mark(fan_, FAN_MARK_ADD, mask, AT_FDCWD, dir.c_str());
    if (rc != 0 && errno == EINVAL && exec_supported_) {  // kernels before 5.0 lack exec permission events
      exec_supported_ = false;
      mask &= ~static_cast<std::uint64_t>(FAN_OPEN_EXEC_PERM);
      rc = ::fanotify_mark(fan_, FAN_MARK_ADD, mask, AT_FDCWD, dir.c_str());
    }
    if (rc != 0 && error) *error = error_text(errno);
    return rc == 0;
  }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    cv_.notify_all();
    reader_.join();
    for (auto& w : workers_) w.join();
    std::deque<std::shared_ptr<Request>> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(timeline_);
      queue_.clear();
    }
    for (auto& r : left) answer(*r, false);
    left.clear();
    ::close(fan_);  // the kernel allows whatever is still pending
    ::close(wake_);
  }

 private:
  void answer(Request& r, bool deny) {
    std::lock_guard lock(r.mutex);
    if (r.answered) return;
    r.answered = true;
    fanotify_response resp{};
    resp.fd = r.fd;
    resp.response = deny ? FAN_DENY : FAN_ALLOW;
    while (::write(fan_, &resp, sizeof resp) < 0 && errno == EINTR) {
    }
  }

  void answer_now(int fd, bool deny) {
    fanotify_response resp{};
    resp.fd = fd;
    resp.response = deny ? FAN_DENY : FAN_ALLOW;
    while (::write(fan_, &resp, sizeof resp) < 0 && errno == EINTR) {
    }
  }

  // Answers requests past their deadline with allow and forgets answered ones;
  // returns the milliseconds until the next deadline (-1: none).
  int expire() {
    std::vector<std::shared_ptr<Request>> late;
    int next = -1;
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      while (!timeline_.empty()) {
        auto& front = timeline_.front();
        bool answered;
        {
          std::lock_guard rl(front->mutex);
          answered = front->answered;
        }
        if (!answered && front->deadline > now) {
          next = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(front->deadline - now).count()) + 1;
          break;
        }
        if (!answered) late.push_back(front);
        timeline_.pop_front();
      }
    }
    for (auto& r : late) answer(*r, false);
    return next;
  }

  void read_loop() {
    const int self = static_cast<int>(::getpid());
    alignas(fanotify_event_metadata) char buf[8192];
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
      }
      const int wait_ms = expire();
      pollfd fds[2] = {{fan_, POLLIN, 0}, {wake_, POLLIN, 0}};
      const int n = ::poll(fds, 2, wait_ms < 0 ? 1000 : wait_ms);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents & POLLIN) continue;  // stopping: the loop head sees it
      if (!(fds[0].revents & POLLIN)) continue;
      const ssize_t got = ::read(fan_, buf, sizeof buf);
      if (got <= 0) continue;
      const auto* md = reinterpret_cast<const fanotify_event_metadata*>(buf);
      ssize_t len = got;
      std::vector<std::shared_ptr<Request>> fresh;
      while (FAN_EVENT_OK(md, len)) {
        if (md->vers == FANOTIFY_METADATA_VERSION && md->fd >= 0) {
          const bool perm = (md->mask & (FAN_OPEN_PERM | FAN_OPEN_EXEC_PERM)) != 0;
          if (!perm) {
            ::close(md->fd);
          } else if (md->pid == self) {
            answer_now(md->fd, false);
            ::close(md->fd);
          } else if (const Quick q = quick_answer(*md); q != Quick::Ask) {
            answer_now(md->fd, q == Quick::Deny);
            ::close(md->fd);
          } else {
            auto r = std::make_shared<Request>();
            r->fd = md->fd;
            r->pid = md->pid;
            r->exec = (md->mask & FAN_OPEN_EXEC_PERM) != 0;
            r->deadline = Clock::now() + bound_;
            fresh.push_back(std::move(r));
          }
        }
        md = FAN_EVENT_NEXT(md, len);
      }
      if (fresh.empty()) continue;
      std::vector<std::shared_ptr<Request>> refused;
      {
        std::lock_guard lock(mutex_);
        for (auto& r : fresh) {
          if (queue_.size() >= kMaxQueued) {
            refused.push_back(r);
            continue;
          }
          queue_.push_back(r);
          timeline_.push_back(r);
        }
      }
      cv_.notify_all();
      for (auto& r : refused) answer(*r, false);
    }
  }

  Quick quick_answer(const fanotify_event_metadata& md) {
    if (!quick_) return Quick::Ask;
    AccessRequest req;
    req.fd = md.fd;
    req.pid = md.pid;
    req.exec = (md.mask & FAN_OPEN_EXEC_PERM) != 0;
    if (!path_of(md.fd, req.path)) return Quick::Ask;
    try {
      return quick_(req);
    } catch (...) {
      return Quick::Ask;
    }
  }

  static bool path_of(int fd, NativePath& out) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return false;
    out.assign(target, static_cast<std::size_t>(n));
    return true;
  }

  void work_loop() {
    for (;;) {
      std::shared_ptr<Request> r;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stopped_ || !queue_.empty(); });
        if (stopped_) return;
        r = std::move(queue_.front());
        queue_.pop_front();
      }
      {
        std::lock_guard rl(r->mutex);
        if (r->answered) continue;  // timed out while queued
      }
      AccessRequest req;
      req.fd = r->fd;
      req.pid = r->pid;
      req.exec = r->exec;
      if (!path_of(r->fd, req.path)) {
        answer(*r, false);
        continue;
      }
      bool deny = false;
      try {
        deny = decide_(req);
      } catch (...) {
        deny = false;
      }
      answer(*r, deny);
    }
  }

  int fan_;
  int wake_;
  Decide decide_;
  QuickDecide quick_;
  Clock::duration bound_;
  bool exec_supported_ = true;
  std::thread reader_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopped_ = false;
  std::deque<std::shared_ptr<Request>> queue_;     // waiting for a worker
  std::deque<std::shared_ptr<Request>> timeline_;  // in arrival order, until answered
};

}  // namespace

std::unique_ptr<AccessGuard> AccessGuard::create(Decide decide, int answer_within_ms, std::string* why_not,
                                                 QuickDecide quick) {
  if (::geteuid() != 0) {
    if (why_not) *why_not = "not running as root";
    return nullptr;
  }
  const int fd = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
  if (fd < 0) {
    if (why_not) *why_not = "the kernel refused fanotify permission events: " + error_text(errno);
    return nullptr;
  }
  const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    if (why_not) *why_not = "couldn't create an event descriptor: " + error_text(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FanotifyGuard>(fd, wake, std::move(decide), std::move(quick), answer_within_ms);
}
